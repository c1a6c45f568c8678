// corvactl import --dicomdir with media a clinic may be handed: a record naming the
// DICOMDIR itself, a path out of the medium, an absolute path, a symbolic link out of
// the medium or into the image store, The import
// names what it refused, files what it can, and loses and replaces nothing.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iostream>

#include "ctl_site.h"
#include "dicom_fixture.h"
#include "shell.h"

namespace corva::station::ctl::test {
namespace {

namespace fs = std::filesystem;

const std::string Root = "1.2.826.0.1.3680043.9.7731.80";

struct MediumCase {
    const char* name;
    // What the first image record's Referenced File ID becomes ("" = unchanged).
    std::string fileId;
    // A link on the medium under the first record's name, to this path ("" = none).
    std::string linkTo;
    std::int64_t filed;  // images filed afterwards (the store held one before)
};

class HostileDicomDir : public ::testing::TestWithParam<MediumCase> {
protected:
    CtlSite site_;
};

TEST_P(HostileDicomDir, ImportFilesWhatItCanAndNamesTheRest) {
    const MediumCase c = GetParam();
    // One image filed before: a link into the store must not change it.
    corva::test::DicomRecipe filed;
    filed.patientId = "HD0";
    filed.studyUid = Root + ".9";
    filed.seriesUid = filed.studyUid + ".1";
    filed.sopInstanceUid = filed.seriesUid + ".1";
    filed.rows = 16;
    filed.columns = 16;
    ASSERT_EQ(site_.run({"import", corva::test::writeDicom(site_.scratch() / "pre" / "a.dcm", filed).string()}).code, 0);
    ASSERT_TRUE(site_.waitForImages(1));
    const fs::path storeFile = site_.folder() / "Images" / filed.studyUid / (filed.sopInstanceUid + ".dcm");
    const std::string storeBytes = corva::test::readFile(storeFile);

    const fs::path medium = site_.scratch() / "medium";
    for (int i = 1; i <= 2; ++i) {
        corva::test::DicomRecipe r;
        r.patientId = "HD1";
        r.studyUid = Root + ".1";
        r.seriesUid = r.studyUid + ".1";
        r.sopInstanceUid = r.seriesUid + "." + std::to_string(i);
        r.instanceNumber = i;
        r.rows = 16;
        r.columns = 16;
        corva::test::writeDicom(medium / "A" / ("IM000" + std::to_string(i)), r);
    }
    int code = 0;
    const std::string made = corva::test::shell("cd " + corva::test::quoted(medium) + " && dcmmkdir +I +r A", &code);
    ASSERT_EQ(code, 0) << made;
    const std::string dicomDir = (medium / "DICOMDIR").string();
    if (!c.fileId.empty()) {
        // The first image record's value, in place: same length, so every record offset
        // of the DICOMDIR stays right.
        std::string bytes = corva::test::readFile(dicomDir);
        const auto at = bytes.find("A\\IM0001");
        ASSERT_NE(at, std::string::npos);
        ASSERT_EQ(c.fileId.size(), 8u);
        bytes.replace(at, 8, c.fileId);
        std::ofstream(dicomDir, std::ios::binary | std::ios::trunc) << bytes;
    }
    if (!c.linkTo.empty()) {
        fs::remove(medium / "A" / "IM0001");
        fs::create_symlink(c.linkTo == "store" ? storeFile : site_.scratch() / "pre" / "a.dcm", medium / "A" / "IM0001");
    }
    const CtlResult r = site_.run({"import", "--dicomdir", dicomDir});
    std::cout << c.name << ": exit " << r.code << "\n" << r.out.substr(0, 2000) << r.err.substr(0, 1000) << "\n";
    EXPECT_NE(r.code, 2);
    ASSERT_TRUE(site_.waitForImages(c.filed)) << site_.count("SELECT COUNT(*) FROM tblImages");
    EXPECT_EQ(corva::test::readFile(storeFile), storeBytes);
    const CtlResult check = site_.run({"check"});
    EXPECT_EQ(check.code, 0) << check.out;
}

INSTANTIATE_TEST_SUITE_P(
    Media, HostileDicomDir,
    ::testing::Values(MediumCase{"RecordNamesTheDicomDir", "DICOMDIR", "", 2},
                      MediumCase{"RecordLeavesTheMedium", "..\\X\\IM1", "", 2},
                      MediumCase{"LinkOutOfTheMedium", "", "outside", 2},
                      MediumCase{"LinkIntoTheStore", "", "store", 2}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace corva::station::ctl::test
