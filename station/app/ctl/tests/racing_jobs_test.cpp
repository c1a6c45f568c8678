// Two corvactl jobs started together on one study (one waits for the job lock, one is
// told --no-wait), one of them killed, terminated, or stopped and continued at a random
// moment, while Ingrado files new images of the same patient, study and a series of
// their own. After each round the next check --repair settles what was left, and:
// every image filed before is filed (row and file), at the archive, or was taken by a
// delete that named its series; every image filed during the round is filed; rows and
// files match; nothing is set aside. CORVA_RACE_ROUNDS sets the rounds (default 5),
// CORVA_RACE_SEED the seed.
#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "ctl_site.h"
#include "dicom/dicom.h"
#include "dicom_fixture.h"
#include "store_scp.h"

namespace corva::station::ctl::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string Root = "1.2.826.0.1.3680043.9.7731.81";
const std::string Study = Root + ".1";

enum class Job { DeleteA, SendA, EditB, Repair, Export, DeleteB };
const char* name(Job j) {
    switch (j) {
        case Job::DeleteA: return "delete A";
        case Job::SendA: return "send A";
        case Job::EditB: return "edit B";
        case Job::Repair: return "check --repair";
        case Job::Export: return "export";
        case Job::DeleteB: return "delete B";
    }
    return "?";
}
enum class Blow { None, Kill, Term, StopCont };
const char* name(Blow b) {
    switch (b) {
        case Blow::None: return "none";
        case Blow::Kill: return "SIGKILL";
        case Blow::Term: return "SIGTERM";
        case Blow::StopCont: return "SIGSTOP/SIGCONT";
    }
    return "?";
}

class RacingJobsTest : public ::testing::Test {
protected:
    fs::path image(const std::string& series, int i, const fs::path& folder) {
        corva::test::DicomRecipe r;
        r.patientId = "RACE1";
        r.patientName = "Race^One";
        r.studyUid = Study;
        r.seriesUid = series;
        r.sopInstanceUid = series + "." + std::to_string(i);
        r.instanceNumber = i;
        r.rows = 128;
        r.columns = 128;
        return corva::test::writeDicom(folder / (r.sopInstanceUid + ".dcm"), r);
    }
    std::set<std::string> filedUids() const {
        std::set<std::string> out;
        db::Database db(site_.imageDb());
        auto st = db.prepare(
            "SELECT i.ImageUID, st.StudyUID FROM tblImages i JOIN tblSeries s ON s.SeriesID = i.FKeySeriesID "
            "JOIN tblStudies st ON st.StudyID = s.FKeyStudyID");
        while (st.step())
            if (fs::is_regular_file(site_.folder() / "Images" / st.getText(1) / (st.getText(0) + ".dcm")))
                out.insert(st.getText(0));
        return out;
    }
    std::set<std::string> archived() {
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(archive_, ec)) {
            if (!e.is_regular_file() || read_.count(e.path())) continue;
            try {
                archivedUids_.insert(dicom::Image::read(e.path(), dicom::ReadMode::HeaderOnly).sopInstanceUid());
                read_.insert(e.path());
            } catch (const std::exception&) {
            }
        }
        return archivedUids_;
    }
    bool inputSettled() const {
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(site_.folder() / "Temp", ec)) {
            const std::string n = e.path().filename().string();
            if (e.is_regular_file() && (n.ends_with(".dcm") || n.ends_with(".rewrite"))) return false;
        }
        return true;
    }
    std::vector<std::string> args(Job j, int round) const {
        const std::string a = Study + "." + std::to_string(round) + ".1";
        const std::string b = Study + "." + std::to_string(round) + ".2";
        switch (j) {
            case Job::DeleteA: return {"delete", "--series", a};
            case Job::SendA: return {"send", "--series", a, "--to", destination_, "--no-keep"};
            case Job::EditB: return {"edit", "--series", b, "--set", "0008,103E=Round " + std::to_string(round)};
            case Job::Repair: return {"check", "--repair"};
            case Job::Export: return {"export", "--study", Study, "--to", (site_.scratch() / "export").string(), "--dicom"};
            case Job::DeleteB: return {"delete", "--series", b};
        }
        return {};
    }

    CtlSite site_;
    fs::path archive_ = site_.scratch() / "archive";
    std::unique_ptr<corva::test::StoreScp> scp_;
    std::string destination_;
    std::set<fs::path> read_;
    std::set<std::string> archivedUids_;
};

