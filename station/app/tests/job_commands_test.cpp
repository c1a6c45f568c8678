// The main window's job commands: send-to menus, deleting from the browser's popups,
// sending to storescp and the forwarding commands.
#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <map>
#include <ostream>

#include "app/job_commands.h"
#include "common/config_state.h"
#include "app/main_form.h"
#include "dose/dose_capture.h"
#include "viewer/dicom_viewer.h"
#include "common/list_view.h"
#include "common/station_context.h"
#include "dicom_fixture.h"
#include "jobs/edit_form.h"
#include "settings/settings.h"
#include "station_test_support.h"
#include "store_scp.h"
#include "viewer/study_loader.h"

namespace fs = std::filesystem;
using namespace corva;
using namespace corva::station;

namespace {

using corva::station::test::findItem;
using corva::station::test::waitFor;

class JobCommandsTest : public corva::station::test::StationTest {
protected:
    void TearDown() override {
        form_.reset();
        scp_.reset();
        inbox_.reset();
        StationTest::TearDown();
    }
    MainForm& open() {
        form_ = std::make_unique<MainForm>();
        form_->Form_Load();
        form_->UpdateTimer()->stop();
        form_->resize(1200, 900);
        form_->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(form_.get()));
        return *form_;
    }
    JobCommands& commands() { return *form_->findChild<JobCommands*>(); }
    void addDestination(const std::string& alias, const std::string& aet, const std::string& ip, int port,
                        int isDefault) {
        db::Database db(folder_->userDatabase());
        auto st = db.prepare("INSERT INTO tblSCP (Alias, AET, IP, Port, \"Default\") VALUES (?, ?, ?, ?, ?)");
        st.bind(1, alias).bind(2, aet).bind(3, ip).bind(4, port).bind(5, isDefault);
        st.run();
    }
    void startScp() {
        inbox_ = std::make_unique<corva::test::TempDir>("inbox");
        scp_ = std::make_unique<corva::test::StoreScp>(inbox_->path());
    }
    std::vector<fs::path> received() const {
        std::vector<fs::path> out;
        for (const auto& e : fs::directory_iterator(inbox_->path()))
            if (e.is_regular_file()) out.push_back(e.path());
        return out;
    }
    // Answers the next job window: waits for OK, keeps the log, presses OK.
    void pressOkWhenDone(QString* log = nullptr) {
        op_.answerWindow(ScriptedOperator::runModal([log](QDialog& d) {
            auto& form = static_cast<jobs::EditForm&>(d);
            if (!waitFor([&] { return form.cmdOK()->isEnabled(); })) return;
            if (log) *log = form.txtProgress()->toPlainText();
            QTest::mouseClick(form.cmdOK(), Qt::LeftButton);
        }));
    }
    void click(ListView* list, QTreeWidgetItem* item) {
        ASSERT_NE(item, nullptr);
        corva::station::test::clickItem(list, item, Qt::LeftButton);
    }

    std::unique_ptr<MainForm> form_;
    std::unique_ptr<corva::test::TempDir> inbox_;
    std::unique_ptr<corva::test::StoreScp> scp_;
};

QStringList entries(QMenu* menu, QStringList* tags = nullptr) {
    QStringList out;
    for (QAction* a : menu->actions()) {
        out << a->text();
        if (tags) *tags << a->data().toString();
    }
    return out;
}

