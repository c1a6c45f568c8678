// Deleting series, studies, patients and everything: rows, files and log lines.
#include <gtest/gtest.h>

#include <functional>
#include <utility>

#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <sys/mount.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <set>
#include <thread>

#include "child_process.h"
#include "common/job_lock.h"
#include "db/interrupted_delete.h"
#include "dicom_fixture.h"
#include "jobs/delete_jobs.h"
#include "jobs/edit_form.h"
#include "query.h"
#include "station/recording_report.h"
#include "station_test_support.h"
#include "temp_dir.h"

namespace fs = std::filesystem;
using namespace corva::station;
using namespace corva::station::jobs;
using corva::station::test::RecordingReport;

namespace {

// What an unfinished "delete all" leaves in the image store: hidden folders and notes.
std::vector<std::string> hiddenEntries(const fs::path& images) {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(images, ec)) {
        const std::string name = e.path().filename().string();
        if (name.starts_with(".deleting") || name.starts_with(".delete-all")) out.push_back(name);
    }
    return out;
}

// An image as study UID and SOP instance UID.
using ImageKey = std::pair<std::string, std::string>;

// Every image row with the UID of its study.
std::set<ImageKey> imageRows(const fs::path& imageDb) {
    corva::db::Database db(imageDb);
    auto st = db.prepare(
        "SELECT st.StudyUID, i.ImageUID FROM tblImages i JOIN tblSeries se ON se.SeriesID = i.FKeySeriesID "
        "JOIN tblStudies st ON st.StudyID = se.FKeyStudyID");
    std::set<ImageKey> out;
    while (st.step()) out.emplace(st.getText(0), st.getText(1));
    return out;
}

// Every file in the study folders of the store (hidden folders not included).
std::set<ImageKey> storedImages(const fs::path& images) {
    std::set<ImageKey> out;
    for (const auto& study : fs::directory_iterator(images)) {
        const std::string name = study.path().filename().string();
        if (!study.is_directory() || name.starts_with(".")) continue;
        for (const auto& f : fs::directory_iterator(study.path())) out.emplace(name, f.path().stem().string());
    }
    return out;
}

// Rows of the patient, study and series tables together.
std::int64_t upperRows(const fs::path& imageDb) {
    return corva::test::queryNumber(imageDb,
                                    "SELECT (SELECT COUNT(*) FROM tblPatienten) + (SELECT COUNT(*) FROM tblStudies) + "
                                    "(SELECT COUNT(*) FROM tblSeries)");
}

// The environment of a program started by a test: settings of its own.
std::vector<std::string> childEnvironment(const fs::path& home) {
    return {"XDG_CONFIG_HOME=" + (home / "config").string(), "HOME=" + home.string()};
}

class DeleteJobsTest : public corva::station::test::StationTest {
protected:
    using Study = StudyRows;
    // A study with `seriesCount` series of `perSeries` images each, files included.
    Study makeStudy(std::int64_t patient, int seriesCount, int perSeries) {
        return addStudyWithImages(patient, seriesCount, perSeries);
    }
    JobTarget target(std::int64_t patient, const std::string& patientId, const Study* study = nullptr,
                     std::int64_t series = 0) {
        JobTarget t{stationContext().paths, {}};
        t.selection.patientKey = patient;
        t.selection.patientId = patientId;
        if (study) {
            t.selection.studyId = std::to_string(study->key);
            t.selection.studyUid = study->uid;
        }
        if (series) t.selection.seriesId = std::to_string(series);
        return t;
    }
    std::int64_t rowsWhere(const std::string& sql, std::int64_t key) {
        auto db = openImageDb();
        auto st = db.prepare(sql);
        st.bind(1, key);
        return st.step() ? st.getInt(0) : -1;
    }
    fs::path file(const Study& s, int i) { return folder_->images() / s.uid / (s.images.at(i) + ".dcm"); }
};

using Lines = std::vector<std::string>;

TEST_F(DeleteJobsTest, SeriesOfAStudyWithMoreSeriesGoesWithItsFilesOnly) {
    const auto p = addPatient("ID1", "Alpha", "A");
    const Study s = makeStudy(p, 2, 2);
    DeleteJob job(DeleteJob::Level::Series, target(p, "ID1", &s, s.series[0]));
    RecordingReport r;
    const auto outcome = job.run(r);
    EXPECT_TRUE(outcome.complete);
    EXPECT_EQ(r.lines(), (Lines{"Updating Database ... OK", "Removing images ... OK", "Tasks done."}));
    EXPECT_FALSE(fs::exists(file(s, 0)));
    EXPECT_FALSE(fs::exists(file(s, 1)));
    EXPECT_TRUE(fs::exists(file(s, 2)));
    EXPECT_EQ(countRows("tblImages"), 2);
    EXPECT_EQ(countRows("tblSeries"), 1);
    EXPECT_EQ(countRows("tblStudies"), 1);
    EXPECT_FALSE(job.studyRemoved());
}

