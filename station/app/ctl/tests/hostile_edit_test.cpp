// corvactl edit with values a radiographer may type or paste: another patient's ID,
// a new study UID, values that are no UID, backslashes, control characters, huge
// values. Whatever the edit does, the image stays filed (row and file) under its SOP
// instance UID once Ingrado has taken the rewritten copy, or the edit is refused and
// the original stays as it was: an edit never sends an image to the set-aside folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>

#include "ctl_site.h"
#include "dicom/dicom.h"
#include "dicom_fixture.h"

namespace corva::station::ctl::test {
namespace {

namespace fs = std::filesystem;

const std::string Root = "1.2.826.0.1.3680043.9.7731.77";

struct EditCase {
    const char* name;
    const char* tag;
    std::string value;
};

class HostileEdit : public ::testing::TestWithParam<EditCase> {
protected:
    CtlSite site_;
};

bool setAsideEmpty(const fs::path& temp) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(temp / "BadObjects", ec))
        if (e.path().extension() == ".dcm") return false;
    return true;
}

TEST_P(HostileEdit, ImageStaysFiledOrTheEditIsRefused) {
    const EditCase c = GetParam();
    // Two patients: the edit may name the other one's ID.
    std::vector<std::string> args{"import"};
    for (int p = 1; p <= 2; ++p) {
        corva::test::DicomRecipe r;
        r.patientId = "HE" + std::to_string(p);
        r.patientName = "Hostile^" + std::to_string(p);
        r.studyUid = Root + "." + std::to_string(p);
        r.seriesUid = r.studyUid + ".1";
        r.sopInstanceUid = r.seriesUid + ".1";
        r.rows = 16;
        r.columns = 16;
        args.push_back(corva::test::writeDicom(site_.scratch() / "in" / (r.sopInstanceUid + ".dcm"), r).string());
    }
    ASSERT_EQ(site_.run(args).code, 0);
    ASSERT_TRUE(site_.waitForImages(2));
    const std::string study = Root + ".1";
    const std::string sop = study + ".1.1";
    const CtlResult edit = site_.run({"edit", "--study", study, "--set", std::string(c.tag) + "=" + c.value});
    ASSERT_TRUE(site_.waitForImages(2)) << edit.out << edit.err;
    const CtlResult check = site_.run({"check"});
    db::Database db(site_.imageDb());
    auto st = db.prepare(
        "SELECT st.StudyUID FROM tblImages i JOIN tblSeries s ON s.SeriesID = i.FKeySeriesID "
        "JOIN tblStudies st ON st.StudyID = s.FKeyStudyID WHERE i.ImageUID = ?");
    st.bind(1, sop);
    ASSERT_TRUE(st.step()) << "the edited image is no longer filed (edit " << edit.code << "): " << edit.out
                           << edit.err << "\n" << check.out;
    const fs::path file = site_.folder() / "Images" / st.getText(0) / (sop + ".dcm");
    EXPECT_TRUE(fs::is_regular_file(file)) << file;
    EXPECT_TRUE(setAsideEmpty(site_.folder() / "Temp")) << check.out;
    EXPECT_EQ(check.code, 0) << check.out;
}

INSTANTIATE_TEST_SUITE_P(
    Values, HostileEdit,
    ::testing::Values(EditCase{"OtherPatientsId", "0010,0020", "HE2"},
                      EditCase{"NewStudyUid", "0020,000D", Root + ".99"},
                      EditCase{"StudyUidOfLetters", "0020,000D", "abc"},
                      EditCase{"PatientIdWithBackslash", "0010,0020", "HE1\\HE2"},
                      EditCase{"PatientNameWithControls", "0010,0010", "Doe\x1b[2J^Jane\x07"},
                      EditCase{"HugePatientName", "0010,0010", std::string(100000, 'A')},
                      EditCase{"EmptyStudyUid", "0020,000D", ""}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace corva::station::ctl::test
