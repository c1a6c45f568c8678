// Attribute access: character sets, typed values, sequences.
#include <gtest/gtest.h>

#include <functional>

#include "core/error.h"
#include "dicom/dicom.h"
#include "dicom_fixture.h"
#include "temp_dir.h"

using namespace corva;
using namespace corva::dicom;
using corva::test::DicomRecipe;

namespace {

constexpr Tag PatientName{0x0010, 0x0010};
constexpr Tag CharacterSet{0x0008, 0x0005};
constexpr Tag StudyDescription{0x0008, 0x1030};

int errorCode(const std::function<void()>& f)
{
    try {
        f();
    } catch (const Error& e) {
        return e.code();
    }
    return 0;
}

}  // namespace

TEST(DicomCharset, Latin1NameReadsAsUtf8AndWritesBackByteIdentical)
{
    test::TempDir dir;
    const auto original = test::writeDicom(dir / "latin1.dcm", test::latin1Recipe("Müller^Jürgen"));
    // The fixture's name really is Latin-1 on disk: ü is one byte, FC.
    EXPECT_EQ(test::rawValue(original, PatientName).substr(0, 13), "M\xFCller^J\xFCrgen");

    Image image = Image::read(original);
    EXPECT_EQ(image.patientName(), "Müller^Jürgen");
    DataSet ds = image.attributes();
    ds.set(PatientName, image.patientName());
    ds.set(StudyDescription, "Mammographie beidseits");
    const auto copy = dir / "copy.dcm";
    image.write(copy);

    EXPECT_EQ(test::rawValue(copy, PatientName), test::rawValue(original, PatientName));
    EXPECT_EQ(test::rawValue(copy, CharacterSet), "ISO_IR 100");
    EXPECT_EQ(Image::read(copy).patientName(), "Müller^Jürgen");

    // Written into another ISO_IR 100 object, the UTF-8 name is encoded to the same bytes.
    Image other = Image::read(test::writeDicom(dir / "other.dcm", test::latin1Recipe("Test^Anna")));
    other.attributes().set(PatientName, image.patientName());
    other.write(dir / "other-copy.dcm");
    EXPECT_EQ(test::rawValue(dir / "other-copy.dcm", PatientName), test::rawValue(original, PatientName));
}

TEST(DicomCharset, JapaneseWithCodeExtensionsReadsAsUtf8)
{
    test::TempDir dir;
    DicomRecipe recipe;
    recipe.characterSet = "\\ISO 2022 IR 87";
    // The example of the standard: escape sequences switch between ASCII and JIS X 0208.
    recipe.patientName = "Yamada^Tarou=\x1b$B;3ED\x1b(B^\x1b$BB@O:\x1b(B=\x1b$B$d$^$@\x1b(B^\x1b$B$?$m$&\x1b(B";
    const auto file = test::writeDicom(dir / "jp.dcm", recipe);
    EXPECT_EQ(Image::read(file).patientName(), "Yamada^Tarou=山田^太郎=やまだ^たろう");
    EXPECT_EQ(Image::read(file, ReadMode::HeaderOnly).attributes().get(Tag{0x0010, 0x0010}).text,
              "Yamada^Tarou=山田^太郎=やまだ^たろう");
}

TEST(DicomCharset, NewValueIsEncodedIntoTheObjectsSet)
{
    test::TempDir dir;
    Image image = Image::read(test::writeDicom(dir / "a.dcm", test::latin1Recipe("Test^Anna")));
    image.attributes().set(PatientName, "Groß^Änne");
    image.write(dir / "b.dcm");
    EXPECT_EQ(test::rawValue(dir / "b.dcm", PatientName).substr(0, 9), "Gro\xDF^\xC4nne");
    EXPECT_EQ(Image::read(dir / "b.dcm").patientName(), "Groß^Änne");
}

TEST(DicomCharset, ValueTheSetCannotHoldIsCharsetEncodeErrorAndChangesNothing)
{
    test::TempDir dir;
    Image image = Image::read(test::writeDicom(dir / "a.dcm", test::latin1Recipe("Müller^Anna")));
    EXPECT_EQ(errorCode([&] { image.attributes().set(PatientName, "Łukasiewicz^Jan"); }), errc::CharsetEncode);
    try {
        image.attributes().set(PatientName, "山田^太郎");
        FAIL() << "no error";
    } catch (const Error& e) {
        EXPECT_NE(e.message().find("ISO_IR 100"), std::string::npos) << e.message();
        EXPECT_NE(e.message().find("0010,0010"), std::string::npos) << e.message();
    }
    EXPECT_EQ(image.patientName(), "Müller^Anna");
    // A text VR of the default repertoire only takes ASCII, whatever the set.
    EXPECT_EQ(errorCode([&] { image.attributes().set(Tag{0x0008, 0x0060}, "MÄ"); }), errc::CharsetEncode);
}

