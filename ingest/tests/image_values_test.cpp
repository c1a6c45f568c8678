// The readers that turn an image header into the values registration stores.
#include "image_values.h"

#include <gtest/gtest.h>

#include "core/error.h"
#include "dicom_fixture.h"

namespace corva::ingest {
namespace {

using corva::test::DicomSpec;
using corva::test::makeImage;
using dicom::Tag;

dicom::DataSet headerOf(const DicomSpec& spec)
{
    // Keep the image alive through its shared data set handle.
    static std::vector<dicom::Image> keep;
    keep.push_back(makeImage(spec));
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
        DicomSpec spec;
        spec.patientName = c.name;
        const auto p = readPatientValues(headerOf(spec));
        EXPECT_EQ(p.lastName, c.last) << c.name;
        EXPECT_EQ(p.firstName, c.first) << c.name;
        EXPECT_EQ(p.middleName, c.middle) << c.name;
    }
}

TEST(ImageValues, PatientDefaults)
{
    DicomSpec spec;
    spec.omit = {{0x0010, 0x0010}, {0x0010, 0x0020}, {0x0010, 0x0040}};
    spec.birthDate = "18500101";
    const auto p = readPatientValues(headerOf(spec));
    EXPECT_EQ(p.lastName, "XXNoName");
    EXPECT_EQ(p.firstName, "");
    EXPECT_EQ(p.id, "");
    EXPECT_EQ(p.sex, "");
    EXPECT_EQ(p.birthDate, "") << "a birth year of 1850 or earlier is no birth date";

    DicomSpec named;
    named.birthDate = "19600229";
    EXPECT_EQ(readPatientValues(headerOf(named)).birthDate, "1960-02-29");
}

TEST(ImageValues, Latin1NameArrivesAsUtf8)
{
    const auto p = readPatientValues(headerOf(corva::test::latin1Spec("Müller^Jürgen")));
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
        DicomSpec spec;
        spec.extra = {{Tag{0x0020, 0x0010}, c.studyId}};
        StudyValues s;
        ASSERT_EQ(readStudyValues(headerOf(spec), s), StudyRead::Complete);
        EXPECT_EQ(s.number, c.number) << c.studyId;
    }
}

TEST(ImageValues, StudyDefaultsAndSeriesUidStandsInForStudyUid)
{
    DicomSpec spec;
    spec.seriesUid = "1.2.3.4.5";
    spec.omit = {{0x0020, 0x000D}, {0x0008, 0x0090}, {0x0018, 0x0015}, {0x0008, 0x0050}, {0x0008, 0x0030}};
    spec.studyDescription = "  Mammo 'bilateral'  ";
    spec.studyDate = "20240115";
    StudyValues s;
    ASSERT_EQ(readStudyValues(headerOf(spec), s), StudyRead::Complete);
    EXPECT_EQ(s.uid, "1.2.3.4.5");
    EXPECT_EQ(s.physician, "Unknown");
    EXPECT_EQ(s.bodyPart, "Unknown");
    EXPECT_EQ(s.accession, "Unknown");
    EXPECT_EQ(s.description, "Mammo 'bilateral'");
    EXPECT_EQ(s.date, "2024-01-15");
    EXPECT_EQ(s.time.size(), 19u) << "absent study time: the moment of reading";

    DicomSpec timed;
    timed.studyTime = "101500";
    ASSERT_EQ(readStudyValues(headerOf(timed), s), StudyRead::Complete);
    EXPECT_EQ(s.time, "1899-12-30 10:15:00") << "a time without date lies on the date type's day zero";
}

TEST(ImageValues, MissingModalityIsReported)
{
    for (const char* modality : {"", "omit"}) {
        DicomSpec spec;
        if (std::string(modality) == "omit")
            spec.omit = {{0x0008, 0x0060}};
        else
            spec.modality = "";
        StudyValues s;
        EXPECT_EQ(readStudyValues(headerOf(spec), s), StudyRead::NoModality);
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
        DicomSpec spec;
        spec.instanceNumber = c.instance;
        if (!c.recognition.empty())
            spec.extra.push_back({Tag{0x0008, 0x0010}, c.recognition});
        spec.extra.push_back({Tag{0x0008, 0x0032}, c.acquisition});
        if (c.contentTime)
            spec.extra.push_back({Tag{0x0008, 0x0033}, "102346"});
        else
            spec.omit.push_back({0x0008, 0x0033});
        EXPECT_EQ(readImageValues(headerOf(spec)).imageNumber, c.expected) << c.recognition << " " << c.instance;
    }
}

TEST(ImageValues, DecimalRuleAndWholeNumbers)
{
    DicomSpec spec;
    spec.extra = {{Tag{0x0020, 0x1041}, "-150.75"},
                  {Tag{0x0018, 0x0050}, "1.5"},
                  {Tag{0x0028, 0x1050}, "2047.5\\1000"},
                  {Tag{0x0028, 0x1051}, "4096"},
                  {Tag{0x0018, 0x0060}, "28.5"},
                  {Tag{0x0018, 0x1150}, "abc"}};
    const auto v = readImageValues(headerOf(spec));
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
        DicomSpec spec;
        spec.extra = {{Tag{0x1009, 0x0010}, c.text}};
        if (c.ok)
            EXPECT_EQ(readReporterIds(headerOf(spec)), c.ids) << c.text;
        else
            EXPECT_THROW(readReporterIds(headerOf(spec)), corva::Error) << c.text;
    }
    EXPECT_EQ(readReporterIds(headerOf(DicomSpec{})), (ReporterIds{0, 0, 0}));
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
