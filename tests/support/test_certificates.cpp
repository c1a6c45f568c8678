#include "test_certificates.h"

#include <stdexcept>

#include "child_process.h"

namespace corva::test {

namespace {

void run(const std::vector<std::string>& argv)
{
    const CommandResult result = runCommand(argv, 60s);
    if (result.code != 0)
        throw std::runtime_error("openssl failed: " + result.output);
}

}  // namespace

TestCertificates::TestCertificates()
{
    run({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key("ca").string(), "-out",
         ca().string(), "-days", "2", "-subj", "/CN=Corvalight Test CA"});
    make("server", true);
    make("client", true);
    make("untrusted", false);
}

void TestCertificates::make(const std::string& name, bool signedByCa)
{
    if (!signedByCa) {
        run({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key(name).string(), "-out",
             certificate(name).string(), "-days", "2", "-subj", "/CN=" + name});
    } else {
        const std::string request = (dir_ / (name + ".csr")).string();
        run({"openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", key(name).string(), "-out", request,
             "-subj", "/CN=" + name});
        run({"openssl", "x509", "-req", "-in", request, "-CA", ca().string(), "-CAkey", key("ca").string(),
             "-CAcreateserial", "-out", certificate(name).string(), "-days", "2"});
    }
    std::filesystem::permissions(key(name), std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

dicom::TlsFiles TestCertificates::files(const std::string& name) const
{
    if (name.empty())
        return dicom::TlsFiles{ca(), {}, {}};
    return dicom::TlsFiles{ca(), certificate(name), key(name)};
}

std::vector<std::string> TestCertificates::dcmtkOptions(const std::string& name) const
{
    return {"+tls", key(name).string(), certificate(name).string(), "-pw", "+cf", ca().string()};
}

}  // namespace corva::test
