// Every corvactl job killed (SIGKILL) at moments spread over its run time, one table row
// per job, against a real program folder with Ingrado running and storescp as the
// archive. After each kill the next corvactl finishes or undoes what was left, rows and
// files come back one to one, and no image that was there before is lost: it is filed,
// waits in Temp, was removed by a delete that named it, or is at the archive. Some runs
// have Ingrado filing a new image of the same patient meanwhile; it must survive.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <thread>

#include "common/job_lock.h"
#include "ctl_site.h"
#include "dicom/dicom.h"
#include "dicom_fixture.h"
#include "shell.h"
#include "store_scp.h"

namespace corva::station::ctl::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string Root = "1.2.826.0.1.3680043.9.7731.8";
const dicom::Tag StudyDescription{0x0008, 0x1030};
// Kills spread over the job's work: at k/Kills of the time from taking the job lock to
// the end of an uninterrupted run, k = 0..Kills-1 (the start of the process up to the
// lock takes most of a small job's run time and would take most kills).
constexpr int Kills = 20;
// Right after the start: before, while and just after the job lock is taken.
const std::chrono::microseconds EarlyKills[] = {0us, 3ms, 15ms};

// What a job may take out of the store: nothing, the images it names, or the images it
// names once they are at the archive.
enum class Removes { Nothing, Targets, AtArchive };

// A mammography view for the forwarding rounds, with its exposure record.
struct View {
    const char* code;  // the unit's projection code
    const char* viewPosition;
    const char* side;
    const char* clock;  // hhmmss of the image; the record follows 10 s later
    const char* kvp;
};
const View Views[] = {
    {"L-CC", "CC", "L", "081600", "28"},
    {"R-CC", "CC", "R", "081700", "29"},
    {"L-LMO45", "MLO", "L", "081800", "30"},
    {"R-LMO45", "MLO", "R", "081900", "31"},
};

// One run of a job: a patient of its own with the images the job works on.
struct Round {
    int job = 0;
    int n = 0;
    std::string patientId;
    std::vector<std::string> targets;              // SOP UIDs the job may remove
    std::map<std::string, std::string> studyOf;    // SOP UID -> study UID, of the round's images
    std::vector<fs::path> imports;                 // files this round's import job reads
    std::vector<std::string> imported;             // their SOP UIDs
    std::map<std::int64_t, std::string> records;   // exposure record ID -> SOP UID of its view
    std::map<fs::path, std::string> storeBefore;   // store files an export must leave as they are
    std::vector<std::string> args;                 // corvactl's arguments of the run
    std::string dropped;                           // a new image filed during the job
    bool killed = false;
    bool finishedAgain = false;                    // the next run of the job went through

    std::string study(int s) const { return Root + "." + std::to_string(job) + "." + std::to_string(n) + "." + std::to_string(s); }
    std::string series(int s, int se) const { return study(s) + "." + std::to_string(se); }
    std::string sop(int s, int se, int i) const { return series(s, se) + "." + std::to_string(i); }
};

class KilledJobsTest;

struct JobCase {
    const char* name;
    Removes removes;
    // Writes the round's images that are filed before the runs; returns their files.
    std::function<std::vector<fs::path>(KilledJobsTest&, Round&)> layout = {};
    // Readies the round just before its run; returns corvactl's arguments.
    std::function<std::vector<std::string>(KilledJobsTest&, Round&)> start = {};
    // Right after the kill, before any check: the next start of the job itself.
    std::function<void(KilledJobsTest&, Round&)> next = {};
    // Checks of this job after the round settled, and the test's clean-up.
    std::function<void(KilledJobsTest&, Round&)> after = {};
    // Once after the last round.
    std::function<void(KilledJobsTest&, std::vector<Round>&)> finish = {};
    // The study of the new image filed during the job.
    int dropStudy = 1;
    // A delete of the patient may take an image that was filed before it read its targets.
    bool droppedMayGo = false;
    // Reads only: the check after a kill finds nothing to repair.
    bool readOnly = false;
};

