// The X-ray unit link against a socat pseudo-terminal pair: what the unit writes to one
// end ends as tblDosis rows and dose-list entries.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDate>
#include <QDialog>
#include <QFile>
#include <QFileDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProcess>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextDocument>
#include <QTreeWidget>

#include "dose/dose_capture.h"
#include "dose/serial_config.h"
#include "dose_test_support.h"
#include "station/scripted_operator.h"
#include "settings/settings.h"

using namespace corva::dose;
using corva::station::MsgResult;
using corva::station::OperatorSeamGuard;
using corva::station::ScriptedOperator;

namespace {

// Two connected pseudo-terminals: the station opens a, the "unit" writes to b.
class PtyPair {
public:
    explicit PtyPair(const std::filesystem::path& folder) : a_(folder / "a"), b_(folder / "b") {
        socat_.setProgram("socat");
        socat_.setArguments({"-d", "-d", QString("pty,raw,echo=0,link=%1").arg(QString::fromStdString(a_.string())),
                             QString("pty,raw,echo=0,link=%1").arg(QString::fromStdString(b_.string()))});
        start();
    }
    ~PtyPair() { stop(); }
    // The line goes away as an unplugged adapter does: the pseudo-terminals and their
    // links are gone until start().
    void stop() {
        unit_.close();
        if (socat_.state() == QProcess::NotRunning) return;
        socat_.terminate();
        if (!socat_.waitForFinished(10000)) socat_.kill();
        socat_.waitForFinished(5000);
        test::waitUntil([&] { return !std::filesystem::exists(a_) && !std::filesystem::exists(b_); }, 20000);
    }
    // New pseudo-terminals behind the same link paths.
    void start() {
        socat_.start();
        socat_.waitForStarted(10000);
        test::waitUntil([&] { return ready(); }, 20000);
    }
    bool ready() const { return std::filesystem::exists(a_) && std::filesystem::exists(b_); }
    QString station() const { return QString::fromStdString(a_.string()); }
    // Writes as the X-ray unit does.
    void send(const QByteArray& bytes) {
        if (!unit_.isOpen()) {
            unit_.setFileName(QString::fromStdString(b_.string()));
            ASSERT_TRUE(unit_.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        }
        ASSERT_EQ(unit_.write(bytes), bytes.size());
    }

private:
    std::filesystem::path a_, b_;
    QProcess socat_;
    QFile unit_;
};

class SerialLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ready()) << "socat did not create the pseudo-terminals";
        settings.comSpeed = 5;
        settings.comParity = 2;
        settings.comBitGet = 4;
        settings.comBitPut = 0;
        settings.comFlux = 0;
        settings.comPort = 1;
        settings.comDevice = pty.station().toStdString();
        settings.xrayComm = unit::Sophie;
    }

    int listRows() const { return window.lvDosis()->topLevelItemCount(); }

    test::DoseFolder folder;
    PtyPair pty{folder.path()};
    corva::settings::Settings settings;
    test::StubMainWindow window;
    ScriptedOperator script;
    OperatorSeamGuard guard{script};
};

const QByteArray SophieRecord =
    "Name:MUELLER 2004-05-17 10:23 L-LMO45 Mo/Mo AEC 2 28kV 63mAs 0.50s S 12kg 4.5cm 1.23mGy\r\n";
const QByteArray SchmidtRecord =
    "Name:SCHMIDT\r\n2026-12-09 08:01\r\nR-CC Mo/Rh AEC 1\r\n29kV 80mAs 1.2s N 11kg 5cm 2.04mGy\r\n";
const QByteArray Giotto280 = "\x02 10 280 63 1.25\x03";
const QByteArray Giotto300 = "\x02 10 300 45 2.10\x03";

QString openState(const QString& port) { return "X-ray unit: " + port + " open"; }

