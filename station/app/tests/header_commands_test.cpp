// Header editing from the main window: the header view follows the viewer's image, and a
// patient name corrected through the task list reaches every image of the patient, with
// the real Ingrado filing the rewritten images again.
#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <map>

#include "app/header_commands.h"
#include "app/main_form.h"
#include "common/job_lock.h"
#include "common/service_control.h"
#include "common/list_view.h"
#include "common/station_context.h"
#include "dicom_fixture.h"
#include "header/header_panel.h"
#include "header/rewrite_handover.h"
#include "header/rule_store.h"
#include "jobs/edit_form.h"
#include "settings/settings.h"
#include "station_test_support.h"
#include "viewer/dicom_viewer.h"
#include "viewer/study_loader.h"

namespace fs = std::filesystem;
using namespace corva;
using namespace corva::station;

namespace {

using corva::station::test::findItem;
using corva::station::test::waitFor;
using corva::dicom::Tag;

const Tag PatientName{0x0010, 0x0010};
const Tag StudyDescription{0x0008, 0x1030};

// One image as the store holds it.
struct StoredImage {
    std::string imageUid, studyUid, patientId, name;
};

class HeaderCommandsTest : public corva::station::test::StationTest {
protected:
    void TearDown() override {
        if (form_) {
            if (QMenu* popup = form_->menus().PopUpTaskList) popup->close();
            form_.reset();
        }
        ServiceControl(stationContext()).StopIngestService();
        StationTest::TearDown();
    }

    // The active filter "Mammo": patient ID, patient name and study description.
    void addFilter() {
        db::Database db(folder_->userDatabase());
        if (!db.hasColumn("tblDictionary", "Mammo"))
            db.exec("ALTER TABLE tblDictionary ADD COLUMN Mammo BIT NOT NULL DEFAULT 0");
        db.exec("DELETE FROM tblDictionary WHERE Tag IN ('0010,0010', '0010,0020', '0008,1030')");
        db.exec("INSERT INTO tblDictionary (Tag, Description, Mammo) VALUES "
                "('0010,0010', 'Patient''s Name', -1), ('0010,0020', 'Patient ID', -1), "
                "('0008,1030', 'Study Description', -1)");
    }

    // Patient P1 "Muster^Anna": study A with two series (two images, one image) and
    // study B (one image); patient P2 with one image that nothing may touch. Written into
    // the input folder, where Ingrado files them once the window has started it.
    void dropSeed() {
        studyA_ = corva::test::uniqueUid();
        studyB_ = corva::test::uniqueUid();
        const std::string a1 = corva::test::uniqueUid(), a2 = corva::test::uniqueUid(),
                          b1 = corva::test::uniqueUid();
        const auto add = [&](const std::string& study, const std::string& series, int nr, const std::string& id,
                             const std::string& name, const std::string& description) {
            corva::test::DicomRecipe r;
            r.patientId = id;
            r.patientName = name;
            r.studyUid = study;
            r.seriesUid = series;
            r.sopInstanceUid = corva::test::uniqueUid();
            r.instanceNumber = nr;
            r.studyDescription = description;
            r.rows = 32;
            r.columns = 24;
            const fs::path part = folder_->path() / (r.sopInstanceUid + ".tmp");
            corva::test::writeDicom(part, r);
            fs::rename(part, folder_->temp() / (r.sopInstanceUid + ".dcm"));
        };
        add(studyA_, a1, 1, "P1", "Muster^Anna", "Mammo A");
        add(studyA_, a1, 2, "P1", "Muster^Anna", "Mammo A");
        add(studyA_, a2, 1, "P1", "Muster^Anna", "Mammo A");
        add(studyB_, b1, 1, "P1", "Muster^Anna", "Mammo B");
        add(corva::test::uniqueUid(), corva::test::uniqueUid(), 1, "P2", "Other^Otto", "Other");
    }

