#include "config/options_model.h"

#include <QRegularExpression>
#include <cmath>
#include <limits>

#include "dicom/storage_server.h"
#include "settings/receiver_access.h"
#include "settings/tls_settings.h"

namespace corva::config {

namespace {

constexpr int MaxWhole16 = std::numeric_limits<std::int16_t>::max();

// A whole number typed as digits only (blanks around allowed); nullopt otherwise.
std::optional<long long> wholeNumber(const QString& text) {
    static const QRegularExpression digits(QStringLiteral("^\\s*\\d{1,9}\\s*$"));
    if (!digits.match(text).hasMatch()) return std::nullopt;
    return text.trimmed().toLongLong();
}

QString gridProblem(const QString& field, const QString& text) {
    const auto n = wholeNumber(text);
    if (!n || *n < 1 || *n > MaxWhole16)
        return QString("%1: please enter a whole number from 1 to %2.").arg(field).arg(MaxWhole16);
    return {};
}

QString timeOutProblem(const QString& field, const QString& text) {
    const double v = std::trunc(leadingNumber(text));
    if (v < 0 || v > MaxWhole16)
        return QString("%1: please enter a number of seconds from 0 to %2.").arg(field).arg(MaxWhole16);
    return {};
}

std::int16_t whole16(bool b) { return b ? 1 : 0; }

}  // namespace

double leadingNumber(const QString& text) {
    static const QRegularExpression number(QStringLiteral("^\\s*([+-]?(\\d+\\.?\\d*|\\.\\d+)([eE][+-]?\\d+)?)"));
    const auto m = number.match(text);
    if (!m.hasMatch()) return 0;
    bool ok = false;
    const double v = m.captured(1).toDouble(&ok);
    return ok && std::isfinite(v) ? v : 0;
}

std::optional<QString> aeTitleProblem(const QString& field, const QString& aet) {
    if (aet.trimmed().isEmpty() || aet.size() > 16 || aet.contains(QLatin1Char('\\')))
        return QString("%1: an AE title has 1 to 16 characters and no backslash.").arg(field);
    return std::nullopt;
}

std::optional<QString> portProblem(const QString& field, const QString& port) {
    const auto n = wholeNumber(port);
    if (!n || *n < 1 || *n > 65535) return QString("%1: please enter a port number from 1 to 65535.").arg(field);
    return std::nullopt;
}

OptionsModel OptionsModel::fromSettings(const settings::Settings& s) {
    OptionsModel m;
    const auto q = [](const std::string& t) { return QString::fromStdString(t); };
    m.irAet = q(s.irAet);
    m.irPort = q(s.irPort);
    m.rows = QString::number(s.viewerRows);
    m.columns = QString::number(s.viewerColumns);
    m.editAndSend = s.editAndSend == 1;
    m.keepImages = s.sentAndKeep == 1;
    m.autoWindow = s.autoWindow == 1;
    m.computeWindow = s.computeWindow == 1;
    m.width = q(s.customWidth);
    m.center = q(s.customCenter);
    m.bgColor = s.viewerBgColor;
    m.fgColor = s.viewerFgColor;
    m.stopService = s.stopService == 1;
    m.debug = s.debug == 1;
    m.speed = s.comSpeed;
    m.parity = s.comParity;
    m.bitGet = s.comBitGet;
    m.bitPut = s.comBitPut;
    m.flux = s.comFlux;
    m.port = s.comPort >= 1 && s.comPort <= 8 ? s.comPort : 0;
    m.device = q(s.comDevice);
    m.timeOutStart = QString::number(s.comTimeOutStart);
    m.timeOutEnd = QString::number(s.comTimeOutEnd);
    m.xrayComm = s.xrayComm == 1 || s.xrayComm == 2 ? s.xrayComm : 0;
    m.doseUnitName = q(s.doseUnitName);
    m.agdSophie = s.doseQuantitySophie == 1;
    m.agdGiotto = s.doseQuantityGiotto == 1;
    m.allowedAets = q(settings::ReadRegistryValue(settings::ReceiverAllowedAeTitles, ""));
    m.allowedHosts = q(settings::ReadRegistryValue(settings::ReceiverAllowedHosts, ""));
    m.listenAddress = q(settings::ReadRegistryValue(settings::ReceiverListenAddress, ""));
    const settings::ReceiverTls tls = settings::readReceiverTls();
    m.tlsPort = q(tls.port);
    m.tlsCertificate = q(tls.certificateFile);
    m.tlsKey = q(tls.keyFile);
    m.tlsCa = q(tls.caFile);
    return m;
}

std::optional<QString> OptionsModel::receiverAccessProblem() const {
    for (const auto& title : dicom::splitEntries(allowedAets.toStdString()))
        if (!dicom::isValidAeTitle(title))
            return QString("Allowed calling AE titles: \"%1\" is no AE title (1 to 16 characters, no backslash).")
                .arg(QString::fromStdString(title));
    for (const auto& host : dicom::splitEntries(allowedHosts.toStdString()))
        if (!dicom::isValidPeerEntry(host))
            return QString("Allowed addresses: \"%1\" is neither an IPv4 address (10.1.2.3) nor a range (10.1.2.0/24).")
                .arg(QString::fromStdString(host));
    const std::string listen = listenAddress.trimmed().toStdString();
    if (!listen.empty() && (!dicom::isValidPeerEntry(listen) || listen.find('/') != std::string::npos))
        return QString("Listen address: \"%1\" is no IPv4 address of this computer (or leave it empty for all).")
            .arg(listenAddress.trimmed());
    if (!tlsPort.trimmed().isEmpty()) {
        if (auto p = portProblem("TLS port", tlsPort)) return p;
        if (tlsPort.trimmed().toInt() == irPort.trimmed().toInt())
            return QStringLiteral("TLS port: it must differ from the receiver's port.");
        if (tlsCertificate.trimmed().isEmpty() || tlsKey.trimmed().isEmpty())
            return QStringLiteral("TLS port: give the receiver's certificate and private key files.");
        // The files themselves the receiver checks at its start (the key may be readable by
        // its service only); a key open to every user is refused already here.
        const std::string key = tlsKey.trimmed().toStdString();
        if (const std::string why = dicom::privateKeyProblem(key);
            why.find("open to every user") != std::string::npos)
            return QString("TLS private key: %1").arg(QString::fromStdString(why));
    }
    return std::nullopt;
}

bool OptionsModel::saveReceiverAccess() const {
    // Stored as the entries were understood, one blank after each comma.
    const auto joined = [](const QString& text) {
        std::string out;
        for (const auto& entry : dicom::splitEntries(text.toStdString()))
            out += (out.empty() ? "" : ", ") + entry;
        return out;
    };
    bool saved = settings::WriteRegistryValue(settings::ReceiverAllowedAeTitles, joined(allowedAets));
    saved = settings::WriteRegistryValue(settings::ReceiverAllowedHosts, joined(allowedHosts)) && saved;
    saved = settings::WriteRegistryValue(settings::ReceiverListenAddress, listenAddress.trimmed().toStdString()) &&
            saved;
    saved = settings::writeReceiverTls({tlsPort.trimmed().toStdString(), tlsCertificate.trimmed().toStdString(),
                                        tlsKey.trimmed().toStdString(), tlsCa.trimmed().toStdString()}) &&
            saved;
    return saved;
}

std::optional<QString> OptionsModel::problem() const {
    if (auto p = aeTitleProblem("AET", irAet)) return p;
    if (!irPort.isEmpty())  // an empty port means: the receiver is not started
        if (auto p = portProblem("Port", irPort)) return p;
    for (const QString& p : {gridProblem("Rows", rows), gridProblem("Columns", columns)})
        if (!p.isEmpty()) return p;
    if (rows.trimmed().toLongLong() * columns.trimmed().toLongLong() > MaxWhole16)
        return QString("Rows / Columns: the viewer holds at most %1 images per page.").arg(MaxWhole16);
    for (const QString& p : {timeOutProblem("Duration of the time out beginning", timeOutStart),
                             timeOutProblem("Duration of the end time out", timeOutEnd)})
        if (!p.isEmpty()) return p;
    if (autoWindow && !computeWindow) {
        // Typed values go into every image a header job writes: they must be a window.
        bool ok = false;
        const double w = width.trimmed().toDouble(&ok);
        if (!ok || w < 1) return QString("Width: please enter a number of at least 1.");
        center.trimmed().toDouble(&ok);
        if (!ok) return QString("Center: please enter a number.");
    }
    if (auto p = receiverAccessProblem()) return p;
    return std::nullopt;
}

void OptionsModel::applyTo(settings::Settings& s) const {
    s.debug = whole16(debug);
    s.irAet = irAet.toStdString();
    s.irPort = irPort.toStdString();
    s.viewerRows = static_cast<std::int16_t>(rows.trimmed().toInt());
    s.viewerColumns = static_cast<std::int16_t>(columns.trimmed().toInt());
    s.imagesPerPage = static_cast<std::int16_t>(s.viewerRows * s.viewerColumns);
    s.editAndSend = whole16(editAndSend);
    s.sentAndKeep = whole16(keepImages);
    s.autoWindow = whole16(autoWindow);
    s.computeWindow = whole16(computeWindow);
    s.customWidth = width.toStdString();
    s.customCenter = center.toStdString();
    s.viewerBgColor = bgColor;
    s.viewerFgColor = fgColor;
    s.stopService = stopService ? 1 : 0;
    // A list without a selection keeps its setting.
    const auto position = [](int selected, std::int16_t& target) {
        if (selected >= 0) target = static_cast<std::int16_t>(selected);
    };
    position(speed, s.comSpeed);
    position(parity, s.comParity);
    position(bitGet, s.comBitGet);
    position(bitPut, s.comBitPut);
    position(flux, s.comFlux);
    if (!device.isEmpty()) {
        s.comDevice = device.toStdString();
    } else if (port >= 1 && port <= 8) {
        s.comPort = static_cast<std::int16_t>(port);
        s.comDevice.clear();
    }
    s.comTimeOutStart = static_cast<std::int16_t>(std::trunc(leadingNumber(timeOutStart)));
    s.comTimeOutEnd = static_cast<std::int16_t>(std::trunc(leadingNumber(timeOutEnd)));
    if (xrayComm == 1 || xrayComm == 2) s.xrayComm = static_cast<std::int16_t>(xrayComm);
    s.doseUnitName = doseUnitName.trimmed().toStdString();
    s.doseQuantitySophie = agdSophie ? 1 : 0;
    s.doseQuantityGiotto = agdGiotto ? 1 : 0;
}

}  // namespace corva::config