TEST_F(RacingJobsTest, TwoJobsABlowAndIngradoFilingLoseNoImage) {
    fs::create_directories(archive_);
    fs::create_directories(site_.scratch() / "export");
    scp_ = std::make_unique<corva::test::StoreScp>(archive_);
    destination_ = "STORESCP@127.0.0.1:" + std::to_string(scp_->port());
    const char* roundsText = std::getenv("CORVA_RACE_ROUNDS");
    const int rounds = roundsText ? std::atoi(roundsText) : 5;
    const char* seedText = std::getenv("CORVA_RACE_SEED");
    std::mt19937 rng(seedText ? static_cast<unsigned>(std::atoi(seedText)) : 4711u);
    const Job jobs[] = {Job::DeleteA, Job::SendA, Job::EditB, Job::Repair, Job::Export, Job::DeleteB};
    std::map<std::string, int> tally;
    std::int64_t expected = 0;
    std::set<std::string> mayGo;  // images a delete named (their series) or sent
    std::set<std::string> before;
    for (int round = 1; round <= rounds; ++round) {
        const std::string a = Study + "." + std::to_string(round) + ".1";
        const std::string b = Study + "." + std::to_string(round) + ".2";
        const std::string c = Study + "." + std::to_string(round) + ".3";
        std::vector<std::string> import{"import"};
        for (int i = 1; i <= 3; ++i) import.push_back(image(a, i, site_.scratch() / "in").string());
        for (int i = 1; i <= 2; ++i) import.push_back(image(b, i, site_.scratch() / "in").string());
        ASSERT_EQ(site_.run(import).code, 0);
        expected += 5;
        ASSERT_TRUE(site_.waitForImages(expected)) << "round " << round;
        before = filedUids();

        // Ingrado files series C of the same study while the jobs run.
        std::atomic<bool> stop{false};
        std::vector<std::string> dropped;
        std::thread dropper([&] {
            for (int i = 1; i <= 8 && !stop; ++i) {
                const fs::path file = image(c, i, site_.scratch() / "drop");
                const fs::path part = site_.folder() / "Temp" / ("." + c + "." + std::to_string(i) + ".drop");
                fs::copy_file(file, part);
                fs::rename(part, site_.folder() / "Temp" / (c + "." + std::to_string(i) + ".dcm"));
                dropped.push_back(c + "." + std::to_string(i));
                std::this_thread::sleep_for(25ms);
            }
        });

        const Job first = jobs[rng() % std::size(jobs)];
        const Job second = jobs[rng() % std::size(jobs)];
        const Blow blow = static_cast<Blow>(rng() % 4);
        const bool blowFirst = rng() % 2 == 0;
        const auto env = site_.site().environment();
        std::vector<std::string> argv1{(site_.folder() / "corvactl").string()};
        for (const auto& x : args(first, round)) argv1.push_back(x);
        std::vector<std::string> argv2{(site_.folder() / "corvactl").string(), "--no-wait"};
        for (const auto& x : args(second, round)) argv2.push_back(x);
        corva::test::ChildProcess p1(argv1, env, site_.scratch() / "race.out");
        corva::test::ChildProcess p2(argv2, env, site_.scratch() / "race.out");
        std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 400));
        corva::test::ChildProcess& target = blowFirst ? p1 : p2;
        switch (blow) {
            case Blow::None: break;
            case Blow::Kill: target.signal(SIGKILL); break;
            case Blow::Term: target.signal(SIGTERM); break;
            case Blow::StopCont:
                target.signal(SIGSTOP);
                std::this_thread::sleep_for(300ms);
                target.signal(SIGCONT);
                break;
        }
        const auto r1 = p1.wait(120s);
        const auto r2 = p2.wait(120s);
        stop = true;
        dropper.join();
        ASSERT_TRUE(r1 && r2) << "a job did not end: " << name(first) << ", " << name(second);
        ++tally[std::string(name(first)) + " + " + name(second) + " / " + name(blow)];
        if (first == Job::DeleteA || second == Job::DeleteA || first == Job::SendA || second == Job::SendA)
            for (int i = 1; i <= 3; ++i) mayGo.insert(a + "." + std::to_string(i));
        if (first == Job::DeleteB || second == Job::DeleteB)
            for (int i = 1; i <= 2; ++i) mayGo.insert(b + "." + std::to_string(i));

        // The next start settles what the round left.
        ASSERT_TRUE(corva::test::pollUntil(
            [&] {
                site_.run({"check", "--repair"});
                return corva::test::pollUntil([&] { return inputSettled(); }, 5000);
            },
            60000))
            << "round " << round;
        const CtlResult check = site_.run({"check"});
        EXPECT_EQ(check.code, 0) << "round " << round << " (" << name(first) << " + " << name(second) << ", "
                                 << name(blow) << (blowFirst ? " to the first" : " to the second") << "): " << check.out;
        const std::set<std::string> now = filedUids();
        const std::set<std::string>& atArchive = archived();
        for (const auto& uid : before)
            if (!now.count(uid) && !atArchive.count(uid) && !mayGo.count(uid))
                ADD_FAILURE() << "round " << round << " (" << name(first) << " + " << name(second) << ", "
                              << name(blow) << "): " << uid << " lost";
        for (const auto& uid : dropped)
            EXPECT_TRUE(now.count(uid)) << "round " << round << ": " << uid << " filed during the jobs is lost";
        expected = static_cast<std::int64_t>(now.size());
    }
    std::cout << rounds << " rounds:\n";
    for (const auto& [what, n] : tally) std::cout << "  " << n << " x " << what << "\n";
}

}  // namespace
}  // namespace corva::station::ctl::test