    // The window with Ingrado started by its loading and the seed filed.
    MainForm& openWithIngest() {
        folder_->copyExecutable("Ingrado");
        addFilter();
        dropSeed();
        form_ = std::make_unique<MainForm>();
        form_->Form_Load();
        form_->UpdateTimer()->stop();  // refreshes are driven by the test
        form_->headerPanel().LoadModFilter("Mammo");
        form_->resize(1200, 900);
        form_->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(form_.get()));
        EXPECT_GT(stationContext().ingestPid, 0) << "Ingrado not started";
        EXPECT_TRUE(settled(5)) << "seed not filed";
        form_->menus().refresh->trigger();
        return *form_;
    }

    // True once Ingrado has filed everything in the input folder and holds `images` rows.
    bool settled(std::int64_t images) {
        return waitFor(
            [&] {
                for (const auto& e : fs::directory_iterator(folder_->temp()))
                    if (e.is_regular_file()) return false;
                try {
                    return countRows("tblImages") == images;
                } catch (...) {
                    return false;
                }
            },
            60000);
    }

    std::vector<StoredImage> stored() const {
        std::vector<StoredImage> out;
        auto db = openImageDb();
        auto st = db.prepare(
            "SELECT tblImages.ImageUID, tblStudies.StudyUID, tblPatienten.PATID1 FROM tblImages "
            "INNER JOIN tblSeries ON tblImages.FKeySeriesID = tblSeries.SeriesID "
            "INNER JOIN tblStudies ON tblSeries.FKeyStudyID = tblStudies.StudyID "
            "INNER JOIN tblPatienten ON tblStudies.FKeyPATID = tblPatienten.PATID ORDER BY tblImages.ImageUID");
        while (st.step()) {
            StoredImage s{st.getText(0), st.getText(1), st.getText(2), {}};
            const fs::path file = imageFile(stationContext().paths, s.studyUid, s.imageUid);
            if (fs::exists(file))
                s.name = dicom::Image::read(file, dicom::ReadMode::HeaderOnly).attributes().get(PatientName).text;
            out.push_back(s);
        }
        return out;
    }

    // Patient P1, then the study with `studyUid`: its images are loaded.
    void loadStudy(MainForm& f, const std::string& studyUid) {
        QTreeWidgetItem* patient = findItem(f.lvPatients(), "P1");
        ASSERT_NE(patient, nullptr);
        corva::station::test::clickItem(f.lvPatients(), patient, Qt::LeftButton);
        QTreeWidgetItem* study = nullptr;
        for (int i = 1; i <= f.lvStudien()->count(); ++i)
            if (ListView::tag(f.lvStudien()->itemAtPosition(i)).toString().toStdString() == studyUid)
                study = f.lvStudien()->itemAtPosition(i);
        ASSERT_NE(study, nullptr);
        corva::station::test::clickItem(f.lvStudien(), study, Qt::LeftButton);
    }

    void selectImage(MainForm& f, int position) {
        QTreeWidgetItem* entry = f.lvImages()->itemAtPosition(position);
        ASSERT_NE(entry, nullptr);
        corva::station::test::clickItem(f.lvImages(), entry, Qt::LeftButton);
    }

    QTreeWidgetItem* headerRow(MainForm& f, const QString& tag) { return findItem(f.lvHeader(), tag); }

    // Answers the next job window: waits for OK, keeps the log, presses OK.
    void pressOkWhenDone(QString* log) {
        op_.answerWindow(ScriptedOperator::runModal([log](QDialog& d) {
            auto& form = static_cast<jobs::EditForm&>(d);
            if (!waitFor([&] { return form.cmdOK()->isEnabled(); }, 60000)) return;
            *log = form.txtProgress()->toPlainText();
            QTest::mouseClick(form.cmdOK(), Qt::LeftButton);
        }));
    }

    std::unique_ptr<MainForm> form_;
    std::string studyA_, studyB_;
};

