// Hostile input for the pairing and the conversion: odd headers, odd record texts,
// records of another day. Each test states what must hold; a failing one is a finding.
#include <gtest/gtest.h>

#include <QDateTime>

#include "cr_image_fixture.h"
#include "dose/exposure.h"
#include "dose/forwarding_plan.h"
#include "dose/modify_image.h"
#include "dose/projection.h"
#include "temp_dir.h"

using namespace corva::dose;

namespace {

const corva::dicom::Tag ViewPositionTag{0x0018, 0x5101}, LateralityTag{0x0020, 0x0060},
    ImageLateralityTag{0x0020, 0x0062};

PlanImage image(int position, const char* vp, const char* lat, const char* imageLat,
                QDateTime taken = QDateTime(QDate(2026, 12, 10), QTime(10, 0, 0))) {
    PlanImage p;
    p.position = position;
    p.sopInstanceUid = "1.2.3." + std::to_string(position);
    p.imageId = 100 + position;
    p.instanceNumber = position;
    p.projection = projectionFromHeader(vp, lat, imageLat);
    p.taken = taken;
    return p;
}

PlanRecord record(std::int64_t id, const char* datum, const char* zeit, const char* code) {
    DoseRow row;
    row.id = id;
    row.datum = QLatin1String(datum);
    row.zeit = QLatin1String(zeit);
    row.kvp = QStringLiteral("28");
    row.ma = QStringLiteral("63");
    row.mGy = QStringLiteral("1.2");
    row.sonstiges = QStringLiteral("Mo/Mo,AEC,2,%1,S").arg(QLatin1String(code));
    return planRecord(row, unit::Sophie);
}

// ---- the side of the header ------------------------------------------------------------

// Headers that name two sides, or no usable side, must never be paired automatically.
struct SideCase {
    const char* name;
    const char* vp;
    const char* lat;
    const char* imageLat;
};

class HostileSides : public ::testing::TestWithParam<SideCase> {};

TEST_P(HostileSides, AHeaderWithoutOneClearSideIsRefused) {
    const SideCase& c = GetParam();
    const HeaderProjection h = projectionFromHeader(c.vp, c.lat, c.imageLat);
    EXPECT_FALSE(h.projection.known()) << c.name << ": read as " << h.projection.key().toStdString();
    const ForwardingPlan plan =
        ForwardingPlan::make({image(1, c.vp, c.lat, c.imageLat)}, {record(1, "10.12.2026", "09:59:00", "L-CC")});
    EXPECT_FALSE(plan.holds()) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Headers, HostileSides,
    ::testing::Values(SideCase{"CombinedLeftButImageRight", "L CC", "", "R"},
                      SideCase{"CombinedLeftButSeriesRight", "LCC", "R", ""},
                      SideCase{"BothBreastsSeries", "CC", "B", ""},
                      SideCase{"BothBreastsImage", "CC", "", "B"},
                      SideCase{"MultiValuedViewPosition", "CC\\MLO", "L", "L"},
                      SideCase{"MultiValuedCombined", "L\\CC", "", ""},
                      // Image Laterality says both breasts, the series says left: two sides.
                      SideCase{"ImageBothSeriesLeft", "CC", "L", "B"},
                      // Image Laterality names left first, then right: no one side.
                      SideCase{"ImageMultiValuedSeriesRight", "CC", "R", "L\\R"},
                      // Image Laterality "U" (unpaired) against a series side.
                      SideCase{"ImageUnpairedSeriesLeft", "CC", "L", "U"}),
    [](const ::testing::TestParamInfo<SideCase>& info) { return std::string(info.param.name); });

// Lower case, blanks and the reader's forms read alike.
TEST(HostileProjection, OddButClearHeadersAndRecordCodes) {
    EXPECT_EQ(projectionFromHeader(" cc ", "", "l ").projection.key(), "L-CC");
    EXPECT_EQ(projectionFromHeader("r mlo", "", "").projection.key(), "R-MLO");
    EXPECT_EQ(projectionFromCode("l-cc").key(), "L-CC");
    EXPECT_EQ(projectionFromCode(" L-CC ").key(), "L-CC");
    EXPECT_FALSE(projectionFromCode("L-CC45").known()) << projectionFromCode("L-CC45").key().toStdString();
    // "R-LMO" is a latero-medial oblique, not the unit's oblique "R-LMO45": an MLO image
    // must not take it.
    const ForwardingPlan plan =
        ForwardingPlan::make({image(1, "MLO", "", "R")}, {record(1, "10.12.2026", "09:59:00", "R-LMO")});
    EXPECT_FALSE(plan.holds());
}

// ---- records that cannot be the image's --------------------------------------------------

// A record of the day before (left over from another patient whose images never
// came) has the projection the image needs. It was not taken for this image.
TEST(HostilePlan, ARecordOfAnotherDayIsNotPaired) {
    const ForwardingPlan plan =
        ForwardingPlan::make({image(1, "CC", "", "L", QDateTime(QDate(2026, 12, 10), QTime(10, 0, 0)))},
                             {record(7, "09.12.2026", "15:30:00", "L-CC")});
    EXPECT_FALSE(plan.holds()) << plan.describePairs().join("\n").toStdString();
}

// A record made after the image was read cannot have been taken for it.
TEST(HostilePlan, ARecordAfterTheImageIsNotPaired) {
    const ForwardingPlan plan =
        ForwardingPlan::make({image(1, "CC", "", "L", QDateTime(QDate(2026, 12, 10), QTime(10, 0, 0)))},
                             {record(7, "10.12.2026", "14:00:00", "L-CC")});
    EXPECT_FALSE(plan.holds()) << plan.describePairs().join("\n").toStdString();
}

// A retake: one image without any acquisition time; the pairing must not fall back to
// an order that contradicts the times it has.
TEST(HostilePlan, RetakeWithOneTimeMissingKeepsTheTimesItHas) {
    std::vector<PlanImage> images{image(1, "CC", "", "L", QDateTime(QDate(2026, 12, 10), QTime(10, 5, 0))),
                                  image(2, "CC", "", "L", QDateTime(QDate(2026, 12, 10), QTime(10, 0, 0))),
                                  image(3, "CC", "", "L")};
    images[2].taken.reset();
    images[2].instanceNumber = 3;
    const ForwardingPlan plan = ForwardingPlan::make(
        images, {record(1, "10.12.2026", "09:59:50", "L-CC"), record(2, "10.12.2026", "10:04:50", "L-CC"),
                 record(3, "10.12.2026", "10:09:50", "L-CC")});
    // Either refused (the order is not known) or image 2 (10:00) takes the 09:59:50 record.
    if (plan.holds()) {
        ASSERT_NE(plan.pairFor("1.2.3.2"), nullptr);
        EXPECT_EQ(plan.pairFor("1.2.3.2")->recordId, 1) << plan.describePairs().join("\n").toStdString();
        EXPECT_EQ(plan.pairFor("1.2.3.1")->recordId, 2) << plan.describePairs().join("\n").toStdString();
    }
}

// ---- the conversion keeps the source's side --------------------------------------------

struct ConvertCase {
    const char* name;
    const char* vp;
    const char* lat;       // "" -> omitted
    const char* imageLat;  // "" -> omitted
    const char* expectImageLat;
};

class HostileConversionSide : public ::testing::TestWithParam<ConvertCase> {};

TEST_P(HostileConversionSide, TheConvertedImageCarriesTheSourceSide) {
    const ConvertCase& c = GetParam();
    corva::test::TempDir dir("adv-conv");
    test::CrImage cr;
    cr.viewPosition = c.vp;
    if (*c.lat) cr.extra.push_back({LateralityTag, c.lat});
    if (*c.imageLat) cr.extra.push_back({ImageLateralityTag, c.imageLat});
    if (!*c.lat) cr.omit.push_back(LateralityTag);
    const auto file = test::writeCrImage(dir.path() / "in" / "a.dcm", cr);
    std::filesystem::create_directories(dir.path() / "bin");
    auto img = corva::dicom::Image::read(file);
    CurrentExposure e{"28", "63", "45", "100", "1.2", "Mo/Mo,AEC,2,L-CC,S", "0,5"};
    const auto out = convertToMammography(img, e, unit::Sophie, dir.path() / "bin");
    auto converted = corva::dicom::Image::read(out, corva::dicom::ReadMode::HeaderOnly);
    EXPECT_EQ(converted.attributes().get(ImageLateralityTag).text, c.expectImageLat) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Headers, HostileConversionSide,
    ::testing::Values(ConvertCase{"LowerCase", "cc", "", "r", "R"}, ConvertCase{"Combined", "L CC", "", "", "L"},
                      ConvertCase{"TrailingBlank", "CC ", "L ", "", "L"},
                      // The source says both breasts on the image: it must not become "L".
                      ConvertCase{"ImageBothSeriesLeft", "CC", "L", "B", "B"}),
    [](const ::testing::TestParamInfo<ConvertCase>& info) { return std::string(info.param.name); });

}  // namespace
