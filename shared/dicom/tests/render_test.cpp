// Rendering: window, scaling, compressed input, JPEG output.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <optional>

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

namespace {

struct QualityCase {
    const char* name;
    int bits;  // stored: 8 (8 allocated), 12 or 16 (16 allocated)
    bool monochrome1;
    std::optional<std::pair<double, double>> headerWindow;  // centre, width
    std::optional<DisplayWindow> chosen;                    // the operator's window
    int rows, columns;
    int maxWidth, maxHeight;
};

void PrintTo(const QualityCase& c, std::ostream* os) { *os << c.name; }

// A picture with something in it: a ramp, waves, a bright disc and noise over the
// stored range of `bits` bits.
std::vector<std::uint8_t> scene(int rows, int columns, int bits)
{
    const double top = (1 << bits) - 1;
    std::vector<std::uint8_t> bytes;
    std::uint32_t noise = 12345;
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < columns; ++x) {
            noise = noise * 1103515245u + 12345u;
            const double dx = x - columns * 0.6, dy = y - rows * 0.4;
            double v = 0.3 * top * x / columns + 0.2 * top * (0.5 + 0.5 * std::sin(x * 0.11) * std::cos(y * 0.07)) +
                       0.15 * top * ((noise >> 16) & 0xFFFF) / 65535.0;
            if (dx * dx + dy * dy < rows * rows / 16.0)
                v += 0.3 * top;
            const auto value = static_cast<std::uint16_t>(std::clamp(v, 0.0, top));
            bytes.push_back(static_cast<std::uint8_t>(value & 0xFF));
            if (bits > 8)
                bytes.push_back(static_cast<std::uint8_t>(value >> 8));
        }
    return bytes;
}

// `full` shrunk to w x h by the area average of its 8-bit values (stored column x to
// target column x * w / full.width, rows alike).
Bitmap shrink(const Bitmap& full, int w, int h)
{
    std::vector<double> sum(static_cast<std::size_t>(w) * h), count(sum.size());
    for (int y = 0; y < full.height; ++y)
        for (int x = 0; x < full.width; ++x) {
            const std::size_t t = static_cast<std::size_t>(y * h / full.height) * w + x * w / full.width;
            sum[t] += full.pixels[static_cast<std::size_t>(y) * full.width + x];
            count[t] += 1;
        }
    Bitmap b;
    b.width = w;
    b.height = h;
    for (std::size_t i = 0; i < sum.size(); ++i)
        b.pixels.push_back(static_cast<std::uint8_t>(std::lround(sum[i] / count[i])));
    return b;
}

}  // namespace

class DicomRenderFromFile : public ::testing::TestWithParam<QualityCase> {};

