// corvactl edit --rule with rules that move or switch values into and out of the UIDs
// the ingest service files by: a Study or Series Instance UID moved away (left empty),
// or switched with the Patient ID (no UID at all). Whatever the rule does, the image
// stays filed under its SOP instance UID, or the edit is refused and the original stays:
// an edit never sends an image to the set-aside folder.
#include <gtest/gtest.h>

#include <filesystem>

#include "ctl_site.h"
#include "dicom_fixture.h"

namespace corva::station::ctl::test {
namespace {

namespace fs = std::filesystem;

const std::string Root = "1.2.826.0.1.3680043.9.7731.86";
const std::string Study = Root + ".1";

struct RuleCase {
    const char* name;
    const char* source;
    const char* action;  // "Move entry" (1) or "Switch entry" (2)
    const char* target;
};

class HostileRule : public ::testing::TestWithParam<RuleCase> {
protected:
    CtlSite site_;
};

TEST_P(HostileRule, ImageStaysFiledOrTheEditIsRefused) {
    const RuleCase c = GetParam();
    corva::test::DicomRecipe r;
    r.patientId = "HR1";
    r.studyUid = Study;
    r.seriesUid = Study + ".1";
    r.sopInstanceUid = Study + ".1.1";
    r.studyDescription = "Screening";
    r.rows = 16;
    r.columns = 16;
    ASSERT_EQ(site_.run({"import", corva::test::writeDicom(site_.scratch() / "in" / "a.dcm", r).string()}).code, 0);
    ASSERT_TRUE(site_.waitForImages(1));
    {
        db::Database user(site_.userDb());
        user.prepare("INSERT INTO tblRuleKey (fKeyName) VALUES ('Hostile')").run();
        auto st = user.prepare(
            "INSERT INTO tblRules (fLevel, fSource, fTask, fTaskID, fTarget, fName) VALUES ('Study', ?, ?, ?, ?, "
            "'Hostile')");
        st.bind(1, std::string(c.source))
            .bind(2, std::string(c.action))
            .bind(3, std::string(c.action) == "Move entry" ? "1" : "2")
            .bind(4, std::string(c.target));
        st.run();
    }
    const CtlResult edit = site_.run({"edit", "--study", Study, "--rule", "Hostile"});
    ASSERT_TRUE(site_.waitForImages(1)) << edit.out << edit.err;
    const CtlResult check = site_.run({"check"});
    EXPECT_EQ(site_.count("SELECT COUNT(*) FROM tblImages WHERE ImageUID = '" + r.sopInstanceUid + "'"), 1)
        << "the edited image is no longer filed (edit " << edit.code << "): " << edit.out << edit.err << "\n"
        << check.out;
    EXPECT_EQ(check.code, 0) << check.out;
}

INSTANTIATE_TEST_SUITE_P(
    Rules, HostileRule,
    ::testing::Values(RuleCase{"StudyUidSwitchedWithPatientId", "0020,000D - Study Instance UID", "Switch entry",
                               "0010,0020 - Patient ID"},
                      RuleCase{"SeriesUidMovedAway", "0020,000E - Series Instance UID", "Move entry",
                               "0008,103E - Series Description"},
                      RuleCase{"PatientIdMovedIntoSeriesUid", "0010,0020 - Patient ID", "Move entry",
                               "0020,000E - Series Instance UID"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace corva::station::ctl::test
