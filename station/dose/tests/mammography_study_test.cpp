// Four-view studies of both unit types converted with the records as the parser stores
// them: every exposure value read back from the files, and every file checked by
// dicom3tools' dciodvfy against the standard.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QRegularExpression>
#include <QStringList>
#include <regex>

#include "cr_image_fixture.h"
#include "dose/exposure_parser.h"
#include "dose/modify_image.h"
#include "dose_test_support.h"

using namespace corva::dose;
using corva::dicom::DataSet;
using corva::dicom::Image;
using corva::dicom::Tag;

namespace {

const QDateTime Now(QDate(2026, 12, 9), QTime(8, 20, 0));

// The exposure values one converted image must carry, in the attributes' units.
// nullptr: attribute present without value (the record's text was not a number), or,
// for the finer attributes, absent.
struct Expected {
    const char* kvp;               // (0018,0060) kV
    const char* exposureTime;      // (0018,1150) ms
    const char* exposureTimeUs;    // (0018,8150) µs, only when the ms are not whole
    const char* exposure;          // (0018,1152) mAs
    const char* exposureUAs;       // (0018,1153) µAs, only when the mAs are not whole
    const char* thickness;         // (0018,11A0) mm
    const char* force;             // (0018,11A2)
    const char* dose;              // (0040,8302), mGy
    const char* keptText;          // what Image Comments must hold, nullptr: no comments
    const char* doseComments;      // (0040,0310): the record's further values, nullptr: absent
};

struct View {
    const char* viewPosition;  // of the image
    const char* imageLaterality;  // of the image, nullptr: none (the reader's Laterality is empty)
    const char* record;        // the raw record as the unit sends it
    const char* projection;    // Giotto: the projection button clicked before the exposure
    Expected expected;
};

struct StudyCase {
    const char* name;
    int unit;
    View views[4];
};

void PrintTo(const StudyCase& c, std::ostream* os) { *os << c.name; }

const StudyCase Studies[] = {
    {"sophie",
     unit::Sophie,
     {{"LCC", nullptr, "Name:MUELLER 2026-12-09 08:16 L-CC Mo/Mo AEC 2 28kV 63mAs 0.50s S 12kg 4.5cm 1.23mGy\r\n", "",
       {"28", "500", nullptr, "63", nullptr, "45", "120", "1.23", nullptr, "Mo/Mo,AEC,2,L-CC,S"}},
      {"RCC", nullptr, "Name:MUELLER 2026-12-09 08:17 R-CC Mo/Rh AEC 3 29kV 71.5mAs 0.0125s S 11kg 5.2cm 1.4mGy\r\n", "",
       {"29", "12", "12500", "72", "71500", "52", "110", "1.4", nullptr, "Mo/Rh,AEC,3,R-CC,S"}},
      {"L OBLIQUE", nullptr, "Name:MUELLER 2026-12-09 08:18 L-LMO45 Mo/Mo AEC 2 28kV 80mAs 1.20s S 13kg 5cm 1.62mGy\r\n", "",
       {"28", "1200", nullptr, "80", nullptr, "50", "130", "1.62", nullptr, "Mo/Mo,AEC,2,L-LMO45,S"}},
      {"R OBLIQUE", nullptr, "Name:MUELLER 2026-12-09 08:19 R-LMO45 W/Rh AEC 2 30kV 90mAs 2s S 14kg 6.25cm 2.045mGy\r\n", "",
       {"30", "2000", nullptr, "90", nullptr, "62", "140", "2.045", nullptr, "W/Rh,AEC,2,R-LMO45,S"}}}},
    // The same records for images that name their views by the standard terms.
    {"sophie_standard_terms",
     unit::Sophie,
     {{"CC", "L", "Name:MUELLER 2026-12-09 08:16 L-CC Mo/Mo AEC 2 28kV 63mAs 0.50s S 12kg 4.5cm 1.23mGy\r\n", "",
       {"28", "500", nullptr, "63", nullptr, "45", "120", "1.23", nullptr, "Mo/Mo,AEC,2,L-CC,S"}},
      {"CC", "R", "Name:MUELLER 2026-12-09 08:17 R-CC Mo/Rh AEC 3 29kV 71.5mAs 0.0125s S 11kg 5.2cm 1.4mGy\r\n", "",
       {"29", "12", "12500", "72", "71500", "52", "110", "1.4", nullptr, "Mo/Rh,AEC,3,R-CC,S"}},
      {"MLO", "L", "Name:MUELLER 2026-12-09 08:18 L-LMO45 Mo/Mo AEC 2 28kV 80mAs 1.20s S 13kg 5cm 1.62mGy\r\n", "",
       {"28", "1200", nullptr, "80", nullptr, "50", "130", "1.62", nullptr, "Mo/Mo,AEC,2,L-LMO45,S"}},
      {"MLO", "R", "Name:MUELLER 2026-12-09 08:19 R-LMO45 W/Rh AEC 2 30kV 90mAs 2s S 14kg 6.25cm 2.045mGy\r\n", "",
       {"30", "2000", nullptr, "90", nullptr, "62", "140", "2.045", nullptr, "W/Rh,AEC,2,R-LMO45,S"}}}},
    {"giotto",
     unit::Giotto,
     {{"LCC", nullptr, "\x02 10 280 63 1.25\x03\r\n", "L-CC",
       {"28", nullptr, nullptr, "63", nullptr, nullptr, nullptr, "1.25", nullptr, nullptr}},
      {"RCC", nullptr, "\x02 10 300 45 2.10\x03\r\n", "R-CC",
       {"30", nullptr, nullptr, "45", nullptr, nullptr, nullptr, "2.1", nullptr, nullptr}},
      {"LLO", nullptr, "\x02 10 290 71 0.95\x03", "L-LMO45",
       {"29", nullptr, nullptr, "71", nullptr, nullptr, nullptr, "0.95", nullptr, nullptr}},
      // A record whose current-time product comes out garbled ("0 80 "): not written as a number.
      {"RLO", nullptr, "\x02 10 3500 80 1.5\x03\r\n", "R-LMO45",
       {"35", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, "1.5", "Exposure (0018,1152) 0 80", nullptr}}}},
};

// The record as the dose list hands it on: the row's columns as texts.
CurrentExposure storedExposure(const ExposureRecord& r) {
    return {r.kvp,
            r.ma,
            r.dicke ? QString::number(*r.dicke) : QString(),
            r.druck ? QString::number(*r.druck) : QString(),
            r.mGy,
            r.sonstiges,
            r.expZeit.value_or(QString())};
}

ExposureRecord parse(int unit, const View& v) {
    const QString raw = QString::fromLatin1(v.record);
    return unit == unit::Sophie ? parseSophie(sophieTokens(raw), Now) : parseGiotto(raw, v.projection, Now);
}

// Attribute values of a converted file, checked for the form their VR allows.
class ConvertedFile {
public:
    explicit ConvertedFile(const std::filesystem::path& file) : ds_(Image::read(file).attributes()) {}
    const DataSet& attributes() const { return ds_; }