TEST_F(JobCommandsTest, SendToMenusListTheDestinationsInAliasOrderAndHideWhenNone) {
    addDestination("Zeta", "ZAE", "10.0.0.2", 104, 0);
    addDestination("Alpha", "AAE", "10.0.0.1", 11112, 1);
    auto& f = open();
    commands().UpdateSendToEntries();
    const MainMenus& m = f.menus();
    QStringList tags;
    EXPECT_EQ(entries(m.P_SendTo, &tags), (QStringList{"Alpha", "Zeta"}));
    // The destination's ID last: its TLS files are found by it.
    EXPECT_EQ(tags, (QStringList{"AAE!++!10.0.0.1!++!11112!++!2", "ZAE!++!10.0.0.2!++!104!++!1"}));
    EXPECT_EQ(entries(m.St_SendTo), entries(m.Se_SendTo));
    EXPECT_EQ(entries(m.St_SendTo), (QStringList{"Alpha", "Zeta"}));
    EXPECT_TRUE(m.P_SendTo->menuAction()->isVisible());
    EXPECT_EQ(configState().defaultDestination.aet, "AAE");

    db::Database(folder_->userDatabase()).exec("DELETE FROM tblSCP");
    commands().UpdateSendToEntries();
    EXPECT_TRUE(entries(m.Se_SendTo).isEmpty());
    EXPECT_FALSE(m.P_SendTo->menuAction()->isVisible());
    EXPECT_FALSE(m.St_SendTo->menuAction()->isVisible());
}

TEST_F(JobCommandsTest, IncompleteDestinationOpensNoAssociation) {
    addDestination("Broken", "AE", "10.0.0.1", 0, 0);
    db::Database(folder_->userDatabase()).exec("UPDATE tblSCP SET Port = NULL");
    auto& f = open();
    commands().UpdateSendToEntries();
    f.menus().P_SendTo->actions().at(0)->trigger();
    EXPECT_EQ(op_.messages(), (QStringList{"Incomplete Storage Class Provider values!\r\nAET: AE\r\nIP: 10.0.0.1\r\nPort: "}));
}

TEST_F(JobCommandsTest, DeletePatientTakesOnlyTheChosenOneOfTwoWithThePlaceholderId) {
    const auto a = addPatient("0000000", "Alpha", "A");
    const auto b = addPatient("0000000", "Beta", "B");
    addImage(addSeries(addStudy(a, "1.2.500"), "1.2.500.1", 1), "1.2.500", "1.2.500.1.1", 1);
    addImage(addSeries(addStudy(b, "1.2.600"), "1.2.600.1", 1), "1.2.600", "1.2.600.1.1", 1);
    auto& f = open();
    ASSERT_EQ(f.lvPatients()->count(), 2);
    QTreeWidgetItem* alpha = nullptr;
    for (int i = 1; i <= 2; ++i)
        if (f.lvPatients()->itemAtPosition(i)->text(1).startsWith("Alpha")) alpha = f.lvPatients()->itemAtPosition(i);
    click(f.lvPatients(), alpha);
    ASSERT_EQ(stationContext().selection.patientKey, a);
    QString log;
    op_.answer(MsgResult::Yes);
    pressOkWhenDone(&log);
    f.menus().PopUpPatient_Delete->trigger();
    EXPECT_TRUE(op_.messages().at(0).startsWith("Delete patient Alpha")) << op_.messages().at(0).toStdString();
    EXPECT_EQ(log, "Updating Database ... OK\nRemoving image directory ... OK\nTasks done.");
    EXPECT_EQ(f.lvPatients()->count(), 1);
    EXPECT_TRUE(f.lvPatients()->itemAtPosition(1)->text(1).startsWith("Beta"));
    EXPECT_EQ(countRows("tblPatienten"), 1);
    EXPECT_TRUE(fs::exists(folder_->images() / "1.2.600" / "1.2.600.1.1.dcm"));
    EXPECT_FALSE(fs::exists(folder_->images() / "1.2.500"));
    EXPECT_FALSE(stationContext().refreshLock);
}

