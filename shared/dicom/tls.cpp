// DICOM over TLS: checks of the files and the toolkit's TLS layer made from them.
#include "tls_layer.h"  // first: DCMTK needs its configuration header before any other

#include <dcmtk/dcmnet/cond.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <sys/stat.h>

#include <cstdio>
#include <fstream>

namespace corva::dicom {

namespace {

std::string modeText(mode_t mode)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// Why a file cannot be read; empty when it can.
std::string unreadable(const std::filesystem::path& file, const std::string& what)
{
    if (file.empty())
        return "no " + what + " file given";
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec))
        return "the " + what + " file " + file.string() + " is missing";
    std::ifstream in(file);
    if (!in)
        return "the " + what + " file " + file.string() + " cannot be read";
    return {};
}

}  // namespace

std::string privateKeyProblem(const std::filesystem::path& keyFile)
{
    if (const std::string why = unreadable(keyFile, "private key"); !why.empty())
        return why;
    struct stat st {};
    if (::stat(keyFile.c_str(), &st) != 0)
        return "the private key file " + keyFile.string() + " cannot be read";
    // Group access serves a key shared by the service user and the operators' group.
    if ((st.st_mode & (S_IROTH | S_IWOTH)) != 0)
        return "the private key file " + keyFile.string() + " is open to every user (mode " + modeText(st.st_mode) +
               "): allow only its owner and group (chmod o-rw)";
    return {};
}

namespace {

std::string pairProblem(const TlsFiles& files)
{
    if (const std::string why = unreadable(files.certificateFile, "certificate"); !why.empty())
        return why;
    return privateKeyProblem(files.keyFile);
}

// The full check, the files loaded into a layer as a connection would.
std::string layerProblem(bool server, const TlsFiles& files)
{
    try {
        detail::makeTlsLayer<DcmTLSTransportLayer>(server, files);
    } catch (const Error& e) {
        return e.message();
    }
    return {};
}

}  // namespace

std::string tlsClientProblem(const TlsFiles& files)
{
    if (const std::string why = unreadable(files.caFile, "CA certificate"); !why.empty())
        return why;
    if (files.certificateFile.empty() != files.keyFile.empty())
        return "a client certificate needs its private key, and a key its certificate";
    if (!files.certificateFile.empty())
        if (const std::string why = pairProblem(files); !why.empty())
            return why;
    return layerProblem(false, files);
}

std::string tlsServerProblem(const TlsFiles& files)
{
    if (const std::string why = pairProblem(files); !why.empty())
        return why;
    if (!files.caFile.empty())
        if (const std::string why = unreadable(files.caFile, "CA certificate"); !why.empty())
            return why;
    return layerProblem(true, files);
}

namespace detail {

std::string takeTlsReason(const std::string& fallback)
{
    std::string reason;
    // The last error is the nearest to the cause; earlier ones say where it surfaced.
    while (const unsigned long code = ERR_get_error()) {
        if (const char* text = ERR_reason_error_string(code))
            reason = text;
    }
    return reason.empty() ? fallback : reason;
}

namespace {
constexpr const char* TlsPrefixes[] = {"TLS error: ", "DUL secure transport layer: "};
}

bool isTlsFailure(const OFCondition& cond)
{
    if (cond.good())
        return false;
    if (cond.module() == OFM_dcmtls || (cond.module() == OFM_dcmnet && cond.code() == DULC_TLSERROR))
        return true;
    const std::string text = cond.text();
    for (const char* prefix : TlsPrefixes)
        if (text.rfind(prefix, 0) == 0)
            return true;
    return false;
}

std::string tlsReasonOf(const OFCondition& cond)
{
    std::string text = cond.text();
    for (const std::string prefix : TlsPrefixes)
        if (text.rfind(prefix, 0) == 0)
            text.erase(0, prefix.size());
    return text;
}

void loadTlsLayer(DcmTLSTransportLayer& layer, bool server, const TlsFiles& files)
{
    const auto fail = [](const std::string& what) {
        throw Error(errc::Network, what + ": " + takeTlsReason("rejected by OpenSSL"), "TLS");
    };
    if (!layer)
        fail("Cannot set up TLS");
    ERR_clear_error();
    if (!files.caFile.empty()) {
        if (layer.addTrustedCertificateFile(files.caFile.c_str(), DCF_Filetype_PEM).bad())
            fail("The CA certificate file " + files.caFile.string() + " cannot be used");
        layer.setCertificateVerification(DCV_requireCertificate);
    } else {
        // A receiver without a CA file takes callers without asking for their certificate.
        layer.setCertificateVerification(DCV_ignoreCertificate);
    }
    if (!files.certificateFile.empty()) {
        if (const std::string why = privateKeyProblem(files.keyFile); !why.empty())
            throw Error(errc::Network, "The private key cannot be used: " + why, "TLS");
        // An empty password: a key protected by one fails here instead of asking on a terminal.
        layer.setPrivateKeyPasswd("");
        if (layer.setPrivateKeyFile(files.keyFile.c_str(), DCF_Filetype_PEM).bad())
            fail("The private key file " + files.keyFile.string() +
                 " cannot be loaded (no PEM key without a password)");
        if (layer.setCertificateFile(files.certificateFile.c_str(), DCF_Filetype_PEM).bad())
            fail("The certificate file " + files.certificateFile.string() + " cannot be loaded");
        if (!layer.checkPrivateKeyMatchesCertificate())
            throw Error(errc::Network,
                        "The private key " + files.keyFile.string() + " does not belong to the certificate " +
                            files.certificateFile.string(),
                        "TLS");
    }
    if (layer.setTLSProfile(TSP_Profile_BCP195).bad() || layer.activateCipherSuites().bad())
        fail("The TLS cipher suites cannot be set");
}

}  // namespace detail
}  // namespace corva::dicom