TEST_F(SerialLinkTest, SophieRecordsWholeAndInPieces) {
    DoseCapture capture(window.view(), settings, folder.path());
    capture.activate();
    ASSERT_TRUE(capture.link().isOpen()) << folder.errorLog();
    EXPECT_EQ(capture.link().portName(), pty.station());

    pty.send(SophieRecord);
    ASSERT_TRUE(test::waitUntil([&] { return folder.dosisRows().size() == 1 && listRows() == 1; }));

    // In pieces: nothing is taken before "mGy" has arrived.
    const QByteArray second =
        "Name:SCHMIDT\r\n2026-12-09 08:01\r\nR-CC Mo/Rh AEC 1\r\n29kV 80mAs 1.2s N 11kg 5cm 2.04mGy";
    const int cut = second.indexOf("2.04");
    pty.send(second.left(cut));
    ASSERT_TRUE(test::waitUntil([&] { return capture.link().buffer().size() == cut; }));
    EXPECT_EQ(folder.dosisRows().size(), 1u);
    EXPECT_TRUE(capture.link().isPolling());
    pty.send(second.mid(cut));
    ASSERT_TRUE(test::waitUntil([&] { return folder.dosisRows().size() == 2 && listRows() == 2; }));

    const auto rows = folder.dosisRows();
    EXPECT_EQ(rows[0].at("Datum"), "17.05.2004");
    EXPECT_EQ(rows[0].at("KVP"), "28");
    EXPECT_EQ(rows[0].at("ma"), "63");
    EXPECT_EQ(rows[0].at("expZeit"), "0,5");
    EXPECT_EQ(rows[0].at("Druck"), "120");
    EXPECT_EQ(rows[0].at("Dicke"), "45");
    EXPECT_EQ(rows[0].at("mGy"), "1.23mGy");
    EXPECT_EQ(rows[0].at("Sonstiges"), "Mo/Mo,AEC,2,L-LMO45,S");
    EXPECT_EQ(rows[0].at("Status"), "0");
    EXPECT_EQ(rows[1].at("Datum"), "09.12.2026");
    EXPECT_EQ(rows[1].at("Sonstiges"), "Mo/Rh,AEC,1,R-CC,N");
    EXPECT_EQ(rows[1].at("Dicke"), "50");

    // The dose list shows both, in the column order of the list.
    QTreeWidgetItem* first = window.lvDosis()->topLevelItem(0);
    EXPECT_EQ(first->text(1), "17.05.2004");
    EXPECT_EQ(first->text(3), "28");
    EXPECT_EQ(first->text(5), "45");
    EXPECT_EQ(first->text(6), "120");
    EXPECT_EQ(first->text(8), "Mo/Mo,AEC,2,L-LMO45,S");
    EXPECT_EQ(first->text(10), "0,5");

    // The hand-over: the record went through cInput.txt to done.txt.
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "cInput.txt"));
    EXPECT_EQ(corva::test::readFile(folder.path() / "done.txt"), std::string(second.constData()) + "\r\n");
    EXPECT_TRUE(capture.link().isPolling());
    EXPECT_TRUE(folder.errorLog().empty()) << folder.errorLog();
}

// A dose line without its "Name:" is no record: logged with its text (it never reaches
// the hand-over files), shown as a note, and the poll goes on by itself.
TEST_F(SerialLinkTest, SophieRecordWithoutNameIsLoggedAndThePollGoesOn) {
    DoseCapture capture(window.view(), settings, folder.path());
    capture.activate();
    pty.send("garbled 28kV 1.2mGy");
    ASSERT_TRUE(test::waitUntil([&] { return folder.errorCount("MainForm dbFill") == 1; }));
    EXPECT_NE(folder.errorLog().find("garbled 28kV 1.2mGy"), std::string::npos) << folder.errorLog();
    EXPECT_TRUE(folder.dosisRows().empty());
    EXPECT_TRUE(capture.link().isPolling());
    EXPECT_TRUE(capture.link().buffer().isEmpty());
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "done.txt"));
    EXPECT_EQ(capture.linkState(), openState(pty.station()) + "; record not understood (see error log)");
    pty.send(SophieRecord);
    ASSERT_TRUE(test::waitUntil([&] { return folder.dosisRows().size() == 1; }));
    EXPECT_EQ(capture.linkState(), openState(pty.station()));
}

// Records that cannot be used cost only themselves: a record that fails to parse, a
// dose line without its start and a record cut off by the next one are each logged and
// dropped; every good record around them is stored, in order, whatever the reads join.
TEST_F(SerialLinkTest, BadRecordsAreDroppedAndTheGoodOnesAroundThemStored) {
    DoseCapture capture(window.view(), settings, folder.path());
    QStringList states;
    QObject::connect(&capture, &DoseCapture::stateChanged, [&](const QString& text) { states << text; });
    capture.startLink();
    ASSERT_TRUE(capture.link().isOpen()) << folder.errorLog();

    const QByteArray unparsable = "Name:M 17.05.2004 10:23 L-CC a b c 28kV 63mAs 0.50s S 12kg 4.5cm 1.23mGy\r\n";
    pty.send(unparsable + SophieRecord + "garbled 28kV 1.2mGy\r\n" + SchmidtRecord);
    ASSERT_TRUE(test::waitUntil([&] { return folder.dosisRows().size() == 2 && listRows() == 2; }));
    EXPECT_EQ(folder.errorCount("MainForm dbFill"), 2) << folder.errorLog();
    EXPECT_EQ(capture.linkState(), openState(pty.station()) + "; record not understood (see error log)");

    // A record cut off by the next one, then a record with LF-only line ends.
    pty.send("Name:KRAUSE 2004-05-17 10:23 L-CC\r\n");
    ASSERT_TRUE(test::waitUntil([&] { return capture.link().buffer().startsWith("Name:KRAUSE"); }));
    pty.send("Name:VON DER HEIDE\n2004-05-17 10:23\nL-CC a b c 26kV 40mAs 1.0s S 12.5kg 4cm 0.9mGy\n");
    ASSERT_TRUE(test::waitUntil([&] { return folder.dosisRows().size() == 3; }));
    EXPECT_EQ(folder.errorCount("MainForm dbFill"), 3) << folder.errorLog();
    EXPECT_NE(folder.errorLog().find("Name:KRAUSE"), std::string::npos);
    EXPECT_TRUE(capture.link().isPolling());

    const auto rows = folder.dosisRows();
    EXPECT_EQ(rows[0].at("KVP"), "28");
    EXPECT_EQ(rows[1].at("KVP"), "29");
    EXPECT_EQ(rows[2].at("KVP"), "26");
    EXPECT_EQ(rows[2].at("Druck"), "125");
    EXPECT_EQ(rows[2].at("Sonstiges"), "a,b,c,L-CC,S");
    // The good records of the last read went through the hand-over files.
    EXPECT_EQ(corva::test::readFile(folder.path() / "done.txt"),
              "Name:VON DER HEIDE\n2004-05-17 10:23\nL-CC a b c 26kV 40mAs 1.0s S 12.5kg 4cm 0.9mGy\r\n");

    // A read with only good records clears the note.
    pty.send(SophieRecord);
    ASSERT_TRUE(test::waitUntil([&] { return folder.dosisRows().size() == 4; }));
    EXPECT_EQ(capture.linkState(), openState(pty.station()));
    EXPECT_EQ(states, (QStringList{openState(pty.station()),
                                   openState(pty.station()) + "; record not understood (see error log)",
                                   openState(pty.station())}));
}

