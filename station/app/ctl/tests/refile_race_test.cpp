// check --repair files a store file without a row again by putting it into Temp. While
// the file has a name in the store and one in Temp, Ingrado may take the Temp name,
// register the image, find "its" file in the store already and drop the Temp name; the
// repair then removes the store name, the last one: the image's row is left without its
// file. strace stretches the moment between the two steps (the repair's unlink of the
// store name waits), as a loaded machine or a stopped process does.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "ctl_site.h"
#include "dicom_fixture.h"
#include "shell.h"

namespace corva::station::ctl::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string Root = "1.2.826.0.1.3680043.9.7731.85";
const std::string Study = Root + ".1";

TEST(RefileRace, RepairedFileTakenByIngradoMeanwhileKeepsItsContent) {
    if (corva::test::runCommand({"strace", "-o", "/dev/null", "true"}, 30s).code != 0)
        GTEST_SKIP() << "strace cannot trace processes here";
    CtlSite site;
    const std::string sop = Study + ".1.1";
    corva::test::DicomRecipe r;
    r.patientId = "RR1";
    r.studyUid = Study;
    r.seriesUid = Study + ".1";
    r.sopInstanceUid = sop;
    r.rows = 16;
    r.columns = 16;
    ASSERT_EQ(site.run({"import", corva::test::writeDicom(site.scratch() / "in" / "a.dcm", r).string()}).code, 0);
    ASSERT_TRUE(site.waitForImages(1));
    const fs::path stored = site.folder() / "Images" / Study / (sop + ".dcm");
    const std::string bytes = corva::test::readFile(stored);
    // A file without its row, as a killed delete leaves it.
    {
        db::Database db(site.imageDb());
        db.exec("DELETE FROM tblImages WHERE ImageUID = '" + sop + "'");
    }

    // The repair's removal of the store name waits three seconds.
    std::vector<std::string> argv{"strace", "-f", "-qq", "-o", "/dev/null", "-P", stored.string(),
                                  "-e", "trace=unlink,unlinkat,rename,renameat,renameat2",
                                  "-e", "inject=unlink,unlinkat:delay_enter=3000000",
                                  (site.folder() / "corvactl").string(), "check", "--repair"};
    const auto repair = corva::test::runCommand(argv, 60s, site.site().environment());
    ASSERT_TRUE(corva::test::pollUntil(
        [&] {
            std::error_code ec;
            for (const auto& e : fs::directory_iterator(site.folder() / "Temp", ec))
                if (e.is_regular_file() && e.path().extension() == ".dcm") return false;
            return site.count("SELECT COUNT(*) FROM tblImages") == 1;
        },
        20000))
        << repair.output;
    EXPECT_TRUE(fs::is_regular_file(stored)) << "the row is back, its file is gone\n" << repair.output;
    if (fs::is_regular_file(stored)) EXPECT_EQ(corva::test::readFile(stored), bytes);
    const CtlResult check = site.run({"check"});
    EXPECT_EQ(check.code, 0) << check.out;
}

}  // namespace
}  // namespace corva::station::ctl::test
