#include "header/rewrite_handover.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <system_error>
#include <thread>

#include "common/job_lock.h"
#include "core/error.h"
#include "core/paths.h"
#include "db/database.h"
#include "log/error_log.h"

namespace corva::station::header {
namespace fs = std::filesystem;

fs::path headerWorkFolder(const ProgramPaths& paths) { return paths.workFolder / "HeaderJob"; }

void syncPath(const fs::path& p)
{
    const int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

namespace {

constexpr const char* HandOverLocation = "HeaderJob HandOver";

bool endsWith(const std::string& name, const std::string& suffix)
{
    return name.size() > suffix.size() && name.compare(name.size() - suffix.size(), std::string::npos, suffix) == 0;
}

// Renames within one file system without ever replacing a file: 0, or the errno
// (EEXIST when `to` exists).
int renameNoReplaceError(const fs::path& from, const fs::path& to)
{
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    const int error = errno;
    if (error != EINVAL && error != ENOSYS && error != ENOTSUP)
        return error;
    // A file system without the flag: a hard link refuses an existing name as well.
    if (::link(from.c_str(), to.c_str()) != 0)
        return errno;
    ::unlink(from.c_str());
    return 0;
}

// False when `to` exists; throws on any other failure.
bool renameNoReplace(const fs::path& from, const fs::path& to)
{
    const int error = renameNoReplaceError(from, to);
    if (error == EEXIST)
        return false;
    if (error != 0)
        throw Error(errc::Generic,
                    "Cannot rename " + from.string() + " to " + to.string() + ": " + std::strerror(error));
    return true;
}

// Moves a file, also to another file system, never replacing one: false when `to` exists.
bool moveNoReplace(const fs::path& from, const fs::path& to)
{
    const int error = renameNoReplaceError(from, to);
    if (error == 0)
        return true;
    if (error == EEXIST)
        return false;
    if (error != EXDEV)
        throw Error(errc::Generic,
                    "Cannot move " + from.string() + " to " + to.string() + ": " + std::strerror(error));
    // Another file system: copied under a name nobody takes, flushed, then renamed.
    std::error_code ec;
    const fs::path part(to.string() + ".part");
    fs::copy_file(from, part, fs::copy_options::overwrite_existing, ec);
    if (ec)
        throw Error(errc::Generic, "Cannot copy " + from.string() + " to " + part.string() + ": " + ec.message());
    syncPath(part);
    bool moved = false;
    try {
        moved = renameNoReplace(part, to);
    } catch (...) {
        fs::remove(part, ec);
        throw;
    }
    if (!moved) {
        fs::remove(part, ec);
        return false;
    }
    fs::remove(from, ec);
    return true;
}

fs::path notePath(const fs::path& staged) { return fs::path(staged.string() + ".orig"); }

// Partial files a stopped job left: its copies being written, its notes and copies
// being staged. Their originals were never touched.
void dropPartialFiles(const ProgramPaths& paths)
{
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(headerWorkFolder(paths), ec))
        if (entry.path().extension() == ".part")
            fs::remove(entry.path(), ec);
    // Earlier versions wrote their copies into the work folder itself.
    for (const auto& entry : fs::directory_iterator(paths.workFolder, ec))
        if (endsWith(entry.path().filename().string(), ".dcm.part"))
            fs::remove(entry.path(), ec);
    for (const auto& entry : fs::directory_iterator(paths.inputFolder, ec)) {
        const std::string name = entry.path().filename().string();
        if (endsWith(name, std::string(NoteSuffix) + ".tmp") || endsWith(name, std::string(StagedSuffix) + ".part"))
            fs::remove(entry.path(), ec);
    }
}

}  // namespace

StagedRewrite stageRewrite(const ProgramPaths& paths, const fs::path& writtenCopy, const std::string& newImageUid,
                           const OriginalImage& original)
{
    if (!isSafeUid(newImageUid) || !isSafeUid(original.imageUid) || !isSafeUid(original.studyUid))
        throw Error(errc::InvalidName, "Unsafe UID for a file name: " + newImageUid);
    std::error_code ec;
    fs::create_directories(paths.inputFolder, ec);
    StagedRewrite r{paths.inputFolder / (newImageUid + ".dcm" + StagedSuffix), newImageUid, original};
    // A copy of that name staged already belongs to another hand-over: its note stays its own.
    if (fs::exists(r.staged, ec))
        throw Error(errc::InvalidName, "A rewritten copy " + r.staged.string() + " waits already");
    const fs::path note = notePath(r.staged);
    const fs::path noteTmp = fs::path(note.string() + ".tmp");
    {
        std::ofstream out(noteTmp, std::ios::binary | std::ios::trunc);
        out << original.studyUid << '\n' << original.imageUid << '\n';
        out.flush();
        if (!out)
            throw Error(errc::Generic, "Cannot write " + noteTmp.string());
    }
    syncPath(noteTmp);
    fs::rename(noteTmp, note, ec);
    if (ec) {
        fs::remove(noteTmp, ec);
        throw Error(errc::Generic, "Cannot write " + note.string() + ": " + ec.message());
    }
    bool moved = false;
    try {
        moved = moveNoReplace(writtenCopy, r.staged);
    } catch (...) {
        fs::remove(note, ec);
        throw;
    }
    if (!moved) {
        fs::remove(note, ec);
        throw Error(errc::InvalidName, "A rewritten copy " + r.staged.string() + " waits already");
    }
    syncPath(paths.inputFolder);
    return r;
}

bool removeOriginal(db::Database& db, const ProgramPaths& paths, const OriginalImage& original)
{
    {
        db::Transaction tx(db);
        std::vector<std::pair<std::int64_t, std::int64_t>> images;  // ImageID, SeriesID
        {
            auto st = db.prepare("SELECT ImageID, FKeySeriesID FROM tblImages WHERE ImageUID = ?");
            st.bind(1, original.imageUid);
            while (st.step())
                images.emplace_back(st.getInt(0), st.isNull(1) ? 0 : st.getInt(1));
        }
        for (const auto& [imageId, seriesId] : images) {
            db.prepare("DELETE FROM tblImages WHERE ImageID = ?").bind(1, imageId).run();
            std::int64_t studyId = 0, patientId = 0;
            {
                auto st = db.prepare(
                    "SELECT tblStudies.StudyID, tblStudies.FKeyPATID FROM tblSeries INNER JOIN tblStudies "
                    "ON tblSeries.FKeyStudyID = tblStudies.StudyID WHERE tblSeries.SeriesID = ?");
                st.bind(1, seriesId);
                if (st.step()) {
                    studyId = st.getInt(0);
                    patientId = st.isNull(1) ? 0 : st.getInt(1);
                }
            }
            db.prepare("DELETE FROM tblSeries WHERE SeriesID = ? AND NOT EXISTS "
                       "(SELECT 1 FROM tblImages WHERE FKeySeriesID = ?)")
                .bind(1, seriesId)
                .bind(2, seriesId)
                .run();
            if (studyId)
                db.prepare("DELETE FROM tblStudies WHERE StudyID = ? AND NOT EXISTS "
                           "(SELECT 1 FROM tblSeries WHERE FKeyStudyID = ?)")
                    .bind(1, studyId)
                    .bind(2, studyId)
                    .run();
            if (patientId)
                db.prepare("DELETE FROM tblPatienten WHERE PATID = ? AND NOT EXISTS "
                           "(SELECT 1 FROM tblStudies WHERE FKeyPATID = ?)")
                    .bind(1, patientId)
                    .bind(2, patientId)
                    .run();
        }
        tx.commit();
    }
    const fs::path file = imageFile(paths, original.studyUid, original.imageUid);
    if (file.empty())
        throw Error(errc::InvalidName, "Unsafe UID for a file name: " + original.imageUid);
    std::error_code ec;
    fs::remove(file, ec);
    if (ec)
        throw Error(errc::Generic, "Cannot delete " + file.string() + ": " + ec.message());
    // The study folder goes with its last file; a folder still holding files stays, and
    // so does a study folder that is a symbolic link (rmdir refuses both).
    ::rmdir(file.parent_path().c_str());
    return !fs::exists(file);
}

bool abandonWhenUidTaken(db::Database& db, const ProgramPaths& paths, const StagedRewrite& rewrite)
{
    if (rewrite.newImageUid == rewrite.original.imageUid)
        return false;
    const auto filed = [&](const std::string& uid) {
        auto st = db.prepare("SELECT 1 FROM tblImages WHERE ImageUID = ?");
        st.bind(1, uid);
        return st.step();
    };
    if (!filed(rewrite.newImageUid))
        return false;
    const fs::path original = imageFile(paths, rewrite.original.studyUid, rewrite.original.imageUid);
    std::error_code ec;
    if (!filed(rewrite.original.imageUid) && (original.empty() || !fs::exists(original, ec)))
        throw Error(errc::Generic, "The SOP instance UID " + rewrite.newImageUid + " of " + rewrite.staged.string() +
                                       " is filed for another image by now, and its original " +
                                       rewrite.original.imageUid + " is gone: the copy stays staged");
    fs::remove(rewrite.staged, ec);
    if (ec)
        throw Error(errc::Generic, "Cannot remove " + rewrite.staged.string() + ": " + ec.message());
    fs::remove(notePath(rewrite.staged), ec);
    log::LogError(errc::InvalidName,
                  "The SOP instance UID " + rewrite.newImageUid + " is filed for another image by now: the edit of " +
                      rewrite.original.imageUid + " is undone, its original stays",
                  HandOverLocation);
    return true;
}

fs::path handOverName(const StagedRewrite& rewrite)
{
    return rewrite.staged.parent_path() / (rewrite.newImageUid + ".dcm");
}

bool canHandOver(const StagedRewrite& rewrite)
{
    std::error_code ec;
    return !fs::exists(fs::symlink_status(handOverName(rewrite), ec));
}

bool handOver(const StagedRewrite& rewrite)
{
    if (!renameNoReplace(rewrite.staged, handOverName(rewrite)))
        return false;
    std::error_code ec;
    fs::remove(notePath(rewrite.staged), ec);
    return true;
}

std::vector<StagedRewrite> pendingRewrites(const ProgramPaths& paths)
{
    std::vector<StagedRewrite> out;
    std::error_code ec;
    if (!fs::is_directory(paths.inputFolder, ec))
        return out;
    const std::string suffix = std::string(".dcm") + StagedSuffix;
    for (const auto& entry : fs::directory_iterator(paths.inputFolder, ec)) {
        const std::string name = entry.path().filename().string();
        if (endsWith(name, NoteSuffix)) {
            // A note whose copy is gone: the hand-over finished before its note was removed.
            const fs::path staged = entry.path().parent_path() / name.substr(0, name.size() - 5);
            if (!fs::exists(staged))
                fs::remove(entry.path(), ec);
            continue;
        }
        if (!endsWith(name, suffix))
            continue;
        StagedRewrite r;
        r.staged = entry.path();
        r.newImageUid = name.substr(0, name.size() - suffix.size());
        std::ifstream in(notePath(r.staged));
        std::getline(in, r.original.studyUid);
        std::getline(in, r.original.imageUid);
        out.push_back(std::move(r));
    }
    return out;
}

PendingHandOver finishPendingRewrites(const ProgramPaths& paths)
{
    PendingHandOver result;
    dropPartialFiles(paths);
    const auto pending = pendingRewrites(paths);
    if (pending.empty())
        return result;
    try {
        db::Database db(paths.imageDb);
        for (const auto& r : pending) {
            try {
                // The note and the name come from the input folder: used as file names only when safe.
                if (!isSafeUid(r.original.imageUid) || !isSafeUid(r.original.studyUid) || !isSafeUid(r.newImageUid))
                    throw Error(errc::NotFound, "No sound note of the original for " + r.staged.string());
                if (abandonWhenUidTaken(db, paths, r))
                    continue;
                // The original goes only when the copy can take its place at once.
                if (!canHandOver(r))
                    throw Error(errc::Generic, handOverName(r).string() +
                                                   " waits in the input folder; the rewritten copy stays staged");
                if (removeOriginal(db, paths, r.original) && handOver(r)) {
                    result.handedOver.push_back(handOverName(r));
                    continue;
                }
                ++result.waiting;
            } catch (const Error& e) {
                log::LogError(e.code(), e.message(), HandOverLocation);
                ++result.waiting;
            }
        }
    } catch (const Error& e) {
        log::LogError(e.code(), e.message(), HandOverLocation);
        result.waiting = pending.size() - result.handedOver.size();
    }
    return result;
}

std::size_t handOverPendingRewrites(const ProgramPaths& paths)
{
    // A job running elsewhere (corvactl) may be writing and staging copies right now.
    const JobLock lock = JobLock::tryAcquire(paths.dataFolder);
    if (!lock.held())
        return 0;  // busy, or no lock file to hold: the copies wait, staged, for the next start
    return finishPendingRewrites(paths).handedOver.size();
}

bool waitUntilFiled(const std::vector<fs::path>& handedOver, std::chrono::milliseconds limit,
                    const std::function<bool()>& cancelled)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        bool filed = true;
        std::error_code ec;
        for (const auto& file : handedOver)
            if (fs::exists(file, ec))
                filed = false;
        if (filed)
            return true;
        if (std::chrono::steady_clock::now() >= end || (cancelled && cancelled()))
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

}  // namespace corva::station::header