TEST_F(SerialLinkTest, TwoRecordsInOneWriteAreTwoRows) {
    DoseCapture capture(window.view(), settings, folder.path());
    capture.startLink();
    pty.send(SchmidtRecord + SophieRecord);
    ASSERT_TRUE(test::waitUntil([&] { return folder.dosisRows().size() == 2 && listRows() == 2; }));
    const auto rows = folder.dosisRows();
    EXPECT_EQ(rows[0].at("Sonstiges"), "Mo/Rh,AEC,1,R-CC,N");
    EXPECT_EQ(rows[1].at("Sonstiges"), "Mo/Mo,AEC,2,L-LMO45,S");
    // Both were handed over together: done.txt holds them one a line.
    EXPECT_EQ(corva::test::readFile(folder.path() / "done.txt"), std::string(SchmidtRecord.constData()) +
                                                                      std::string(SophieRecord.constData()));
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "cInput.txt"));
    EXPECT_TRUE(folder.errorLog().empty()) << folder.errorLog();
}

// The line goes away (an unplugged USB adapter) and comes back: the link notices, says
// so, opens the port again by itself and stores what the unit sends next.
TEST_F(SerialLinkTest, PortThatDisappearsAndReturnsIsOpenedAgain) {
    DoseCapture capture(window.view(), settings, folder.path());
    QStringList states;
    QObject::connect(&capture, &DoseCapture::stateChanged, [&](const QString& text) { states << text; });
    capture.startLink();
    ASSERT_TRUE(capture.link().isOpen()) << folder.errorLog();
    EXPECT_EQ(capture.linkState(), openState(pty.station()));
    pty.send(SophieRecord);
    ASSERT_TRUE(test::waitUntil([&] { return folder.dosisRows().size() == 1; }));

    pty.stop();
    ASSERT_TRUE(test::waitUntil([&] { return !capture.link().isOpen(); })) << folder.errorLog();
    ASSERT_TRUE(test::waitUntil([&] { return capture.linkState().endsWith(" not found"); }))
        << capture.linkState().toStdString();
    EXPECT_TRUE(states.contains("X-ray unit: " + pty.station() + " lost, trying again")) << states.join(" | ").toStdString();

    pty.start();
    ASSERT_TRUE(pty.ready());
    ASSERT_TRUE(test::waitUntil([&] { return capture.link().isOpen(); })) << folder.errorLog();
    EXPECT_EQ(capture.linkState(), openState(pty.station()));
    pty.send(SchmidtRecord);
    ASSERT_TRUE(test::waitUntil([&] { return folder.dosisRows().size() == 2 && listRows() == 2; }));
    EXPECT_EQ(folder.dosisRows()[1].at("KVP"), "29");
    // Logged once each, not at every attempt.
    EXPECT_EQ(folder.errorCount("SerTimer_Timer"), 1) << folder.errorLog();
    EXPECT_EQ(folder.errorCount("Initialise_cPort"), 1) << folder.errorLog();
}

