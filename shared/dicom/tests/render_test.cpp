// Rendering: window, scaling, compressed input, JPEG output.
#include <gtest/gtest.h>

#include <cstdlib>

#include "core/error.h"
#include "dicom/dicom.h"
#include "dicom_fixture.h"
#include "temp_dir.h"

using namespace corva;
using namespace corva::dicom;
using corva::test::DicomRecipe;

namespace {

DicomRecipe gradient(int rows, int columns, int bits)
{
    DicomRecipe recipe;
    recipe.rows = rows;
    recipe.columns = columns;
    recipe.bitsAllocated = bits;
    return recipe;
}

int at(const Bitmap& b, int x, int y) { return b.pixels[static_cast<std::size_t>(y) * b.width + x]; }

}  // namespace

TEST(DicomRender, MinMaxWindowMapsTheGradientOntoFullGrey)
{
    // 8 bits, no window in the header: min..max becomes 0..255, so column x shows x.
    Image image = test::makeImage(gradient(16, 256, 8));
    const Bitmap b = image.render();
    ASSERT_EQ(b.width, 256);
    ASSERT_EQ(b.height, 16);
    ASSERT_EQ(b.channels, 1);
    ASSERT_EQ(b.pixels.size(), 256u * 16u);
    for (int x : {0, 1, 100, 200, 255})
        EXPECT_NEAR(at(b, x, 8), x, 1) << "x=" << x;
    EXPECT_EQ(at(b, 37, 0), at(b, 37, 15));
}

TEST(DicomRender, HeaderWindowIsUsed)
{
    // 12-bit gradient 0..4095 across 256 columns; a window covering the lower half
    // saturates the right half to white.
    DicomRecipe recipe = gradient(8, 256, 16);
    recipe.extra = {{{0x0028, 0x1050}, "1024\\3000"}, {{0x0028, 0x1051}, "2048\\500"}};
    const Bitmap b = test::makeImage(recipe).render();
    EXPECT_LE(at(b, 0, 0), 1);
    EXPECT_NEAR(at(b, 64, 0), 128, 3);
    EXPECT_EQ(at(b, 200, 0), 255);
}

TEST(DicomRender, ScalesToFitKeepingTheAspect)
{
    Image image = test::makeImage(gradient(100, 400, 16));
    const Bitmap small = image.render(200, 200);
    EXPECT_EQ(small.width, 200);
    EXPECT_EQ(small.height, 50);
    EXPECT_EQ(small.pixels.size(), 200u * 50u);
    EXPECT_LE(at(small, 0, 25), 3);
    EXPECT_GE(at(small, 199, 25), 250);
    for (int x = 1; x < 200; ++x)
        ASSERT_GE(at(small, x, 25), at(small, x - 1, 25)) << "x=" << x;

    const Bitmap tall = image.render(1000, 50);
    EXPECT_EQ(tall.width, 200);
    EXPECT_EQ(tall.height, 50);
}

struct ShrinkCase {
    const char* name;
    std::vector<std::pair<Tag, std::string>> extra;
    bool isSigned = false;  // the ramp runs from -2048 to 2047
};

class DicomRenderShrink : public ::testing::TestWithParam<ShrinkCase> {};

void PrintTo(const ShrinkCase& c, std::ostream* os) { *os << c.name; }

