// The conversion into Digital Mammography X-Ray Image For Presentation, checked on the
// files read back from the work folder.
#include <gtest/gtest.h>

#include <QProcess>

#include "dicom_fixture.h"
#include "dose/modify_image.h"
#include "dose_test_support.h"

using namespace corva::dose;
using corva::dicom::DataSet;
using corva::dicom::Image;
using corva::dicom::Sequence;
using corva::dicom::Tag;

namespace {

const Tag ViewPosition{0x0018, 0x5101};

CurrentExposure sophieExposure() {
    return {"28", "63", "45", "120", "1.23mGy", "Mo/Mo,AEC,2,L-LMO45,S", "0,5"};
}

// The one item of a sequence attribute.
DataSet onlyItem(const DataSet& ds, Tag tag) {
    const corva::dicom::Attribute a = ds.get(tag);
    EXPECT_TRUE(a.exists) << tag.text();
    EXPECT_EQ(a.values.size(), 1u) << tag.text();
    const auto* seq = a.values.empty() ? nullptr : std::get_if<Sequence>(&a.values.front());
    if (!seq || seq->size() != 1) {
        ADD_FAILURE() << tag.text() << " is not a sequence of one item";
        return DataSet();
    }
    return seq->front();
}

std::string text(const DataSet& ds, Tag tag) { return ds.get(tag).text; }

// The number of items of a sequence attribute, -1 when it is absent or no sequence.
int itemCount(const DataSet& ds, Tag tag) {
    const corva::dicom::Attribute a = ds.get(tag);
    if (!a.exists || a.vr != "SQ") return -1;
    if (a.values.empty()) return 0;
    const auto* seq = std::get_if<Sequence>(&a.values.front());
    return seq ? static_cast<int>(seq->size()) : -1;
}

class ModifyImageTest : public ::testing::Test {
protected:
    // A computed-radiography image with shutters, a patient position and a window.
    std::filesystem::path source(const std::vector<std::pair<Tag, std::string>>& extra = {},
                                 corva::test::DicomRecipe recipe = {}) {
        recipe.extra = {{{0x0018, 0x1610}, "10\\20"}, {{0x0018, 0x1612}, "5"},
                      {{0x0018, 0x1620}, "1\\2\\3\\4\\5\\6"}, {{0x0018, 0x5100}, "HFS"},
                      {{0x0028, 0x1050}, "1000"}, {{0x0028, 0x1051}, "500"}, {{0x0028, 0x1055}, "READER"}};
        recipe.extra.insert(recipe.extra.end(), extra.begin(), extra.end());
        return corva::test::writeDicom(folder.path() / "in" / (std::to_string(++files) + ".dcm"), recipe);
    }
    // Converts the file and returns the file written to bin/.
    std::filesystem::path convert(const std::filesystem::path& file, int unit = unit::Sophie,
                                  const CurrentExposure& e = sophieExposure()) {
        Image image = Image::read(file);
        EXPECT_TRUE(ModifyImage(&image, e, unit, folder.bin())) << folder.errorLog();
        return folder.bin() / (image.sopInstanceUid() + ".dcm");
    }