// The port opens at start without the window ever being active; while its device is
// missing the link says so and opens it by itself once it appears.
TEST_F(SerialLinkTest, MissingPortOpensByItselfWhenItAppears) {
    const auto missing = folder.path() / "later";
    settings.comDevice = missing.string();
    DoseCapture capture(window.view(), settings, folder.path());
    EXPECT_EQ(capture.linkState(), "X-ray unit: not connected");
    capture.startLink();
    EXPECT_FALSE(capture.link().isOpen());
    EXPECT_TRUE(capture.link().isPolling());
    EXPECT_EQ(capture.linkState(), "X-ray unit: " + QString::fromStdString(missing.string()) + " not found");

    std::filesystem::create_symlink(pty.station().toStdString(), missing);
    ASSERT_TRUE(test::waitUntil([&] { return capture.link().isOpen(); })) << folder.errorLog();
    EXPECT_EQ(capture.linkState(), openState(QString::fromStdString(missing.string())));
    EXPECT_EQ(folder.errorCount("Initialise_cPort"), 1) << folder.errorLog();
    pty.send(SophieRecord);
    ASSERT_TRUE(test::waitUntil([&] { return folder.dosisRows().size() == 1; }));

    // A port number outside the list with no device: nothing to open, and said so.
    settings.comDevice.clear();
    settings.comPort = 0;
    test::DoseFolder other;
    DoseCapture unset(window.view(), settings, other.path());
    unset.startLink();
    EXPECT_EQ(unset.linkState(), "X-ray unit: no serial port set");
    EXPECT_FALSE(unset.link().isOpen());
}

TEST_F(SerialLinkTest, GiottoRecordsWholeAndInPieces) {
    settings.xrayComm = unit::Giotto;
    DoseCapture capture(window.view(), settings, folder.path());
    window.findChild<QPushButton*>("cmdProjection_0")->setText("L-CC");
    window.findChild<QPushButton*>("cmdProjection_3")->setText("R-LMO45");
    capture.activate();

    window.findChild<QPushButton*>("cmdProjection_0")->click();
    EXPECT_EQ(window.text3(5)->text(), "L-CC");
    pty.send("\x02 10 280 63 1.25\x03");
    ASSERT_TRUE(test::waitUntil([&] { return folder.dosisRows().size() == 1 && listRows() == 1; }));
    EXPECT_TRUE(window.text3(5)->text().isEmpty());  // the next exposure needs a projection again

    // In pieces; the end-of-text ends the record even with more bytes behind it in the
    // same read, and those wait as the start of what follows.
    window.findChild<QPushButton*>("cmdProjection_3")->click();
    pty.send("\x02 10 3500 8");
    ASSERT_TRUE(test::waitUntil([&] { return capture.link().buffer().endsWith("3500 8"); }));
    EXPECT_EQ(folder.dosisRows().size(), 1u);
    pty.send("0 1.5\x03junk");
    ASSERT_TRUE(test::waitUntil([&] { return folder.dosisRows().size() == 2 && listRows() == 2; }));
    EXPECT_EQ(capture.link().buffer(), "junk");
    // An end-of-text without its start stores nothing and asks for no projection.
    pty.send(" 2.0\x03");
    ASSERT_TRUE(test::waitUntil([&] { return folder.errorCount("MainForm dbFill") == 1; }));
    EXPECT_EQ(folder.dosisRows().size(), 2u);

    const auto rows = folder.dosisRows();
    const QString today = QDate::currentDate().toString("dd.MM.yyyy");
    EXPECT_EQ(rows[0].at("Datum"), today.toStdString());
    EXPECT_EQ(rows[0].at("KVP"), "28");
    EXPECT_EQ(rows[0].at("ma"), " 63 ");
    EXPECT_EQ(rows[0].at("mGy"), "1.25\x03\r\n");
    EXPECT_EQ(rows[0].at("Sonstiges"), "L-CC");
    EXPECT_EQ(rows[0].at("Dicke"), test::Null);
    EXPECT_EQ(rows[0].at("Druck"), test::Null);
    EXPECT_EQ(rows[0].at("expZeit"), test::Null);
    EXPECT_EQ(rows[1].at("KVP"), "35");
    EXPECT_EQ(rows[1].at("mGy"), "1.5\x03\r\n");
    EXPECT_EQ(rows[1].at("Sonstiges"), "R-LMO45");
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "cInput.txt"));
    EXPECT_TRUE(script.messages().isEmpty());
}

