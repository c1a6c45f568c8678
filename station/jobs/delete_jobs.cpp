#include "jobs/delete_jobs.h"

#include <optional>
#include <system_error>
#include <vector>

#include "common/edge.h"
#include "common/job_lock.h"
#include "core/error.h"
#include "core/paths.h"
#include "db/schema.h"

#include "log/error_log.h"

namespace fs = std::filesystem;

namespace corva::station::jobs {

namespace {

constexpr const char* Ok = "OK\r\n";
constexpr const char* Failed = "failed\r\n";

std::int64_t number(const std::string& text, const char* what) {
    try {
        std::size_t used = 0;
        const long long v = std::stoll(text, &used);
        if (used == text.size()) return v;
    } catch (const std::exception&) {
    }
    throw Error(errc::Generic, std::string("No current ") + what, "ImageDeleter");
}

}  // namespace

JobTarget JobTarget::current() {
    const auto& ctx = stationContext();
    return JobTarget{ctx.paths, ctx.selection};
}

bool ImageDeleter::removeImagesOf(const std::vector<db::ImageRef>& images, const db::ImageIndex::Containers& also,
                                  bool studyPhaseForFiles, const char* location) {
    db::ImageIndex index(db_, t_.paths.imageStore);
    report_.appendLog("Updating Database ... ");
    std::vector<std::int64_t> ids;
    std::vector<fs::path> missing;
    for (const db::ImageRef& r : images) {
        ids.push_back(r.imageId);
        std::error_code ec;
        if (r.file.empty() || !fs::is_regular_file(r.file, ec)) missing.push_back(r.file);
    }
    // Exactly the images read above and the containers left empty: an image the ingest
    // service files meanwhile keeps its row, its file and its study.
    const db::Removal removal = index.removeImages(ids, also);
    patientRemoved_ = !removal.patients.empty();
    studyRemoved_ = !removal.studies.empty();
    report_.appendLog(Ok);
    if (removal.files.empty() && removal.studyFolders.empty() && missing.empty()) return true;
    const bool wholeStudy = studyPhaseForFiles || patientRemoved_;
    report_.appendLog(wholeStudy ? "Removing image directory ... " : "Removing images ... ");
    report_.setProgress(0);
    std::vector<fs::path> left = index.removeFiles(removal);
    for (const fs::path& f : missing)
        corva::log::LogError(errc::NotFound, "The image file " + f.string() + " was missing", location);
    for (const fs::path& f : left) corva::log::LogError(errc::Generic, "Cannot remove " + f.string(), location);
    const bool ok = left.empty() && missing.empty();
    report_.appendLog(ok ? Ok : Failed);
    return ok;
}

bool ImageDeleter::deletePatient() {
    const char* location = "EditForm DeletePatientFromDatabase";
    try {
        const std::int64_t patientKey = t_.selection.patientKey;
        db::ImageIndex index(db_, t_.paths.imageStore);
        // By its key: other patients may carry the same patient ID (the placeholder).
        return removeImagesOf(index.imagesOfPatient(patientKey), index.containersOfPatient(patientKey), true,
                              location);
    } catch (const std::exception&) {
        logCaught(location);
        report_.appendLog(Failed);
        return false;
    }
}

bool ImageDeleter::deleteStudy(bool afterStudySend) {
    const char* location = "EditForm DeleteStudyFromDatabase";
    try {
        const std::int64_t studyId = number(t_.selection.studyId, "study");
        db::ImageIndex index(db_, t_.paths.imageStore);
        db::ImageIndex::Containers also = index.containersOfStudy(studyId);
        // A plain study delete keeps the patient row; after a study send it goes when empty.
        also.patientsOfImages = afterStudySend;
        if (afterStudySend) also.patients.push_back(t_.selection.patientKey);
        return removeImagesOf(index.imagesOfStudy(studyId), also, true, location);
    } catch (const std::exception&) {
        logCaught(location);
        report_.appendLog(Failed);
        return false;
    }
}

bool ImageDeleter::deleteSeries() {
    const char* location = "EditForm DeleteSeriesFromDatabase";
    try {
        const std::int64_t seriesId = number(t_.selection.seriesId, "series");
        number(t_.selection.studyId, "study");
        db::ImageIndex index(db_, t_.paths.imageStore);
        db::ImageIndex::Containers also;
        also.series.push_back(seriesId);
        // The study and patient go along only when the series was all that was left.
        {
            auto st = db_.prepare("SELECT FKeyStudyID FROM tblSeries WHERE SeriesID = ?");
            st.bind(1, seriesId);
            if (st.step()) also.studies.push_back(st.getInt(0));
        }
        also.patients.push_back(t_.selection.patientKey);
        return removeImagesOf(index.imagesOfSeries(seriesId), also, false, location);
    } catch (const std::exception&) {
        logCaught(location);
        report_.appendLog(Failed);
        return false;
    }
}

JobOutcome DeleteJob::run(JobReport& report) {
    db::Database db(target_.paths.imageDb);
    ImageDeleter deleter(db, target_, report);
    switch (level_) {
        case Level::Patient: succeeded_ = deleter.deletePatient(); break;
        case Level::Series: succeeded_ = deleter.deleteSeries(); break;
        case Level::Study: succeeded_ = deleter.deleteStudy(false); break;
        case Level::StudyAndEmptyPatient: succeeded_ = deleter.deleteStudy(true); break;
    }
    patientRemoved_ = deleter.patientRemoved();
    studyRemoved_ = deleter.studyRemoved();
    report.appendLog("Tasks done.");
    return JobOutcome{succeeded_, succeeded_ ? 0 : 1};
}

db::AsideFolders emptyImageDatabase(const fs::path& imageDb, const fs::path& templateDb, const fs::path& imageStore) {
    if (!fs::exists(templateDb))
        throw Error(errc::NotFound, "The template database " + templateDb.string() + " is missing", "DeleteAllTimer");
    db::Database db(imageDb);
    // The commit is on disk before the first folder goes, also across a power failure.
    db.exec("PRAGMA synchronous=FULL");
    {
        auto st = db.prepare("ATTACH DATABASE ? AS tmpl");
        st.bind(1, templateDb.string());
        st.run();
    }
    std::optional<db::AsideFolders> aside;
    try {
        std::vector<std::string> tables;
        {
            auto st = db.prepare(
                "SELECT name FROM tmpl.sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite_%' ORDER BY name");
            while (st.step()) tables.push_back(st.getText(0));
        }
        {
            db::Transaction tx(db);
            // Under the write lock: the study folders move aside before any row goes, so an
            // image registered after the commit finds a fresh folder.
            aside.emplace(db::AsideFolders::moveAside(db, imageStore));
            for (const std::string& table : tables) {
                if (!db::isValidIdentifier(table)) continue;
                if (!db.hasTable(table)) continue;
                std::vector<std::string> columns;
                {
                    auto st = db.prepare("SELECT name FROM pragma_table_info(?, 'tmpl')");
                    st.bind(1, table);
                    while (st.step()) columns.push_back("\"" + st.getText(0) + "\"");
                }
                std::string list;
                for (const auto& c : columns) list += (list.empty() ? "" : ", ") + c;
                db.exec("DELETE FROM main.\"" + table + "\"");
                if (!list.empty())
                    db.exec("INSERT INTO main.\"" + table + "\" (" + list + ") SELECT " + list + " FROM tmpl.\"" +
                            table + "\"");
            }
            tx.commit();
        }
    } catch (...) {
        // Rolled back by now: every row is there again, so every folder comes back.
        if (aside && !aside->restore())
            corva::log::LogError(errc::Generic, "Study folders stayed hidden; the next start brings them back",
                                 "EditForm DeleteAllTimer");
        try {
            db.exec("DETACH DATABASE tmpl");
        } catch (...) {
        }
        throw;
    }
    try {
        db.exec("DETACH DATABASE tmpl");
    } catch (const std::exception&) {
        // Committed already: the folders are to go whatever the connection says now.
    }
    return std::move(*aside);
}

JobOutcome DeleteAllJob::run(JobReport& report) {
    JobOutcome outcome;
    // One left by a killed run first, so that its folders are decided by its own note.
    recoverInterruptedDeleteAllLocked(paths_);
    report.appendLog("Removing database entries ... ");
    std::optional<db::AsideFolders> folders;
    try {
        folders.emplace(emptyImageDatabase(paths_.imageDb, paths_.templateDb, paths_.imageStore));
        report.appendLog(Ok);
    } catch (const Error& e) {
        corva::log::LogError(e.code(), e.message(), "EditForm DeleteAllTimer");
        report.appendLog(Failed);
        outcome.complete = false;
        // The rows stay, so their images stay too: a row without its file is an image lost.
        report.appendLog("Removing images ... skipped (database entries kept)\r\n");
        report.appendLog("Tasks done.");
        return outcome;
    }
    report.appendLog("Removing images ... ");
    report.setProgress(0);
    if (folders->size() > 0) report.setProgressMaximum(static_cast<double>(folders->size()));
    double done = 0;
    // A folder that cannot go now stays noted (and logged): the next start removes it.
    if (folders->remove([&] { report.setProgress(++done); })) {
        report.appendLog(Ok);
    } else {
        report.appendLog(Failed);
        outcome.complete = false;
    }
    report.appendLog("Tasks done.");
    return outcome;
}

void recoverInterruptedDeleteAllLocked(const ProgramPaths& paths) {
    db::recoverInterruptedDeleteAll(paths.imageDb, paths.imageStore);
}

void recoverInterruptedDeleteAll(const ProgramPaths& paths) {
    if (!db::hasInterruptedDeleteAll(paths.imageStore)) return;
    // A job that holds the lock now may be a "delete all" at work: its folders are its own.
    const JobLock lock = JobLock::tryAcquire(paths.dataFolder);
    if (lock.held()) recoverInterruptedDeleteAllLocked(paths);
}

void finishInterruptedRemovals(const ProgramPaths& paths) {
    try {
        db::Database db(paths.imageDb);
        db::ImageIndex(db, paths.imageStore).finishInterruptedRemovals();
    } catch (const std::exception&) {
        logCaught("finishInterruptedRemovals");  // the notes stay for the next start
    }
}

void finishInterruptedRemovalsAtStart(const ProgramPaths& paths) {
    const JobLock lock = JobLock::tryAcquire(paths.dataFolder);
    if (lock.held()) finishInterruptedRemovals(paths);
}

}  // namespace corva::station::jobs