    test::DoseFolder folder;
    int files = 0;
};

struct ViewCase {
    const char* name;
    const char* viewPosition;  // nullptr: none
    const char* orientation;
    const char* laterality;
    const char* code;
    const char* meaning;
};

// Test names show the case name only.
void PrintTo(const ViewCase& c, std::ostream* os) { *os << c.name; }


const ViewCase ViewCases[] = {
    {"l_cc_lower_case", "l cc", "A\\R", "L", "R-10242", "cranio-caudal"},
    {"rlo", "RLO", "P\\FL", "R", "R-10226", "medio lateral oblique"},
    {"r_cc", "R CC", "P\\L", "R", "R-10242", "cranio-caudal"},
    {"lcc", "LCC", "A\\R", "L", "R-10242", "cranio-caudal"},
    {"rld", "RLD", "P\\L", "R", "R-10242", "cranio-caudal"},
    {"l_oblique", "L OBLIQUE", "A\\FR", "L", "R-10226", "medio lateral oblique"},
    {"llo", "LLO", "A\\FR", "L", "R-10226", "medio lateral oblique"},
    {"cc_unmapped", "CC", "", "C", "", ""},
    {"no_view_position", nullptr, "", "", "", ""},
};

class ViewPositionTable : public ModifyImageTest, public ::testing::WithParamInterface<ViewCase> {};

TEST_P(ViewPositionTable, FileReadBackCarriesEveryValue) {
    const ViewCase& c = GetParam();
    std::vector<std::pair<Tag, std::string>> extra;
    if (c.viewPosition) extra.emplace_back(ViewPosition, c.viewPosition);
    const auto out = convert(source(extra));
    ASSERT_TRUE(std::filesystem::exists(out));
    const DataSet ds = Image::read(out).attributes();

    const DataSet anatomy = onlyItem(ds, {0x0008, 0x2218});
    EXPECT_EQ(text(anatomy, {0x0008, 0x0100}), "T-04000");
    EXPECT_EQ(text(anatomy, {0x0008, 0x0102}), "SRT");
    EXPECT_EQ(text(anatomy, {0x0008, 0x0104}), "Breast");
    EXPECT_EQ(text(ds, {0x0008, 0x0016}), corva::dicom::uid::DigitalMammographyForPresentation);

    const DataSet view = onlyItem(ds, {0x0054, 0x0220});
    EXPECT_EQ(text(view, {0x0008, 0x0100}), c.code);
    EXPECT_EQ(text(view, {0x0008, 0x0102}), "SRT");
    EXPECT_EQ(text(view, {0x0008, 0x0104}), c.meaning);
    EXPECT_EQ(itemCount(view, {0x0054, 0x0222}), 0);  // View Modifier Code Sequence, empty
    EXPECT_EQ(itemCount(ds, {0x0040, 0x0555}), 0);    // Acquisition Context Sequence, empty

    EXPECT_EQ(text(ds, {0x0020, 0x0020}), c.orientation);
    EXPECT_EQ(text(ds, {0x0020, 0x0060}), c.laterality);
    EXPECT_EQ(text(ds, {0x0020, 0x0062}), c.laterality);
    EXPECT_TRUE(ds.contains({0x0020, 0x0020}));
    EXPECT_TRUE(ds.contains({0x0020, 0x0062}));
    if (c.viewPosition)
        EXPECT_EQ(text(ds, ViewPosition), c.viewPosition);  // left as it was
    else
        EXPECT_FALSE(ds.contains(ViewPosition));

    const std::pair<Tag, const char*> set[] = {
        {{0x0008, 0x0060}, "MG"},           {{0x0008, 0x0068}, "FOR PRESENTATION"},
        {{0x0018, 0x0015}, "BREAST"},       {{0x0018, 0x1460}, "0"},
        {{0x0018, 0x1508}, "MAMMOGRAPHIC"}, {{0x0018, 0x7004}, "DIRECT"},
        {{0x0028, 0x0301}, "NO"},           {{0x0028, 0x1040}, "LOG"},
        {{0x0028, 0x1041}, "-1"},           {{0x0028, 0x1054}, "US"},
        {{0x0040, 0x0318}, "BREAST"},       {{0x2050, 0x0020}, "IDENTITY"},
        {{0x0028, 0x1052}, "0"},            {{0x0028, 0x1053}, "1"},
        {{0x0028, 0x2110}, "00"},
        // The window of the stored pixel range (a gradient 0..4095), the reader's gone.
        {{0x0028, 0x1050}, "2048"},         {{0x0028, 0x1051}, "4096"},
        // Sophie exposure values, as numbers in the attributes' units.
        {{0x0018, 0x0060}, "28"},           {{0x0018, 0x1150}, "500"},
        {{0x0018, 0x1152}, "63"},           {{0x0018, 0x11A0}, "45"},
        {{0x0018, 0x11A2}, "120"},          {{0x0018, 0x115E}, "1.23"},
        {{0x0040, 0x8302}, "1.23"},         {{0x0018, 0x6000}, ""},
        {{0x0020, 0x4000}, "Exposure record value, not a number: Sensitivity (0018,6000) Mo/Mo,AEC,2,L-LMO45,S"},
    };
    for (const auto& [tag, value] : set) EXPECT_EQ(text(ds, tag), value) << tag.text();
    EXPECT_TRUE(ds.contains({0x0018, 0x6000}));
    for (Tag gone : {Tag{0x0018, 0x1610}, Tag{0x0018, 0x1612}, Tag{0x0018, 0x1620}, Tag{0x0018, 0x5100},
                     Tag{0x0028, 0x1055}, Tag{0x0018, 0x8150}, Tag{0x0018, 0x1153}})
        EXPECT_FALSE(ds.contains(gone)) << gone.text();
}

INSTANTIATE_TEST_SUITE_P(ViewPositions, ViewPositionTable, ::testing::ValuesIn(ViewCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ModifyImageTest, FileMetaNamesTheNewClassAndPixelsAndCharacterSetStay) {
    const auto in = source({{ViewPosition, "RCC"}}, corva::test::latin1Recipe("Müller^Anna"));
    const auto out = convert(in);
    ASSERT_TRUE(std::filesystem::exists(out));

    QProcess dump;
    dump.start("dcmdump", {"-Un", "+P", "0002,0002", "+P", "0002,0003", QString::fromStdString(out.string())});
    ASSERT_TRUE(dump.waitForFinished(30000));
    const QString meta = QString::fromLatin1(dump.readAllStandardOutput());
    EXPECT_TRUE(meta.contains("[1.2.840.10008.5.1.4.1.1.1.2]")) << meta.toStdString();

    const DataSet before = Image::read(in).attributes();
    const DataSet after = Image::read(out).attributes();
    EXPECT_EQ(after.characterSet(), "ISO_IR 100");
    EXPECT_EQ(after.rawBytes({0x0010, 0x0010}), before.rawBytes({0x0010, 0x0010}));
    EXPECT_EQ(text(after, {0x0010, 0x0010}), "Müller^Anna");
    const std::string pixels = before.rawBytes({0x7FE0, 0x0010});
    EXPECT_FALSE(pixels.empty());
    EXPECT_EQ(after.rawBytes({0x7FE0, 0x0010}), pixels);
    EXPECT_EQ(Image::read(out).sopInstanceUid(), Image::read(in).sopInstanceUid());
}

TEST_F(ModifyImageTest, ConvertingTwiceGivesTheSameHeaderAndOverwrites) {
    Image image = Image::read(source({{ViewPosition, "LLO"}}));
    ASSERT_TRUE(ModifyImage(&image, sophieExposure(), unit::Sophie, folder.bin()));
    const auto out = folder.bin() / (image.sopInstanceUid() + ".dcm");
    const std::string first = corva::test::readFile(out);
    ASSERT_TRUE(ModifyImage(&image, sophieExposure(), unit::Sophie, folder.bin()));
    EXPECT_EQ(corva::test::readFile(out), first);
    // And a second conversion of the converted file changes nothing either.
    const auto again = convert(out);
    const DataSet a = Image::read(again).attributes();
    Image original = Image::read(source({{ViewPosition, "LLO"}}));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.bin()), {}), 1);
    EXPECT_EQ(text(a, {0x0020, 0x0020}), "A\\FR");
    EXPECT_EQ(onlyItem(a, {0x0054, 0x0220}).get(Tag{0x0008, 0x0100}).text, "R-10226");
}

