#include "common/serial_lists.h"

namespace corva::station {

const QStringList& speedList() {
    static const QStringList list{"110",  "300",   "600",   "1200",  "2400",  "4800",   "9600",
                                  "14400", "19200", "28800", "38400", "56000", "128000", "256000"};
    return list;
}

const QStringList& parityList() {
    static const QStringList list{"E", "M", "N", "O", "S"};
    return list;
}

const QStringList& dataBitsList() {
    static const QStringList list{"4", "5", "6", "7", "8"};
    return list;
}

const QStringList& stopBitsList() {
    static const QStringList list{"1", "1.5", "2"};
    return list;
}

const QStringList& handshakeList() {
    static const QStringList list{"comNone", "comXOnXOff", "comRTS", "comRTSXOnXOff"};
    return list;
}

}  // namespace corva::station
