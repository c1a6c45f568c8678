// Recvora's TLS port beside its plain one: DCMTK's storescu +tls as the caller,
// certificates made by openssl.
#include <gtest/gtest.h>

#include "dicom_fixture.h"
#include "receiver_service.h"
#include "recvora_harness.h"
#include "test_certificates.h"

#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <thread>

namespace corva::test {
namespace {

namespace fs = std::filesystem;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

bool logShows(const ReceiverSite& site, const std::string& text)
{
    return waitUntil([&] { return contains(site.logText(), text); }, 30s);
}

// The data set of a file as it lies after the meta information: what a receiver must
// keep unchanged.
std::string datasetBytes(const fs::path& file)
{
    const std::string bytes = readFile(file);
    // Preamble, "DICM", then (0002,0000) UL with the length of the rest of the meta group.
    if (bytes.size() < 144 || bytes.compare(128, 4, "DICM") != 0)
        return {};
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data()) + 140;
    const std::size_t metaLength = p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::size_t>(p[3]) << 24);
    return bytes.substr(144 + metaLength);
}

// A site whose receiver takes TLS on a port of its own with the server certificate;
// with `checkCallers` only callers with a certificate of the test CA.
class TlsSite {
public:
    explicit TlsSite(bool checkCallers, std::vector<std::string> more = {})
        : tlsPort_(freePort())
    {
        std::vector<std::string> lines{"IR_TLSPort=" + std::to_string(tlsPort_),
                                       "IR_TLSCertFile=" + certs_.certificate("server").string(),
                                       "IR_TLSKeyFile=" + certs_.key("server").string()};
        if (checkCallers)
            lines.push_back("IR_TLSCAFile=" + certs_.ca().string());
        lines.insert(lines.end(), more.begin(), more.end());
        site_.writeSettings(site_.aeTitle(), std::to_string(site_.port()), lines);
    }
    ReceiverSite& site() { return site_; }
    const TestCertificates& certs() const { return certs_; }
    int tlsPort() const { return tlsPort_; }

    // storescu to the TLS port with the given TLS options.
    CommandResult sendOverTls(const fs::path& file, const std::vector<std::string>& tlsOptions) const
    {
        return runCommand(site_.storescuArgs({file}, tlsOptions, tlsPort_), 120s);
    }

private:
    TestCertificates certs_;
    ReceiverSite site_;
    int tlsPort_;
};

TEST(RecvoraTlsTest, ReceivesOverTlsBesideThePlainPortAndKeepsTheImageUnchanged)
{
    TlsSite tls(true);
    auto receiver = tls.site().startReceiver();
    TempDir src("corva-tls-src");
    DicomRecipe mammo;
    mammo.sopClassUid = corva::dicom::uid::DigitalMammographyForPresentation;
    mammo.modality = "MG";
    mammo.sopInstanceUid = "1.2.826.0.1.3680043.2.1125.77.1";
    const fs::path secure = writeDicom(src / "secure.dcm", mammo);
    DicomRecipe plain;
    plain.sopInstanceUid = "1.2.826.0.1.3680043.2.1125.77.2";
    const fs::path open = writeDicom(src / "plain.dcm", plain);

    const CommandResult overTls = tls.sendOverTls(secure, tls.certs().dcmtkOptions("client"));
    ASSERT_EQ(overTls.code, 0) << overTls.output << tls.site().logText();
    const CommandResult overPlain = tls.site().send({open});
    ASSERT_EQ(overPlain.code, 0) << overPlain.output;

    EXPECT_EQ(tls.site().tempFiles(),
              (std::vector<std::string>{mammo.sopInstanceUid + ".dcm", plain.sopInstanceUid + ".dcm"}));
    const fs::path received = tls.site().temp() / (mammo.sopInstanceUid + ".dcm");
    const std::string sent = datasetBytes(secure);
    ASSERT_FALSE(sent.empty());
    EXPECT_TRUE(datasetBytes(received) == sent) << "the data set changed on its way";
    const std::string log = tls.site().logText();
    EXPECT_TRUE(contains(log, "TLS on port " + std::to_string(tls.tlsPort()) + ", callers' certificates checked against " +
                                  tls.certs().ca().string()))
        << log;
    EXPECT_TRUE(logShows(tls.site(), "released: 1 stored, 0 refused")) << tls.site().logText();
    EXPECT_FALSE(contains(tls.site().logText(), "PRIVATE KEY"));
}

