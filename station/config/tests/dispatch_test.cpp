// Every toolbar key, menu entry and popup entry of the real main window reaches its
// command; the options command applies what changed when its window closes.
#include <QAction>
#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QToolBar>

#include "app/error_log_form.h"
#include "app/job_commands.h"
#include "app/main_form.h"
#include "common/list_view.h"
#include "config/add_scp.h"
#include "config/filters.h"
#include "db/database.h"
#include "config/option_form.h"
#include "config_test.h"
#include "header/header_panel.h"
#include "log/error_log.h"
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

enum class Expect { Pending, Window, Message, FileDialog, Ends, PatientsRefreshed, DoseListFilled, DoseListEmptied, Nothing };

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
        {"exe", &MainMenus::exe, Expect::Message, "No tasks in list."},
        {"refresh", &MainMenus::refresh, Expect::PatientsRefreshed, {}},
        {"refreshd", &MainMenus::refreshd, Expect::DoseListFilled, {}},
        {"reldosis", &MainMenus::reldosis, Expect::Window, "DosisForm"},
        {"eJPEG", &MainMenus::eJPEG, Expect::Message, "No images loaded into viewport."},
        {"eDICOM", &MainMenus::eDICOM, Expect::Message, "No images loaded into viewport."},
        {"delete", &MainMenus::deleteDosis, Expect::DoseListEmptied, {}},
        {"exit", &MainMenus::exit, Expect::Ends, {}},
        // Menu bar.
        {"mnuImportImages", &MainMenus::mnuImportImages, Expect::FileDialog, {}},
        {"mnuImportDir", &MainMenus::mnuImportDir, Expect::FileDialog, {}},
        {"mnuExportJPEG", &MainMenus::mnuExportJPEG, Expect::Message, "No images loaded into viewport."},
        {"mnuExportDICOM", &MainMenus::mnuExportDICOM, Expect::Message, "No images loaded into viewport."},
        {"mnuDateiBeenden", &MainMenus::mnuDateiBeenden, Expect::Ends, {}},
        {"mnuApplyTasks", &MainMenus::mnuApplyTasks, Expect::Message, "No tasks in list."},
        {"mnuRefreshList", &MainMenus::mnuRefreshList, Expect::PatientsRefreshed, {}},
        {"mnuEditDatabase", &MainMenus::mnuEditDatabase, Expect::Window, "DatabaseForm"},
        {"mnuAnsichtEinstellungen", &MainMenus::mnuAnsichtEinstellungen, Expect::Window, "OptionForm"},
        {"mnuProtokollFehler", &MainMenus::mnuProtokollFehler, Expect::Window, "ErrorLogForm"},
        {"mnuProtokollDebug", &MainMenus::mnuProtokollDebug, Expect::Nothing, {}},
        {"mnuInfoAbout", &MainMenus::mnuInfoAbout, Expect::Window, "AboutForm"},
        {"mnuFill", &MainMenus::mnuFill, Expect::Nothing, {}},  // no raw record waits here
        // Popup menus (their jobs are tested with the job commands).
        {"PopUpPatient_DeleteAll", &MainMenus::PopUpPatient_DeleteAll, Expect::Message,
         "Delete all database entries and images?"},
        {"PopupDeleteImage", &MainMenus::PopupDeleteImage, Expect::Message, "Delete image?"},
        {"PopUpTaskListSub_0", &MainMenus::PopUpTaskListSub_0, Expect::Nothing, {}},  // an empty list stays empty
        {"PopUpTaskListSub_1", &MainMenus::PopUpTaskListSub_1, Expect::Nothing, {}},  // no tasks: nothing to save
    };
    for (const Entry& e : entries) {
        SCOPED_TRACE(e.name);
        op_.clear();
        MainForm& f = open();
        QSignalSpy pending(&f, &MainForm::commandPending);
        QSignalSpy ends(&f, &MainForm::programEnds);
        if (e.expect == Expect::PatientsRefreshed) addPatient(std::string("P-") + e.name, "Beispiel", "Bert");
        if (e.expect == Expect::DoseListFilled || e.expect == Expect::DoseListEmptied) addDoseRow();
        // "Delete Dosislist" asks first; the operator says yes.
        if (e.expect == Expect::DoseListEmptied) op_.answer(MsgResult::Yes);
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
            case Expect::FileDialog:
                ASSERT_EQ(op_.shown().size(), 1u);
                EXPECT_TRUE(op_.shown()[0].kind == ScriptedOperator::Kind::OpenFiles ||
                            op_.shown()[0].kind == ScriptedOperator::Kind::OpenFile ||
                            op_.shown()[0].kind == ScriptedOperator::Kind::Folder);
                break;
            case Expect::Ends: EXPECT_EQ(ends.count(), 1); break;
            case Expect::PatientsRefreshed: EXPECT_EQ(f.lvPatients()->count(), patientsBefore + 1); break;
            case Expect::DoseListFilled: EXPECT_EQ(f.lvDosis()->count(), 1); break;
            case Expect::DoseListEmptied:
                ASSERT_EQ(op_.messages().size(), 1);
                EXPECT_TRUE(op_.messages().front().startsWith("Delete the ")) << op_.messages().front().toStdString();
                EXPECT_TRUE(op_.messages().front().contains("waiting exposure record(s)?"));
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
    f.Toolbar1_ButtonClick("send");
    EXPECT_EQ(op_.messages(), QStringList{"No default SCP configured!"});
    op_.clear();
    // The default is the destination list's, read when the send starts.
    const auto setDefault = [this](const char* ip) {
        db::Database db(folder_->userDatabase());
        db.exec("DELETE FROM tblSCP");
        auto st = db.prepare("INSERT INTO tblSCP (Alias, AET, IP, Port, \"Default\") VALUES ('PACS', 'PACS', ?, 104, 1)");
        st.bind(1, std::string(ip));
        st.run();
    };
    setDefault("");
    f.Toolbar1_ButtonClick("send");
    EXPECT_EQ(op_.messages(), QStringList{"Incomplete Storage Class Provider values!\r\nAET: PACS\r\nIP: \r\nPort: 104"});
    op_.clear();
    // A complete destination becomes the current one and is checked: nothing listens there.
    setDefault("127.0.0.1");
    f.Toolbar1_ButtonClick("send");
    ASSERT_EQ(op_.messages().size(), 1);
    EXPECT_TRUE(op_.messages()[0].startsWith("Error #")) << op_.messages()[0].toStdString();
    EXPECT_EQ(settings::current().scpIp, "127.0.0.1");
    EXPECT_EQ(f.jobCommands().currentDestination().ip, "127.0.0.1");
}

