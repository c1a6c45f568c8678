// The conversion into Digital Mammography X-Ray Image For Presentation, checked on the
// files read back from the work folder.
#include <gtest/gtest.h>

#include <QProcess>

#include "cr_image_fixture.h"
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
const Tag Laterality{0x0020, 0x0060};
const Tag ImageLaterality{0x0020, 0x0062};
const Tag PatientOrientation{0x0020, 0x0020};
const Tag ViewCodeSequence{0x0054, 0x0220};
const Tag Photometric{0x0028, 0x0004};
const Tag Sensitivity{0x0018, 0x6000};
const Tag AreaDoseProduct{0x0018, 0x115E};
const Tag EntranceDose{0x0040, 0x8302};
const Tag DoseComments{0x0040, 0x0310};

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
    // A computed-radiography image with shutters, a patient position, a window and the
    // reader's sensitivity.
    std::filesystem::path source(const std::vector<std::pair<Tag, std::string>>& extra = {},
                                 corva::test::DicomRecipe recipe = {}) {
        recipe.extra = {{{0x0018, 0x1610}, "10\\20"}, {{0x0018, 0x1612}, "5"},
                      {{0x0018, 0x1620}, "1\\2\\3\\4\\5\\6"}, {{0x0018, 0x5100}, "HFS"},
                      {{0x0028, 0x1050}, "1000"}, {{0x0028, 0x1051}, "500"}, {{0x0028, 0x1055}, "READER"},
                      {Sensitivity, "250"}};
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

// The reader's image of one view: View Position, Laterality and Image Laterality as the
// reader wrote them (nullptr: absent), and what the converted image must carry.
struct ViewCase {
    const char* name;
    const char* viewPosition;
    const char* laterality;
    const char* imageLaterality;
    // Written only for a projection known in full; otherwise the reader's values stay.
    bool known;
    const char* orientation;  // Patient Orientation written; for an unknown one the reader's stays
    const char* side;         // Laterality and Image Laterality written, for a known projection
    const char* code;         // the view's code, nullptr: no View Code Sequence
    const char* meaning;
};

// Test names show the case name only.
void PrintTo(const ViewCase& c, std::ostream* os) { *os << c.name; }

// The reader's Patient Orientation in every case: kept only where the projection is unknown.
const char* const ReaderOrientation = "H\\P";

const ViewCase ViewCases[] = {
    // The standard terms, with the side in Laterality, Image Laterality or both.
    {"cc_image_laterality_l", "CC", nullptr, "L", true, "A\\R", "L", "R-10242", "cranio-caudal"},
    {"cc_laterality_r", "CC", "R", nullptr, true, "P\\L", "R", "R-10242", "cranio-caudal"},
    {"cc_both_r", "CC", "R", "R", true, "P\\L", "R", "R-10242", "cranio-caudal"},
    {"mlo_both_l", "MLO", "L", "L", true, "A\\FR", "L", "R-10226", "medio-lateral oblique"},
    {"mlo_image_laterality_r", "MLO", nullptr, "R", true, "P\\FL", "R", "R-10226", "medio-lateral oblique"},
    {"cc_lower_case", "cc", "L", nullptr, true, "A\\R", "L", "R-10242", "cranio-caudal"},
    {"mlo_lower_case", "mlo", nullptr, "r", true, "P\\FL", "R", "R-10226", "medio-lateral oblique"},
    {"ml_l", "ML", nullptr, "L", true, "A\\F", "L", "R-10224", "medio-lateral"},
    {"lm_r", "LM", "R", "R", true, "P\\F", "R", "R-10228", "latero-medial"},
    {"xccl_r", "XCCL", nullptr, "R", true, "P\\L", "R", "R-1024A", "cranio-caudal exaggerated laterally"},
    {"sio_l", "SIO", nullptr, "L", true, "A\\FL", "L", "R-102D0", "superolateral to inferomedial oblique"},
    // The reader's combined forms name the side themselves.
    {"l_cc", "L CC", nullptr, nullptr, true, "A\\R", "L", "R-10242", "cranio-caudal"},
    {"l_cc_lower_case", "l cc", nullptr, nullptr, true, "A\\R", "L", "R-10242", "cranio-caudal"},
    {"lcc", "LCC", nullptr, nullptr, true, "A\\R", "L", "R-10242", "cranio-caudal"},
    {"r_cc", "R CC", nullptr, nullptr, true, "P\\L", "R", "R-10242", "cranio-caudal"},
    {"rld", "RLD", nullptr, nullptr, true, "P\\L", "R", "R-10242", "cranio-caudal"},
    {"lld", "LLD", nullptr, nullptr, true, "A\\R", "L", "R-10242", "cranio-caudal"},
    {"r_oblique", "R OBLIQUE", nullptr, nullptr, true, "P\\FL", "R", "R-10226", "medio-lateral oblique"},
    {"l_oblique", "L OBLIQUE", nullptr, nullptr, true, "A\\FR", "L", "R-10226", "medio-lateral oblique"},
    {"rlo", "RLO", nullptr, nullptr, true, "P\\FL", "R", "R-10226", "medio-lateral oblique"},
    {"llo", "LLO", nullptr, nullptr, true, "A\\FR", "L", "R-10226", "medio-lateral oblique"},
    {"lcc_same_side", "LCC", "L", "L", true, "A\\R", "L", "R-10242", "cranio-caudal"},
    // Unknown projections: the reader's side and orientation stay as they were.
    {"unknown_view", "XYZ", "L", "L", false, nullptr, nullptr, nullptr, nullptr},
    {"no_view_position", nullptr, nullptr, "R", false, nullptr, nullptr, nullptr, nullptr},
    {"nothing_named", nullptr, nullptr, nullptr, false, nullptr, nullptr, nullptr, nullptr},
    {"cc_without_side", "CC", nullptr, nullptr, false, nullptr, nullptr, "R-10242", "cranio-caudal"},
    {"sides_disagree", "CC", "L", "R", false, nullptr, nullptr, "R-10242", "cranio-caudal"},
    {"combined_form_disagrees", "LCC", nullptr, "R", false, nullptr, nullptr, "R-10242", "cranio-caudal"},
};

// The reader's image of a view case, with shutters, a patient position and a window.
test::CrImage crImageOf(const ViewCase& c, const std::string& photometric = "MONOCHROME2") {
    test::CrImage cr;
    if (c.viewPosition) cr.viewPosition = c.viewPosition;
    cr.extra = {{{0x0018, 0x1610}, "10\\20"},
                {{0x0018, 0x1612}, "5"},
                {{0x0018, 0x1620}, "1\\2\\3\\4\\5\\6"},
                {PatientOrientation, ReaderOrientation},
                {Photometric, photometric}};
    if (c.laterality)
        cr.extra.emplace_back(Laterality, c.laterality);
    else
        cr.omit.push_back(Laterality);
    if (c.imageLaterality) cr.extra.emplace_back(ImageLaterality, c.imageLaterality);
    return cr;
}

class ViewPositionTable : public ModifyImageTest, public ::testing::WithParamInterface<ViewCase> {};

TEST_P(ViewPositionTable, FileReadBackCarriesEveryValue) {
    const ViewCase& c = GetParam();
    const auto in = test::writeCrImage(folder.path() / "in" / "view.dcm", crImageOf(c));
    const auto out = convert(in);
    ASSERT_TRUE(std::filesystem::exists(out));
    const DataSet ds = Image::read(out).attributes();

    const DataSet anatomy = onlyItem(ds, {0x0008, 0x2218});
    EXPECT_EQ(text(anatomy, {0x0008, 0x0100}), "T-04000");
    EXPECT_EQ(text(anatomy, {0x0008, 0x0102}), "SRT");
    EXPECT_EQ(text(anatomy, {0x0008, 0x0104}), "Breast");
    EXPECT_EQ(text(ds, {0x0008, 0x0016}), corva::dicom::uid::DigitalMammographyForPresentation);

    if (c.code) {
        const DataSet view = onlyItem(ds, ViewCodeSequence);
        EXPECT_EQ(text(view, {0x0008, 0x0100}), c.code);
        EXPECT_EQ(text(view, {0x0008, 0x0102}), "SRT");
        EXPECT_EQ(text(view, {0x0008, 0x0104}), c.meaning);
        EXPECT_EQ(itemCount(view, {0x0054, 0x0222}), 0);  // View Modifier Code Sequence, empty
    } else {
        EXPECT_FALSE(ds.contains(ViewCodeSequence));  // no code is made up for an unknown view
    }
    EXPECT_EQ(itemCount(ds, {0x0040, 0x0555}), 0);  // Acquisition Context Sequence, empty

    // The side and orientation: written for a known projection, else the reader's.
    const DataSet before = Image::read(in).attributes();
    if (c.known) {
        EXPECT_EQ(text(ds, PatientOrientation), c.orientation);
        EXPECT_EQ(text(ds, Laterality), c.side);
        EXPECT_EQ(text(ds, ImageLaterality), c.side);
    } else {
        for (Tag kept : {PatientOrientation, Laterality, ImageLaterality}) {
            EXPECT_EQ(ds.contains(kept), before.contains(kept)) << kept.text();
            EXPECT_EQ(ds.rawBytes(kept), before.rawBytes(kept)) << kept.text();
        }
        EXPECT_EQ(text(ds, PatientOrientation), ReaderOrientation);
    }
    if (c.viewPosition)  // as it was, in the upper case of a code string
        EXPECT_EQ(text(ds, ViewPosition), QString::fromLatin1(c.viewPosition).toUpper().toStdString());
    else
        EXPECT_FALSE(ds.contains(ViewPosition));

    const std::pair<Tag, const char*> set[] = {
        {{0x0008, 0x0008}, "ORIGINAL\\PRIMARY\\"},
        {{0x0008, 0x0060}, "MG"},           {{0x0008, 0x0068}, "FOR PRESENTATION"},
        {{0x0018, 0x0015}, "BREAST"},       {{0x0018, 0x1460}, "0"},
        {{0x0018, 0x1508}, "MAMMOGRAPHIC"}, {{0x0018, 0x7004}, "STORAGE"},
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
        {{0x0018, 0x11A2}, "120"},          {EntranceDose, "1.23"},
        // The reader's sensitivity stays; the record's further values are dose comments.
        {Sensitivity, "200"},               {DoseComments, "Mo/Mo,AEC,2,L-LMO45,S"},
    };
    for (const auto& [tag, value] : set) EXPECT_EQ(text(ds, tag), value) << tag.text();
    for (Tag gone : {Tag{0x0018, 0x1610}, Tag{0x0018, 0x1612}, Tag{0x0018, 0x1620}, Tag{0x0018, 0x5100},
                     Tag{0x0028, 0x1055}, Tag{0x0018, 0x8150}, Tag{0x0018, 0x1153}, AreaDoseProduct,
                     Tag{0x0020, 0x4000}})
        EXPECT_FALSE(ds.contains(gone)) << gone.text();
}

INSTANTIATE_TEST_SUITE_P(ViewPositions, ViewPositionTable, ::testing::ValuesIn(ViewCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Every known view case as MONOCHROME1 and MONOCHROME2, converted with the record of
// either unit: dciodvfy finds no error but its remark on Laterality.
using ValidationCase = std::tuple<ViewCase, const char*, int>;

class ValidationTable : public ModifyImageTest, public ::testing::WithParamInterface<ValidationCase> {};

TEST_P(ValidationTable, DciodvfyFindsNoError) {
    if (!test::haveDciodvfy()) GTEST_SKIP() << "dciodvfy (package dicom3tools) is not installed";
    const auto& [c, photometric, unit] = GetParam();
    const CurrentExposure giotto{"28", "63", "", "", "1.25", "L-CC", ""};
    const auto in = test::writeCrImage(folder.path() / "in" / "v.dcm", crImageOf(c, photometric));
    const auto out = convert(in, unit, unit == unit::Sophie ? sophieExposure() : giotto);
    std::string report;
    for (const std::string& error : test::dciodvfyErrors(out, &report))
        EXPECT_TRUE(test::isLateralityRemark(error)) << error << "\n" << report;
    EXPECT_NE(report.find(test::IodChecked), std::string::npos) << report;
}

std::vector<ViewCase> knownViewCases() {
    std::vector<ViewCase> known;
    for (const ViewCase& c : ViewCases)
        if (c.known) known.push_back(c);
    return known;
}

std::string validationName(const ::testing::TestParamInfo<ValidationCase>& info) {
    const auto& [c, photometric, unit] = info.param;
    return std::string(c.name) + "_" + photometric + (unit == unit::Sophie ? "_sophie" : "_giotto");
}

INSTANTIATE_TEST_SUITE_P(KnownViews, ValidationTable,
                         ::testing::Combine(::testing::ValuesIn(knownViewCases()),
                                            ::testing::Values("MONOCHROME1", "MONOCHROME2"),
                                            ::testing::Values(unit::Sophie, unit::Giotto)),
                         validationName);

struct PhotometricCase {
    const char* photometric;
    const char* lutShape;
    const char* intensitySign;
};

// MONOCHROME1 shows its lowest value white: without the inverse LUT it would show as a negative.
TEST_F(ModifyImageTest, PresentationLutShapeFollowsThePhotometricInterpretation) {
    const PhotometricCase cases[] = {
        {"MONOCHROME1", "INVERSE", "1"},
        {"MONOCHROME2", "IDENTITY", "-1"},
    };
    for (const PhotometricCase& c : cases) {
        SCOPED_TRACE(c.photometric);
        const DataSet ds = Image::read(convert(source({{ViewPosition, "LCC"}, {Photometric, c.photometric}})))
                               .attributes();
        EXPECT_EQ(text(ds, Photometric), c.photometric);
        EXPECT_EQ(text(ds, {0x2050, 0x0020}), c.lutShape);
        EXPECT_EQ(text(ds, {0x0028, 0x1041}), c.intensitySign);
    }
}

// Image Type keeps the reader's pixel characteristics; its third value is present and
// empty, as for every mammogram that is no stereotactic, tomosynthesis or contrast image.
TEST_F(ModifyImageTest, ImageTypeHasThePixelCharacteristicsAndAnEmptyThirdValue) {
    const std::pair<const char*, const char*> cases[] = {
        {"ORIGINAL\\PRIMARY", "ORIGINAL\\PRIMARY\\"},
        {"DERIVED\\SECONDARY\\POST_PROCESSED\\RT", "DERIVED\\SECONDARY\\"},
        {"", "ORIGINAL\\PRIMARY\\"},
        {"original", "ORIGINAL\\PRIMARY\\"},
    };
    for (const auto& [imageType, expected] : cases) {
        SCOPED_TRACE(imageType);
        const DataSet ds = Image::read(convert(source({{ViewPosition, "RCC"}, {{0x0008, 0x0008}, imageType}})))
                               .attributes();
        EXPECT_EQ(text(ds, {0x0008, 0x0008}), expected);
        EXPECT_EQ(ds.get(Tag{0x0008, 0x0008}).values.size(), 3u);
    }
}

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
    // Every record value found its attribute: nothing is logged.
    EXPECT_EQ(folder.errorCount("ModifyImage"), 0) << folder.errorLog();
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
    EXPECT_EQ(text(ds, DoseComments), "Mo/Mo,AEC,2,L-CC,S");
    EXPECT_EQ(text(ds, {0x0020, 0x4000}), "Plate scanned twice");

    const CurrentExposure second{"0 80", "63", "45", "120", "2.2", "400", "1"};
    ASSERT_TRUE(ModifyImage(&image, second, unit::Sophie, folder.bin()));
    ds = Image::read(out).attributes();
    EXPECT_EQ(text(ds, {0x0018, 0x1150}), "1000");
    EXPECT_FALSE(ds.contains({0x0018, 0x8150}));
    EXPECT_EQ(text(ds, {0x0018, 0x1152}), "63");
    EXPECT_FALSE(ds.contains({0x0018, 0x1153}));
    EXPECT_TRUE(ds.contains({0x0018, 0x0060}));
    EXPECT_EQ(ds.rawBytes({0x0018, 0x0060}), "");  // "0 80" is no voltage
    EXPECT_EQ(text(ds, DoseComments), "400");
    EXPECT_EQ(text(ds, Sensitivity), "250");  // the reader's, whatever the record says
    EXPECT_EQ(text(ds, {0x0020, 0x4000}),
              "Plate scanned twice\r\nExposure record value, not a number: KVP (0018,0060) 0 80");

    // A garbled record's negative dose is kept as a comment, not as a dose; the line of
    // the record before goes.
    const CurrentExposure garbled{"28", "63", "45", "120", "-2.2", "", "1"};
    ASSERT_TRUE(ModifyImage(&image, garbled, unit::Sophie, folder.bin()));
    ds = Image::read(out).attributes();
    EXPECT_EQ(ds.rawBytes({0x0040, 0x8302}), "");
    EXPECT_EQ(text(ds, {0x0020, 0x4000}),
              "Plate scanned twice\r\nExposure record value, below zero: Entrance Dose in mGy (0040,8302) -2.2");

    // A record without further values leaves no comment of the one before.
    const CurrentExposure third{"28", "63", "45", "120", "2.2", "", "1"};
    ASSERT_TRUE(ModifyImage(&image, third, unit::Sophie, folder.bin()));
    ds = Image::read(out).attributes();
    EXPECT_FALSE(ds.contains(DoseComments));
    EXPECT_EQ(text(ds, {0x0020, 0x4000}), "Plate scanned twice");
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
    EXPECT_EQ(text(ds, EntranceDose), "1.25");     // without the record's control characters
    EXPECT_FALSE(ds.contains(AreaDoseProduct));
    EXPECT_FALSE(ds.contains(DoseComments));       // the Giotto record names only the projection
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

// The record's dose in mGy is an entrance dose, never an area dose product (dGy*cm2);
// the reader's sensitivity and a product it wrote itself stay untouched.
TEST_F(ModifyImageTest, DoseGoesIntoEntranceDoseAndTheReadersValuesStay) {
    struct DoseCase {
        const char* name;
        int unit;
        CurrentExposure exposure;
        const char* readersProduct;  // (0018,115E) of the source, nullptr: none
        const char* entranceDose;
    };
    const DoseCase cases[] = {
        {"sophie", unit::Sophie, sophieExposure(), nullptr, "1.23"},
        {"sophie_reader_product", unit::Sophie, sophieExposure(), "12.5", "1.23"},
        {"giotto", unit::Giotto, {"28", "63", "", "", "0.95", "R-CC", ""}, nullptr, "0.95"},
        {"giotto_reader_product", unit::Giotto, {"28", "63", "", "", "0.95", "R-CC", ""}, "12.5", "0.95"},
    };
    for (const DoseCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::pair<Tag, std::string>> extra{{ViewPosition, "RCC"}, {Sensitivity, "180.5"}};
        if (c.readersProduct) extra.emplace_back(AreaDoseProduct, c.readersProduct);
        const auto in = source(extra);
        const DataSet ds = Image::read(convert(in, c.unit, c.exposure)).attributes();
        EXPECT_EQ(text(ds, EntranceDose), c.entranceDose);
        EXPECT_EQ(ds.rawBytes(Sensitivity), Image::read(in).attributes().rawBytes(Sensitivity));
        if (c.readersProduct)
            EXPECT_EQ(text(ds, AreaDoseProduct), c.readersProduct);
        else
            EXPECT_FALSE(ds.contains(AreaDoseProduct));
    }
}

// The projection as the conversion writes it, for every view it knows.
TEST(ViewMapping, SideOrientationAndCodeOfEachProjection) {
    struct MappingCase {
        Side side;
        View view;
        const char* laterality;
        const char* orientation;
        const char* code;
        const char* meaning;
    };
    const MappingCase cases[] = {
        {Side::Right, View::CC, "R", "P\\L", "R-10242", "cranio-caudal"},
        {Side::Left, View::CC, "L", "A\\R", "R-10242", "cranio-caudal"},
        {Side::Right, View::MLO, "R", "P\\FL", "R-10226", "medio-lateral oblique"},
        {Side::Left, View::MLO, "L", "A\\FR", "R-10226", "medio-lateral oblique"},
        {Side::Right, View::ML, "R", "P\\F", "R-10224", "medio-lateral"},
        {Side::Left, View::LM, "L", "A\\F", "R-10228", "latero-medial"},
        {Side::Right, View::LMO, "R", "P\\FL", "R-10230", "latero-medial oblique"},
        {Side::Left, View::FB, "L", "A\\R", "R-10244", "caudo-cranial (from below)"},
        {Side::Right, View::XCCL, "R", "P\\L", "R-1024A", "cranio-caudal exaggerated laterally"},
        {Side::Left, View::XCCM, "L", "A\\R", "R-1024B", "cranio-caudal exaggerated medially"},
        {Side::Right, View::SIO, "R", "P\\FR", "R-102D0", "superolateral to inferomedial oblique"},
        {Side::Left, View::ISO, "L", "A\\FL", "R-40AAA", "inferomedial to superolateral oblique"},
        // Without the side only the view is known; without the view nothing.
        {Side::Unknown, View::MLO, "", "", "R-10226", "medio-lateral oblique"},
        {Side::Left, View::Unknown, "", "", "", ""},
        {Side::Unknown, View::Unknown, "", "", "", ""},
    };
    for (const MappingCase& c : cases) {
        const Projection p{c.side, c.view};
        SCOPED_TRACE(p.key().toStdString());
        const ViewMapping m = mapProjection(p);
        EXPECT_EQ(m.laterality, c.laterality);
        EXPECT_EQ(m.orientation, c.orientation);
        EXPECT_EQ(m.codeValue, c.code);
        EXPECT_EQ(m.codeMeaning, c.meaning);
    }
}

// A reader that writes little (no birth date, sex, study ID, accession number, series
// number, manufacturer; only Pixel Spacing): the conversion still yields a valid
// mammography image, the unknown values present and empty, the detector's spacing taken
// from Pixel Spacing.
TEST_F(ModifyImageTest, ASparseReaderImageStillConvertsToAValidMammogram) {
    if (!test::haveDciodvfy()) GTEST_SKIP() << "dciodvfy (package dicom3tools) is not installed";
    corva::test::DicomRecipe recipe;
    recipe.extra = {{{0x0018, 0x5101}, "MLO"}, {{0x0020, 0x0062}, "L"}, {{0x0028, 0x0030}, "0.1\\0.1"}};
    recipe.omit = {{0x0010, 0x0030}, {0x0010, 0x0040}, {0x0008, 0x0030}, {0x0008, 0x0050}, {0x0020, 0x0011}};
    const auto in = corva::test::writeDicom(folder.path() / "in" / "sparse.dcm", recipe);
    const auto out = convert(in);
    std::string report;
    for (const std::string& error : test::dciodvfyErrors(out, &report))
        EXPECT_TRUE(test::isLateralityRemark(error)) << error << "\n" << report;
    const DataSet a = Image::read(out, corva::dicom::ReadMode::HeaderOnly).attributes();
    EXPECT_EQ(a.get({0x0018, 0x1164}).text, "0.1\\0.1");
    EXPECT_TRUE(a.contains({0x0010, 0x0040}));
    EXPECT_TRUE(a.get({0x0010, 0x0040}).isNull());
    EXPECT_EQ(a.get({0x0020, 0x0062}).text, "L");
}

}  // namespace
