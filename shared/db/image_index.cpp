#include "db/image_index.h"

#include <algorithm>
#include <set>
#include <system_error>

#include <unistd.h>

#include "core/paths.h"

namespace corva::db {
namespace {

bool contains(const std::vector<std::int64_t>& ids, std::int64_t id)
{
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

bool anyRow(Database& db, const char* sql, std::int64_t key)
{
    Statement st = db.prepare(sql);
    st.bind(1, key);
    return st.step();
}

void deleteRow(Database& db, const char* sql, std::int64_t key)
{
    Statement st = db.prepare(sql);
    st.bind(1, key);
    st.run();
}

// Files and study folders a committed removal still has to remove, relative to the
// image store (a moved program folder keeps its notes). Made where first needed.
constexpr const char* RemovalNotes =
    "CREATE TABLE IF NOT EXISTS tblFilesToRemove (Path TEXT PRIMARY KEY, Folder INTEGER NOT NULL DEFAULT 0)";

// The note's name of a path below the store; empty for one elsewhere (never noted).
std::string noteName(const std::filesystem::path& store, const std::filesystem::path& path)
{
    const std::filesystem::path relative = path.lexically_relative(store);
    if (relative.empty() || relative.is_absolute() || *relative.begin() == "..")
        return {};
    return relative.generic_string();
}

}  // namespace

bool Removal::removedStudy(std::int64_t studyId) const { return contains(studies, studyId); }
bool Removal::removedSeries(std::int64_t seriesId) const { return contains(series, seriesId); }
bool Removal::removedPatient(std::int64_t patientKey) const { return contains(patients, patientKey); }

std::filesystem::path ImageIndex::fileOf(const std::string& studyUid, const std::string& imageUid) const
{
    if (!isSafeUid(studyUid) || !isSafeUid(imageUid))
        return {};
    return store_ / studyUid / (imageUid + ".dcm");
}

std::vector<ImageRef> ImageIndex::images(const std::string& where, std::int64_t key)
{
    Statement st = db_.prepare(
        "SELECT i.ImageID, i.ImageUID, s.SeriesID, st.StudyID, st.StudyUID, st.FKeyPATID FROM tblImages i "
        "JOIN tblSeries s ON s.SeriesID = i.FKeySeriesID JOIN tblStudies st ON st.StudyID = s.FKeyStudyID WHERE " +
        where + " ORDER BY i.ImageID");
    st.bind(1, key);
    std::vector<ImageRef> out;
    while (st.step()) {
        ImageRef r{st.getInt(0), st.getText(1), st.getInt(2), st.getInt(3), st.getText(4), st.getInt(5), {}};
        r.file = fileOf(r.studyUid, r.imageUid);
        out.push_back(std::move(r));
    }
    return out;
}

std::optional<ImageRef> ImageIndex::image(std::int64_t imageId)
{
    std::vector<ImageRef> found = images("i.ImageID = ?", imageId);
    if (found.empty())
        return std::nullopt;
    return found.front();
}

std::vector<ImageRef> ImageIndex::imagesOfSeries(std::int64_t seriesId) { return images("s.SeriesID = ?", seriesId); }

std::vector<ImageRef> ImageIndex::imagesOfStudy(std::int64_t studyId) { return images("st.StudyID = ?", studyId); }

std::vector<ImageRef> ImageIndex::imagesOfPatient(std::int64_t patientKey)
{
    return images("st.FKeyPATID = ?", patientKey);
}

ImageIndex::Containers ImageIndex::containersOfStudy(std::int64_t studyId)
{
    Containers c;
    c.studies.push_back(studyId);
    Statement st = db_.prepare("SELECT SeriesID FROM tblSeries WHERE FKeyStudyID = ?");
    st.bind(1, studyId);
    while (st.step())
        c.series.push_back(st.getInt(0));
    return c;
}

ImageIndex::Containers ImageIndex::containersOfPatient(std::int64_t patientKey)
{
    Containers c;
    c.patients.push_back(patientKey);
    std::vector<std::int64_t> studies;
    {
        Statement st = db_.prepare("SELECT StudyID FROM tblStudies WHERE FKeyPATID = ?");
        st.bind(1, patientKey);
        while (st.step())
            studies.push_back(st.getInt(0));
    }
    for (std::int64_t study : studies) {
        const Containers of = containersOfStudy(study);
        c.studies.insert(c.studies.end(), of.studies.begin(), of.studies.end());
        c.series.insert(c.series.end(), of.series.begin(), of.series.end());
    }
    return c;
}

Removal ImageIndex::removeImages(const std::vector<std::int64_t>& imageIds)
{
    return removeImages(imageIds, Containers{});
}

Removal ImageIndex::removeImages(const std::vector<std::int64_t>& imageIds, const Containers& alsoWhenEmpty,
                                 const std::function<void()>& alsoInTransaction)
{
    Removal r;
    Transaction tx(db_);
    std::set<std::int64_t> series(alsoWhenEmpty.series.begin(), alsoWhenEmpty.series.end());
    std::set<std::int64_t> studies(alsoWhenEmpty.studies.begin(), alsoWhenEmpty.studies.end());
    std::set<std::int64_t> patients(alsoWhenEmpty.patients.begin(), alsoWhenEmpty.patients.end());
    std::set<std::filesystem::path> folders;
    for (std::int64_t id : imageIds) {
        const std::optional<ImageRef> ref = image(id);
        if (!ref)
            continue;  // already gone
        deleteRow(db_, "DELETE FROM tblImages WHERE ImageID = ?", id);
        r.images.push_back(id);
        series.insert(ref->seriesId);
        studies.insert(ref->studyId);
        if (alsoWhenEmpty.patientsOfImages)
            patients.insert(ref->patientKey);
        if (!ref->file.empty()) {
            r.files.push_back(ref->file);
            folders.insert(ref->file.parent_path());
        }
    }
    for (std::int64_t s : series)
        if (anyRow(db_, "SELECT 1 FROM tblSeries WHERE SeriesID = ?", s) &&
            !anyRow(db_, "SELECT 1 FROM tblImages WHERE FKeySeriesID = ?", s)) {
            deleteRow(db_, "DELETE FROM tblSeries WHERE SeriesID = ?", s);
            r.series.push_back(s);
        }
    for (std::int64_t s : studies)
        if (anyRow(db_, "SELECT 1 FROM tblStudies WHERE StudyID = ?", s) &&
            !anyRow(db_, "SELECT 1 FROM tblSeries WHERE FKeyStudyID = ?", s)) {
            Statement uid = db_.prepare("SELECT StudyUID FROM tblStudies WHERE StudyID = ?");
            uid.bind(1, s);
            if (uid.step() && isSafeUid(uid.getText(0)))
                folders.insert(store_ / uid.getText(0));
            uid.reset();
            deleteRow(db_, "DELETE FROM tblStudies WHERE StudyID = ?", s);
            r.studies.push_back(s);
        }
    for (std::int64_t p : patients)
        if (anyRow(db_, "SELECT 1 FROM tblPatienten WHERE PATID = ?", p) &&
            !anyRow(db_, "SELECT 1 FROM tblStudies WHERE FKeyPATID = ?", p)) {
            deleteRow(db_, "DELETE FROM tblPatienten WHERE PATID = ?", p);
            r.patients.push_back(p);
        }
    if (alsoInTransaction)
        alsoInTransaction();
    r.studyFolders.assign(folders.begin(), folders.end());
    // With the rows: what a kill before removeFiles() leaves, the next start removes.
    if (!r.files.empty() || !r.studyFolders.empty()) {
        db_.exec(RemovalNotes);
        Statement note = db_.prepare("INSERT OR IGNORE INTO tblFilesToRemove (Path, Folder) VALUES (?, ?)");
        const auto add = [&](const std::filesystem::path& path, bool folder) {
            const std::string name = noteName(store_, path);
            if (name.empty())
                return;
            note.reset();
            note.bind(1, name).bind(2, folder ? 1 : 0);
            note.run();
        };
        for (const auto& f : r.files)
            add(f, false);
        for (const auto& f : r.studyFolders)
            add(f, true);
    }
    tx.commit();
    return r;
}

std::vector<std::filesystem::path> ImageIndex::removeFiles(const Removal& removal)
{
    std::vector<std::filesystem::path> left;
    for (const std::filesystem::path& f : removal.files) {
        const std::string studyUid = f.parent_path().filename().string();
        const std::string imageUid = f.stem().string();
        try {
            // The ingest service commits an image's row before it moves the file in: with
            // the write lock held, either the row is there (the file stays for it) or the
            // file is gone before the service looks for it.
            Transaction tx(db_);
            Statement st = db_.prepare(
                "SELECT 1 FROM tblImages i JOIN tblSeries s ON s.SeriesID = i.FKeySeriesID "
                "JOIN tblStudies st ON st.StudyID = s.FKeyStudyID WHERE i.ImageUID = ? AND st.StudyUID = ?");
            st.bind(1, imageUid).bind(2, studyUid);
            const bool named = st.step();
            st.reset();
            bool done = true;
            if (!named) {
                std::error_code ec;
                std::filesystem::remove(f, ec);
                if (ec) {
                    left.push_back(f);
                    done = false;
                }
            }
            if (done)
                forgetNote(f);
            tx.commit();
        } catch (const std::exception&) {
            left.push_back(f);
        }
    }
    // rmdir takes a folder only when it is empty: one the ingest service just filed an
    // image into stays. A study folder that is a symbolic link stays too (rmdir refuses
    // it, where remove() would unlink it with the study's other images behind it).
    for (const std::filesystem::path& folder : removal.studyFolders) {
        ::rmdir(folder.c_str());
        try {
            forgetNote(folder);
        } catch (const std::exception&) {
            // the note stays for the next start, which tries again
        }
    }
    return left;
}

void ImageIndex::forgetNote(const std::filesystem::path& path)
{
    const std::string name = noteName(store_, path);
    if (name.empty() || !db_.hasTable("tblFilesToRemove"))
        return;
    Statement st = db_.prepare("DELETE FROM tblFilesToRemove WHERE Path = ?");
    st.bind(1, name);
    st.run();
}

std::size_t ImageIndex::finishInterruptedRemovals()
{
    if (!db_.hasTable("tblFilesToRemove"))
        return 0;
    Removal r;
    {
        Statement st = db_.prepare("SELECT Path, Folder FROM tblFilesToRemove ORDER BY Folder, Path");
        while (st.step()) {
            // Only what a removal notes: "<study UID>" or "<study UID>/<image UID>.dcm".
            const std::filesystem::path name(st.getText(0));
            const bool folder = st.getInt(1) != 0;
            const auto parts = std::distance(name.begin(), name.end());
            const bool sound = folder ? parts == 1 && isSafeUid(name.string())
                                      : parts == 2 && isSafeUid(name.begin()->string()) &&
                                            name.extension() == ".dcm" && isSafeUid(name.stem().string());
            if (sound)
                (folder ? r.studyFolders : r.files).push_back(store_ / name);
        }
    }
    if (r.files.empty() && r.studyFolders.empty())
        return 0;
    return r.files.size() - removeFiles(r).size();
}

}  // namespace corva::db