TEST_F(DeleteJobsTest, LastSeriesTakesTheStudyAndTheLastStudyThePatient) {
    const auto p = addPatient("ID1", "Alpha", "A");
    const Study keep = makeStudy(p, 1, 1);
    const Study s = makeStudy(p, 1, 2);
    {
        DeleteJob job(DeleteJob::Level::Series, target(p, "ID1", &s, s.series[0]));
        RecordingReport r;
        job.run(r);
        EXPECT_TRUE(job.studyRemoved());
        EXPECT_FALSE(job.patientRemoved());
        EXPECT_EQ(r.lines(), (Lines{"Updating Database ... OK", "Removing images ... OK", "Tasks done."}));
        EXPECT_EQ(rowsWhere("SELECT COUNT(*) FROM tblStudies WHERE StudyID = ?", s.key), 0);
        EXPECT_TRUE(fs::exists(file(keep, 0)));
    }
    {
        DeleteJob job(DeleteJob::Level::Series, target(p, "ID1", &keep, keep.series[0]));
        RecordingReport r;
        job.run(r);
        EXPECT_TRUE(job.studyRemoved());
        EXPECT_TRUE(job.patientRemoved());
        EXPECT_EQ(r.lines(), (Lines{"Updating Database ... OK", "Removing image directory ... OK", "Tasks done."}));
        EXPECT_FALSE(fs::exists(folder_->images() / keep.uid));
        EXPECT_EQ(countRows("tblPatienten"), 0);
    }
}

// Files an image into a study (as the ingest service does) when the job starts its
// database step.
class FilingWhileDeletingReport : public RecordingReport {
public:
    explicit FilingWhileDeletingReport(std::function<void()> file) : file_(std::move(file)) {}
    void appendLog(const std::string& text) override {
        if (text.rfind("Updating Database", 0) == 0 && file_) std::exchange(file_, {})();
        RecordingReport::appendLog(text);
    }

private:
    std::function<void()> file_;
};

// A delete removes the images it read, by ID: one filed meanwhile keeps its row, its
// file, its series, its study and its patient, whatever the level.
TEST_F(DeleteJobsTest, AnImageFiledDuringADeleteStays) {
    for (const DeleteJob::Level level : {DeleteJob::Level::Series, DeleteJob::Level::Study, DeleteJob::Level::Patient}) {
        const auto p = addPatient("ID1", "Alpha", "A");
        const Study s = makeStudy(p, 1, 2);
        const std::string late = s.uid + ".9";
        FilingWhileDeletingReport r([&] { addImage(s.series[0], s.uid, late, 9); });
        DeleteJob job(level, target(p, "ID1", &s, s.series[0]));
        EXPECT_TRUE(job.run(r).complete) << r.log();
        EXPECT_FALSE(job.studyRemoved());
        EXPECT_FALSE(job.patientRemoved());
        EXPECT_TRUE(fs::exists(folder_->images() / s.uid / (late + ".dcm")));
        EXPECT_FALSE(fs::exists(file(s, 0)));
        EXPECT_EQ(rowsWhere("SELECT COUNT(*) FROM tblImages WHERE FKeySeriesID = ?", s.series[0]), 1);
        EXPECT_EQ(rowsWhere("SELECT COUNT(*) FROM tblStudies WHERE StudyID = ?", s.key), 1);
        EXPECT_EQ(rowsWhere("SELECT COUNT(*) FROM tblPatienten WHERE PATID = ?", p), 1);
    }
}

TEST_F(DeleteJobsTest, StudyDeletionKeepsThePatientRowEvenForItsLastStudy) {
    const auto p = addPatient("ID1", "Alpha", "A");
    const Study s = makeStudy(p, 2, 1);
    DeleteJob job(DeleteJob::Level::Study, target(p, "ID1", &s));
    RecordingReport r;
    EXPECT_TRUE(job.run(r).complete);
    EXPECT_EQ(r.lines(), (Lines{"Updating Database ... OK", "Removing image directory ... OK", "Tasks done."}));
    EXPECT_EQ(countRows("tblImages"), 0);
    EXPECT_EQ(countRows("tblSeries"), 0);
    EXPECT_EQ(countRows("tblStudies"), 0);
    EXPECT_EQ(countRows("tblPatienten"), 1);
    EXPECT_FALSE(fs::exists(folder_->images() / s.uid));
}

