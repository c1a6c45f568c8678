#include "dose/serial_config.h"

namespace corva::dose {
namespace {

bool inList(int index, const QStringList& list) { return index >= 0 && index < list.size(); }

}  // namespace

QString settingsText(int speed, int parity, int bitGet, int bitPut) {
    if (!inList(speed, speedList()) || !inList(parity, parityList()) || !inList(bitGet, dataBitsList()) ||
        !inList(bitPut, stopBitsList()))
        return {};
    return QStringList{speedList().at(speed), parityList().at(parity), dataBitsList().at(bitGet),
                       stopBitsList().at(bitPut)}
        .join(QLatin1Char(','));
}

LineResult lineSettings(int speed, int parity, int bitGet, int bitPut) {
    const QString text = settingsText(speed, parity, bitGet, bitPut);
    if (text.isEmpty())
        return {std::nullopt, QStringLiteral("Invalid property value: serial settings index out of range (speed %1, "
                                             "parity %2, data bits %3, stop bits %4)")
                                  .arg(speed)
                                  .arg(parity)
                                  .arg(bitGet)
                                  .arg(bitPut)};
    LineSettings s;
    s.baud = speedList().at(speed).toInt();
    static const QSerialPort::Parity parities[] = {QSerialPort::EvenParity, QSerialPort::MarkParity,
                                                   QSerialPort::NoParity, QSerialPort::OddParity,
                                                   QSerialPort::SpaceParity};
    s.parity = parities[parity];
    switch (bitGet) {
    case 1: s.dataBits = QSerialPort::Data5; break;
    case 2: s.dataBits = QSerialPort::Data6; break;
    case 3: s.dataBits = QSerialPort::Data7; break;
    case 4: s.dataBits = QSerialPort::Data8; break;
    default: return {std::nullopt, QStringLiteral("Invalid property value: 4 data bits are not supported (%1)").arg(text)};
    }
    switch (bitPut) {
    case 0: s.stopBits = QSerialPort::OneStop; break;
    case 2: s.stopBits = QSerialPort::TwoStop; break;
    default:
#ifdef Q_OS_WIN
        s.stopBits = QSerialPort::OneAndHalfStop;
        break;
#else
        return {std::nullopt, QStringLiteral("Invalid property value: 1.5 stop bits are not supported (%1)").arg(text)};
#endif
    }
    return {s, {}};
}

std::optional<QSerialPort::FlowControl> flowControl(int flux) {
    switch (flux) {
    case 0: return QSerialPort::NoFlowControl;
    case 1: return QSerialPort::SoftwareControl;
    case 2:
    case 3: return QSerialPort::HardwareControl;
    default: return std::nullopt;
    }
}

std::optional<QString> portDevice(const settings::Settings& s) {
    if (!s.comDevice.empty()) return QString::fromStdString(s.comDevice);
    if (s.comPort < 1 || s.comPort > 8) return std::nullopt;
    return QStringLiteral("/dev/ttyS%1").arg(s.comPort - 1);
}

}  // namespace corva::dose