TEST_F(HeaderCommandsTest, SelectingAnImageFillsTheHeaderViewAndAResetEmptiesIt) {
    auto& f = openWithIngest();
    loadStudy(f, studyB_);
    ASSERT_EQ(f.dv1()->count(), 1);
    EXPECT_EQ(f.lvHeader()->count(), 0);
    selectImage(f, 1);
    ASSERT_EQ(f.lvHeader()->count(), 3);
    // Sorted by tag; the value is the selected image's.
    EXPECT_EQ(f.lvHeader()->itemAtPosition(1)->text(0), "0008,1030");
    EXPECT_EQ(f.lvHeader()->itemAtPosition(1)->text(2), "Mammo B");
    EXPECT_EQ(headerRow(f, "0010,0010")->text(2), "Muster^Anna");
    EXPECT_EQ(headerRow(f, "0010,0010")->toolTip(2), "Muster^Anna");
    EXPECT_EQ(headerRow(f, "0010,0020")->text(1), "Patient ID");
    EXPECT_TRUE(f.lvDosis()->isEnabled());

    // Another study: the viewer is emptied, and the header view with it.
    loadStudy(f, studyA_);
    EXPECT_EQ(f.lvHeader()->count(), 0);
    selectImage(f, 2);
    EXPECT_EQ(headerRow(f, "0008,1030")->text(2), "Mammo A");
    f.ResetView(true);
    EXPECT_EQ(f.lvHeader()->count(), 0);
    EXPECT_TRUE(op_.unexpected().empty());
}

// How the operator puts the name correction into the task list.
enum class TaskSource { TaskArea, StoredRule };

class HeaderCommandsDone : public HeaderCommandsTest, public ::testing::WithParamInterface<TaskSource> {};

TEST_P(HeaderCommandsDone, APatientNameCorrectedThroughTheTaskListReachesEveryImageOfThePatient) {
    if (GetParam() == TaskSource::StoredRule) {
        db::Database db(folder_->userDatabase());
        header::RuleStore(db).save("Name's fix", {{"Patient", "0010,0010 - Patient's Name", "", "Change entry", "", "0"}});
    }
    auto& f = openWithIngest();
    const auto before = stored();
    ASSERT_EQ(before.size(), 5u);
    loadStudy(f, studyA_);
    ASSERT_EQ(f.dv1()->count(), 3);
    selectImage(f, 2);
    ASSERT_NE(headerRow(f, "0010,0010"), nullptr);

    QString log;
    if (GetParam() == TaskSource::TaskArea) {
        // The name's row, level "Patient", the new name, "Add Task", then "Execute tasks".
        corva::station::test::clickItem(f.lvHeader(), headerRow(f, "0010,0010"), Qt::LeftButton);
        EXPECT_EQ(f.findChild<QLineEdit*>("txtSelected")->text(), "0010,0010 - Patient's Name");
        auto* level = f.findChild<QComboBox*>("cboLevel");
        level->setCurrentIndex(level->findText("Patient"));
        QLineEdit* value = f.findChild<QLineEdit*>("txtNeu");
        EXPECT_EQ(value->text(), "Muster^Anna");
        value->selectAll();
        QTest::keyClicks(value, "Muster^Annabel");
        QTest::mouseClick(f.cmdTask(0), Qt::LeftButton);
        ASSERT_EQ(f.lvTasks()->count(), 1);
        const QTreeWidgetItem* task = f.lvTasks()->itemAtPosition(1);
        EXPECT_EQ(task->text(0), "Patient");
        EXPECT_EQ(task->text(1), "0010,0010 - Patient's Name");
        EXPECT_EQ(task->text(2), "Muster^Anna");
        EXPECT_EQ(task->text(3), "Change entry");
        EXPECT_EQ(task->text(4), "Muster^Annabel");
        pressOkWhenDone(&log);
        f.menus().exe->trigger();
    } else {
        // The task list's popup, "Add fav. task", the rule; the value is asked for, then
        // whether to execute now.
        const QRect r = f.lvTasks()->viewport()->rect();
        QTest::mouseClick(f.lvTasks()->viewport(), Qt::RightButton, {}, r.center());
        EXPECT_TRUE(f.menus().PopUpTaskList->isVisible());
        f.menus().PopUpTaskList->close();
        ASSERT_EQ(f.menus().PopUpRules->actions().size(), 1);
        EXPECT_EQ(f.menus().PopUpRules->actions().at(0)->text(), "Name's fix");
        op_.answerInput(QString("Muster^Annabel"));
        op_.answer(MsgResult::Yes);
        pressOkWhenDone(&log);
        f.menus().PopUpRules->actions().at(0)->trigger();
        ASSERT_GE(op_.shown().size(), 2u);
        EXPECT_EQ(op_.shown().at(0).text, "(0010,0010 - Patient's Name):");
        EXPECT_EQ(op_.shown().at(0).title, "Enter new value");
        EXPECT_EQ(op_.shown().at(1).text, "Execute tasks now?");
    }
    EXPECT_TRUE(op_.unexpected().empty()) << op_.unexpected().at(0).text.toStdString();
    EXPECT_EQ(op_.pending(), 0u);
    const auto windows = op_.shownOf(ScriptedOperator::Kind::Window);
    ASSERT_EQ(windows.size(), 1u);
    EXPECT_EQ(windows.at(0).title, "Updating Study");
    EXPECT_TRUE(log.endsWith("Tasks done.")) << log.toStdString();
    EXPECT_FALSE(log.contains("failed")) << log.toStdString();
    // The window was reset for the new rows to come.
    EXPECT_EQ(f.dv1()->count(), 0);
    EXPECT_EQ(f.lvTasks()->count(), 0);
    EXPECT_EQ(f.lvStudien()->count(), 0);
    EXPECT_FALSE(f.cmdSelected()->isEnabled());
    EXPECT_FALSE(f.lvDosis()->isEnabled());  // until the next fill of the header view

    ASSERT_TRUE(settled(5));
    const auto after = stored();
    ASSERT_EQ(after.size(), before.size());
    int renamed = 0;
    for (std::size_t i = 0; i < after.size(); ++i) {
        EXPECT_EQ(after[i].imageUid, before[i].imageUid);  // no image lost, none doubled
        if (after[i].patientId == "P1") {
            EXPECT_EQ(after[i].name, "Muster^Annabel") << after[i].imageUid;
            ++renamed;
        } else {
            EXPECT_EQ(after[i].name, "Other^Otto");
        }
    }
    EXPECT_EQ(renamed, 4);

    // The browser shows the new name after the refresh.
    f.menus().refresh->trigger();
    QTreeWidgetItem* patient = findItem(f.lvPatients(), "P1");
    ASSERT_NE(patient, nullptr);
    EXPECT_TRUE(patient->text(1).contains("Annabel")) << patient->text(1).toStdString();
    EXPECT_EQ(f.lvPatients()->count(), 2);
}

