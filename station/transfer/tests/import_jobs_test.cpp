// The import jobs: what lands in the input folder, the job log, the progress and the
// error log, for chosen files and for DICOMDIR media from this and other systems.
#include <dcmtk/config/osconfig.h>  // first: the toolkit's configuration
#include <dcmtk/dcmdata/dcdicdir.h>
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>

#include "core/error.h"
#include "dicom/dicom.h"
#include "dicom_fixture.h"
#include "transfer/import_jobs.h"
#include "program_folder.h"
#include "station/recording_report.h"
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
using corva::test::writeFile;
using test::entries;
using corva::station::test::RecordingReport;

class ImportJobsTest : public ::testing::Test {
protected:
    ImportJobsTest() { site.activate(); }

    std::string errorLog() const
    {
        std::error_code ec;
        return fs::exists(site.logs() / "Error.log", ec) ? readFile(site.logs() / "Error.log") : std::string();
    }
    std::string patientOf(const std::string& uid) const
    {
        return dicom::Image::read(site.temp() / (uid + ".dcm"), dicom::ReadMode::HeaderOnly).patientName();
    }

    ProgramFolder site;
    TempDir source{"corva-import-src"};
};

// A DICOMDIR as some writers make it: the records that name the files hang below the
// given chain of records, at whatever level that is (private records where the usual
// four levels allow no image record), or no record names a file (`withReferences` false).
void writeOddDicomDir(const fs::path& folder, const std::vector<std::string>& fileIds,
                      const std::vector<E_DirRecType>& above, bool withReferences = true)
{
    DcmDicomDir dir((folder / "DICOMDIR").c_str(), "ODD");
    DcmDirectoryRecord* parent = &dir.getRootRecord();
    for (const E_DirRecType type : above) {
        auto record = std::make_unique<DcmDirectoryRecord>(type, nullptr, OFFilename());
        DcmDirectoryRecord* raw = record.get();
        ASSERT_TRUE(parent->insertSub(record.release()).good());  // the parent owns it now
        parent = raw;
    }
    for (const auto& id : fileIds) {
        std::string dicomId = id;
        std::replace(dicomId.begin(), dicomId.end(), '/', '\\');
        const E_DirRecType type = !above.empty() && above.back() == ERT_Series ? ERT_Image : ERT_Private;
        // the toolkit reads the file to fill the record
        auto record = std::make_unique<DcmDirectoryRecord>(type, withReferences ? dicomId.c_str() : nullptr,
                                                           OFFilename((folder / id).c_str()));
        ASSERT_TRUE(parent->insertSub(record.release()).good());
    }
    const OFCondition written = dir.write(EXS_LittleEndianExplicit, EET_UndefinedLength, EGL_recalcGL);
    ASSERT_TRUE(written.good()) << written.text();
}

DicomRecipe withUid(const std::string& uid, const std::string& patient)
{
    DicomRecipe spec;
    spec.sopInstanceUid = uid;
    spec.patientName = patient;
    return spec;
}