TEST_F(DeleteJobsTest, StudyWhoseFolderIsGoneFailsAfterItsRows) {
    const auto p = addPatient("ID1", "Alpha", "A");
    const Study s = makeStudy(p, 1, 1);
    fs::remove_all(folder_->images() / s.uid);
    DeleteJob job(DeleteJob::Level::Study, target(p, "ID1", &s));
    RecordingReport r;
    EXPECT_FALSE(job.run(r).complete);
    EXPECT_EQ(r.lines(), (Lines{"Updating Database ... OK", "Removing image directory ... failed", "Tasks done."}));
    EXPECT_NE(errorLog().find("EditForm DeleteStudyFromDatabase"), std::string::npos);
}

TEST_F(DeleteJobsTest, PatientSharingThePlaceholderIdWithAnotherKeepsTheOther) {
    const auto a = addPatient("0000000", "Alpha", "A");
    const auto b = addPatient("0000000", "Beta", "B");
    const Study sa = makeStudy(a, 1, 2);
    const Study sb = makeStudy(b, 1, 1);
    DeleteJob job(DeleteJob::Level::Patient, target(a, "0000000"));
    RecordingReport r;
    EXPECT_TRUE(job.run(r).complete);
    EXPECT_EQ(r.lines(), (Lines{"Updating Database ... OK", "Removing image directory ... OK", "Tasks done."}));
    EXPECT_EQ(rowsWhere("SELECT COUNT(*) FROM tblPatienten WHERE PATID = ?", b), 1);
    EXPECT_EQ(rowsWhere("SELECT COUNT(*) FROM tblPatienten WHERE PATID = ?", a), 0);
    EXPECT_EQ(countRows("tblImages"), 1);
    EXPECT_FALSE(fs::exists(folder_->images() / sa.uid));
    EXPECT_TRUE(fs::exists(file(sb, 0)));
}

TEST_F(DeleteJobsTest, PatientWhoseRowsAreGoneRemovesNoFolder) {
    DeleteJob job(DeleteJob::Level::Patient, target(4711, "X"));
    RecordingReport r;
    EXPECT_TRUE(job.run(r).complete);
    EXPECT_EQ(r.lines(), (Lines{"Updating Database ... OK", "Tasks done."}));
}

TEST_F(DeleteJobsTest, DeleteAllEmptiesDatabaseAndStudyFoldersButNotLooseFiles) {
    const auto a = addPatient("ID1", "Alpha", "A");
    makeStudy(a, 2, 2);
    makeStudy(a, 1, 1);
    std::ofstream(folder_->images() / "loose.txt") << "x";
    DeleteAllJob job(stationContext().paths);
    RecordingReport r;
    EXPECT_TRUE(job.run(r).complete);
    EXPECT_EQ(r.lines(), (Lines{"Removing database entries ... OK", "Removing images ... OK", "Tasks done."}));
    for (const char* t : {"tblPatienten", "tblStudies", "tblSeries", "tblImages"}) EXPECT_EQ(countRows(t), 0) << t;
    int folders = 0;
    for (const auto& e : fs::directory_iterator(folder_->images()))
        if (e.is_directory()) ++folders;
    EXPECT_EQ(folders, 0);
    EXPECT_TRUE(fs::exists(folder_->images() / "loose.txt"));
    EXPECT_TRUE(hiddenEntries(folder_->images()).empty());
    EXPECT_EQ(r.maximum(), 2);
    EXPECT_EQ(r.progress(), 2);
}

TEST_F(DeleteJobsTest, DeleteAllWithoutTemplateFailsTheDatabaseStep) {
    const auto a = addPatient("ID1", "Alpha", "A");
    const auto study = makeStudy(a, 1, 1);
    fs::remove(folder_->templateDatabase());
    DeleteAllJob job(stationContext().paths);
    RecordingReport r;
    job.run(r);
    EXPECT_EQ(r.lines(),
              (Lines{"Removing database entries ... failed", "Removing images ... skipped (database entries kept)",
                     "Tasks done."}));
    // Every row kept has its file.
    EXPECT_EQ(countRows("tblImages"), 1);
    EXPECT_TRUE(fs::exists(folder_->images() / study.uid / (study.images.at(0) + ".dcm")));
}

