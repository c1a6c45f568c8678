// Round trip: a study exported with DICOMDIR and ZIP, unpacked elsewhere and imported
// from its DICOMDIR comes back image for image; once through the real Ingrado into
// the image store.
#include <gtest/gtest.h>

#include <chrono>

#include "child_process.h"
#include "dicom/dicom.h"
#include "dicom_fixture.h"
#include "transfer/image_exporter.h"
#include "transfer/import_jobs.h"
#include "program_folder.h"
#include "station/recording_report.h"
#include "temp_dir.h"
#include "transfer_test_util.h"
#include "transfer/zip_packer.h"

namespace corva::station::transfer {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using corva::test::DicomRecipe;
using corva::test::ProgramFolder;
using corva::test::TempDir;
using corva::test::uniqueUid;
using corva::test::writeDicom;
using test::quoted;
using test::shell;

struct Study {
    std::string uid = uniqueUid();
    std::vector<fs::path> files;
    std::vector<std::string> sops;
};

// A four-view mammography study in two series, one image in implicit VR.
Study makeStudy(const fs::path& folder)
{
    Study study;
    DicomRecipe spec = corva::test::latin1Recipe("Größe^Jürgen");
    spec.patientId = "RT1";
    spec.studyUid = study.uid;
    spec.sopClassUid = corva::dicom::uid::DigitalMammographyForPresentation;
    spec.modality = "MG";
    spec.rows = 120;
    spec.columns = 96;
    const std::string series[] = {uniqueUid(), uniqueUid()};
    for (int i = 0; i < 4; ++i) {
        spec.seriesUid = series[i / 2];
        spec.instanceNumber = i + 1;
        spec.sopInstanceUid = uniqueUid();
        spec.transferSyntax = i == 3 ? corva::dicom::uid::ImplicitLittleEndian : "";
        study.files.push_back(writeDicom(folder / ("view" + std::to_string(i) + ".dcm"), spec));
        study.sops.push_back(spec.sopInstanceUid);
    }
    return study;
}

// Exports with DICOMDIR, packs, unpacks into `unpacked`; returns the DICOMDIR there.
fs::path exportZipUnpack(const Study& study, const fs::path& exportFolder, const fs::path& unpacked)
{
    const ExportResult result = ImageExporter({ExportFormat::Dicom, exportFolder, 0, true}).run(study.files);
    EXPECT_EQ(result.exported, 4);
    EXPECT_TRUE(result.dicomDirWritten);
    ZipPacker packer;
    EXPECT_EQ(packer.pack(exportFolder, ZipPacker::archiveName("study", "000000"), result.files), ZipResult::Ok)
        << packer.error();
    int code = -1;
    const std::string out = shell("unzip -q " + quoted(exportFolder / "study.zip") + " -d " + quoted(unpacked), &code);
    EXPECT_EQ(code, 0) << out;
    return unpacked / "DICOMDIR";
}

TEST(RoundTripTest, ExportedMediumImportsEveryImageWithItsPixels)
{
    ProgramFolder site;
    site.activate();
    TempDir source("corva-rt-src"), exported("corva-rt-exp"), unpacked("corva-rt-unz");
    const Study study = makeStudy(source.path());
    const fs::path dicomDir = exportZipUnpack(study, exported.path(), unpacked.path());
    int code = -1;
    const std::string out = shell("dciodvfy " + quoted(dicomDir), &code);
    EXPECT_EQ(out.find("Error"), std::string::npos) << out;
    EXPECT_NE(out.find("BasicDirectory"), std::string::npos) << out;

    ImportDicomDirJob job(dicomDir, site.temp());
    corva::station::test::RecordingReport report;
    EXPECT_TRUE(job.run(report).complete);
    EXPECT_EQ(report.log(), "Importing DICOM-Dir ... OK\r\n4 image(s) imported\r\nTasks done.");
    std::vector<std::string> expected;
    for (std::size_t i = 0; i < study.files.size(); ++i) {
        const fs::path back = site.temp() / (study.sops[i] + ".dcm");
        ASSERT_TRUE(fs::exists(back)) << back;
        EXPECT_EQ(test::pixels(back), test::pixels(study.files[i]));
        EXPECT_EQ(corva::dicom::Image::read(back).patientName(), "Größe^Jürgen");
        expected.push_back(study.sops[i] + ".dcm");
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(test::entries(site.temp()), expected);  // nothing half-written beside them
}

TEST(RoundTripTest, ImportedMediumIsFiledByIngradoInTheImageStore)
{
    ProgramFolder site;
    site.activate();
    corva::test::ChildProcess ingrado({site.copyExecutable("Ingrado").string()});  // the real Ingrado
    ASSERT_TRUE(ingrado.running());
    TempDir source("corva-rt-src"), exported("corva-rt-exp"), unpacked("corva-rt-unz");
    const Study study = makeStudy(source.path());
    const fs::path dicomDir = exportZipUnpack(study, exported.path(), unpacked.path());

    ImportDicomDirJob job(dicomDir, site.temp());
    corva::station::test::RecordingReport report;
    ASSERT_TRUE(job.run(report).complete) << report.log();

    const auto stored = [&](std::size_t i) { return site.images() / study.uid / (study.sops[i] + ".dcm"); };
    const bool all = corva::test::waitUntil(
        [&] {
            for (std::size_t i = 0; i < study.sops.size(); ++i)
                if (!fs::exists(stored(i)))
                    return false;
            return true;
        },
        60s);
    ASSERT_TRUE(all) << "Temp: " << ::testing::PrintToString(test::entries(site.temp()));
    for (std::size_t i = 0; i < study.sops.size(); ++i)
        EXPECT_EQ(test::pixels(stored(i)), test::pixels(study.files[i])) << i;
}

}  // namespace
}  // namespace corva::station::transfer