// Every Giotto exposure needs its own projection click. A record without one waits (the
// message once, however often the link polls) and is stored with the projection of the
// click that follows; the record after it waits again. Selecting a dose record fills
// the projection field but is no click.
TEST_F(SerialLinkTest, GiottoRecordWithoutProjectionWaitsForAButton) {
    settings.xrayComm = unit::Giotto;
    DoseCapture capture(window.view(), settings, folder.path());
    window.findChild<QPushButton*>("cmdProjection_1")->setText("R-CC");
    window.findChild<QPushButton*>("cmdProjection_2")->setText("L-MLO");
    capture.startLink();
    script.answer(MsgResult::OK);

    pty.send(Giotto300);
    ASSERT_TRUE(test::waitUntil([&] { return script.messages().size() == 1; }));
    EXPECT_EQ(script.messages().at(0), "Please click on a Projection button first!");
    EXPECT_TRUE(folder.dosisRows().empty());
    EXPECT_TRUE(capture.link().isPolling());
    EXPECT_EQ(capture.link().waitingRecordCount(), 1);
    EXPECT_EQ(capture.linkState(), openState(pty.station()) + "; record waits for a projection button");
    pty.send("noise");
    ASSERT_TRUE(test::waitUntil([&] { return capture.link().buffer().endsWith("noise"); }));
    EXPECT_EQ(script.messages().size(), 1);

    window.findChild<QPushButton*>("cmdProjection_1")->click();
    ASSERT_EQ(folder.dosisRows().size(), 1u);
    EXPECT_EQ(folder.dosisRows()[0].at("Sonstiges"), "R-CC");
    EXPECT_EQ(folder.dosisRows()[0].at("KVP"), "30");
    EXPECT_EQ(listRows(), 1);
    EXPECT_EQ(capture.link().waitingRecordCount(), 0);
    EXPECT_TRUE(window.text3(5)->text().isEmpty());
    EXPECT_TRUE(capture.currentProjection().isEmpty());
    EXPECT_EQ(capture.linkState(), openState(pty.station()));

    // The selected record's projection in Text3(5) is not taken for the next exposure.
    ASSERT_TRUE(capture.selectDoseRecord(0));
    EXPECT_EQ(window.text3(5)->text(), "R-CC");
    script.answer(MsgResult::OK);
    pty.send(Giotto280);
    ASSERT_TRUE(test::waitUntil([&] { return script.messages().size() == 2; }));
    EXPECT_EQ(folder.dosisRows().size(), 1u);
    window.findChild<QPushButton*>("cmdProjection_2")->click();
    ASSERT_EQ(folder.dosisRows().size(), 2u);
    EXPECT_EQ(folder.dosisRows()[1].at("Sonstiges"), "L-MLO");
    EXPECT_EQ(folder.dosisRows()[1].at("KVP"), "28");

    // A click while nothing waits is kept for the next record.
    window.findChild<QPushButton*>("cmdProjection_1")->click();
    EXPECT_EQ(window.text3(5)->text(), "R-CC");
    EXPECT_EQ(folder.dosisRows().size(), 2u);
    pty.send(Giotto300);
    ASSERT_TRUE(test::waitUntil([&] { return folder.dosisRows().size() == 3; }));
    EXPECT_EQ(folder.dosisRows()[2].at("Sonstiges"), "R-CC");
    EXPECT_EQ(script.messages().size(), 2);
    EXPECT_TRUE(script.unexpected().empty());
}

// Two Giotto records in one read, a noise byte between them, stay two records; each
// takes its own click.
TEST_F(SerialLinkTest, GiottoRecordsInOneReadEachTakeTheirOwnClick) {
    settings.xrayComm = unit::Giotto;
    DoseCapture capture(window.view(), settings, folder.path());
    window.findChild<QPushButton*>("cmdProjection_0")->setText("L-CC");
    window.findChild<QPushButton*>("cmdProjection_1")->setText("R-CC");
    capture.startLink();
    window.findChild<QPushButton*>("cmdProjection_0")->click();
    script.answer(MsgResult::OK);
    pty.send("x 10 9" + Giotto280 + "x" + Giotto300);
    ASSERT_TRUE(test::waitUntil([&] { return script.messages().size() == 1; }));
    ASSERT_EQ(folder.dosisRows().size(), 1u);
    EXPECT_EQ(capture.link().waitingRecordCount(), 1);
    window.findChild<QPushButton*>("cmdProjection_1")->click();
    const auto rows = folder.dosisRows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].at("KVP"), "28");
    EXPECT_EQ(rows[0].at("mGy"), "1.25\x03\r\n");
    EXPECT_EQ(rows[0].at("Sonstiges"), "L-CC");
    EXPECT_EQ(rows[1].at("KVP"), "30");
    EXPECT_EQ(rows[1].at("mGy"), "2.10\x03\r\n");
    EXPECT_EQ(rows[1].at("Sonstiges"), "R-CC");
    EXPECT_TRUE(folder.errorLog().empty()) << folder.errorLog();
    EXPECT_TRUE(script.unexpected().empty());
}

