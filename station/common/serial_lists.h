#pragma once
// The serial value lists that the ComPort settings index, position 0 first. The same
// lists fill the options window's combo boxes and are what the X-ray unit link uses.
#include <QStringList>

namespace corva::station {

const QStringList& speedList();      // "110" .. "256000" (14 entries; "56000", not 57600)
const QStringList& parityList();     // "E", "M", "N", "O", "S"
const QStringList& dataBitsList();   // "4" .. "8"
const QStringList& stopBitsList();   // "1", "1.5", "2"
const QStringList& handshakeList();  // "comNone", "comXOnXOff", "comRTS", "comRTSXOnXOff"

}  // namespace corva::station
