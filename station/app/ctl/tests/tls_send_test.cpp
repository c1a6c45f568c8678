// corvactl sending to destinations of the list set to use TLS, with DCMTK's storescp +tls
// as the archive and certificates made by openssl.
#include <gtest/gtest.h>

#include <filesystem>

#include "ctl_site.h"
#include "dicom/dicom.h"
#include "dicom_fixture.h"
#include "settings/tls_settings.h"
#include "shell.h"
#include "store_scp.h"
#include "test_certificates.h"

namespace corva::station::ctl::test {
namespace {

namespace fs = std::filesystem;
using corva::test::StoreScp;
using corva::test::TestCertificates;

const std::string Study = "1.2.826.0.1.3680043.9.7740.1";
const std::string Series = Study + ".1";

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class TlsSendTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::vector<std::string> args{"import"};
        for (int n = 1; n <= 2; ++n) {
            corva::test::DicomRecipe r;
            r.studyUid = Study;
            r.seriesUid = Series;
            r.sopInstanceUid = Series + "." + std::to_string(n);
            r.instanceNumber = n;
            args.push_back(corva::test::writeDicom(site_.scratch() / (r.sopInstanceUid + ".dcm"), r).string());
        }
        const CtlResult r = site_.run(args);
        ASSERT_EQ(r.code, 0) << r.err;
        ASSERT_TRUE(site_.waitForImages(2));
    }

    // A destination of the list named `alias` at `port`, with its TLS values in the settings.
    void addDestination(const std::string& alias, int port, const settings::DestinationTls& tls) {
        std::int64_t id = 0;
        {
            db::Database userDb(site_.userDb());
            auto st = userDb.prepare("INSERT INTO tblSCP (Alias, AET, IP, Port) VALUES (?, 'ARCHIVE', '127.0.0.1', ?)");
            st.bind(1, alias).bind(2, port);
            st.run();
            id = userDb.lastInsertRowId();
        }
        const std::string key = std::to_string(id) + "_";
        tlsLines_.insert(tlsLines_.end(), {key + "Use=" + (tls.use ? "1" : "0"), key + "CAFile=" + tls.caFile,
                                           key + "CertFile=" + tls.certificateFile, key + "KeyFile=" + tls.keyFile});
        std::vector<std::string> lines{"[SCP_TLS]"};
        lines.insert(lines.end(), tlsLines_.begin(), tlsLines_.end());
        site_.site().writeSettings(site_.site().aeTitle(), std::to_string(site_.site().port()), lines);
    }

    std::int64_t images() const { return site_.count("SELECT COUNT(*) FROM tblImages"); }

    CtlSite site_;
    TestCertificates certs_;
    std::vector<std::string> tlsLines_;
};

TEST_F(TlsSendTest, SendsOverTlsWithAClientCertificateAndListsHowEachDestinationIsReached) {
    const fs::path received = site_.scratch() / "received";
    fs::create_directories(received);
    // storescp asks for the client's certificate (its default).
    StoreScp scp(received, certs_.dcmtkOptions("server"), "ARCHIVE", certs_.files("client"));
    addDestination("Secure", scp.port(),
                   {true, certs_.ca().string(), certs_.certificate("client").string(), certs_.key("client").string()});
    addDestination("Plain", 104, {});

    CtlResult r = site_.run({"list", "destinations"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "Alias\tAET\tHost\tPort\tDefault\tCommitment\tTransport\tCA file\tClient certificate\tClient key\n"))
        << r.out;
    EXPECT_TRUE(contains(r.out, "Plain\tARCHIVE\t127.0.0.1\t104\tno\tno\tplain\t\t\t\n")) << r.out;
    EXPECT_TRUE(contains(r.out, "Secure\tARCHIVE\t127.0.0.1\t" + std::to_string(scp.port()) + "\tno\tno\tTLS\t" +
                                    certs_.ca().string() + "\t" + certs_.certificate("client").string() + "\t" +
                                    certs_.key("client").string() + "\n"))
        << r.out;

    r = site_.run({"send", "--series", Series, "--to", "secure", "--no-keep"});
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "Sending Series ... OK\n2 of 2 images successfully sent.\nUpdating Database ... OK\n"
                     "Removing images ... OK\nTasks done!\n");
    EXPECT_EQ(images(), 0);
    std::vector<std::string> uids;
    for (const auto& e : fs::directory_iterator(received))
        uids.push_back(dicom::Image::read(e.path(), dicom::ReadMode::HeaderOnly).sopInstanceUid());
    std::sort(uids.begin(), uids.end());
    EXPECT_EQ(uids, (std::vector<std::string>{Series + ".1", Series + ".2"}));
}

TEST_F(TlsSendTest, AnArchiveTheCaDoesNotVouchForIsRefusedAndNothingIsRemoved) {
    const fs::path received = site_.scratch() / "received";
    fs::create_directories(received);
    StoreScp scp(received,
                 {"+tls", certs_.key("untrusted").string(), certs_.certificate("untrusted").string(), "-pw", "-ic"},
                 "ARCHIVE", dicom::TlsFiles{certs_.certificate("untrusted"), {}, {}});
    addDestination("Secure", scp.port(), {true, certs_.ca().string(), "", ""});

    CtlResult r = site_.run({"send", "--series", Series, "--to", "secure", "--no-keep"});
    EXPECT_EQ(r.code, 1) << r.out << r.err;
    EXPECT_TRUE(contains(r.err, "TLS handshake with ARCHIVE at 127.0.0.1:" + std::to_string(scp.port()) +
                                    " failed: certificate verify failed"))
        << r.err;
    // <AET>@<host>:<port> stays plain DICOM: the TLS port does not take it either.
    r = site_.run({"send", "--series", Series, "--to", "ARCHIVE@127.0.0.1:" + std::to_string(scp.port()),
                   "--no-keep"});
    EXPECT_EQ(r.code, 1) << r.out << r.err;
    EXPECT_FALSE(contains(r.err, "TLS")) << r.err;

    EXPECT_EQ(images(), 2);
    for (int n = 1; n <= 2; ++n)
        EXPECT_TRUE(fs::exists(site_.folder() / "Images" / Study / (Series + "." + std::to_string(n) + ".dcm")));
    EXPECT_TRUE(fs::is_empty(received));
}

TEST_F(TlsSendTest, AClientKeyOpenToEveryUserIsRefusedWithoutSendingAnything) {
    const fs::path received = site_.scratch() / "received";
    fs::create_directories(received);
    StoreScp scp(received, certs_.dcmtkOptions("server"), "ARCHIVE", certs_.files("client"));
    fs::permissions(certs_.key("client"), fs::perms::others_read, fs::perm_options::add);
    addDestination("Secure", scp.port(),
                   {true, certs_.ca().string(), certs_.certificate("client").string(), certs_.key("client").string()});

    const CtlResult r = site_.run({"send", "--series", Series, "--to", "secure", "--no-keep"});
    EXPECT_EQ(r.code, 1) << r.out << r.err;
    EXPECT_TRUE(contains(r.err, "is open to every user")) << r.err;
    EXPECT_FALSE(contains(r.err + r.out, "PRIVATE KEY"));
    EXPECT_EQ(images(), 2);
    EXPECT_TRUE(fs::is_empty(received));
}

}  // namespace
}  // namespace corva::station::ctl::test
