#include "dose/dose_link.h"

#include <QDateTime>

#include "core/error.h"
#include "dose/exposure_parser.h"
#include "log/error_log.h"
#include "common/edge.h"
#include "common/operator_seam.h"

namespace corva::dose {
namespace {

constexpr const char* InitLocation = "Initialise_cPort";
constexpr const char* FillLocation = "MainForm dbFill";
constexpr int InvalidPropertyValue = 380;
constexpr int InvalidPortNumber = 8002;
constexpr const char* TickLocation = "SerTimer_Timer";
constexpr int BufferOverflow = 8005;  // "Receive buffer overflow"
// The poll also runs on a slow timer so that the forwarding buttons follow the lists
// while nothing arrives; received bytes are taken as soon as the port reports them.
constexpr int TickIntervalMs = 100;

}  // namespace

DoseLink::DoseLink(settings::Settings& settings, std::filesystem::path programFolder, const DoseStore& store,
                   QObject* parent)
    : QObject(parent), settings_(settings), store_(store), handOver_(std::move(programFolder)), port_(this),
      timer_(this) {
    timer_.setInterval(TickIntervalMs);
    connect(&timer_, &QTimer::timeout, this, &DoseLink::tick);
    connect(&port_, &QSerialPort::readyRead, this, &DoseLink::tick);
}

DoseLink::~DoseLink() {
    timer_.stop();
    if (port_.isOpen()) port_.close();
}

void DoseLink::setBuffer(const QString& text) {
    buffer_ = text;
    emit bufferChanged(buffer_);
}

void DoseLink::append(const QString& piece) {
    buffer_ += piece;
    if (buffer_.size() <= MaxBufferChars) {
        emit bufferAppended(piece);
        return;
    }
    // Input that never completes a record (a wrong unit type, line noise) must not grow
    // without bound. Cutting back to three quarters leaves room, so the mirror is
    // redrawn whole only once in a while.
    if (!overflowLogged_) {
        corva::log::LogError(BufferOverflow,
                             "Serial input without a complete record passed " + std::to_string(MaxBufferChars / 1024) +
                                 " KB; the oldest text is dropped",
                             TickLocation);
        overflowLogged_ = true;
    }
    buffer_.remove(0, buffer_.size() - MaxBufferChars * 3 / 4);
    emit bufferChanged(buffer_);
}

void DoseLink::setTokens(const QStringList& tokens) {
    tokens_ = tokens;
    emit tokensChanged(tokens_);
}

void DoseLink::applySettings() {
    if (const auto device = portDevice(settings_)) {
        device_ = *device;
    } else {
        corva::log::LogError(InvalidPortNumber,
                             "Invalid port number: COM" + std::to_string(settings_.comPort), InitLocation);
    }
    const LineResult line = dose::lineSettings(
        settings_.comSpeed, settings_.comParity, settings_.comBitGet, settings_.comBitPut);
    if (line.settings)
        line_ = *line.settings;
    else
        corva::log::LogError(InvalidPropertyValue, line.error.toStdString(), InitLocation);
    if (const auto flow = flowControl(settings_.comFlux))
        flow_ = *flow;
    else
        corva::log::LogError(InvalidPropertyValue,
                             "Invalid property value: handshaking " + std::to_string(settings_.comFlux), InitLocation);
    port_.setPortName(device_);
    port_.setBaudRate(line_.baud);
    port_.setParity(line_.parity);
    port_.setDataBits(line_.dataBits);
    port_.setStopBits(line_.stopBits);
    port_.setFlowControl(flow_);
}

void DoseLink::initialise() {
    setBuffer({});
    overflowLogged_ = false;
    if (port_.isOpen()) port_.close();
    applySettings();
    if (!port_.isOpen()) {
        if (device_.isEmpty()) {
            corva::log::LogError(InvalidPortNumber, "No serial port selected", InitLocation);
        } else if (!port_.open(QIODevice::ReadWrite)) {
            corva::log::LogError(InvalidPortNumber,
                                 "Cannot open " + device_.toStdString() + ": " + port_.errorString().toStdString(),
                                 InitLocation);
        }
    }
    if (port_.isOpen()) {
        // What waited before the link was ready belongs to no record we can trust.
        port_.clear(QSerialPort::Input);
        port_.readAll();
    }
    pollOn();
}

void DoseLink::pollOn() {
    polling_ = true;
    timer_.start();
    // Bytes that arrived while the poll was off are taken at once.
    QTimer::singleShot(0, this, &DoseLink::tick);
}

void DoseLink::tick() {
    if (!polling_) return;
    if (port_.isOpen() && port_.bytesAvailable() > 0) append(QString::fromLatin1(port_.readAll()));
    if (!isRecordComplete(buffer_, settings_.xrayComm)) {
        if (hooks_.waiting) hooks_.waiting();
        return;
    }
    overflowLogged_ = false;
    // On failure the record is still in the buffer, from which the parse takes it.
    station::catchAtEdge(TickLocation, false, [&] { handOver_.append(buffer_); });
    polling_ = false;
    timer_.stop();
    dbFill();
}

void DoseLink::dbFill() {
    station::catchAtEdge(FillLocation, false, [&] {
        if (const auto text = handOver_.takeOver()) setBuffer(*text);
        const QDateTime now = QDateTime::currentDateTime();
        if (settings_.xrayComm == unit::Sophie) {
            setTokens({});
            if (!buffer_.isEmpty()) {
                setTokens(sophieTokens(buffer_));
                setBuffer({});
            }
            if (!tokens_.isEmpty()) {
                const ExposureRecord record = parseSophie(tokens_, now);
                setTokens({});
                store_.insert(record);
            }
        } else if (settings_.xrayComm == unit::Giotto) {
            const QString field = hooks_.projectionField ? hooks_.projectionField() : QString();
            if (field.isEmpty()) {
                corva::station::op().message(QStringLiteral("Please click on a Projection button first!"));
                return;
            }
            if (buffer_.isEmpty()) return;
            const QString projection = hooks_.currentProjection ? hooks_.currentProjection() : QString();
            const ExposureRecord record = parseGiotto(buffer_, projection, now);
            setBuffer({});
            handOver_.removeInput();
            store_.insert(record);
            if (hooks_.clearProjectionField) hooks_.clearProjectionField();
        }
        pollOn();
        if (hooks_.parsed) hooks_.parsed();
    });
}

}  // namespace corva::dose
