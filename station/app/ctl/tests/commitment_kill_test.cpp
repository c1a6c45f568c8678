// corvactl send --no-keep with storage commitment killed (SIGKILL) at moments spread over
// its run, against corva_test_archive answering on a new association to Recvora. After
// each kill `corvactl commitments --ask-again` (the next start) finishes what was left:
// no image is lost (it is filed, or the archive holds it and committed to it), nothing is
// removed before its commitment, rows and files match, and nothing stays pending.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "ctl_site.h"
#include "dicom_fixture.h"
#include "poll_until.h"
#include "test_archive.h"

namespace corva::station::ctl::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using corva::test::TestArchive;

const std::string Root = "1.2.826.0.1.3680043.9.7731.27";
// Kills at k/Kills of an uninterrupted run's time, k = 0..Kills-1, and right at the start.
constexpr int Kills = 12;
constexpr int ImagesPerRound = 3;

class CommitmentKillTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::ofstream(site_.scratch() / "config" / "ZKT" / "Lumenpost.conf", std::ios::app)
            << "DIMSE_Timeout=5\nCommitment_Timeout=5\nCommitment_Wait=1\n";
        site_.site().install("Recvora");
        receiver_ = site_.site().startReceiver();
        archive_ = std::make_unique<TestArchive>(std::vector<std::string>{
            "--commit", "later", "--commit-to",
            site_.site().aeTitle() + "@127.0.0.1:" + std::to_string(site_.site().port())});
    }

    std::string series(int round) const { return Root + "." + std::to_string(round) + ".1"; }
    std::string sop(int round, int i) const { return series(round) + "." + std::to_string(i); }

    // A study of its own for the round, filed by Ingrado.
    void fileRound(int round) {
        std::vector<std::string> args{"import"};
        for (int i = 1; i <= ImagesPerRound; ++i) {
            corva::test::DicomRecipe r;
            r.patientId = "K" + std::to_string(round);
            r.patientName = "Kill^Commit";
            r.studyUid = Root + "." + std::to_string(round);
            r.seriesUid = series(round);
            r.sopInstanceUid = sop(round, i);
            r.instanceNumber = i;
            r.rows = r.columns = 16;
            args.push_back(
                corva::test::writeDicom(site_.scratch() / "in" / (r.sopInstanceUid + ".dcm"), r).string());
        }
        const CtlResult r = site_.run(args);
        ASSERT_EQ(r.code, 0) << r.err;
        ASSERT_TRUE(site_.waitForImages(ImagesPerRound)) << "round " << round;
    }

    std::vector<std::string> sendArgs(int round) const {
        return {(site_.folder() / "corvactl").string(), "send", "--series", series(round), "--to",
                archive_->destination(), "--no-keep", "--commitment"};
    }

    // Runs the round's send, killed after `after` (or not at all); returns its run time.
    Clock::duration runSend(int round, std::optional<Clock::duration> after) {
        const auto start = Clock::now();
        corva::test::ChildProcess ctl(sendArgs(round), site_.site().environment(),
                                      site_.scratch() / ("send-" + std::to_string(round) + ".out"));
        if (after) {
            std::this_thread::sleep_for(*after);
            ctl.signal(SIGKILL);
        }
        EXPECT_TRUE(ctl.wait(120s).has_value());
        return Clock::now() - start;
    }

    std::set<std::string> filed() const {
        std::set<std::string> out;
        db::Database db(site_.imageDb());
        auto st = db.prepare("SELECT ImageUID FROM tblImages");
        while (st.step()) out.insert(st.getText(0));
        return out;
    }
    bool committed(const std::string& uid) const {
        db::Database db(site_.imageDb());
        if (!db.hasTable("tblCommitmentItems")) return false;
        auto st = db.prepare("SELECT 1 FROM tblCommitmentItems WHERE SOPInstanceUID = ? AND State = 1");
        st.bind(1, uid);
        return st.step();
    }

    // What the next start finishes, and what must hold afterwards.
    void finishAndCheck(int round, bool killed) {
        if (killed) {
            // Asked again: a request the kill kept from leaving; then every answer settled.
            site_.run({"commitments", "--ask-again"});
            const bool settled = corva::test::pollUntil([&] { return site_.run({"commitments"}).code == 0; }, 30000);
            EXPECT_TRUE(settled) << "round " << round << ": " << site_.run({"commitments"}).out;
        }
        const std::set<std::string> left = filed();
        const std::set<std::string> held = archive_->held();
        for (int i = 1; i <= ImagesPerRound; ++i) {
            const std::string uid = sop(round, i);
            if (left.count(uid)) continue;
            // Gone from the station: only once the archive held it and committed to it.
            EXPECT_TRUE(held.count(uid)) << "round " << round << ": " << uid << " lost";
            EXPECT_TRUE(committed(uid)) << "round " << round << ": " << uid << " removed without commitment";
        }
        const CtlResult check = site_.run({"check"});
        EXPECT_EQ(check.code, 0) << "round " << round << ":\n" << check.out;
        // What a killed send left unsent goes with the next send, committed.
        if (!left.empty()) {
            const std::vector<std::string> args = sendArgs(round);
            const CtlResult again = site_.run(std::vector<std::string>(args.begin() + 1, args.end()));
            EXPECT_EQ(again.code, 0) << "round " << round << ":\n" << again.out << again.err;
        }
        EXPECT_TRUE(filed().empty()) << "round " << round;
        EXPECT_EQ(site_.run({"check"}).code, 0) << "round " << round;
    }

    CtlSite site_;
    std::unique_ptr<corva::test::ChildProcess> receiver_;
    std::unique_ptr<TestArchive> archive_;
};

TEST_F(CommitmentKillTest, AKilledSendIsFinishedByTheNextStartAndLosesNothing) {
    // The uninterrupted run: its length spreads the kills.
    fileRound(0);
    const Clock::duration full = runSend(0, std::nullopt);
    finishAndCheck(0, false);
    std::vector<Clock::duration> moments{0ms, 20ms};
    for (int k = 1; k < Kills; ++k) moments.push_back(full * k / Kills);
    int round = 1;
    for (const Clock::duration at : moments) {
        SCOPED_TRACE("killed after " + std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(at).count()) +
                     " ms");
        fileRound(round);
        runSend(round, at);
        finishAndCheck(round, true);
        ++round;
    }
}

}  // namespace
}  // namespace corva::station::ctl::test
