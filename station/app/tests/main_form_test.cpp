// The main window's start, refresh and browser, driven like the operator does.
#include <QGroupBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTimer>

#include "viewer/dicom_viewer.h"
#include "common/list_view.h"
#include "app/main_form.h"
#include "app/program_version.h"
#include "common/station_context.h"
#include "db/database.h"
#include "db/dose_use.h"
#include "process/process.h"
#include "settings/settings.h"
#include "dicom_fixture.h"
#include "station_test_support.h"

namespace corva::station::test {

namespace {

class MainFormTest : public StationTest {
protected:
    void SetUp() override {
        StationTest::SetUp();
        // Anna with two studies, Bert with one; Anna's first study has one image file.
        anna_ = addPatient("P-ANNA", "Muster", "Anna");
        bert_ = addPatient("P-BERT", "Beispiel", "Bert");
        s1_ = addStudy(anna_, "1.2.100");
        addStudy(anna_, "1.2.101");
        addStudy(bert_, "1.2.200");
        addImage(addSeries(s1_, "1.2.100.1", 1), "1.2.100", "1.2.100.1.1", 1);
    }
    void TearDown() override {
        if (form_) {
            if (form_->lastPopup()) form_->lastPopup()->close();
            form_.reset();
        }
        StationTest::TearDown();
    }
    MainForm& open() {
        form_ = std::make_unique<MainForm>();
        form_->Form_Load();
        form_->UpdateTimer()->stop();  // ticks are driven by the test
        form_->resize(1200, 900);
        form_->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(form_.get()));
        return *form_;
    }
    void addTask(MainForm& f) { f.lvTasks()->addItem("Patient", {}, {"0010,0010", "", "Change entry", "X"}); }