INSTANTIATE_TEST_SUITE_P(Ways, HeaderCommandsDone, ::testing::Values(TaskSource::TaskArea, TaskSource::StoredRule),
                         [](const auto& info) {
                             return info.param == TaskSource::TaskArea ? std::string("TaskArea")
                                                                       : std::string("StoredRule");
                         });

// A header job stopped after staging a rewritten image (its original already gone): the
// next start hands the copy to the ingest service under its registrable name.
TEST_F(HeaderCommandsTest, StartHandsOverARewriteAStoppedJobLeftStaged) {
    const ProgramPaths paths = ProgramPaths::compute(folder_->path());
    fs::create_directories(paths.workFolder);
    corva::test::DicomRecipe r;
    r.sopInstanceUid = corva::test::uniqueUid();
    r.patientName = "Muster^Annabel";
    const fs::path copy = paths.workFolder / (r.sopInstanceUid + ".dcm.part");
    corva::test::writeDicom(copy, r);
    header::stageRewrite(paths, copy, r.sopInstanceUid, {corva::test::uniqueUid(), corva::test::uniqueUid()});
    ASSERT_FALSE(fs::exists(folder_->temp() / (r.sopInstanceUid + ".dcm")));

    form_ = std::make_unique<MainForm>();
    form_->Form_Load();
    form_->UpdateTimer()->stop();
    const fs::path handedOver = folder_->temp() / (r.sopInstanceUid + ".dcm");
    ASSERT_TRUE(fs::exists(handedOver));
    EXPECT_EQ(dicom::Image::read(handedOver, dicom::ReadMode::HeaderOnly).attributes().get(PatientName).text,
              "Muster^Annabel");
    EXPECT_TRUE(header::pendingRewrites(paths).empty());
}