// Each delete asks once, naming what goes; "No" leaves every row and file. A series
// that is its study's only one says that the study goes with it, and asks no more.
TEST_F(JobCommandsTest, DeletesAskOnceNamingWhatGoesAndNoChangesNothing) {
    const auto a = addPatient("P1", "Alpha", "A");
    const auto s1 = addStudy(a, "1.2.510");
    addStudy(a, "1.2.520");
    addImage(addSeries(s1, "1.2.510.1", 1), "1.2.510", "1.2.510.1.1", 1);
    auto& f = open();
    click(f.lvPatients(), findItem(f.lvPatients(), "P1"));
    ASSERT_EQ(f.lvStudien()->count(), 2);
    f.lvStudien()->setCurrentItem(f.lvStudien()->itemAtPosition(1));
    f.PopUpStudie_SeriesWindow_Click();
    ASSERT_EQ(f.lvSerien()->count(), 2);
    f.lvSerien()->setCurrentItem(f.lvSerien()->itemAtPosition(2));
    struct Case {
        QAction* action;
        const char* starts;
        const char* contains;
    };
    for (const Case& c : {Case{f.menus().PopUpSerie_Delete, "Delete series # 1 of the study of", "the study goes with it"},
                          Case{f.menus().PopUpPatient_Delete, "Delete patient Alpha", "with all studies"}}) {
        op_.clear();
        op_.answer(MsgResult::No);
        c.action->trigger();
        ASSERT_EQ(op_.messages().size(), 1) << c.starts;
        EXPECT_TRUE(op_.messages().at(0).startsWith(c.starts)) << op_.messages().at(0).toStdString();
        EXPECT_TRUE(op_.messages().at(0).contains(c.contains)) << op_.messages().at(0).toStdString();
        EXPECT_EQ(op_.shown().at(0).buttons, MsgButtons::YesNo);
        EXPECT_EQ(countRows("tblImages"), 1);
        EXPECT_EQ(countRows("tblStudies"), 2);
        EXPECT_TRUE(fs::exists(folder_->images() / "1.2.510" / "1.2.510.1.1.dcm"));
    }
    // Yes to the series: one question, and the study goes with its only series.
    op_.clear();
    op_.answer(MsgResult::Yes);
    QString log;
    pressOkWhenDone(&log);
    f.menus().PopUpSerie_Delete->trigger();
    EXPECT_EQ(op_.messages().size(), 1);
    EXPECT_EQ(countRows("tblImages"), 0);
    EXPECT_EQ(countRows("tblStudies"), 1);
    EXPECT_EQ(countRows("tblPatienten"), 1);
}

// Without a job lock to hold (its file cannot be opened) no job writes: the delete is
// refused with the reason, and every row and file stays.
TEST_F(JobCommandsTest, NoJobRunsWhenTheJobLockCannotBeTaken) {
    const auto a = addPatient("P1", "Alpha", "A");
    addImage(addSeries(addStudy(a, "1.2.530"), "1.2.530.1", 1), "1.2.530", "1.2.530.1.1", 1);
    auto& f = open();
    click(f.lvPatients(), findItem(f.lvPatients(), "P1"));
    fs::remove(JobLock::lockFile(folder_->data()));
    fs::create_directory(JobLock::lockFile(folder_->data()));  // a folder where the lock file belongs
    op_.answer(MsgResult::Yes);
    f.menus().PopUpPatient_Delete->trigger();
    ASSERT_EQ(op_.messages().size(), 2);
    EXPECT_TRUE(op_.messages().at(1).startsWith("The job lock cannot be taken")) << op_.messages().at(1).toStdString();
    EXPECT_TRUE(op_.shownOf(ScriptedOperator::Kind::Window).empty());
    EXPECT_EQ(countRows("tblImages"), 1);
    EXPECT_TRUE(fs::exists(folder_->images() / "1.2.530" / "1.2.530.1.1.dcm"));
    fs::remove(JobLock::lockFile(folder_->data()));
}