TEST_F(DispatchTest, OptionsChangesTakeEffectWhenTheWindowCloses) {
    MainForm& f = open();
    ASSERT_EQ(f.dv1()->rows(), 7);
    const auto headerTags = [&f] {
        QStringList tags;
        for (int i = 1; i <= f.lvHeader()->count(); ++i) tags << f.lvHeader()->itemAtPosition(i)->text(0);
        return tags;
    };
    // Closing without changes leaves the header view and the send-to menus as they were.
    f.lvHeader()->addItem("0010,0010", {}, {"Patient's Name", "X"});
    const auto sendToEntriesBefore = f.menus().P_SendTo->actions().size();
    op_.answerWindow([](QDialog&) { return int(QDialog::Rejected); });
    f.mnuAnsichtEinstellungen_Click();
    EXPECT_EQ(headerTags(), QStringList{"0010,0010"});
    EXPECT_EQ(f.menus().P_SendTo->actions().size(), sendToEntriesBefore);

    // A new grid and a new destination; attributes were added to the active filter.
    configState().filterChanged = true;
    configState().activeTagSet = {{"0010,0020", "Patient ID"}};
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
    EXPECT_EQ(headerTags(), QStringList{"0010,0020"});
    ASSERT_EQ(f.menus().P_SendTo->actions().size(), 1);
    EXPECT_EQ(f.menus().P_SendTo->actions()[0]->text(), "PACS");
    EXPECT_FALSE(configState().filterChanged);
    EXPECT_FALSE(configState().destinationsChanged);

    // Activating another (empty) filter reloads the header view as well.
    {
        db::Database db(folder_->userDatabase());
        config::createFilter(db, "CT");
    }
    op_.answerWindow([](QDialog& d) {
        auto& options = dynamic_cast<config::OptionForm&>(d);
        options.cboModality()->setCurrentIndex(options.cboModality()->findText("CT"));
        options.cboModality_Click();
        options.cmdActivate_Click();
        options.cmdCancel()->click();
        return options.result();
    });
    f.mnuAnsichtEinstellungen_Click();
    EXPECT_TRUE(headerTags().isEmpty());
    EXPECT_TRUE(f.headerPanel().tagSet().empty());
}

TEST_F(DispatchTest, TheActiveFilterIsReadAtTheStart) {
    {
        db::Database db(folder_->userDatabase());
        config::createFilter(db, "MG");
        config::addTagsToFilter(db, "MG", {"0010,0010", "0008,0060"});
    }
    settings::WriteRegistryValue("Filter\\Active", "MG");
    MainForm& f = open();
    QStringList tags;
    for (const auto& [tag, description] : f.headerPanel().tagSet().entries()) tags << QString::fromStdString(tag);
    tags.sort();
    EXPECT_EQ(tags, (QStringList{"0008,0060", "0010,0010"}));
    // A filter whose column is gone leaves the start going with an empty set.
    form_.reset();
    settings::WriteRegistryValue("Filter\\Active", "XX");
    MainForm& g = open();
    EXPECT_TRUE(g.headerPanel().tagSet().empty());
    EXPECT_EQ(g.lvPatients()->count(), 1);
}

TEST_F(DispatchTest, ErrorsShowsTheErrorLogReadOnly) {
    MainForm& f = open();
    // The X-ray unit's port opens at start; on a machine without one that is logged.
    std::filesystem::remove(folder_->logs() / "Error.log");
    const auto shownText = [this, &f] {
        QString text;
        op_.answerWindow([&text](QDialog& d) {
            auto& log = dynamic_cast<ErrorLogForm&>(d);
            text = log.txtLog()->toPlainText();
            EXPECT_TRUE(log.txtLog()->isReadOnly());
            return int(QDialog::Accepted);
        });
        f.menus().mnuProtokollFehler->trigger();
        return text;
    };
    EXPECT_EQ(shownText(), "No errors logged.");
    log::LogError(1234, "Destination refused the association", "MainForm SCPOnline");
    const QString text = shownText();
    EXPECT_TRUE(text.contains("#1234 - Destination refused the association MainForm SCPOnline")) << text.toStdString();
    EXPECT_FALSE(text.contains('\r'));
}

}  // namespace
}  // namespace corva::station::test
