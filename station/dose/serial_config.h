#pragma once
// The serial link's settings: the value lists that the ComPort settings index, and
// the device a port number stands for.
#include <QSerialPort>
#include <QString>
#include <QStringList>
#include <optional>

#include "common/serial_lists.h"
#include "settings/settings.h"

namespace corva::dose {

using station::dataBitsList;
using station::handshakeList;
using station::parityList;
using station::speedList;
using station::stopBitsList;

// Baud, parity, data bits and stop bits of the port.
struct LineSettings {
    qint32 baud = 4800;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;
    bool operator==(const LineSettings&) const = default;
};

// The settings text: the four list texts joined by commas ("4800,N,8,1"); empty when an
// index is outside its list.
QString settingsText(int speed, int parity, int bitGet, int bitPut);

// The line settings for the four indexes. std::nullopt with a reason when an index lies
// outside its list or the value cannot be set on this platform (4 data bits, 1.5 stop bits).
struct LineResult {
    std::optional<LineSettings> settings;
    QString error;
};
LineResult lineSettings(int speed, int parity, int bitGet, int bitPut);

// Handshaking for ComPort\Flux 0..3. Qt has no combined RTS/CTS and XOn/XOff mode;
// 3 uses RTS/CTS. std::nullopt outside the list.
std::optional<QSerialPort::FlowControl> flowControl(int flux);

// The device to open: ComPort\Device when not empty, else /dev/ttyS0../dev/ttyS7 for
// ComPort\Port 1..8; std::nullopt for another port number.
std::optional<QString> portDevice(const settings::Settings& s);

}  // namespace corva::dose