// While another job (corvactl) holds the job lock, "Execute tasks" tells so and changes
// nothing: the task list and the loaded study stay for another try.
TEST_F(HeaderCommandsTest, ABusyJobLockKeepsTheTaskListAndTheLoadedImages) {
    auto& f = openWithIngest();
    loadStudy(f, studyA_);
    ASSERT_EQ(f.dv1()->count(), 3);
    selectImage(f, 1);
    f.headerPanel().appendTask({"Patient", "0010,0010 - Patient's Name", "Muster^Anna", "Change entry",
                                "Muster^Annabel", "0"});
    {
        const JobLock held = JobLock::tryAcquire(stationContext().paths.dataFolder);
        ASSERT_TRUE(held.held());
        op_.answer(MsgResult::OK);
        f.menus().exe->trigger();
    }
    EXPECT_EQ(op_.messages(), QStringList{jobs::JobBusyMessage});
    EXPECT_TRUE(op_.unexpected().empty());
    EXPECT_TRUE(op_.shownOf(ScriptedOperator::Kind::Window).empty());
    ASSERT_EQ(f.lvTasks()->count(), 1);
    EXPECT_EQ(f.lvTasks()->itemAtPosition(1)->text(4), "Muster^Annabel");
    EXPECT_EQ(f.dv1()->count(), 3);
    EXPECT_NE(f.CurrentImage(), nullptr);
    for (const auto& s : stored())
        EXPECT_NE(s.name, "Muster^Annabel");

    // Once the lock is free the same list runs.
    QString log;
    pressOkWhenDone(&log);
    f.menus().exe->trigger();
    EXPECT_TRUE(log.endsWith("Tasks done.")) << log.toStdString();
    EXPECT_EQ(f.lvTasks()->count(), 0);
    ASSERT_TRUE(settled(5));
    for (const auto& s : stored())
        EXPECT_EQ(s.name, s.patientId == "P1" ? "Muster^Annabel" : "Other^Otto") << s.imageUid;
}

// The task list's popup in the window: "Save as ..." asks once and lists the rule in
// "Add fav. task"; "Clear entries" empties the list.
TEST_F(HeaderCommandsTest, TheTaskListPopupSavesTheTasksAsARuleAndClearsThem) {
    form_ = std::make_unique<MainForm>();
    form_->Form_Load();
    form_->UpdateTimer()->stop();
    MainForm& f = *form_;
    const MainMenus& m = f.menus();
    ASSERT_EQ(m.PopUpRules->actions().size(), 1);
    EXPECT_EQ(m.PopUpRules->actions().at(0)->text(), "No entries");
    f.headerPanel().appendTask({"Patient", "0010,0010 - Patient's Name", "A", "Change entry", "B", "0"});
    op_.answerInput(QString("Name's fix"));
    op_.answer(MsgResult::OK);
    m.PopUpTaskListSub_1->trigger();
    EXPECT_EQ(op_.messages(), QStringList{"Task successfully saved!"});
    EXPECT_TRUE(op_.unexpected().empty());
    ASSERT_EQ(m.PopUpRules->actions().size(), 1);
    EXPECT_EQ(m.PopUpRules->actions().at(0)->text(), "Name's fix");
    EXPECT_EQ(f.lvTasks()->count(), 1);
    m.PopUpTaskListSub_0->trigger();
    EXPECT_EQ(f.lvTasks()->count(), 0);
}

// The job's input comes from the loaded images' rows; what cannot run says why.
class HeaderJobSetupTest : public corva::station::test::StationTest {};