    // Compares a numeric attribute with the expected number (nullptr: present and empty).
    void expectNumber(Tag tag, const char* expected, bool integer) const {
        SCOPED_TRACE(tag.text());
        const corva::dicom::Attribute a = ds_.get(tag);
        ASSERT_TRUE(a.exists);
        const std::string raw = ds_.rawBytes(tag);
        if (!expected) {
            EXPECT_TRUE(raw.empty()) << raw;
            return;
        }
        static const QRegularExpression is(QStringLiteral("^ *[+-]?[0-9]+ *$"));
        static const QRegularExpression ds(QStringLiteral("^ *[+-]?([0-9]+\\.?[0-9]*|\\.[0-9]+)([eE][+-]?[0-9]+)? *$"));
        EXPECT_LE(raw.size(), integer ? 12u : 16u) << raw;
        EXPECT_TRUE((integer ? is : ds).match(QString::fromStdString(raw)).hasMatch()) << raw;
        EXPECT_DOUBLE_EQ(QString::fromStdString(raw).trimmed().toDouble(), QString::fromLatin1(expected).toDouble());
    }
    // A finer attribute: the expected number, or absent.
    void expectOptionalNumber(Tag tag, const char* expected, bool integer) const {
        if (expected)
            expectNumber(tag, expected, integer);
        else
            EXPECT_FALSE(ds_.contains(tag)) << tag.text();
    }

private:
    DataSet ds_;
};

class MammographyStudy : public ::testing::TestWithParam<StudyCase> {
protected:
    // Converts the four views, each with its own record; the files written, in view order.
    std::vector<std::filesystem::path> convertStudy(const StudyCase& study) {
        const std::string studyUid = corva::dicom::newUid(), seriesUid = corva::dicom::newUid();
        std::vector<std::filesystem::path> out;
        int n = 0;
        for (const View& v : study.views) {
            test::CrImage cr{v.viewPosition, studyUid, seriesUid, ++n, {}, {}};
            if (v.imageLaterality) cr.extra.emplace_back(Tag{0x0020, 0x0062}, v.imageLaterality);
            Image image = Image::read(test::writeCrImage(folder.path() / "in" / (std::to_string(n) + ".dcm"), cr));
            EXPECT_TRUE(ModifyImage(&image, storedExposure(parse(study.unit, v)), study.unit, folder.bin()))
                << folder.errorLog();
            out.push_back(folder.bin() / (image.sopInstanceUid() + ".dcm"));
        }
        return out;
    }