TEST_F(ModifyImageTest, ImageWithoutWindowIsWrittenWithoutError) {
    corva::test::DicomRecipe recipe;
    const auto in = corva::test::writeDicom(folder.path() / "plain.dcm", recipe);
    const auto out = convert(in);
    ASSERT_TRUE(std::filesystem::exists(out));
    // It gets the window of its pixel range, as every converted image.
    EXPECT_EQ(text(Image::read(out).attributes(), {0x0028, 0x1050}), "2048");
    // The one log line says the Sophie record's free text is no sensitivity.
    EXPECT_EQ(folder.errorCount("ModifyImage"), 1) << folder.errorLog();
    EXPECT_NE(folder.errorLog().find("Sensitivity (0018,6000): \"Mo/Mo,AEC,2,L-LMO45,S\" from the exposure record "
                                     "is not a number"),
              std::string::npos)
        << folder.errorLog();
}

struct WindowCase {
    const char* name;
    int bitsAllocated;
    const char* transferSyntax;  // empty: explicit little endian
    std::vector<std::pair<Tag, std::string>> extra;
    const char* center;
    const char* width;
    const char* lossy;
};

void PrintTo(const WindowCase& c, std::ostream* os) { *os << c.name; }

// The fixture's pixels are a gradient from 0 to 4095 (16 bits allocated) or 255 (8 bits).
const WindowCase WindowCases[] = {
    {"sixteen_bits", 16, "", {}, "2048", "4096", "00"},
    {"eight_bits", 8, "", {}, "128", "256", "00"},
    // The pixel range, not the range Bits Stored could hold.
    {"fourteen_bits_stored", 16, "", {{{0x0028, 0x0101}, "14"}, {{0x0028, 0x0102}, "13"}}, "2048", "4096", "00"},
    // Compressed pixels are not decoded for this: the whole range of Bits Stored.
    {"jpeg_lossless", 16, corva::dicom::uid::JpegLossless, {{{0x0028, 0x0101}, "14"}, {{0x0028, 0x0102}, "13"}},
     "8192", "16384", "00"},
    // A rescale of the reader stays and the window follows it: -100 .. 8090.
    {"rescaled", 16, "", {{{0x0028, 0x1052}, "-100"}, {{0x0028, 0x1053}, "2"}}, "3995.5", "8191", "00"},
    {"lossy_before", 16, "", {{{0x0028, 0x2110}, "01"}}, "2048", "4096", "01"},
    {"jpeg_baseline", 8, corva::dicom::uid::JpegBaseline, {}, nullptr, nullptr, "01"},
};

