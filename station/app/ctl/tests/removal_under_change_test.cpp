// The removals by ID under change, of corvactl check [--repair] and of killed
// delete/send runs, against a real program folder with Ingrado running.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <thread>

#include "ctl_site.h"
#include "db/image_index.h"
#include "dicom_fixture.h"
#include "store_scp.h"
#include "temp_dir.h"

namespace corva::station::ctl::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string Study = "1.2.826.0.1.3680043.9.7731.90";

class RemovalUnderChangeTest : public ::testing::Test {
protected:
    fs::path recipe(const std::string& study, const std::string& series, const std::string& sop, int nr,
                    const std::string& patientId = "P1", const std::string& fileName = {}) {
        corva::test::DicomRecipe r;
        r.studyUid = study;
        r.seriesUid = series;
        r.sopInstanceUid = sop;
        r.patientId = patientId;
        r.instanceNumber = nr;
        r.rows = 8;
        r.columns = 8;
        return corva::test::writeDicom(site_.scratch() / "in" / (fileName.empty() ? sop + ".dcm" : fileName), r);
    }
    void import(const std::vector<fs::path>& files, std::int64_t expectImages) {
        std::vector<std::string> args{"import"};
        for (const auto& f : files) args.push_back(f.string());
        const CtlResult r = site_.run(args);
        ASSERT_EQ(r.code, 0) << r.out << r.err;
        ASSERT_TRUE(site_.waitForImages(expectImages));
    }
    fs::path store() const { return site_.folder() / "Images"; }
    std::int64_t id(const std::string& sql) const { return site_.count(sql); }
    bool tempEmpty() const {
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(site_.folder() / "Temp", ec))
            if (e.is_regular_file()) return false;
        return true;
    }
    CtlSite site_;
};

// A job killed between the commit of its removal and the removal of the files (a delete,
// a send or forwarding without keep): the next job's start removes those files, instead
// of the repair filing them again. A file whose image was received again since stays,
// and a note that points out of the store is never followed.
TEST_F(RemovalUnderChangeTest, FilesAKilledRemovalLeftGoAtTheNextJobsStart) {
    const std::string kept = Study + ".1.3";
    import({recipe(Study, Study + ".1", Study + ".1.1", 1), recipe(Study, Study + ".1", Study + ".1.2", 2),
            recipe(Study, Study + ".1", kept, 3)},
           3);
    const fs::path outside = site_.scratch() / "outside.dcm";
    corva::test::writeFile(outside, "not the store's");
    {
        // The killed job: its rows went in one commit, its files never.
        db::Database db(site_.imageDb());
        db::ImageIndex index(db, store());
        std::vector<std::int64_t> ids;
        for (const std::string& sop : {Study + ".1.1", Study + ".1.2", kept})
            ids.push_back(corva::test::queryNumber(db, "SELECT ImageID FROM tblImages WHERE ImageUID = '" + sop + "'"));
        index.removeImages(ids);
        auto note = db.prepare("INSERT INTO tblFilesToRemove (Path, Folder) VALUES (?, 0)");
        note.bind(1, fs::relative(outside, store()).generic_string());
        note.run();
    }
    for (const std::string& sop : {Study + ".1.1", Study + ".1.2", kept})
        EXPECT_TRUE(fs::exists(store() / Study / (sop + ".dcm"))) << sop;
    // One image is received again before the next job: its file is its own again.
    import({recipe(Study, Study + ".1", kept, 3)}, 1);

    const CtlResult repair = site_.run({"check", "--repair"});
    EXPECT_EQ(repair.code, 0) << repair.out << repair.err;
    EXPECT_EQ(repair.err.find("filed again"), std::string::npos) << repair.err;
    EXPECT_FALSE(fs::exists(store() / Study / (Study + ".1.1.dcm")));
    EXPECT_FALSE(fs::exists(store() / Study / (Study + ".1.2.dcm")));
    EXPECT_TRUE(fs::exists(store() / Study / (kept + ".dcm")));
    EXPECT_TRUE(fs::exists(outside));
    EXPECT_EQ(site_.count("SELECT COUNT(*) FROM tblImages"), 1);
    EXPECT_EQ(site_.count("SELECT COUNT(*) FROM tblFilesToRemove WHERE Path NOT LIKE '..%'"), 0);
}