// The window becomes active again after a message box (as after the projection message),
// another program or another window of the program: nothing received is lost. After
// another window of the program (the options window, for example) the settings are read
// again, and only changed ones reopen the port.
TEST_F(SerialLinkTest, ActivationAfterAMessageBoxKeepsTheWaitingRecord) {
    settings.xrayComm = unit::Giotto;
    DoseCapture capture(window.view(), settings, folder.path());
    window.findChild<QPushButton*>("cmdProjection_1")->setText("R-CC");
    window.show();
    ASSERT_TRUE(test::waitUntil([&] { return window.isActiveWindow() && capture.link().isOpen(); }))
        << folder.errorLog();
    const auto returnFrom = [&](QWidget& other) {
        other.show();
        other.activateWindow();
        ASSERT_TRUE(test::waitUntil([&] { return other.isActiveWindow(); }));
        other.hide();
        window.activateWindow();
        ASSERT_TRUE(test::waitUntil([&] { return window.isActiveWindow(); }));
        QCoreApplication::processEvents();
    };

    script.answer(MsgResult::OK);
    pty.send("\x02 10 300 45 2.10\x03");
    ASSERT_TRUE(test::waitUntil([&] { return script.messages().size() == 1; }));
    QMessageBox box(QMessageBox::Information, "Corvalight", "Please click on a Projection button first!",
                    QMessageBox::Ok, &window);
    returnFrom(box);
    EXPECT_EQ(capture.link().waitingRecordCount(), 1);
    EXPECT_TRUE(capture.link().isPolling());
    window.findChild<QPushButton*>("cmdProjection_1")->click();
    ASSERT_EQ(folder.dosisRows().size(), 1u);
    EXPECT_EQ(folder.dosisRows()[0].at("KVP"), "30");
    EXPECT_TRUE(capture.link().isPolling());

    // Another window of the program with the settings unchanged: the partial record stays.
    pty.send("\x02 10 28");
    ASSERT_TRUE(test::waitUntil([&] { return capture.link().buffer().endsWith("28"); }));
    QDialog options(&window);
    returnFrom(options);
    EXPECT_EQ(capture.link().buffer(), "\x02 10 28");
    EXPECT_TRUE(capture.link().isPolling());
    EXPECT_TRUE(capture.link().isOpen());
    window.findChild<QPushButton*>("cmdProjection_1")->click();
    pty.send("0 63 1.25\x03");
    ASSERT_TRUE(test::waitUntil([&] { return folder.dosisRows().size() == 2; }));
    EXPECT_EQ(folder.dosisRows()[1].at("KVP"), "28");

    // Changed settings: the port is opened again with them; a partial record of the old
    // line is dropped.
    pty.send("\x02 10 3");
    ASSERT_TRUE(test::waitUntil([&] { return capture.link().buffer().endsWith("3"); }));
    settings.comSpeed = 6;  // 9600
    returnFrom(options);
    EXPECT_EQ(capture.link().lineSettings().baud, 9600);
    EXPECT_TRUE(capture.link().isOpen());
    EXPECT_TRUE(capture.link().buffer().isEmpty());
    EXPECT_EQ(capture.link().waitingRecordCount(), 0);
    window.hide();
}

// "Fill": a record placed in cInput.txt by hand is taken over and stored; with nothing
// waiting the poll restarts and the list is reloaded; a Giotto unit asks for a projection
// and its record waits for the click.
TEST(FillCommand, HandPlacedRecordNothingWaitingAndGiotto) {
    test::DoseFolder folder;
    test::StubMainWindow window;
    ScriptedOperator script;
    OperatorSeamGuard guard{script};
    corva::settings::Settings settings;
    settings.xrayComm = unit::Sophie;
    DoseCapture capture(window.view(), settings, folder.path());

    folder.exec("INSERT INTO tblDosis (KVP, Status) VALUES ('27', '0')");
    capture.fill();
    EXPECT_EQ(window.lvDosis()->topLevelItemCount(), 1);
    EXPECT_TRUE(capture.link().isPolling());
    EXPECT_EQ(folder.dosisRows().size(), 1u);
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "done.txt"));

    corva::test::writeFile(folder.path() / "cInput.txt", std::string(SophieRecord.constData()));
    capture.fill();
    ASSERT_EQ(folder.dosisRows().size(), 2u);
    EXPECT_EQ(folder.dosisRows()[1].at("Sonstiges"), "Mo/Mo,AEC,2,L-LMO45,S");
    EXPECT_EQ(window.lvDosis()->topLevelItemCount(), 2);
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "cInput.txt"));
    EXPECT_EQ(corva::test::readFile(folder.path() / "done.txt"), std::string(SophieRecord.constData()));

    settings.xrayComm = unit::Giotto;
    script.answer(MsgResult::OK);
    capture.fill();
    ASSERT_EQ(script.messages().size(), 1);
    EXPECT_EQ(script.messages().at(0), "Please click on a Projection button first!");
    EXPECT_EQ(folder.dosisRows().size(), 2u);
    EXPECT_TRUE(folder.errorLog().empty()) << folder.errorLog();

    // A hand-placed Giotto record waits for its click like a received one.
    corva::test::writeFile(folder.path() / "cInput.txt", std::string(Giotto280.constData()) + "\r\n");
    script.answer(MsgResult::OK);
    capture.fill();
    ASSERT_EQ(script.messages().size(), 2);
    EXPECT_EQ(capture.link().waitingRecordCount(), 1);
    auto* button = window.findChild<QPushButton*>("cmdProjection_0");
    button->setText("L-CC");
    button->click();
    ASSERT_EQ(folder.dosisRows().size(), 3u);
    EXPECT_EQ(folder.dosisRows()[2].at("Sonstiges"), "L-CC");
    EXPECT_EQ(folder.dosisRows()[2].at("mGy"), "1.25\x03\r\n");
    EXPECT_TRUE(script.unexpected().empty());
}

TEST(LinkActivation, ReturnFromWhichWindowsInitialisesTheLink) {
    test::app();
    QWidget form;
    QDialog dialog;
    QMessageBox box;
    QInputDialog input;
    QFileDialog files;
    EXPECT_TRUE(reinitialisesOnReturn(&form));
    EXPECT_TRUE(reinitialisesOnReturn(&dialog));
    EXPECT_FALSE(reinitialisesOnReturn(&box));
    EXPECT_FALSE(reinitialisesOnReturn(&input));
    EXPECT_FALSE(reinitialisesOnReturn(&files));
    EXPECT_FALSE(reinitialisesOnReturn(nullptr));  // another program
}