class KilledJobsTest : public ::testing::TestWithParam<int> {
public:
    fs::path image(Round& r, int s, int se, int i, const std::vector<std::pair<dicom::Tag, std::string>>& extra = {},
                   const fs::path& folder = {}) {
        corva::test::DicomRecipe recipe;
        recipe.patientId = r.patientId;
        recipe.patientName = "Kill^" + r.patientId;
        recipe.studyUid = r.study(s);
        recipe.seriesUid = r.series(s, se);
        recipe.sopInstanceUid = r.sop(s, se, i);
        recipe.instanceNumber = i;
        recipe.studyDescription = "Old";
        recipe.rows = 512;
        recipe.columns = 512;
        recipe.extra = extra;
        r.studyOf[recipe.sopInstanceUid] = recipe.studyUid;
        return corva::test::writeDicom((folder.empty() ? site_.scratch() / "pre" : folder) / (recipe.sopInstanceUid + ".dcm"),
                                       recipe);
    }
    fs::path stored(const Round& r, const std::string& sop) const {
        return site_.folder() / "Images" / r.studyOf.at(sop) / (sop + ".dcm");
    }
    bool hasRow(const std::string& sop) const {
        db::Database db(site_.imageDb());
        auto st = db.prepare("SELECT COUNT(*) FROM tblImages WHERE ImageUID = ?");
        st.bind(1, sop);
        st.step();
        return st.getInt(0) == 1;
    }
    bool filed(const Round& r, const std::string& sop) const { return hasRow(sop) && fs::is_regular_file(stored(r, sop)); }
    std::set<std::string> filedUids() const {
        std::set<std::string> uids;
        db::Database db(site_.imageDb());
        auto st = db.prepare("SELECT ImageUID FROM tblImages");
        while (st.step()) uids.insert(st.getText(0));
        return uids;
    }
    std::string patientKey(const Round& r) const {
        return std::to_string(site_.count("SELECT PATID FROM tblPatienten WHERE PATID1 = '" + r.patientId + "'"));
    }
    std::string destination() const { return "STORESCP@127.0.0.1:" + std::to_string(scp_->port()); }

    // SOP instance UIDs the archive holds (files read once).
    const std::set<std::string>& archived() {
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(archive_, ec)) {
            const std::string name = e.path().filename().string();
            if (!e.is_regular_file() || archiveRead_.count(name)) continue;
            try {
                archivedUids_.insert(dicom::Image::read(e.path(), dicom::ReadMode::HeaderOnly).sopInstanceUid());
                archiveRead_.insert(name);
            } catch (const std::exception&) {
                // still being written: read at the next look
            }
        }
        return archivedUids_;
    }

    // SOP UIDs of the images waiting in Temp to be filed.
    std::set<std::string> waitingInTemp() const {
        std::set<std::string> uids;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(site_.folder() / "Temp", ec))
            if (e.path().extension() == ".dcm") uids.insert(e.path().stem().string());
        return uids;
    }
    // The image file of a SOP UID as it is now: waiting in Temp or filed.
    dicom::Image current(const Round& r, const std::string& sop) const {
        try {
            return dicom::Image::read(site_.folder() / "Temp" / (sop + ".dcm"), dicom::ReadMode::HeaderOnly);
        } catch (const std::exception&) {
            return dicom::Image::read(stored(r, sop), dicom::ReadMode::HeaderOnly);  // filed meanwhile
        }
    }

    // Waits until Ingrado has filed every image waiting in Temp.
    bool settle() const {
        return corva::test::pollUntil(
            [&] {
                std::error_code ec;
                for (const auto& e : fs::directory_iterator(site_.folder() / "Temp", ec))
                    if (e.is_regular_file() && e.path().extension() == ".dcm") return false;
                return true;
            },
            30000);
    }

    // A new image of the round's patient, put into Temp as a receiver does (written aside,
    // then renamed), while the job runs.
    void dropNewImage(Round& r, int s) {
        const fs::path file = image(r, s, 9, r.n + 1, {}, site_.scratch() / "drop");
        r.dropped = r.sop(s, 9, r.n + 1);
        const fs::path part = site_.folder() / "Temp" / ("." + r.dropped + ".drop");
        fs::copy_file(file, part);
        fs::rename(part, site_.folder() / "Temp" / (r.dropped + ".dcm"));
    }

    std::int64_t addRecord(const View& v) {
        db::Database db(site_.imageDb());
        auto st = db.prepare(
            "INSERT INTO tblDosis (KVP, ma, Zeit, Dicke, mGy, Druck, Datum, Sonstiges, Status, expZeit) "
            "VALUES (?, '63', ?, 45, '1.23', 120, '09.12.2026', ?, '0', '0,50')");
        const std::string clock = v.clock;
        st.bind(1, v.kvp).bind(2, clock.substr(0, 2) + ":" + clock.substr(2, 2) + ":10").bind(3, std::string("Mo/Mo,AEC,2,") + v.code + ",S");
        st.run();
        return db.lastInsertRowId();
    }
    std::string recordStatus(std::int64_t id) const {
        db::Database db(site_.imageDb());
        auto st = db.prepare("SELECT Status FROM tblDosis WHERE ID = ?");
        st.bind(1, id);
        return st.step() ? st.getText(0) : "<gone>";
    }

    CtlSite& site() { return site_; }
    int editNoStudy = 0;  // next edits that found the study only waiting in Temp
    const fs::path& scratch() const { return site_.scratch(); }