// Registration the way the ingest service does it: rows committed in one transaction,
// then the file moved into its study folder. Meanwhile everything is deleted; after
// both, every image row left has its file.
TEST_F(DeleteJobsTest, DeleteAllWhileImagesAreRegisteredLeavesNoRowWithoutFile) {
    const auto p = addPatient("ID1", "Alpha", "A");
    const Study s = makeStudy(p, 1, 3);
    std::atomic<bool> stop{false};
    std::thread ingest([&] {
        auto db = openImageDb();
        for (int i = 0; i < 200 && !stop; ++i) {
            const std::string studyUid = s.uid;  // the same study keeps receiving
            const std::string uid = corva::test::uniqueUid();
            corva::test::DicomRecipe recipe;
            recipe.studyUid = studyUid;
            recipe.sopInstanceUid = uid;
            recipe.rows = 8;
            recipe.columns = 8;
            const fs::path incoming = folder_->temp() / (uid + ".dcm");
            corva::test::writeDicom(incoming, recipe);
            {
                corva::db::Transaction tx(db);
                db.exec("INSERT INTO tblPatienten (PATID1, PATNachname) VALUES ('ID2', 'Gamma')");
                const auto patient = db.lastInsertRowId();
                auto st = db.prepare("INSERT INTO tblStudies (FKeyPATID, StudyUID) VALUES (?, ?)");
                st.bind(1, patient).bind(2, studyUid);
                st.run();
                const auto study = db.lastInsertRowId();
                auto se = db.prepare("INSERT INTO tblSeries (FKeyStudyID, SeriesUID) VALUES (?, 'x')");
                se.bind(1, study);
                se.run();
                auto im = db.prepare("INSERT INTO tblImages (FKeySeriesID, ImageUID) VALUES (?, ?)");
                im.bind(1, db.lastInsertRowId()).bind(2, uid);
                im.run();
                tx.commit();
            }
            fs::create_directories(folder_->images() / studyUid);
            fs::rename(incoming, folder_->images() / studyUid / (uid + ".dcm"));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    DeleteAllJob job(stationContext().paths);
    RecordingReport r;
    job.run(r);
    stop = true;
    ingest.join();
    EXPECT_EQ(r.lines().front(), "Removing database entries ... OK");
    auto db = openImageDb();
    auto st = db.prepare(
        "SELECT i.ImageUID, st.StudyUID FROM tblImages i JOIN tblSeries se ON se.SeriesID = i.FKeySeriesID "
        "JOIN tblStudies st ON st.StudyID = se.FKeyStudyID");
    int rows = 0;
    while (st.step()) {
        ++rows;
        EXPECT_TRUE(fs::exists(folder_->images() / st.getText(1) / (st.getText(0) + ".dcm"))) << st.getText(0);
    }
    auto check = db.prepare("PRAGMA integrity_check");
    ASSERT_TRUE(check.step());
    EXPECT_EQ(check.getText(0), "ok");
    for (const auto& e : fs::directory_iterator(folder_->images()))
        EXPECT_FALSE(e.path().filename().string().starts_with(".deleting")) << e.path();
}

// A disk of a few megabytes over a folder for the life of the object: the folder's
// content is copied onto it, and the original comes back afterwards. Needs the right to
// mount (mounted() says).
class SmallDisk {
public:
    SmallDisk(const fs::path& folder, std::size_t bytes) : folder_(folder), original_(folder.string() + ".disk") {
        fs::rename(folder_, original_);
        fs::create_directory(folder_);
        const std::string options = "size=" + std::to_string(bytes);
        mounted_ = ::mount("tmpfs", folder_.c_str(), "tmpfs", 0, options.c_str()) == 0;
        if (mounted_) {
            fs::copy(original_, folder_, fs::copy_options::recursive);
        } else {
            fs::remove(folder_);
            fs::rename(original_, folder_);
        }
    }
    ~SmallDisk() {
        if (!mounted_) return;
        ::umount2(folder_.c_str(), MNT_DETACH);
        std::error_code ec;
        fs::remove(folder_, ec);
        fs::rename(original_, folder_, ec);
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;
    bool mounted() const { return mounted_; }

    // Takes every free block.
    void fill() {
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen((folder_ / "filler").c_str(), "wb"), std::fclose);
        ASSERT_TRUE(f);
        std::setvbuf(f.get(), nullptr, _IONBF, 0);
        const std::vector<char> block(4096, 'x');
        while (std::fwrite(block.data(), 1, block.size(), f.get()) == block.size()) {
        }
    }
    void free() { fs::remove(folder_ / "filler"); }

private:
    fs::path folder_;
    fs::path original_;
    bool mounted_ = false;
};

// How a "delete all" fails once its folders are aside: the deletion refused (a trigger of
// the test's own in the database), or the disk of the database full at the commit.
enum class DeleteAllFailure { Refused, DiskFull };

class DeleteAllFailureTest : public DeleteJobsTest, public ::testing::WithParamInterface<DeleteAllFailure> {};

TEST_P(DeleteAllFailureTest, FailureAfterTheFoldersWentAsideLeavesEveryRowAndFileInPlace) {
    const auto p = addPatient("ID1", "Alpha", "A");
    for (int i = 0; i < 3; ++i) makeStudy(p, 2, 2);
    const auto& paths = stationContext().paths;
    const std::set<ImageKey> before = imageRows(paths.imageDb);
    ASSERT_EQ(before.size(), 12u);
    ASSERT_EQ(storedImages(paths.imageStore), before);

    std::optional<SmallDisk> disk;
    std::optional<corva::db::Database> reader;
    std::string reason;
    if (GetParam() == DeleteAllFailure::Refused) {
        openImageDb().exec(
            "CREATE TRIGGER refuse BEFORE DELETE ON tblImages BEGIN SELECT RAISE(ABORT, 'refused by the test'); END");
        reason = "refused by the test";
    } else {
        disk.emplace(paths.dataFolder, 4u << 20);
        if (!disk->mounted()) GTEST_SKIP() << "no right to mount a tmpfs here";
        // A reader keeps the shared-memory files of both databases (the job opens them
        // too), so that the first block the job asks for is one the commit writes.
        reader.emplace(paths.imageDb);
        {
            auto st = reader->prepare("ATTACH DATABASE ? AS tmpl");
            st.bind(1, paths.templateDb.string());
            st.run();
        }
        EXPECT_GT(corva::test::queryNumber(*reader, "SELECT COUNT(*) FROM tblImages"), 0);
        EXPECT_GT(corva::test::queryNumber(*reader, "SELECT COUNT(*) FROM tmpl.sqlite_master"), 0);
        disk->fill();
        reason = "full";
    }

    DeleteAllJob job(paths);
    RecordingReport r;
    EXPECT_FALSE(job.run(r).complete);
    EXPECT_EQ(r.lines(),
              (Lines{"Removing database entries ... failed", "Removing images ... skipped (database entries kept)",
                     "Tasks done."}));
    EXPECT_NE(errorLog().find(reason), std::string::npos) << errorLog();
    if (disk) disk->free();
    EXPECT_EQ(imageRows(paths.imageDb), before);
    EXPECT_EQ(storedImages(paths.imageStore), before);
    EXPECT_TRUE(hiddenEntries(paths.imageStore).empty());

    // What stayed is an ordinary image store: the next "delete all" takes it all.
    if (GetParam() == DeleteAllFailure::Refused) {
        openImageDb().exec("DROP TRIGGER refuse");
        RecordingReport again;
        EXPECT_TRUE(DeleteAllJob(paths).run(again).complete);
        EXPECT_TRUE(imageRows(paths.imageDb).empty());
        EXPECT_TRUE(storedImages(paths.imageStore).empty());
        EXPECT_TRUE(hiddenEntries(paths.imageStore).empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Failures, DeleteAllFailureTest,
                         ::testing::Values(DeleteAllFailure::Refused, DeleteAllFailure::DiskFull),
                         [](const auto& info) {
                             return std::string(info.param == DeleteAllFailure::Refused ? "DeletionRefused"
                                                                                        : "DiskFullAtCommit");
                         });

// corvactl's "delete --all --yes" killed, each time on its own copy of a program folder:
// half of the kills at moments spread over its whole run, half at moments spread over the
// few milliseconds after its note appears (the folders move, the rows go, the folders
// go). Then the next start (corvactl, Ingrado, the station in turn). After it, the program
// folder holds either every row with its file or nothing at all.
TEST_F(DeleteJobsTest, DeleteAllKilledAtAnyMomentIsFinishedOrUndoneByTheNextStart) {
    const fs::path build = corva::test::buildProgramFolder();
    ASSERT_TRUE(fs::exists(build / "corvactl")) << "corvactl is not built";
    ASSERT_TRUE(fs::exists(build / "Ingrado")) << "Ingrado is not built";
    const auto p = addPatient("ID1", "Alpha", "A");
    for (int i = 0; i < 16; ++i) makeStudy(p, 2, 3);
    const std::set<ImageKey> all = imageRows(folder_->imageDatabase());
    ASSERT_EQ(all.size(), 96u);
    const std::int64_t allUpper = upperRows(folder_->imageDatabase());

    corva::test::TempDir rounds("corva-delall");
    const auto env = childEnvironment(rounds.path());
    auto copySite = [&](const std::string& name) {
        const fs::path site = rounds / name;
        fs::copy(folder_->path(), site, fs::copy_options::recursive);
        return site;
    };
    auto deleteAll = [&](const fs::path& site) {
        return std::vector<std::string>{(build / "corvactl").string(), "--program-folder", site.string(), "delete",
                                        "--all", "--yes"};
    };
    // A run to its end (the second, once the files are in the cache) tells over how long
    // the first half of the kills is spread.
    std::chrono::microseconds runTime{};
    for (int i = 0; i < 2; ++i) {
        const fs::path timing = copySite("timing" + std::to_string(i));
        const auto started = std::chrono::steady_clock::now();
        ASSERT_EQ(corva::test::runCommand(deleteAll(timing), std::chrono::seconds(60), env).code, 0);
        runTime = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started);
        ASSERT_TRUE(imageRows(timing / "Data" / "QAData.dat").empty());
    }

    constexpr int Kills = 36;
    constexpr auto NoteStep = std::chrono::microseconds(250);
    int endedBeforeKill = 0, leftHidden = 0, undone = 0, finished = 0, lost = 0, mismatches = 0;
    for (int k = 0; k < Kills; ++k) {
        const fs::path site = copySite("kill" + std::to_string(k));
        const auto paths = ProgramPaths::compute(site);
        {
            corva::test::ChildProcess ctl(deleteAll(site), env);
            if (k < Kills / 2) {
                std::this_thread::sleep_for(runTime * (k + 1) / (Kills / 2));
            } else {
                auto noted = [&] {
                    for (const std::string& name : hiddenEntries(paths.imageStore))
                        if (name.starts_with(".delete-all")) return true;
                    return false;
                };
                while (ctl.running() && !noted()) {
                }
                std::this_thread::sleep_for(NoteStep * (k - Kills / 2));
            }
            if (!ctl.running()) ++endedBeforeKill;
            ctl.signal(SIGKILL);
            ASSERT_TRUE(ctl.wait(std::chrono::seconds(30)).has_value());
        }
        if (!hiddenEntries(paths.imageStore).empty()) ++leftHidden;
        switch (k % 3) {
            case 0: {  // corvactl, for any command
                const auto r = corva::test::runCommand(
                    {(build / "corvactl").string(), "--program-folder", site.string(), "list", "patients"},
                    std::chrono::seconds(60), env);
                EXPECT_EQ(r.code, 0) << r.output;
                break;
            }
            case 1: {  // Ingrado, before it files anything
                fs::copy_file(build / "Ingrado", site / "Ingrado");
                corva::test::ChildProcess ingest({(site / "Ingrado").string()}, env);
                EXPECT_TRUE(corva::test::waitUntil([&] { return hiddenEntries(paths.imageStore).empty(); },
                                                   std::chrono::seconds(30)));
                break;
            }
            default:  // the station: the call its start makes
                recoverInterruptedDeleteAll(paths);
        }
        const std::set<ImageKey> rows = imageRows(paths.imageDb);
        const std::set<ImageKey> files = storedImages(paths.imageStore);
        for (const ImageKey& row : rows) lost += files.count(row) ? 0 : 1;
        const bool clean = hiddenEntries(paths.imageStore).empty();
        if (clean && rows == all && files == all && upperRows(paths.imageDb) == allUpper) {
            ++undone;
        } else if (clean && rows.empty() && files.empty() && upperRows(paths.imageDb) == 0) {
            ++finished;
        } else {
            ++mismatches;
            ADD_FAILURE() << "kill " << k << ": " << rows.size()
                          << " image rows, " << files.size() << " files, hidden: " << hiddenEntries(paths.imageStore).size();
        }
        fs::remove_all(site);
    }
    std::cout << "Delete All killed " << Kills << " times over " << runTime.count() << " us: " << endedBeforeKill
              << " had ended, " << leftHidden << " left folders hidden; after the next start " << undone
              << " undone, " << finished << " finished, " << lost << " images lost, " << mismatches << " mismatches\n";
    RecordProperty("kills", Kills);
    RecordProperty("leftHidden", leftHidden);
    EXPECT_EQ(undone + finished, Kills);
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(mismatches, 0);
}

// The ingest service files images while a "delete all" has its folders aside and was
// killed there, before or after its commit: the job lock is still held (as while the job
// runs), so Ingrado's start leaves the hidden folders alone, and files into a fresh folder
// of the study: a new image and one of the hidden images once more. The next start keeps
// both with their rows, whichever way it decides.
class DeleteAllIngestTest : public DeleteJobsTest, public ::testing::WithParamInterface<bool> {};

TEST_P(DeleteAllIngestTest, ImagesFiledWhileTheFoldersAreAsideSurviveTheNextStart) {
    const bool committed = GetParam();
    const auto p = addPatient("P1", "Test", "Patient");  // as the fixture's files name the patient
    const Study s = makeStudy(p, 1, 2);
    makeStudy(p, 1, 1);  // a second study, hidden beside the first
    const auto& paths = stationContext().paths;
    const std::set<ImageKey> before = imageRows(paths.imageDb);
    corva::test::TempDir scratch("corva-delall-ingest");
    fs::copy_file(file(s, 0), scratch / (s.images[0] + ".dcm"));
    corva::test::DicomRecipe recipe;
    recipe.studyUid = s.uid;
    recipe.sopInstanceUid = corva::test::uniqueUid();
    recipe.rows = 8;
    recipe.columns = 8;
    corva::test::writeDicom(scratch / (recipe.sopInstanceUid + ".dcm"), recipe);

    auto lock = std::make_unique<JobLock>(JobLock::tryAcquire(paths.dataFolder));
    ASSERT_TRUE(lock->held());
    {
        auto db = openImageDb();
        corva::db::Transaction tx(db);
        // Its result is dropped: the process ends here, neither removing nor restoring.
        corva::db::AsideFolders::moveAside(db, paths.imageStore);
        if (committed) {
            for (const char* table : {"tblImages", "tblSeries", "tblStudies", "tblPatienten"})
                db.exec(std::string("DELETE FROM ") + table);
            tx.commit();
        }
    }
    ASSERT_EQ(hiddenEntries(paths.imageStore).size(), 3u);  // two folders and the note

    folder_->copyExecutable("Ingrado");
    corva::test::ChildProcess ingest({folder_->executable("Ingrado").string()}, childEnvironment(scratch.path()));
    for (const auto& f : fs::directory_iterator(scratch.path()))
        if (f.path().extension() == ".dcm") fs::copy_file(f.path(), folder_->temp() / f.path().filename());
    const ImageKey fresh{s.uid, recipe.sopInstanceUid};
    const ImageKey again{s.uid, s.images[0]};
    ASSERT_TRUE(corva::test::waitUntil(
        [&] {
            const auto rows = imageRows(paths.imageDb);
            const auto files = storedImages(paths.imageStore);
            return rows.count(fresh) && rows.count(again) && files.count(fresh) && files.count(again);
        },
        std::chrono::seconds(30)));
    EXPECT_EQ(hiddenEntries(paths.imageStore).size(), 3u);  // Ingrado left them to the lock's holder

    lock.reset();
    recoverInterruptedDeleteAll(paths);
    std::set<ImageKey> expected{fresh, again};
    if (!committed) expected.insert(before.begin(), before.end());
    EXPECT_EQ(imageRows(paths.imageDb), expected);
    EXPECT_EQ(storedImages(paths.imageStore), expected);
    EXPECT_TRUE(hiddenEntries(paths.imageStore).empty());
}

INSTANTIATE_TEST_SUITE_P(KilledBeforeOrAfterTheCommit, DeleteAllIngestTest, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "Committed" : "RolledBack"); });

// Hidden folders without a note, as earlier versions left them: the rows of their images
// decide, one folder at a time, and nothing is replaced. Nobody touches them while a job
// holds the job lock.
TEST_F(DeleteJobsTest, HiddenFoldersWithoutANoteAreDecidedByTheRowsOfTheirImages) {
    const auto p = addPatient("ID1", "Alpha", "A");
    const Study kept = makeStudy(p, 1, 2);       // rows there: comes back
    const Study gone = makeStudy(p, 1, 1);       // rows gone: goes
    const Study differs = makeStudy(p, 1, 2);    // a different file of one name filed meanwhile
    const Study identical = makeStudy(p, 1, 2);  // the same file filed again meanwhile
    const auto& paths = stationContext().paths;
    const fs::path store = paths.imageStore;
    int n = 0;
    auto hide = [&](const Study& study) {
        const fs::path hidden = store / (".deleting-4711-" + std::to_string(n++));
        fs::rename(store / study.uid, hidden);
        return hidden;
    };
    hide(kept);
    hide(gone);
    const fs::path differsHidden = hide(differs);
    const fs::path identicalHidden = hide(identical);
    {
        auto db = openImageDb();
        auto st = db.prepare("DELETE FROM tblImages WHERE FKeySeriesID = ?");
        st.bind(1, gone.series[0]);
        st.run();
    }
    corva::test::DicomRecipe other;
    other.studyUid = differs.uid;
    other.sopInstanceUid = differs.images[0];
    other.rows = 4;
    other.columns = 4;
    corva::test::writeDicom(file(differs, 0), other);
    fs::create_directories(store / identical.uid);
    fs::copy_file(identicalHidden / (identical.images[0] + ".dcm"), file(identical, 0));

    {
        const JobLock busy = JobLock::tryAcquire(paths.dataFolder);
        ASSERT_TRUE(busy.held());
        recoverInterruptedDeleteAll(paths);
        EXPECT_TRUE(corva::db::recoverInterruptedDeleteAllWhenIdle(paths.dataFolder, paths.imageDb, store).skipped);
        EXPECT_EQ(hiddenEntries(store).size(), 4u);
    }
    const auto outcome = corva::db::recoverInterruptedDeleteAllWhenIdle(paths.dataFolder, paths.imageDb, store);
    EXPECT_FALSE(outcome.skipped);
    EXPECT_EQ(outcome.restored, 2);
    EXPECT_EQ(outcome.removed, 1);
    EXPECT_EQ(outcome.kept, 1);
    EXPECT_TRUE(fs::exists(file(kept, 0)));
    EXPECT_TRUE(fs::exists(file(kept, 1)));
    EXPECT_FALSE(fs::exists(store / gone.uid));
    EXPECT_TRUE(fs::exists(file(identical, 0)));
    EXPECT_TRUE(fs::exists(file(identical, 1)));
    EXPECT_FALSE(fs::exists(identicalHidden));
    // The file filed meanwhile stays as it is; the hidden one of that name stays hidden, logged.
    EXPECT_TRUE(fs::exists(file(differs, 1)));
    EXPECT_NE(corva::test::readFile(file(differs, 0)), corva::test::readFile(differsHidden / (differs.images[0] + ".dcm")));
    EXPECT_EQ(hiddenEntries(store), std::vector<std::string>{differsHidden.filename().string()});
    EXPECT_NE(errorLog().find("Kept " + (differsHidden / (differs.images[0] + ".dcm")).string()), std::string::npos);
}

// A job that runs until it is let go, to see the window while a job runs.
class HeldJob : public Job {
public:
    std::string caption() const override { return "held"; }
    JobOutcome run(JobReport& report) override {
        report.appendLog("Working ... ");
        while (!release && !report.cancelRequested()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        report.appendLog("OK\r\nTasks done.");
        return {};
    }
    std::atomic<bool> release{false};
};

TEST_F(DeleteJobsTest, WindowCannotCloseWhileItsJobRunsAndShowsTheLogAfter) {
    auto job = std::make_shared<HeldJob>();
    EditForm form(JobKind::DeleteStudy, job);
    form.show();
    EXPECT_EQ(form.windowTitle(), "Delete images");
    EXPECT_EQ(form.findChild<QLabel*>("lblProgress")->text(), "Progress:");
    EXPECT_FALSE(form.cmdOK()->isEnabled());
    ASSERT_TRUE(corva::station::test::waitFor([&] { return form.txtProgress()->toPlainText() == "Working ... "; }));
    EXPECT_TRUE(form.jobRunning());
    EXPECT_FALSE(form.close());  // from the title bar: refused
    EXPECT_TRUE(form.isVisible());
    EXPECT_TRUE(stationContext().refreshLock);
    job->release = true;
    ASSERT_TRUE(corva::station::test::waitFor([&] { return form.cmdOK()->isEnabled(); }));
    EXPECT_EQ(form.txtProgress()->toPlainText(), "Working ... OK\nTasks done.");
    QTest::mouseClick(form.cmdOK(), Qt::LeftButton);
    EXPECT_FALSE(form.isVisible());
    EXPECT_FALSE(stationContext().refreshLock);
}

TEST_F(DeleteJobsTest, WindowRunsADeleteJobModallyAndOkClosesIt) {
    const auto p = addPatient("ID1", "Alpha", "A");
    const Study s = makeStudy(p, 2, 1);
    auto job = std::make_shared<DeleteJob>(DeleteJob::Level::Series, target(p, "ID1", &s, s.series[1]));
    QString log;
    bool okWasDisabledAtStart = false;
    op_.answerWindow(ScriptedOperator::runModal([&](QDialog& d) {
        auto& form = static_cast<EditForm&>(d);
        okWasDisabledAtStart = !form.cmdOK()->isEnabled();
        if (!corva::station::test::waitFor([&] { return form.cmdOK()->isEnabled(); })) return;
        log = form.txtProgress()->toPlainText();
        QTest::mouseClick(form.cmdOK(), Qt::LeftButton);
    }));
    runJobWindow(JobKind::DeleteSeries, job);
    EXPECT_TRUE(okWasDisabledAtStart);
    EXPECT_EQ(log, "Updating Database ... OK\nRemoving images ... OK\nTasks done.");
    EXPECT_EQ(countRows("tblSeries"), 1);
    EXPECT_TRUE(op_.unexpected().empty());
}

TEST_F(DeleteJobsTest, KindOutsideTheTableLeavesTheWindowIdle) {
    EditForm form(12, std::make_shared<HeldJob>());
    QTest::qWait(250);
    EXPECT_FALSE(form.jobRunning());
    EXPECT_FALSE(form.cmdOK()->isEnabled());
    EXPECT_TRUE(form.txtProgress()->toPlainText().isEmpty());
}

TEST_F(DeleteJobsTest, OkAfterAForwardingRefreshesOnceAndEndsTheForwarding) {
    int refreshed = 0;
    EditForm::setForwardingRefresh([&] { ++refreshed; });
    stationContext().forwardingMode = ForwardingMode::Automatic;
    auto job = std::make_shared<HeldJob>();
    job->release = true;
    EditForm form(JobKind::DeleteStudy, job);
    form.show();
    ASSERT_TRUE(corva::station::test::waitFor([&] { return form.cmdOK()->isEnabled(); }));
    QTest::mouseClick(form.cmdOK(), Qt::LeftButton);
    EXPECT_EQ(refreshed, 1);
    EXPECT_EQ(stationContext().forwardingMode, ForwardingMode::None);
    EditForm::setForwardingRefresh({});
}

}  // namespace
