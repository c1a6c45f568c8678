#pragma once
// The link to the X-ray unit: keeps the serial port open (and opens it again after a
// failure), cuts what arrives into records, hands each over through cInput.txt, parses
// and stores it. No widgets: the main window mirrors the raw input (txtcInput), the token
// list (List1) and the link's state from the signals, and supplies the projection the
// operator clicked through a hook.
//
// Once started the link polls for good: a record that cannot be parsed is logged and
// dropped, and the records after it are taken as they come. A Giotto record waits for a
// projection click; each click serves one record.
#include <QObject>
#include <QSerialPort>
#include <QStringList>
#include <QTimer>
#include <deque>
#include <filesystem>
#include <functional>
#include <vector>

#include "dose/dose_store.h"
#include "dose/exposure.h"
#include "dose/hand_over.h"
#include "dose/record_framer.h"
#include "dose/serial_config.h"
#include "settings/settings.h"

namespace corva::dose {

// The serial port of the link: opened with the settings it is given, and while a failure
// keeps it closed (a device that is missing, an unplugged USB adapter) tried again on a
// timer. Its state reads as a short text for the operator.
class LinkPort : public QObject {
    Q_OBJECT
public:
    struct Config {
        QString device;  // empty: no port chosen
        QString label;   // the port as the operator names it ("COM1", "/dev/ttyUSB0")
        LineSettings line;
        QSerialPort::FlowControl flow = QSerialPort::NoFlowControl;
        bool operator==(const Config&) const = default;
    };

    static constexpr int RetryIntervalMs = 2000;

    explicit LinkPort(QObject* parent = nullptr);
    ~LinkPort() override;

    // Opens the port with `config`; an open port is opened again only when `config`
    // differs from the one in use. True when the config changed.
    bool use(const Config& config);
    QByteArray readAll();
    bool isOpen() const { return port_.isOpen(); }
    QString portName() const { return port_.portName(); }
    const Config& config() const { return config_; }
    // "COM1 open", "/dev/ttyUSB0 not found", "COM1 lost, trying again", ...
    const QString& state() const { return state_; }

signals:
    void readyRead();
    void stateChanged();

private:
    void open();
    void failed(const QString& state, const QString& logText, bool retry);
    void lost(const QString& reason);
    void setState(const QString& state);

    QSerialPort port_;
    QTimer retry_;
    Config config_;
    bool used_ = false;
    QString state_;
    QString lastLogged_;  // an open failure is logged once, not at every retry
};

class DoseLink : public QObject {
    Q_OBJECT
public:
    struct Hooks {
        // The projection the operator clicked for the next exposure; empty when none.
        // A Giotto record waits while it is empty.
        std::function<QString()> projection;
        // A Giotto record took the clicked projection: the next one needs a new click.
        std::function<void()> projectionUsed;
        // After records were stored, and after "Fill": reload the dose list.
        std::function<void()> parsed;
        // Each poll that completed no record (the forwarding buttons follow it).
        std::function<void()> waiting;
    };

    DoseLink(settings::Settings& settings, std::filesystem::path programFolder, const DoseStore& store,
             QObject* parent = nullptr);
    ~DoseLink() override;

    Hooks& hooks() { return hooks_; }

    // Opens the port with the current settings and starts polling. Called again, it
    // reads the settings again and reopens the port only when they changed (a partly
    // received record is then dropped: it belongs to the old line); a closed port is
    // tried at once. Invalid values are logged under "Initialise_cPort" and the previous
    // ones kept. Waiting Giotto records always stay.
    void start();
    bool isStarted() const { return started_; }
    // SerTimer_Timer: reads what arrived and stores every record it completed.
    void tick();
    // "Fill": takes over cInput.txt (or, when there is none, what waits in the raw input)
    // and stores every record in it. A Giotto unit without a clicked projection says so.
    void dbFill();
    // Stores the waiting Giotto records while a projection is clicked (after a click).
    void storeWaiting();
    // Switches the poll on (also done by "Delete Dosislist").
    void pollOn();

    bool isPolling() const { return polling_; }
    bool isOpen() const { return port_.isOpen(); }
    QString portName() const { return port_.portName(); }
    const LineSettings& lineSettings() const { return port_.config().line; }
    QSerialPort::FlowControl flow() const { return port_.config().flow; }
    // Giotto records received and waiting for a projection click.
    int waitingRecordCount() const { return static_cast<int>(waiting_.size()); }

    // The raw input (txtcInput): what arrived and is no record yet. While no record
    // completes it keeps at most MaxBufferChars; the oldest text goes first (logged once
    // until a record completes).
    static constexpr qsizetype MaxBufferChars = RecordFramer::DefaultLimit;
    const QString& buffer() const { return framer_.pending(); }
    void setBuffer(const QString& text);
    // The token list of the last Sophie parse (List1).
    const QStringList& tokens() const { return tokens_; }

    const HandOverFiles& handOver() const { return handOver_; }

    // The link's state for the operator: "X-ray unit: COM1 open", "X-ray unit:
    // /dev/ttyUSB0 not found", "X-ray unit: COM1 open; record not understood (see error
    // log)", "X-ray unit: COM1 open; record waits for a projection button".
    QString stateText() const;

signals:
    // The buffer was replaced (emptied, records taken from it, or cut at its front).
    void bufferChanged(const QString& text);
    // Text arrived and was added at the buffer's end: a mirror appends just this.
    void bufferAppended(const QString& piece);
    void tokensChanged(const QStringList& tokens);
    void stateChanged(const QString& text);

private:
    // What one pass over received or handed-over records did.
    struct Outcome {
        int stored = 0;
        int rejected = 0;
    };

    LinkPort::Config readConfig();
    void receive(const QString& piece);
    void takeOver(const std::vector<Frame>& frames, Outcome& outcome);
    void storeAll(const std::vector<Frame>& frames, Outcome& outcome);
    void storeRecord(const QString& record, Outcome& outcome);
    void reject(const Frame& frame, Outcome& outcome);
    void storeWaitingInto(Outcome& outcome, bool prompt);
    void finish(const Outcome& outcome);
    void setTokens(const QStringList& tokens);
    void emitState();

    settings::Settings& settings_;
    const DoseStore& store_;
    HandOverFiles handOver_;
    Hooks hooks_;
    LinkPort port_;
    QTimer timer_;
    RecordFramer framer_;
    std::deque<ExposureRecord> waiting_;  // Giotto records parsed at arrival, without projection
    QStringList tokens_;
    QString note_;       // the last pass's problem, until a later pass stores a record
    QString lastState_;
    bool started_ = false;
    bool polling_ = false;
    bool busy_ = false;             // a pass runs (a message box inside it must not start another)
    bool prompted_ = false;         // the projection message was shown for the first waiting record
    bool overflowLogged_ = false;   // the cut of the oldest text is logged once per record
};

}  // namespace corva::dose