protected:
    void SetUp() override {
        fs::create_directories(archive_);
        scp_ = std::make_unique<corva::test::StoreScp>(archive_);
    }

    void runCase(const JobCase& c);
    void runRound(const JobCase& c, Round& r, std::optional<std::chrono::microseconds> killAt, bool drop);

    CtlSite site_;
    fs::path archive_ = site_.scratch() / "archive";
    std::unique_ptr<corva::test::StoreScp> scp_;
    std::set<std::string> archiveRead_, archivedUids_;
    std::chrono::microseconds runTime_{0};
    std::chrono::microseconds lockTime_{0};  // from the start until the job lock is taken
    int faults_ = 0;
    std::map<std::string, int> left_;  // kills after which the check found this, by kind
    int transient_ = 0;  // rows without file that were gone once Ingrado had filed what waited
};

// The check's findings are only images waiting to be filed or sent: rows and the
// store's files match one to one.
bool onlyWaiting(const std::string& out) {
    for (const std::string& line : corva::test::splitLines(out)) {
        const auto tab = line.find('\t');
        if (tab == std::string::npos) continue;  // the summary
        const std::string kind = line.substr(0, tab);
        if (kind != "waiting to be filed" && kind != "waiting in bin") return false;
    }
    return true;
}

// Copies the stored images of these SOP UIDs into bin, as forwarding leaves them converted.
void convertedCopies(KilledJobsTest& t, const Round& r) {
    fs::create_directories(t.site().folder() / "bin");
    for (const auto& sop : r.targets) fs::copy_file(t.stored(r, sop), t.site().folder() / "bin" / (sop + ".dcm"));
}
void removeConvertedCopies(KilledJobsTest& t, const Round& r) {
    std::error_code ec;
    for (const auto& sop : r.targets) fs::remove(t.site().folder() / "bin" / (sop + ".dcm"), ec);
}

// The next send of the same images sends what the killed one left; nothing left to send
// (the study or patient gone) means the killed one had sent it all.
void sendAgain(KilledJobsTest& t, Round& r) {
    if (!r.killed || !r.dropped.empty()) return;  // a new image without converted copy: not all sent
    const CtlResult again = t.site().run(r.args);
    const bool gone = again.code == 1 && (again.err.find("no study with the UID") != std::string::npos ||
                                          again.err.find("no patient with the key") != std::string::npos);
    EXPECT_TRUE(again.code == 0 || gone) << again.out << again.err;
    r.finishedAgain = again.code == 0 || gone;
}

void sendAfter(KilledJobsTest& t, Round& r) {
    if (!r.killed || r.finishedAgain) {
        for (const auto& sop : r.targets) EXPECT_TRUE(t.archived().count(sop)) << sop << " not at the archive";
    }
    removeConvertedCopies(t, r);
}

// The next import of the same images goes through, whatever the killed one left.
void importAgain(KilledJobsTest& t, Round& r) {
    if (!r.killed) return;
    const CtlResult again = t.site().run(r.args);
    EXPECT_EQ(again.code, 0) << again.out << again.err;
}

// The round's imported images are all filed or waiting to be.
void importedAll(KilledJobsTest& t, Round& r) {
    const std::set<std::string> waiting = t.waitingInTemp();
    for (const std::string& sop : r.imported) EXPECT_TRUE(waiting.count(sop) || t.hasRow(sop)) << sop << " not imported";
}

// Waits until every image of the rounds is filed, each once.
void allFiled(KilledJobsTest& t, std::vector<Round>& rounds) {
    std::size_t expected = 0;
    for (const Round& r : rounds) expected += r.studyOf.size();
    EXPECT_TRUE(t.settle());
    EXPECT_TRUE(t.site().waitForImages(static_cast<std::int64_t>(expected)));
    for (Round& r : rounds)
        for (const std::string& sop : r.imported) EXPECT_TRUE(t.filed(r, sop)) << sop;
    const CtlResult check = t.site().run({"check"});
    EXPECT_EQ(check.code, 0) << check.out;
}