TEST(RecvoraTlsTest, TlsPortClosesCallersThatDoNotPassAndGoesOn)
{
    TlsSite tls(true);
    auto receiver = tls.site().startReceiver();
    TempDir src("corva-tls-src");
    const fs::path file = writeDicom(src / "a.dcm", {});
    const std::vector<std::string> anonymous{"+tla", "+cf", tls.certs().ca().string()};
    struct Case {
        const char* name;
        std::vector<std::string> options;
        std::string logLine;
    };
    const std::vector<Case> cases{
        {"plain DICOM", {}, "to the TLS port did not begin with a TLS handshake"},
        {"no client certificate", anonymous, "TLS handshake with 127.0.0.1 failed: peer did not return a certificate"},
        {"untrusted client certificate",
         {"+tls", tls.certs().key("untrusted").string(), tls.certs().certificate("untrusted").string(), "-pw", "+cf",
          tls.certs().ca().string()},
         "TLS handshake with 127.0.0.1 failed: certificate verify failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const CommandResult result = tls.sendOverTls(file, c.options);
        EXPECT_NE(result.code, 0) << result.output;
        EXPECT_TRUE(logShows(tls.site(), c.logLine)) << tls.site().logText();
        EXPECT_TRUE(tls.site().tempFiles().empty());
    }
    // The receiver goes on: a caller with its certificate stores.
    const CommandResult good = tls.sendOverTls(file, tls.certs().dcmtkOptions("client"));
    EXPECT_EQ(good.code, 0) << good.output;
    EXPECT_EQ(tls.site().tempFiles().size(), 1u);
}

// A TLS caller that completes its handshake, sends the first bytes of an association
// request and then says nothing more.
class StalledTlsCaller {
public:
    explicit StalledTlsCaller(int port)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(port));
        ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
            return;
        ssl_.reset(SSL_new(context_.get()));
        SSL_set_fd(ssl_.get(), fd_);
        const unsigned char start[] = {0x01, 0x00, 0x00, 0x00};  // A-ASSOCIATE-RQ, its length yet to come
        connected_ = SSL_connect(ssl_.get()) == 1 && SSL_write(ssl_.get(), start, sizeof start) == sizeof start;
    }
    ~StalledTlsCaller()
    {
        ssl_.reset();
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool connected() const { return connected_; }
    // Still open: the receiver has neither closed the connection nor answered (what it
    // sends after the handshake, e.g. session tickets, is no answer).
    bool stillWaiting() const
    {
        ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
        unsigned char byte = 0;
        const int n = SSL_read(ssl_.get(), &byte, 1);
        return n <= 0 && SSL_get_error(ssl_.get(), n) == SSL_ERROR_WANT_READ;
    }

private:
    struct ContextFree {
        void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
    };
    struct SslFree {
        void operator()(SSL* s) const { SSL_free(s); }
    };
    std::unique_ptr<SSL_CTX, ContextFree> context_{SSL_CTX_new(TLS_client_method())};
    std::unique_ptr<SSL, SslFree> ssl_;
    int fd_ = -1;
    bool connected_ = false;
};