TEST(DicomCharset, Utf8SetStoresUtf8AndDefaultRepertoireBecomesLatin1)
{
    test::TempDir dir;
    DicomRecipe utf8;
    utf8.characterSet = "ISO_IR 192";
    utf8.patientName = "Łukasiewicz^Jan";
    const auto u = test::writeDicom(dir / "u.dcm", utf8);
    EXPECT_EQ(Image::read(u).patientName(), "Łukasiewicz^Jan");
    EXPECT_EQ(test::rawValue(u, PatientName).substr(0, 16), "Łukasiewicz^Jan");

    // No declared set: plain ASCII stays so; an umlaut declares Latin-1, a superset.
    const auto d = test::writeDicom(dir / "d.dcm", DicomRecipe{});
    Image image = Image::read(d);
    EXPECT_EQ(image.attributes().characterSet(), "");
    image.attributes().set(PatientName, "Möller^Eva");
    EXPECT_EQ(image.attributes().characterSet(), "ISO_IR 100");
    EXPECT_EQ(image.attributes().rawBytes(PatientName).substr(0, 10), "M\xF6ller^Eva");
}

TEST(DicomCharset, UndeclaredLatin1BytesStillReadAsUtf8)
{
    test::TempDir dir;
    // A modality that writes Latin-1 without declaring it.
    DicomRecipe undeclared = test::latin1Recipe("Müller^Anna");
    undeclared.declareCharacterSet = false;
    const auto file = test::writeDicom(dir / "a.dcm", undeclared);
    EXPECT_EQ(test::rawValue(file, CharacterSet), "");
    EXPECT_EQ(test::rawValue(file, PatientName).substr(0, 11), "M\xFCller^Anna");
    EXPECT_EQ(Image::read(file).patientName(), "Müller^Anna");
}

struct TypedCase {
    const char* name;
    Tag tag;
    std::string stored;
    std::vector<Value> expected;
};

void PrintTo(const TypedCase& c, std::ostream* os) { *os << c.name; }

class DicomTypedValues : public ::testing::TestWithParam<TypedCase> {};

TEST_P(DicomTypedValues, DecodeByVr)
{
    const TypedCase& c = GetParam();
    DataSet ds;
    ds.set(c.tag, c.stored);
    const Attribute a = ds.get(c.tag);
    EXPECT_TRUE(a.exists);
    EXPECT_EQ(a.values, c.expected);
    EXPECT_EQ(a.multiValued(), c.expected.size() > 1);
    EXPECT_EQ(a.value(1), c.expected.empty() ? Value{} : c.expected.front());
}

DateTime date(int y, int m, int d)
{
    DateTime t;
    t.hasDate = true;
    t.year = y, t.month = m, t.day = d;
    return t;
}

DateTime timeOfDay(int h, int mi, int s, int us = 0)
{
    DateTime t;
    t.hasTime = true;
    t.hour = h, t.minute = mi, t.second = s, t.microsecond = us;
    return t;
}

DateTime both(DateTime d, const DateTime& t)
{
    d.hasTime = true;
    d.hour = t.hour, d.minute = t.minute, d.second = t.second, d.microsecond = t.microsecond;
    return d;
}

const std::string Unknown = UnknownDataType;