TEST_F(JobCommandsTest, DeleteAllAsksFirstAndEmptiesTheLists) {
    const auto a = addPatient("P1", "Alpha", "A");
    addImage(addSeries(addStudy(a, "1.2.500"), "1.2.500.1", 1), "1.2.500", "1.2.500.1.1", 1);
    auto& f = open();
    op_.answer(MsgResult::No);
    f.menus().PopUpPatient_DeleteAll->trigger();
    EXPECT_EQ(countRows("tblImages"), 1);
    op_.answer(MsgResult::Yes);
    QString log;
    pressOkWhenDone(&log);
    f.menus().PopUpPatient_DeleteAll->trigger();
    EXPECT_EQ(op_.messages().last(), "Delete all database entries and images?");
    EXPECT_EQ(log, "Removing database entries ... OK\nRemoving images ... OK\nTasks done.");
    EXPECT_EQ(f.lvPatients()->count(), 0);
    EXPECT_EQ(countRows("tblImages"), 0);
}

TEST_F(JobCommandsTest, SeriesSentFromItsPopupWithoutKeepLeavesTheList) {
    startScp();
    addDestination("Here", "STORESCP", "127.0.0.1", scp_->port(), 1);
    const auto a = addPatient("P1", "Alpha", "A");
    const auto study = addStudy(a, "1.2.700");
    addImage(addSeries(study, "1.2.700.1", 1), "1.2.700", "1.2.700.1.1", 1);
    addImage(addSeries(study, "1.2.700.2", 2), "1.2.700", "1.2.700.2.1", 1);
    auto& f = open();
    settings::current().sentAndKeep = 0;
    click(f.lvPatients(), findItem(f.lvPatients(), "P1"));
    f.lvStudien()->setCurrentItem(f.lvStudien()->itemAtPosition(1));
    f.PopUpStudie_SeriesWindow_Click();
    ASSERT_EQ(f.lvSerien()->count(), 3);
    f.lvSerien()->setCurrentItem(f.lvSerien()->itemAtPosition(3));
    commands().UpdateSendToEntries();
    QString log;
    pressOkWhenDone(&log);
    f.menus().Se_SendTo->actions().at(0)->trigger();
    EXPECT_EQ(log, "Sending Series ... OK\n1 of 1 images successfully sent.\nUpdating Database ... OK\n"
                   "Removing images ... OK\nTasks done!");
    EXPECT_EQ(received().size(), 1u);
    EXPECT_EQ(f.lvSerien()->count(), 2);
    EXPECT_EQ(countRows("tblImages"), 1);
    EXPECT_TRUE(stationContext().removedAfterSend);
}

TEST_F(JobCommandsTest, DeletingViewerImagesRemovesRowAndFileAndTheLastOneItsStudy) {
    const auto a = addPatient("P1", "Alpha", "A");
    const auto s1 = addStudy(a, "1.2.900");
    const auto series = addSeries(s1, "1.2.900.1", 1);
    addImage(series, "1.2.900", "1.2.900.1.1", 1);
    addImage(series, "1.2.900", "1.2.900.1.2", 2, "10:16:00");
    addImage(addSeries(addStudy(a, "1.2.901"), "1.2.901.1", 1), "1.2.901", "1.2.901.1.1", 1);
    auto& f = open();
    click(f.lvPatients(), findItem(f.lvPatients(), "P1"));
    QTreeWidgetItem* study = nullptr;
    for (int i = 1; i <= f.lvStudien()->count(); ++i)
        if (ListView::tag(f.lvStudien()->itemAtPosition(i)).toString() == "1.2.900") study = f.lvStudien()->itemAtPosition(i);
    click(f.lvStudien(), study);
    ASSERT_EQ(f.dv1()->count(), 2);
    f.viewer()->selectImage(1);
    const std::string first = f.CurrentImage()->sopInstanceUid();
    op_.answer(MsgResult::Yes);
    f.menus().PopupDeleteImage->trigger();
    EXPECT_EQ(f.dv1()->count(), 1);
    EXPECT_EQ(countRows("tblImages"), 2);
    EXPECT_FALSE(fs::exists(folder_->images() / "1.2.900" / (first + ".dcm")));
    EXPECT_EQ(f.panelText(4), "1 image(s)");

    f.viewer()->selectImage(1);
    op_.answer(MsgResult::Yes);
    f.menus().PopupDeleteImage->trigger();
    // The last image takes exactly its own study with it, without a job window.
    EXPECT_TRUE(op_.shownOf(ScriptedOperator::Kind::Window).empty());
    EXPECT_EQ(f.dv1()->count(), 0);
    EXPECT_EQ(f.lvStudien()->count(), 1);
    EXPECT_EQ(countRows("tblStudies"), 1);
    EXPECT_EQ(countRows("tblPatienten"), 1);
    EXPECT_FALSE(fs::exists(folder_->images() / "1.2.900"));
    EXPECT_TRUE(op_.unexpected().empty());
}