// Editing the round's study: its four images and an image of the patient's other study.
std::vector<fs::path> editLayout(KilledJobsTest& t, Round& r) {
    std::vector<fs::path> files;
    for (int i = 1; i <= 4; ++i) files.push_back(t.image(r, 1, 1, i));
    files.push_back(t.image(r, 2, 1, 1));
    return files;
}

std::string descriptionOf(KilledJobsTest& t, const Round& r, const std::string& sop) {
    return t.current(r, sop).attributes().get(StudyDescription).text;
}

void editAfter(KilledJobsTest& t, Round& r) {
    // Each image wholly old or wholly new, in one copy; the other study old.
    const std::string fresh = "New" + std::to_string(r.n);
    int renewed = 0;
    const std::set<std::string> waiting = t.waitingInTemp();
    for (const auto& [sop, study] : r.studyOf) {
        if (!waiting.count(sop) && !t.hasRow(sop)) continue;  // told as lost already
        const std::string value = descriptionOf(t, r, sop);
        if (study != r.study(1)) {
            EXPECT_EQ(value, "Old") << sop;
            continue;
        }
        EXPECT_TRUE(value == "Old" || value == fresh) << sop << ": " << value;
        if (value == fresh && sop != r.dropped) ++renewed;
    }
    if (!r.killed || r.finishedAgain) {
        EXPECT_EQ(renewed, 4);
    }
}

