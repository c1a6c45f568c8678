// Deleting series, studies, patients and everything: rows, files and log lines.
#include <gtest/gtest.h>

#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <atomic>
#include <fstream>
#include <thread>

#include "dicom_fixture.h"
#include "jobs/delete_jobs.h"
#include "jobs/edit_form.h"
#include "station/recording_report.h"
#include "station_test_support.h"

namespace fs = std::filesystem;
using namespace corva::station;
using namespace corva::station::jobs;
using corva::station::test::RecordingReport;

namespace {

class DeleteJobsTest : public corva::station::test::StationTest {
protected:
    using Study = StudyRows;
    // A study with `seriesCount` series of `perSeries` images each, files included.
    Study makeStudy(std::int64_t patient, int seriesCount, int perSeries) {
        return addStudyWithImages(patient, seriesCount, perSeries);
    }
    JobTarget target(std::int64_t patient, const std::string& patientId, const Study* study = nullptr,
                     std::int64_t series = 0) {
        JobTarget t{stationContext().paths, {}};
        t.selection.patientKey = patient;
        t.selection.patientId = patientId;
        if (study) {
            t.selection.studyId = std::to_string(study->key);
            t.selection.studyUid = study->uid;
        }
        if (series) t.selection.seriesId = std::to_string(series);
        return t;
    }
    std::int64_t rowsWhere(const std::string& sql, std::int64_t key) {
        auto db = openImageDb();
        auto st = db.prepare(sql);
        st.bind(1, key);
        return st.step() ? st.getInt(0) : -1;
    }
    fs::path file(const Study& s, int i) { return folder_->images() / s.uid / (s.images.at(i) + ".dcm"); }
};

using Lines = std::vector<std::string>;

TEST_F(DeleteJobsTest, SeriesOfAStudyWithMoreSeriesGoesWithItsFilesOnly) {
    const auto p = addPatient("ID1", "Alpha", "A");
    const Study s = makeStudy(p, 2, 2);
    DeleteJob job(DeleteJob::Level::Series, target(p, "ID1", &s, s.series[0]));
    RecordingReport r;
    const auto outcome = job.run(r);
    EXPECT_TRUE(outcome.complete);
    EXPECT_EQ(r.lines(), (Lines{"Updating Database ... OK", "Removing images ... OK", "Tasks done."}));
    EXPECT_FALSE(fs::exists(file(s, 0)));
    EXPECT_FALSE(fs::exists(file(s, 1)));
    EXPECT_TRUE(fs::exists(file(s, 2)));
    EXPECT_EQ(countRows("tblImages"), 2);
    EXPECT_EQ(countRows("tblSeries"), 1);
    EXPECT_EQ(countRows("tblStudies"), 1);
    EXPECT_FALSE(job.studyRemoved());
}

TEST_F(DeleteJobsTest, LastSeriesTakesTheStudyAndTheLastStudyThePatient) {
    const auto p = addPatient("ID1", "Alpha", "A");
    const Study keep = makeStudy(p, 1, 1);
    const Study s = makeStudy(p, 1, 2);
    {
        DeleteJob job(DeleteJob::Level::Series, target(p, "ID1", &s, s.series[0]));
        RecordingReport r;
        job.run(r);
        EXPECT_TRUE(job.studyRemoved());
        EXPECT_FALSE(job.patientRemoved());
        EXPECT_EQ(r.lines(), (Lines{"Updating Database ... OK", "Removing images ... OK", "Tasks done."}));
        EXPECT_EQ(rowsWhere("SELECT COUNT(*) FROM tblStudies WHERE StudyID = ?", s.key), 0);
        EXPECT_TRUE(fs::exists(file(keep, 0)));
    }
    {
        DeleteJob job(DeleteJob::Level::Series, target(p, "ID1", &keep, keep.series[0]));
        RecordingReport r;
        job.run(r);
        EXPECT_TRUE(job.studyRemoved());
        EXPECT_TRUE(job.patientRemoved());
        EXPECT_EQ(r.lines(), (Lines{"Updating Database ... OK", "Removing image directory ... OK", "Tasks done."}));
        EXPECT_FALSE(fs::exists(folder_->images() / keep.uid));
        EXPECT_EQ(countRows("tblPatienten"), 0);
    }
}

TEST_F(DeleteJobsTest, StudyDeletionKeepsThePatientRowEvenForItsLastStudy) {
    const auto p = addPatient("ID1", "Alpha", "A");
    const Study s = makeStudy(p, 2, 1);
    DeleteJob job(DeleteJob::Level::Study, target(p, "ID1", &s));
    RecordingReport r;
    EXPECT_TRUE(job.run(r).complete);
    EXPECT_EQ(r.lines(), (Lines{"Updating Database ... OK", "Removing image directory ... OK", "Tasks done."}));
    EXPECT_EQ(countRows("tblImages"), 0);
    EXPECT_EQ(countRows("tblSeries"), 0);
    EXPECT_EQ(countRows("tblStudies"), 0);
    EXPECT_EQ(countRows("tblPatienten"), 1);
    EXPECT_FALSE(fs::exists(folder_->images() / s.uid));
}

TEST_F(DeleteJobsTest, StudyWhoseFolderIsGoneFailsAfterItsRows) {
    const auto p = addPatient("ID1", "Alpha", "A");
    const Study s = makeStudy(p, 1, 1);
    fs::remove_all(folder_->images() / s.uid);
    DeleteJob job(DeleteJob::Level::Study, target(p, "ID1", &s));
    RecordingReport r;
    EXPECT_FALSE(job.run(r).complete);
    EXPECT_EQ(r.lines(), (Lines{"Updating Database ... OK", "Removing image directory ... failed", "Tasks done."}));
    EXPECT_NE(errorLog().find("EditForm DeleteStudyFromDatabase"), std::string::npos);
}

TEST_F(DeleteJobsTest, PatientSharingThePlaceholderIdWithAnotherKeepsTheOther) {
    const auto a = addPatient("0000000", "Alpha", "A");
    const auto b = addPatient("0000000", "Beta", "B");
    const Study sa = makeStudy(a, 1, 2);
    const Study sb = makeStudy(b, 1, 1);
    DeleteJob job(DeleteJob::Level::Patient, target(a, "0000000"));
    RecordingReport r;
    EXPECT_TRUE(job.run(r).complete);
    EXPECT_EQ(r.lines(), (Lines{"Updating Database ... OK", "Removing image directory ... OK", "Tasks done."}));
    EXPECT_EQ(rowsWhere("SELECT COUNT(*) FROM tblPatienten WHERE PATID = ?", b), 1);
    EXPECT_EQ(rowsWhere("SELECT COUNT(*) FROM tblPatienten WHERE PATID = ?", a), 0);
    EXPECT_EQ(countRows("tblImages"), 1);
    EXPECT_FALSE(fs::exists(folder_->images() / sa.uid));
    EXPECT_TRUE(fs::exists(file(sb, 0)));
}

TEST_F(DeleteJobsTest, PatientWhoseRowsAreGoneRemovesNoFolder) {
    DeleteJob job(DeleteJob::Level::Patient, target(4711, "X"));
    RecordingReport r;
    EXPECT_TRUE(job.run(r).complete);
    EXPECT_EQ(r.lines(), (Lines{"Updating Database ... OK", "Tasks done."}));
}

TEST_F(DeleteJobsTest, DeleteAllEmptiesDatabaseAndStudyFoldersButNotLooseFiles) {
    const auto a = addPatient("ID1", "Alpha", "A");
    makeStudy(a, 2, 2);
    makeStudy(a, 1, 1);
    std::ofstream(folder_->images() / "loose.txt") << "x";
    DeleteAllJob job(stationContext().paths);
    RecordingReport r;
    EXPECT_TRUE(job.run(r).complete);
    EXPECT_EQ(r.lines(), (Lines{"Removing database entries ... OK", "Removing images ... OK", "Tasks done."}));
    for (const char* t : {"tblPatienten", "tblStudies", "tblSeries", "tblImages"}) EXPECT_EQ(countRows(t), 0) << t;
    int folders = 0;
    for (const auto& e : fs::directory_iterator(folder_->images()))
        if (e.is_directory()) ++folders;
    EXPECT_EQ(folders, 0);
    EXPECT_TRUE(fs::exists(folder_->images() / "loose.txt"));
    EXPECT_EQ(r.maximum(), 2);
    EXPECT_EQ(r.progress(), 2);
}

TEST_F(DeleteJobsTest, DeleteAllWithoutTemplateFailsTheDatabaseStep) {
    const auto a = addPatient("ID1", "Alpha", "A");
    const auto study = makeStudy(a, 1, 1);
    fs::remove(folder_->templateDatabase());
    DeleteAllJob job(stationContext().paths);
    RecordingReport r;
    job.run(r);
    EXPECT_EQ(r.lines(),
              (Lines{"Removing database entries ... failed", "Removing images ... skipped (database entries kept)",
                     "Tasks done."}));
    // Every row kept has its file.
    EXPECT_EQ(countRows("tblImages"), 1);
    EXPECT_TRUE(fs::exists(folder_->images() / study.uid / (study.images.at(0) + ".dcm")));
}

// Registration the way the ingest service does it: rows committed in one transaction,
// then the file moved into its study folder. Meanwhile everything is deleted; after
// both, every image row left has its file.
TEST_F(DeleteJobsTest, DeleteAllWhileImagesAreRegisteredLeavesNoRowWithoutFile) {
    const auto p = addPatient("ID1", "Alpha", "A");
    const Study s = makeStudy(p, 1, 3);
    std::atomic<bool> stop{false};
    std::thread ingest([&] {
        auto db = openImageDb();
        for (int i = 0; i < 200 && !stop; ++i) {
            const std::string studyUid = s.uid;  // the same study keeps receiving
            const std::string uid = corva::test::uniqueUid();
            corva::test::DicomRecipe recipe;
            recipe.studyUid = studyUid;
            recipe.sopInstanceUid = uid;
            recipe.rows = 8;
            recipe.columns = 8;
            const fs::path incoming = folder_->temp() / (uid + ".dcm");
            corva::test::writeDicom(incoming, recipe);
            {
                corva::db::Transaction tx(db);
                db.exec("INSERT INTO tblPatienten (PATID1, PATNachname) VALUES ('ID2', 'Gamma')");
                const auto patient = db.lastInsertRowId();
                auto st = db.prepare("INSERT INTO tblStudies (FKeyPATID, StudyUID) VALUES (?, ?)");
                st.bind(1, patient).bind(2, studyUid);
                st.run();
                const auto study = db.lastInsertRowId();
                auto se = db.prepare("INSERT INTO tblSeries (FKeyStudyID, SeriesUID) VALUES (?, 'x')");
                se.bind(1, study);
                se.run();
                auto im = db.prepare("INSERT INTO tblImages (FKeySeriesID, ImageUID) VALUES (?, ?)");
                im.bind(1, db.lastInsertRowId()).bind(2, uid);
                im.run();
                tx.commit();
            }
            fs::create_directories(folder_->images() / studyUid);
            fs::rename(incoming, folder_->images() / studyUid / (uid + ".dcm"));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    DeleteAllJob job(stationContext().paths);
    RecordingReport r;
    job.run(r);
    stop = true;
    ingest.join();
    EXPECT_EQ(r.lines().front(), "Removing database entries ... OK");
    auto db = openImageDb();
    auto st = db.prepare(
        "SELECT i.ImageUID, st.StudyUID FROM tblImages i JOIN tblSeries se ON se.SeriesID = i.FKeySeriesID "
        "JOIN tblStudies st ON st.StudyID = se.FKeyStudyID");
    int rows = 0;
    while (st.step()) {
        ++rows;
        EXPECT_TRUE(fs::exists(folder_->images() / st.getText(1) / (st.getText(0) + ".dcm"))) << st.getText(0);
    }
    auto check = db.prepare("PRAGMA integrity_check");
    ASSERT_TRUE(check.step());
    EXPECT_EQ(check.getText(0), "ok");
    for (const auto& e : fs::directory_iterator(folder_->images()))
        EXPECT_FALSE(e.path().filename().string().starts_with(".deleting")) << e.path();
}

// A job that runs until it is let go, to see the window while a job runs.
class HeldJob : public Job {
public:
    std::string caption() const override { return "held"; }
    JobOutcome run(JobReport& report) override {
        report.appendLog("Working ... ");
        while (!release && !report.cancelRequested()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        report.appendLog("OK\r\nTasks done.");
        return {};
    }
    std::atomic<bool> release{false};
};

TEST_F(DeleteJobsTest, WindowCannotCloseWhileItsJobRunsAndShowsTheLogAfter) {
    auto job = std::make_shared<HeldJob>();
    EditForm form(JobKind::DeleteStudy, job);
    form.show();
    EXPECT_EQ(form.windowTitle(), "Delete images");
    EXPECT_EQ(form.findChild<QLabel*>("lblProgress")->text(), "Progress:");
    EXPECT_FALSE(form.cmdOK()->isEnabled());
    ASSERT_TRUE(corva::station::test::waitFor([&] { return form.txtProgress()->toPlainText() == "Working ... "; }));
    EXPECT_TRUE(form.jobRunning());
    EXPECT_FALSE(form.close());  // from the title bar: refused
    EXPECT_TRUE(form.isVisible());
    EXPECT_TRUE(stationContext().refreshLock);
    job->release = true;
    ASSERT_TRUE(corva::station::test::waitFor([&] { return form.cmdOK()->isEnabled(); }));
    EXPECT_EQ(form.txtProgress()->toPlainText(), "Working ... OK\nTasks done.");
    QTest::mouseClick(form.cmdOK(), Qt::LeftButton);
    EXPECT_FALSE(form.isVisible());
    EXPECT_FALSE(stationContext().refreshLock);
}

TEST_F(DeleteJobsTest, WindowRunsADeleteJobModallyAndOkClosesIt) {
    const auto p = addPatient("ID1", "Alpha", "A");
    const Study s = makeStudy(p, 2, 1);
    auto job = std::make_shared<DeleteJob>(DeleteJob::Level::Series, target(p, "ID1", &s, s.series[1]));
    QString log;
    bool okWasDisabledAtStart = false;
    op_.answerWindow(ScriptedOperator::runModal([&](QDialog& d) {
        auto& form = static_cast<EditForm&>(d);
        okWasDisabledAtStart = !form.cmdOK()->isEnabled();
        if (!corva::station::test::waitFor([&] { return form.cmdOK()->isEnabled(); })) return;
        log = form.txtProgress()->toPlainText();
        QTest::mouseClick(form.cmdOK(), Qt::LeftButton);
    }));
    runJobWindow(JobKind::DeleteSeries, job);
    EXPECT_TRUE(okWasDisabledAtStart);
    EXPECT_EQ(log, "Updating Database ... OK\nRemoving images ... OK\nTasks done.");
    EXPECT_EQ(countRows("tblSeries"), 1);
    EXPECT_TRUE(op_.unexpected().empty());
}

TEST_F(DeleteJobsTest, KindOutsideTheTableLeavesTheWindowIdle) {
    EditForm form(12, std::make_shared<HeldJob>());
    QTest::qWait(250);
    EXPECT_FALSE(form.jobRunning());
    EXPECT_FALSE(form.cmdOK()->isEnabled());
    EXPECT_TRUE(form.txtProgress()->toPlainText().isEmpty());
}

TEST_F(DeleteJobsTest, OkAfterAForwardingRefreshesOnceAndEndsTheForwarding) {
    int refreshed = 0;
    EditForm::setForwardingRefresh([&] { ++refreshed; });
    stationContext().forwardingMode = ForwardingMode::Automatic;
    auto job = std::make_shared<HeldJob>();
    job->release = true;
    EditForm form(JobKind::DeleteStudy, job);
    form.show();
    ASSERT_TRUE(corva::station::test::waitFor([&] { return form.cmdOK()->isEnabled(); }));
    QTest::mouseClick(form.cmdOK(), Qt::LeftButton);
    EXPECT_EQ(refreshed, 1);
    EXPECT_EQ(stationContext().forwardingMode, ForwardingMode::None);
    EditForm::setForwardingRefresh({});
}

}  // namespace