// A job (a forwarding without keep) took every image of the loaded study but the patient
// has another: the reload afterwards is quiet, no "No images found!", and the study leaves.
TEST_F(JobCommandsTest, ReloadAfterAJobTookTheStudysLastImagesIsQuiet) {
    const auto a = addPatient("P1", "Alpha", "A");
    addImage(addSeries(addStudy(a, "1.2.920"), "1.2.920.1", 1), "1.2.920", "1.2.920.1.1", 1);
    addImage(addSeries(addStudy(a, "1.2.921"), "1.2.921.1", 1), "1.2.921", "1.2.921.1.1", 1);
    auto& f = open();
    click(f.lvPatients(), findItem(f.lvPatients(), "P1"));
    QTreeWidgetItem* study = nullptr;
    for (int i = 1; i <= f.lvStudien()->count(); ++i)
        if (ListView::tag(f.lvStudien()->itemAtPosition(i)).toString() == "1.2.920") study = f.lvStudien()->itemAtPosition(i);
    click(f.lvStudien(), study);
    ASSERT_EQ(f.dv1()->count(), 1);
    {
        db::Database db(folder_->imageDatabase());
        db.exec("DELETE FROM tblImages WHERE ImageUID = '1.2.920.1.1'");
    }
    op_.clear();
    f.reloadLoadedStudy();
    EXPECT_TRUE(op_.shown().empty()) << (op_.shown().empty() ? "" : op_.shown().at(0).text.toStdString());
    EXPECT_EQ(f.dv1()->count(), 0);
    EXPECT_EQ(f.lvStudien()->count(), 1);
    EXPECT_EQ(f.lvImages()->count(), 0);
}

// The study list's selection moved to another study (a right click does that) after the
// image was loaded: "Delete" still takes the image on screen and its own study only.
TEST_F(JobCommandsTest, DeletingTheLastViewerImageIgnoresTheStudyListSelection) {
    const auto a = addPatient("P1", "Alpha", "A");
    addImage(addSeries(addStudy(a, "1.2.910"), "1.2.910.1", 1), "1.2.910", "1.2.910.1.1", 1);
    addImage(addSeries(addStudy(a, "1.2.911"), "1.2.911.1", 1), "1.2.911", "1.2.911.1.1", 1);
    auto& f = open();
    click(f.lvPatients(), findItem(f.lvPatients(), "P1"));
    QTreeWidgetItem* shown = nullptr;
    QTreeWidgetItem* other = nullptr;
    for (int i = 1; i <= f.lvStudien()->count(); ++i) {
        QTreeWidgetItem* item = f.lvStudien()->itemAtPosition(i);
        (ListView::tag(item).toString() == "1.2.910" ? shown : other) = item;
    }
    ASSERT_TRUE(shown && other);
    click(f.lvStudien(), shown);
    ASSERT_EQ(f.dv1()->count(), 1);
    f.viewer()->selectImage(1);
    f.lvStudien()->setCurrentItem(other);  // as a right click leaves it
    op_.answer(MsgResult::Yes);
    f.menus().PopupDeleteImage->trigger();
    EXPECT_FALSE(fs::exists(folder_->images() / "1.2.910"));
    EXPECT_TRUE(fs::exists(folder_->images() / "1.2.911" / "1.2.911.1.1.dcm"));
    EXPECT_EQ(countRows("tblStudies"), 1);
    EXPECT_EQ(countRows("tblImages"), 1);
    EXPECT_EQ(f.lvStudien()->count(), 1);
    EXPECT_EQ(ListView::tag(f.lvStudien()->itemAtPosition(1)).toString(), "1.2.911");
    EXPECT_EQ(f.dv1()->count(), 0);
}

