// A study folder of the image store replaced by a symbolic link to a folder on another
// disk (a site short of space moves big studies so). A job that removes some images of
// the study removes their files through the link, and "the folder when empty" never
// means the link while the folder behind it still holds the study's other images.
#include <gtest/gtest.h>

#include <filesystem>

#include "ctl_site.h"
#include "dicom_fixture.h"

namespace corva::station::ctl::test {
namespace {

namespace fs = std::filesystem;

const std::string Root = "1.2.826.0.1.3680043.9.7731.79";
const std::string Study = Root + ".1";

struct PartialRemoval {
    const char* name;
    std::vector<std::string> args;
};

class SymlinkedStudy : public ::testing::TestWithParam<PartialRemoval> {
protected:
    CtlSite site_;
};

// Series 1 and 2 of one study, the study folder moved aside and linked back; the job
// works on series 1 only. Series 2 keeps its rows and its files, the link stays.
TEST_P(SymlinkedStudy, ImagesLeftInTheStudyKeepTheirFiles) {
    std::vector<std::string> args{"import"};
    for (int se = 1; se <= 2; ++se)
        for (int i = 1; i <= 2; ++i) {
            corva::test::DicomRecipe r;
            r.patientId = "SL1";
            r.studyUid = Study;
            r.seriesUid = Study + "." + std::to_string(se);
            r.sopInstanceUid = r.seriesUid + "." + std::to_string(i);
            r.instanceNumber = i;
            r.rows = 16;
            r.columns = 16;
            args.push_back(corva::test::writeDicom(site_.scratch() / "in" / (r.sopInstanceUid + ".dcm"), r).string());
        }
    ASSERT_EQ(site_.run(args).code, 0);
    ASSERT_TRUE(site_.waitForImages(4));
    const fs::path store = site_.folder() / "Images";
    const fs::path elsewhere = site_.scratch() / "other-disk" / Study;
    fs::create_directories(elsewhere.parent_path());
    fs::rename(store / Study, elsewhere);
    fs::create_directory_symlink(elsewhere, store / Study);
    ASSERT_EQ(site_.run({"check"}).code, 0);

    const CtlResult r = site_.run(GetParam().args);
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    ASSERT_TRUE(site_.waitForImages(GetParam().name == std::string("DeleteOneSeries") ? 2 : 4));
    for (int i = 1; i <= 2; ++i)
        EXPECT_TRUE(fs::is_regular_file(store / Study / (Study + ".2." + std::to_string(i) + ".dcm")))
            << "series 2 lost its file " << i;
    const CtlResult check = site_.run({"check"});
    EXPECT_EQ(check.code, 0) << check.out;
    EXPECT_TRUE(fs::is_symlink(store / Study));
}

INSTANTIATE_TEST_SUITE_P(
    Jobs, SymlinkedStudy,
    ::testing::Values(PartialRemoval{"DeleteOneSeries", {"delete", "--series", Study + ".1"}},
                      PartialRemoval{"EditOneSeries", {"edit", "--series", Study + ".1", "--set", "0008,103E=Edited"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace corva::station::ctl::test
