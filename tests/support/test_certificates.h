#pragma once
// Certificates made by openssl for the TLS tests, in a temporary folder: a CA, a server
// and a client certificate it signed, and a self-signed certificate nobody trusts. Keys
// are unencrypted PEM, readable by their owner only.
#include <filesystem>
#include <string>
#include <vector>

#include "dicom/tls.h"
#include "temp_dir.h"

namespace corva::test {

class TestCertificates {
public:
    TestCertificates();

    std::filesystem::path ca() const { return dir_ / "ca.pem"; }
    std::filesystem::path certificate(const std::string& name) const { return dir_ / (name + ".pem"); }
    std::filesystem::path key(const std::string& name) const { return dir_ / (name + ".key"); }

    // Our side's files: `name`'s certificate and key ("server", "client", "untrusted"; empty:
    // none), checked against the CA.
    dicom::TlsFiles files(const std::string& name) const;
    // storescu/storescp options for DCMTK's TLS with `name`'s certificate and key,
    // trusting the CA.
    std::vector<std::string> dcmtkOptions(const std::string& name) const;

private:
    void make(const std::string& name, bool signedByCa);
    TempDir dir_{"corva-certs"};
};

}  // namespace corva::test