    test::DoseFolder folder;
};

TEST_P(MammographyStudy, ExposureValuesEqualTheRecordsInDicomUnits) {
    const StudyCase& study = GetParam();
    const auto files = convertStudy(study);
    int keptTexts = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const Expected& e = study.views[i].expected;
        const View& v = study.views[i];
        SCOPED_TRACE(std::string(v.viewPosition) + (v.imageLaterality ? std::string(" ") + v.imageLaterality : ""));
        ASSERT_TRUE(std::filesystem::exists(files[i]));
        const ConvertedFile f(files[i]);
        const DataSet& ds = f.attributes();
        f.expectNumber({0x0018, 0x0060}, e.kvp, false);
        f.expectNumber({0x0018, 0x1152}, e.exposure, true);
        f.expectOptionalNumber({0x0018, 0x1153}, e.exposureUAs, true);
        f.expectNumber({0x0040, 0x8302}, e.dose, false);
        EXPECT_FALSE(ds.contains({0x0018, 0x115E}));  // an area dose product, which the record has not
        // The reader's sensitivity (its exposure index) stays, whatever the unit.
        EXPECT_EQ(ds.get(Tag{0x0018, 0x6000}).text, "200");
        if (e.doseComments)
            EXPECT_EQ(ds.get(Tag{0x0040, 0x0310}).text, e.doseComments);
        else
            EXPECT_FALSE(ds.contains({0x0040, 0x0310}));
        if (study.unit == unit::Sophie) {
            f.expectNumber({0x0018, 0x1150}, e.exposureTime, true);
            f.expectOptionalNumber({0x0018, 0x8150}, e.exposureTimeUs, false);
            f.expectNumber({0x0018, 0x11A0}, e.thickness, false);
            f.expectNumber({0x0018, 0x11A2}, e.force, false);
        } else {
            // Values the Giotto unit does not report: the reader's stay, nothing is added.
            EXPECT_FALSE(ds.contains({0x0018, 0x1150}));
            EXPECT_FALSE(ds.contains({0x0018, 0x11A0}));
            EXPECT_FALSE(ds.contains({0x0018, 0x11A2}));
        }
        if (e.keptText) {
            EXPECT_EQ(ds.get(Tag{0x0020, 0x4000}).text,
                      std::string("Exposure record value, not a number: ") + e.keptText);
            ++keptTexts;
        } else {
            EXPECT_FALSE(ds.contains({0x0020, 0x4000}));
        }
    }
    // One error-log line for each text kept, and no other.
    EXPECT_EQ(folder.errorCount("ModifyImage"), keptTexts) << folder.errorLog();
    if (keptTexts) {
        EXPECT_NE(folder.errorLog().find("is not a number"), std::string::npos);
    }
}

TEST_P(MammographyStudy, DciodvfyFindsNoErrorButTheLateralityRemark) {
    if (!test::haveDciodvfy()) GTEST_SKIP() << "dciodvfy (package dicom3tools) is not installed";
    for (const auto& file : convertStudy(GetParam())) {
        std::string report;
        for (const std::string& error : test::dciodvfyErrors(file, &report))
            EXPECT_TRUE(test::isLateralityRemark(error)) << error << "\n" << report;
        EXPECT_NE(report.find(test::IodChecked), std::string::npos) << report;
    }
}

// What dciodvfy reports for an image whose projection is unknown: the conversion makes
// up no side, orientation or view, so what the reader left out stays missing.
struct KnownFinding {
    const char* pattern;  // a regular expression matched against the error line
    const char* reason;
};

const KnownFinding UnknownProjectionFindings[] = {
    {R"(^Error - Missing attribute Type 1 Required Element=<ImageLaterality> Module=<(DXAnatomyImaged|MammographyImage)>)",
     "the reader wrote no Image Laterality, and the View Position names no side"},
    {R"(^Error - Empty attribute \(no value\) Type 1C Conditional Element=<PatientOrientation> Module=<DXImage>)",
     "the reader's Patient Orientation is empty and stays so"},
    {R"(^Error - Missing attribute Type 1 Required Element=<ViewCodeSequence> Module=<MammographyImage>)",
     "an image without View Position names no view"},
};

bool knownFinding(const std::string& line) {
    if (test::isLateralityRemark(line)) return true;
    for (const KnownFinding& f : UnknownProjectionFindings)
        if (std::regex_search(line, std::regex(f.pattern))) return true;
    return false;
}

// "CC" without a side and no View Position at all: the findings about those come from
// the input and are listed apart; nothing else is reported.
TEST(UnknownProjection, DciodvfyFindsOnlyTheFindingsOfTheInput) {
    if (!test::haveDciodvfy()) GTEST_SKIP() << "dciodvfy (package dicom3tools) is not installed";
    test::DoseFolder folder;
    int n = 0;
    for (const char* viewPosition : {"CC", ""}) {
        SCOPED_TRACE(viewPosition);
        test::CrImage cr{viewPosition, {}, {}, ++n, {}, {}};
        Image image = Image::read(test::writeCrImage(folder.path() / "in" / (std::to_string(n) + ".dcm"), cr));
        const CurrentExposure e{"28", "63", "45", "120", "1.23mGy", "Mo/Mo,AEC,2,CC,S", "0,5"};
        ASSERT_TRUE(ModifyImage(&image, e, unit::Sophie, folder.bin()));
        std::string report;
        for (const std::string& error : test::dciodvfyErrors(folder.bin() / (image.sopInstanceUid() + ".dcm"), &report))
            EXPECT_TRUE(knownFinding(error)) << error << "\n" << report;
        EXPECT_NE(report.find(test::IodChecked), std::string::npos) << report;
    }
}

INSTANTIATE_TEST_SUITE_P(Units, MammographyStudy, ::testing::ValuesIn(Studies),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