const JobCase Cases[] = {
    {.name = "send --patient --no-keep",
     .removes = Removes::AtArchive,
     .layout = [](KilledJobsTest& t, Round& r) {
         std::vector<fs::path> files;
         for (int s : {1, 2})
             for (int i : {1, 2}) {
                 files.push_back(t.image(r, s, 1, i));
                 r.targets.push_back(r.sop(s, 1, i));
             }
         return files;
     },
     .start = [](KilledJobsTest& t, Round& r) {
         convertedCopies(t, r);
         return std::vector<std::string>{"send", "--patient", t.patientKey(r), "--to", t.destination(), "--no-keep"};
     },
     .next = sendAgain,
     .after = sendAfter},
    {.name = "send --study --no-keep",
     .removes = Removes::AtArchive,
     .layout = [](KilledJobsTest& t, Round& r) {
         std::vector<fs::path> files;
         for (int i = 1; i <= 4; ++i) {
             files.push_back(t.image(r, 1, 1, i));
             r.targets.push_back(r.sop(1, 1, i));
         }
         files.push_back(t.image(r, 2, 1, 1));  // the patient's other study stays
         return files;
     },
     .start = [](KilledJobsTest& t, Round& r) {
         convertedCopies(t, r);
         return std::vector<std::string>{"send", "--study", r.study(1), "--to", t.destination(), "--no-keep"};
     },
     .next = sendAgain,
     .after = sendAfter},
    {.name = "delete --series",
     .removes = Removes::Targets,
     .layout = [](KilledJobsTest& t, Round& r) {
         std::vector<fs::path> files;
         for (int i = 1; i <= 4; ++i) {
             files.push_back(t.image(r, 1, 1, i));
             r.targets.push_back(r.sop(1, 1, i));
         }
         for (int i : {1, 2}) files.push_back(t.image(r, 1, 2, i));  // the study's other series stays
         return files;
     },
     .start = [](KilledJobsTest&, Round& r) { return std::vector<std::string>{"delete", "--series", r.series(1, 1)}; }},
    {.name = "delete --patient",
     .removes = Removes::Targets,
     .layout = [](KilledJobsTest& t, Round& r) {
         std::vector<fs::path> files;
         for (int s : {1, 2})
             for (int i = 1; i <= (s == 1 ? 4 : 2); ++i) {
                 files.push_back(t.image(r, s, 1, i));
                 r.targets.push_back(r.sop(s, 1, i));
             }
         return files;
     },
     .start = [](KilledJobsTest& t, Round& r) { return std::vector<std::string>{"delete", "--patient", t.patientKey(r)}; },
     .droppedMayGo = true},
    {.name = "edit --study --set",
     .removes = Removes::Nothing,
     .layout = editLayout,
     .start = [](KilledJobsTest&, Round& r) {
         return std::vector<std::string>{"edit", "--study", r.study(1), "--set", "0008,1030=New" + std::to_string(r.n)};
     },
     .next = [](KilledJobsTest& t, Round& r) {
         // Every other kill: the next edit of the study finishes the interrupted one
         // first and then changes every image.
         if (!r.killed || r.n % 2 == 0) return;
         CtlResult again = t.site().run(r.args);
         if (again.code == 1 && again.err.starts_with("corvactl edit: no study with the UID")) {
             // Killed after its last hand-over: the study waits in Temp, unfiled, and the
             // next edit does not wait for it. Once Ingrado filed it, the edit finds it.
             ++t.editNoStudy;
             EXPECT_TRUE(t.settle());
             again = t.site().run(r.args);
         }
         EXPECT_EQ(again.code, 0) << again.out << again.err;
         r.finishedAgain = again.code == 0;
     },
     .after = editAfter},
    {.name = "import <files>",
     .removes = Removes::Nothing,
     .layout = [](KilledJobsTest& t, Round& r) { return std::vector<fs::path>{t.image(r, 1, 1, 1)}; },
     .start = [](KilledJobsTest& t, Round& r) {
         std::vector<std::string> args{"import"};
         for (int i = 1; i <= 4; ++i) {
             r.imports.push_back(t.image(r, 3, 1, i, {}, t.scratch() / "import" / std::to_string(r.n)));
             r.imported.push_back(r.sop(3, 1, i));
             args.push_back(r.imports.back().string());
         }
         return args;
     },
     .next = importAgain,
     .after = importedAll,
     .finish = allFiled},
    {.name = "import --dicomdir",
     .removes = Removes::Nothing,
     .layout = [](KilledJobsTest& t, Round& r) { return std::vector<fs::path>{t.image(r, 1, 1, 1)}; },
     .start = [](KilledJobsTest& t, Round& r) {
         // A medium as DCMTK makes it: IMn files under DICOM/ and the DICOMDIR beside.
         const fs::path medium = t.scratch() / "media" / std::to_string(r.n);
         for (int i = 1; i <= 4; ++i) {
             const fs::path f = t.image(r, 3, 1, i, {}, medium / "DICOM");
             fs::rename(f, medium / "DICOM" / ("IM" + std::to_string(i)));
             r.imported.push_back(r.sop(3, 1, i));
         }
         r.imports = {medium / "DICOMDIR"};
         int code = -1;
         const std::string made = corva::test::shell("cd " + corva::test::quoted(medium) + " && dcmmkdir +I +r DICOM", &code);
         EXPECT_EQ(code, 0) << made;
         return std::vector<std::string>{"import", "--dicomdir", r.imports.front().string()};
     },
     .next = importAgain,
     .after = importedAll,
     .finish = allFiled},
    {.name = "export --dicom --dicomdir --zip",
     .removes = Removes::Nothing,
     .layout = [](KilledJobsTest& t, Round& r) {
         std::vector<fs::path> files;
         for (int i = 1; i <= 6; ++i) files.push_back(t.image(r, 1, 1, i));
         return files;
     },
     .start = [](KilledJobsTest& t, Round& r) {
         const fs::path to = t.scratch() / "export" / std::to_string(r.n);
         fs::create_directories(to);
         // The exported study's files must stay as they are, byte for byte.
         for (const auto& e : fs::directory_iterator(t.site().folder() / "Images" / r.study(1)))
             r.storeBefore[e.path()] = corva::test::readFile(e.path());
         return std::vector<std::string>{"export", "--study", r.study(1), "--to", to.string(), "--dicom", "--dicomdir",
                                         "--zip", "medium"};
     },
     .after = [](KilledJobsTest&, Round& r) {
         for (const auto& [file, bytes] : r.storeBefore) {
             ASSERT_TRUE(fs::is_regular_file(file)) << file;
             EXPECT_TRUE(corva::test::readFile(file) == bytes) << file << " changed";
         }
     },
     .readOnly = true},
    {.name = "forward --no-keep",
     .removes = Removes::AtArchive,
     .layout = [](KilledJobsTest& t, Round& r) {
         std::vector<fs::path> files;
         for (std::size_t i = 0; i < std::size(Views); ++i) {
             const View& v = Views[i];
             files.push_back(t.image(r, 1, 1, static_cast<int>(i) + 1,
                                     {{{0x0018, 0x5101}, v.viewPosition},
                                      {{0x0020, 0x0062}, v.side},
                                      {{0x0008, 0x0023}, "20261209"},
                                      {{0x0008, 0x0033}, v.clock}}));
             r.targets.push_back(r.sop(1, 1, static_cast<int>(i) + 1));
         }
         return files;
     },
     .start = [](KilledJobsTest& t, Round& r) {
         for (std::size_t i = 0; i < std::size(Views); ++i) r.records[t.addRecord(Views[i])] = r.targets[i];
         return std::vector<std::string>{"forward", "--study", r.study(1), "--to", t.destination(), "--no-keep"};
     },
     // The next forwarding of the study sends what the killed one left, with the
     // records still waiting for it.
     .next = [](KilledJobsTest& t, Round& r) {
         if (!r.killed) return;
         const CtlResult again = t.site().run(r.args);
         // No study left: the killed forwarding had removed it, so it had used every record.
         const bool gone = again.code == 1 && again.err.starts_with("corvactl forward: no study with the UID");
         // Records are used and their images removed in one commit: a kill never leaves
         // used records whose images stay filed (the study would no longer pair).
         EXPECT_TRUE(again.code == 0 || gone) << again.out << again.err;
         r.finishedAgain = again.code == 0 || gone;
     },
     .after = [](KilledJobsTest& t, Round& r) {
         // A record is used only when its image is at the archive.
         const std::set<std::string> rows = t.filedUids();
         for (const auto& [id, sop] : r.records) {
             const std::string status = t.recordStatus(id);
             if (status == "1") {
                 EXPECT_TRUE(t.archived().count(sop)) << "record " << id << " used, " << sop << " not archived";
             }
             if (!r.killed || r.finishedAgain) {
                 EXPECT_EQ(status, "1") << "record " << id;
                 EXPECT_FALSE(rows.count(sop)) << sop << " sent, not kept, still filed";
             }
         }
         // The operator clears what waits, so that the next study pairs with its own records.
         db::Database db(t.site().imageDb());
         db.exec("DELETE FROM tblDosis WHERE Status <> '1'");
     },
     // The new image in another study: a fifth image would refuse the pairing.
     .dropStudy = 4},
};