// A hand-over file that cannot be written loses no record: the parse takes it from the input.
TEST_F(SerialLinkTest, UnwritableHandOverFileStillStoresTheRecord) {
    std::filesystem::create_directory(folder.path() / "cInput.txt");
    DoseCapture capture(window.view(), settings, folder.path());
    capture.activate();
    pty.send(SophieRecord);
    ASSERT_TRUE(test::waitUntil([&] { return folder.dosisRows().size() == 1 && listRows() == 1; }));
    EXPECT_EQ(folder.errorCount("SerTimer_Timer"), 1);
    EXPECT_EQ(folder.dosisRows()[0].at("KVP"), "28");
    EXPECT_TRUE(capture.link().isPolling());
}

TEST_F(SerialLinkTest, AnotherUnitTypeNeverCompletesARecord) {
    settings.xrayComm = 3;
    DoseCapture capture(window.view(), settings, folder.path());
    capture.activate();
    pty.send(SophieRecord);
    pty.send("\x02 10 280 63 1.25\x03");
    ASSERT_TRUE(test::waitUntil([&] { return capture.link().buffer().endsWith(QChar(3)); }));
    EXPECT_TRUE(capture.link().buffer().startsWith("Name:MUELLER"));
    EXPECT_TRUE(capture.link().isPolling());
    EXPECT_TRUE(folder.dosisRows().empty());
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "cInput.txt"));
}

// Input that never completes a record: each read only adds what arrived to the raw
// input box (no redraw of everything received so far), and the buffer stays bounded,
// the oldest text going first, logged once. A record that follows is still taken.
TEST_F(SerialLinkTest, InputWithoutARecordIsAppendedAndBounded) {
    DoseCapture capture(window.view(), settings, folder.path());
    capture.activate();
    ASSERT_TRUE(capture.link().isOpen()) << folder.errorLog();
    auto* box = window.findChild<QPlainTextEdit*>("txtcInput");
    ASSERT_NE(box, nullptr);
    int appends = 0, replacements = 0;
    QObject::connect(box->document(), &QTextDocument::contentsChange, box, [&](int position, int removed, int added) {
        if (removed == 0 && added > 0 && position + added == box->document()->characterCount() - 1)
            ++appends;
        else if (removed > 0)
            ++replacements;
    });
    const QByteArray noise(1000, 'x');
    const int chunks = 80;  // 80 KB, more than the buffer keeps
    for (int i = 0; i < chunks; ++i) {
        const QByteArray piece = noise + " #" + QByteArray::number(i) + "\r\n";
        pty.send(piece);
        ASSERT_TRUE(test::waitUntil([&] { return capture.link().buffer().endsWith(QString::fromLatin1(piece)); }))
            << "chunk " << i;
    }
    const QString& buffer = capture.link().buffer();
    EXPECT_LE(buffer.size(), DoseLink::MaxBufferChars);
    EXPECT_GE(buffer.size(), DoseLink::MaxBufferChars / 2);  // the newest text stays
    EXPECT_TRUE(buffer.endsWith(QString(" #%1\r\n").arg(chunks - 1)));
    const auto bare = [](QString text) {
        return text.remove('\r').remove('\n').remove(QChar::ParagraphSeparator).remove(QChar::LineSeparator);
    };
    EXPECT_EQ(bare(box->toPlainText()), bare(buffer));  // the box shows what the buffer holds
    EXPECT_GE(appends, chunks - 5);
    EXPECT_LE(replacements, 3);  // only the cuts of the oldest text redraw the whole box
    EXPECT_EQ(folder.errorCount("SerTimer_Timer"), 1) << folder.errorLog();
    EXPECT_TRUE(capture.link().isPolling());

    pty.send(SophieRecord);
    ASSERT_TRUE(test::waitUntil([&] { return folder.dosisRows().size() == 1 && listRows() == 1; }));
    EXPECT_EQ(folder.dosisRows()[0].at("KVP"), "28");
}