// One SOP instance UID on rows of two series of one study: both rows name the same file.
// Deleting one series must not take the file the other row still names.
TEST_F(RemovalUnderChangeTest, SameSopUidInTwoSeriesDeleteOfOneKeepsTheOthersFile) {
    const std::string sop = Study + ".1.1";
    import({recipe(Study, Study + ".1", sop, 1), recipe(Study, Study + ".1", Study + ".1.2", 2)}, 2);
    {
        db::Database db(site_.imageDb());
        const std::int64_t studyId = corva::test::queryNumber(db, "SELECT StudyID FROM tblStudies WHERE StudyUID = '" + Study + "'");
        db.exec("INSERT INTO tblSeries (FKeyStudyID, SeriesUID) VALUES (" + std::to_string(studyId) + ", '" + Study + ".2')");
        const std::int64_t series2 = corva::test::queryNumber(db, "SELECT SeriesID FROM tblSeries WHERE SeriesUID = '" + Study + ".2'");
        db.exec("INSERT INTO tblImages (FKeySeriesID, ImageUID, ImageNr) VALUES (" + std::to_string(series2) + ", '" + sop + "', 1)");
    }
    ASSERT_EQ(site_.run({"check"}).code, 0) << "both rows name the one file";
    const CtlResult d = site_.run({"delete", "--series", Study + ".2"});
    EXPECT_EQ(d.code, 0) << d.out << d.err;
    EXPECT_EQ(site_.count("SELECT COUNT(*) FROM tblImages WHERE ImageUID = '" + sop + "'"), 1);
    EXPECT_TRUE(fs::exists(store() / Study / (sop + ".dcm"))) << "the row left in series 1 lost its file";
    const CtlResult c = site_.run({"check"});
    EXPECT_EQ(c.code, 0) << c.out;
}

// The same image received again after a delete's commit and before its files went:
// Ingrado registers it anew but finds "its" file there already and drops the received one;
// then the delete removes the file the new row names.
TEST_F(RemovalUnderChangeTest, ImageReceivedAgainBetweenCommitAndFileRemovalKeepsAFile) {
    const std::string sop = Study + ".1.1";
    const fs::path original = recipe(Study, Study + ".1", sop, 1);
    import({original}, 1);
    const std::int64_t imageId = id("SELECT ImageID FROM tblImages WHERE ImageUID = '" + sop + "'");
    db::Removal removal;
    {
        db::Database db(site_.imageDb());
        db::ImageIndex index(db, store());
        const db::Removal r = index.removeImages({imageId}, index.containersOfStudy(
            id("SELECT StudyID FROM tblStudies WHERE StudyUID = '" + Study + "'")));
        removal = r;
    }
    // Committed; the job is between its commit and removeFiles. The modality sends again.
    fs::copy_file(original, site_.folder() / "Temp" / "again.part");
    fs::rename(site_.folder() / "Temp" / "again.part", site_.folder() / "Temp" / (sop + ".dcm"));
    ASSERT_TRUE(site_.waitForImages(1));
    {
        db::Database db(site_.imageDb());
        db::ImageIndex(db, store()).removeFiles(removal);
    }
    EXPECT_EQ(site_.count("SELECT COUNT(*) FROM tblImages WHERE ImageUID = '" + sop + "'"), 1);
    EXPECT_TRUE(fs::exists(store() / Study / (sop + ".dcm"))) << "the image received again is lost";
}

// A row whose "file" is a directory has no image file: the check must not call it a match.
TEST_F(RemovalUnderChangeTest, RowWhoseFileIsADirectoryIsNoMatch) {
    const std::string sop = Study + ".1.1";
    import({recipe(Study, Study + ".1", sop, 1)}, 1);
    const fs::path file = store() / Study / (sop + ".dcm");
    fs::rename(file, site_.scratch() / "moved.dcm");
    fs::create_directories(file);
    const CtlResult c = site_.run({"check"});
    EXPECT_EQ(c.code, 1) << c.out;
    EXPECT_NE(c.out.find("row without file"), std::string::npos) << c.out;
    // Deleting the study leaves the directory (it is no image file) and nothing outside.
    const CtlResult d = site_.run({"delete", "--study", Study});
    std::cout << "delete of a study whose file is a directory: " << d.code << "\n" << d.out << d.err;
}