void KilledJobsTest::runRound(const JobCase& c, Round& r, std::optional<std::chrono::microseconds> killAt, bool drop) {
    SCOPED_TRACE(std::string(c.name) + ", round " + std::to_string(r.n) +
                 (killAt ? ", killed at " + std::to_string(killAt->count()) + " us" : ", uninterrupted"));
    const std::set<std::string> before = filedUids();
    std::vector<std::string> argv{(site_.folder() / "corvactl").string()};
    r.args = c.start(*this, r);
    argv.insert(argv.end(), r.args.begin(), r.args.end());
    const fs::path log = site_.scratch() / ("run-" + std::to_string(r.n) + ".log");
    {
        const auto started = Clock::now();
        corva::test::ChildProcess ctl(argv, site_.site().environment(), log);
        if (drop) dropNewImage(r, c.dropStudy);
        if (!killAt) {
            const auto rc = ctl.wait(120s);
            runTime_ = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started);
            EXPECT_EQ(rc, std::optional<int>(0)) << corva::test::readFile(log);
        } else {
            std::this_thread::sleep_until(started + *killAt);
            ctl.signal(SIGKILL);
            r.killed = ctl.wait(10s) == std::optional<int>(128 + SIGKILL);
        }
    }
    if (c.next) c.next(*this, r);
    // The next corvactl: the check, and where it finds something the repair. Ingrado
    // files meanwhile what waits in Temp, also while the next rounds run.
    CtlResult check = site_.run({"check"});
    if (killAt) {
        // What the kills left, for the summary: the moments must reach the job's steps.
        std::set<std::string> kinds;
        for (const std::string& line : corva::test::splitLines(check.out))
            if (const auto tab = line.find('\t'); tab != std::string::npos) kinds.insert(line.substr(0, tab));
        for (const std::string& kind : kinds) ++left_[kind];
    }
    if (check.out.find("row without file") != std::string::npos) {
        // Ingrado commits an image's rows just before it moves the file: looked at again
        // once Temp is empty.
        ++transient_;
        EXPECT_TRUE(settle());
        check = site_.run({"check"});
        if (check.out.find("row without file") != std::string::npos) {
            ++faults_;
            ADD_FAILURE() << "row without file after the kill:\n" << check.out << corva::test::readFile(log);
        }
    }
    if (!onlyWaiting(check.out)) {
        if (c.readOnly) ADD_FAILURE() << "a job that only reads left something to repair:\n" << check.out;
        const CtlResult repair = site_.run({"check", "--repair"});
        check = site_.run({"check"});
        if (!onlyWaiting(check.out)) {
            EXPECT_TRUE(settle());
            check = site_.run({"check"});
        }
        if (!onlyWaiting(check.out)) {
            ++faults_;
            ADD_FAILURE() << "rows and files apart after --repair:\n" << check.out << repair.err;
        }
    }
    // No image lost: each is filed, waits in Temp, or went as the job may take it. Temp
    // is looked at first: Ingrado has the row before the file leaves Temp.
    const std::set<std::string> waiting = waitingInTemp();
    const std::set<std::string> rows = filedUids();
    for (const std::string& sop : before) {
        if (waiting.count(sop) || rows.count(sop)) continue;
        const bool target = std::find(r.targets.begin(), r.targets.end(), sop) != r.targets.end();
        if (target && c.removes == Removes::Targets) continue;
        if (target && c.removes == Removes::AtArchive && archived().count(sop)) continue;
        ++faults_;
        ADD_FAILURE() << "lost: " << sop << "\n" << corva::test::readFile(log);
    }
    if (!r.dropped.empty() && !c.droppedMayGo) {
        EXPECT_TRUE(waiting.count(r.dropped) || rows.count(r.dropped)) << "the new image " << r.dropped << " is lost";
    }
    if (c.after) c.after(*this, r);
}