TEST_F(SerialLinkTest, DebugModeShowsRawInputAndTokens) {
    settings.debug = 1;
    DoseCapture capture(window.view(), settings, folder.path());
    window.show();
    // Let the window's own activation pass, so that it cannot drop the input below.
    test::waitUntil([&] { return window.isActiveWindow(); }, 2000);
    QCoreApplication::processEvents();
    capture.activate();
    EXPECT_TRUE(window.findChild<QWidget*>("txtcInput")->isVisible());
    EXPECT_TRUE(window.findChild<QWidget*>("List1")->isVisible());
    EXPECT_FALSE(window.lvDosis()->isVisible());
    pty.send("Name:X 2004-05-17 10:23 L-CC a b c 28kV");
    ASSERT_TRUE(test::waitUntil([&] { return window.text("txtcInput").endsWith("28kV"); }));
    // A record that fails to parse leaves its tokens in List1.
    pty.send(" 63mAs 0.5s S 12kg bad 1mGy");
    auto* list1 = window.findChild<QListWidget*>("List1");
    ASSERT_TRUE(test::waitUntil([&] { return list1->count() == 14; }));
    EXPECT_EQ(list1->item(0)->text(), "Name:X");
    EXPECT_EQ(list1->item(12)->text(), "bad");
    EXPECT_EQ(folder.errorCount("MainForm dbFill"), 1);
    pty.send("Name:X 2004-05-17 10:23 L-CC a b c 28kV");
    ASSERT_TRUE(test::waitUntil([&] { return window.text("txtcInput").endsWith("28kV"); }));

    settings.debug = 0;
    capture.activate();
    EXPECT_FALSE(window.findChild<QWidget*>("txtcInput")->isVisible());
    EXPECT_TRUE(window.lvDosis()->isVisible());
    EXPECT_TRUE(window.text("txtcInput").endsWith("28kV"));  // activation keeps a partial record
    EXPECT_TRUE(capture.link().buffer().endsWith("28kV"));
}

TEST_F(SerialLinkTest, PortThatCannotOpenIsLoggedAndReopenedLater) {
    const auto missing = folder.path() / "later";
    settings.comDevice = missing.string();
    DoseCapture capture(window.view(), settings, folder.path());
    capture.activate();
    EXPECT_FALSE(capture.link().isOpen());
    EXPECT_TRUE(capture.link().isPolling());
    EXPECT_EQ(folder.errorCount("Initialise_cPort"), 1);

    // The device comes back: the next activation opens it.
    std::filesystem::create_symlink(pty.station().toStdString(), missing);
    capture.activate();
    ASSERT_TRUE(capture.link().isOpen());
    pty.send(SophieRecord);
    ASSERT_TRUE(test::waitUntil([&] { return folder.dosisRows().size() == 1; }));
}

TEST_F(SerialLinkTest, SettingsOutsideTheirListsKeepThePreviousOnes) {
    settings.comSpeed = 6;  // 9600
    DoseCapture capture(window.view(), settings, folder.path());
    capture.activate();
    EXPECT_EQ(capture.link().lineSettings().baud, 9600);
    settings.comSpeed = 14;
    settings.comFlux = 4;
    capture.activate();
    EXPECT_EQ(capture.link().lineSettings().baud, 9600);
    EXPECT_EQ(capture.link().flow(), QSerialPort::NoFlowControl);
    EXPECT_EQ(folder.errorCount("Initialise_cPort"), 2);
    EXPECT_TRUE(capture.link().isOpen());
}

TEST(SerialConfig, ValueListsAndDevices) {
    EXPECT_EQ(settingsText(5, 2, 4, 0), "4800,N,8,1");
    EXPECT_EQ(settingsText(13, 4, 0, 2), "256000,S,4,2");
    EXPECT_EQ(settingsText(14, 2, 4, 0), "");
    EXPECT_EQ(settingsText(5, 5, 4, 0), "");
    EXPECT_EQ(settingsText(5, 2, 4, 3), "");
    const LineResult defaults = lineSettings(5, 2, 4, 0);
    ASSERT_TRUE(defaults.settings);
    EXPECT_EQ(defaults.settings->baud, 4800);
    EXPECT_EQ(defaults.settings->parity, QSerialPort::NoParity);
    EXPECT_EQ(defaults.settings->dataBits, QSerialPort::Data8);
    EXPECT_EQ(defaults.settings->stopBits, QSerialPort::OneStop);
    EXPECT_EQ(lineSettings(0, 0, 3, 2).settings->parity, QSerialPort::EvenParity);
    EXPECT_FALSE(lineSettings(5, 2, 0, 0).settings);  // 4 data bits
    EXPECT_EQ(flowControl(1), QSerialPort::SoftwareControl);
    EXPECT_EQ(flowControl(2), QSerialPort::HardwareControl);
    EXPECT_FALSE(flowControl(4));

    corva::settings::Settings s;
    s.comPort = 1;
    EXPECT_EQ(portDevice(s), "/dev/ttyS0");
    s.comPort = 8;
    EXPECT_EQ(portDevice(s), "/dev/ttyS7");
    s.comPort = 9;
    EXPECT_FALSE(portDevice(s));
    s.comDevice = "/dev/ttyUSB0";
    EXPECT_EQ(portDevice(s), "/dev/ttyUSB0");
}

TEST(SerialConfig, DeviceSettingIsRead) {
    test::app();  // settings go to a temporary XDG_CONFIG_HOME
    ASSERT_TRUE(corva::settings::WriteRegistryValue("ComPort\\Device", "/dev/ttyUSB3"));
    corva::settings::Settings s;
    corva::settings::LoadSettings(s);
    EXPECT_EQ(portDevice(s), "/dev/ttyUSB3");
    EXPECT_EQ(s.comPort, 1);
    ASSERT_TRUE(corva::settings::WriteRegistryValue("ComPort\\Device", ""));
}

}  // namespace
