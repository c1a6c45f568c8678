// corvactl as a real process against a program folder with Ingrado running and DCMTK's
// storescp as the destination: what it writes, what it changes, its exit statuses.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "common/job_lock.h"
#include "ctl_site.h"
#include "dicom/dicom.h"
#include "dicom_fixture.h"
#include "header_job_seams.h"
#include "header/header_job.h"
#include "header/rewrite_handover.h"
#include "shell.h"
#include "store_scp.h"

namespace corva::station::ctl::test {
namespace {

namespace fs = std::filesystem;
using corva::test::StoreScp;

// Two patients, three studies, four images.
const std::string Root = "1.2.826.0.1.3680043.9.7731.";
const std::string S1 = Root + "1", S2 = Root + "2", S3 = Root + "3";
const std::string S1Series = S1 + ".1", S2Series = S2 + ".1", S3Series = S3 + ".1";

struct FixtureImage {
    std::string patientId, name, study, series;
    int number;
};
const FixtureImage Images[] = {
    {"P1", "Alpha^Anna", S1, S1Series, 1},
    {"P1", "Alpha^Anna", S1, S1Series, 2},
    {"P1", "Alpha^Anna", S2, S2Series, 1},
    {"P2", "Beta^Bea", S3, S3Series, 1},
};

std::string imageUid(const FixtureImage& i) { return i.series + "." + std::to_string(i.number); }

std::vector<std::string> writeFixture(const fs::path& folder) {
    std::vector<std::string> files;
    for (const auto& i : Images) {
        corva::test::DicomRecipe r;
        r.patientId = i.patientId;
        r.patientName = i.name;
        r.studyUid = i.study;
        r.seriesUid = i.series;
        r.sopInstanceUid = imageUid(i);
        r.instanceNumber = i.number;
        r.rows = 16;
        r.columns = 16;
        files.push_back(corva::test::writeDicom(folder / (r.sopInstanceUid + ".dcm"), r).string());
    }
    return files;
}

// The value of an attribute in each stored image of a study (empty when none).
std::vector<std::string> storedValues(const CtlSite& site, const std::string& studyUid, dicom::Tag tag) {
    std::vector<std::string> values;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(site.folder() / "Images" / studyUid, ec))
        values.push_back(dicom::Image::read(e.path(), dicom::ReadMode::HeaderOnly).attributes().get(tag).text);
    return values;
}

class CorvactlTest : public ::testing::Test {
protected:
    void importFixture() {
        std::vector<std::string> args{"import"};
        for (const auto& f : writeFixture(site_.scratch() / "fixture")) args.push_back(f);
        const CtlResult r = site_.run(args);
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.out, "Importing image(s) ... OK\n4 image(s) successfully imported.\nTasks done.\n");
        ASSERT_TRUE(site_.waitForImages(4));
    }
    std::string patientKey(const std::string& patientId) {
        return std::to_string(site_.count("SELECT PATID FROM tblPatienten WHERE PATID1 = '" + patientId + "'"));
    }
    CtlSite site_;
};