// The export takes what the viewer shows: after a change of patient nothing is shown,
// and the previous patient's images are not exported.
TEST_F(JobCommandsTest, ExportTakesTheImagesOnScreenOnly) {
    const auto a = addPatient("P1", "Alpha", "A");
    addImage(addSeries(addStudy(a, "1.2.920"), "1.2.920.1", 1), "1.2.920", "1.2.920.1.1", 1);
    addPatient("P2", "Beta", "B");
    auto& f = open();
    click(f.lvPatients(), findItem(f.lvPatients(), "P1"));
    click(f.lvStudien(), f.lvStudien()->itemAtPosition(1));
    ASSERT_EQ(f.dv1()->count(), 1);
    click(f.lvPatients(), findItem(f.lvPatients(), "P2"));
    ASSERT_EQ(f.dv1()->count(), 0);
    f.mnuExportDICOM_Click();
    EXPECT_EQ(op_.messages().last(), "No images loaded into viewport.");
    EXPECT_TRUE(op_.shownOf(ScriptedOperator::Kind::Window).empty());
}

TEST_F(JobCommandsTest, ToolbarSendWantsAPatientAndADefaultDestination) {
    addPatient("P1", "Alpha", "A");
    auto& f = open();
    f.menus().send->trigger();
    EXPECT_EQ(op_.messages(), (QStringList{"Please select a patient from the list!"}));
    click(f.lvPatients(), findItem(f.lvPatients(), "P1"));
    f.menus().send->trigger();
    EXPECT_EQ(op_.messages().last(), "No default SCP configured!");
    EXPECT_EQ(stationContext().forwardingMode, ForwardingMode::None);
}

TEST_F(JobCommandsTest, ManualForwardingWithoutAnImageSendsNothing) {
    auto& f = open();
    (void)f;
    commands().cmdSelected_Click();
    EXPECT_EQ(op_.messages().last(), "Please select the image to forward first.");
    EXPECT_TRUE(op_.shownOf(ScriptedOperator::Kind::Window).empty());
    EXPECT_FALSE(stationContext().refreshLock);
}

}  // namespace

TEST_F(JobCommandsTest, ImportMenuRunsTheJobWindowAndDropsTheFilesIntoTheInputFolder) {
    auto& f = open();
    corva::test::TempDir source("cd");
    std::vector<std::string> uids;
    QStringList chosen;
    for (int i = 0; i < 2; ++i) {
        corva::test::DicomRecipe recipe;
        recipe.sopInstanceUid = "1.2.826.0.1.3680043.9.7433.77." + std::to_string(i + 1);
        uids.push_back(recipe.sopInstanceUid);
        chosen << QString::fromStdString(
            corva::test::writeDicom(source.path() / ("IM" + std::to_string(i)), recipe).string());
    }
    // Cancelled: no job window.
    op_.answerOpenFiles({});
    f.menus().mnuImportImages->trigger();
    EXPECT_TRUE(op_.shownOf(ScriptedOperator::Kind::Window).empty());

    op_.answerOpenFiles(chosen);
    QString log;
    pressOkWhenDone(&log);
    f.menus().mnuImportImages->trigger();
    EXPECT_TRUE(log.startsWith("Importing image(s) ... OK")) << log.toStdString();
    for (const auto& uid : uids) EXPECT_TRUE(fs::exists(folder_->temp() / (uid + ".dcm"))) << uid;
    EXPECT_FALSE(stationContext().refreshLock);
}
