#include "db/interrupted_delete.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <system_error>

#include "core/error.h"
#include "core/paths.h"
#include "db/database.h"
#include "log/error_log.h"

namespace fs = std::filesystem;

namespace corva::db {

namespace {

constexpr const char* Location = "DeleteAll";
constexpr const char* NotePrefix = ".delete-all-";
constexpr const char* NoteSuffix = ".note";
constexpr const char* PartSuffix = ".note.part";
constexpr const char* AsidePrefix = ".deleting-";
constexpr const char* NoteHeader = "Corvalight delete all 1";

// The tables whose rows tell whether the commit happened. Their keys are AUTOINCREMENT:
// a deleted key never comes back, so a noted key found again is a row the commit did
// not delete.
struct KeyTable {
    const char* table;
    const char* key;
};
constexpr KeyTable KeyTables[] = {
    {"tblPatienten", "PATID"}, {"tblStudies", "StudyID"}, {"tblSeries", "SeriesID"}, {"tblImages", "ImageID"}};

const KeyTable* keyTable(const std::string& name) {
    for (const KeyTable& t : KeyTables)
        if (name == t.table) return &t;
    return nullptr;
}

bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }
bool endsWith(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool isNoteName(const std::string& name) { return startsWith(name, NotePrefix) && endsWith(name, NoteSuffix); }
bool isPartName(const std::string& name) { return startsWith(name, NotePrefix) && endsWith(name, PartSuffix); }
bool isAsideName(const std::string& name) { return startsWith(name, AsidePrefix); }

void logLine(const std::string& text) { log::LogError(errc::Generic, text, Location); }

// Folder names go into the note one per line: bytes that would break the line are written
// as %XX.
std::string encodeName(const std::string& name) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : name) {
        if (c <= 0x20 || c == '%' || c == 0x7f) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0x0f];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

bool decodeName(const std::string& text, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return false;
        unsigned value = 0;
        if (std::sscanf(text.substr(i + 1, 2).c_str(), "%2x", &value) != 1) return false;
        out += static_cast<char>(value);
        i += 2;
    }
    return !out.empty() && out.find('/') == std::string::npos && out != "." && out != "..";
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Closes now; false when the close reported an error (a write that did not land).
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return fd < 0 || ::close(fd) == 0;
    }

private:
    int fd_;
};

void syncFolder(const fs::path& folder) {
    FileDescriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.valid()) ::fsync(fd.get());
}

// The note reaches the disk whole before the first folder moves: written under a name no
// start acts on, synced, then renamed into place.
void writeDurably(const fs::path& file, const std::string& text) {
    const fs::path part = file.parent_path() / (file.stem().string() + PartSuffix);
    auto fail = [&](const std::string& what) {
        const std::string reason = std::strerror(errno);
        std::error_code ec;
        fs::remove(part, ec);
        throw Error(errc::Generic, "Cannot " + what + " " + part.string() + ": " + reason, Location);
    };
    {
        FileDescriptor fd(::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!fd.valid()) fail("create");
        std::size_t written = 0;
        while (written < text.size()) {
            const ssize_t n = ::write(fd.get(), text.data() + written, text.size() - written);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) fail("write");
            written += static_cast<std::size_t>(n);
        }
        if (::fsync(fd.get()) != 0) fail("sync");
        if (!fd.close()) fail("write");
    }
    if (::rename(part.c_str(), file.c_str()) != 0) fail("rename");
    syncFolder(file.parent_path());
}

// Moves a file or folder to a name that must not exist; never replaces anything, also when
// another program creates the name at the same moment.
bool moveNoReplace(const fs::path& from, const fs::path& to, int& error) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    error = errno;
    if (error != EINVAL && error != ENOSYS) return false;
    // A file system without RENAME_NOREPLACE: a hard link fails on an existing name too.
    if (::link(from.c_str(), to.c_str()) != 0) {
        error = errno;
        return false;
    }
    ::unlink(from.c_str());
    return true;
}

