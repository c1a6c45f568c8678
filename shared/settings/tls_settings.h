#pragma once
// DICOM over TLS in the settings store: the receiver's TLS port with its files, and per
// storage destination (by the ID of its row) whether sending uses TLS and with which
// files. Every value empty keeps a site as it was: plain DICOM only.
#include <cstdint>
#include <optional>
#include <string>

#include "dicom/tls.h"

namespace corva::settings {

// The receiver's TLS port beside its plain one (Com\IR_Port); empty: no TLS port.
inline constexpr const char* ReceiverTlsPort = "Com\\IR_TLSPort";
// Its certificate and private key (PEM), required with the port.
inline constexpr const char* ReceiverTlsCertificate = "Com\\IR_TLSCertFile";
inline constexpr const char* ReceiverTlsKey = "Com\\IR_TLSKeyFile";
// A CA certificate (PEM): when set, only callers with a certificate it vouches for.
inline constexpr const char* ReceiverTlsCa = "Com\\IR_TLSCAFile";

// What the receiver's TLS values hold.
struct ReceiverTls {
    std::string port;
    std::string certificateFile;
    std::string keyFile;
    std::string caFile;
};
ReceiverTls readReceiverTls();
bool writeReceiverTls(const ReceiverTls& values);

// Sending to one destination over TLS: the CA file that checks the destination, and an
// optional certificate and key of our own.
struct DestinationTls {
    bool use = false;
    std::string caFile;
    std::string certificateFile;
    std::string keyFile;
    bool operator==(const DestinationTls&) const = default;
    // The files for the association; nullopt when the destination is plain.
    std::optional<dicom::TlsFiles> files() const;
};
// Under "SCP_TLS\<id>_...". A destination without values is plain.
DestinationTls readDestinationTls(std::int64_t destinationId);
bool writeDestinationTls(std::int64_t destinationId, const DestinationTls& values);
// Forgets the values of a destination that is deleted.
bool removeDestinationTls(std::int64_t destinationId);

}  // namespace corva::settings
