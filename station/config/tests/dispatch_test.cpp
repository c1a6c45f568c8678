// Every toolbar key, menu entry and popup entry of the real main window reaches its
// command; the options command applies what changed when its window closes.
#include <QAction>
#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QSignalSpy>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QToolBar>

#include "app/main_form.h"
#include "common/list_view.h"
#include "config/add_scp.h"
#include "config/filters.h"
#include "db/database.h"
#include "config/option_form.h"
#include "config_test.h"
#include "viewer/dicom_viewer.h"

namespace corva::station::test {
namespace {

class DispatchTest : public ConfigTest {
protected:
    void SetUp() override {
        ConfigTest::SetUp();
        addPatient("P-ANNA", "Muster", "Anna");
    }
    void TearDown() override {
        form_.reset();
        ConfigTest::TearDown();
    }
    MainForm& open() {
        form_ = std::make_unique<MainForm>();
        form_->Form_Load();
        form_->UpdateTimer()->stop();
        return *form_;
    }
    void addDoseRow() {
        auto db = openImageDb();
        db.exec("INSERT INTO tblDosis (KVP, ma, Zeit, Dicke, mGy, Druck, Datum, Sonstiges, Status, expZeit) "
                "VALUES ('28', '80', '1', 40, '1.2', 100, '2024-01-15', '', '0', '')");
    }
    std::unique_ptr<MainForm> form_;
};

enum class Expect { Pending, Window, Message, Ends, PatientsRefreshed, DoseListFilled, DoseListEmptied, Nothing };

struct Entry {
    const char* name;
    QAction* MainMenus::*action;
    Expect expect;
    QString detail;  // the command, window or message
};

TEST_F(DispatchTest, EveryEntryReachesItsCommand) {
    const std::vector<Entry> entries{
        // Toolbar1, by key.
        {"send", &MainMenus::send, Expect::Message, "Please select a patient from the list!"},
        {"exe", &MainMenus::exe, Expect::Pending, "mnuApplyTasks_Click"},
        {"refresh", &MainMenus::refresh, Expect::PatientsRefreshed, {}},
        {"refreshd", &MainMenus::refreshd, Expect::DoseListFilled, {}},
        {"reldosis", &MainMenus::reldosis, Expect::Window, "DosisForm"},
        {"eJPEG", &MainMenus::eJPEG, Expect::Pending, "mnuExportJPEG_Click"},
        {"eDICOM", &MainMenus::eDICOM, Expect::Pending, "mnuExportDICOM_Click"},
        {"delete", &MainMenus::deleteDosis, Expect::DoseListEmptied, {}},
        {"exit", &MainMenus::exit, Expect::Ends, {}},
        // Menu bar.
        {"mnuImportImages", &MainMenus::mnuImportImages, Expect::Pending, "mnuImportImages_Click"},
        {"mnuImportDir", &MainMenus::mnuImportDir, Expect::Pending, "mnuImportDir_Click"},
        {"mnuExportJPEG", &MainMenus::mnuExportJPEG, Expect::Pending, "mnuExportJPEG_Click"},
        {"mnuExportDICOM", &MainMenus::mnuExportDICOM, Expect::Pending, "mnuExportDICOM_Click"},
        {"mnuDateiBeenden", &MainMenus::mnuDateiBeenden, Expect::Ends, {}},
        {"mnuApplyTasks", &MainMenus::mnuApplyTasks, Expect::Pending, "mnuApplyTasks_Click"},
        {"mnuRefreshList", &MainMenus::mnuRefreshList, Expect::PatientsRefreshed, {}},
        {"mnuEditDatabase", &MainMenus::mnuEditDatabase, Expect::Window, "DatabaseForm"},
        {"mnuAnsichtEinstellungen", &MainMenus::mnuAnsichtEinstellungen, Expect::Window, "OptionForm"},
        {"mnuProtokollFehler", &MainMenus::mnuProtokollFehler, Expect::Pending, "mnuProtokollFehler_Click"},
        {"mnuProtokollDebug", &MainMenus::mnuProtokollDebug, Expect::Nothing, {}},
        {"mnuInfoAbout", &MainMenus::mnuInfoAbout, Expect::Window, "AboutForm"},
        {"mnuFill", &MainMenus::mnuFill, Expect::Nothing, {}},  // no raw record waits here
        // Popup menus owned by other folders.
        {"PopUpPatient_Delete", &MainMenus::PopUpPatient_Delete, Expect::Pending, "PopUpPatient_Delete_Click"},
        {"PopUpPatient_DeleteAll", &MainMenus::PopUpPatient_DeleteAll, Expect::Pending, "PopUpPatient_DeleteAll_Click"},
        {"PopUpStudie_Delete", &MainMenus::PopUpStudie_Delete, Expect::Pending, "PopUpStudie_Delete_Click"},
        {"PopUpSerie_Delete", &MainMenus::PopUpSerie_Delete, Expect::Pending, "PopUpSerie_Delete_Click"},
        {"PopupDeleteImage", &MainMenus::PopupDeleteImage, Expect::Pending, "PopupDeleteImage_Click"},
        {"PopUpTaskListSub_0", &MainMenus::PopUpTaskListSub_0, Expect::Pending, "PopUpTaskListSub_Click(0)"},
        {"PopUpTaskListSub_1", &MainMenus::PopUpTaskListSub_1, Expect::Pending, "PopUpTaskListSub_Click(1)"},
    };
    for (const Entry& e : entries) {
        SCOPED_TRACE(e.name);
        op_.clear();
        MainForm& f = open();
        QSignalSpy pending(&f, &MainForm::commandPending);
        QSignalSpy ends(&f, &MainForm::programEnds);
        if (e.expect == Expect::PatientsRefreshed) addPatient(std::string("P-") + e.name, "Beispiel", "Bert");
        if (e.expect == Expect::DoseListFilled || e.expect == Expect::DoseListEmptied) addDoseRow();
        if (e.expect == Expect::Window) op_.answerWindow([](QDialog&) { return int(QDialog::Rejected); });
        const int patientsBefore = f.lvPatients()->count();
        QAction* action = f.menus().*(e.action);
        ASSERT_NE(action, nullptr);
        action->trigger();
        switch (e.expect) {
            case Expect::Pending:
                ASSERT_EQ(pending.count(), 1);
                EXPECT_EQ(pending.at(0).at(0).toString(), e.detail);
                break;
            case Expect::Window:
                ASSERT_FALSE(op_.shownOf(ScriptedOperator::Kind::Window).empty());
                EXPECT_EQ(op_.shownOf(ScriptedOperator::Kind::Window).at(0).text, e.detail);
                break;
            case Expect::Message:
                EXPECT_EQ(op_.messages(), QStringList{e.detail});
                break;
            case Expect::Ends: EXPECT_EQ(ends.count(), 1); break;
            case Expect::PatientsRefreshed: EXPECT_EQ(f.lvPatients()->count(), patientsBefore + 1); break;
            case Expect::DoseListFilled: EXPECT_EQ(f.lvDosis()->count(), 1); break;
            case Expect::DoseListEmptied:
                EXPECT_EQ(countRows("tblDosis"), 0);
                EXPECT_EQ(f.lvDosis()->count(), 0);
                break;
            case Expect::Nothing:
                EXPECT_EQ(pending.count(), 0);
                EXPECT_TRUE(op_.shown().empty());
                break;
        }
        if (e.expect != Expect::Nothing && e.expect != Expect::Pending && e.expect != Expect::Window) {
            EXPECT_EQ(pending.count(), 0);
        }
        form_.reset();
    }
}

TEST_F(DispatchTest, ToolbarButtonsHavePicturesAndTextsAndAnUnknownKeyDoesNothing) {
    MainForm& f = open();
    for (QAction* a : f.menus().Toolbar1->actions()) {
        if (a->isSeparator()) {
            continue;
        }
        EXPECT_FALSE(a->text().isEmpty());
        EXPECT_EQ(a->toolTip(), a->text());
        EXPECT_EQ(a->icon().isNull(), a->data().toString() == "delete") << a->data().toString().toStdString();
    }
    QSignalSpy pending(&f, &MainForm::commandPending);
    f.Toolbar1_ButtonClick("nonsense");
    EXPECT_EQ(pending.count(), 0);
    EXPECT_TRUE(op_.shown().empty());
}

TEST_F(DispatchTest, SendPatientChecksTheDefaultDestination) {
    MainForm& f = open();
    f.lvPatients()->setCurrentItem(f.lvPatients()->itemAtPosition(1));
    f.lvPatients()->itemAtPosition(1)->setSelected(true);
    QSignalSpy pending(&f, &MainForm::commandPending);
    f.Toolbar1_ButtonClick("send");
    EXPECT_EQ(op_.messages(), QStringList{"No default SCP configured!"});
    op_.clear();
    configState().defaultDestination = {"PACS", "", "104"};
    f.Toolbar1_ButtonClick("send");
    EXPECT_EQ(op_.messages(), QStringList{"Incomplete Storage Class Provider values!\r\nAET: PACS\r\nIP: \r\nPort: 104"});
    EXPECT_EQ(pending.count(), 0);
    op_.clear();
    configState().defaultDestination = {"PACS", "127.0.0.1", "104"};
    f.Toolbar1_ButtonClick("send");
    EXPECT_TRUE(op_.messages().isEmpty());
    ASSERT_GE(pending.count(), 1);
    EXPECT_EQ(pending.at(0).at(0).toString(), "SCPOnline");
    EXPECT_EQ(settings::current().scpIp, "127.0.0.1");  // the current destination
}

TEST_F(DispatchTest, OptionsChangesTakeEffectWhenTheWindowCloses) {
    MainForm& f = open();
    ASSERT_EQ(f.dv1()->rows(), 7);
    QSignalSpy pending(&f, &MainForm::commandPending);
    // Closing without changes rebuilds only the rules popup.
    op_.answerWindow([](QDialog&) { return int(QDialog::Rejected); });
    f.mnuAnsichtEinstellungen_Click();
    ASSERT_EQ(pending.count(), 1);
    EXPECT_EQ(pending.at(0).at(0).toString(), "UpdateRulesPopup");

    // A new grid and a new destination; the header view holds rows and a filter changed.
    pending.clear();
    f.lvHeader()->addItem("0010,0010", {}, {"Patient's Name", "X"});
    configState().filterChanged = true;
    // The destination is added while the options window is open.
    op_.answerWindow([](QDialog& d) {
        auto& options = dynamic_cast<config::OptionForm&>(d);
        options.txtRC(0)->setText("5");
        options.txtRC(1)->setText("4");
        options.PopAddNewSCP_Click();
        options.cmdOK()->click();
        return options.result();
    });
    op_.answerWindow([](QDialog& d) {
        auto& dialog = dynamic_cast<config::AddSCP&>(d);
        const QString boxes[] = {"PACS", "PACS", "127.0.0.1", "104"};
        for (int i = 0; i < 4; ++i) dialog.txtSCP(i)->setText(boxes[i]);
        dialog.cmdAdd()->click();
        return dialog.result();
    });
    f.mnuAnsichtEinstellungen_Click();
    EXPECT_TRUE(op_.messages().isEmpty()) << op_.messages().join("|").toStdString();
    EXPECT_EQ(f.dv1()->rows(), 5);
    EXPECT_EQ(f.dv1()->columns(), 4);
    QStringList commands;
    for (const auto& call : pending) commands << call.at(0).toString();
    EXPECT_EQ(commands, (QStringList{"LoadHeaderData", "UpdateSendToEntries", "UpdateRulesPopup"}));
    EXPECT_FALSE(configState().filterChanged);
    EXPECT_FALSE(configState().destinationsChanged);

    // Activating another filter reloads the header view as well.
    {
        db::Database db(folder_->userDatabase());
        config::createFilter(db, "CT");
    }
    pending.clear();
    op_.answerWindow([](QDialog& d) {
        auto& options = dynamic_cast<config::OptionForm&>(d);
        options.cboModality()->setCurrentIndex(options.cboModality()->findText("CT"));
        options.cboModality_Click();
        options.cmdActivate_Click();
        options.cmdCancel()->click();
        return options.result();
    });
    f.mnuAnsichtEinstellungen_Click();
    commands.clear();
    for (const auto& call : pending) commands << call.at(0).toString();
    EXPECT_EQ(commands, (QStringList{"LoadHeaderData", "UpdateRulesPopup"}));
}

TEST_F(DispatchTest, TheActiveFilterIsReadAtTheStart) {
    {
        db::Database db(folder_->userDatabase());
        config::createFilter(db, "MG");
        config::addTagsToFilter(db, "MG", {"0010,0010", "0008,0060"});
    }
    settings::WriteRegistryValue("Filter\\Active", "MG");
    open();
    const auto& set = configState().activeTagSet;
    ASSERT_EQ(set.size(), 2u);
    EXPECT_EQ(set.count("0008,0060"), 1u);
    // A filter whose column is gone leaves the start going with an empty set.
    form_.reset();
    settings::WriteRegistryValue("Filter\\Active", "XX");
    MainForm& f = open();
    EXPECT_TRUE(configState().activeTagSet.empty());
    EXPECT_EQ(f.lvPatients()->count(), 1);
}

}  // namespace
}  // namespace corva::station::test