bool sameContent(const fs::path& a, const fs::path& b) {
    std::error_code ec;
    const auto size = fs::file_size(a, ec);
    if (ec || size != fs::file_size(b, ec) || ec) return false;
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    std::vector<char> ba(1 << 16), bb(1 << 16);
    while (fa && fb) {
        fa.read(ba.data(), static_cast<std::streamsize>(ba.size()));
        fb.read(bb.data(), static_cast<std::streamsize>(bb.size()));
        if (fa.gcount() != fb.gcount() || std::memcmp(ba.data(), bb.data(), static_cast<std::size_t>(fa.gcount())) != 0)
            return false;
    }
    return fa.eof() && fb.eof();
}

// Moves what `from` holds into the existing folder `to`, entry by entry, never replacing:
// an identical copy of a file there is dropped, a different one stays in `from`. `from`
// goes when it is empty afterwards. False when something stayed.
bool mergeInto(const fs::path& from, const fs::path& to) {
    std::vector<fs::path> entries;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(from, ec)) entries.push_back(e.path());
    if (ec) {
        logLine("Cannot read " + from.string() + ": " + ec.message());
        return false;
    }
    bool all = true;
    for (const fs::path& entry : entries) {
        const fs::path target = to / entry.filename();
        int error = 0;
        if (moveNoReplace(entry, target, error)) continue;
        std::error_code kind;
        if (error == EEXIST && fs::is_directory(entry, kind) && fs::is_directory(target, kind)) {
            all = mergeInto(entry, target) && all;
        } else if (error == EEXIST && fs::is_regular_file(entry, kind) && sameContent(entry, target)) {
            fs::remove(entry, kind);  // the same image was filed again meanwhile
        } else {
            logLine("Kept " + entry.string() + ": " +
                    (error == EEXIST ? "a different " + target.string() + " exists" : std::strerror(error)));
            all = false;
        }
    }
    if (all) fs::remove(from, ec);
    return all;
}

// Brings a hidden folder back under `to`: renamed when the name is free (or an empty
// folder), merged into a folder the ingest service made meanwhile.
bool bringBack(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    fs::rename(from, to, ec);
    if (!ec) return true;
    if (!fs::is_directory(to, ec)) {
        logLine("Cannot bring " + from.string() + " back as " + to.string());
        return false;
    }
    return mergeInto(from, to);
}

bool removeFolder(const fs::path& folder) {
    std::error_code ec;
    fs::remove_all(folder, ec);
    if (ec) logLine("Cannot remove " + folder.string() + ": " + ec.message());
    return !ec;
}

std::vector<AsideFolders::Range> keyRanges(Database& db, const KeyTable& t) {
    std::vector<AsideFolders::Range> ranges;
    if (!db.hasTable(t.table)) return ranges;
    auto st = db.prepare(std::string("SELECT ") + t.key + " FROM " + t.table + " ORDER BY " + t.key);
    while (st.step()) {
        const std::int64_t key = st.getInt(0);
        if (!ranges.empty() && ranges.back().second + 1 == key)
            ranges.back().second = key;
        else
            ranges.emplace_back(key, key);
    }
    return ranges;
}

std::string newToken() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    std::ostringstream out;
    out << ::getpid() << '-' << std::hex << std::chrono::duration_cast<std::chrono::nanoseconds>(now).count();
    return out.str();
}

}  // namespace

// Writing and reading the note.
struct NoteFile {
    static std::string text(const AsideFolders& f) {
        std::ostringstream out;
        out << NoteHeader << '\n';
        for (const auto& [table, ranges] : f.keys_) {
            out << "keys " << table;
            for (const auto& [first, last] : ranges) out << ' ' << first << '-' << last;
            out << '\n';
        }
        for (const auto& [aside, original] : f.folders_) out << "aside " << aside << ' ' << encodeName(original) << '\n';
        return out.str();
    }

    // Nothing when the note is not one of ours or damaged.
    static std::optional<AsideFolders> read(const fs::path& note) {
        AsideFolders f;
        std::ifstream in(note, std::ios::binary);
        std::string line;
        if (!std::getline(in, line) || line != NoteHeader) return std::nullopt;
        f.store_ = note.parent_path();
        f.note_ = note;
        while (std::getline(in, line)) {
            std::istringstream words(line);
            std::string kind;
            words >> kind;
            if (kind == "keys") {
                std::string table, range;
                words >> table;
                if (!keyTable(table)) return std::nullopt;
                std::vector<AsideFolders::Range> ranges;
                while (words >> range) {
                    long long first = 0, last = 0;
                    char dash = 0;
                    std::istringstream r(range);
                    if (!(r >> first >> dash >> last) || dash != '-' || first > last) return std::nullopt;
                    ranges.emplace_back(first, last);
                }
                f.keys_.emplace_back(table, std::move(ranges));
            } else if (kind == "aside") {
                std::string aside, encoded, original;
                if (!(words >> aside >> encoded) || !isAsideName(aside) || aside.find('/') != std::string::npos ||
                    !decodeName(encoded, original))
                    return std::nullopt;
                f.folders_.emplace_back(aside, original);
            } else if (!kind.empty()) {
                return std::nullopt;
            }
        }
        return f;
    }

