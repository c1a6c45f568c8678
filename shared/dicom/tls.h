#pragma once
// DICOM over TLS: the files one side of a connection needs. Kept free of the toolkit so
// that settings, the receiver's configuration and the send jobs can carry them.
#include <filesystem>
#include <string>

namespace corva::dicom {

// PEM files. For sending: caFile checks the destination's certificate (required);
// certificateFile and keyFile are our own, for a destination that asks for one (both or
// neither). For receiving: certificateFile and keyFile are required; a caFile makes every
// caller show a certificate signed by it.
struct TlsFiles {
    std::filesystem::path caFile;
    std::filesystem::path certificateFile;
    std::filesystem::path keyFile;
    bool operator==(const TlsFiles&) const = default;
};

// Why a private key file must not be used (missing, no regular file, or readable or
// writable by others than its owner and group); empty when it may be.
std::string privateKeyProblem(const std::filesystem::path& keyFile);

// Why the files cannot serve the given side; empty when they can. Checks what can be
// checked before a connection: that each file is there and readable, the key's mode,
// that the certificate and the key belong together.
std::string tlsClientProblem(const TlsFiles& files);
std::string tlsServerProblem(const TlsFiles& files);

}  // namespace corva::dicom