void KilledJobsTest::runCase(const JobCase& c) {
    // Every round's images filed at once: one wait for Ingrado instead of one per run.
    const int rounds = 1 + static_cast<int>(std::size(EarlyKills)) + Kills;
    std::vector<Round> all(static_cast<std::size_t>(rounds));
    std::vector<std::string> args{"import"};
    for (int n = 0; n < rounds; ++n) {
        Round& r = all[static_cast<std::size_t>(n)];
        r.job = GetParam();
        r.n = n;
        r.patientId = "K" + std::to_string(GetParam()) + "-" + std::to_string(n);
        for (const fs::path& f : c.layout(*this, r)) args.push_back(f.string());
    }
    const std::int64_t images = static_cast<std::int64_t>(args.size()) - 1;
    const CtlResult imported = site_.run(args);
    ASSERT_EQ(imported.code, 0) << imported.out << imported.err;
    ASSERT_TRUE(site_.waitForImages(images));

    const auto began = Clock::now();
    runRound(c, all[0], std::nullopt, false);
    {
        // How long the process takes until it asks for the job lock: the same command
        // under --no-wait while the test holds the lock (it is refused there, changing
        // nothing); the shortest of three.
        const JobLock held = JobLock::tryAcquire(site_.folder() / "Data");
        EXPECT_TRUE(held.held());
        std::vector<std::string> argv{(site_.folder() / "corvactl").string(), "--no-wait"};
        argv.insert(argv.end(), all[0].args.begin(), all[0].args.end());
        lockTime_ = runTime_;
        for (int i = 0; i < 3; ++i) {
            const auto started = Clock::now();
            const auto refused = corva::test::runCommand(argv, 60s, site_.site().environment());
            EXPECT_EQ(refused.code, 1) << refused.output;
            lockTime_ = std::min(lockTime_, std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started));
        }
        // A job whose work is lost in the noise of the start: the last quarter at least.
        lockTime_ = std::min(lockTime_, runTime_ * 3 / 4);
    }
    int n = 1;
    for (const auto at : EarlyKills) {
        runRound(c, all[static_cast<std::size_t>(n)], at, n % 3 == 1);
        ++n;
    }
    for (int k = 0; k < Kills; ++k, ++n)
        runRound(c, all[static_cast<std::size_t>(n)], lockTime_ + (runTime_ - lockTime_) * k / Kills, n % 3 == 1);
    if (c.finish) c.finish(*this, all);
    // Once Ingrado filed everything: rows and files one to one, the new images filed.
    EXPECT_TRUE(settle());
    const CtlResult last = site_.run({"check"});
    EXPECT_EQ(last.code, 0) << last.out;
    // Nothing half written or staged left in the program folder, and nothing waits in Temp.
    for (const auto& e : fs::recursive_directory_iterator(site_.folder())) {
        const std::string name = e.path().filename().string();
        EXPECT_FALSE(name.ends_with(".part") || name.ends_with(".rewrite") || name.ends_with(".rewrite.orig")) << e.path();
        if (e.path().parent_path() == site_.folder() / "Temp") {
            EXPECT_FALSE(e.is_regular_file()) << e.path();
        }
    }
    const std::set<std::string> rows = filedUids();
    for (const Round& r : all)
        if (!r.dropped.empty() && !c.droppedMayGo) {
            EXPECT_TRUE(rows.count(r.dropped)) << r.dropped;
        }
    int killed = 0;
    for (const Round& r : all) killed += r.killed;
    std::cout << c.name << ": run time " << runTime_.count() / 1000 << " ms (job lock after " << lockTime_.count() / 1000
              << " ms), " << rounds - 1 << " kills ("
              << killed << " while running), " << faults_ << " faults, "
              << std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began).count() << " ms; left:";
    for (const auto& [kind, kills] : left_) std::cout << " " << kind << " " << kills << "x";
    if (editNoStudy) std::cout << "; next edit found no study (still in Temp) " << editNoStudy << "x";
    if (transient_) std::cout << "; row without file only while Ingrado filed " << transient_ << "x";
    std::cout << "\n";
}