class WindowTable : public ModifyImageTest, public ::testing::WithParamInterface<WindowCase> {};

TEST_P(WindowTable, WindowOfThePixelRangeAndLossyFlag) {
    const WindowCase& c = GetParam();
    corva::test::DicomRecipe recipe;
    recipe.bitsAllocated = c.bitsAllocated;
    recipe.transferSyntax = c.transferSyntax;
    recipe.extra = c.extra;
    recipe.extra.emplace_back(Tag{0x0028, 0x1050}, "10");
    recipe.extra.emplace_back(Tag{0x0028, 0x1051}, "20");
    const DataSet ds = Image::read(convert(corva::test::writeDicom(folder.path() / "w.dcm", recipe))).attributes();
    if (c.center) {
        EXPECT_EQ(text(ds, {0x0028, 0x1050}), c.center);
        EXPECT_EQ(text(ds, {0x0028, 0x1051}), c.width);
    } else {
        // Lossy pixels change the range; the window only needs to cover what 8 bits hold.
        EXPECT_TRUE(ds.contains({0x0028, 0x1050}));
        EXPECT_NE(text(ds, {0x0028, 0x1051}), "20");
    }
    EXPECT_EQ(text(ds, {0x0028, 0x2110}), c.lossy);
}

INSTANTIATE_TEST_SUITE_P(Windows, WindowTable, ::testing::ValuesIn(WindowCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ModifyImageTest, ImageReadWithoutPixelsGetsTheWindowOfItsPixels) {
    corva::test::DicomRecipe recipe;  // 14 bits stored: the window of the pixels differs from the bit range
    recipe.extra = {{{0x0028, 0x0101}, "14"}, {{0x0028, 0x0102}, "13"}};
    Image image = Image::read(corva::test::writeDicom(folder.path() / "h.dcm", recipe), corva::dicom::ReadMode::HeaderOnly);
    ASSERT_TRUE(ModifyImage(&image, sophieExposure(), unit::Sophie, folder.bin()));
    const DataSet ds = Image::read(folder.bin() / (image.sopInstanceUid() + ".dcm")).attributes();
    EXPECT_EQ(text(ds, {0x0028, 0x1050}), "2048");
    EXPECT_EQ(text(ds, {0x0028, 0x1051}), "4096");
}

TEST_F(ModifyImageTest, ReconvertingWithAnotherRecordKeepsNothingOfTheFirst) {
    // The reader's own comment stays; the lines of the first record go.
    Image image = Image::read(source({{ViewPosition, "LCC"}, {{0x0020, 0x4000}, "Plate scanned twice"}}));
    const CurrentExposure first{"28", "12.5", "45", "120", "1.23mGy", "Mo/Mo,AEC,2,L-CC,S", "0,0125"};
    ASSERT_TRUE(ModifyImage(&image, first, unit::Sophie, folder.bin()));
    const auto out = folder.bin() / (image.sopInstanceUid() + ".dcm");
    DataSet ds = Image::read(out).attributes();
    EXPECT_EQ(text(ds, {0x0018, 0x1150}), "12");  // 12.5 ms, halves to even
    EXPECT_EQ(text(ds, {0x0018, 0x8150}), "12500");
    EXPECT_EQ(text(ds, {0x0018, 0x1152}), "12");
    EXPECT_EQ(text(ds, {0x0018, 0x1153}), "12500");
    EXPECT_EQ(text(ds, {0x0020, 0x4000}),
              "Plate scanned twice\r\nExposure record value, not a number: Sensitivity (0018,6000) Mo/Mo,AEC,2,L-CC,S");

    const CurrentExposure second{"0 80", "63", "45", "120", "2.2", "400", "1"};
    ASSERT_TRUE(ModifyImage(&image, second, unit::Sophie, folder.bin()));
    ds = Image::read(out).attributes();
    EXPECT_EQ(text(ds, {0x0018, 0x1150}), "1000");
    EXPECT_FALSE(ds.contains({0x0018, 0x8150}));
    EXPECT_EQ(text(ds, {0x0018, 0x1152}), "63");
    EXPECT_FALSE(ds.contains({0x0018, 0x1153}));
    EXPECT_TRUE(ds.contains({0x0018, 0x0060}));
    EXPECT_EQ(ds.rawBytes({0x0018, 0x0060}), "");  // "0 80" is no voltage
    EXPECT_EQ(text(ds, {0x0018, 0x6000}), "400");
    EXPECT_EQ(text(ds, {0x0020, 0x4000}),
              "Plate scanned twice\r\nExposure record value, not a number: KVP (0018,0060) 0 80");
}

TEST_F(ModifyImageTest, GiottoWritesThreeValuesAndLeavesTheOthers) {
    const auto in = source({{ViewPosition, "RLO"},
                            {{0x0018, 0x1150}, "100"},
                            {{0x0018, 0x11A0}, "50"},
                            {{0x0018, 0x11A2}, "80"},
                            {{0x0018, 0x6000}, "200"}});
    // The last value of a Giotto record as stored, end-of-text and line end included.
    const CurrentExposure giotto{"28", " 63 ", "", "", "1.25\x03\r\n", "R-LMO45", ""};
    const DataSet ds = Image::read(convert(in, unit::Giotto, giotto)).attributes();
    EXPECT_EQ(text(ds, {0x0018, 0x0060}), "28");
    EXPECT_EQ(ds.rawBytes({0x0018, 0x1152}), "63");  // a whole number, without the record's blanks
    EXPECT_EQ(text(ds, {0x0018, 0x115E}), "1.25");  // without the record's control characters
    EXPECT_EQ(text(ds, {0x0040, 0x8302}), "1.25");
    EXPECT_EQ(text(ds, {0x0018, 0x1150}), "100");
    EXPECT_EQ(text(ds, {0x0018, 0x11A0}), "50");
    EXPECT_EQ(text(ds, {0x0018, 0x11A2}), "80");
    EXPECT_EQ(text(ds, {0x0018, 0x6000}), "200");
}

TEST_F(ModifyImageTest, OtherUnitWritesNoExposureValues) {
    const DataSet ds = Image::read(convert(source(), 3)).attributes();
    EXPECT_FALSE(ds.contains({0x0018, 0x0060}));
    EXPECT_FALSE(ds.contains({0x0018, 0x115E}));
    EXPECT_EQ(text(ds, {0x0008, 0x0060}), "MG");
}

TEST_F(ModifyImageTest, FailuresAreLoggedAndWriteNothing) {
    EXPECT_FALSE(ModifyImage(nullptr, sophieExposure(), unit::Sophie, folder.bin()));
    EXPECT_EQ(folder.errorCount("ModifyImage"), 1);

    // A SOP Instance UID that is no safe file name.
    Image image = Image::read(source());
    image.attributes().set(Tag{0x0008, 0x0018}, "1.2.3/../../x");
    EXPECT_FALSE(ModifyImage(&image, sophieExposure(), unit::Sophie, folder.bin()));
    EXPECT_EQ(folder.errorCount("ModifyImage"), 2);
    EXPECT_TRUE(std::filesystem::is_empty(folder.bin()));

    // A work folder that cannot be written.
    Image other = Image::read(source());
    EXPECT_FALSE(ModifyImage(&other, sophieExposure(), unit::Sophie, folder.path() / "no" / "such"));
    EXPECT_EQ(folder.errorCount("ModifyImage"), 3);
}

TEST(ViewMapping, UpperCasesAndTakesTheFirstCharacter) {
    EXPECT_EQ(mapViewPosition("r oblique").orientation, "P\\FL");
    EXPECT_EQ(mapViewPosition("r oblique").laterality, "R");
    EXPECT_EQ(mapViewPosition("xyz").laterality, "X");
    EXPECT_EQ(mapViewPosition("").laterality, "");
    EXPECT_EQ(mapViewPosition("MLO").codeValue, "");
}

}  // namespace