    // True when a row the note names is still in the database: the commit never happened.
    static bool rowsRemain(Database& db, const AsideFolders& f) {
        for (const auto& [table, ranges] : f.keys_) {
            const KeyTable* t = keyTable(table);
            if (!t || !db.hasTable(t->table)) continue;
            auto st = db.prepare(std::string("SELECT EXISTS (SELECT 1 FROM ") + t->table + " WHERE " + t->key +
                                 " BETWEEN ? AND ?)");
            for (const auto& [first, last] : ranges) {
                st.reset();
                st.bind(1, first).bind(2, last);
                if (st.step() && st.getInt(0) != 0) return true;
            }
        }
        return false;
    }

    static const std::vector<std::pair<std::string, std::string>>& folders(const AsideFolders& f) { return f.folders_; }
};

AsideFolders AsideFolders::moveAside(Database& db, const fs::path& imageStore) {
    AsideFolders f;
    f.store_ = imageStore;
    for (const KeyTable& t : KeyTables) f.keys_.emplace_back(t.table, keyRanges(db, t));
    const std::string token = newToken();
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(imageStore, ec)) {
        std::error_code kind;
        const std::string name = entry.path().filename().string();
        if (name.starts_with(".") || !entry.is_directory(kind)) continue;
        f.folders_.emplace_back(AsidePrefix + token + "-" + std::to_string(f.folders_.size()), name);
    }
    if (ec) throw Error(errc::NotFound, "Cannot read " + imageStore.string() + ": " + ec.message(), Location);
    if (f.folders_.empty()) return f;
    f.note_ = imageStore / (NotePrefix + token + NoteSuffix);
    writeDurably(f.note_, NoteFile::text(f));
    for (const auto& [aside, original] : f.folders_) {
        std::error_code mv;
        fs::rename(imageStore / original, imageStore / aside, mv);
        // A folder gone meanwhile has nothing to hide; any other failure undoes the moves.
        if (mv && fs::exists(imageStore / original, ec)) {
            const std::string reason = mv.message();
            f.restore();
            throw Error(errc::Generic, "Cannot move the study folder " + original + " aside: " + reason, Location);
        }
    }
    return f;
}

bool AsideFolders::remove(const std::function<void()>& eachDone) {
    bool all = true;
    for (const auto& [aside, original] : folders_) {
        all = removeFolder(store_ / aside) && all;
        if (eachDone) eachDone();
    }
    std::error_code ec;
    if (all && !note_.empty()) fs::remove(note_, ec);
    return all;
}

bool AsideFolders::restore() {
    bool all = true;
    for (const auto& [aside, original] : folders_) {
        const fs::path from = store_ / aside;
        std::error_code ec;
        if (!fs::exists(from, ec)) continue;  // never moved, or back already
        all = bringBack(from, store_ / original) && all;
    }
    std::error_code ec;
    if (all && !note_.empty()) fs::remove(note_, ec);
    return all;
}

bool hasInterruptedDeleteAll(const fs::path& imageStore) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(imageStore, ec)) {
        const std::string name = entry.path().filename().string();
        if (isNoteName(name) || isPartName(name) || isAsideName(name)) return true;
    }
    return false;
}