    std::int64_t anna_ = 0, bert_ = 0, s1_ = 0;
    std::unique_ptr<MainForm> form_;
};

TEST_F(MainFormTest, LoadsThePatientListAndControls) {
    auto& f = open();
    EXPECT_EQ(f.windowTitle(), "Corvalight Version " + versionText(CurrentVersion, false));
    EXPECT_EQ(f.lvPatients()->count(), 2);
    EXPECT_EQ(f.lvPatients()->itemAtPosition(1)->text(0), "P-ANNA");  // sorted by ID
    EXPECT_EQ(f.lvPatients()->itemAtPosition(1)->text(1), "Muster, Anna");
    EXPECT_FALSE(f.cmdAll()->isEnabled());
    EXPECT_FALSE(f.cmdSelected()->isEnabled());
    EXPECT_EQ(f.UpdateTimer()->interval(), 10000);
    for (const char* name : {"lvPatients", "lvStudien", "lvSerien", "lvImages", "dv1", "dv1_vscroll", "cmdAll",
                             "cmdSelected", "UpdateTimer", "StatusBar1", "pbLoad", "lvDosis", "lvTasks", "lvHeader",
                             "cboLevel", "cboTask", "cboTarget", "txtNeu", "txtSelected", "Text1", "Text2", "txtID",
                             "txtcInput", "List1", "MSComm1", "SerTimer", "Toolbar1", "Text3_5", "cmdTask_1",
                             "cmdProjection_0", "cmdProjection_7", "PopUpPatient", "PopUpStudie", "PopUpSerie",
                             "Popup_Dicom", "mnuDateiBeenden", "mnuRefreshList", "mnuInfoAbout"})
        EXPECT_NE(f.findChild<QObject*>(name), nullptr) << name;
    const auto columnTitles = [](ListView* list) {
        QStringList titles;
        for (int i = 0; i < list->columnCount(); ++i) titles << list->headerItem()->text(i);
        return titles;
    };
    EXPECT_EQ(columnTitles(f.lvPatients()), (QStringList{"ID", "Lastname, Firstname", "2nd Name", "Birthdate"}));
    EXPECT_EQ(columnTitles(f.lvStudien()), (QStringList{"ID", "Date", "Time", "Modality", "Bodypart"}));
    EXPECT_EQ(columnTitles(f.lvImages()), (QStringList{"ID", "Date", "Time", "ImageUID", "Projection"}));
    const auto frameTitle = [&](ListView* list) {
        auto* frame = qobject_cast<QGroupBox*>(list->parentWidget());
        return frame ? frame->title() : QString();
    };
    EXPECT_EQ(frameTitle(f.lvPatients()), "Patient list");
    EXPECT_EQ(frameTitle(f.lvStudien()), "Study list");
    EXPECT_EQ(frameTitle(f.lvSerien()), "Series list");
    EXPECT_EQ(frameTitle(f.lvTasks()), "Task list");
    EXPECT_EQ(f.cmdAll()->text(), "Automatic");
    EXPECT_EQ(f.cmdSelected()->text(), "Manually");
    EXPECT_EQ(f.cmdTask(0)->text(), "Add Task");
    EXPECT_EQ(f.cmdTask(1)->text(), "Delete Task");
    EXPECT_FALSE(f.pbLoad()->isVisible());
    EXPECT_EQ(f.dv1()->columns(), 3);
    EXPECT_EQ(f.dv1()->rows(), 7);
    EXPECT_EQ(f.dv1()->background(), QColor(Qt::black));
}

// At start the dose list shows the records waiting from before, and the status bar says
// which services of this program folder do not run (here: neither, none is installed).
TEST_F(MainFormTest, StartListsWaitingRecordsAndNamesServicesNotRunning) {
    {
        auto db = openImageDb();
        db.exec("INSERT INTO tblDosis (ID, KVP, Datum, Status) VALUES (5, '28', '09.12.2026', '0')");
        db.exec("INSERT INTO tblDosis (ID, KVP, Datum, Status) VALUES (6, '29', '09.12.2026', '1')");
    }
    auto& f = open();
    ASSERT_EQ(f.lvDosis()->count(), 1);
    EXPECT_EQ(f.lvDosis()->itemAtPosition(1)->text(0), "5");
    EXPECT_TRUE(f.lvDosis()->selectedItems().isEmpty());
    EXPECT_TRUE(f.Text3(0)->text().isEmpty());
    EXPECT_TRUE(f.lblServices()->isVisible());
    EXPECT_TRUE(f.lblServices()->text().contains("Recvora not running")) << f.lblServices()->text().toStdString();
    EXPECT_TRUE(f.lblServices()->text().contains("Ingrado not running")) << f.lblServices()->text().toStdString();
}

TEST_F(MainFormTest, ActivationShowsTheSerialInputOnlyInDebugMode) {
    auto& f = open();
    for (const int debug : {1, 0}) {
        settings::current().debug = static_cast<std::int16_t>(debug);
        QEvent activate(QEvent::WindowActivate);
        QCoreApplication::sendEvent(&f, &activate);
        EXPECT_EQ(f.txtcInput()->isVisible(), debug == 1) << debug;
        EXPECT_EQ(f.List1()->isVisible(), debug == 1) << debug;
        EXPECT_EQ(f.lvDosis()->isVisible(), debug == 0) << debug;
    }
    // Resizing disables every projection button without a caption.
    f.resize(1100, 850);
    QCoreApplication::processEvents();
    for (int i = 0; i < 8; ++i) {
        if (f.cmdProjection(i)->text().isEmpty()) {
            EXPECT_FALSE(f.cmdProjection(i)->isEnabled()) << i;
        }
    }
}

TEST_F(MainFormTest, TimerRefreshesOnlyWhenFilesWereReceived) {
    auto& f = open();
    addPatient("P-CARL", "Neu", std::nullopt);
    for (int i = 0; i < 10; ++i) f.UpdateTimer_Timer();
    EXPECT_EQ(f.lvPatients()->count(), 2);

    addReceiveRow();
    {
        RefreshLockGuard lock;  // as while a study loads or the job window is open
        f.UpdateTimer_Timer();
        EXPECT_EQ(f.lvPatients()->count(), 2);
        EXPECT_EQ(countRows("tblReceive"), 1);
    }
    f.UpdateTimer_Timer();
    EXPECT_EQ(f.lvPatients()->count(), 3);
    EXPECT_EQ(countRows("tblReceive"), 0);
    ASSERT_NE(findItem(f.lvPatients(), "P-CARL"), nullptr);
    EXPECT_EQ(findItem(f.lvPatients(), "P-CARL")->text(1), "Neu");  // no comma without a first name
}

TEST_F(MainFormTest, RefreshListReloadsWithoutReceivedFiles) {
    auto& f = open();
    addPatient("P-CARL", "Neu", "Carl");
    f.findChild<QAction*>("mnuRefreshList")->trigger();
    EXPECT_EQ(f.lvPatients()->count(), 3);
}

TEST_F(MainFormTest, ClickingAPatientListsItsStudies) {
    auto& f = open();
    clickItem(f.lvPatients(), findItem(f.lvPatients(), "P-ANNA"));
    EXPECT_EQ(f.lvStudien()->count(), 2);
    EXPECT_EQ(f.panelText(1), "Patient: Muster, Anna");
    EXPECT_EQ(f.panelText(2), "ID: P-ANNA");
    EXPECT_EQ(stationContext().selection.patientKey, anna_);
    EXPECT_TRUE(op_.shown().empty());
}

TEST_F(MainFormTest, PendingTasksAskBeforeAnotherPatient) {
    auto& f = open();
    clickItem(f.lvPatients(), findItem(f.lvPatients(), "P-ANNA"));
    clickItem(f.lvStudien(), findItem(f.lvStudien(), "1"));
    ASSERT_EQ(f.dv1()->count(), 1);
    f.lvHeader()->addItem("0010,0010", {}, {"Patient's Name", "Muster^Anna"});
    addTask(f);

    // The same patient, Yes: the tasks stay and the studies are listed again.
    op_.answer(MsgResult::Yes);
    clickItem(f.lvPatients(), findItem(f.lvPatients(), "P-ANNA"));
    EXPECT_EQ(op_.messages(), QStringList{"Cancel current changes?"});
    EXPECT_EQ(f.lvTasks()->count(), 1);
    EXPECT_EQ(f.lvStudien()->count(), 2);
    EXPECT_EQ(f.dv1()->count(), 1);  // the same patient: the view stays

    // Another patient, No: nothing changes.
    op_.answer(MsgResult::No);
    clickItem(f.lvPatients(), findItem(f.lvPatients(), "P-BERT"));
    EXPECT_EQ(f.lvTasks()->count(), 1);
    EXPECT_EQ(f.lvStudien()->count(), 2);
    EXPECT_EQ(stationContext().selection.patientKey, anna_);

    // Another patient, Yes: the view is reset.
    f.Text3(5)->setText("RCC");
    op_.answer(MsgResult::Yes);
    clickItem(f.lvPatients(), findItem(f.lvPatients(), "P-BERT"));
    EXPECT_EQ(f.lvTasks()->count(), 0);
    EXPECT_EQ(f.lvHeader()->count(), 0);
    EXPECT_TRUE(f.Text3(5)->text().isEmpty());
    EXPECT_EQ(f.dv1()->count(), 0);
    EXPECT_EQ(f.lvStudien()->count(), 1);
    EXPECT_EQ(stationContext().selection.patientKey, bert_);
    EXPECT_TRUE(op_.unexpected().empty());
}

TEST_F(MainFormTest, RightClickOnAStudyWithPendingTasks) {
    auto& f = open();
    clickItem(f.lvPatients(), findItem(f.lvPatients(), "P-ANNA"));
    addTask(f);
    auto* study = f.lvStudien()->itemAtPosition(1);

    op_.answer(MsgResult::Yes);
    clickItem(f.lvStudien(), study, Qt::RightButton);
    EXPECT_EQ(f.lvTasks()->count(), 0);
    EXPECT_EQ(f.lastPopup(), nullptr);

    addTask(f);
    op_.answer(MsgResult::No);
    clickItem(f.lvStudien(), study, Qt::RightButton);
    EXPECT_EQ(f.lvTasks()->count(), 1);
    ASSERT_EQ(f.lastPopup(), f.PopUpStudie());
    EXPECT_TRUE(waitFor([&] { return f.PopUpStudie()->isVisible(); }));
    f.PopUpStudie()->close();
    EXPECT_EQ(op_.messages().size(), 2);
}

TEST_F(MainFormTest, AnotherPatientClickedWhileTheStudiesAreListedTakesTheList) {
    auto& f = open();
    bool clicked = false;
    QTimer::singleShot(0, [&] {
        clicked = true;  // runs while Anna's first study row lets window messages run
        clickItem(f.lvPatients(), findItem(f.lvPatients(), "P-BERT"));
    });
    clickItem(f.lvPatients(), findItem(f.lvPatients(), "P-ANNA"));
    ASSERT_TRUE(clicked);
    ASSERT_EQ(f.lvStudien()->count(), 1);  // Bert's study alone, none of Anna's appended
    EXPECT_EQ(ListView::tag(f.lvStudien()->itemAtPosition(1)).toString(), "1.2.200");
    EXPECT_EQ(stationContext().selection.patientKey, bert_);
}

TEST_F(MainFormTest, ImageListIsNeverMixedByANestedFill) {
    auto& f = open();
    const std::vector<ImageListRow> first{{"1", "", "", "1.2.1"}, {"2", "", "", "1.2.2"}, {"3", "", "", "1.2.3"}};
    const std::vector<ImageListRow> second{{"7", "", "", "1.2.7"}, {"8", "", "", "1.2.8"}};
    bool nested = false;
    QTimer::singleShot(0, [&] {
        nested = true;
        f.LoadImages(second);
    });
    f.LoadImages(first);
    ASSERT_TRUE(nested);
    ASSERT_EQ(f.lvImages()->count(), 2);
    EXPECT_EQ(f.lvImages()->itemAtPosition(1)->text(3), "1.2.7");
    EXPECT_EQ(f.lvImages()->itemAtPosition(2)->text(3), "1.2.8");
}

TEST_F(MainFormTest, RightClickOnASeriesWithPendingTasks) {
    auto& f = open();
    clickItem(f.lvPatients(), findItem(f.lvPatients(), "P-ANNA"));
    f.lvStudien()->setCurrentItem(findItem(f.lvStudien(), "1"));
    f.PopUpStudie_SeriesWindow_Click();
    ASSERT_EQ(f.lvSerien()->count(), 2);
    auto* series = f.lvSerien()->itemAtPosition(2);

    addTask(f);
    op_.answer(MsgResult::Yes);
    clickItem(f.lvSerien(), series, Qt::RightButton);
    EXPECT_EQ(f.lvTasks()->count(), 0);
    EXPECT_EQ(f.lastPopup(), nullptr);

    addTask(f);
    op_.answer(MsgResult::No);
    clickItem(f.lvSerien(), series, Qt::RightButton);
    EXPECT_EQ(f.lvTasks()->count(), 1);
    ASSERT_EQ(f.lastPopup(), f.PopUpSerie());
    f.PopUpSerie()->close();
    EXPECT_EQ(op_.messages(), (QStringList{"Cancel current changes?", "Cancel current changes?"}));
}

TEST_F(MainFormTest, PatientIdWithApostropheListsItsStudies) {
    addStudy(addPatient("D'ARCY", "D´Arcy", "Dee"), "1.2.300");
    auto& f = open();
    clickItem(f.lvPatients(), findItem(f.lvPatients(), "D'ARCY"));
    EXPECT_EQ(f.lvStudien()->count(), 1);
    EXPECT_TRUE(op_.shown().empty());
}

TEST_F(MainFormTest, SeriesListOpensAndClosesWithItsBackEntry) {
    auto& f = open();
    clickItem(f.lvPatients(), findItem(f.lvPatients(), "P-ANNA"));
    auto* study = findItem(f.lvStudien(), QString::number(1));
    ASSERT_NE(study, nullptr);
    f.lvStudien()->setCurrentItem(study);
    f.PopUpStudie_SeriesWindow_Click();
    ASSERT_TRUE(f.seriesFrameShown());
    ASSERT_EQ(f.lvSerien()->count(), 2);
    EXPECT_EQ(f.lvSerien()->itemAtPosition(2)->text(0), "# 1");

    // Right-clicking ".." opens no menu.
    clickItem(f.lvSerien(), f.lvSerien()->itemAtPosition(1), Qt::RightButton);
    EXPECT_EQ(f.lastPopup(), nullptr);

    // Double-clicking the series loads its image; ".." closes the list, the studies stay.
    f.lvSerien()->setCurrentItem(f.lvSerien()->itemAtPosition(2));
    f.lvSerien_DblClick();
    ASSERT_TRUE(waitFor([] { return StudyLoader::runningLoads() == 0; }));
    EXPECT_EQ(stationContext().selection.loadedLevel, "Serie");
    EXPECT_EQ(f.dv1()->count(), 1);
    EXPECT_EQ(f.lvImages()->count(), 1);
    f.lvSerien()->setCurrentItem(f.lvSerien()->itemAtPosition(1));
    f.lvSerien_DblClick();
    EXPECT_FALSE(f.seriesFrameShown());
    EXPECT_EQ(f.lvSerien()->count(), 0);
    EXPECT_EQ(f.lvStudien()->count(), 2);
}

TEST_F(MainFormTest, StudyClickEnablesForwardingOnlyWithImagesAlreadyShown) {
    auto& f = open();
    clickItem(f.lvPatients(), findItem(f.lvPatients(), "P-ANNA"));
    auto* study = findItem(f.lvStudien(), "1");
    clickItem(f.lvStudien(), study);
    EXPECT_FALSE(f.cmdAll()->isEnabled());  // the viewer was empty at the click
    EXPECT_EQ(f.dv1()->count(), 1);
    EXPECT_EQ(stationContext().selection.loadedLevel, "Studie");
    EXPECT_EQ(stationContext().selection.studyUid, "1.2.100");
    clickItem(f.lvStudien(), study);
    EXPECT_TRUE(f.cmdAll()->isEnabled());
    EXPECT_TRUE(f.cmdSelected()->isEnabled());
}


// Plates arrive while the operator works: the timer's refresh adds the new patient and
// keeps her patient, study list, viewer and current image; an image of the open study
// that arrived is noted until she opens the study again.
TEST_F(MainFormTest, ArrivingImagesKeepTheOperatorsPlace) {
    auto& f = open();
    clickItem(f.lvPatients(), findItem(f.lvPatients(), "P-ANNA"));
    clickItem(f.lvStudien(), findItem(f.lvStudien(), "1"));
    ASSERT_EQ(f.dv1()->count(), 1);
    f.viewer()->selectImage(1);
    const QString status = f.panelText(1);

    addPatient("P-CARL", "Neu", "Carl");
    addImage(addSeries(s1_, "1.2.100.2", 2), "1.2.100", "1.2.100.2.1", 1);  // a new plate of the open study
    addReceiveRow();
    f.UpdateTimer_Timer();

    EXPECT_EQ(f.lvPatients()->count(), 3);
    ASSERT_NE(f.lvPatients()->selectedItem(), nullptr);
    EXPECT_EQ(f.lvPatients()->selectedItem()->text(0), "P-ANNA");
    EXPECT_EQ(f.lvPatients()->positionOf(f.lvPatients()->selectedItem()), stationContext().selection.patientIndex);
    EXPECT_EQ(f.lvStudien()->count(), 2);
    EXPECT_EQ(f.dv1()->count(), 1);
    EXPECT_NE(f.CurrentImage(), nullptr);
    EXPECT_EQ(f.panelText(1), status);
    EXPECT_TRUE(f.lblArrived()->isVisibleTo(&f));
    EXPECT_TRUE(f.lblArrived()->text().startsWith("1 new image(s) of the open study arrived")) << f.lblArrived()->text().toStdString();

    // "show them" opens the study again with both; her image stays the current one.
    const std::string current = f.CurrentImage()->sopInstanceUid();
    emit f.lblArrived()->linkActivated("show");
    ASSERT_TRUE(waitFor([&] { return f.dv1()->count() == 2 && f.lvImages()->count() == 2; }));
    EXPECT_FALSE(f.lblArrived()->isVisibleTo(&f));
    ASSERT_NE(f.CurrentImage(), nullptr);
    EXPECT_EQ(f.CurrentImage()->sopInstanceUid(), current);
    ASSERT_NE(f.lvImages()->selectedItem(), nullptr);
    EXPECT_EQ(f.lvImages()->selectedItem()->text(3).toStdString(), current);

    // Opening the study again shows both and ends the note.
    clickItem(f.lvStudien(), findItem(f.lvStudien(), "1"));
    EXPECT_EQ(f.dv1()->count(), 2);
    EXPECT_FALSE(f.lblArrived()->isVisibleTo(&f));
}

TEST_F(MainFormTest, ExitStopsServicesOnlyWithStopService) {
    auto& f = open();
    const int service = process::startDetached("/bin/sleep", {"60"});
    ASSERT_GT(service, 0);
    stationContext().ingestPid = service;
    settings::current().stopService = 0;
    bool ended = false;
    QObject::connect(&f, &MainForm::programEnds, [&] { ended = true; });
    f.mnuDateiBeenden_Click();
    EXPECT_TRUE(ended);
    EXPECT_TRUE(process::isAlive(service));
    EXPECT_EQ(stationContext().ingestPid, service);

    settings::current().stopService = 1;
    f.mnuDateiBeenden_Click();
    EXPECT_EQ(stationContext().ingestPid, 0);
    EXPECT_TRUE(waitFor([&] { return !process::isAlive(service); }));
    process::stop(service);
}

// The check at start: a store that matches shows no note; an image file no row names
// (left by a killed job) shows one that says what was found.
TEST_F(MainFormTest, TheCheckAtStartNotesAFileWithoutRow) {
    {
        auto& f = open();
        ASSERT_TRUE(waitFor([&] { return !f.lblCheck()->isVisible() && f.lblCheck()->text().isEmpty(); }, 5000));
        QTest::qWait(300);
        EXPECT_FALSE(f.lblCheck()->isVisible()) << f.lblCheck()->text().toStdString();
        form_.reset();
    }
    corva::test::DicomRecipe orphan;
    orphan.studyUid = "1.2.100";
    orphan.sopInstanceUid = "1.2.100.1.77";
    corva::test::writeDicom(folder_->images() / "1.2.100" / "1.2.100.1.77.dcm", orphan);
    auto& f = open();
    ASSERT_TRUE(waitFor([&] { return f.lblCheck()->isVisible(); }, 10000));
    EXPECT_TRUE(f.lblCheck()->text().contains("1 file without row")) << f.lblCheck()->text().toStdString();
}

// A dose report an interrupted forwarding owes is named at start: its study may be gone
// from the lists, so nothing else would show it.
TEST_F(MainFormTest, TheCheckAtStartNotesAnOwedDoseReport) {
    {
        db::Database db(folder_->imageDatabase());
        db::Transaction t(db);
        db::oweDoseReport(db, "1.2.100", "P1", "1.2.100.9", "1.2.100.9.1", "ARCHIVE@127.0.0.1:104");
        t.commit();
    }
    auto& f = open();
    ASSERT_TRUE(waitFor([&] { return f.lblCheck()->isVisible(); }, 10000));
    EXPECT_TRUE(f.lblCheck()->text().contains("1 dose report(s) not delivered by an interrupted forwarding"))
        << f.lblCheck()->text().toStdString();
}

}  // namespace
}  // namespace corva::station::test
