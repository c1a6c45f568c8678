// An edit that gives an image a new SOP instance UID which, by the time its copy is
// handed over, another image carries: received and waiting in Temp while the edit ran
// (Ingrado stopped), and filed since. The ingest service drops a copy whose UID is
// filed for the same patient and study as a repeat, so handing it over would lose the
// edited image: its original must stay (the edit undone for it), and the other image
// stays as it came.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <filesystem>

#include "ctl_site.h"
#include "dicom_fixture.h"
#include "header/rewrite_handover.h"

namespace corva::station::ctl::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string Root = "1.2.826.0.1.3680043.9.7731.82";
const std::string Study = Root + ".1";

corva::test::DicomRecipe recipe(const std::string& series, const std::string& sop, int rows) {
    corva::test::DicomRecipe r;
    r.patientId = "SC1";
    r.studyUid = Study;
    r.seriesUid = series;
    r.sopInstanceUid = sop;
    r.rows = rows;
    r.columns = rows;
    return r;
}

TEST(SopUidCollision, EditedImageWhoseNewUidWasFiledMeanwhileKeepsItsOriginal) {
    CtlSite site;
    const std::string u = Study + ".1.1";  // the image edited, alone in its series
    const std::string x = Study + ".2.1";  // the UID the edit gives it, received meanwhile
    const fs::path original = corva::test::writeDicom(site.scratch() / "in" / "u.dcm", recipe(Study + ".1", u, 16));
    ASSERT_EQ(site.run({"import", original.string()}).code, 0);
    ASSERT_TRUE(site.waitForImages(1));
    const fs::path stored = site.folder() / "Images" / Study / (u + ".dcm");
    const std::string storedBytes = corva::test::readFile(stored);

    // Ingrado stops; image X arrives and waits in Temp.
    site.ingest().signal(SIGKILL);
    site.ingest().wait(5s);
    const fs::path received = corva::test::writeDicom(site.scratch() / "x" / (x + ".dcm"), recipe(Study + ".2", x, 24));
    fs::copy_file(received, site.folder() / "Temp" / (x + ".dcm"));

    const CtlResult edit = site.run({"edit", "--series", Study + ".1", "--set", "0008,0018=" + x});
    // Ingrado comes back and files X; then any start settles the staged copy.
    auto ingrado = site.site().start("Ingrado");
    // (The staged copy waits in Temp beside it: not what waitForImages() allows.)
    ASSERT_TRUE(corva::test::pollUntil(
        [&] {
            return site.count("SELECT COUNT(*) FROM tblImages WHERE ImageUID = '" + x + "'") == 1 &&
                   !fs::exists(site.folder() / "Temp" / (x + ".dcm"));
        },
        30000))
        << edit.out << edit.err;
    const CtlResult repair = site.run({"check", "--repair"});
    ASSERT_TRUE(corva::test::pollUntil(
        [&] {
            std::error_code ec;
            for (const auto& e : fs::directory_iterator(site.folder() / "Temp", ec))
                if (e.is_regular_file() && e.path().extension() == ".dcm") return false;
            return true;
        },
        20000));
    const CtlResult check = site.run({"check"});
    const std::string story = "edit: " + edit.out + edit.err + "\nrepair: " + repair.out + repair.err +
                              "\ncheck: " + check.out;
    // U's pixels (16 x 16) are filed somewhere: as U (edit undone) or under a UID of its own.
    bool uFound = false;
    for (const auto& e : fs::recursive_directory_iterator(site.folder() / "Images"))
        if (e.is_regular_file() && corva::test::readFile(e.path()) == storedBytes) uFound = true;
    EXPECT_TRUE(uFound || site.count("SELECT COUNT(*) FROM tblImages WHERE ImageUID = '" + u + "'") == 1)
        << "the edited image is lost\n" << story;
    EXPECT_EQ(site.count("SELECT COUNT(*) FROM tblImages"), 2) << story;
    EXPECT_TRUE(fs::is_regular_file(site.folder() / "Images" / Study / (x + ".dcm"))) << story;
    EXPECT_EQ(check.code, 0) << story;
    EXPECT_TRUE(header::pendingRewrites(ProgramPaths::compute(site.folder())).empty()) << story;
}

}  // namespace
}  // namespace corva::station::ctl::test
