#include "dose/dose_link.h"

#include <QDateTime>
#include <QScopedValueRollback>

#include "common/edge.h"
#include "common/operator_seam.h"
#include "core/error.h"
#include "dose/exposure_parser.h"
#include "log/error_log.h"

namespace corva::dose {
namespace {

constexpr const char* InitLocation = "Initialise_cPort";
constexpr const char* FillLocation = "MainForm dbFill";
constexpr const char* TickLocation = "SerTimer_Timer";
constexpr int InvalidCall = 5;
constexpr int InvalidPropertyValue = 380;
constexpr int InvalidPortNumber = 8002;
constexpr int BufferOverflow = 8005;  // "Receive buffer overflow"
constexpr int PortNotOpen = 8012;     // "The device is not open"
// The poll also runs on a slow timer so that the forwarding buttons follow the lists
// while nothing arrives; received bytes are taken as soon as the port reports them.
constexpr int TickIntervalMs = 100;

const QString ClickFirst = QStringLiteral("Please click on a Projection button first!");

// A received piece for a log line: control characters named, cut to a readable length.
std::string printable(const QString& text) {
    constexpr qsizetype MaxChars = 200;
    QString out;
    for (const QChar c : text.left(MaxChars)) {
        if (c == QChar(StartOfText))
            out += QStringLiteral("<STX>");
        else if (c == QChar(EndOfText))
            out += QStringLiteral("<ETX>");
        else if (c == QLatin1Char('\r') || c == QLatin1Char('\n'))
            out += QLatin1Char(' ');
        else if (c.unicode() < 0x20)
            out += QStringLiteral("<%1>").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    if (text.size() > MaxChars) out += QStringLiteral("...");
    return out.toStdString();
}

}  // namespace

// ---- LinkPort ------------------------------------------------------------------------

LinkPort::LinkPort(QObject* parent) : QObject(parent), port_(this), retry_(this) {
    retry_.setInterval(RetryIntervalMs);
    connect(&retry_, &QTimer::timeout, this, &LinkPort::open);
    connect(&port_, &QSerialPort::readyRead, this, &LinkPort::readyRead);
    connect(&port_, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError error) {
        // A device that went away (an unplugged adapter, a line that hung up) fails its
        // next read. It is closed once the port has finished reporting, not inside it.
        const bool gone = error == QSerialPort::ResourceError || error == QSerialPort::ReadError ||
                          error == QSerialPort::WriteError;
        if (!gone || !port_.isOpen()) return;
        QMetaObject::invokeMethod(this, [this, reason = port_.errorString()] { lost(reason); }, Qt::QueuedConnection);
    });
}

LinkPort::~LinkPort() {
    retry_.stop();
    if (port_.isOpen()) port_.close();
}

bool LinkPort::use(const Config& config) {
    const bool changed = !used_ || !(config == config_);
    used_ = true;
    config_ = config;
    if (changed || !port_.isOpen()) open();
    return changed;
}

QByteArray LinkPort::readAll() { return port_.isOpen() ? port_.readAll() : QByteArray(); }

void LinkPort::open() {
    if (port_.isOpen()) port_.close();
    port_.clearError();
    if (config_.device.isEmpty()) {
        failed(QStringLiteral("no serial port set"), QStringLiteral("No serial port selected"), false);
        return;
    }
    port_.setPortName(config_.device);
    port_.setBaudRate(config_.line.baud);
    port_.setParity(config_.line.parity);
    port_.setDataBits(config_.line.dataBits);
    port_.setStopBits(config_.line.stopBits);
    port_.setFlowControl(config_.flow);
    if (port_.open(QIODevice::ReadWrite)) {
        retry_.stop();
        lastLogged_.clear();
        setState(config_.label + QStringLiteral(" open"));
        return;
    }
    const bool missing = port_.error() == QSerialPort::DeviceNotFoundError;
    const QString reason = port_.errorString();
    port_.clearError();
    failed(missing ? config_.label + QStringLiteral(" not found")
                   : config_.label + QStringLiteral(" cannot be opened (%1)").arg(reason),
           QStringLiteral("Cannot open %1: %2").arg(config_.device, reason), true);
}

void LinkPort::failed(const QString& state, const QString& logText, bool retry) {
    if (logText != lastLogged_) {
        corva::log::LogError(InvalidPortNumber, logText.toStdString(), InitLocation);
        lastLogged_ = logText;
    }
    setState(state);
    if (!retry)
        retry_.stop();
    else if (!retry_.isActive())
        retry_.start();
}

void LinkPort::lost(const QString& reason) {
    if (!port_.isOpen()) return;
    port_.close();
    port_.clearError();
    corva::log::LogError(PortNotOpen, QStringLiteral("Lost %1: %2").arg(config_.device, reason).toStdString(),
                         TickLocation);
    lastLogged_.clear();
    setState(config_.label + QStringLiteral(" lost, trying again"));
    retry_.start();
}

void LinkPort::setState(const QString& state) {
    if (state == state_) return;
    state_ = state;
    emit stateChanged();
}

// ---- DoseLink ------------------------------------------------------------------------

DoseLink::DoseLink(settings::Settings& settings, std::filesystem::path programFolder, const DoseStore& store,
                   QObject* parent)
    : QObject(parent), settings_(settings), store_(store), handOver_(std::move(programFolder)), port_(this),
      timer_(this), framer_(settings.xrayComm) {
    timer_.setInterval(TickIntervalMs);
    connect(&timer_, &QTimer::timeout, this, &DoseLink::tick);
    connect(&port_, &LinkPort::readyRead, this, &DoseLink::tick);
    connect(&port_, &LinkPort::stateChanged, this, &DoseLink::emitState);
    lastState_ = stateText();
}

DoseLink::~DoseLink() { timer_.stop(); }

void DoseLink::setBuffer(const QString& text) {
    framer_.setPending(text);
    emit bufferChanged(buffer());
}

void DoseLink::setTokens(const QStringList& tokens) {
    tokens_ = tokens;
    emit tokensChanged(tokens_);
}

QString DoseLink::stateText() const {
    QString text = QStringLiteral("X-ray unit: ") +
                   (port_.state().isEmpty() ? QStringLiteral("not connected") : port_.state());
    if (!waiting_.empty())
        text += QStringLiteral("; record waits for a projection button");
    else if (!note_.isEmpty())
        text += QStringLiteral("; ") + note_;
    return text;
}

void DoseLink::emitState() {
    const QString text = stateText();
    if (text == lastState_) return;
    lastState_ = text;
    emit stateChanged(text);
}

LinkPort::Config DoseLink::readConfig() {
    LinkPort::Config config = port_.config();  // an invalid value keeps the one in use
    if (const auto device = portDevice(settings_)) {
        config.device = *device;
        config.label = settings_.comDevice.empty() ? QStringLiteral("COM%1").arg(settings_.comPort) : *device;
    } else {
        corva::log::LogError(InvalidPortNumber,
                             "Invalid port number: COM" + std::to_string(settings_.comPort), InitLocation);
    }
    const LineResult line = dose::lineSettings(
        settings_.comSpeed, settings_.comParity, settings_.comBitGet, settings_.comBitPut);
    if (line.settings)
        config.line = *line.settings;
    else
        corva::log::LogError(InvalidPropertyValue, line.error.toStdString(), InitLocation);
    if (const auto flow = flowControl(settings_.comFlux))
        config.flow = *flow;
    else
        corva::log::LogError(InvalidPropertyValue,
                             "Invalid property value: handshaking " + std::to_string(settings_.comFlux), InitLocation);
    return config;
}

void DoseLink::start() {
    const LinkPort::Config config = readConfig();
    const bool otherUnit = framer_.unitType() != settings_.xrayComm;
    framer_.setUnitType(settings_.xrayComm);
    if (port_.use(config) || otherUnit) {
        // A partly received record belongs to the line and the unit it came from.
        overflowLogged_ = false;
        setBuffer({});
    }
    started_ = true;
    pollOn();
    emitState();
}

void DoseLink::pollOn() {
    polling_ = true;
    timer_.start();
    // Bytes that arrived while the poll was off are taken at once.
    QTimer::singleShot(0, this, &DoseLink::tick);
}

void DoseLink::tick() {
    if (!polling_ || busy_) return;
    const QScopedValueRollback<bool> pass(busy_, true);
    if (framer_.unitType() != settings_.xrayComm) {
        framer_.setUnitType(settings_.xrayComm);
        emit bufferChanged(buffer());
    }
    const QByteArray bytes = port_.readAll();
    if (!bytes.isEmpty())
        receive(QString::fromLatin1(bytes));
    else if (hooks_.waiting)
        hooks_.waiting();
}

void DoseLink::receive(const QString& piece) {
    const std::vector<Frame> frames = framer_.feed(piece);
    const bool cut = framer_.cutByLastFeed();
    if (cut && !overflowLogged_) {
        // Input that never completes a record (a wrong unit type, line noise) must not
        // grow without bound.
        corva::log::LogError(BufferOverflow,
                             "Serial input without a complete record passed " + std::to_string(MaxBufferChars / 1024) +
                                 " KB; the oldest text is dropped",
                             TickLocation);
        overflowLogged_ = true;
    }
    if (frames.empty() && !cut)
        emit bufferAppended(piece);
    else
        emit bufferChanged(buffer());
    if (frames.empty()) {
        if (hooks_.waiting) hooks_.waiting();
        return;
    }
    overflowLogged_ = false;
    Outcome outcome;
    takeOver(frames, outcome);
    storeWaitingInto(outcome, true);
    finish(outcome);
}

void DoseLink::takeOver(const std::vector<Frame>& frames, Outcome& outcome) {
    // Each record goes through cInput.txt, which then moves to done.txt as the trace of
    // what was taken. A record the file cannot take is stored from memory all the same.
    std::vector<Frame> direct;
    std::vector<Frame> handedOver;
    for (const Frame& frame : frames) {
        if (frame.kind != Frame::Kind::Record)
            reject(frame, outcome);
        else if (station::catchAtEdge(TickLocation, false, [&] { handOver_.append(frame.text); }))
            handedOver.push_back(frame);
        else
            direct.push_back(frame);
    }
    if (!handedOver.empty()) {
        std::optional<QString> text;
        if (station::catchAtEdge(FillLocation, false, [&] { text = handOver_.takeOver(); }) && text)
            storeAll(frameText(*text, settings_.xrayComm), outcome);
        else
            storeAll(handedOver, outcome);
    }
    storeAll(direct, outcome);
}

void DoseLink::storeAll(const std::vector<Frame>& frames, Outcome& outcome) {
    for (const Frame& frame : frames) {
        if (frame.kind == Frame::Kind::Record)
            // Parsed as handed over: the record and the line end cInput.txt gives it.
            storeRecord(frame.text + QStringLiteral("\r\n"), outcome);
        else
            reject(frame, outcome);
    }
}

void DoseLink::storeRecord(const QString& record, Outcome& outcome) {
    const int type = settings_.xrayComm;
    if (type != unit::Sophie && type != unit::Giotto) return;
    const QDateTime now = QDateTime::currentDateTime();
    const bool ok = station::catchErrors(
        [&] {
            if (type == unit::Sophie) {
                setTokens(sophieTokens(record));
                const ExposureRecord parsed = parseSophie(tokens_, now);
                setTokens({});
                store_.insert(parsed);
                ++outcome.stored;
            } else {
                // Dated when it arrived; it gets its projection from the next click.
                waiting_.push_back(parseGiotto(record, {}, now));
            }
        },
        [&](int code, const std::string& text) {
            corva::log::LogError(code, text + " in the record \"" + printable(record) + "\"", FillLocation);
        });
    if (!ok) ++outcome.rejected;
}

void DoseLink::reject(const Frame& frame, Outcome& outcome) {
    const char* what = frame.kind == Frame::Kind::CutOff ? "Exposure record cut off by the next record"
                                                          : "End of an exposure record without its start";
    corva::log::LogError(InvalidCall, std::string(what) + ": \"" + printable(frame.text) + "\"", FillLocation);
    ++outcome.rejected;
}

void DoseLink::storeWaitingInto(Outcome& outcome, bool prompt) {
    while (!waiting_.empty()) {
        const QString projection = hooks_.projection ? hooks_.projection() : QString();
        if (projection.isEmpty()) {
            // Once per waiting record, not at every poll.
            if (prompt && !prompted_) {
                prompted_ = true;
                emitState();
                corva::station::op().message(ClickFirst);
            }
            return;
        }
        ExposureRecord record = std::move(waiting_.front());
        waiting_.pop_front();
        prompted_ = false;
        record.sonstiges = projection;
        if (hooks_.projectionUsed) hooks_.projectionUsed();
        if (station::catchAtEdge(FillLocation, false, [&] { store_.insert(record); }))
            ++outcome.stored;
        else
            ++outcome.rejected;
    }
}

void DoseLink::storeWaiting() {
    const QScopedValueRollback<bool> pass(busy_, true);
    Outcome outcome;
    storeWaitingInto(outcome, true);
    finish(outcome);
}

void DoseLink::finish(const Outcome& outcome) {
    if (outcome.rejected > 0)
        note_ = QStringLiteral("record not understood (see error log)");
    else if (outcome.stored > 0)
        note_.clear();
    emitState();
    if (outcome.stored > 0 && hooks_.parsed) hooks_.parsed();
}

void DoseLink::dbFill() {
    const QScopedValueRollback<bool> pass(busy_, true);
    std::optional<QString> text;
    if (!station::catchAtEdge(FillLocation, false, [&] { text = handOver_.takeOver(); })) return;
    if (!text) {
        text = buffer();
        if (!text->isEmpty()) setBuffer({});
    }
    Outcome outcome;
    storeAll(frameText(*text, settings_.xrayComm), outcome);
    if (settings_.xrayComm == unit::Giotto && (!hooks_.projection || hooks_.projection().isEmpty())) {
        // A record waiting now has had its message; one arriving later gets its own.
        prompted_ = !waiting_.empty();
        finish(outcome);
        corva::station::op().message(ClickFirst);
        return;
    }
    storeWaitingInto(outcome, false);
    pollOn();
    finish(outcome);
    // "Fill" reloads the list even when it stored nothing.
    if (outcome.stored == 0 && hooks_.parsed) hooks_.parsed();
}

}  // namespace corva::dose