TEST_F(CorvactlTest, ImportedImagesAreListedAsTablesAndJson) {
    importFixture();
    CtlResult r = site_.run({"list", "patients"});
    ASSERT_EQ(r.code, 0) << r.err;
    auto rows = corva::test::splitLines(r.out);
    ASSERT_EQ(rows.size(), 3u) << r.out;
    EXPECT_EQ(rows[0], "Key\tPatient ID\tName\tSecond name\tBirth date");
    EXPECT_NE(r.out.find(patientKey("P1") + "\tP1\tAlpha, Anna\t\t01.01.1960\n"), std::string::npos) << r.out;

    r = site_.run({"list", "studies", "P1"});
    ASSERT_EQ(r.code, 0) << r.err;
    rows = corva::test::splitLines(r.out);
    ASSERT_EQ(rows.size(), 3u) << r.out;
    EXPECT_EQ(rows[0], "Study UID\tDate\tTime\tModality\tBody part\tImages");
    EXPECT_NE(r.out.find(S1 + "\t15.01.2024\t10:15:00\tCR\t"), std::string::npos) << r.out;
    EXPECT_EQ(rows[1].substr(rows[1].rfind('\t') + 1) + rows[2].substr(rows[2].rfind('\t') + 1), rows[1].starts_with(S1) ? "21" : "12");

    r = site_.run({"list", "series", S1});
    ASSERT_EQ(r.code, 0) << r.err;
    rows = corva::test::splitLines(r.out);
    ASSERT_EQ(rows.size(), 2u) << r.out;
    EXPECT_TRUE(rows[1].starts_with(S1Series + "\t")) << rows[1];
    EXPECT_TRUE(rows[1].ends_with("\t2")) << rows[1];

    r = site_.run({"list", "images", S1Series});
    ASSERT_EQ(r.code, 0) << r.err;
    rows = corva::test::splitLines(r.out);
    ASSERT_EQ(rows.size(), 3u) << r.out;
    EXPECT_EQ(rows[0], "Image UID\tImage key\tDate\tTime");

    r = site_.run({"list", "series", S3, "--json"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "[\n {\"seriesUid\": \"" + S3Series + "\", \"seriesNumber\": \"1\", \"images\": \"1\"}\n]\n");
}

TEST_F(CorvactlTest, SendsASeriesToStorescpAndRemovesItWhenNotKept) {
    importFixture();
    fs::create_directories(site_.scratch() / "received");
    StoreScp scp(site_.scratch() / "received");
    const std::string to = "STORESCP@127.0.0.1:" + std::to_string(scp.port());

    CtlResult r = site_.run({"send", "--series", S1Series, "--to", to});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "Sending Series ... OK\n2 of 2 images successfully sent.\nTasks done!\n");
    EXPECT_EQ(site_.count("SELECT COUNT(*) FROM tblImages"), 4);  // kept: the setting's default

    // By the alias of the station's destination list, not kept this time.
    {
        db::Database userDb(site_.userDb());
        auto st = userDb.prepare("INSERT INTO tblSCP (Alias, AET, IP, Port) VALUES ('Archive', 'STORESCP', '127.0.0.1', ?)");
        st.bind(1, scp.port());
        st.run();
    }
    r = site_.run({"send", "--series", S2Series, "--to", "archive", "--no-keep"});
    ASSERT_EQ(r.code, 0) << r.err;
    const auto out = corva::test::splitLines(r.out);
    ASSERT_GE(out.size(), 3u) << r.out;
    EXPECT_EQ(out[0], "Sending Series ... OK");
    EXPECT_EQ(out[1], "1 of 1 images successfully sent.");
    EXPECT_EQ(out.back(), "Tasks done!");
    EXPECT_EQ(site_.count("SELECT COUNT(*) FROM tblStudies WHERE StudyUID = '" + S2 + "'"), 0);
    EXPECT_EQ(site_.count("SELECT COUNT(*) FROM tblImages"), 3);

    // A file missing from the store: the send runs, is incomplete, and removes nothing.
    fs::remove(site_.folder() / "Images" / S1 / (S1Series + ".2.dcm"));
    r = site_.run({"send", "--series", S1Series, "--to", to, "--no-keep"});
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_EQ(r.out, "Sending Series ... OK\nNot sent: " + S1Series +
                         ".2: the file cannot be read (see the error log)\n1 of 2 images successfully sent.\nTasks done!\n");
    EXPECT_EQ(site_.count("SELECT COUNT(*) FROM tblImages"), 3);

    std::map<std::string, int> received;
    for (const auto& e : fs::directory_iterator(site_.scratch() / "received"))
        ++received[dicom::Image::read(e.path(), dicom::ReadMode::HeaderOnly).sopInstanceUid()];
    EXPECT_EQ(received, (std::map<std::string, int>{{S1Series + ".1", 1}, {S1Series + ".2", 1}, {S2Series + ".1", 1}}));
}

