// The storage destinations in the options window: the dialog's checks, add, edit,
// delete and default, against the real configuration database.
#include <QAction>
#include <QCheckBox>
#include <QFont>
#include <QMenu>
#include <QLineEdit>
#include <QPushButton>

#include "common/list_view.h"
#include "config/add_scp.h"
#include "config/option_form.h"
#include "config_test.h"
#include "db/database.h"
#include "settings/tls_settings.h"
#include "test_certificates.h"

namespace corva::station::test {
namespace {

using config::AddSCP;
using config::OptionForm;

class DestinationsTest : public ConfigTest {
protected:
    db::Database userDb() const { return db::Database(folder_->userDatabase()); }
    std::int64_t count(const std::string& where = "1") const {
        auto db = userDb();
        auto s = db.prepare("SELECT COUNT(*) FROM tblSCP WHERE " + where);
        s.step();
        return s.getInt(0);
    }
    // Queues the dialog: each entry of `attempts` is typed and "Add" pressed, in turn.
    void answerDialog(std::vector<std::array<QString, 4>> attempts, QString* caption = nullptr) {
        op_.answerWindow([attempts, caption](QDialog& d) {
            auto& dialog = dynamic_cast<AddSCP&>(d);
            if (caption) *caption = dialog.windowTitle() + "|" + dialog.cmdAdd()->text();
            for (const auto& boxes : attempts) {
                for (int i = 0; i < 4; ++i) dialog.txtSCP(i)->setText(boxes[i]);
                dialog.cmdAdd()->click();
                if (dialog.result() == QDialog::Accepted) break;
            }
            return dialog.result();
        });
    }
    static bool bold(QTreeWidgetItem* item) { return item->font(0).bold(); }
};

TEST_F(DestinationsTest, TheDialogRefusesWhatCannotBeSentToAndStoresTheRest) {
    OptionForm form(nullptr, QStringList{});
    answerDialog({{"PACS", "PACS_AE", "10.0.0.5", ""},
                  {"PACS", "PACS_AE", "10.0.0.5", "1o4"},
                  {"PACS", "PACS_AE", "10.0.0.5", "70000"},
                  {"PACS", "AN_AE_TITLE_TOO_LONG", "10.0.0.5", "104"},
                  {"PACS", "PACS_AE", "10.0.0.5", "104"}});
    form.PopAddNewSCP_Click();
    const QStringList messages = op_.messages();
    ASSERT_EQ(messages.size(), 4);
    EXPECT_EQ(messages[0], "Please fill all text fields.");
    EXPECT_EQ(messages[1], "Not a valid port.");
    EXPECT_TRUE(messages[2].startsWith("Port:"));
    EXPECT_TRUE(messages[3].startsWith("AET:"));
    EXPECT_EQ(op_.shownOf(ScriptedOperator::Kind::Message).at(0).icon, MsgIcon::Information);
    EXPECT_EQ(count(), 1);
    ASSERT_EQ(form.lvSCP()->count(), 1);
    EXPECT_EQ(form.lvSCP()->itemAtPosition(1)->text(3), "104");
    EXPECT_TRUE(configState().destinationsChanged);
}

TEST_F(DestinationsTest, EditDefaultAndDelete) {
    {
        auto db = userDb();
        db.exec("INSERT INTO tblSCP (Alias, AET, IP, Port) VALUES ('B-Archive', 'ARCH', '10.0.0.2', 104);"
                "INSERT INTO tblSCP (Alias, AET, IP, Port, \"Default\") VALUES ('A-Review', 'REVIEW', '10.0.0.1', 11112, -1)");
    }
    OptionForm form(nullptr, QStringList{});
    ASSERT_EQ(form.lvSCP()->count(), 2);
    QTreeWidgetItem* review = form.lvSCP()->itemAtPosition(1);
    EXPECT_EQ(review->text(0), "A-Review");
    EXPECT_TRUE(bold(review));

    // Edit: the dialog shows the row and stores it back under its ID.
    form.lvSCP()->setCurrentItem(form.lvSCP()->itemAtPosition(2));
    QString caption;
    answerDialog({{"B-Archive", "ARCH2", "10.0.0.3", "105"}}, &caption);
    form.PopEditSCP_Click();
    EXPECT_EQ(caption, "Edit SCP|Apply");
    EXPECT_EQ(count("AET = 'ARCH2' AND Port = 105"), 1);
    EXPECT_EQ(count(), 2);

    // Set as default: one bold entry, one default row, the destination in memory.
    configState().destinationsChanged = false;
    form.lvSCP()->setCurrentItem(form.lvSCP()->itemAtPosition(2));
    form.PopDefault_Click();
    EXPECT_FALSE(bold(form.lvSCP()->itemAtPosition(1)));
    EXPECT_TRUE(bold(form.lvSCP()->itemAtPosition(2)));
    EXPECT_EQ(count("abs(\"Default\") = 1"), 1);
    EXPECT_EQ(count("abs(\"Default\") = 1 AND AET = 'ARCH2'"), 1);
    EXPECT_EQ(configState().defaultDestination.aet, "ARCH2");
    EXPECT_EQ(configState().defaultDestination.port, "105");
    EXPECT_FALSE(configState().destinationsChanged);

    // Delete, then Cancel: the row stays deleted.
    form.lvSCP()->setCurrentItem(form.lvSCP()->itemAtPosition(1));
    form.PopDeleteSCP_Click();
    form.cmdCancel()->click();
    EXPECT_EQ(count(), 1);
    EXPECT_EQ(form.lvSCP()->count(), 1);
    EXPECT_TRUE(configState().destinationsChanged);
    EXPECT_TRUE(op_.messages().isEmpty());
}

TEST_F(DestinationsTest, UseTlsNeedsFilesThatServeAndIsKeptWithTheRowUntilItIsDeleted) {
    const corva::test::TestCertificates certs;
    const QString ca = QString::fromStdString(certs.ca().string());
    const QString cert = QString::fromStdString(certs.certificate("client").string());
    const QString key = QString::fromStdString(certs.key("client").string());
    struct Attempt {
        QString ca, certificate, key;
    };
    const std::vector<Attempt> attempts{{"", "", ""}, {ca, cert, ""}, {ca, cert, QString::fromStdString(certs.key("server").string())},
                                        {ca, cert, key}};
    OptionForm form(nullptr, QStringList{});
    op_.answerWindow([&](QDialog& d) {
        auto& dialog = dynamic_cast<AddSCP&>(d);
        EXPECT_FALSE(dialog.txtTLS(0)->isEnabled());  // plain until chosen
        const QString boxes[] = {"Secure", "ARCHIVE", "10.0.0.5", "2762"};
        for (int i = 0; i < 4; ++i) dialog.txtSCP(i)->setText(boxes[i]);
        dialog.chkTLS()->setChecked(true);
        EXPECT_TRUE(dialog.txtTLS(0)->isEnabled());
        for (const Attempt& a : attempts) {
            dialog.txtTLS(0)->setText(a.ca);
            dialog.txtTLS(1)->setText(a.certificate);
            dialog.txtTLS(2)->setText(a.key);
            dialog.cmdAdd()->click();
            if (dialog.result() == QDialog::Accepted) break;
        }
        return dialog.result();
    });
    form.PopAddNewSCP_Click();
    const QStringList messages = op_.messages();
    ASSERT_EQ(messages.size(), 3) << messages.join("|").toStdString();
    EXPECT_EQ(messages[0], "TLS: give the CA file that checks the destination's certificate.");
    EXPECT_TRUE(messages[1].contains("needs its private key")) << messages[1].toStdString();
    EXPECT_TRUE(messages[2].contains("does not belong to the certificate")) << messages[2].toStdString();
    ASSERT_EQ(count(), 1);

    std::int64_t id = 0;
    {
        auto db = userDb();
        auto st = db.prepare("SELECT ID FROM tblSCP");
        st.step();
        id = st.getInt(0);
    }
    const settings::DestinationTls stored = settings::readDestinationTls(id);
    EXPECT_EQ(stored, (settings::DestinationTls{true, ca.toStdString(), cert.toStdString(), key.toStdString()}));
    // The send jobs take the files from there.
    ASSERT_TRUE(stored.files());
    EXPECT_EQ(stored.files()->caFile, certs.ca());

    form.lvSCP()->setCurrentItem(form.lvSCP()->itemAtPosition(1));
    form.PopDeleteSCP_Click();
    EXPECT_EQ(count(), 0);
    EXPECT_EQ(settings::readDestinationTls(id), settings::DestinationTls{});
}

// Add, Edit, Delete and Set as default are buttons beside the list, not only behind a
// right click; those that act on an entry wait for one to be chosen.
TEST_F(DestinationsTest, ButtonsBesideTheListDoWhatTheMenuDoes) {
    userDb().exec("INSERT INTO tblSCP (Alias, AET, IP, Port) VALUES ('Archive', 'ARCH', '10.0.0.2', 104)");
    OptionForm form(nullptr, QStringList{});
    form.show();
    EXPECT_TRUE(form.cmdAddSCP()->isEnabled());
    for (QPushButton* b : {form.cmdEditSCP(), form.cmdDeleteSCP(), form.cmdDefaultSCP()})
        EXPECT_FALSE(b->isEnabled()) << b->text().toStdString();
    EXPECT_EQ(form.cmdAddSCP()->parentWidget(), form.lvSCP()->parentWidget());

    answerDialog({{"Review", "REVIEW", "10.0.0.1", "11112"}});
    form.cmdAddSCP()->click();
    EXPECT_EQ(count(), 2);
    ASSERT_EQ(form.lvSCP()->count(), 2);

    form.lvSCP()->setCurrentItem(form.lvSCP()->itemAtPosition(2));
    for (QPushButton* b : {form.cmdEditSCP(), form.cmdDeleteSCP(), form.cmdDefaultSCP()})
        EXPECT_TRUE(b->isEnabled()) << b->text().toStdString();
    const QString chosen = form.lvSCP()->itemAtPosition(2)->text(0);
    form.cmdDefaultSCP()->click();
    EXPECT_TRUE(bold(form.lvSCP()->itemAtPosition(2)));
    EXPECT_EQ(count("abs(\"Default\") = 1 AND Alias = '" + chosen.toStdString() + "'"), 1);
    form.cmdDeleteSCP()->click();
    EXPECT_EQ(count(), 1);
    EXPECT_EQ(form.lvSCP()->count(), 1);
    EXPECT_EQ(count("Alias = '" + chosen.toStdString() + "'"), 0);
    EXPECT_FALSE(form.cmdDeleteSCP()->isEnabled());
}

TEST_F(DestinationsTest, ADeleteTheDatabaseRefusesIsReportedAndTheEntryStays) {
    {
        auto db = userDb();
        db.exec("INSERT INTO tblSCP (Alias, AET, IP, Port) VALUES ('PACS', 'PACS', '10.0.0.2', 104);"
                "CREATE TRIGGER keep_scp BEFORE DELETE ON tblSCP BEGIN SELECT RAISE(ABORT, 'destination locked'); END");
    }
    OptionForm form(nullptr, QStringList{});
    form.lvSCP()->setCurrentItem(form.lvSCP()->itemAtPosition(1));
    form.PopDeleteSCP_Click();
    ASSERT_EQ(op_.messages().size(), 1);
    EXPECT_TRUE(op_.messages()[0].startsWith("Error #")) << op_.messages()[0].toStdString();
    EXPECT_TRUE(op_.messages()[0].contains("destination locked"));
    EXPECT_EQ(op_.shownOf(ScriptedOperator::Kind::Message).at(0).icon, MsgIcon::Critical);
    EXPECT_EQ(form.lvSCP()->count(), 1);
    EXPECT_EQ(count(), 1);
    EXPECT_FALSE(configState().destinationsChanged);
    EXPECT_NE(errorLog().find("OptionForm PopDeleteSCP_Click"), std::string::npos);
}

TEST_F(DestinationsTest, TheRightClickEnablesTheRowCommandsOnlyOverAnEntry) {
    OptionForm form(nullptr, QStringList{});
    form.show();
    form.lvSCP_MouseUp(Qt::RightButton, QPoint(5, 200));
    const auto actions = form.PopupAddSCP()->actions();
    EXPECT_EQ(actions.size(), 5);
    int enabled = 0;
    for (QAction* a : actions)
        if (!a->isSeparator() && a->isEnabled()) ++enabled;
    EXPECT_EQ(enabled, 1);  // "Add New ..." alone
    form.PopupAddSCP()->hide();
}

}  // namespace
}  // namespace corva::station::test
