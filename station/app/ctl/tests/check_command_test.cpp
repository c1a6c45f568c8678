// corvactl check against a real program folder with Ingrado running: rows and files
// compared, leftovers of interrupted work listed, and --repair filing again what it can
// without ever deleting an image file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "ctl_site.h"
#include "dicom_fixture.h"

namespace corva::station::ctl::test {
namespace {

namespace fs = std::filesystem;

const std::string Study = "1.2.826.0.1.3680043.9.7731.60";

class CheckCommandTest : public ::testing::Test {
protected:
    // Three images of one study filed by Ingrado through corvactl import.
    void fileImages() {
        std::vector<std::string> args{"import"};
        for (int i = 1; i <= 3; ++i) {
            corva::test::DicomRecipe r;
            r.studyUid = Study;
            r.seriesUid = Study + ".1";
            r.sopInstanceUid = Study + ".1." + std::to_string(i);
            r.instanceNumber = i;
            r.rows = 8;
            r.columns = 8;
            args.push_back(corva::test::writeDicom(site_.scratch() / "in" / (r.sopInstanceUid + ".dcm"), r).string());
        }
        ASSERT_EQ(site_.run(args).code, 0);
        ASSERT_TRUE(site_.waitForImages(3));
    }
    fs::path stored(int i) const { return site_.folder() / "Images" / Study / (Study + ".1." + std::to_string(i) + ".dcm"); }
    CtlSite site_;
};

TEST_F(CheckCommandTest, AConsistentStoreChecksClean) {
    fileImages();
    const CtlResult r = site_.run({"check"});
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "3 image rows checked: rows and files match\n");
}

TEST_F(CheckCommandTest, FindsMismatchesAndLeftoversAndRepairsWithoutDeletingAnImage) {
    fileImages();
    // A row whose file went, and a file whose row went (as a killed delete leaves them).
    fs::remove(stored(1));
    {
        db::Database db(site_.imageDb());
        auto st = db.prepare("DELETE FROM tblImages WHERE ImageUID = ?");
        st.bind(1, Study + ".1.2");
        st.run();
    }
    fs::create_directories(site_.folder() / "Images" / ".deleting-1-x");
    std::ofstream(site_.folder() / "Temp" / "9.9.dcm.rewrite") << "x";

    CtlResult r = site_.run({"check"});
    EXPECT_EQ(r.code, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("row without file\t" + stored(1).string()), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("file without row\t" + stored(2).string()), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("interrupted delete\t"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("staged rewrite\t"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("2 image rows checked: 1 row without file, 1 file without row, 1 interrupted delete, "
                         "1 staged rewrite"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(fs::exists(stored(2))) << "the check itself changes nothing";

    // The file without a row goes back through Temp and is filed again by Ingrado.
    r = site_.run({"check", "--repair"});
    EXPECT_NE(r.err.find("filed again: " + Study + ".1.2.dcm"), std::string::npos) << r.err;
    ASSERT_TRUE(corva::test::pollUntil(
        [&] { return site_.count("SELECT COUNT(*) FROM tblImages WHERE ImageUID = '" + Study + ".1.2'") == 1; },
        20000));
    ASSERT_TRUE(corva::test::pollUntil([&] { return fs::exists(stored(2)); }, 20000));
    r = site_.run({"check"});
    EXPECT_EQ(r.out.find("file without row"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("row without file"), std::string::npos) << "a lost file cannot be made up: " << r.out;
    EXPECT_EQ(r.code, 1);
}

// Files the ingest service set aside: each listed with its reason; --repair files again
// those set aside for no fault of their own (an earlier version gave up on images while
// the database failed, which its log tells) and leaves the others.
TEST_F(CheckCommandTest, SetAsideFilesAreListedWithReasonsAndThoseNotAtFaultFiledAgain) {
    fileImages();
    const fs::path bad = site_.folder() / "Temp" / "BadObjects";
    fs::create_directories(bad);
    corva::test::DicomRecipe victim;
    victim.studyUid = Study;
    victim.seriesUid = Study + ".1";
    victim.sopInstanceUid = Study + ".1.9";
    victim.rows = victim.columns = 8;
    const std::string victimName = victim.sopInstanceUid + ".dcm";
    corva::test::writeDicom(bad / victimName, victim);
    std::ofstream(bad / "junk.dcm") << "not DICOM";
    std::ofstream(bad / "junk.dcm.reason") << "file's own fault: given up after 50 attempts\n";
    std::ofstream(bad / "old-refused.dcm") << "refused";
    {
        std::ofstream log(site_.folder() / "Logs" / "Ingrado.log", std::ios::app);
        log << "01.12.2026 10:00:00 1 given up after 50 attempts: " << victimName << " moved to bad objectsCopyToBad\n"
            << "01.12.2026 10:00:01 1 Refused: nested deeper than 64 levels: old-refused.dcm moved to bad "
               "objectsCopyToBad\n";
    }

    CtlResult r = site_.run({"check"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("set aside\t" + (bad / victimName).string() +
                         "\tset aside by the ingest service, not for a fault of its own (given up after 50 attempts)"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("set aside\t" + (bad / "junk.dcm").string() +
                         "\tset aside by the ingest service: given up after 50 attempts\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("set aside by the ingest service: Refused: nested deeper than 64 levels"), std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find(".reason"), std::string::npos) << "reasons are no findings: " << r.out;
    EXPECT_NE(r.out.find("3 set aside"), std::string::npos) << r.out;

    r = site_.run({"check", "--repair"});
    EXPECT_NE(r.err.find("filed again: " + victimName), std::string::npos) << r.err;
    ASSERT_TRUE(site_.waitForImages(4));
    EXPECT_TRUE(fs::exists(site_.folder() / "Images" / Study / victimName));
    EXPECT_TRUE(fs::exists(bad / "junk.dcm"));
    EXPECT_TRUE(fs::exists(bad / "old-refused.dcm"));
    r = site_.run({"check"});
    EXPECT_NE(r.out.find("4 image rows checked: 2 set aside"), std::string::npos) << r.out;
}

// While Ingrado cannot file (here: no database and no template to make one from), the
// services status says why; once the template is back it files and the note is gone.
TEST_F(CheckCommandTest, ServicesStatusTellsWhyIngradoCannotFile) {
    fileImages();
    const fs::path data = site_.folder() / "Data";
    fs::rename(data / "QADef.dat", site_.scratch() / "QADef.dat");
    for (const char* side : {"", "-wal", "-shm"}) fs::remove(data / (std::string("QAData.dat") + side));
    const std::string why =
        "corvactl: Ingrado cannot open the image database Data/QAData.dat: missing, and Data/QADef.dat to create it "
        "from is missing\n";
    ASSERT_TRUE(corva::test::pollUntil([&] { return site_.run({"services", "status"}).err == why; }, 20000))
        << site_.run({"services", "status"}).err;
    fs::copy_file(site_.scratch() / "QADef.dat", data / "QADef.dat");
    ASSERT_TRUE(corva::test::pollUntil([&] { return site_.run({"services", "status"}).err.empty(); }, 20000));
    EXPECT_TRUE(fs::exists(data / "QAData.dat"));
}

}  // namespace
}  // namespace corva::station::ctl::test