// Shrinking an uncompressed greyscale image takes a direct path; the same image
// JPEG-lossless compressed goes through DCMTK's DicomImage. Both must look alike.
TEST_P(DicomRenderShrink, DirectPathMatchesTheToolkit)
{
    test::TempDir dir;
    const int rows = 301, columns = 407;
    Image image = test::makeImage(gradient(rows, columns, 16));
    std::vector<std::uint8_t> bytes;
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < columns; ++x) {
            const int ramp = (x * 4095 / (columns - 1) + y * 4095 / (rows - 1)) / 2;
            const int v = (GetParam().isSigned ? ramp - 2048 : ramp) & 0x0FFF;
            bytes.push_back(static_cast<std::uint8_t>(v & 0xFF));
            bytes.push_back(static_cast<std::uint8_t>(v >> 8));
        }
    image.setPixelData(rows, columns, 16, bytes);
    image.attributes().set(Tag{0x0028, 0x0101}, 12.0);
    image.attributes().set(Tag{0x0028, 0x0102}, 11.0);
    for (const auto& [tag, value] : GetParam().extra)
        image.attributes().set(tag, value);
    image.write(dir / "plain.dcm");
    image.write(dir / "jpeg.dcm", std::string(uid::JpegLossless));

    for (auto [w, h] : {std::pair{130, 130}, std::pair{97, 300}, std::pair{400, 40}}) {
        const Bitmap direct = Image::read(dir / "plain.dcm").render(w, h);
        const Bitmap toolkit = Image::read(dir / "jpeg.dcm").render(w, h);
        ASSERT_EQ(direct.width, toolkit.width);
        ASSERT_EQ(direct.height, toolkit.height);
        ASSERT_EQ(direct.pixels.size(), toolkit.pixels.size());
        int worst = 0;
        for (std::size_t i = 0; i < direct.pixels.size(); ++i)
            worst = std::max(worst, std::abs(direct.pixels[i] - toolkit.pixels[i]));
        EXPECT_LE(worst, 3) << w << "x" << h;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DicomRenderShrink,
    ::testing::Values(
        ShrinkCase{"window", {{{0x0028, 0x1050}, "1500\\100"}, {{0x0028, 0x1051}, "2000\\50"}}},
        ShrinkCase{"min_max", {}},
        ShrinkCase{"monochrome1", {{{0x0028, 0x0004}, "MONOCHROME1"}, {{0x0028, 0x1050}, "2048"}, {{0x0028, 0x1051}, "4096"}}},
        ShrinkCase{"signed_rescaled",
                   {{{0x0028, 0x0103}, "1"}, {{0x0028, 0x1052}, "-100"}, {{0x0028, 0x1053}, "2"},
                    {{0x0028, 0x1050}, "0"}, {{0x0028, 0x1051}, "3000"}},
                   true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DicomRender, CompressedInputRendersLikeUncompressed)
{
    test::TempDir dir;
    DicomRecipe recipe = gradient(64, 128, 16);
    const Bitmap plain = test::makeImage(recipe).render();
    // JPEG lossless and JPEG-LS lossless
    for (const char* xfer : {uid::JpegLossless, "1.2.840.10008.1.2.4.80"}) {
        recipe.transferSyntax = xfer;
        const Bitmap decoded = Image::read(test::writeDicom(dir / (std::string(xfer) + ".dcm"), recipe)).render();
        EXPECT_EQ(decoded.pixels, plain.pixels) << xfer;
    }
}

// Compressed images as other systems write them (JPEG-LS by DCMTK's dcmcjpls, JPEG 2000
// by GDCM's gdcmconv, both lossless): shown like the original, and exported as JPEG from
// the same decoded image as from a fresh read, as the viewer and the export do.
TEST(DicomRender, JpegLsAndJpeg2000FromOtherEncodersShowAndExport)
{
    struct Case {
        const char* name;
        const char* command;  // %s: input, output
        int bits;
    };
    for (const Case& c : {Case{"JPEG-LS", "dcmcjpls '%s' '%s'", 16}, Case{"JPEG 2000", "gdcmconv --j2k '%s' '%s'", 16},
                          Case{"JPEG 2000, 8 bits", "gdcmconv --j2k '%s' '%s'", 8}}) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        const auto plainFile = test::writeDicom(dir / "plain.dcm", gradient(64, 128, c.bits));
        const auto packed = dir / "packed.dcm";
        std::string command(c.command);
        command.replace(command.find("%s"), 2, plainFile.string());
        command.replace(command.find("%s"), 2, packed.string());
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        const Image image = Image::read(packed);
        EXPECT_NE(image.attributes().get(Tag{0x0002, 0x0010}).text, uid::ExplicitLittleEndian);
        EXPECT_EQ(image.render().pixels, Image::read(plainFile).render().pixels);
        // shrunk: the toolkit's scaling for compressed pixels, our own area average for the plain ones
        const Bitmap small = image.render(32, 16), plainSmall = Image::read(plainFile).render(32, 16);
        ASSERT_EQ(small.pixels.size(), plainSmall.pixels.size());
        for (std::size_t i = 0; i < small.pixels.size(); ++i)
            ASSERT_NEAR(small.pixels[i], plainSmall.pixels[i], 2) << i;
        image.writeJpeg(dir / "shown.jpg", 80);
        EXPECT_GT(std::filesystem::file_size(dir / "shown.jpg"), 100u);
        Image::read(packed).writeJpeg(dir / "fresh.jpg", 80);
        EXPECT_EQ(test::readFile(dir / "fresh.jpg"), test::readFile(dir / "shown.jpg"));
    }
}

TEST(DicomRender, BrokenJpeg2000IsAClearError)
{
    test::TempDir dir;
    const auto plainFile = test::writeDicom(dir / "plain.dcm", gradient(64, 128, 16));
    const auto packed = dir / "packed.dcm";
    ASSERT_EQ(std::system(("gdcmconv --j2k '" + plainFile.string() + "' '" + packed.string() + "'").c_str()), 0);
    // the code stream's start and size markers (SOC, SIZ) overwritten
    std::string bytes = test::readFile(packed);
    const std::size_t soc = bytes.find("\xFF\x4F\xFF\x51");
    ASSERT_NE(soc, std::string::npos);
    bytes.replace(soc, 4, 4, '\0');
    test::writeFile(packed, bytes);
    try {
        Image::read(packed).render();
        ADD_FAILURE() << "rendered a broken code stream";
    } catch (const Error& e) {
        EXPECT_NE(e.message().find("JPEG 2000"), std::string::npos) << e.message();
    }
}

TEST(DicomRender, WritesJpegFilesWithTheGivenQuality)
{
    test::TempDir dir;
    DicomRecipe recipe = gradient(256, 256, 16);
    // noise-free gradient compresses well; the quality still changes the size
    Image image = test::makeImage(recipe);
    image.writeJpeg(dir / "high.jpg", 95);
    image.writeJpeg(dir / "low.jpg", 10);
    const std::string high = test::readFile(dir / "high.jpg");
    const std::string low = test::readFile(dir / "low.jpg");
    ASSERT_GT(high.size(), 4u);
    EXPECT_EQ(high.substr(0, 2), "\xFF\xD8");
    EXPECT_EQ(high.substr(high.size() - 2), "\xFF\xD9");
    EXPECT_LT(low.size(), high.size());
    EXPECT_THROW(image.writeJpeg(dir / "missing" / "x.jpg", 80), Error);
}
