// Associations against DCMTK's storescp as a real peer on 127.0.0.1.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "core/error.h"
#include "dicom/dicom.h"
#include "dicom_fixture.h"
#include "shell.h"
#include "store_scp.h"
#include "temp_dir.h"

using namespace corva;
using namespace corva::dicom;
using namespace std::chrono_literals;
using corva::test::filesIn;
using corva::test::StoreScp;

TEST(DicomAssociation, InitNetworkSwitchesOffNagle)
{
    initNetwork();
    ASSERT_NE(std::getenv("TCP_NODELAY"), nullptr);
    EXPECT_STREQ(std::getenv("TCP_NODELAY"), "1");
}

TEST(DicomAssociation, SendStoresTheImageAtThePeer)
{
    test::TempDir dir;
    std::filesystem::create_directories(dir / "in");
    StoreScp scp(dir / "in");

    corva::test::DicomRecipe recipe = test::latin1Recipe("Müller^Anna");
    recipe.sopClassUid = uid::DigitalMammographyForPresentation;
    recipe.modality = "MG";
    const auto file = test::writeDicom(dir / "mg.dcm", recipe);
    Image image = Image::read(file, ReadMode::HeaderOnly);  // send loads the pixels

    Association a;
    a.open("127.0.0.1", scp.port(), "CORVALIGHT", "STORESCP", Association::contextsFor({&image}));
    EXPECT_TRUE(a.isOpen());
    a.send(image);
    a.close();
    EXPECT_FALSE(a.isOpen());

    ASSERT_TRUE(test::waitUntil([&] { return filesIn(dir / "in").size() == 1; }, 20s));
    Image received = Image::read(filesIn(dir / "in").front());
    EXPECT_EQ(received.sopInstanceUid(), image.sopInstanceUid());
    EXPECT_EQ(received.patientName(), "Müller^Anna");
    EXPECT_EQ(received.render().pixels, Image::read(file).render().pixels);
}

TEST(DicomAssociation, CompressedImageGoesWithItsOwnSyntaxOrConverted)
{
    test::TempDir dir;
    std::filesystem::create_directories(dir / "in");
    StoreScp scp(dir / "in", {"+xa", "+uf"});  // any transfer syntax; both copies kept
    corva::test::DicomRecipe recipe;
    recipe.transferSyntax = uid::JpegLossless;
    Image image = Image::read(test::writeDicom(dir / "jpeg.dcm", recipe));

    Association a;
    a.open("127.0.0.1", scp.port(), "CORVALIGHT", "STORESCP", Association::contextsFor({&image}));
    a.send(image);
    a.close();  // storescp serves one association at a time
    // The default contexts are uncompressed only: the image is converted for them.
    Association b;
    b.open("127.0.0.1", scp.port(), "CORVALIGHT", "STORESCP");
    b.send(image);
    b.close();
    ASSERT_TRUE(test::waitUntil([&] { return filesIn(dir / "in").size() == 2; }, 20s));
    std::set<std::string> syntaxes;
    for (const auto& f : filesIn(dir / "in"))
        syntaxes.insert(Image::read(f).transferSyntax());
    EXPECT_TRUE(syntaxes.count(uid::JpegLossless));
    EXPECT_TRUE(syntaxes.count(uid::ExplicitLittleEndian) || syntaxes.count(uid::ImplicitLittleEndian));
}