TEST_F(HeaderJobSetupTest, PatientAndStudyComeFromTheLoadedImagesAndGapsAreRefused) {
    const auto anna = addPatient("P-ANNA", "Muster", "Anna");
    const auto bert = addPatient("P-BERT", "Beispiel", "Bert");
    const auto annaStudy = addStudy(anna, "1.2.100");
    const auto bertStudy = addStudy(bert, "1.2.200");
    addImage(addSeries(annaStudy, "1.2.100.1", 1), "1.2.100", "1.2.100.1.1", 1, "10:15:00", 0);
    addImage(addSeries(bertStudy, "1.2.200.1", 1), "1.2.200", "1.2.200.1.1", 1, "10:15:00", 0);
    const header::HeaderTask rename{"Patient", "0010,0010 - Patient's Name", "", "Change entry", "X", "0"};
    const header::LoadedImageRef annaImage{"1.2.100.1.1", "1.2.100", 4096, 2048};
    const header::LoadedImageRef bertImage{"1.2.200.1.1", "1.2.200", 0, 0};
    const header::LoadedImageRef unknown{"1.2.999.1.1", "1.2.999", 0, 0};

    struct Case {
        const char* name;
        std::vector<header::HeaderTask> tasks;
        std::string level;
        std::vector<header::LoadedImageRef> loaded;
        std::string refusal;
    };
    const std::vector<Case> cases = {
        {"no tasks", {}, "Studie", {annaImage}, "No tasks in list."},
        {"nothing loaded", {rename}, "", {}, "No images loaded. Please load the study or series to change first."},
        {"unregistered", {rename}, "Serie", {unknown},
         "The loaded images are no longer in the database. Please load them again."},
        {"two patients", {rename}, "Studie", {annaImage, bertImage},
         "The loaded images belong to more than one patient. Please load one study or series."},
        {"image task outside the viewer",
         {rename, {"Image #3", "0018,0060 - KVP", "28", "Change entry", "30", "0"}},
         "Studie",
         {annaImage, unknown},
         "The task list names Image #3, which the viewer does not show."},
        {"another patient's study UID",
         {rename, {"Study", "0020,000D - Study Instance UID", "", "Change entry", "1.2.200", "0"}},
         "Studie",
         {annaImage},
         "The Study Instance UID 1.2.200 belongs to a study of another patient, patient ID 'P-BERT' (Beispiel, "
         "Bert): the images would join it. Choose a new UID instead."},
        {"another patient's series UID",
         {{"Series", "0020,000E - Series Instance UID", "", "Change entry", "1.2.200.1", "0"}},
         "Serie",
         {annaImage},
         "The Series Instance UID 1.2.200.1 belongs to a series of another patient, patient ID 'P-BERT' (Beispiel, "
         "Bert): the images would join it. Choose a new UID instead."},
        {"the pixel layout",
         {rename, {"Series", "0028,0010 - Rows", "", "Change entry", "2048", "0"}},
         "Serie",
         {annaImage},
         "Rows (0028,0010) describes the pixel data: a header task cannot change it."},
        {"runs", {rename, {"Image #2", "0018,0060 - KVP", "28", "Change entry", "30", "0"}}, "Studie",
         {unknown, annaImage}, ""},
        {"the patient's own study UID runs", {{"Study", "0020,000D - Study Instance UID", "", "Change entry",
                                               "1.2.100", "0"}},
         "Studie", {unknown, annaImage}, ""},
    };
    settings::Settings s;
    s.autoWindow = 1;
    s.computeWindow = 0;
    s.customWidth = "400";
    s.customCenter = "200";
    // The browser still names Bert: the loaded images decide.
    stationContext().selection.patientKey = bert;
    for (const auto& c : cases) {
        auto db = openImageDb();
        const HeaderJobSetup setup = headerJobSetup(db, c.tasks, c.level, c.loaded, s);
        EXPECT_EQ(setup.refusal, c.refusal) << c.name;
        if (!c.refusal.empty()) continue;
        EXPECT_EQ(setup.input.patientKey, anna) << c.name;
        EXPECT_EQ(setup.input.studyId, annaStudy) << c.name;
        EXPECT_EQ(setup.input.loaded.size(), 2u) << c.name;  // viewer positions kept
        EXPECT_EQ(setup.input.window.mode, header::WindowPolicy::Mode::Custom);
        EXPECT_EQ(setup.input.window.customWidth, "400");
    }
}

}  // namespace