// --repair while Ingrado is stopped: the file waits in Temp; the check must not say that
// rows and files match while an image is neither filed nor in the store.
TEST_F(RemovalUnderChangeTest, RepairWhileIngestStoppedIsNotReportedClean) {
    const std::string sop = Study + ".1.1";
    import({recipe(Study, Study + ".1", sop, 1), recipe(Study, Study + ".1", Study + ".1.2", 2)}, 2);
    site_.ingest().signal(SIGKILL);
    site_.ingest().wait(5s);
    {
        db::Database db(site_.imageDb());
        db.exec("DELETE FROM tblImages WHERE ImageUID = '" + sop + "'");
    }
    CtlResult r = site_.run({"check", "--repair"});
    std::cout << r.out << r.err;
    EXPECT_TRUE(fs::exists(site_.folder() / "Temp" / (sop + ".dcm")));
    r = site_.run({"check"});
    EXPECT_EQ(r.code, 1) << "an image waits in Temp, unfiled: " << r.out;
}

// A same-named file already waiting in Temp: the store's file stays, nothing replaced.
TEST_F(RemovalUnderChangeTest, RepairWithASameNamedFileInTempReplacesNothing) {
    const std::string sop = Study + ".1.1";
    import({recipe(Study, Study + ".1", sop, 1)}, 1);
    site_.ingest().signal(SIGKILL);
    site_.ingest().wait(5s);
    {
        db::Database db(site_.imageDb());
        db.exec("DELETE FROM tblImages WHERE ImageUID = '" + sop + "'");
    }
    std::ofstream(site_.folder() / "Temp" / (sop + ".dcm")) << "other";
    const CtlResult r = site_.run({"check", "--repair"});
    EXPECT_TRUE(fs::exists(store() / Study / (sop + ".dcm")));
    EXPECT_EQ(corva::test::readFile(site_.folder() / "Temp" / (sop + ".dcm")), "other");
}

// A file without a row whose content is another SOP instance that is filed already (same
// study and patient, other pixels): after --repair, is its content anywhere?
TEST_F(RemovalUnderChangeTest, RepairOfAFileWhoseContentIsAnotherFiledSop) {
    const std::string sop = Study + ".1.1";
    import({recipe(Study, Study + ".1", sop, 1)}, 1);
    // The same SOP instance UID with other pixels, lying in the store under another name.
    corva::test::DicomRecipe other;
    other.studyUid = Study;
    other.seriesUid = Study + ".1";
    other.sopInstanceUid = sop;
    other.rows = 16;
    other.columns = 16;
    const fs::path orphan = store() / Study / (Study + ".1.7.dcm");
    corva::test::writeDicom(orphan, other);
    const std::string orphanBytes = corva::test::readFile(orphan);
    CtlResult r = site_.run({"check", "--repair"});
    ASSERT_TRUE(corva::test::pollUntil([&] { return tempEmpty(); }, 20000));
    std::this_thread::sleep_for(1s);
    bool found = false;
    for (const auto& e : fs::recursive_directory_iterator(site_.folder()))
        if (e.is_regular_file() && e.file_size() == orphanBytes.size() && corva::test::readFile(e.path()) == orphanBytes)
            found = true;
    r = site_.run({"check"});
    std::cout << r.out;
    EXPECT_TRUE(found) << "the repaired file's content is nowhere in the program folder";
}

// Files without rows in a folder whose name is no study UID, content naming another study.
TEST_F(RemovalUnderChangeTest, RepairFilesFromAFolderThatIsNoStudyUid) {
    import({recipe(Study, Study + ".1", Study + ".1.1", 1)}, 1);
    const std::string s2 = Study + "0";
    const fs::path f = recipe(s2, s2 + ".1", s2 + ".1.1", 1);
    fs::create_directories(store() / "lost+found");
    fs::copy_file(f, store() / "lost+found" / (s2 + ".1.1.dcm"));
    CtlResult r = site_.run({"check"});
    EXPECT_NE(r.out.find("file without row"), std::string::npos) << r.out;
    r = site_.run({"check", "--repair"});
    ASSERT_TRUE(corva::test::pollUntil([&] { return site_.count("SELECT COUNT(*) FROM tblImages") == 2; }, 20000));
    ASSERT_TRUE(corva::test::pollUntil([&] { return fs::exists(store() / s2 / (s2 + ".1.1.dcm")); }, 20000));
    r = site_.run({"check"});
    EXPECT_EQ(r.code, 0) << r.out;
}