INSTANTIATE_TEST_SUITE_P(
    Table, DicomTypedValues,
    ::testing::Values(
        TypedCase{"DA", {0x0008, 0x0020}, "20240115", {date(2024, 1, 15)}},
        TypedCase{"DA_old_form", {0x0008, 0x0020}, "2024.01.15", {date(2024, 1, 15)}},
        TypedCase{"DA_malformed", {0x0008, 0x0020}, "20241345", {Unknown}},
        TypedCase{"DA_not_a_leap_year", {0x0008, 0x0020}, "20230229", {Unknown}},
        TypedCase{"TM", {0x0008, 0x0030}, "101530.25", {timeOfDay(10, 15, 30, 250000)}},
        TypedCase{"TM_hours_only", {0x0008, 0x0030}, "07", {timeOfDay(7, 0, 0)}},
        TypedCase{"TM_malformed", {0x0008, 0x0030}, "25xx", {Unknown}},
        TypedCase{"DT", {0x0008, 0x002A}, "20240115101530", {both(date(2024, 1, 15), timeOfDay(10, 15, 30))}},
        TypedCase{"DS_multi_valued", {0x0028, 0x1050}, "40\\60", {40.0, 60.0}},
        TypedCase{"DS_exponent", {0x0018, 0x0050}, "1.5e-1", {0.15}},
        TypedCase{"DS_malformed", {0x0018, 0x0050}, "abc", {Unknown}},
        TypedCase{"IS", {0x0020, 0x0013}, " 12 ", {12.0}},
        TypedCase{"US", {0x0028, 0x0010}, "512", {512.0}},
        TypedCase{"PN", {0x0010, 0x0010}, "Doe^John", {std::string("Doe^John")}},
        TypedCase{"CS_multi_valued", {0x0008, 0x0008}, "ORIGINAL\\PRIMARY", {std::string("ORIGINAL"), std::string("PRIMARY")}},
        TypedCase{"LT_backslash_is_text", {0x0020, 0x4000}, "a\\b", {std::string("a\\b")}},
        TypedCase{"empty", {0x0008, 0x0050}, "", {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DicomTypedValues, BinaryIsUnknownDataTypeAndAbsentIsNull)
{
    test::TempDir dir;
    Image image = Image::read(test::writeDicom(dir / "a.dcm", DicomRecipe{}));
    const Attribute pixels = image.attributes().get(Tag{0x7FE0, 0x0010});
    EXPECT_TRUE(pixels.exists);
    ASSERT_EQ(pixels.values.size(), 1u);
    EXPECT_EQ(pixels.value(), Value{Unknown});

    const Attribute absent = image.attributes().get(0x0008, 0x1030);
    EXPECT_FALSE(absent.exists);
    EXPECT_TRUE(absent.isNull());
    EXPECT_EQ(absent.value(), Value{});
    EXPECT_EQ(absent.value(2), Value{});
}

TEST(DicomTypedValues, NumbersAndDatesAreWrittenForTheVr)
{
    DataSet ds;
    ds.set(Tag{0x0028, 0x1050}, 40.5);
    ds.set(Tag{0x0020, 0x0013}, 7.0);
    ds.set(Tag{0x0008, 0x0020}, Value{date(2023, 12, 31)});
    ds.set(Tag{0x0008, 0x0030}, timeOfDay(8, 5, 0));
    EXPECT_EQ(ds.get(Tag{0x0028, 0x1050}).text, "40.5");
    EXPECT_EQ(ds.get(Tag{0x0020, 0x0013}).text, "7");
    EXPECT_EQ(ds.get(Tag{0x0008, 0x0020}).text, "20231231");
    EXPECT_EQ(ds.get(Tag{0x0008, 0x0030}).text, "080500");
    // add replaces an attribute of the same tag
    ds.set(Tag{0x0020, 0x0013}, "9");
    EXPECT_EQ(ds.get(Tag{0x0020, 0x0013}).value(), Value{9.0});
    ds.remove(Tag{0x0020, 0x0013});
    EXPECT_FALSE(ds.contains(Tag{0x0020, 0x0013}));
}

TEST(DicomSequence, ItemsAreDataSetsAndInheritTheCharacterSet)
{
    test::TempDir dir;
    Image image = test::makeImage(test::latin1Recipe("Müller^Anna"));
    DataSet first, second;
    first.set(Tag{0x0008, 0x0100}, "R-10224");
    first.set(Tag{0x0008, 0x0104}, "medio-lateral");
    second.set(Tag{0x0008, 0x0100}, "R-10242");
    image.attributes().set(Tag{0x0054, 0x0220}, Sequence{first, second});
    image.write(dir / "seq.dcm");

    Image back = Image::read(dir / "seq.dcm");
    const Attribute seq = back.attributes().get(Tag{0x0054, 0x0220});
    EXPECT_EQ(seq.vr, "SQ");
    ASSERT_EQ(seq.values.size(), 1u);
    Sequence items = std::get<Sequence>(seq.value());
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].get(Tag{0x0008, 0x0104}).text, "medio-lateral");
    EXPECT_EQ(items[1].get(Tag{0x0008, 0x0100}).text, "R-10242");
    EXPECT_EQ(items[0].characterSet(), "ISO_IR 100");

    // An item's text is encoded in the set in effect: Latin-1 here.
    items[0].set(Tag{0x0008, 0x0104}, "Schräg");
    EXPECT_EQ(items[0].rawBytes(Tag{0x0008, 0x0104}).substr(0, 6), "Schr\xE4g");
    EXPECT_EQ(items[0].get(Tag{0x0008, 0x0104}).text, "Schräg");
}

TEST(DicomTag, TextAndParse)
{
    EXPECT_EQ((Tag{0x7FE0, 0x0010}).text(), "7FE0,0010");
    EXPECT_EQ(Tag::parse("0010,0010"), (Tag{0x0010, 0x0010}));
    EXPECT_EQ(Tag::parse("(0028,1050)"), (Tag{0x0028, 0x1050}));
    EXPECT_EQ(Tag::parse("7fe0,0010"), (Tag{0x7FE0, 0x0010}));
    EXPECT_FALSE(Tag::parse("0010;0010"));
    EXPECT_FALSE(Tag::parse("0010,00G0"));
    EXPECT_FALSE(Tag::parse(""));
}