// A file goes as it is stored, its pixel data read from the file while it is sent (2 MB,
// more than is loaded up front); a file that is missing, cut short or no DICOM is refused
// before any of it goes out, and the association carries on.
TEST(DicomAssociation, SendFileStreamsTheStoredFileAndRefusesBrokenOnesFirst)
{
    test::TempDir dir;
    std::filesystem::create_directories(dir / "in");
    StoreScp scp(dir / "in");
    corva::test::DicomRecipe recipe;
    recipe.sopClassUid = uid::DigitalMammographyForPresentation;
    recipe.modality = "MG";
    recipe.rows = 1024;
    recipe.columns = 1024;
    const auto good = test::writeDicom(dir / "good.dcm", recipe);
    {
        std::ofstream text(dir / "text.dcm");
        text << "no DICOM here, only a line of text that is long enough to be parsed as something\n";
    }
    struct Broken {
        const char* name;
        std::filesystem::path file;
        int code;
    };
    const std::vector<Broken> broken{
        {"missing", dir / "none.dcm", errc::NotFound},
        {"cut inside the pixel data", test::writeTruncatedCopy(good, dir / "cut.dcm", 1000), errc::NotDicom},
        {"one byte short", test::writeTruncatedCopy(good, dir / "short.dcm", 1), errc::NotDicom},
        {"no DICOM", dir / "text.dcm", errc::NotDicom},
    };
    const Image header = Image::read(good, ReadMode::HeaderOnly);
    Association a;
    a.open("127.0.0.1", scp.port(), "CORVALIGHT", "STORESCP", Association::contextsFor({&header}));
    for (const Broken& b : broken) {
        try {
            a.sendFile(b.file);
            ADD_FAILURE() << b.name << ": sent";
        } catch (const Error& e) {
            EXPECT_EQ(e.code(), b.code) << b.name << ": " << e.message();
        }
    }
    EXPECT_TRUE(a.isOpen());
    EXPECT_EQ(a.sendFile(good), header.sopInstanceUid());
    a.close();

    ASSERT_TRUE(test::waitUntil([&] { return filesIn(dir / "in").size() == 1; }, 20s));
    const Image received = Image::read(filesIn(dir / "in").front());
    EXPECT_EQ(received.sopInstanceUid(), header.sopInstanceUid());
    const Image original = Image::read(good);
    const std::string pixels = original.attributes().rawBytes({0x7FE0, 0x0010});
    EXPECT_EQ(pixels.size(), 1024u * 1024u * 2u);
    EXPECT_EQ(received.attributes().rawBytes({0x7FE0, 0x0010}), pixels);
}

TEST(DicomAssociation, OpenThrowsWhenNobodyAnswers)
{
    const int port = test::freePort();
    Association a;
    try {
        a.open("127.0.0.1", port, "CORVALIGHT", "NOBODY", {}, 3);
        FAIL() << "opened an association to a closed port";
    } catch (const Error& e) {
        EXPECT_EQ(e.code(), errc::Network);
        EXPECT_FALSE(e.message().empty());
    }
    EXPECT_FALSE(a.isOpen());
    EXPECT_THROW(a.send(test::makeImage()), Error);
}

TEST(DicomAssociation, OpenThrowsWhenThePeerRefuses)
{
    test::TempDir dir;
    StoreScp refusing(dir.path(), {"--refuse"});
    // A refusing peer never answers an echo: wait for its port instead.
    const auto until = std::chrono::steady_clock::now() + 20s;
    bool refused = false;
    while (!refused && std::chrono::steady_clock::now() < until) {
        try {
            Association a;
            a.open("127.0.0.1", refusing.port(), "CORVALIGHT", "STORESCP", {}, 2);
        } catch (const Error& e) {
            // "Connection refused" only means storescp is not listening yet.
            refused = e.code() == errc::Network && e.message().find("Rejected") != std::string::npos;
            if (!refused)
                std::this_thread::sleep_for(100ms);
        }
    }
    EXPECT_TRUE(refused);
}

TEST(DicomAssociation, SendThrowsWhenThePeerCannotStore)
{
    test::TempDir dir;
    std::filesystem::create_directories(dir / "gone");
    StoreScp scp(dir / "gone");
    std::filesystem::remove(dir / "gone");  // storescp answers "out of resources"

    Image image = test::makeImage();
    Association a;
    a.open("127.0.0.1", scp.port(), "CORVALIGHT", "STORESCP", Association::contextsFor({&image}));
    try {
        a.send(image);
        FAIL() << "the refused image counted as sent";
    } catch (const Error& e) {
        EXPECT_EQ(e.code(), errc::Network);
        EXPECT_NE(e.message().find("refused"), std::string::npos) << e.message();
    }
}

TEST(DicomAssociation, SendThrowsWhenNoContextFitsTheSopClass)
{
    test::TempDir dir;
    StoreScp scp(dir.path());
    corva::test::DicomRecipe recipe;
    recipe.sopClassUid = "1.2.840.10008.5.1.4.1.1.77.1.5.1";  // ophthalmic photography
    Image image = test::makeImage(recipe);
    Association a;
    a.open("127.0.0.1", scp.port(), "CORVALIGHT", "STORESCP",
           {{uid::ComputedRadiography, {uid::ExplicitLittleEndian}}});
    EXPECT_THROW(a.send(image), Error);
}
