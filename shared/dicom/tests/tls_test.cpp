// DICOM over TLS through the adapter: DCMTK's storescp +tls as the destination, our
// receiver's TLS port with storescu +tls as the caller, certificates made by openssl.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "core/error.h"
#include "dicom/dicom.h"
#include "dicom/storage_server.h"
#include "dicom_fixture.h"
#include "shell.h"
#include "store_scp.h"
#include "temp_dir.h"
#include "test_certificates.h"

using namespace corva;
using namespace corva::dicom;
using namespace std::chrono_literals;
using corva::test::filesIn;
using corva::test::StoreScp;
using corva::test::TestCertificates;

namespace {

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The message Association::open throws, empty when it opens.
std::string openFailure(int port, const std::string& calledAe, const std::optional<TlsFiles>& tls)
{
    try {
        Association a;
        a.open("127.0.0.1", port, "CORVALIGHT", calledAe, {}, 5, 10, tls);
        a.echo();
    } catch (const Error& e) {
        return e.message();
    }
    return {};
}

}  // namespace

TEST(DicomTls, SendsOverTlsToStorescpWithOrWithoutAClientCertificate)
{
    const TestCertificates certs;
    test::TempDir dir;
    // storescp asks for a client certificate by default (-rc); -ic leaves it out.
    struct Case {
        std::vector<std::string> peerChecks;
        std::string client;
    };
    for (const Case& c : {Case{{}, "client"}, Case{{"-ic"}, ""}}) {
        SCOPED_TRACE(c.client.empty() ? "no client certificate" : "client certificate");
        const auto in = dir / ("in" + c.client);
        std::filesystem::create_directories(in);
        std::vector<std::string> options = certs.dcmtkOptions("server");
        options.insert(options.end(), c.peerChecks.begin(), c.peerChecks.end());
        StoreScp scp(in, options, "ARCHIVE", certs.files("client"));

        const auto file = test::writeDicom(dir / ("mg" + c.client + ".dcm"), {});
        OutgoingFile outgoing = OutgoingFile::read(file);
        Association a;
        a.open("127.0.0.1", scp.port(), "CORVALIGHT", "ARCHIVE", Association::contextsFor({&outgoing}), 10, 30,
               certs.files(c.client));
        EXPECT_EQ(a.send(std::move(outgoing)).status, StoreStatus::Success);
        a.close();

        ASSERT_TRUE(test::waitUntil([&] { return filesIn(in).size() == 1; }, 20s));
        EXPECT_EQ(Image::read(filesIn(in).front()).render().pixels, Image::read(file).render().pixels);
    }
}

TEST(DicomTls, RefusesADestinationTheCaDoesNotVouchFor)
{
    const TestCertificates certs;
    test::TempDir dir;
    StoreScp scp(dir.path(), {"+tls", certs.key("untrusted").string(), certs.certificate("untrusted").string(),
                              "-pw", "-ic"},
                 "ARCHIVE", TlsFiles{certs.certificate("untrusted"), {}, {}});
    const std::string why = openFailure(scp.port(), "ARCHIVE", certs.files(""));
    EXPECT_TRUE(contains(why, "TLS handshake with ARCHIVE at 127.0.0.1:" + std::to_string(scp.port()) +
                                  " failed: certificate verify failed"))
        << why;
    // Plain DICOM to a TLS port does not get through either.
    EXPECT_FALSE(openFailure(scp.port(), "ARCHIVE", std::nullopt).empty());
}

TEST(DicomTls, FilesThatCannotServeAreRefusedBeforeConnecting)
{
    const TestCertificates certs;
    test::TempDir dir;
    const auto openKey = dir / "open.key";
    std::filesystem::copy_file(certs.key("client"), openKey);
    std::filesystem::permissions(openKey, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                                              std::filesystem::perms::others_read);
    const auto linkToOpenKey = dir / "link.key";
    std::filesystem::create_symlink(openKey, linkToOpenKey);
    const auto empty = dir / "empty.pem";
    test::writeFile(empty, "");
    const auto garbage = dir / "garbage.pem";
    test::writeFile(garbage, std::string(1 << 20, 'x'));
    struct Case {
        const char* name;
        TlsFiles files;
        const char* why;
    };
    const std::vector<Case> cases{
        {"no CA", {{}, {}, {}}, "no CA certificate file given"},
        {"missing CA", {dir / "none.pem", {}, {}}, "is missing"},
        {"key open to all", {certs.ca(), certs.certificate("client"), openKey}, "is open to every user (mode 0604)"},
        {"key of another certificate", {certs.ca(), certs.certificate("client"), certs.key("server")},
         "does not belong to the certificate"},
        {"certificate without key", {certs.ca(), certs.certificate("client"), {}}, "needs its private key"},
        {"link to a key open to all", {certs.ca(), certs.certificate("client"), linkToOpenKey}, "is open to every user"},
        {"empty CA", {empty, {}, {}}, "cannot be used"},
        {"garbage CA", {garbage, {}, {}}, "cannot be used"},
        {"empty certificate", {certs.ca(), empty, certs.key("client")}, "cannot be loaded"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string why = tlsClientProblem(c.files);
        EXPECT_TRUE(contains(why, c.why)) << why;
        // The key's contents never appear in a message.
        EXPECT_FALSE(contains(why, "PRIVATE KEY")) << why;
        EXPECT_TRUE(contains(openFailure(test::freePort(), "ARCHIVE", c.files), c.why));
    }
    EXPECT_EQ(tlsClientProblem(certs.files("client")), "");
    EXPECT_EQ(tlsServerProblem(certs.files("server")), "");
    EXPECT_TRUE(contains(tlsServerProblem(TlsFiles{{}, certs.certificate("server"), openKey}), "open to every user"));
}
