// An edit killed between removing an original and handing its rewritten copy over
// leaves that image only as a staged copy in Temp, which Ingrado does not take. The
// next start of any corvactl command finishes the hand-over, not only the next edit or
// check --repair: a clinic that only sends or lists from the shell must not keep an
// image out of the store.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <filesystem>

#include "ctl_site.h"
#include "dicom_fixture.h"
#include "header/header_job.h"
#include "header/rewrite_handover.h"
#include "header_job_seams.h"
#include "jobs/job_runner.h"
#include "store_scp.h"

namespace corva::station::ctl::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string Root = "1.2.826.0.1.3680043.9.7731.78";
const std::string S1 = Root + ".1";
const std::string S2 = Root + ".2";

struct QuietReport : jobs::JobReport {
    void setCaption(const std::string&, const std::string&) override {}
    void appendLog(const std::string&) override {}
    void setProgressMaximum(double) override {}
    void setProgress(double) override {}
    void unexpectedError(int, const std::string&) override {}
};

class InterruptedEditTest : public ::testing::Test {
protected:
    // Study S1 with two images, S2 with one, of one patient; then an edit of S1 stopped
    // after the first original went: one image of S1 exists only as a staged copy.
    void SetUp() override {
        std::vector<std::string> args{"import"};
        for (const auto& [study, images] : {std::pair{S1, 2}, std::pair{S2, 1}})
            for (int i = 1; i <= images; ++i) {
                corva::test::DicomRecipe r;
                r.patientId = "IE1";
                r.studyUid = study;
                r.seriesUid = study + ".1";
                r.sopInstanceUid = r.seriesUid + "." + std::to_string(i);
                r.instanceNumber = i;
                r.rows = 16;
                r.columns = 16;
                args.push_back(corva::test::writeDicom(site_.scratch() / "in" / (r.sopInstanceUid + ".dcm"), r).string());
            }
        ASSERT_EQ(site_.run(args).code, 0);
        ASSERT_TRUE(site_.waitForImages(3));
        const ProgramPaths paths = ProgramPaths::compute(site_.folder());
        header::HeaderJobInput input;
        input.tasks = {{"Study", "0008,1030 - Study Description", "", "Change entry", "Interrupted", "0"}};
        input.loadedLevel = "Studie";
        input.patientKey = site_.count("SELECT PATID FROM tblPatienten WHERE PATID1 = 'IE1'");
        input.studyId = site_.count("SELECT StudyID FROM tblStudies WHERE StudyUID = '" + S1 + "'");
        for (int n : {1, 2}) input.loaded.push_back({S1 + ".1." + std::to_string(n), S1, 0, 0});
        header::HeaderJob job(paths, input);
        header::test::HeaderJobSeams seams;
        seams.step = [&](header::HeaderJobStep step, const std::string&) {
            if (step == header::HeaderJobStep::OriginalRemoved) throw header::HeaderJobStopped{};
        };
        QuietReport report;
        EXPECT_THROW(job.run(report), header::HeaderJobStopped);
        ASSERT_EQ(header::pendingRewrites(paths).size(), 2u);
        ASSERT_EQ(site_.count("SELECT COUNT(*) FROM tblImages"), 2);
    }
    bool pendingGone() const { return header::pendingRewrites(ProgramPaths::compute(site_.folder())).empty(); }

    CtlSite site_;
};

struct NextStart {
    const char* name;
    std::vector<std::string> args;  // "{to}" stands for the export folder
    std::int64_t imagesAfter;       // S2's image goes with a delete of S2
};

class NextCorvactlStart : public InterruptedEditTest, public ::testing::WithParamInterface<NextStart> {};

TEST_P(NextCorvactlStart, FinishesTheHandOver) {
    std::vector<std::string> args = GetParam().args;
    const fs::path to = site_.scratch() / "export";
    fs::create_directories(to);
    for (auto& a : args)
        if (a == "{to}") a = to.string();
    const CtlResult r = site_.run(args);
    EXPECT_TRUE(corva::test::pollUntil([&] { return pendingGone(); }, 20000))
        << "the staged copies wait after: corvactl " << GetParam().name << " (" << r.code << ") " << r.err;
    ASSERT_TRUE(site_.waitForImages(GetParam().imagesAfter)) << r.out << r.err;
    const CtlResult check = site_.run({"check"});
    EXPECT_EQ(check.code, 0) << check.out;
    for (int n : {1, 2})
        EXPECT_TRUE(fs::is_regular_file(site_.folder() / "Images" / S1 / (S1 + ".1." + std::to_string(n) + ".dcm")));
}

INSTANTIATE_TEST_SUITE_P(
    Commands, NextCorvactlStart,
    ::testing::Values(NextStart{"ListPatients", {"list", "patients"}, 3},
                      NextStart{"DeleteAnotherStudy", {"delete", "--study", S2}, 2},
                      NextStart{"ExportAnotherStudy", {"export", "--study", S2, "--to", "{to}", "--dicom"}, 3}),
    [](const auto& info) { return std::string(info.param.name); });

// Ingrado's own restart leaves the staged copies where they are (it does not hand over
// rewrites): the image stays out of the store until a station start, an edit or check
// --repair. Kept disabled: the hand-over belongs to the station's code, which Ingrado
// does not link.
TEST_F(InterruptedEditTest, DISABLED_IngradoRestartFinishesTheHandOver) {
    site_.ingest().signal(SIGKILL);
    site_.ingest().wait(5s);
    auto ingrado = site_.site().start("Ingrado");
    EXPECT_TRUE(corva::test::pollUntil([&] { return pendingGone(); }, 20000));
    EXPECT_TRUE(site_.waitForImages(3));
}

}  // namespace
}  // namespace corva::station::ctl::test