// A study folder holding a file no row names when a delete removes the study: it stays,
// and so does the folder.
TEST_F(RemovalUnderChangeTest, DeleteOfAStudyKeepsAFileNoRowNames) {
    import({recipe(Study, Study + ".1", Study + ".1.1", 1)}, 1);
    const fs::path stray = store() / Study / (Study + ".1.9.dcm");
    fs::copy_file(recipe(Study, Study + ".1", Study + ".1.9", 9), stray);
    const CtlResult d = site_.run({"delete", "--study", Study});
    EXPECT_EQ(d.code, 0) << d.out << d.err;
    EXPECT_TRUE(fs::exists(stray));
    EXPECT_FALSE(fs::exists(store() / Study / (Study + ".1.1.dcm")));
}

// corvactl delete --study and send --series --no-keep killed at spread moments; after each
// kill the check finds no row without file, and --repair brings rows and files together.
void killRuns(RemovalUnderChangeTest* t, CtlSite& site, bool send) {
    std::unique_ptr<corva::test::StoreScp> scp;
    std::string to;
    if (send) {
        fs::create_directories(site.scratch() / "received");
        scp = std::make_unique<corva::test::StoreScp>(site.scratch() / "received");
        to = "STORESCP@127.0.0.1:" + std::to_string(scp->port());
    }
    constexpr int Kills = 20;
    constexpr int PerStudy = 4;
    std::mt19937 rng(send ? 7 : 3);
    std::chrono::microseconds runTime{0};
    std::int64_t filed = site.count("SELECT COUNT(*) FROM tblImages");
    int faults = 0;
    for (int k = -1; k < Kills; ++k) {
        const std::string study = Study + "." + (send ? "5" : "6") + std::to_string(k + 2);
        std::vector<std::string> args{"import"};
        for (int i = 1; i <= PerStudy; ++i) {
            corva::test::DicomRecipe r;
            r.studyUid = study;
            r.seriesUid = study + ".1";
            r.sopInstanceUid = study + ".1." + std::to_string(i);
            r.patientId = "K" + std::to_string(k + 2);
            r.instanceNumber = i;
            r.rows = 256;
            r.columns = 256;
            args.push_back(corva::test::writeDicom(site.scratch() / "kin" / (r.sopInstanceUid + ".dcm"), r).string());
        }
        ASSERT_EQ(site.run(args).code, 0);
        filed += PerStudy;
        ASSERT_TRUE(site.waitForImages(filed));
        std::vector<std::string> argv{(site.folder() / "corvactl").string()};
        if (send) argv.insert(argv.end(), {"send", "--series", study + ".1", "--to", to, "--no-keep"});
        else argv.insert(argv.end(), {"delete", "--study", study});
        auto env = site.site().environment();
        const auto start = std::chrono::steady_clock::now();
        corva::test::ChildProcess ctl(argv, env);
        if (k < 0) {
            ASSERT_TRUE(ctl.wait(60s).has_value());
            runTime = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
            filed -= PerStudy;
            continue;
        }
        std::uniform_int_distribution<long> at(0, runTime.count() * 12 / 10);
        std::this_thread::sleep_for(std::chrono::microseconds(at(rng)));
        ctl.signal(SIGKILL);
        const auto rc = ctl.wait(10s);
        CtlResult c = site.run({"check"});
        const bool rowWithoutFile = c.out.find("row without file") != std::string::npos;
        if (rowWithoutFile) {
            ++faults;
            ADD_FAILURE() << (send ? "send" : "delete") << " kill " << k << " (rc " << (rc ? *rc : -1) << "): " << c.out;
        }
        c = site.run({"check", "--repair"});
        EXPECT_TRUE(corva::test::pollUntil([&] { return t && true; }, 1));
        std::this_thread::sleep_for(300ms);
        ASSERT_TRUE(corva::test::pollUntil(
            [&] {
                std::error_code ec;
                for (const auto& e : fs::directory_iterator(site.folder() / "Temp", ec))
                    if (e.is_regular_file()) return false;
                return true;
            },
            20000));
        c = site.run({"check"});
        if (c.code != 0 && !rowWithoutFile) ADD_FAILURE() << "after repair, kill " << k << ": " << c.out << c.err;
        filed = site.count("SELECT COUNT(*) FROM tblImages");
    }
    std::cout << (send ? "send" : "delete") << ": " << Kills << " kills over " << runTime.count() << " us, " << faults
              << " with rows without files\n";
}

TEST_F(RemovalUnderChangeTest, KilledStudyDeletesLeaveNothingLost) { killRuns(this, site_, false); }
TEST_F(RemovalUnderChangeTest, KilledNoKeepSendsLeaveNothingLost) { killRuns(this, site_, true); }

}  // namespace
}  // namespace corva::station::ctl::test
