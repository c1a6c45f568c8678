// The options window over the real settings store: every control round trips, Cancel
// changes nothing, refused values keep the window open and save nothing, and the
// service controls start and stop the real Recvora and Ingrado.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTest>

#include "common/service_control.h"
#include "common/station_context.h"
#include "config/option_form.h"
#include "common/serial_lists.h"
#include "dose/serial_config.h"
#include "process/process.h"
#include "settings/receiver_access.h"
#include "settings/settings.h"
#include "settings/tls_settings.h"
#include "config_test.h"
#include "temp_dir.h"

namespace corva::station::test {
namespace {

using config::OptionForm;
using config::OptionsModel;

// Every stored value as the settings key holds it; "<missing>" when absent.
std::vector<std::string> storedValues() {
    std::vector<std::string> values;
    for (const auto& key : settings::settingKeys()) values.push_back(settings::ReadRegistryValue(key.path, "<missing>"));
    return values;
}

std::vector<std::string> memoryValues(const settings::Settings& s) {
    std::vector<std::string> values;
    for (const auto& key : settings::settingKeys()) values.push_back(key.textOf(s));
    return values;
}

class OptionsWindowTest : public ConfigTest {
protected:
    // One device besides Comm1..Comm8, as QSerialPortInfo would list it.
    std::unique_ptr<OptionForm> openForm() {
        return std::make_unique<OptionForm>(nullptr, QStringList{"/dev/ttyUSB7"});
    }
};

TEST_F(OptionsWindowTest, TheSerialListsAreTheOnesTheLinkIndexes) {
    EXPECT_EQ(station::speedList().size(), 14);
    EXPECT_EQ(station::speedList().at(11), "56000");
}

TEST_F(OptionsWindowTest, LoadShowsTheSettingsWithTheirNamesAndCaptions) {
    auto form = openForm();
    EXPECT_EQ(form->windowTitle(), "Options");
    ASSERT_EQ(form->tabs()->count(), 4);
    EXPECT_EQ(form->tabs()->tabText(0), "General");
    EXPECT_EQ(form->tabs()->tabText(1), "Communication");
    EXPECT_EQ(form->tabs()->tabText(2), "Filter");
    EXPECT_EQ(form->tabs()->tabText(3), "Comm Port");
    // Defaults: 4800, N, 8, 1, comNone on Comm1; Sophie; receiver "Lumenpost" on 105.
    EXPECT_EQ(form->Combo(1)->currentText(), "4800");
    EXPECT_EQ(form->Combo(2)->currentText(), "N");
    EXPECT_EQ(form->Combo(3)->currentText(), "8");
    EXPECT_EQ(form->Combo(4)->currentText(), "1");
    EXPECT_EQ(form->Combo(5)->currentText(), "comNone");
    EXPECT_TRUE(form->Option(1)->isChecked());
    EXPECT_EQ(form->Option(8)->text(), "Comm8");
    EXPECT_TRUE(form->optSophie()->isChecked());
    EXPECT_EQ(form->txtIR(0)->text(), "Lumenpost");
    EXPECT_EQ(form->txtIR(1)->text(), "105");
    EXPECT_EQ(form->txtRC(0)->text(), "7");
    EXPECT_EQ(form->txtRC(1)->text(), "3");
    EXPECT_EQ(form->Text1()->text(), "5");
    EXPECT_EQ(form->chkKeepImages()->text(), "Keep images in database after transfer");
    EXPECT_TRUE(form->chkKeepImages()->isChecked());
    EXPECT_FALSE(form->chkAutoValue()->isEnabled());  // chkWindow is cleared
    for (const char* name : {"chkDebug", "chkEditAndSend", "chkWindow", "txtWidth", "txtCenter", "txtRC_0", "txtRC_1",
                             "txtBackground", "txtMarker", "txtIR_0", "txtIR_1", "lvSCP", "txtStatus_0", "cmdStart_1",
                             "cmdStop_1", "chkStopSvr", "Combo1", "Option8", "Text1", "Text2", "optSophie", "optGiotto",
                             "cmdOK", "cmdCancel", "cboModality", "lvTags", "optDevice_0"})
        EXPECT_NE(form->findChild<QWidget*>(name), nullptr) << name;
}

TEST_F(OptionsWindowTest, EverySettingRoundTripsThroughTheWindow) {
    auto form = openForm();
    form->chkDebug()->setChecked(true);
    form->chkKeepImages()->setChecked(false);
    form->chkEditAndSend()->setChecked(true);
    form->chkWindow()->setChecked(true);
    form->chkAutoValue()->setChecked(false);
    ASSERT_TRUE(form->txtWidth()->isEnabled());
    form->txtWidth()->setText("4000");
    form->txtCenter()->setText("2048");
    form->txtRC(0)->setText("5");
    form->txtRC(1)->setText("4");
    op_.answerColour(QColor(255, 0, 0));
    form->pickColour(form->txtBackground());
    op_.answerColour(QColor(0, 0, 255));
    form->pickColour(form->txtMarker());
    form->txtIR(0)->setText("CORVA_RX");
    form->txtIR(1)->setText("11112");
    form->chkStopSvr()->setChecked(true);
    form->Combo(1)->setCurrentIndex(6);
    form->Combo(2)->setCurrentIndex(0);
    form->Combo(3)->setCurrentIndex(3);
    form->Combo(4)->setCurrentIndex(2);
    form->Combo(5)->setCurrentIndex(1);
    form->deviceOptions().at(0)->setChecked(true);
    form->Text1()->setText("12");
    form->Text2()->setText("7.9 s");
    form->optGiotto()->click();
    const OptionsModel typed = form->model();
    form->cmdOK()->click();
    EXPECT_EQ(form->result(), QDialog::Accepted);
    EXPECT_TRUE(op_.messages().isEmpty()) << op_.messages().join("|").toStdString();

    // Restart: the settings come from the key again.
    settings::current() = settings::Settings{};
    settings::LoadSettings(settings::current());
    const auto& s = settings::current();
    EXPECT_EQ(s.viewerRows, 5);
    EXPECT_EQ(s.viewerColumns, 4);
    EXPECT_EQ(s.imagesPerPage, 20);
    EXPECT_EQ(s.viewerBgColor, 0x0000FF);  // red in the lowest byte
    EXPECT_EQ(s.viewerFgColor, 0xFF0000);
    EXPECT_EQ(s.comSpeed, 6);
    EXPECT_EQ(s.comDevice, "/dev/ttyUSB7");
    EXPECT_EQ(s.comPort, 1);  // a device choice keeps the port number
    EXPECT_EQ(s.comTimeOutEnd, 7);
    EXPECT_EQ(s.xrayComm, 2);
    EXPECT_EQ(s.irAet, "CORVA_RX");
    auto reloaded = openForm();
    OptionsModel expected = typed;
    expected.timeOutEnd = "7";  // the whole-number part was taken
    EXPECT_TRUE(reloaded->model() == expected);
    EXPECT_TRUE(reloaded->deviceOptions().at(0)->isChecked());

    // Choosing a numbered port again clears the device.
    reloaded->Option(3)->setChecked(true);
    reloaded->cmdOK()->click();
    settings::current() = settings::Settings{};
    settings::LoadSettings(settings::current());
    EXPECT_EQ(settings::current().comPort, 3);
    EXPECT_EQ(settings::current().comDevice, "");
}

TEST_F(OptionsWindowTest, CancelKeepsTheRunningValuesAndSavesNothing) {
    const auto before = memoryValues(settings::current());
    const auto storedBefore = storedValues();
    auto form = openForm();
    form->txtRC(0)->setText("2");
    form->chkDebug()->setChecked(true);
    form->Combo(1)->setCurrentIndex(0);
    form->optGiotto()->click();  // the unit type changes at once
    form->cmdCancel()->click();
    EXPECT_EQ(form->result(), QDialog::Rejected);
    auto after = memoryValues(settings::current());
    EXPECT_EQ(settings::current().xrayComm, 2);
    settings::current().xrayComm = 1;
    EXPECT_EQ(memoryValues(settings::current()), before);
    EXPECT_EQ(storedValues(), storedBefore);
}

// Width and centre typed for "Overwrite Window Width / Center values".
void typedWindow(OptionForm& f, const char* width, const char* center) {
    f.chkWindow()->setChecked(true);
    f.chkAutoValue()->setChecked(false);
    f.txtWidth()->setText(width);
    f.txtCenter()->setText(center);
}

TEST_F(OptionsWindowTest, ValuesOutsideTheirRangeAreRefusedNamingTheField) {
    struct Case {
        const char* what;
        std::function<void(OptionForm&)> type;
        const char* field;
    };
    const std::vector<Case> cases{
        {"rows not a number", [](OptionForm& f) { f.txtRC(0)->setText("abc"); }, "Rows"},
        {"rows zero", [](OptionForm& f) { f.txtRC(0)->setText("0"); }, "Rows"},
        {"columns beyond 16 bits", [](OptionForm& f) { f.txtRC(1)->setText("40000"); }, "Columns"},
        {"grid beyond 16 bits", [](OptionForm& f) { f.txtRC(0)->setText("200"); f.txtRC(1)->setText("200"); }, "Rows / Columns"},
        {"fraction", [](OptionForm& f) { f.txtRC(1)->setText("2.5"); }, "Columns"},
        {"time out start", [](OptionForm& f) { f.Text1()->setText("70000"); }, "Duration of the time out beginning"},
        {"time out end negative", [](OptionForm& f) { f.Text2()->setText("-3"); }, "Duration of the end time out"},
        {"receiver port", [](OptionForm& f) { f.txtIR(1)->setText("70000"); }, "Port"},
        {"receiver port zero", [](OptionForm& f) { f.txtIR(1)->setText("0"); }, "Port"},
        {"AE title too long", [](OptionForm& f) { f.txtIR(0)->setText("ABCDEFGHIJKLMNOPQ"); }, "AET"},
        {"AE title backslash", [](OptionForm& f) { f.txtIR(0)->setText("A\\B"); }, "AET"},
        {"window width text", [](OptionForm& f) { typedWindow(f, "abc", "100"); }, "Width"},
        {"window width zero", [](OptionForm& f) { typedWindow(f, "0", "100"); }, "Width"},
        {"window width empty", [](OptionForm& f) { typedWindow(f, "", "100"); }, "Width"},
        {"window center text", [](OptionForm& f) { typedWindow(f, "400", "1x"); }, "Center"},
    };
    const auto before = memoryValues(settings::current());
    const auto storedBefore = storedValues();
    for (const auto& c : cases) {
        op_.clear();
        auto form = openForm();
        form->show();
        c.type(*form);
        form->chkDebug()->setChecked(true);
        const OptionsModel typed = form->model();
        form->cmdOK()->click();
        ASSERT_EQ(op_.messages().size(), 1) << c.what;
        EXPECT_TRUE(op_.messages().at(0).startsWith(c.field)) << c.what << ": " << op_.messages().at(0).toStdString();
        EXPECT_EQ(op_.shown().at(0).icon, MsgIcon::Exclamation);
        EXPECT_TRUE(form->isVisible()) << c.what;
        EXPECT_TRUE(form->model() == typed) << c.what;
        EXPECT_EQ(memoryValues(settings::current()), before) << c.what;
        EXPECT_EQ(storedValues(), storedBefore) << c.what;
    }
    // An empty receiver port is a choice (the receiver is not started), not an error.
    op_.clear();
    auto form = openForm();
    form->txtIR(1)->setText("");
    form->cmdOK()->click();
    EXPECT_TRUE(op_.messages().isEmpty());
    EXPECT_EQ(form->result(), QDialog::Accepted);
}

// Who may store at the receiver: by default everyone (an existing site keeps working),
// which the window says; entries are kept as the receiver reads them.
TEST_F(OptionsWindowTest, ReceiverAccessDefaultsToEveryoneAndRoundTrips) {
    using namespace settings;
    auto form = openForm();
    EXPECT_TRUE(form->txtAllowedAets()->text().isEmpty());
    EXPECT_TRUE(form->txtAllowedHosts()->text().isEmpty());
    EXPECT_TRUE(form->txtListenAddress()->text().isEmpty());
    EXPECT_EQ(form->txtAllowedAets()->placeholderText(), "every calling AE title");
    const auto* note = form->findChild<QLabel*>("lblReceiverAccess");
    ASSERT_NE(note, nullptr);
    EXPECT_TRUE(note->text().startsWith("Empty lists accept every calling AE title and every address")) << note->text().toStdString();

    form->txtAllowedAets()->setText(" READER1 ,CR READER,");
    form->txtAllowedHosts()->setText("10.1.2.3;192.168.7.0/24");
    form->txtListenAddress()->setText(" 10.1.2.50 ");
    form->cmdOK()->click();
    EXPECT_TRUE(op_.messages().isEmpty()) << (op_.messages().isEmpty() ? "" : op_.messages().at(0).toStdString());
    EXPECT_EQ(form->result(), QDialog::Accepted);
    EXPECT_EQ(ReadRegistryValue(ReceiverAllowedAeTitles, ""), "READER1, CR READER");
    EXPECT_EQ(ReadRegistryValue(ReceiverAllowedHosts, ""), "10.1.2.3, 192.168.7.0/24");
    EXPECT_EQ(ReadRegistryValue(ReceiverListenAddress, ""), "10.1.2.50");

    auto again = openForm();
    EXPECT_EQ(again->txtAllowedAets()->text(), "READER1, CR READER");
    EXPECT_EQ(again->txtAllowedHosts()->text(), "10.1.2.3, 192.168.7.0/24");
    EXPECT_EQ(again->txtListenAddress()->text(), "10.1.2.50");

    // Emptied again: everyone may store.
    again->txtAllowedAets()->clear();
    again->txtAllowedHosts()->clear();
    again->txtListenAddress()->clear();
    again->cmdOK()->click();
    EXPECT_EQ(ReadRegistryValue(ReceiverAllowedAeTitles, "<none>"), "<none>");
    EXPECT_EQ(ReadRegistryValue(ReceiverAllowedHosts, "<none>"), "<none>");
    EXPECT_EQ(ReadRegistryValue(ReceiverListenAddress, "<none>"), "<none>");
}

// The dose reports' unit name and the dose each unit type reports: entrance exposure by
// default, stored by OK and shown again.
TEST_F(OptionsWindowTest, DoseReportSettingsRoundTrip) {
    using namespace settings;
    auto form = openForm();
    auto* name = form->findChild<QLineEdit*>("txtDoseUnit");
    auto* sophie = form->findChild<QCheckBox*>("chkAgdSophie");
    auto* giotto = form->findChild<QCheckBox*>("chkAgdGiotto");
    ASSERT_TRUE(name && sophie && giotto);
    EXPECT_TRUE(name->text().isEmpty());
    EXPECT_FALSE(sophie->isChecked());
    EXPECT_FALSE(giotto->isChecked());

    name->setText(" Mammo Room 2 ");
    giotto->setChecked(true);
    form->cmdOK()->click();
    EXPECT_EQ(form->result(), QDialog::Accepted);
    EXPECT_EQ(ReadRegistryValue("Dose\\UnitName", ""), "Mammo Room 2");
    EXPECT_EQ(ReadRegistryValue("Dose\\Quantity_Sophie", ""), "0");
    EXPECT_EQ(ReadRegistryValue("Dose\\Quantity_Giotto", ""), "1");

    auto again = openForm();
    EXPECT_EQ(again->findChild<QLineEdit*>("txtDoseUnit")->text(), "Mammo Room 2");
    EXPECT_FALSE(again->findChild<QCheckBox*>("chkAgdSophie")->isChecked());
    EXPECT_TRUE(again->findChild<QCheckBox*>("chkAgdGiotto")->isChecked());
}

// An emptied receiver port (the site does not receive) is kept as empty, not the
// default port again.
TEST_F(OptionsWindowTest, AnEmptiedReceiverPortIsKept) {
    settings::LoadSettings(settings::current());
    auto form = openForm();
    EXPECT_EQ(form->txtIR(1)->text(), "105");
    form->txtIR(1)->clear();
    form->cmdOK()->click();
    EXPECT_TRUE(op_.messages().isEmpty());
    EXPECT_EQ(settings::current().irPort, "");
    settings::LoadSettings(settings::current());  // as at the next start
    EXPECT_EQ(settings::current().irPort, "");
    auto again = openForm();
    EXPECT_EQ(again->txtIR(1)->text(), "");
}

TEST_F(OptionsWindowTest, ReceiverAccessEntriesTheReceiverWouldRefuseAreRefusedNamingTheField) {
    using namespace settings;
    struct Case {
        const char* what;
        std::function<void(OptionForm&)> type;
        const char* field;
    };
    const std::vector<Case> cases{
        {"title with backslash", [](OptionForm& f) { f.txtAllowedAets()->setText("READER1, A\\B"); }, "Allowed calling AE titles"},
        {"title too long", [](OptionForm& f) { f.txtAllowedAets()->setText("ABCDEFGHIJKLMNOPQ"); }, "Allowed calling AE titles"},
        {"address out of range", [](OptionForm& f) { f.txtAllowedHosts()->setText("10.1.2.300"); }, "Allowed addresses"},
        {"host name", [](OptionForm& f) { f.txtAllowedHosts()->setText("reader.example"); }, "Allowed addresses"},
        {"range as listen address", [](OptionForm& f) { f.txtListenAddress()->setText("10.0.0.0/8"); }, "Listen address"},
    };
    for (const auto& c : cases) {
        op_.clear();
        auto form = openForm();
        form->show();
        c.type(*form);
        form->cmdOK()->click();
        ASSERT_EQ(op_.messages().size(), 1) << c.what;
        EXPECT_TRUE(op_.messages().at(0).startsWith(c.field)) << c.what << ": " << op_.messages().at(0).toStdString();
        EXPECT_TRUE(form->isVisible()) << c.what;
        for (const char* key : {ReceiverAllowedAeTitles, ReceiverAllowedHosts, ReceiverListenAddress})
            EXPECT_EQ(ReadRegistryValue(key, "<none>"), "<none>") << c.what;
    }
}

// The receiver's TLS port and files: empty by default (plain DICOM only), kept as typed,
// and values the receiver could not start with refused naming the field.
TEST_F(OptionsWindowTest, ReceiverTlsValuesRoundTripAndWhatCannotServeIsRefused) {
    using namespace settings;
    corva::test::TempDir dir("corva-tls-keys");
    const auto key = dir / "recvora.key";
    corva::test::writeFile(key, "not shown");
    std::filesystem::permissions(key, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    const auto openKey = dir / "open.key";
    corva::test::writeFile(openKey, "not shown");
    std::filesystem::permissions(openKey, std::filesystem::perms::owner_read | std::filesystem::perms::others_read);

    auto form = openForm();
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(form->txtTls(i)->text().isEmpty());
    EXPECT_EQ(form->txtTls(0)->placeholderText(), "no TLS port");
    struct Case {
        const char* what;
        QString port, certificate, key;
        const char* field;
    };
    const QString plainPort = form->txtIR(1)->text();
    const std::vector<Case> cases{
        {"the plain port", plainPort, "/etc/r.pem", QString::fromStdString(key.string()), "TLS port"},
        {"no key", "2762", "/etc/r.pem", "", "TLS port"},
        {"key open to every user", "2762", "/etc/r.pem", QString::fromStdString(openKey.string()), "TLS private key"},
    };
    for (const auto& c : cases) {
        op_.clear();
        auto f = openForm();
        f->show();
        f->txtTls(0)->setText(c.port);
        f->txtTls(1)->setText(c.certificate);
        f->txtTls(2)->setText(c.key);
        f->cmdOK()->click();
        ASSERT_EQ(op_.messages().size(), 1) << c.what;
        EXPECT_TRUE(op_.messages().at(0).startsWith(c.field)) << c.what << ": " << op_.messages().at(0).toStdString();
        EXPECT_FALSE(op_.messages().at(0).contains("not shown")) << c.what;
        EXPECT_EQ(ReadRegistryValue(ReceiverTlsPort, "<none>"), "<none>") << c.what;
    }

    op_.clear();
    form->txtTls(0)->setText("2762");
    form->txtTls(1)->setText("/etc/r.pem");
    form->txtTls(2)->setText(QString::fromStdString(key.string()));
    form->txtTls(3)->setText("/etc/ca.pem");
    form->cmdOK()->click();
    EXPECT_TRUE(op_.messages().isEmpty()) << (op_.messages().isEmpty() ? "" : op_.messages().at(0).toStdString());
    const ReceiverTls stored = readReceiverTls();
    EXPECT_EQ(stored.port, "2762");
    EXPECT_EQ(stored.certificateFile, "/etc/r.pem");
    EXPECT_EQ(stored.keyFile, key.string());
    EXPECT_EQ(stored.caFile, "/etc/ca.pem");
    auto again = openForm();
    EXPECT_EQ(again->txtTls(0)->text(), "2762");
    EXPECT_EQ(again->txtTls(3)->text(), "/etc/ca.pem");
}

TEST_F(OptionsWindowTest, EnterInATextBoxPressesOk) {
    auto form = openForm();
    form->show();
    form->txtRC(0)->setText("3");
    form->txtRC(1)->setText("4");
    for (QLineEdit* box : {form->txtIR(0), form->txtRC(0), form->txtWidth()}) {
        if (!box->isEnabled()) continue;
        box->setFocus();
        QTest::keyClick(box, Qt::Key_Return);
        EXPECT_EQ(form->txtRC(0)->text(), "3");
        EXPECT_EQ(form->txtRC(1)->text(), "4");
        EXPECT_EQ(form->result(), QDialog::Accepted) << box->objectName().toStdString();
        EXPECT_FALSE(form->isVisible());
        form->setResult(0);
        form->show();
    }
    EXPECT_EQ(settings::current().viewerRows, 3);
}

TEST_F(OptionsWindowTest, ControlsBehaveAsTheOperatorExpects) {
    settings::current().comSpeed = 5;
    settings::current().comPort = 9;
    settings::current().xrayComm = 3;
    auto form = openForm();
    for (int i = 1; i <= 8; ++i) EXPECT_FALSE(form->Option(i)->isChecked()) << i;
    EXPECT_FALSE(form->optSophie()->isChecked());
    EXPECT_FALSE(form->optGiotto()->isChecked());
    // Up at 10 stays 10, down at 1 stays 1.
    form->txtRC(0)->setText("10");
    form->upDown(0, true)->click();
    EXPECT_EQ(form->txtRC(0)->text(), "10");
    form->txtRC(1)->setText("1");
    form->upDown(1, false)->click();
    EXPECT_EQ(form->txtRC(1)->text(), "1");
    form->upDown(1, true)->click();
    EXPECT_EQ(form->txtRC(1)->text(), "2");
    // Only digits reach the port box; backspace works.
    form->txtIR(1)->clear();
    QTest::keyClicks(form->txtIR(1), "1a2");
    EXPECT_EQ(form->txtIR(1)->text(), "12");
    QTest::keyClick(form->txtIR(1), Qt::Key_Backspace);
    EXPECT_EQ(form->txtIR(1)->text(), "1");
    // The image handling rules.
    form->chkWindow()->setChecked(true);
    EXPECT_TRUE(form->chkAutoValue()->isEnabled());
    form->chkAutoValue()->setChecked(true);
    EXPECT_FALSE(form->txtWidth()->isEnabled());
    form->chkAutoValue()->setChecked(false);
    EXPECT_TRUE(form->txtCenter()->isEnabled());
    // A cancelled colour dialog keeps the colour.
    const auto colour = form->model().bgColor;
    op_.answerColour(std::nullopt);
    form->pickColour(form->txtBackground());
    EXPECT_EQ(form->model().bgColor, colour);
    // OK keeps the port number and the unit type nobody chose.
    form->txtRC(0)->setText("7");
    form->cmdOK()->click();
    EXPECT_EQ(settings::current().comPort, 9);
    EXPECT_EQ(settings::current().xrayComm, 3);
}

class ServiceWindowTest : public OptionsWindowTest {};

TEST_F(ServiceWindowTest, StartAndStopBothServicesFromTheWindow) {
    auto& g = stationContext();
    folder_->copyExecutable(ReceiverName);
    folder_->copyExecutable(IngestServiceName);
    auto form = openForm();
    form->tabs()->setCurrentIndex(1);
    const QString port = QString::number(corva::test::freePort());
    form->txtIR(0)->setText("CORVA_TEST");
    form->txtIR(1)->setText(port);
    for (int index : {0, 1}) {
        SCOPED_TRACE(index);
        form->cmdStart_Click(index);
        const int pid = index == 0 ? g.receiverPid : g.ingestPid;
        ASSERT_GT(pid, 0);
        EXPECT_EQ(form->txtStatus(index)->text(), "- started");
        EXPECT_TRUE(form->cmdStop(index)->isEnabled());
        EXPECT_FALSE(form->cmdStart(index)->isEnabled());
        form->cmdStop_Click(index);
        EXPECT_TRUE(waitFor([&] { return !ServiceControl::IsProcessAlive(pid); }));
        // Copies of the same programs in other folders (other test runs) do not count.
        EXPECT_EQ(form->txtStatus(index)->text(), "- stopped");
        EXPECT_TRUE(form->cmdStart(index)->isEnabled());
        EXPECT_FALSE(form->cmdStop(index)->isEnabled());
    }
    // Start wrote the receiver's title and port at once; memory changes only with OK.
    EXPECT_EQ(settings::ReadRegistryValue("Com\\IR_AET", ""), "CORVA_TEST");
    EXPECT_EQ(settings::ReadRegistryValue("Com\\IR_Port", ""), port.toStdString());
    EXPECT_EQ(settings::current().irAet, "Lumenpost");
}

// With units of systemd for this folder's programs the window shows the units' state and
// Start asks systemctl; its refusal (here: no running systemd answers) is told.
TEST_F(ServiceWindowTest, UnitsOfSystemdAreAskedAndTheirRefusalTold) {
    const corva::test::TempDir units("corva-units");
    const auto running = units.path() / "run-systemd";
    std::filesystem::create_directories(running);
    const std::pair<const char*, const char*> services[] = {{ReceiverName, "corvalight-recvora.service"},
                                                            {IngestServiceName, "corvalight-ingrado.service"}};
    for (const auto& [name, unit] : services)
        corva::test::writeFile(units.path() / unit,
                               "[Service]\nExecStart=" + folder_->copyExecutable(name).string() + "\n");
    auto& g = stationContext();
    g.units = process::UnitSearch{{units.path()}, running, "systemctl"};
    auto form = openForm();
    form->tabs()->setCurrentIndex(1);
    form->txtIR(1)->setText(QString::number(corva::test::freePort()));
    for (int index : {0, 1}) {
        SCOPED_TRACE(index);
        EXPECT_EQ(form->txtStatus(index)->text(), "- stopped (systemd)");
        EXPECT_TRUE(form->cmdStart(index)->isEnabled());
        op_.clear();
        form->cmdStart_Click(index);
        ASSERT_EQ(op_.messages().size(), 1);
        EXPECT_TRUE(op_.messages().at(0).startsWith(QString(services[index].first) + " was not started: "))
            << op_.messages().at(0).toStdString();
        EXPECT_EQ(form->txtStatus(index)->text(), "- stopped (systemd)");
    }
    EXPECT_EQ(g.receiverPid, 0);
    EXPECT_EQ(g.ingestPid, 0);
    EXPECT_EQ(ServiceControl::findServiceIn(folder_->path(), IngestServiceName), 0);
}

TEST_F(ServiceWindowTest, AnotherFoldersServiceIsNeitherShownNorStopped) {
    // The same program running for another installation on this machine.
    corva::test::ProgramFolder neighbour;
    const auto program = neighbour.copyExecutable(IngestServiceName);
    const int theirs = process::startDetached(program, {}, neighbour.path());
    ASSERT_GT(theirs, 0);
    ASSERT_TRUE(waitFor([&] { return ServiceControl::findServiceIn(neighbour.path(), IngestServiceName) != 0; }));
    folder_->copyExecutable(IngestServiceName);
    auto form = openForm();
    EXPECT_EQ(form->txtStatus(1)->text(), "- stopped");
    EXPECT_FALSE(form->cmdStop(1)->isEnabled());
    EXPECT_EQ(stationContext().ingestPid, 0);
    EXPECT_TRUE(ServiceControl::IsProcessAlive(theirs));
    process::stop(theirs);
}

}  // namespace
}  // namespace corva::station::test