TEST_P(KilledJobsTest, NothingLostAndRowsMatchFiles) { runCase(Cases[GetParam()]); }

// While a job holds the job lock (stopped there), a second corvactl job fails under
// --no-wait and changes nothing; without it the second waits and runs once the first
// is done, and both did their work.
TEST_P(KilledJobsTest, ASecondJobWaitsOrFailsUnderNoWait) {
    const JobCase& c = Cases[GetParam()];
    Round first, second;
    first.job = second.job = GetParam();
    second.n = 1;
    first.patientId = "L" + std::to_string(GetParam()) + "-0";
    second.patientId = "L" + std::to_string(GetParam()) + "-1";
    std::vector<std::string> args{"import"};
    for (const fs::path& f : c.layout(*this, first)) args.push_back(f.string());
    for (int i : {1, 2}) args.push_back(image(second, 1, 1, i).string());
    const CtlResult imported = site_.run(args);
    ASSERT_EQ(imported.code, 0) << imported.err;
    ASSERT_TRUE(site_.waitForImages(static_cast<std::int64_t>(args.size()) - 1));

    first.args = c.start(*this, first);
    std::vector<std::string> argv{(site_.folder() / "corvactl").string()};
    argv.insert(argv.end(), first.args.begin(), first.args.end());
    const fs::path log = site_.scratch() / "first.log";
    corva::test::ChildProcess job(argv, site_.site().environment(), log);
    const fs::path data = site_.folder() / "Data";
    ASSERT_TRUE(corva::test::waitUntil(
        [&] { return !job.running() || JobLock::tryAcquire(data).state() == JobLock::State::Busy; }, 20000ms, 1ms));
    job.signal(SIGSTOP);
    ASSERT_TRUE(job.running()) << "the first job ended before it was seen holding the lock";
    ASSERT_EQ(JobLock::tryAcquire(data).state(), JobLock::State::Busy);

    const std::string study = second.study(1);
    // The files only: a process stopped inside its database open can keep others' opens
    // from the database until it goes on.
    auto untouched = [&] {
        for (int i : {1, 2})
            if (!fs::is_regular_file(stored(second, second.sop(1, 1, i)))) return false;
        return true;
    };
    const CtlResult refused = site_.run({"--no-wait", "delete", "--study", study});
    EXPECT_EQ(refused.code, 1);
    EXPECT_EQ(refused.err, "corvactl delete: another job is working on the images; not started (--no-wait)\n");
    EXPECT_TRUE(untouched());

    const fs::path err = site_.scratch() / "second.err";
    auto env = site_.site().environment();
    env.push_back("CTL_ERR=" + err.string());
    corva::test::ChildProcess waiting(
        {"sh", "-c", "exec \"$0\" \"$@\" 2>\"$CTL_ERR\"", (site_.folder() / "corvactl").string(), "delete", "--study", study},
        env, site_.scratch() / "second.out");
    EXPECT_TRUE(corva::test::pollUntil(
        [&] { return fs::exists(err) && corva::test::readFile(err).find("waiting") != std::string::npos; }, 20000));
    EXPECT_TRUE(waiting.running());
    EXPECT_TRUE(untouched());

    job.signal(SIGCONT);
    EXPECT_EQ(job.wait(60s), std::optional<int>(0)) << corva::test::readFile(log);
    EXPECT_EQ(waiting.wait(60s), std::optional<int>(0)) << corva::test::readFile(err);
    EXPECT_FALSE(hasRow(second.sop(1, 1, 1)));
    EXPECT_TRUE(settle());
    const CtlResult check = site_.run({"check"});
    EXPECT_EQ(check.code, 0) << check.out;
    if (c.after) c.after(*this, first);
}

INSTANTIATE_TEST_SUITE_P(Jobs, KilledJobsTest, ::testing::Range(0, static_cast<int>(std::size(Cases))),
                         [](const ::testing::TestParamInfo<int>& info) {
                             std::string name;
                             for (const char* p = Cases[info.param].name; *p; ++p)
                                 if (std::isalnum(static_cast<unsigned char>(*p))) name += *p;
                             return name;
                         });

}  // namespace
}  // namespace corva::station::ctl::test
