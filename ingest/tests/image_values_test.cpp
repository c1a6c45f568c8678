// The readers that turn an image header into the values registration stores.
#include "image_values.h"

#include <gtest/gtest.h>

#include "core/error.h"
#include "dicom_fixture.h"

namespace corva::ingest {
namespace {

using corva::test::DicomRecipe;
using corva::test::makeImage;
using dicom::Tag;

dicom::DataSet headerOf(const DicomRecipe& recipe)
{
    // Keep the image alive through its shared data set handle.
    static std::vector<dicom::Image> keep;
    keep.push_back(makeImage(recipe));
    return keep.back().attributes();
}

TEST(ImageValues, PersonNameIsSplitAtCaretsAndApostrophesReplaced)
{
    struct Case {
        std::string name;
        std::string last, first, middle;
    } cases[] = {
        {"Müller^Anna", "Müller", "Anna", ""},
        {"Müller^Anna^", "Müller", "Anna", ""},
        {"O'Neil^Mary^Ann^Dr", "O\xC2\xB4Neil", "Mary", "Ann"},
        {"Smith^Jo'hn", "Smith", "Jo\xC2\xB4hn", ""},
    };
    for (const auto& c : cases) {
        DicomRecipe recipe;
        recipe.patientName = c.name;
        const auto p = readPatientValues(headerOf(recipe));
        EXPECT_EQ(p.lastName, c.last) << c.name;
        EXPECT_EQ(p.firstName, c.first) << c.name;
        EXPECT_EQ(p.middleName, c.middle) << c.name;
    }
}

TEST(ImageValues, PatientDefaults)
{
    DicomRecipe recipe;
    recipe.omit = {{0x0010, 0x0010}, {0x0010, 0x0020}, {0x0010, 0x0040}};
    recipe.birthDate = "18500101";
    const auto p = readPatientValues(headerOf(recipe));
    EXPECT_EQ(p.lastName, "XXNoName");
    EXPECT_EQ(p.firstName, "");
    EXPECT_EQ(p.id, "");
    EXPECT_EQ(p.sex, "");
    EXPECT_EQ(p.birthDate, "") << "a birth year of 1850 or earlier is no birth date";

    DicomRecipe named;
    named.birthDate = "19600229";
    EXPECT_EQ(readPatientValues(headerOf(named)).birthDate, "1960-02-29");
}

TEST(ImageValues, Latin1NameArrivesAsUtf8)
{
    const auto p = readPatientValues(headerOf(corva::test::latin1Recipe("Müller^Jürgen")));
    EXPECT_EQ(p.lastName, "Müller");
    EXPECT_EQ(p.firstName, "Jürgen");
}

TEST(ImageValues, StudyNumberRules)
{
    struct Case {
        std::string studyId;
        std::int32_t number;
    } cases[] = {{"0042", 42}, {" 17 ", 17}, {"ABC", 0}, {"32000", 0}, {"31999", 31999}, {"2.5", 2}, {"3.5", 4}};
    for (const auto& c : cases) {
        DicomRecipe recipe;
        recipe.extra = {{Tag{0x0020, 0x0010}, c.studyId}};
        StudyValues s;
        ASSERT_EQ(readStudyValues(headerOf(recipe), s), StudyRead::Complete);
        EXPECT_EQ(s.number, c.number) << c.studyId;
    }
}

TEST(ImageValues, StudyDefaultsAndSeriesUidStandsInForStudyUid)
{
    DicomRecipe recipe;
    recipe.seriesUid = "1.2.3.4.5";
    recipe.omit = {{0x0020, 0x000D}, {0x0008, 0x0090}, {0x0018, 0x0015}, {0x0008, 0x0050}, {0x0008, 0x0030}};
    recipe.studyDescription = "  Mammo 'bilateral'  ";
    recipe.studyDate = "20240115";
    StudyValues s;
    ASSERT_EQ(readStudyValues(headerOf(recipe), s), StudyRead::Complete);
    EXPECT_EQ(s.uid, "1.2.3.4.5");
    EXPECT_EQ(s.physician, "Unknown");
    EXPECT_EQ(s.bodyPart, "Unknown");
    EXPECT_EQ(s.accession, "Unknown");
    EXPECT_EQ(s.description, "Mammo 'bilateral'");
    EXPECT_EQ(s.date, "2024-01-15");
    EXPECT_EQ(s.time.size(), 19u) << "absent study time: the moment of reading";

    DicomRecipe timed;
    timed.studyTime = "101500";
    ASSERT_EQ(readStudyValues(headerOf(timed), s), StudyRead::Complete);
    EXPECT_EQ(s.time, "1899-12-30 10:15:00") << "a time without date lies on the date type's day zero";
}

TEST(ImageValues, MissingModalityIsReported)
{
    for (const char* modality : {"", "omit"}) {
        DicomRecipe recipe;
        if (std::string(modality) == "omit")
            recipe.omit = {{0x0008, 0x0060}};
        else
            recipe.modality = "";
        StudyValues s;
        EXPECT_EQ(readStudyValues(headerOf(recipe), s), StudyRead::NoModality);
    }
}

TEST(ImageValues, ImageNumberAcrNemaRule)
{
    struct Case {
        std::string recognition;
        bool contentTime;
        std::string acquisition;
        int instance;
        std::int32_t expected;
    } cases[] = {
        {"ACR-NEMA 1.0", true, "102345", 3, 10234503},
        {"acr-nema 1.0", true, "10:23:45", 12, 10234512},
        {"ACR-NEMA 1.0", false, "102345", 3, 3},  // without content time: the plain instance number
        {"ACR-NEMA 2.0", true, "102345", 3, 3},
        {"", true, "102345", 7, 7},
        {"ACR-NEMA 1.0", true, "102345", 123, 102345123},  // more than two digits: appended unpadded
    };
    for (const auto& c : cases) {
        DicomRecipe recipe;
        recipe.instanceNumber = c.instance;
        if (!c.recognition.empty())
            recipe.extra.push_back({Tag{0x0008, 0x0010}, c.recognition});
        recipe.extra.push_back({Tag{0x0008, 0x0032}, c.acquisition});
        if (c.contentTime)
            recipe.extra.push_back({Tag{0x0008, 0x0033}, "102346"});
        else
            recipe.omit.push_back({0x0008, 0x0033});
        EXPECT_EQ(readImageValues(headerOf(recipe)).imageNumber, c.expected) << c.recognition << " " << c.instance;
    }
}

TEST(ImageValues, DecimalRuleAndWholeNumbers)
{
    DicomRecipe recipe;
    recipe.extra = {{Tag{0x0020, 0x1041}, "-150.75"},
                  {Tag{0x0018, 0x0050}, "1.5"},
                  {Tag{0x0028, 0x1050}, "2047.5\\1000"},
                  {Tag{0x0028, 0x1051}, "4096"},
                  {Tag{0x0018, 0x0060}, "28.5"},
                  {Tag{0x0018, 0x1150}, "abc"}};
    const auto v = readImageValues(headerOf(recipe));
    EXPECT_DOUBLE_EQ(v.sliceLocation, -150.0);
    EXPECT_EQ(v.sliceThickness, 1);
    EXPECT_EQ(v.windowCenter, 2048) << "first value, a half to the even neighbour";
    EXPECT_EQ(v.windowWidth, 4096);
    EXPECT_EQ(v.kvp, 28);
    EXPECT_EQ(v.exposureTime, 0) << "not numeric";
    EXPECT_EQ(v.rows, 64);

    EXPECT_EQ(rules::decimalRule("1.25E2"), 125.0);
    EXPECT_EQ(rules::decimalRule("-.5"), 0.0);
    EXPECT_EQ(rules::decimalRule("7"), 7.0);
    EXPECT_EQ(rules::integerPart("2.5E1"), 2.0);
    EXPECT_EQ(rules::integerPart("-150.75"), -150.0);
    EXPECT_EQ(rules::integerPart("25"), 25.0);
    EXPECT_FALSE(rules::integerPart("x"));
    EXPECT_FALSE(rules::decimalRule("x"));
    EXPECT_EQ(rules::wholeNumber(2.5), 2);
    EXPECT_EQ(rules::wholeNumber(-3.5), -4);
    EXPECT_THROW(rules::wholeNumber(3e9), corva::Error);
}

TEST(ImageValues, ReporterIds)
{
    struct Case {
        std::string text;
        bool ok;
        ReporterIds ids;
    } cases[] = {
        {"12|34|56|78", true, {12, 34, 56}},
        {"12", true, {12, 0, 0}},
        {"12|x", false, {}},
    };
    for (const auto& c : cases) {
        DicomRecipe recipe;
        recipe.extra = {{Tag{0x1009, 0x0010}, c.text}};
        if (c.ok)
            EXPECT_EQ(readReporterIds(headerOf(recipe)), c.ids) << c.text;
        else
            EXPECT_THROW(readReporterIds(headerOf(recipe)), corva::Error) << c.text;
    }
    EXPECT_EQ(readReporterIds(headerOf(DicomRecipe{})), (ReporterIds{0, 0, 0}));
}

TEST(ImageValues, SopClassFillIn)
{
    EXPECT_EQ(sopClassForModality("ct"), "1.2.840.10008.5.1.4.1.1.2");
    EXPECT_EQ(sopClassForModality("MR"), "1.2.840.10008.5.1.4.1.1.4");
    EXPECT_EQ(sopClassForModality("US"), "1.2.840.10008.5.1.4.1.1.6.1");
    EXPECT_EQ(sopClassForModality("CR"), "1.2.840.10008.5.1.4.1.1.1");
    EXPECT_EQ(sopClassForModality("DR"), "1.2.840.10008.5.1.4.1.1.1");
    EXPECT_EQ(sopClassForModality("MG"), "1.2.840.10008.5.1.4.1.1.7");
    EXPECT_EQ(sopClassForModality(""), "1.2.840.10008.5.1.4.1.1.7");
}

}  // namespace
}  // namespace corva::ingest
