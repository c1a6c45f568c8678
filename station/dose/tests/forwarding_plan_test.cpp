// The pairing of images with exposure records: a table of the exams a site sees,
// each with the pairs it must give or the refusal it must give.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "dose/exposure.h"
#include "dose/forwarding_plan.h"

using namespace corva::dose;

namespace {

struct ImageCase {
    const char* viewPosition;
    const char* laterality;
    const char* imageLaterality;
    const char* taken;  // "hh:mm:ss" on 10.12.2026, or "" for none
};

struct RecordCase {
    std::int64_t id;
    const char* zeit;
    const char* sonstiges;  // Sophie: the unit's further values, projection fourth; Giotto: the projection
};

struct PlanCase {
    const char* name;
    int unit;
    std::vector<ImageCase> images;
    std::vector<RecordCase> records;
    std::map<int, std::int64_t> pairs;  // image position -> record ID; empty: refused
    const char* refusal;                // a text the refusal must contain
};

QString sophie(const char* code) { return QStringLiteral("Mo/Mo,AEC,2,%1,S").arg(QLatin1String(code)); }

std::vector<PlanImage> imagesOf(const PlanCase& c) {
    std::vector<PlanImage> out;
    int position = 0;
    for (const ImageCase& i : c.images) {
        PlanImage p;
        p.position = ++position;
        p.sopInstanceUid = "1.2.3." + std::to_string(position);
        p.imageId = 100 + position;
        p.instanceNumber = position;
        p.projection = projectionFromHeader(i.viewPosition, i.laterality, i.imageLaterality);
        if (*i.taken)
            p.taken = QDateTime(QDate(2026, 12, 10), QTime::fromString(QLatin1String(i.taken), "hh:mm:ss"));
        out.push_back(p);
    }
    return out;
}

std::vector<PlanRecord> recordsOf(const PlanCase& c) {
    std::vector<PlanRecord> out;
    for (const RecordCase& r : c.records) {
        DoseRow row;
        row.id = r.id;
        row.datum = QStringLiteral("10.12.2026");
        row.zeit = QLatin1String(r.zeit);
        row.kvp = QStringLiteral("28");
        row.ma = QStringLiteral("63");
        row.sonstiges = c.unit == unit::Sophie ? sophie(r.sonstiges) : QLatin1String(r.sonstiges);
        out.push_back(planRecord(row, c.unit));
    }
    return out;
}

const std::vector<ImageCase> FourViews{{"CC", "L", "L", "10:00:00"},
                                       {"CC", "R", "R", "10:01:00"},
                                       {"MLO", "L", "L", "10:02:00"},
                                       {"MLO", "R", "R", "10:03:00"}};
const std::vector<RecordCase> FourRecords{
    {11, "10:00:10", "L-CC"}, {12, "10:01:10", "R-CC"}, {13, "10:02:10", "L-LMO45"}, {14, "10:03:10", "R-LMO45"}};

class PlanTable : public ::testing::TestWithParam<PlanCase> {};

TEST_P(PlanTable, PairsOrRefuses) {
    const PlanCase& c = GetParam();
    const ForwardingPlan plan = ForwardingPlan::make(imagesOf(c), recordsOf(c));
    if (c.pairs.empty()) {
        EXPECT_FALSE(plan.holds());
        EXPECT_TRUE(plan.pairs().empty()) << "a refused plan pairs nothing";
        EXPECT_TRUE(plan.refusalMessage().contains(QLatin1String(c.refusal)))
            << plan.refusalMessage().toStdString();
        EXPECT_TRUE(plan.refusalMessage().contains(QLatin1String("Manually")));
        return;
    }
    ASSERT_TRUE(plan.holds()) << plan.refusalMessage().toStdString();
    std::map<int, std::int64_t> got;
    for (const PlanPair& p : plan.pairs()) got[p.position] = p.recordId;
    EXPECT_EQ(got, c.pairs);
    std::set<std::int64_t> used;
    for (const PlanPair& p : plan.pairs()) EXPECT_TRUE(used.insert(p.recordId).second) << "record used twice";
}

INSTANTIATE_TEST_SUITE_P(
    Exams, PlanTable,
    ::testing::Values(
        PlanCase{"FourViews", unit::Sophie, FourViews, FourRecords, {{1, 11}, {2, 12}, {3, 13}, {4, 14}}, ""},
        PlanCase{"FourViewsRecordsOutOfOrder",
                 unit::Sophie,
                 FourViews,
                 {{14, "10:03:10", "R-LMO45"}, {12, "10:01:10", "R-CC"}, {11, "10:00:10", "L-CC"}, {13, "10:02:10", "L-LMO45"}},
                 {{1, 11}, {2, 12}, {3, 13}, {4, 14}},
                 ""},
        // The retake is listed first but taken last: it takes the later L-CC record.
        PlanCase{"Retake",
                 unit::Sophie,
                 {{"CC", "L", "L", "10:05:00"}, {"CC", "L", "L", "10:00:00"}, {"CC", "R", "R", "10:01:00"}},
                 {{21, "10:00:10", "L-CC"}, {22, "10:01:10", "R-CC"}, {23, "10:05:10", "L-CC"}},
                 {{1, 23}, {2, 21}, {3, 22}},
                 ""},
        PlanCase{"MissingRecord", unit::Sophie, FourViews,
                 {{11, "10:00:10", "L-CC"}, {12, "10:01:10", "R-CC"}, {13, "10:02:10", "L-LMO45"}}, {},
                 "No exposure record waits for R-MLO (image 4)"},
        PlanCase{"StrayRecordOfAnotherPatient",
                 unit::Sophie,
                 {{"CC", "L", "L", "10:00:00"}, {"CC", "R", "R", "10:01:00"}},
                 {{11, "10:00:10", "L-CC"}, {12, "10:01:10", "R-CC"}, {13, "09:30:00", "L-LMO45"}},
                 {},
                 "likely another patient's"},
        PlanCase{"TwoPatientsRecordsWaiting",
                 unit::Sophie,
                 FourViews,
                 {{11, "09:00:10", "L-CC"}, {12, "09:01:10", "R-CC"}, {13, "09:02:10", "L-LMO45"},
                  {14, "09:03:10", "R-LMO45"}, {15, "10:00:10", "L-CC"}, {16, "10:01:10", "R-CC"},
                  {17, "10:02:10", "L-LMO45"}, {18, "10:03:10", "R-LMO45"}},
                 {},
                 "L-CC: 1 image(s) but 2 exposure record(s) waiting"},
        PlanCase{"RetakeWithoutItsRecord",
                 unit::Sophie,
                 {{"CC", "L", "L", "10:00:00"}, {"CC", "L", "L", "10:05:00"}},
                 {{21, "10:00:10", "L-CC"}},
                 {},
                 "L-CC: 2 image(s) but 1 exposure record(s) waiting"},
        PlanCase{"LowerCaseAndCombinedTerms",
                 unit::Sophie,
                 {{"cc", "l", "", ""}, {"r cc", "", "", ""}, {"LLO", "", "", ""}, {"mlo", "", "r", ""}},
                 FourRecords,
                 {{1, 11}, {2, 12}, {3, 13}, {4, 14}},
                 ""},
        PlanCase{"SophieRecordWithoutProjectionItem",
                 unit::Sophie,
                 {{"CC", "L", "L", ""}},
                 {{11, "10:00:10", "L-CC"}, {12, "10:00:20", ""}},
                 {},
                 "names no projection"},
        PlanCase{"GiottoPairsByButton",
                 unit::Giotto,
                 {{"CC", "L", "L", ""}, {"MLO", "R", "R", ""}},
                 {{31, "10:00:10", "R-LMO45"}, {32, "10:00:20", "L-CC"}},
                 {{1, 32}, {2, 31}},
                 ""},
        PlanCase{"GiottoWithoutProjection",
                 unit::Giotto,
                 {{"CC", "L", "L", ""}, {"CC", "R", "R", ""}},
                 {{31, "10:00:10", "L-CC"}, {32, "10:00:20", ""}},
                 {},
                 "names no projection"},
        PlanCase{"UnknownView", unit::Sophie, {{"XYZ", "L", "L", ""}}, {{11, "10:00:10", "L-CC"}}, {},
                 "projection cannot be read"},
        PlanCase{"NoSide", unit::Sophie, {{"CC", "", "", ""}}, {{11, "10:00:10", "L-CC"}}, {},
                 "projection cannot be read"},
        PlanCase{"SidesDisagree", unit::Sophie, {{"L CC", "R", "", ""}}, {{11, "10:00:10", "L-CC"}}, {},
                 "two different sides"},
        PlanCase{"NoRecords", unit::Sophie, {{"CC", "L", "L", ""}}, {}, {}, "No exposure record waits for L-CC"},
        PlanCase{"NoImages", unit::Sophie, {}, FourRecords, {}, "no images"}),
    [](const ::testing::TestParamInfo<PlanCase>& info) { return std::string(info.param.name); });

TEST(ForwardingPlanTest, PairsListRecordValuesForTheOperator) {
    PlanCase c{"", unit::Sophie, {{"CC", "L", "L", ""}}, {{11, "10:00:10", "L-CC"}}, {}, ""};
    const ForwardingPlan plan = ForwardingPlan::make(imagesOf(c), recordsOf(c));
    ASSERT_TRUE(plan.holds());
    ASSERT_EQ(plan.describePairs().size(), 1);
    const QString line = plan.describePairs().front();
    EXPECT_TRUE(line.contains("Image 1 (L-CC)")) << line.toStdString();
    EXPECT_TRUE(line.contains("10:00:10")) << line.toStdString();
    EXPECT_TRUE(line.contains("28 kV")) << line.toStdString();
    EXPECT_TRUE(line.contains("63 mAs")) << line.toStdString();
    ASSERT_NE(plan.pairFor("1.2.3.1"), nullptr);
    EXPECT_EQ(plan.pairFor("1.2.3.1")->imageId, 101);
    EXPECT_EQ(plan.pairFor("1.2.3.9"), nullptr);
}

// The unit's name for the patient against the image's Patient Name.
TEST(NamesMatch, UnitNamesAgainstPatientNames) {
    const struct {
        const char* unit;
        const char* patient;
        bool match;
    } cases[] = {
        {"MUELLER", "Mueller^Anna", true},
        {"MUELLER ANNA", "Mueller^Anna", true},
        {"MUELLE", "Mueller^Anna", true},         // cut short by the unit
        {"MUE", "Mueller^Anna", false},           // too short to tell
        {"DAY1", "DAY10^Patient", false},
        {"M\u00dcLLER", "Mueller^Anna", true},   // umlaut written out on one side only
        {"MUELLER", "M\u00fcller^Anna", true},
        {"MUSTER", "Mueller^Anna", false},
        {"DAY2", "DAY0^Patient", false},
        {"", "Mueller^Anna", true},              // nothing to compare
        {"MUELLER", "", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(namesMatch(QString::fromUtf8(c.unit), QString::fromUtf8(c.patient)), c.match)
            << c.unit << " / " << c.patient;
}

// Four views of one patient, the four records the unit made for another: refused, even
// though projections and times fit.
TEST(ForwardingPlanTest, RecordsTheUnitMadeForAnotherPatientAreNotPaired) {
    PlanCase c{"", unit::Sophie, FourViews, FourRecords, {}, ""};
    std::vector<PlanImage> images = imagesOf(c);
    for (PlanImage& i : images) i.patientName = QStringLiteral("Day0^Patient");
    std::vector<PlanRecord> records = recordsOf(c);
    for (PlanRecord& r : records) r.row.patientName = QStringLiteral("DAY2");
    const ForwardingPlan refused = ForwardingPlan::make(images, records);
    EXPECT_FALSE(refused.holds());
    EXPECT_TRUE(refused.refusalMessage().contains("was made for \"DAY2\"; image 1 is of \"Day0^Patient\""))
        << refused.refusalMessage().toStdString();
    for (PlanRecord& r : records) r.row.patientName = QStringLiteral("DAY0");
    EXPECT_TRUE(ForwardingPlan::make(images, records).holds());
}

}  // namespace
