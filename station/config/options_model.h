#pragma once
// The values the options window shows, as the operator typed them. Built from the
// settings when the window loads; OK checks them and, only when all are valid, writes
// them back into the settings in the fixed order. A refused value names its field and
// nothing is written.
#include <QString>
#include <cstdint>
#include <optional>

#include "settings/settings.h"

namespace corva::config {

struct OptionsModel {
    // "General"
    bool debug = false;
    bool keepImages = false;
    bool editAndSend = false;
    bool autoWindow = false;
    bool computeWindow = false;
    QString width;
    QString center;
    QString rows;
    QString columns;
    std::int32_t bgColor = 0;
    std::int32_t fgColor = 0;
    // "Communication"
    QString irAet;
    QString irPort;
    bool stopService = false;
    // Who may store at the receiver (settings/receiver_access.h); empty lets everyone.
    QString allowedAets;
    QString allowedHosts;
    QString listenAddress;
    // DICOM over TLS at the receiver (settings/tls_settings.h): its port, empty for none,
    // the certificate and key files, and a CA file when callers must show a certificate.
    QString tlsPort;
    QString tlsCertificate;
    QString tlsKey;
    QString tlsCa;
    // "Comm Port": list positions, -1 when nothing is selected.
    int speed = -1;
    int parity = -1;
    int bitGet = -1;
    int bitPut = -1;
    int flux = -1;
    int port = 0;    // 1..8 for "Comm1".."Comm8", 0 when none is chosen
    QString device;  // a real serial device chosen instead of Comm1..8 (its path)
    QString timeOutStart;
    QString timeOutEnd;
    int xrayComm = 0;  // 1 Sophie, 2 Giotto, 0 neither
    // Dose reports: the unit's name, and whether each unit type reports the average
    // glandular dose (else the entrance exposure).
    QString doseUnitName;
    bool agdSophie = false;
    bool agdGiotto = false;

    bool operator==(const OptionsModel&) const = default;

    static OptionsModel fromSettings(const settings::Settings& s);

    // The first value OK must refuse, as the message to show; nullopt when all are valid.
    std::optional<QString> problem() const;
    // Takes the values into `s` in the order of OK. Call only when problem() is empty.
    void applyTo(settings::Settings& s) const;

    // The receiver's access and TLS values live in the settings store only (the receiver
    // reads them there at its start): loaded by fromSettings, written by this. Call only when
    // receiverAccessProblem() is empty. False when the store cannot be written.
    bool saveReceiverAccess() const;
    std::optional<QString> receiverAccessProblem() const;
};

// The number a text starts with, as the old Val() read it ("12abc" 12, "abc" 0,
// " 1.5e2" 150); a text without a leading number reads as 0.
double leadingNumber(const QString& text);

// The problem of an application entity title, naming `field`; nullopt when valid.
std::optional<QString> aeTitleProblem(const QString& field, const QString& aet);
// The problem of a TCP port text (digits, 1 to 65535), naming `field`.
std::optional<QString> portProblem(const QString& field, const QString& port);

}  // namespace corva::config