// What the viewer shows in a cell, read row by row from the file, looks like the
// full-size rendering scaled down, and is exactly what rendering the image read whole
// at that size gives.
TEST_P(DicomRenderFromFile, LooksLikeTheFullSizeRenderingScaledDown)
{
    const QualityCase& c = GetParam();
    test::TempDir dir;
    const int allocated = c.bits == 8 ? 8 : 16;
    Image image = test::makeImage(gradient(c.rows, c.columns, allocated));
    image.setPixelData(c.rows, c.columns, allocated, scene(c.rows, c.columns, c.bits));
    image.attributes().set(Tag{0x0028, 0x0101}, static_cast<double>(c.bits));
    image.attributes().set(Tag{0x0028, 0x0102}, static_cast<double>(c.bits - 1));
    if (c.monochrome1)
        image.attributes().set(Tag{0x0028, 0x0004}, std::string("MONOCHROME1"));
    if (c.headerWindow) {
        image.attributes().set(Tag{0x0028, 0x1050}, c.headerWindow->first);
        image.attributes().set(Tag{0x0028, 0x1051}, c.headerWindow->second);
    }
    const auto file = dir / "scene.dcm";
    image.write(file);

    const std::optional<Bitmap> fast = renderFromFile(file, c.maxWidth, c.maxHeight, c.chosen);
    ASSERT_TRUE(fast);
    const auto [w, h] = std::pair{fast->width, fast->height};
    ASSERT_LE(w, c.maxWidth);
    ASSERT_LE(h, c.maxHeight);
    ASSERT_TRUE(w == c.maxWidth || h == c.maxHeight);
    ASSERT_EQ(fast->pixels.size(), static_cast<std::size_t>(w) * h);
    EXPECT_EQ(fast->pixels, Image::read(file).render(c.maxWidth, c.maxHeight, c.chosen).pixels);

    const Bitmap reference = shrink(Image::read(file).render(0, 0, c.chosen), w, h);
    double difference = 0;
    for (std::size_t i = 0; i < fast->pixels.size(); ++i)
        difference += std::abs(fast->pixels[i] - reference.pixels[i]);
    difference /= static_cast<double>(fast->pixels.size());
    EXPECT_LE(difference, 1.0) << "mean absolute difference in grey levels (rounding alone: 0.5)";
    // Not a flat picture: the comparison means something.
    const auto [lo, hi] = std::minmax_element(fast->pixels.begin(), fast->pixels.end());
    EXPECT_GE(*hi - *lo, 60);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DicomRenderFromFile,
    ::testing::Values(
        QualityCase{"mono2_16bit_range", 16, false, {}, {}, 389, 517, 101, 90},
        QualityCase{"mono2_16bit_header_window", 16, false, {{30000, 40000}}, {}, 389, 517, 101, 90},
        QualityCase{"mono1_16bit_header_window", 16, true, {{30000, 50000}}, {}, 512, 401, 77, 200},
        QualityCase{"mono2_12bit_range", 12, false, {}, {}, 771, 1031, 240, 240},
        QualityCase{"mono1_12bit_range", 12, true, {}, {}, 771, 1031, 333, 100},
        QualityCase{"mono2_12bit_chosen_window", 12, false, {{2048, 4096}}, DisplayWindow{1800, 1500}, 771, 1031, 240, 240},
        QualityCase{"mono2_8bit_range", 8, false, {}, {}, 300, 457, 123, 123},
        QualityCase{"mono1_8bit_header_window", 8, true, {{128, 200}}, {}, 300, 457, 57, 80}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DicomRender, FromFileLeavesFullSizeAndCompressedImagesToTheToolkit)
{
    test::TempDir dir;
    DicomRecipe recipe = gradient(60, 80, 16);
    const auto plain = test::writeDicom(dir / "plain.dcm", recipe);
    EXPECT_FALSE(renderFromFile(plain, 80, 60));    // full size
    EXPECT_FALSE(renderFromFile(plain, 160, 120));  // enlarged
    EXPECT_TRUE(renderFromFile(plain, 40, 30));
    recipe.transferSyntax = uid::JpegLossless;
    EXPECT_FALSE(renderFromFile(test::writeDicom(dir / "jpeg.dcm", recipe), 40, 30));
}

TEST(DicomRender, FromFileCutShortIsAClearError)
{
    test::TempDir dir;
    const auto whole = test::writeDicom(dir / "whole.dcm", gradient(200, 300, 16));
    const auto cut = test::writeTruncatedCopy(whole, dir / "cut.dcm", 5000);
    try {
        renderFromFile(cut, 50, 50);
        FAIL() << "no error";
    } catch (const Error& e) {
        EXPECT_NE(e.message().find("cut.dcm"), std::string::npos) << e.message();
    }
}

// A JPEG 2000 image with a window, shown much smaller than stored, is decoded only to a
// resolution level still twice the size shown and averaged from there: it looks like the
// same image stored uncompressed (shown 190 x 247 it is decoded whole: the same pixels).
TEST(DicomRender, Jpeg2000ShownSmallLooksLikeTheUncompressedImage)
{
    test::TempDir dir;
    const int rows = 520, columns = 400;
    Image image = test::makeImage(gradient(rows, columns, 16));
    image.setPixelData(rows, columns, 16, scene(rows, columns, 12));
    image.attributes().set(Tag{0x0028, 0x0101}, 12.0);
    image.attributes().set(Tag{0x0028, 0x0102}, 11.0);
    image.attributes().set(Tag{0x0028, 0x1050}, 2000.0);
    image.attributes().set(Tag{0x0028, 0x1051}, 3500.0);
    const auto plain = dir / "plain.dcm";
    image.write(plain);
    const auto packed = dir / "packed.dcm";
    const std::string command = "gdcmconv --j2k '" + plain.string() + "' '" + packed.string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    for (auto [w, h] : {std::pair{100, 130}, std::pair{61, 61}, std::pair{190, 300}}) {
        const Bitmap small = Image::read(packed).render(w, h);
        const Bitmap expected = Image::read(plain).render(w, h);
        ASSERT_EQ(small.width, expected.width) << w << "x" << h;
        ASSERT_EQ(small.height, expected.height) << w << "x" << h;
        double difference = 0;
        for (std::size_t i = 0; i < small.pixels.size(); ++i)
            difference += std::abs(small.pixels[i] - expected.pixels[i]);
        // The wavelet low-pass of the levels left out weighs pixel noise a little differently
        // from an area average.
        EXPECT_LE(difference / static_cast<double>(small.pixels.size()), 2.5) << w << "x" << h;
    }
}
