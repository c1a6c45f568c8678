// The exporter: JPEG pictures with info.txt, DICOM files, and the DICOMDIR medium that
// DCMTK, dcmdump and dciodvfy accept.
#include <gtest/gtest.h>

#include <atomic>

#include "core/error.h"
#include "dicom/dicom.h"
#include "dicom_fixture.h"
#include "transfer/image_exporter.h"
#include "transfer/medium_path.h"
#include "program_folder.h"
#include "temp_dir.h"
#include "transfer_test_util.h"

namespace corva::station::transfer {
namespace {

namespace fs = std::filesystem;
using corva::test::DicomRecipe;
using corva::test::ProgramFolder;
using corva::test::readFile;
using corva::test::TempDir;
using corva::test::uniqueUid;
using corva::test::writeDicom;
using test::filesBelow;
using test::quoted;
using test::shell;

class ImageExporterTest : public ::testing::Test {
protected:
    ImageExporterTest() { site.activate(); }

    // Images of two studies: a Latin-1 patient in implicit VR (two series), and another.
    void makeStudies()
    {
        DicomRecipe anna = corva::test::latin1Recipe("Müller^Anna");
        anna.patientId = "PA1";
        anna.birthDate = "19600214";
        anna.studyUid = studyA;
        anna.sopClassUid = dicom::uid::DigitalMammographyForPresentation;
        anna.modality = "MG";
        anna.transferSyntax = dicom::uid::ImplicitLittleEndian;
        for (int i = 0; i < 3; ++i) {
            anna.seriesUid = i < 2 ? seriesA1 : seriesA2;
            anna.sopInstanceUid = uniqueUid();
            anna.instanceNumber = i + 1;
            anna.rows = 80 + i;
            images.push_back(writeDicom(source / ("a" + std::to_string(i) + ".dcm"), anna));
            uids.push_back(anna.sopInstanceUid);
            studyOf.push_back(studyA);
        }
        DicomRecipe berta;
        berta.patientName = "Beispiel^Berta";
        berta.patientId = "PB2";
        berta.studyUid = studyB;
        berta.sopInstanceUid = uniqueUid();
        images.push_back(writeDicom(source / "b.dcm", berta));
        uids.push_back(berta.sopInstanceUid);
        studyOf.push_back(studyB);
    }