TEST_F(ImportJobsTest, SeveralFilesWithTheSameUidWriteTheFirstAndCountBoth)
{
    const std::string shared = uniqueUid(), other = uniqueUid();
    const std::vector<fs::path> files = {
        writeDicom(source / "a.dcm", withUid(shared, "First^A")),
        writeDicom(source / "b.dcm", withUid(shared, "Second^B")),
        writeDicom(source / "c.dcm", withUid(other, "Other^C")),
    };
    ImportFilesJob job(files, site.temp());
    RecordingReport report;
    const auto outcome = job.run(report);

    EXPECT_EQ(job.caption(), "Import image(s)");
    EXPECT_EQ(report.log(), "Importing image(s) ... OK\r\n3 image(s) successfully imported.\r\nTasks done.");
    EXPECT_EQ(report.progressCalls(), (std::vector<std::string>{"value=0", "max=3", "value=1", "value=2", "value=3"}));
    EXPECT_TRUE(outcome.complete);
    auto expected = std::vector<std::string>{other + ".dcm", shared + ".dcm"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(entries(site.temp()), expected);
    EXPECT_EQ(patientOf(shared), "First^A");
    EXPECT_EQ(ImportFilesJob::importList(files),
              (std::vector<std::string>{source.path().string(), "a.dcm", "b.dcm", "c.dcm"}));
}

TEST_F(ImportJobsTest, FilesThatCannotBeImportedAreNamedInTheLogAndNotCounted)
{
    const std::string uid = uniqueUid();
    writeFile(source / "notes.txt", "not DICOM");
    DicomRecipe noUid;
    noUid.omit = {{0x0008, 0x0018}};
    const std::vector<fs::path> files = {source / "notes.txt", writeDicom(source / "a.dcm", withUid(uid, "A^A")),
                                         writeDicom(source / "nouid.dcm", noUid), source / "gone.dcm"};
    ImportFilesJob job(files, site.temp());
    RecordingReport report;
    const auto outcome = job.run(report);

    EXPECT_TRUE(report.log().starts_with("Importing image(s) ... failed\r\nNot imported: " + files[0].string()))
        << report.log();
    for (const auto& f : {files[0], files[2], files[3]})
        EXPECT_NE(report.log().find("Not imported: " + f.string() + " ("), std::string::npos) << f;
    EXPECT_TRUE(report.log().ends_with("\r\n1 image(s) successfully imported.\r\nTasks done.")) << report.log();
    EXPECT_EQ(report.progressCalls().back(), "value=4");
    EXPECT_FALSE(outcome.complete);
    EXPECT_EQ(outcome.failures, 3);
    EXPECT_EQ(entries(site.temp()), (std::vector<std::string>{uid + ".dcm"}));
    const std::string log = errorLog();
    EXPECT_NE(log.find("EditForm ImportTimer ERROR_IMPORT_MULTI"), std::string::npos) << log;
    EXPECT_NE(log.find("notes.txt"), std::string::npos) << log;
}

TEST_F(ImportJobsTest, OneFileIsImportedAndAFailureIsNotReportedAsSuccess)
{
    struct Case {
        std::string name;
        bool dicom;
        std::string expectedLog;
    };
    const std::string uid = uniqueUid();
    const Case cases[] = {
        {"one.dcm", true, "Importing image(s) ... OK\r\n1 image(s) successfully imported.\r\nTasks done."},
        {"broken.dcm", false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path file = source / c.name;
        if (c.dicom)
            writeDicom(file, withUid(uid, "One^File"));
        else
            writeFile(file, std::string(300, 'x'));
        ImportFilesJob job({file}, site.temp());
        RecordingReport report;
        const auto outcome = job.run(report);
        if (c.dicom) {
            EXPECT_EQ(report.log(), c.expectedLog);
            EXPECT_EQ(report.progressCalls(), (std::vector<std::string>{"value=0", "max=1", "value=1"}));
            EXPECT_TRUE(outcome.complete);
        } else {
            EXPECT_TRUE(report.log().starts_with("Importing image(s) ... failed\r\nNot imported: " + file.string() + " ("))
                << report.log();
            EXPECT_TRUE(report.log().ends_with(")\r\n0 image(s) successfully imported.\r\nTasks done.")) << report.log();
            EXPECT_FALSE(outcome.complete);
            EXPECT_NE(errorLog().find("EditForm ImportTimer ERROR_IMPORT_SINGLE"), std::string::npos);
        }
    }
    EXPECT_EQ(entries(site.temp()), (std::vector<std::string>{uid + ".dcm"}));
    EXPECT_EQ(ImportFilesJob::importList({source / "one.dcm"}), (std::vector<std::string>{(source / "one.dcm").string()}));
}

TEST_F(ImportJobsTest, AFileWaitingInTheInputFolderIsNotWrittenOver)
{
    const std::string uid = uniqueUid();
    // The file Ingrado may be reading right now.
    writeDicom(site.temp() / (uid + ".dcm"), withUid(uid, "Waiting^Already"));
    const auto before = fs::last_write_time(site.temp() / (uid + ".dcm"));
    ImportFilesJob job({writeDicom(source / "new.dcm", withUid(uid, "New^Copy"))}, site.temp());
    RecordingReport report;
    job.run(report);

    EXPECT_EQ(report.log(), "Importing image(s) ... OK\r\n1 image(s) successfully imported.\r\nTasks done.");
    EXPECT_EQ(patientOf(uid), "Waiting^Already");
    EXPECT_EQ(fs::last_write_time(site.temp() / (uid + ".dcm")), before);
    EXPECT_EQ(entries(site.temp()), (std::vector<std::string>{uid + ".dcm"}));
}

// Half-written files of an import that was killed (its own partial name and the
// toolkit writer's) go with the next import, of either kind; those of a writer that
// still runs, and every other file, stay.
TEST_F(ImportJobsTest, PartialFilesOfAKilledImportGoWithTheNextImport)
{
    const pid_t gone = ::fork();
    if (gone == 0)
        ::_exit(0);
    ASSERT_GT(gone, 0);
    ASSERT_EQ(::waitpid(gone, nullptr, 0), gone);
    const std::string dead = std::to_string(gone), living = std::to_string(::getpid());
    const std::string uid = uniqueUid();
    const fs::path dicomDir = source.path() / "medium";
    fs::create_directories(dicomDir / "DICOM");
    writeDicom(dicomDir / "DICOM" / "IM1", withUid(uniqueUid(), "Medium^Image"));
    ASSERT_EQ(std::system(("cd '" + dicomDir.string() + "' && dcmmkdir +I +r DICOM >/dev/null").c_str()), 0);
    struct Case {
        const char* name;
        std::function<jobs::JobOutcome(RecordingReport&)> import;
    };
    const Case cases[] = {
        {"files", [&](RecordingReport& r) { return ImportFilesJob({writeDicom(source / "one.dcm", withUid(uid, "One^Image"))}, site.temp()).run(r); }},
        {"DICOMDIR", [&](RecordingReport& r) { return ImportDicomDirJob(dicomDir / "DICOMDIR", site.temp()).run(r); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // (numbers far beyond the import's own counter: its partial must not take the name)
        for (const std::string& name : {"." + uid + "." + dead + "-3.part", ".write-" + dead + "-0.part",
                                        "." + uid + "." + living + "-900001.part", ".write-" + living + "-900002.part",
                                        "notes-" + dead + "-1.part"})
            writeFile(site.temp() / name, "half");
        RecordingReport report;
        EXPECT_TRUE(c.import(report).complete) << report.log();
        const std::vector<std::string> left = entries(site.temp());
        for (const std::string& name : {"." + uid + "." + dead + "-3.part", ".write-" + dead + "-0.part"})
            EXPECT_EQ(std::count(left.begin(), left.end(), name), 0) << name;
        for (const std::string& name : {"." + uid + "." + living + "-900001.part", ".write-" + living + "-900002.part",
                                        "notes-" + dead + "-1.part"})
            EXPECT_EQ(std::count(left.begin(), left.end(), name), 1) << name;
    }
}

// A medium as another system writes it: the DICOMDIR in a sub-folder names
// "IMAGES\IM00000n", the files are lower case or carry a version suffix, one is missing.
TEST_F(ImportJobsTest, DicomDirFromAnotherSystemResolvesNamesAndReportsTheMissingFile)
{
    const fs::path medium = source.path() / "cdrom" / "PATIENT1";
    const std::string study = uniqueUid(), series = uniqueUid();
    const char* onDisk[] = {"images/im000001", "IMAGES/IM000002;1", nullptr};
    dicom::DicomDirWriter writer;
    std::vector<std::string> uids;
    for (int i = 0; i < 3; ++i) {
        DicomRecipe spec;
        spec.studyUid = study;
        spec.seriesUid = series;
        spec.sopInstanceUid = uniqueUid();
        spec.instanceNumber = i + 1;
        const fs::path staging = source.path() / ("staged" + std::to_string(i));
        writeDicom(staging, spec);
        writer.addImage(dicom::Image::read(staging), "IMAGES/IM00000" + std::to_string(i + 1), "");
        if (onDisk[i]) {
            fs::create_directories((medium / onDisk[i]).parent_path());
            fs::rename(staging, medium / onDisk[i]);
        }
        uids.push_back(spec.sopInstanceUid);
    }
    writer.write(medium / "DICOMDIR");

    ImportDicomDirJob job(medium / "DICOMDIR", site.temp());
    RecordingReport report;
    const auto outcome = job.run(report);

    EXPECT_EQ(job.caption(), "Import DICOM-Dir");
    EXPECT_EQ(report.log(),
              "Importing DICOM-Dir ... failed\r\n"
              "Not imported: IMAGES/IM000003 (File not found: IMAGES/IM000003)\r\n"
              "2 image(s) imported\r\nTasks done.");
    EXPECT_EQ(report.progressCalls(),
              (std::vector<std::string>{"value=0", "max=1", "value=0", "value=1", "value=0", "value=1", "value=0"}));
    EXPECT_FALSE(outcome.complete);
    EXPECT_EQ(outcome.failures, 1);
    auto expected = std::vector<std::string>{uids[0] + ".dcm", uids[1] + ".dcm"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(entries(site.temp()), expected);
    EXPECT_NE(errorLog().find("IMAGES/IM000003"), std::string::npos);
    EXPECT_NE(errorLog().find("EditForm ImportDirTimer"), std::string::npos);
}

TEST_F(ImportJobsTest, AFileThatIsNoDicomDirFailsWithoutTasksDone)
{
    const fs::path image = writeDicom(source / "DICOMDIR", withUid(uniqueUid(), "Not^ADir"));
    writeFile(source / "garbage", "no DICOM at all");
    for (const fs::path& file : {image, source / "garbage"}) {
        SCOPED_TRACE(file.string());
        ImportDicomDirJob job(file, site.temp());
        RecordingReport report;
        const auto outcome = job.run(report);
        EXPECT_TRUE(report.log().starts_with("Importing DICOM-Dir ... failed\r\n")) << report.log();
        EXPECT_NE(report.log().find(file.string()), std::string::npos) << report.log();
        EXPECT_EQ(report.log().find("Tasks done."), std::string::npos);
        EXPECT_TRUE(report.errors().empty());
        EXPECT_FALSE(outcome.complete);
    }
    EXPECT_NE(errorLog().find("EditForm ImportDirTimer"), std::string::npos);
    EXPECT_TRUE(entries(site.temp()).empty());
}

TEST_F(ImportJobsTest, DicomDirWrittenByDcmmkdirImportsEveryImage)
{
    const fs::path medium = source.path() / "media";
    std::vector<std::string> uids;
    for (int i = 1; i <= 3; ++i) {
        DicomRecipe spec;
        spec.sopInstanceUid = uniqueUid();
        spec.instanceNumber = i;
        spec.extra = {{{0x0020, 0x0011}, "1"}, {{0x0020, 0x0010}, "1"}};
        writeDicom(medium / "DICOM" / ("IM" + std::to_string(i)), spec);
        uids.push_back(spec.sopInstanceUid + ".dcm");
    }
    int code = -1;
    const std::string out = test::shell("cd " + test::quoted(medium) + " && dcmmkdir +I +r DICOM", &code);
    ASSERT_EQ(code, 0) << out;

    ImportDicomDirJob job(medium / "DICOMDIR", site.temp());
    RecordingReport report;
    EXPECT_TRUE(job.run(report).complete);
    EXPECT_EQ(report.log(), "Importing DICOM-Dir ... OK\r\n3 image(s) imported\r\nTasks done.");
    std::sort(uids.begin(), uids.end());
    EXPECT_EQ(entries(site.temp()), uids);
}

// Image records off the fourth level are imported too; a medium that names no file at
// all fails instead of reporting "OK" with nothing imported.
TEST_F(ImportJobsTest, DicomDirWithImagesAtAnotherLevelOrNoneAtAll)
{
    struct Case {
        const char* name;
        std::vector<E_DirRecType> above;
        bool withReferences;
    };
    const std::vector<Case> cases = {
        {"second level", {ERT_Patient}, true},
        {"third level", {ERT_Patient, ERT_Study}, true},
        {"fifth level", {ERT_Patient, ERT_Study, ERT_Series, ERT_Image}, true},
        {"no file named", {ERT_Patient, ERT_Study, ERT_Series}, false}};
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path medium = source.path() / ("odd" + std::to_string(++n));
        std::vector<std::string> ids, uids;
        for (int i = 1; i <= 2; ++i) {
            const std::string uid = uniqueUid();
            ids.push_back("DICOM/IM" + std::to_string(i));
            writeDicom(medium / ids.back(), withUid(uid, "Odd^Medium"));
            uids.push_back(uid + ".dcm");
        }
        writeOddDicomDir(medium, ids, c.above, c.withReferences);
        const fs::path input = source.path() / ("in" + medium.filename().string());
        fs::create_directories(input);

        ImportDicomDirJob job(medium / "DICOMDIR", input);
        RecordingReport report;
        const auto outcome = job.run(report);
        if (c.withReferences) {
            EXPECT_TRUE(outcome.complete);
            EXPECT_EQ(report.log(), "Importing DICOM-Dir ... OK\r\n2 image(s) imported\r\nTasks done.");
            std::sort(uids.begin(), uids.end());
            EXPECT_EQ(entries(input), uids);
        } else {
            EXPECT_FALSE(outcome.complete);
            EXPECT_EQ(report.log(), "Importing DICOM-Dir ... failed\r\nThe DICOMDIR names no image files.\r\n");
            EXPECT_TRUE(entries(input).empty());
        }
    }
}

}  // namespace
}  // namespace corva::station::transfer