namespace {

InterruptedDeleteAll recover(const fs::path& imageDb, const fs::path& imageStore) {
    InterruptedDeleteAll outcome;
    std::vector<fs::path> notes;
    std::vector<fs::path> hidden;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(imageStore, ec)) {
        const std::string name = entry.path().filename().string();
        std::error_code kind;
        if (isPartName(name)) {
            fs::remove(entry.path(), kind);  // a note never completed: nothing was moved after it
        } else if (isNoteName(name)) {
            notes.push_back(entry.path());
        } else if (isAsideName(name) && entry.is_directory(kind)) {
            hidden.push_back(entry.path());
        }
    }
    try {
        Database db(imageDb);
        auto count = [&](bool done, int& counter) { ++(done ? counter : outcome.kept); };
        std::vector<std::string> noted;
        for (const fs::path& note : notes) {
            const std::optional<AsideFolders> f = NoteFile::read(note);
            if (!f) {
                // Its folders are decided image by image below.
                logLine("Unreadable note " + note.string() + " removed");
                fs::remove(note, ec);
                continue;
            }
            const bool restore = NoteFile::rowsRemain(db, *f);
            bool all = true;
            for (const auto& [aside, original] : NoteFile::folders(*f)) {
                noted.push_back(aside);
                const fs::path from = imageStore / aside;
                if (!fs::exists(from, ec)) continue;
                const bool done = restore ? bringBack(from, imageStore / original) : removeFolder(from);
                count(done, restore ? outcome.restored : outcome.removed);
                all = all && done;
            }
            if (all) fs::remove(note, ec);
        }
        // Hidden folders without a note: the rows of their images decide.
        auto studyOf = db.prepare(
            "SELECT st.StudyUID FROM tblImages i LEFT JOIN tblSeries se ON se.SeriesID = i.FKeySeriesID "
            "LEFT JOIN tblStudies st ON st.StudyID = se.FKeyStudyID WHERE i.ImageUID = ? LIMIT 1");
        for (const fs::path& folder : hidden) {
            if (std::find(noted.begin(), noted.end(), folder.filename().string()) != noted.end()) continue;
            if (!fs::exists(folder, ec)) continue;
            bool rowFound = false;
            std::string studyUid;
            for (const auto& file : fs::directory_iterator(folder, ec)) {
                if (file.path().extension() != ".dcm") continue;
                studyOf.reset();
                studyOf.bind(1, file.path().stem().string());
                if (!studyOf.step()) continue;
                rowFound = true;
                if (!studyOf.isNull(0)) {
                    studyUid = studyOf.getText(0);
                    break;
                }
            }
            studyOf.reset();
            if (!rowFound) {
                count(removeFolder(folder), outcome.removed);
            } else if (!isSafeUid(studyUid)) {
                logLine("Kept " + folder.string() + ": its images are registered, but under no usable study UID");
                ++outcome.kept;
            } else {
                count(bringBack(folder, imageStore / studyUid), outcome.restored);
            }
        }
    } catch (const std::exception& e) {
        // Without the database nothing can be decided: everything stays for the next start.
        logLine(std::string("Interrupted delete all left as it is: ") + e.what());
        outcome.kept += static_cast<int>(hidden.size());
        return outcome;
    }
    if (outcome.restored || outcome.removed || outcome.kept)
        logLine("Interrupted delete all: " + std::to_string(outcome.restored) + " study folders brought back, " +
                std::to_string(outcome.removed) + " removed, " + std::to_string(outcome.kept) + " kept hidden");
    return outcome;
}

}  // namespace

InterruptedDeleteAll recoverInterruptedDeleteAll(const fs::path& imageDb, const fs::path& imageStore) {
    if (!hasInterruptedDeleteAll(imageStore)) return {};
    try {
        return recover(imageDb, imageStore);
    } catch (const std::exception& e) {
        logLine(std::string("Interrupted delete all not settled: ") + e.what());
        return {};
    }
}

InterruptedDeleteAll recoverInterruptedDeleteAllWhenIdle(const fs::path& dataFolder, const fs::path& imageDb,
                                                         const fs::path& imageStore) {
    if (!hasInterruptedDeleteAll(imageStore)) return {};
    // The station's job lock (common/job_lock.h): an flock on Data/.joblock, held by every
    // job for its whole run. Taken here without waiting.
    const fs::path lockFile = dataFolder / ".joblock";
    FileDescriptor fd(::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
    InterruptedDeleteAll busy;
    busy.skipped = true;
    if (!fd.valid()) return busy;
    int rc;
    do {
        rc = ::flock(fd.get(), LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) return busy;
    return recoverInterruptedDeleteAll(imageDb, imageStore);  // the lock ends with the descriptor
}

}  // namespace corva::db