TEST_F(CorvactlTest, SendsAPatientsConvertedImagesAndRemovesThePatientWhenNotKept) {
    importFixture();
    fs::create_directories(site_.scratch() / "received");
    StoreScp scp(site_.scratch() / "received");
    const std::string to = "STORESCP@127.0.0.1:" + std::to_string(scp.port());
    // What forwarding leaves in the work folder: one converted file per image.
    fs::create_directories(site_.folder() / "bin");
    for (const auto& i : Images)
        if (i.patientId == "P1")
            fs::copy_file(site_.folder() / "Images" / i.study / (imageUid(i) + ".dcm"),
                          site_.folder() / "bin" / (imageUid(i) + ".dcm"));

    const CtlResult r = site_.run({"send", "--patient", patientKey("P1"), "--to", to, "--no-keep"});
    ASSERT_EQ(r.code, 0) << r.err;
    const auto out = corva::test::splitLines(r.out);
    ASSERT_GE(out.size(), 4u) << r.out;
    EXPECT_EQ(out[0], "Send studies of patient: Alpha, Anna");
    EXPECT_EQ(out[1], "Study: " + S1);
    EXPECT_EQ(out[2], "Sending study ... OK");
    EXPECT_NE(r.out.find("Study: " + S2 + "\nSending study ... OK\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("3 of 3 images successfully sent.\nRemoving database entries ... OK\nTasks done!\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(site_.count("SELECT COUNT(*) FROM tblPatienten WHERE PATID1 = 'P1'"), 0);
    EXPECT_EQ(site_.count("SELECT COUNT(*) FROM tblImages"), 1);
    EXPECT_FALSE(fs::exists(site_.folder() / "Images" / S1));
}

TEST_F(CorvactlTest, ExitStatusesNameTheProblem) {
    importFixture();
    fs::create_directories(site_.scratch() / "received");
    fs::create_directories(site_.scratch() / "refused");
    StoreScp listening(site_.scratch() / "received");
    StoreScp refusing(site_.scratch() / "refused", {"--refuse"});
    const std::string live = "STORESCP@127.0.0.1:" + std::to_string(listening.port());
    const std::string refused = "STORESCP@127.0.0.1:" + std::to_string(refusing.port());
    const fs::path out = site_.scratch() / "export";
    fs::create_directories(out);

    struct Case {
        std::vector<std::string> args;
        int code;
        std::string errStart;  // the one line on standard error starts so
    };
    const Case cases[] = {
        {{"send", "--series", S1Series, "--to", refused}, 1, "corvactl send: destination " + refused + " not reached: Error #"},
        {{"send", "--study", Root + "99", "--to", live}, 1, "corvactl send: no study with the UID " + Root + "99"},
        {{"send", "--study", S1, "--to", live}, 1, "The images from the selected study could not be found!"},
        {{"send", "--series", S1Series, "--to", "nowhere"}, 1, "corvactl send: no destination with the alias 'nowhere'"},
        {{"send", "--series", S1Series, "--to", live, "--bogus"}, 2, "corvactl send: unknown option --bogus"},
        {{"send", "--series", S1Series}, 2, "corvactl send: missing --to"},
        {{"send", "--series", S1Series, "--study", S1, "--to", live}, 2, "corvactl send: give only one of"},
        {{"send", "--patient", "P1", "--to", live}, 2, "corvactl send: --patient takes the patient's key"},
        {{"send", "--series", S1Series, "--to", live, "--keep", "--no-keep"}, 2, "corvactl send: --keep and --no-keep"},
        {{"forward", "--study", S1, "--plan", "--to", live}, 2, "corvactl forward: --plan changes nothing: it takes no --to"},
        {{"forward", "--study", S1, "--json"}, 2, "corvactl forward: --json needs --plan"},
        {{"forward", "--plan"}, 2, "corvactl forward: missing --study"},
        {{"forward", "--study", S1, "--to", live, "--keep", "--no-keep"}, 2, "corvactl forward: --keep and --no-keep"},
        {{"forward", "--study", S1, "--to", "ARCHIVE@host"}, 2, "corvactl forward: --to ARCHIVE@host: write the destination as"},
        {{"forward", "--study", Root + "99", "--plan"}, 1, "corvactl forward: no study with the UID " + Root + "99"},
        {{"forward", "--study", S1}, 1, "corvactl forward: No default SCP configured!"},
        {{"forward", "--study", S1, "--to", "nowhere"}, 1, "corvactl forward: no destination with the alias 'nowhere'"},
        {{"delete", "--all"}, 2, "corvactl delete: delete --all removes every patient and image: confirm with --yes"},
        {{"delete", "--study", Root + "99"}, 1, "corvactl delete: no study with the UID"},
        {{"delete", "--patient", "999"}, 1, "corvactl delete: no patient with the key 999"},
        {{"export", "--study", S1, "--to", out.string(), "--jpeg", "--dicomdir"}, 2, "corvactl export: --dicomdir needs --dicom"},
        {{"export", "--study", S1, "--to", out.string(), "--jpeg", "--quality", "11"}, 2, "corvactl export: --quality must be"},
        {{"export", "--study", S1, "--to", (out / "missing").string(), "--dicom"}, 1, "corvactl export: Export directory does not exists!"},
        {{"edit", "--study", S1, "--set", "0010,0010"}, 2, "corvactl edit: --set takes <gggg,eeee>=<value>"},
        {{"edit", "--study", S1, "--rule", "Nope"}, 1, "corvactl edit: no rule named 'Nope'"},
        {{"list", "studies", "NOPE"}, 1, "corvactl list: no patient with the ID NOPE"},
        {{"list", "rows"}, 2, "corvactl list: cannot list 'rows'"},
        {{"import"}, 2, "corvactl import: missing the files to import"},
        {{"services", "restart"}, 2, "corvactl services: services takes one of status, start, stop"},
        {{"frobnicate"}, 2, "corvactl: unknown command 'frobnicate'"},
        {{}, 2, "corvactl: missing command"},
        {{"--program-folder", (out / "missing").string(), "list", "patients"}, 2, "corvactl list: no program folder"},
    };
    for (const Case& c : cases) {
        std::string shown;
        for (const auto& a : c.args) shown += a + " ";
        const CtlResult r = site_.run(c.args);
        EXPECT_EQ(r.code, c.code) << shown << "\n" << r.err;
        EXPECT_TRUE(r.err.starts_with(c.errStart)) << shown << "\n" << r.err;
        EXPECT_EQ(corva::test::splitLines(r.err).size(), 1u) << shown << "\n" << r.err;
        if (c.code == 2) {
            EXPECT_EQ(r.out, "") << shown;
        }
    }
    // Nothing of it changed the image database.
    EXPECT_EQ(site_.count("SELECT COUNT(*) FROM tblImages"), 4);

    for (const char* command : {"list", "send", "forward", "delete", "import", "export", "edit", "services"}) {
        const CtlResult r = site_.run({command, "--help"});
        EXPECT_EQ(r.code, 0) << command;
        EXPECT_TRUE(r.out.starts_with(std::string("Usage: corvactl ") + command)) << r.out;
    }
    const CtlResult overview = site_.run({"--help"});
    EXPECT_EQ(overview.code, 0);
    EXPECT_NE(overview.out.find("Commands:"), std::string::npos);
}

TEST_F(CorvactlTest, DicomdirMediaOfOurExportAndOfDcmmkdirImportBack) {
    importFixture();
    // Our medium, zipped as well.
    const fs::path medium = site_.scratch() / "medium";
    fs::create_directories(medium);
    CtlResult r = site_.run({"export", "--study", S1, "--to", medium.string(), "--dicom", "--dicomdir", "--zip", "clinic"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "Exporting DICOM ... OK\n2 of 2 image(s) exported.\nDICOMDIR ... OK\nZIP archive clinic.zip ... OK\n"
                     "Images exported!\n");
    EXPECT_TRUE(fs::is_regular_file(medium / "DICOMDIR"));
    EXPECT_TRUE(fs::is_regular_file(medium / "clinic.zip"));

    // DCMTK's medium of a third patient.
    const fs::path other = site_.scratch() / "dcmtk";
    for (int n = 1; n <= 2; ++n) {
        corva::test::DicomRecipe recipe;
        recipe.patientId = "P3";
        recipe.studyUid = Root + "4";
        recipe.seriesUid = Root + "4.1";
        recipe.sopInstanceUid = Root + "4.1." + std::to_string(n);
        recipe.rows = recipe.columns = 16;
        corva::test::writeDicom(other / "DICOM" / ("IM00000" + std::to_string(n)), recipe);
    }
    int code = -1;
    const std::string made = corva::test::shell("cd " + corva::test::quoted(other) + " && dcmmkdir +I +r DICOM", &code);
    ASSERT_EQ(code, 0) << made;

    // The study goes and comes back from our medium; the other medium adds its study.
    r = site_.run({"delete", "--study", S1});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "Updating Database ... OK\nRemoving image directory ... OK\nTasks done.\n");
    EXPECT_EQ(site_.count("SELECT COUNT(*) FROM tblImages"), 2);
    r = site_.run({"import", "--dicomdir", (medium / "DICOMDIR").string()});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "Importing DICOM-Dir ... OK\n2 image(s) imported\nTasks done.\n");
    r = site_.run({"import", "--dicomdir", (other / "DICOMDIR").string()});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "Importing DICOM-Dir ... OK\n2 image(s) imported\nTasks done.\n");
    ASSERT_TRUE(site_.waitForImages(6));
    EXPECT_EQ(site_.count("SELECT COUNT(*) FROM tblStudies WHERE StudyUID IN ('" + S1 + "', '" + Root + "4')"), 2);

    // JPEG pictures with the patient's info file.
    const fs::path pictures = site_.scratch() / "pictures";
    fs::create_directories(pictures);
    r = site_.run({"export", "--study", S3, "--to", pictures.string(), "--jpeg", "--quality", "5"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(fs::is_regular_file(pictures / S3 / (S3Series + ".1.jpg")));
    EXPECT_TRUE(fs::is_regular_file(pictures / S3 / "info.txt"));
}

TEST_F(CorvactlTest, EditChangesTheStudyAndPatientAttributesReachEveryStudy) {
    importFixture();
    const dicom::Tag description{0x0008, 0x1030}, name{0x0010, 0x0010};
    CtlResult r = site_.run({"edit", "--study", S1, "--set", "0008,1030=Nightly", "--set", "0010,0010=Doe^Jane"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(r.out.starts_with("Updating active images (Studie) ... OK\n")) << r.out;
    EXPECT_TRUE(corva::test::pollUntil(
        [&] {
            return storedValues(site_, S1, description) == std::vector<std::string>{"Nightly", "Nightly"} &&
                   storedValues(site_, S2, name) == std::vector<std::string>{"Doe^Jane"} &&
                   storedValues(site_, S2, description) == std::vector<std::string>{""};
        },
        30000))
        << r.out;

    // A stored rule whose change asks for its value.
    {
        db::Database userDb(site_.userDb());
        userDb.exec("INSERT INTO tblRuleKey (fKeyName) VALUES ('Anon')");
        userDb.exec(
            "INSERT INTO tblRules (fName, fLevel, fSource, fTask, fTaskID, fTarget) "
            "VALUES ('Anon', 'Study', '0008,1030 - Study Description', 'Change entry', '0', NULL)");
    }
    r = site_.run({"edit", "--study", S3, "--rule", "Anon"});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "corvactl edit: rule 'Anon' asks for the value of 0008,1030: give --set 0008,1030=<value>\n");
    r = site_.run({"edit", "--study", S3, "--rule", "Anon", "--set", "0008,1030=FromRule"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(corva::test::pollUntil(
        [&] { return storedValues(site_, S3, description) == std::vector<std::string>{"FromRule"}; }, 30000));
    EXPECT_TRUE(site_.waitForImages(4));
}

// A report nobody reads: the test runs the edit's own job in this process.
struct SilentReport : jobs::JobReport {
    void setCaption(const std::string&, const std::string&) override {}
    void appendLog(const std::string&) override {}
    void setProgressMaximum(double) override {}
    void setProgress(double) override {}
    void unexpectedError(int, const std::string&) override {}
};

// An edit stopped after the originals of study S1 went (killed between staging and
// hand-over) leaves that study only as staged copies in the input folder. The next edit
// of the study finishes the hand-over under the job lock, waits for the ingest service
// to file the copies, and then finds and edits the study: no image lost, rows and files
// one to one.
TEST_F(CorvactlTest, EditFinishesAnInterruptedEditFirst) {
    importFixture();
    const dicom::Tag description{0x0008, 0x1030};
    const ProgramPaths paths = ProgramPaths::compute(site_.folder());
    {
        header::HeaderJobInput input;
        input.tasks = {{"Study", "0008,1030 - Study Description", "", "Change entry", "Interrupted", "0"}};
        input.loadedLevel = "Studie";
        input.patientKey = std::stoll(patientKey("P1"));
        input.studyId = site_.count("SELECT StudyID FROM tblStudies WHERE StudyUID = '" + S1 + "'");
        for (int n : {1, 2}) input.loaded.push_back({S1Series + "." + std::to_string(n), S1, 0, 0});
        header::HeaderJob job(paths, input);
        int removed = 0;
        header::test::HeaderJobSeams seams;
        seams.step = [&](header::HeaderJobStep step, const std::string&) {
            if (step == header::HeaderJobStep::OriginalRemoved && ++removed == 2) throw header::HeaderJobStopped{};
        };
        SilentReport report;
        EXPECT_THROW(job.run(report), header::HeaderJobStopped);
    }
    ASSERT_EQ(header::pendingRewrites(paths).size(), 2u);
    ASSERT_EQ(site_.count("SELECT COUNT(*) FROM tblStudies WHERE StudyUID = '" + S1 + "'"), 0);

    const CtlResult r = site_.run({"edit", "--study", S1, "--set", "0008,1030=Again"});
    ASSERT_EQ(r.code, 0) << r.err << r.out;
    EXPECT_NE(r.err.find("handing over 2 image(s) of an interrupted edit"), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.starts_with("Updating active images (Studie) ... OK\n")) << r.out;
    ASSERT_TRUE(site_.waitForImages(4));
    EXPECT_TRUE(header::pendingRewrites(paths).empty());
    EXPECT_EQ(storedValues(site_, S1, description), (std::vector<std::string>{"Again", "Again"}));
    std::size_t files = 0;
    for (const auto& e : fs::recursive_directory_iterator(site_.folder() / "Images"))
        if (e.is_regular_file()) ++files;
    EXPECT_EQ(files, 4u);
    for (const auto& i : Images)
        EXPECT_TRUE(fs::exists(site_.folder() / "Images" / i.study / (imageUid(i) + ".dcm"))) << imageUid(i);
}

// What the edit refuses it refuses before anything changes, naming why.
TEST_F(CorvactlTest, EditRefusesAnotherPatientsStudyAndThePixelLayout) {
    importFixture();
    struct Refusal {
        std::vector<std::string> args;
        std::string err;
    };
    const std::vector<Refusal> cases = {
        {{"edit", "--study", S1, "--set", "0020,000D=" + S3},
         "corvactl edit: The Study Instance UID " + S3 +
             " belongs to a study of another patient, patient ID 'P2' (Beta, Bea): the images would join it. "
             "Choose a new UID instead. Nothing was changed.\n"},
        {{"edit", "--series", S1Series, "--set", "0020,000E=" + S3Series},
         "corvactl edit: The Series Instance UID " + S3Series +
             " belongs to a series of another patient, patient ID 'P2' (Beta, Bea): the images would join it. "
             "Choose a new UID instead. Nothing was changed.\n"},
        {{"edit", "--study", S1, "--set", "0028,0010=1"},
         "corvactl edit: Rows (0028,0010) describes the pixel data: a header task cannot change it. Nothing was "
         "changed.\n"},
    };
    for (const auto& c : cases) {
        const CtlResult r = site_.run(c.args);
        EXPECT_EQ(r.code, 1) << c.args.at(4);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(site_.count("SELECT COUNT(*) FROM tblImages"), 4);
    EXPECT_EQ(site_.count("SELECT COUNT(*) FROM tblStudies WHERE StudyUID = '" + S1 + "'"), 1);
    EXPECT_EQ(site_.count("SELECT COUNT(*) FROM tblSeries WHERE SeriesUID = '" + S1Series + "'"), 1);
}

TEST_F(CorvactlTest, DeletesPatientSeriesAndEverything) {
    importFixture();
    CtlResult r = site_.run({"delete", "--patient", patientKey("P2")});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "Updating Database ... OK\nRemoving image directory ... OK\nTasks done.\n");
    EXPECT_EQ(site_.count("SELECT COUNT(*) FROM tblPatienten WHERE PATID1 = 'P2'"), 0);
    EXPECT_FALSE(fs::exists(site_.folder() / "Images" / S3));

    // The only series of a study takes the study along; the patient keeps the other one.
    r = site_.run({"delete", "--series", S1Series});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(site_.count("SELECT COUNT(*) FROM tblStudies"), 1);
    EXPECT_EQ(site_.count("SELECT COUNT(*) FROM tblImages"), 1);

    r = site_.run({"delete", "--all", "--yes"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "Removing database entries ... OK\nRemoving images ... OK\nTasks done.\n");
    EXPECT_EQ(site_.count("SELECT COUNT(*) FROM tblImages"), 0);
    EXPECT_EQ(site_.count("SELECT COUNT(*) FROM tblPatienten"), 0);
    // The station's patient list reloads at its next refresh.
    EXPECT_EQ(site_.count("SELECT COUNT(*) FROM tblReceive"), 1);

    // A file that is no DICOM: the import runs, says so, and ends with status 1.
    const fs::path text = site_.scratch() / "notes.txt";
    corva::test::writeFile(text, "no image");
    r = site_.run({"import", text.string(), (site_.scratch() / "fixture" / (S3Series + ".1.dcm")).string()});
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_TRUE(r.out.starts_with("Importing image(s) ... failed\n")) << r.out;
    EXPECT_TRUE(r.out.ends_with("1 image(s) successfully imported.\nTasks done.\n")) << r.out;
    EXPECT_TRUE(site_.waitForImages(1));
}

TEST_F(CorvactlTest, AJobWaitsForTheJobLockOrFailsUnderNoWait) {
    importFixture();
    auto held = std::make_unique<JobLock>(JobLock::tryAcquire(site_.folder() / "Data"));
    ASSERT_TRUE(held->held());

    CtlResult r = site_.run({"--no-wait", "delete", "--all", "--yes"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "corvactl delete: another job is working on the images; not started (--no-wait)\n");
    EXPECT_EQ(site_.count("SELECT COUNT(*) FROM tblImages"), 4);

    const fs::path err = site_.scratch() / "waiting.err";
    corva::test::ChildProcess waiting(
        {"sh", "-c", "exec \"$0\" \"$@\" 2>\"$CTL_ERR\"", (site_.folder() / "corvactl").string(), "delete", "--all", "--yes"},
        [&] {
            auto env = site_.site().environment();
            env.push_back("CTL_ERR=" + err.string());
            return env;
        }(),
        site_.scratch() / "waiting.out");
    ASSERT_TRUE(corva::test::pollUntil(
        [&] { return fs::exists(err) && corva::test::readFile(err).find("waiting") != std::string::npos; }, 20000));
    EXPECT_TRUE(waiting.running());
    EXPECT_EQ(site_.count("SELECT COUNT(*) FROM tblImages"), 4);
    held.reset();
    EXPECT_EQ(waiting.wait(std::chrono::seconds(60)), 0);
    EXPECT_EQ(site_.count("SELECT COUNT(*) FROM tblImages"), 0);
}

// An installed layout: the programs in a folder of their own whose "program-folder" file
// names the data folder. Naming that same folder with --program-folder changes nothing.
TEST_F(CorvactlTest, ProgramFolderOptionNamingTheInstalledFolderKeepsItsPrograms) {
    site_.site().install("Recvora");
    ASSERT_EQ(site_.run({"services", "stop"}).code, 0);
    const std::filesystem::path programs = site_.scratch() / "programs";
    std::filesystem::create_directories(programs);
    for (const char* program : {"corvactl", "Recvora", "Ingrado"})
        std::filesystem::rename(site_.folder() / program, programs / program);
    corva::test::writeFile(programs / "program-folder", site_.folder().string() + "\n");

    const std::vector<std::vector<std::string>> options{{}, {"--program-folder", site_.folder().string()}};
    for (const auto& option : options) {
        SCOPED_TRACE(option.empty() ? "no option" : "--program-folder");
        auto args = option;
        args.insert(args.end(), {"services", "start"});
        CtlResult r = site_.runIn(programs / "corvactl", args);
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_TRUE(r.out.starts_with("Recvora\trunning\t")) << r.out << r.err;
        args = option;
        args.insert(args.end(), {"services", "stop"});
        r = site_.runIn(programs / "corvactl", args);
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.out, "Recvora\tstopped\nIngrado\tstopped\n");
    }
}

TEST_F(CorvactlTest, ServicesOfThisProgramFolderOnly) {
    site_.site().install("Recvora");
    corva::test::ReceiverSite neighbour;
    neighbour.install("Ingrado");
    auto neighbourIngest = neighbour.start("Ingrado");

    CtlResult r = site_.run({"services", "status"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "Recvora\tstopped\nIngrado\trunning\t" + std::to_string(site_.ingest().pid()) + "\n");

    r = site_.run({"services", "stop"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "Recvora\tstopped\nIngrado\tstopped\n");
    EXPECT_TRUE(site_.ingest().wait(std::chrono::seconds(10)).has_value());
    EXPECT_TRUE(neighbourIngest->running());

    r = site_.run({"services", "start"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(r.out.starts_with("Recvora\trunning\t")) << r.out;
    EXPECT_NE(r.out.find("\nIngrado\trunning\t"), std::string::npos) << r.out;
    EXPECT_EQ(site_.site().echo().code, 0);  // the receiver answers on the configured port
    r = site_.run({"services", "stop"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "Recvora\tstopped\nIngrado\tstopped\n");
    EXPECT_TRUE(neighbourIngest->running());
}

}  // namespace
}  // namespace corva::station::ctl::test