// A caller stalled inside its association request holds up neither the plain port nor
// other TLS callers.
TEST(RecvoraTlsTest, ACallerStalledInItsRequestHoldsUpNoOtherCaller)
{
    TlsSite tls(false);
    auto receiver = tls.site().startReceiver();
    TempDir src("corva-tls-src");
    DicomRecipe first;
    first.sopInstanceUid = "1.2.826.0.1.3680043.2.1125.78.1";
    DicomRecipe second;
    second.sopInstanceUid = "1.2.826.0.1.3680043.2.1125.78.2";
    const fs::path plainFile = writeDicom(src / "plain.dcm", first);
    const fs::path tlsFile = writeDicom(src / "tls.dcm", second);

    {
        StalledTlsCaller stalled(tls.tlsPort());
        ASSERT_TRUE(stalled.connected());
        // Lets the receiver take the stalled caller's first bytes before the others come.
        std::this_thread::sleep_for(1s);
        const CommandResult plain = tls.site().send({plainFile});
        EXPECT_EQ(plain.code, 0) << plain.output << tls.site().logText();
        const CommandResult secure = tls.sendOverTls(tlsFile, {"+tla", "+cf", tls.certs().ca().string()});
        EXPECT_EQ(secure.code, 0) << secure.output << tls.site().logText();
        EXPECT_EQ(tls.site().tempFiles().size(), 2u);
        // Both were served while the stalled caller still waited, not after it was dropped.
        EXPECT_TRUE(stalled.stillWaiting()) << tls.site().logText();
    }
    // The log says the handshake went through and the request did not.
    EXPECT_TRUE(logShows(tls.site(), "over TLS: the handshake succeeded, then no association request"))
        << tls.site().logText();
}

TEST(RecvoraTlsTest, WithoutACaFileCallersNeedNoCertificate)
{
    TlsSite tls(false);
    auto receiver = tls.site().startReceiver();
    TempDir src("corva-tls-src");
    const fs::path file = writeDicom(src / "a.dcm", {});
    const CommandResult result = tls.sendOverTls(file, {"+tla", "+cf", tls.certs().ca().string()});
    EXPECT_EQ(result.code, 0) << result.output << tls.site().logText();
    EXPECT_EQ(tls.site().tempFiles().size(), 1u);
    EXPECT_TRUE(contains(tls.site().logText(), "callers' certificates not asked for")) << tls.site().logText();
}

TEST(RecvoraTlsTest, InvalidTlsSettingsEndWithAClearLogLine)
{
    struct Case {
        const char* name;
        std::function<std::vector<std::string>(const TlsSite&)> lines;
        std::string line;
    };
    const std::vector<Case> cases{
        {"not a port", [](const TlsSite&) { return std::vector<std::string>{"IR_TLSPort=27x"}; },
         "invalid TLS port \"27x\""},
        {"the plain port",
         [](const TlsSite& s) { return std::vector<std::string>{"IR_TLSPort=" + std::to_string(s.tlsPort())}; },
         "is the plain port too"},
        {"no key", [](const TlsSite&) { return std::vector<std::string>{"IR_TLSKeyFile="}; },
         "a TLS port needs a certificate and a private key"},
        {"key open to every user", [](const TlsSite&) { return std::vector<std::string>{}; }, "is open to every user"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TlsSite probe(true);
        // The lines of the case replace the site's own.
        std::vector<std::string> lines{"IR_TLSPort=" + std::to_string(probe.tlsPort()),
                                       "IR_TLSCertFile=" + probe.certs().certificate("server").string(),
                                       "IR_TLSKeyFile=" + probe.certs().key("server").string()};
        for (const std::string& replacement : c.lines(probe)) {
            const std::string key = replacement.substr(0, replacement.find('='));
            for (std::string& line : lines)
                if (line.rfind(key + "=", 0) == 0)
                    line = replacement;
        }
        const std::string plainPort = std::string(c.name) == "the plain port" ? std::to_string(probe.tlsPort())
                                                                             : std::to_string(probe.site().port());
        probe.site().writeSettings(probe.site().aeTitle(), plainPort, lines);
        if (std::string(c.name) == "key open to every user")
            fs::permissions(probe.certs().key("server"), fs::perms::others_read, fs::perm_options::add);
        probe.site().install("Recvora");
        auto receiver = probe.site().start("Recvora");
        const auto code = receiver->wait(30s);
        ASSERT_TRUE(code.has_value());
        EXPECT_EQ(*code, corva::receiver::ReceiverService::BadSettings);
        EXPECT_TRUE(contains(probe.site().logText(), "Recvora cannot start: ")) << probe.site().logText();
        EXPECT_TRUE(contains(probe.site().logText(), c.line)) << probe.site().logText();
    }
}

}  // namespace
}  // namespace corva::test
