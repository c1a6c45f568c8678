// "Delete all" while the real ingest service files a batch: afterwards the database is
// sound and every image is either gone or fully registered (row and file).
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "db/database.h"
#include "dicom_fixture.h"
#include "jobs/delete_jobs.h"
#include "poll_until.h"
#include "query.h"
#include "station/recording_report.h"
#include "recvora_harness.h"

namespace fs = std::filesystem;
using namespace corva;
using corva::station::test::RecordingReport;

namespace {

TEST(DeleteAllWhileIngesting, EveryImageIsGoneOrFullyRegistered) {
    test::ReceiverSite site;
    site.install("Ingrado");
    auto ingest = site.start("Ingrado");
    const auto paths = station::ProgramPaths::compute(site.folder());
    ASSERT_TRUE(test::pollUntil([&] { return fs::exists(paths.imageDb); }, 20000));

    // A batch of three studies, written aside and moved in whole.
    constexpr int Files = 60;
    for (int i = 0; i < Files; ++i) {
        test::DicomRecipe recipe;
        recipe.patientId = "P" + std::to_string(i % 3);
        recipe.studyUid = "1.2.826.0.1.3680043.9.7." + std::to_string(i % 3);
        recipe.seriesUid = recipe.studyUid + ".1";
        recipe.instanceNumber = i + 1;
        recipe.rows = 16;
        recipe.columns = 16;
        const fs::path aside = site.scratch() / ("f" + std::to_string(i) + ".dcm");
        test::writeDicom(aside, recipe);
        fs::rename(aside, site.temp() / aside.filename());
    }
    // Delete everything once the service is in the middle of the batch.
    ASSERT_TRUE(test::pollUntil([&] { return test::queryNumber(paths.imageDb, "SELECT COUNT(*) FROM tblImages") >= 5; }, 30000));
    station::jobs::DeleteAllJob job(paths);
    RecordingReport report;
    job.run(report);
    EXPECT_EQ(report.lines().front(), "Removing database entries ... OK");

    // The service finishes the batch.
    ASSERT_TRUE(test::pollUntil(
        [&] {
            for (const auto& e : fs::directory_iterator(site.temp()))
                if (e.is_regular_file() && e.path().extension() == ".dcm") return false;
            return true;
        },
        60000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the last move after its commit

    db::Database db(paths.imageDb);
    auto integrity = db.prepare("PRAGMA integrity_check");
    ASSERT_TRUE(integrity.step());
    EXPECT_EQ(integrity.getText(0), "ok");
    auto rows = db.prepare(
        "SELECT i.ImageUID, st.StudyUID FROM tblImages i JOIN tblSeries se ON se.SeriesID = i.FKeySeriesID "
        "JOIN tblStudies st ON st.StudyID = se.FKeyStudyID");
    int registered = 0;
    while (rows.step()) {
        ++registered;
        EXPECT_TRUE(fs::exists(paths.imageStore / rows.getText(1) / (rows.getText(0) + ".dcm"))) << rows.getText(0);
    }
    EXPECT_LT(registered, Files);
    // No image row without its series, study and patient.
    EXPECT_EQ(test::queryNumber(paths.imageDb,
                    "SELECT COUNT(*) FROM tblImages WHERE FKeySeriesID NOT IN (SELECT SeriesID FROM tblSeries)"),
              0);
    for (const auto& e : fs::directory_iterator(paths.imageStore))
        EXPECT_FALSE(e.path().filename().string().starts_with(".deleting")) << e.path();
}

}  // namespace
