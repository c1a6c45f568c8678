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

std::vector<std::int64_t> ids(db::Database& db, const std::string& sql, std::int64_t key) {
    std::vector<std::int64_t> out;
    auto st = db.prepare(sql);
    st.bind(1, key);
    while (st.step()) out.push_back(st.getInt(0));
    return out;
}

std::int64_t count(db::Database& db, const std::string& sql, std::int64_t key) {
    auto st = db.prepare(sql);
    st.bind(1, key);
    return st.step() ? st.getInt(0) : 0;
}

void run(db::Database& db, const std::string& sql, std::int64_t key) {
    auto st = db.prepare(sql);
    st.bind(1, key);
    st.run();
}

std::int64_t number(const std::string& text, const char* what) {
    try {
        std::size_t used = 0;
        const long long v = std::stoll(text, &used);
        if (used == text.size()) return v;
    } catch (const std::exception&) {
    }
    throw Error(errc::Generic, std::string("No current ") + what, "ImageDeleter");
}

// Removes a folder with all its content; false when it could not (missing counts as removed
// only when `missingIsOk`).
bool removeFolder(const fs::path& folder, bool missingIsOk) {
    std::error_code ec;
    if (!fs::exists(folder, ec)) return missingIsOk;
    fs::remove_all(folder, ec);
    return !ec;
}

}  // namespace

JobTarget JobTarget::current() {
    const auto& ctx = stationContext();
    return JobTarget{ctx.paths, ctx.selection};
}

fs::path ImageDeleter::studyFolder(const std::string& studyUid) const {
    if (!isSafeUid(studyUid)) return {};
    return t_.paths.imageStore / studyUid;
}

bool ImageDeleter::deletePatient() {
    const char* location = "EditForm DeletePatientFromDatabase";
    try {
        const std::int64_t patientKey = t_.selection.patientKey;
        std::vector<fs::path> folders;
        db::Transaction tx(db_);
        std::vector<std::pair<std::int64_t, std::string>> studies;
        {
            auto st = db_.prepare("SELECT StudyID, StudyUID FROM tblStudies WHERE FKeyPATID = ?");
            st.bind(1, patientKey);
            while (st.step()) studies.emplace_back(st.getInt(0), st.getText(1));
        }
        report_.appendLog("Updating Database ... ");
        for (const auto& [studyId, studyUid] : studies) {
            try {
                for (std::int64_t seriesId : ids(db_, "SELECT SeriesID FROM tblSeries WHERE FKeyStudyID = ?", studyId)) {
                    try {
                        run(db_, "DELETE FROM tblImages WHERE FKeySeriesID = ?", seriesId);
                        run(db_, "DELETE FROM tblSeries WHERE SeriesID = ?", seriesId);
                    } catch (const std::exception&) {
                        logCaught("EditForm DeletePatientFromDatabase ERROR_RS1");
                    }
                }
                run(db_, "DELETE FROM tblStudies WHERE StudyID = ?", studyId);
                if (const fs::path f = studyFolder(studyUid); !f.empty()) folders.push_back(f);
            } catch (const std::exception&) {
                logCaught("EditForm DeletePatientFromDatabase ERROR_RS");
            }
        }
        // By its key: other patients may carry the same patient ID (the placeholder).
        run(db_, "DELETE FROM tblPatienten WHERE PATID = ?", patientKey);
        tx.commit();
        patientRemoved_ = true;
        report_.appendLog(Ok);
        if (!folders.empty()) {
            report_.appendLog("Removing image directory ... ");
            report_.setProgress(0);
            report_.setProgressMaximum(static_cast<double>(folders.size()));
            double done = 0;
            for (const fs::path& f : folders) {
                removeFolder(f, true);  // a folder that cannot go stays; the rows are gone
                report_.setProgress(++done);
            }
            report_.appendLog(Ok);
        }
        return true;
    } catch (const std::exception&) {
        logCaught(location);
        report_.appendLog(Failed);
        return false;
    }
}

void ImageDeleter::removePatientWhenEmpty() {
    if (count(db_, "SELECT COUNT(*) AS StudyCount FROM tblStudies WHERE FKeyPATID = ?", t_.selection.patientKey) != 0)
        return;
    run(db_, "DELETE FROM tblPatienten WHERE PATID = ?", t_.selection.patientKey);
    patientRemoved_ = true;
}

bool ImageDeleter::deleteStudy(bool afterStudySend) {
    try {
        report_.appendLog("Updating Database ... ");
        const std::int64_t studyId = number(t_.selection.studyId, "study");
        const fs::path folder = studyFolder(t_.selection.studyUid);
        {
            db::Transaction tx(db_);
            for (std::int64_t seriesId : ids(db_, "SELECT SeriesID FROM tblSeries WHERE FKeyStudyID = ?", studyId))
                run(db_, "DELETE FROM tblImages WHERE FKeySeriesID = ?", seriesId);
            run(db_, "DELETE FROM tblSeries WHERE FKeyStudyID = ?", studyId);
            run(db_, "DELETE FROM tblStudies WHERE StudyID = ?", studyId);
            if (afterStudySend) removePatientWhenEmpty();
            tx.commit();
            studyRemoved_ = true;
        }
        report_.appendLog(Ok);
        report_.appendLog("Removing image directory ... ");
        if (folder.empty() || !removeFolder(folder, false))
            throw Error(errc::NotFound, "Cannot remove the folder of study " + t_.selection.studyUid,
                        "DeleteStudyFromDatabase");
        report_.appendLog(Ok);
        return true;
    } catch (const std::exception&) {
        logCaught("EditForm DeleteStudyFromDatabase");
        report_.appendLog(Failed);
        return false;
    }
}

bool ImageDeleter::deleteSeries() {
    try {
        report_.appendLog("Updating Database ... ");
        const std::int64_t seriesId = number(t_.selection.seriesId, "series");
        const std::int64_t studyId = number(t_.selection.studyId, "study");
        std::vector<std::string> files;
        {
            db::Transaction tx(db_);
            run(db_, "DELETE FROM tblSeries WHERE SeriesID = ?", seriesId);
            {
                auto st = db_.prepare("SELECT ImageUID FROM tblImages WHERE FKeySeriesID = ?");
                st.bind(1, seriesId);
                while (st.step()) files.push_back(st.getText(0));
            }
            run(db_, "DELETE FROM tblImages WHERE FKeySeriesID = ?", seriesId);
            if (count(db_, "SELECT COUNT(*) AS SeriesCount FROM tblSeries WHERE FKeyStudyID = ?", studyId) == 0) {
                run(db_, "DELETE FROM tblStudies WHERE StudyID = ?", studyId);
                studyRemoved_ = true;
            }
            removePatientWhenEmpty();
            tx.commit();
        }
        report_.appendLog(Ok);
        const fs::path folder = studyFolder(t_.selection.studyUid);
        if (patientRemoved_) {
            report_.appendLog("Removing image directory ... ");
            if (!folder.empty()) removeFolder(folder, true);
        } else {
            report_.appendLog("Removing images ... ");
            for (const std::string& uid : files) {
                if (folder.empty() || !isSafeUid(uid)) continue;
                std::error_code ec;
                fs::remove(folder / (uid + ".dcm"), ec);
            }
        }
        report_.appendLog(Ok);
        return true;
    } catch (const std::exception&) {
        logCaught("EditForm DeleteSeriesFromDatabase");
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

}  // namespace corva::station::jobs
