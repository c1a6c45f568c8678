#include "header/rewrite_handover.h"

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <system_error>

#include "core/error.h"
#include "core/paths.h"
#include "db/database.h"
#include "log/error_log.h"

namespace corva::station::header {
namespace fs = std::filesystem;

void syncPath(const fs::path& p)
{
    const int fd = ::open(p.c_str(), O_RDONLY);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

namespace {

void moveFile(const fs::path& from, const fs::path& to)
{
    std::error_code ec;
    fs::rename(from, to, ec);
    if (!ec)
        return;
    // Another file system: copy, flush, then drop the source.
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
    if (ec)
        throw Error(errc::Generic, "Cannot move " + from.string() + " to " + to.string() + ": " + ec.message());
    syncPath(to);
    fs::remove(from, ec);
}

fs::path notePath(const fs::path& staged) { return fs::path(staged.string() + ".orig"); }

}  // namespace

StagedRewrite stageRewrite(const ProgramPaths& paths, const fs::path& writtenCopy, const std::string& newImageUid,
                           const OriginalImage& original)
{
    if (!isSafeUid(newImageUid) || !isSafeUid(original.imageUid) || !isSafeUid(original.studyUid))
        throw Error(errc::InvalidName, "Unsafe UID for a file name: " + newImageUid);
    std::error_code ec;
    fs::create_directories(paths.inputFolder, ec);
    StagedRewrite r{paths.inputFolder / (newImageUid + ".dcm" + StagedSuffix), newImageUid, original};
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
    if (ec)
        throw Error(errc::Generic, "Cannot write " + note.string() + ": " + ec.message());
    try {
        moveFile(writtenCopy, r.staged);
    } catch (...) {
        fs::remove(note, ec);
        throw;
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
    // The study folder goes with its last file; a folder still holding files stays.
    fs::remove(file.parent_path(), ec);
    return !fs::exists(file);
}

void handOver(const StagedRewrite& rewrite)
{
    const fs::path finalName = rewrite.staged.parent_path() / (rewrite.newImageUid + ".dcm");
    std::error_code ec;
    fs::rename(rewrite.staged, finalName, ec);
    if (ec)
        throw Error(errc::Generic, "Cannot rename " + rewrite.staged.string() + ": " + ec.message());
    fs::remove(notePath(rewrite.staged), ec);
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
        if (name.size() > std::string(NoteSuffix).size() &&
            name.compare(name.size() - std::string(NoteSuffix).size(), std::string::npos, NoteSuffix) == 0) {
            // A note whose copy is gone: the hand-over finished before its note was removed.
            const fs::path staged = entry.path().parent_path() / name.substr(0, name.size() - 5);
            if (!fs::exists(staged))
                fs::remove(entry.path(), ec);
            continue;
        }
        if (name.size() <= suffix.size() || name.compare(name.size() - suffix.size(), std::string::npos, suffix) != 0)
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

std::size_t handOverPendingRewrites(const ProgramPaths& paths)
{
    std::size_t done = 0;
    // Copies a stopped job had not finished writing: their originals were never touched.
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(paths.workFolder, ec))
        if (entry.path().extension() == ".part")
            fs::remove(entry.path(), ec);
    const auto pending = pendingRewrites(paths);
    if (pending.empty())
        return 0;
    try {
        db::Database db(paths.imageDb);
        for (const auto& r : pending) {
            try {
                if (r.original.imageUid.empty())
                    throw Error(errc::NotFound, "No note of the original for " + r.staged.string());
                if (removeOriginal(db, paths, r.original)) {
                    handOver(r);
                    ++done;
                }
            } catch (const Error& e) {
                log::LogError(e.code(), e.message(), "HeaderJob HandOver");
            }
        }
    } catch (const Error& e) {
        log::LogError(e.code(), e.message(), "HeaderJob HandOver");
    }
    return done;
}

}  // namespace corva::station::header
