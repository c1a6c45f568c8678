// corvactl export whose folder is the image store, the input folder or a study folder,
// named directly or through a symbolic link (a shortcut on the desktop pointing into the
// program folder). An export reads the images: it never rewrites a stored file, never
// puts files into the store or where the ingest service takes them.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "ctl_site.h"
#include "dicom_fixture.h"

namespace corva::station::ctl::test {
namespace {

namespace fs = std::filesystem;

const std::string Root = "1.2.826.0.1.3680043.9.7731.83";
const std::string Study = Root + ".1";

struct Target {
    const char* name;
    const char* inside;  // below the program folder
    bool throughLink;
    std::vector<std::string> format;
};

class ExportIntoStore : public ::testing::TestWithParam<Target> {
protected:
    CtlSite site_;
};

std::map<fs::path, std::string> contents(const fs::path& folder) {
    std::map<fs::path, std::string> out;
    std::error_code ec;
    for (const auto& e : fs::recursive_directory_iterator(folder, ec))
        if (e.is_regular_file()) out[fs::relative(e.path(), folder)] = corva::test::readFile(e.path());
    return out;
}

TEST_P(ExportIntoStore, IsRefusedAndChangesNothing) {
    const Target t = GetParam();
    std::vector<std::string> args{"import"};
    for (int i = 1; i <= 2; ++i) {
        corva::test::DicomRecipe r;
        r.patientId = "EX1";
        r.studyUid = Study;
        r.seriesUid = Study + ".1";
        r.sopInstanceUid = r.seriesUid + "." + std::to_string(i);
        r.instanceNumber = i;
        r.rows = 16;
        r.columns = 16;
        args.push_back(corva::test::writeDicom(site_.scratch() / "in" / (r.sopInstanceUid + ".dcm"), r).string());
    }
    ASSERT_EQ(site_.run(args).code, 0);
    ASSERT_TRUE(site_.waitForImages(2));
    const fs::path store = site_.folder() / "Images";
    const auto before = contents(store);
    fs::path to = site_.folder() / t.inside;
    if (t.throughLink) {
        fs::create_directory_symlink(to, site_.scratch() / "shortcut");
        to = site_.scratch() / "shortcut";
    }
    std::vector<std::string> exportArgs{"export", "--study", Study, "--to", to.string()};
    exportArgs.insert(exportArgs.end(), t.format.begin(), t.format.end());
    const CtlResult r = site_.run(exportArgs);
    EXPECT_EQ(r.code, 1) << r.out << r.err;
    EXPECT_EQ(contents(store), before) << "the export changed the image store: " << r.out << r.err;
    ASSERT_TRUE(site_.waitForImages(2));
    const CtlResult check = site_.run({"check"});
    EXPECT_EQ(check.code, 0) << check.out;
}

INSTANTIATE_TEST_SUITE_P(
    Folders, ExportIntoStore,
    ::testing::Values(Target{"StoreDicom", "Images", false, {"--dicom"}},
                      Target{"StoreThroughLinkDicom", "Images", true, {"--dicom"}},
                      Target{"StudyFolderThroughLinkJpeg", "Images/" "1.2.826.0.1.3680043.9.7731.83.1", true, {"--jpeg"}},
                      Target{"StoreThroughLinkMedium", "Images", true, {"--dicom", "--dicomdir", "--zip", "x"}},
                      Target{"InputFolderDicom", "Temp", false, {"--dicom"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace corva::station::ctl::test