    ProgramFolder site;
    TempDir source{"corva-export-src"};
    TempDir target{"corva-export-dst"};
    const std::string studyA = uniqueUid(), studyB = uniqueUid(), seriesA1 = uniqueUid(), seriesA2 = uniqueUid();
    std::vector<fs::path> images;
    std::vector<std::string> uids, studyOf;
};

TEST_F(ImageExporterTest, JpegExportWritesOnePicturePerImageAndOneInfoFile)
{
    makeStudies();
    std::vector<std::pair<int, int>> calls;
    ImageExporter exporter({ExportFormat::Jpeg, target.path(), 8, false});
    const ExportResult result = exporter.run(images, [&](int done, int total) { calls.emplace_back(done, total); });

    EXPECT_EQ(result.exported, 4);
    EXPECT_EQ(result.failed, 0);
    EXPECT_EQ(calls, (std::vector<std::pair<int, int>>{{1, 4}, {2, 4}, {3, 4}, {4, 4}}));
    std::vector<fs::path> expected;
    for (std::size_t i = 0; i < images.size(); ++i) {
        expected.push_back(target.path() / studyOf[i] / (uids[i] + ".jpg"));
        if (i == 0)
            expected.push_back(target.path() / studyA / "info.txt");
    }
    EXPECT_EQ(result.files, expected);
    for (const auto& f : expected)
        EXPECT_TRUE(fs::is_regular_file(f)) << f;
    EXPECT_EQ(readFile(expected[0]).substr(0, 2), "\xFF\xD8");
    EXPECT_FALSE(fs::exists(target.path() / studyB / "info.txt"));
    EXPECT_EQ(readFile(target.path() / studyA / "info.txt"),
              "PATIENT_NAME=Müller^Anna\r\nPATIENT_ID=PA1\r\nPATIENT_BIRTHDATE=14.02.1960\r\nPATIENT_SEX=F\r\n");
}

TEST_F(ImageExporterTest, JpegQualityIsTenTimesTheSliderValue)
{
    DicomRecipe spec;
    spec.rows = 256;
    spec.columns = 256;
    images.push_back(writeDicom(source / "a.dcm", spec));
    std::vector<std::uintmax_t> sizes;
    for (int slider : {0, 3, 10}) {
        TempDir out("corva-quality");
        ImageExporter({ExportFormat::Jpeg, out.path(), slider, false}).run(images);
        const auto image = corva::dicom::Image::read(images[0], corva::dicom::ReadMode::HeaderOnly);
        sizes.push_back(fs::file_size(out.path() / image.studyInstanceUid() / (image.sopInstanceUid() + ".jpg")));
    }
    EXPECT_LE(sizes[0], sizes[1]);
    EXPECT_LT(sizes[1], sizes[2]);
}

TEST_F(ImageExporterTest, DicomExportWithoutDicomDirKeepsTheUidLayout)
{
    makeStudies();
    const ExportResult result = ImageExporter({ExportFormat::Dicom, target.path(), 0, false}).run(images);
    EXPECT_EQ(result.exported, 4);
    EXPECT_FALSE(result.dicomDirWritten);
    std::vector<std::string> expected;
    for (std::size_t i = 0; i < images.size(); ++i)
        expected.push_back(studyOf[i] + "/" + uids[i] + ".dcm");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(filesBelow(target.path()), expected);
    for (std::size_t i = 0; i < images.size(); ++i)
        EXPECT_EQ(test::pixels(target.path() / studyOf[i] / (uids[i] + ".dcm")), test::pixels(images[i]));
}

// The medium: DICOMDIR at the export folder's root, conformant file IDs, every
// reference resolving from there, accepted by DCMTK's reader, dcmdump and dciodvfy.
TEST_F(ImageExporterTest, DicomDirExportIsAMediumOtherReadersAccept)
{
    makeStudies();
    const ExportResult result = ImageExporter({ExportFormat::Dicom, target.path(), 0, true}).run(images);
    ASSERT_EQ(result.exported, 4);
    ASSERT_TRUE(result.dicomDirWritten);
    const fs::path dicomDir = target.path() / "DICOMDIR";
    EXPECT_EQ(result.files.back(), dicomDir);
    EXPECT_EQ(filesBelow(target.path()),
              (std::vector<std::string>{"DICOM/ST000001/IM000001", "DICOM/ST000001/IM000002", "DICOM/ST000001/IM000003",
                                        "DICOM/ST000002/IM000001", "DICOMDIR"}));

    int code = -1;
    std::string out = shell("dcmdump -q " + quoted(dicomDir), &code);
    EXPECT_EQ(code, 0) << out;
    EXPECT_EQ(out.find("W: "), std::string::npos) << out;
    EXPECT_EQ(out.find("E: "), std::string::npos) << out;
    out = shell("dciodvfy " + quoted(dicomDir), &code);
    EXPECT_EQ(out.find("Error"), std::string::npos) << out;
    EXPECT_NE(out.find("BasicDirectory"), std::string::npos) << out;  // it did check the directory

    // Our reader (DCMTK's DcmDicomDir): patients, studies, series, images; every file
    // ID conformant and naming the file with the record's SOP instance.
    const auto patients = dicom::readDicomDir(dicomDir);
    ASSERT_EQ(patients.size(), 2u);
    std::vector<std::string> found;
    for (const auto& patient : patients)
        for (const auto& study : patient.children)
            for (const auto& series : study.children)
                for (const auto& image : series.children) {
                    EXPECT_TRUE(dicom::DicomDirMedium::isConformantFileId(image.fileId)) << image.fileId;
                    const fs::path file = target.path() / image.fileId;
                    ASSERT_TRUE(fs::is_regular_file(file)) << image.fileId;
                    const auto read = dicom::Image::read(file, dicom::ReadMode::HeaderOnly);
                    EXPECT_EQ(read.sopInstanceUid(), image.attributes.get(0x0004, 0x1511).text);
                    EXPECT_EQ(read.transferSyntax(), dicom::uid::ExplicitLittleEndian);
                    EXPECT_EQ(image.attributes.get(0x0004, 0x1512).text, dicom::uid::ExplicitLittleEndian);
                    found.push_back(read.sopInstanceUid());
                }
    EXPECT_EQ(patients[0].attributes.get(0x0010, 0x0010).text, "Müller^Anna");
    EXPECT_EQ(patients[0].children.at(0).children.size(), 2u);  // two series
    std::sort(found.begin(), found.end());
    auto expected = uids;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(found, expected);
}

// A later export into the same folder adds its images to the medium; images that are
// on it already are not written twice.
TEST_F(ImageExporterTest, ASecondExportIntoTheSameFolderExtendsTheMedium)
{
    makeStudies();
    ImageExporter exporter({ExportFormat::Dicom, target.path(), 0, true});
    ASSERT_TRUE(exporter.run({images[0], images[1]}).dicomDirWritten);
    const ExportResult second = exporter.run({images[3]});
    ASSERT_TRUE(second.dicomDirWritten);
    EXPECT_EQ(second.files.front(), target.path() / "DICOM/ST000002/IM000001");
    EXPECT_EQ(dicom::readDicomDir(target.path() / "DICOMDIR").size(), 2u);
    // The same images once more: the medium stays valid, every reference resolves.
    const ExportResult third = exporter.run({images[0], images[1]});
    EXPECT_TRUE(third.dicomDirWritten);
    int records = 0;
    for (const auto& p : dicom::readDicomDir(target.path() / "DICOMDIR"))
        for (const auto& st : p.children)
            for (const auto& se : st.children)
                for (const auto& im : se.children) {
                    ++records;
                    EXPECT_TRUE(fs::is_regular_file(target.path() / im.fileId)) << im.fileId;
                }
    EXPECT_EQ(records, 3);
    EXPECT_EQ(third.exported, 2);
    EXPECT_EQ(third.files, (std::vector<fs::path>{target.path() / "DICOM/ST000001/IM000001",
                                                  target.path() / "DICOM/ST000001/IM000002",
                                                  target.path() / "DICOMDIR"}));
    EXPECT_FALSE(fs::exists(target.path() / "DICOM/ST000003"));
    int code = -1;
    const std::string out = shell("dciodvfy " + quoted(target.path() / "DICOMDIR"), &code);
    EXPECT_EQ(out.find("Error"), std::string::npos) << out;
    EXPECT_NE(out.find("BasicDirectory"), std::string::npos) << out;
}

// Headers that disagree (one patient ID, two spellings of the name; no study ID, no
// series number) still make a medium: the records take the first image's values.
TEST_F(ImageExporterTest, DisagreeingHeadersStillMakeAMedium)
{
    DicomRecipe spec;
    spec.patientId = "SAME";
    spec.studyUid = studyA;
    spec.omit = {{0x0020, 0x0010}, {0x0020, 0x0011}, {0x0008, 0x0020}};
    for (const char* name : {"Meier^Eva", "MEIER^EVA", "Meier^Eva^^Dr"}) {
        spec.patientName = name;
        spec.sopInstanceUid = uniqueUid();
        images.push_back(writeDicom(source / (spec.sopInstanceUid + ".dcm"), spec));
    }
    const ExportResult result = ImageExporter({ExportFormat::Dicom, target.path(), 0, true}).run(images);
    EXPECT_EQ(result.exported, 3);
    ASSERT_TRUE(result.dicomDirWritten);
    const auto patients = dicom::readDicomDir(target.path() / "DICOMDIR");
    int records = 0;
    for (const auto& p : patients)
        for (const auto& st : p.children)
            for (const auto& se : st.children)
                records += static_cast<int>(se.children.size());
    EXPECT_EQ(records, 3);
    int code = -1;
    const std::string out = shell("dciodvfy " + quoted(target.path() / "DICOMDIR"), &code);
    EXPECT_EQ(out.find("Error"), std::string::npos) << out;
}

TEST_F(ImageExporterTest, AnImageThatFailsIsLoggedAndSkippedAndTheExportGoesOn)
{
    makeStudies();
    corva::test::writeFile(source / "broken.dcm", "not DICOM");
    std::vector<fs::path> list = {images[0], source / "broken.dcm", images[3]};
    std::vector<int> done;
    const ExportResult result = ImageExporter({ExportFormat::Dicom, target.path(), 0, true})
                                    .run(list, [&](int d, int) { done.push_back(d); });
    EXPECT_EQ(result.exported, 2);
    EXPECT_EQ(result.failed, 1);
    EXPECT_EQ(done, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(dicom::readDicomDir(target.path() / "DICOMDIR").size(), 2u);
    EXPECT_NE(readFile(site.logs() / "Error.log").find("ExportForm ExportDICOM"), std::string::npos);
}

TEST_F(ImageExporterTest, AMissingFolderIsRefusedAndCancelStopsBetweenImages)
{
    makeStudies();
    EXPECT_THROW(ImageExporter({ExportFormat::Jpeg, target.path() / "missing", 5, false}).run(images), Error);
    EXPECT_THROW(ImageExporter({ExportFormat::Jpeg, "", 5, false}).run(images), Error);
    int calls = 0;
    const ExportResult result = ImageExporter({ExportFormat::Dicom, target.path(), 0, false})
                                    .run(images, [&](int, int) { ++calls; }, [&] { return calls >= 1; });
    EXPECT_TRUE(result.cancelled);
    // Workers stop before their next image: the images already in hand are finished.
    EXPECT_GE(result.exported, 1);
    EXPECT_LT(result.exported, 4);
    EXPECT_EQ(static_cast<int>(test::filesBelow(target.path()).size()), result.exported);
}

}  // namespace
}  // namespace corva::station::transfer
