// corvactl send and forward with storage commitment against corva_test_archive, which
// answers on the request's association, later on a new association to Recvora, in
// part, or never: an image leaves the station only once the archive committed to it,
// the job log names what was not committed and why, the transactions survive the end of
// corvactl (a later answer completes the removal, never twice), and the check lists
// what waits.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "common/job_lock.h"
#include "core/file_identity.h"
#include "ctl_site.h"
#include "db/schema.h"
#include "dicom_fixture.h"
#include "poll_until.h"
#include "orthanc_peer.h"
#include "test_archive.h"
#include "test_certificates.h"

namespace corva::station::ctl::test {
namespace {

namespace fs = std::filesystem;
using corva::test::TestArchive;

const std::string Study = "1.2.826.0.1.3680043.9.7731.26";
const std::string Series = Study + ".1";
const std::string Datum = "09.12.2026";

// Seconds the send waits for an answer at all (Com\Commitment_Timeout) and on the
// request's association (Com\Commitment_Wait).
constexpr int CommitTimeout = 3;
constexpr int CommitWait = 2;

struct View {
    const char* code;
    const char* viewPosition;
    const char* side;
    const char* clock;
};
const View Views[] = {
    {"L-CC", "CC", "L", "081600"},
    {"R-CC", "CC", "R", "081700"},
    {"L-LMO45", "MLO", "L", "081800"},
    {"R-LMO45", "MLO", "R", "081900"},
};

std::string imageUid(std::size_t view) { return Series + "." + std::to_string(view + 1); }

std::set<std::string> uids(const std::set<std::size_t>& views) {
    std::set<std::string> out;
    for (std::size_t v : views) out.insert(imageUid(v));
    return out;
}

// <n> replaced by the n-th of `order` (the views' order when empty).
std::string withUids(std::string line, const std::vector<std::string>& order = {}) {
    for (std::size_t i = 0; i < std::size(Views); ++i) {
        const std::string mark = "<" + std::to_string(i) + ">";
        for (auto at = line.find(mark); at != std::string::npos; at = line.find(mark))
            line.replace(at, mark.size(), order.empty() ? imageUid(i) : order.at(i));
    }
    return line;
}

class CommitmentCommandsTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::ofstream(site_.scratch() / "config" / "ZKT" / "Lumenpost.conf", std::ios::app)
            << "DIMSE_Timeout=5\nCommitment_Timeout=" << CommitTimeout << "\nCommitment_Wait=" << CommitWait << "\n";
        site_.site().install("Recvora");
        std::vector<std::string> args{"import"};
        for (std::size_t i = 0; i < std::size(Views); ++i) args.push_back(writeView(i).string());
        const CtlResult r = site_.run(args);
        ASSERT_EQ(r.code, 0) << r.err;
        ASSERT_TRUE(site_.waitForImages(4));
        for (const View& v : Views) records_[v.code] = addRecord(v);
    }

    // `size`: rows and columns (another size, other pixel data under the same UIDs).
    fs::path writeView(std::size_t i, int size = 16, const std::string& folder = "study") {
        const View& v = Views[i];
        corva::test::DicomRecipe r;
        r.patientId = "P26";
        r.patientName = "Commit^Carla";
        r.studyUid = Study;
        r.seriesUid = Series;
        r.sopInstanceUid = imageUid(i);
        r.instanceNumber = static_cast<int>(i) + 1;
        r.rows = r.columns = size;
        r.extra = {{{0x0018, 0x5101}, v.viewPosition},
                   {{0x0020, 0x0062}, v.side},
                   {{0x0008, 0x0023}, "20261209"},
                   {{0x0008, 0x0033}, v.clock}};
        return corva::test::writeDicom(site_.scratch() / folder / (r.sopInstanceUid + ".dcm"), r);
    }

    std::int64_t addRecord(const View& v) {
        const std::string clock = v.clock;
        const std::string zeit = clock.substr(0, 2) + ":" + clock.substr(2, 2) + ":10";
        db::Database db(site_.imageDb());
        auto st = db.prepare(
            "INSERT INTO tblDosis (KVP, ma, Zeit, Dicke, mGy, Druck, Datum, Sonstiges, Status, expZeit) "
            "VALUES ('28', '63', ?, 45, '1.23', 120, ?, ?, '0', '0,50')");
        st.bind(1, zeit).bind(2, Datum).bind(3, std::string("Mo/Mo,AEC,2,") + v.code + ",S");
        st.run();
        return db.lastInsertRowId();
    }

    // The destination list of the options window with this archive, asked for commitment.
    void addDestination(const std::string& alias, const TestArchive& archive) {
        db::Database userDb(site_.userDb());
        db::ensureDestinationCommitmentColumn(userDb);
        userDb.prepare("INSERT INTO tblSCP (Alias, AET, IP, Port, \"Commitment\") VALUES (?, ?, '127.0.0.1', ?, 1)")
            .bind(1, alias)
            .bind(2, archive.aet())
            .bind(3, static_cast<std::int64_t>(archive.port()))
            .run();
    }

    // Where the archive sends a later answer: our AE title at Recvora's port.
    std::string receiverTitle() { return site_.site().aeTitle() + "@127.0.0.1:" + std::to_string(site_.site().port()); }

    std::set<std::string> filed() const {
        std::set<std::string> out;
        db::Database db(site_.imageDb());
        auto st = db.prepare("SELECT ImageUID FROM tblImages");
        while (st.step()) out.insert(st.getText(0));
        return out;
    }
    std::set<std::string> storeFiles() const {
        std::set<std::string> out;
        std::error_code ec;
        for (const auto& e : fs::recursive_directory_iterator(site_.folder() / "Images", ec))
            if (e.path().extension() == ".dcm") out.insert(e.path().stem().string());
        return out;
    }
    std::string status(std::int64_t record) const {
        db::Database db(site_.imageDb());
        auto st = db.prepare("SELECT Status FROM tblDosis WHERE ID = ?");
        st.bind(1, record);
        return st.step() ? st.getText(0) : "<gone>";
    }
    void expectLines(const CtlResult& r, const std::vector<std::string>& lines,
                     const std::vector<std::string>& order = {}) {
        for (const std::string& line : lines)
            EXPECT_NE(r.out.find(withUids(line, order) + "\n"), std::string::npos)
                << withUids(line, order) << "\n" << r.out;
    }
    void expectConsistent() {
        const CtlResult r = site_.run({"check"});
        EXPECT_EQ(r.code, 0) << r.out << r.err;
        EXPECT_EQ(storeFiles(), filed());
    }

    CtlSite site_;
    std::map<std::string, std::int64_t> records_;
};

// How the archive answers, and what `corvactl send --series --no-keep` must leave.
struct CommitCase {
    const char* name;
    std::vector<std::string> archive;  // the archive's commitment options
    bool throughTheList;               // --to an alias of the list asking for commitment
    int exitStatus;
    std::set<std::size_t> removed;   // in the order the archive received them
    std::vector<std::string> lines;  // in the job log, <n>: the n-th image received
};

void PrintTo(const CommitCase& c, std::ostream* os) { *os << c.name; }

class SendWithCommitmentTest : public CommitmentCommandsTest, public ::testing::WithParamInterface<CommitCase> {};

TEST_P(SendWithCommitmentTest, RemovesOnlyWhatTheArchiveCommittedTo) {
    const CommitCase& c = GetParam();
    const auto receiver = site_.site().startReceiver();
    std::vector<std::string> options = c.archive;
    options.insert(options.end(), {"--commit-to", receiverTitle()});
    TestArchive archive(options);
    std::vector<std::string> args{"send", "--series", Series, "--no-keep", "--to"};
    if (c.throughTheList) {
        addDestination("PACS", archive);
        args.push_back("PACS");
        const CtlResult list = site_.run({"list", "destinations"});
        EXPECT_NE(list.out.find("PACS\tARCHIVE\t127.0.0.1\t" + std::to_string(archive.port()) + "\tno\tyes\tplain"),
                  std::string::npos)
            << list.out;
    } else {
        args.insert(args.end(), {archive.destination(), "--commitment"});
    }
    const CtlResult r = site_.run(args);
    EXPECT_EQ(r.code, c.exitStatus) << r.out << r.err;
    // The request names the images in the order they were sent.
    std::vector<std::string> order;
    for (const auto& [uid, answer] : archive.answers()) order.push_back(uid);
    ASSERT_EQ(order.size(), std::size(Views)) << r.out;
    expectLines(r, c.lines, order);
    EXPECT_EQ(archive.held(), uids({0, 1, 2, 3}));
    std::set<std::string> left = uids({0, 1, 2, 3});
    for (std::size_t n : c.removed) left.erase(order[n]);
    EXPECT_EQ(filed(), left);
    expectConsistent();
    // Settled once: a second look removes nothing more.
    const CtlResult again = site_.run({"commitments"});
    EXPECT_NE(again.out.find("0 committed images removed"), std::string::npos) << again.out;
    EXPECT_EQ(filed(), left);
}

const CommitCase CommitCases[] = {
    {"AnswersOnTheSameAssociation",
     {"--commit", "same"},
     true,
     0,
     {0, 1, 2, 3},
     {"Asking ARCHIVE for storage commitment of 4 images ... OK", "Removing committed images ... OK"}},
    {"AnswersLaterToTheReceiver",
     {"--commit", "later"},
     false,
     0,
     {0, 1, 2, 3},
     {"Asking ARCHIVE for storage commitment of 4 images ... OK", "Removing committed images ... OK"}},
    {"FailsEverySecond",
     {"--commit", "same", "--commit-fail-every", "2"},
     false,
     1,
     {0, 2},
     {"Not committed: <1>: processing failure; the image stays",
      "Not committed: <3>: processing failure; the image stays", "Removing committed images ... OK"}},
    {"FailsEverySecondLater",
     {"--commit", "later", "--commit-fail-every", "2"},
     false,
     1,
     {0, 2},
     {"Not committed: <1>: processing failure; the image stays",
      "Not committed: <3>: processing failure; the image stays"}},
    // Reports that contradict themselves or name another class commit nothing.
    {"ListsEachInstanceCommittedAndFailed",
     {"--commit", "same", "--commit-lie", "both"},
     false,
     1,
     {},
     {"Not committed: <0>: processing failure; the image stays",
      "Not committed: <3>: processing failure; the image stays"}},
    {"ListsEachInstanceCommittedAndFailedLater",
     {"--commit", "later", "--commit-lie", "both"},
     false,
     1,
     {},
     {"Not committed: <1>: processing failure; the image stays"}},
    {"CommitsUnderAnotherSopClass",
     {"--commit", "same", "--commit-lie", "wrong-class"},
     false,
     1,
     {},
     {"Not committed: <2>: the archive's answer did not name it; the image stays"}},
};

INSTANTIATE_TEST_SUITE_P(Archive, SendWithCommitmentTest, ::testing::ValuesIn(CommitCases),
                         [](const auto& info) { return std::string(info.param.name); });

// No answer within the time-out: every image stays, each is named, and the check lists
// them as waiting (no fault); `corvactl commitments` says they wait.
TEST_F(CommitmentCommandsTest, WithoutAnAnswerEveryImageStays) {
    const auto receiver = site_.site().startReceiver();
    TestArchive archive({"--commit", "none"});
    const CtlResult r =
        site_.run({"send", "--series", Series, "--to", archive.destination(), "--no-keep", "--commitment"});
    EXPECT_EQ(r.code, 1) << r.out << r.err;
    expectLines(r, {"Asking ARCHIVE for storage commitment of 4 images ... no answer"});
    for (std::size_t i = 0; i < std::size(Views); ++i)
        expectLines(r, {"Commitment pending: <" + std::to_string(i) + ">: no answer from the archive within " +
                        std::to_string(CommitTimeout) + " seconds; the image stays until the archive answers"});
    EXPECT_EQ(archive.held(), uids({0, 1, 2, 3}));
    EXPECT_EQ(filed(), uids({0, 1, 2, 3}));
    const CtlResult check = site_.run({"check"});
    EXPECT_EQ(check.code, 0) << check.out;
    EXPECT_NE(check.out.find("4 commitment pending"), std::string::npos) << check.out;
    const CtlResult waiting = site_.run({"commitments"});
    EXPECT_EQ(waiting.code, 1) << waiting.out;
    EXPECT_NE(waiting.out.find("pending\t" + imageUid(2) + "\ttransaction "), std::string::npos) << waiting.out;
    EXPECT_EQ(filed(), uids({0, 1, 2, 3}));
}

// The answer comes after corvactl gave up and while Recvora was stopped: the archive
// tries again, the started Recvora records it, and `corvactl commitments` removes the
// committed images then, once.
TEST_F(CommitmentCommandsTest, AnAnswerAfterARestartStillCompletesTheRemoval) {
    TestArchive archive({"--commit", "later", "--commit-to", receiverTitle(), "--commit-delay", "1"});
    const CtlResult r =
        site_.run({"send", "--series", Series, "--to", archive.destination(), "--no-keep", "--commitment"});
    EXPECT_EQ(r.code, 1) << r.out << r.err;
    expectLines(r, {"Commitment pending: <0>: no answer from the archive within " + std::to_string(CommitTimeout) +
                    " seconds; the image stays until the archive answers"});
    EXPECT_EQ(filed(), uids({0, 1, 2, 3}));
    EXPECT_TRUE(archive.commitReports().empty());

    const auto receiver = site_.site().startReceiver();
    ASSERT_TRUE(corva::test::pollUntil([&] { return !archive.commitReports().empty(); }, 30000));
    EXPECT_EQ(archive.commitReports().front().committed, 4);
    EXPECT_EQ(filed(), uids({0, 1, 2, 3}));  // recording the answer removes nothing

    const CtlResult settled = site_.run({"commitments"});
    EXPECT_EQ(settled.code, 0) << settled.out << settled.err;
    EXPECT_NE(settled.out.find("committed\t" + imageUid(3) + "\n"), std::string::npos) << settled.out;
    EXPECT_NE(settled.out.find("4 committed images removed, 0 not committed, 0 waiting for an answer"),
              std::string::npos)
        << settled.out;
    EXPECT_TRUE(filed().empty());
    expectConsistent();
    const CtlResult again = site_.run({"commitments"});
    EXPECT_EQ(again.code, 0) << again.out;
    EXPECT_NE(again.out.find("0 committed images removed"), std::string::npos) << again.out;
}

// The images are deleted while the archive's answer is on its way and received again
// under the same UIDs, with other pixel data: the answer commits the images sent, not
// their new copies, which stay with their rows and files.
TEST_F(CommitmentCommandsTest, ALateAnswerLeavesImagesReceivedAgainUnderTheSameUids) {
    TestArchive archive({"--commit", "later", "--commit-to", receiverTitle(), "--commit-delay", "1"});
    const CtlResult r =
        site_.run({"send", "--series", Series, "--to", archive.destination(), "--no-keep", "--commitment"});
    EXPECT_EQ(r.code, 1) << r.out << r.err;
    expectLines(r, {"Commitment pending: <0>: no answer from the archive within " + std::to_string(CommitTimeout) +
                    " seconds; the image stays until the archive answers"});
    const CtlResult deleted = site_.run({"delete", "--series", Series});
    ASSERT_EQ(deleted.code, 0) << deleted.out << deleted.err;
    ASSERT_TRUE(filed().empty());
    std::vector<std::string> args{"import"};
    std::map<std::string, std::uintmax_t> sizes;
    for (std::size_t i = 0; i < std::size(Views); ++i) {
        const fs::path again = writeView(i, 24, "again");
        sizes[imageUid(i)] = fs::file_size(again);
        args.push_back(again.string());
    }
    const CtlResult imported = site_.run(args);
    ASSERT_EQ(imported.code, 0) << imported.err;
    ASSERT_TRUE(site_.waitForImages(4));

    const auto receiver = site_.site().startReceiver();
    ASSERT_TRUE(corva::test::pollUntil([&] { return !archive.commitReports().empty(); }, 30000));
    EXPECT_EQ(archive.commitReports().front().committed, 4);
    const CtlResult settled = site_.run({"commitments"});
    EXPECT_NE(settled.out.find("0 committed images removed"), std::string::npos) << settled.out;
    EXPECT_EQ(filed(), uids({0, 1, 2, 3}));
    for (const auto& [uid, size] : sizes)
        EXPECT_EQ(fs::file_size(site_.folder() / "Images" / Study / (uid + ".dcm")), size) << uid;
    expectConsistent();
}

// An image whose file was lost while the archive's answer was on its way is received
// again and filed under its row, with other pixel data: the answer commits what was
// sent, not the new copy, which stays; the others leave.
TEST_F(CommitmentCommandsTest, ALateAnswerLeavesACopyFiledAnewUnderTheSameRow) {
    TestArchive archive({"--commit", "later", "--commit-to", receiverTitle(), "--commit-delay", "1"});
    const CtlResult r =
        site_.run({"send", "--series", Series, "--to", archive.destination(), "--no-keep", "--commitment"});
    EXPECT_EQ(r.code, 1) << r.out << r.err;
    const fs::path stored = site_.folder() / "Images" / Study / (imageUid(0) + ".dcm");
    const auto rowOf = [&] {
        db::Database db(site_.imageDb());
        auto st = db.prepare("SELECT ImageID FROM tblImages WHERE ImageUID = ?");
        st.bind(1, imageUid(0));
        return st.step() ? st.getInt(0) : std::int64_t{0};
    };
    const std::int64_t row = rowOf();
    ASSERT_NE(row, 0);
    ASSERT_TRUE(fs::remove(stored));
    const fs::path again = writeView(0, 24, "again");
    const CtlResult imported = site_.run({"import", again.string()});
    ASSERT_EQ(imported.code, 0) << imported.err;
    ASSERT_TRUE(corva::test::pollUntil([&] { return fs::exists(stored); }, 30000));
    ASSERT_EQ(rowOf(), row);
    ASSERT_EQ(fs::file_size(stored), fs::file_size(again));

    const auto receiver = site_.site().startReceiver();
    ASSERT_TRUE(corva::test::pollUntil([&] { return !archive.commitReports().empty(); }, 30000));
    EXPECT_EQ(archive.commitReports().front().committed, 4);
    const CtlResult settled = site_.run({"commitments"});
    EXPECT_NE(settled.out.find("kept\t" + imageUid(0) + "\tcommitted, but filed anew since it was sent; the new "
                               "copy stays\n"),
              std::string::npos)
        << settled.out;
    EXPECT_NE(settled.out.find("3 committed images removed"), std::string::npos) << settled.out;
    EXPECT_EQ(filed(), uids({0}));
    ASSERT_TRUE(fs::exists(stored));
    EXPECT_EQ(fs::file_size(stored), fs::file_size(again));
    expectConsistent();
    const CtlResult again2 = site_.run({"commitments"});
    EXPECT_NE(again2.out.find("0 committed images removed, 0 not committed, 0 waiting for an answer"),
              std::string::npos)
        << again2.out;
    EXPECT_EQ(filed(), uids({0}));
}

// The archive fails every instance, then reports them committed under the same
// transaction: its first answer stands, and nothing leaves.
TEST_F(CommitmentCommandsTest, ASecondAnswerCommittingWhatTheFirstFailedRemovesNothing) {
    const auto receiver = site_.site().startReceiver();
    TestArchive archive({"--commit", "later", "--commit-to", receiverTitle(), "--commit-lie", "fail-then-commit"});
    const CtlResult r =
        site_.run({"send", "--series", Series, "--to", archive.destination(), "--no-keep", "--commitment"});
    EXPECT_EQ(r.code, 1) << r.out << r.err;
    ASSERT_TRUE(corva::test::pollUntil([&] { return archive.commitReports().size() == 2; }, 30000));
    EXPECT_EQ(archive.commitReports()[0].failed, 4);
    EXPECT_EQ(archive.commitReports()[1].committed, 4);
    const CtlResult settled = site_.run({"commitments"});
    EXPECT_NE(settled.out.find("0 committed images removed"), std::string::npos) << settled.out;
    EXPECT_EQ(filed(), uids({0, 1, 2, 3}));
    expectConsistent();
}

// A late answer that comes while another job holds the job lock is recorded and
// removes nothing; what settles it waits for the lock (or, under --no-wait, does not
// start), and removes the committed images once the lock is free.
TEST_F(CommitmentCommandsTest, ALateAnswerIsSettledOnlyUnderTheJobLock) {
    TestArchive archive({"--commit", "later", "--commit-to", receiverTitle(), "--commit-delay", "1"});
    const CtlResult r =
        site_.run({"send", "--series", Series, "--to", archive.destination(), "--no-keep", "--commitment"});
    EXPECT_EQ(r.code, 1) << r.out << r.err;
    auto held = std::make_unique<JobLock>(JobLock::tryAcquire(site_.folder() / "Data"));
    ASSERT_TRUE(held->held());
    const auto receiver = site_.site().startReceiver();
    ASSERT_TRUE(corva::test::pollUntil([&] { return !archive.commitReports().empty(); }, 30000));
    EXPECT_EQ(filed(), uids({0, 1, 2, 3}));
    for (const std::vector<std::string>& job :
         {std::vector<std::string>{"--no-wait", "commitments"}, std::vector<std::string>{"--no-wait", "check", "--repair"}}) {
        const CtlResult refused = site_.run(job);
        EXPECT_EQ(refused.code, 1) << job[1] << refused.out << refused.err;
        EXPECT_NE(refused.err.find("another job is working on the images; not started (--no-wait)"), std::string::npos)
            << refused.err;
        EXPECT_EQ(filed(), uids({0, 1, 2, 3})) << job[1];
    }
    held.reset();
    const CtlResult settled = site_.run({"commitments"});
    EXPECT_EQ(settled.code, 0) << settled.out << settled.err;
    EXPECT_NE(settled.out.find("4 committed images removed"), std::string::npos) << settled.out;
    EXPECT_TRUE(filed().empty());
    expectConsistent();
}

// The archive ends between the images and the request: nothing is asked, every image
// stays and is named, and no transaction is left waiting for an answer that never comes.
TEST_F(CommitmentCommandsTest, AnArchiveGoneBeforeTheRequestKeepsEveryImage) {
    const auto receiver = site_.site().startReceiver();
    TestArchive archive({"--commit", "gone"});
    const CtlResult r =
        site_.run({"send", "--series", Series, "--to", archive.destination(), "--no-keep", "--commitment"});
    EXPECT_EQ(r.code, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("Asking ARCHIVE for storage commitment of 4 images ... failed: the archive did not take "
                         "the request ("),
              std::string::npos)
        << r.out;
    EXPECT_EQ(archive.held(), uids({0, 1, 2, 3}));
    EXPECT_EQ(filed(), uids({0, 1, 2, 3}));
    const CtlResult waiting = site_.run({"commitments"});
    EXPECT_EQ(waiting.code, 0) << waiting.out;
    EXPECT_NE(waiting.out.find("0 committed images removed, 0 not committed, 0 waiting for an answer"),
              std::string::npos)
        << waiting.out;
    expectConsistent();
}

// Orthanc, the real archive: it answers on a new association to Recvora; every image
// committed leaves the station.
TEST_F(CommitmentCommandsTest, OrthancCommitsOnANewAssociationAndTheImagesLeave) {
    if (!corva::test::OrthancPeer::installed()) GTEST_SKIP() << "Orthanc is not installed";
    const auto receiver = site_.site().startReceiver();
    corva::test::OrthancPeer orthanc(site_.site().aeTitle(), site_.site().port());
    const CtlResult r =
        site_.run({"send", "--series", Series, "--to", orthanc.destination(), "--no-keep", "--commitment"});
    EXPECT_EQ(r.code, 0) << r.out << r.err << orthanc.log();
    expectLines(r, {"Asking ORTHANC for storage commitment of 4 images ... OK", "Removing committed images ... OK"});
    EXPECT_TRUE(filed().empty());
    expectConsistent();
    EXPECT_NE(site_.site().logText().find("Storage commitment "), std::string::npos) << site_.site().logText();
    EXPECT_NE(site_.site().logText().find(": 4 committed, 0 failed"), std::string::npos) << site_.site().logText();
}

// A destination of the list reached over TLS, Orthanc: the request goes over TLS as the
// images did (its port takes nothing else), its answer comes to Recvora, and the
// committed images leave. An answer lost while Recvora was stopped is asked for again,
// over TLS too.
class CommitmentOverTlsTest : public CommitmentCommandsTest {
protected:
    void SetUp() override {
        if (!corva::test::OrthancPeer::installed()) GTEST_SKIP() << "Orthanc is not installed";
        CommitmentCommandsTest::SetUp();
        orthanc_ = std::make_unique<corva::test::OrthancPeer>(
            site_.site().aeTitle(), site_.site().port(), "ORTHANC",
            corva::test::OrthancPeer::Tls{certs_.certificate("server"), certs_.key("server"), certs_.ca(),
                                          certs_.dcmtkOptions("client")});
        std::int64_t id = 0;
        {
            db::Database userDb(site_.userDb());
            db::ensureDestinationCommitmentColumn(userDb);
            userDb
                .prepare("INSERT INTO tblSCP (Alias, AET, IP, Port, \"Commitment\") VALUES ('Secure', ?, '127.0.0.1', ?, 1)")
                .bind(1, orthanc_->aet())
                .bind(2, static_cast<std::int64_t>(orthanc_->port()))
                .run();
            id = userDb.lastInsertRowId();
        }
        const std::string key = std::to_string(id) + "_";
        site_.site().writeSettings(site_.site().aeTitle(), std::to_string(site_.site().port()),
                                   {"DIMSE_Timeout=5", "Commitment_Timeout=" + std::to_string(CommitTimeout),
                                    "Commitment_Wait=" + std::to_string(CommitWait), "[SCP_TLS]", key + "Use=1",
                                    key + "CAFile=" + certs_.ca().string(),
                                    key + "CertFile=" + certs_.certificate("client").string(),
                                    key + "KeyFile=" + certs_.key("client").string()});
    }

    const corva::test::TestCertificates certs_;
    std::unique_ptr<corva::test::OrthancPeer> orthanc_;
};

TEST_F(CommitmentOverTlsTest, OrthancCommitsAndTheImagesLeave) {
    const auto receiver = site_.site().startReceiver();
    const CtlResult r = site_.run({"send", "--series", Series, "--to", "Secure", "--no-keep"});
    EXPECT_EQ(r.code, 0) << r.out << r.err << orthanc_->log();
    expectLines(r, {"Asking ORTHANC for storage commitment of 4 images ... OK", "Removing committed images ... OK"});
    EXPECT_TRUE(filed().empty());
    expectConsistent();
}

TEST_F(CommitmentOverTlsTest, AnAnswerLostWhileTheReceiverWasStoppedIsAskedForAgain) {
    const CtlResult r = site_.run({"send", "--series", Series, "--to", "Secure", "--no-keep"});
    EXPECT_EQ(r.code, 1) << r.out << r.err << orthanc_->log();
    expectLines(r, {"Commitment pending: <0>: no answer from the archive within " + std::to_string(CommitTimeout) +
                    " seconds; the image stays until the archive answers"});
    EXPECT_EQ(filed(), uids({0, 1, 2, 3}));
    // The look without the receiver names the way out.
    const CtlResult waiting = site_.run({"commitments"});
    EXPECT_NE(waiting.err.find("corvactl commitments --ask-again asks it again"), std::string::npos) << waiting.err;

    const auto receiver = site_.site().startReceiver();
    const CtlResult asked = site_.run({"commitments", "--ask-again"});
    EXPECT_NE(asked.err.find("corvactl: asked ORTHANC@127.0.0.1:" + std::to_string(orthanc_->port()) +
                             " again for transaction "),
              std::string::npos)
        << asked.out << asked.err << orthanc_->log();
    // The answer comes to Recvora in its own time; each look settles what came.
    EXPECT_TRUE(corva::test::pollUntil([&] { return site_.run({"commitments"}).code == 0; }, 30000))
        << orthanc_->log() << site_.site().logText();
    EXPECT_TRUE(filed().empty());
    expectConsistent();
}

// The forwarding: the records are used as the images are stored; the images leave only
// once committed, with their converted copies.
struct ForwardCase {
    const char* name;
    std::vector<std::string> archive;
    int exitStatus;
    std::set<std::size_t> removed;
};

void PrintTo(const ForwardCase& c, std::ostream* os) { *os << c.name; }

class ForwardWithCommitmentTest : public CommitmentCommandsTest, public ::testing::WithParamInterface<ForwardCase> {};

TEST_P(ForwardWithCommitmentTest, UsesTheRecordsAndRemovesOnlyWhatIsCommitted) {
    const ForwardCase& c = GetParam();
    TestArchive archive(c.archive);
    const CtlResult r =
        site_.run({"forward", "--study", Study, "--to", archive.destination(), "--no-keep", "--commitment"});
    EXPECT_EQ(r.code, c.exitStatus) << r.out << r.err;
    // The study's dose report follows the images; asked no commitment, it stays in the station.
    std::set<std::string> images, others;
    for (const std::string& uid : archive.held()) (uid.starts_with(Series + ".") ? images : others).insert(uid);
    EXPECT_EQ(images, uids({0, 1, 2, 3}));
    EXPECT_EQ(others.size(), 1u);
    for (const auto& [code, id] : records_) EXPECT_EQ(status(id), "1") << code;
    std::set<std::string> left = uids({0, 1, 2, 3});
    for (std::size_t n : c.removed) left.erase(imageUid(n));
    ASSERT_TRUE(site_.waitForImages(static_cast<std::int64_t>(left.size() + others.size())));
    std::set<std::string> filedImages;
    for (const std::string& uid : filed())
        if (uid.starts_with(Series + ".")) filedImages.insert(uid);
    EXPECT_EQ(filedImages, left);
    for (std::size_t n : c.removed) EXPECT_FALSE(fs::exists(site_.folder() / "bin" / (imageUid(n) + ".dcm")));
    const CtlResult check = site_.run({"check"});
    EXPECT_EQ(check.code, 0) << check.out;
}

const ForwardCase ForwardCases[] = {
    {"Committed", {"--commit", "same"}, 0, {0, 1, 2, 3}},
    {"PartlyCommitted", {"--commit", "same", "--commit-fail-every", "3"}, 1, {0, 1, 3}},
    {"NotAnswered", {"--commit", "none"}, 1, {}},
};

INSTANTIATE_TEST_SUITE_P(Archive, ForwardWithCommitmentTest, ::testing::ValuesIn(ForwardCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace corva::station::ctl::test

namespace corva::station::ctl::test {
namespace {

// The images are deleted while the archive's answer is on its way, received again and
// forwarded anew (kept): the work folder holds their new converted copies, which the
// late answer to the first forwarding does not cover and must leave.
TEST_F(CommitmentCommandsTest, ALateAnswerLeavesTheConvertedCopiesOfALaterForwarding) {
    TestArchive archive({"--commit", "later", "--commit-to", receiverTitle(), "--commit-delay", "1"});
    const CtlResult r =
        site_.run({"forward", "--study", Study, "--to", archive.destination(), "--no-keep", "--commitment"});
    EXPECT_EQ(r.code, 1) << r.out << r.err;
    expectLines(r, {"Commitment pending: <0>: no answer from the archive within " + std::to_string(CommitTimeout) +
                    " seconds; the image stays until the archive answers"});
    const CtlResult deleted = site_.run({"delete", "--study", Study});
    ASSERT_EQ(deleted.code, 0) << deleted.out << deleted.err;
    ASSERT_TRUE(site_.waitForImages(0));
    std::vector<std::string> args{"import"};
    for (std::size_t i = 0; i < std::size(Views); ++i) args.push_back(writeView(i, 24, "again").string());
    const CtlResult imported = site_.run(args);
    ASSERT_EQ(imported.code, 0) << imported.err;
    ASSERT_TRUE(site_.waitForImages(4));
    for (const View& v : Views) addRecord(v);

    TestArchive second;
    const CtlResult again = site_.run({"forward", "--study", Study, "--to", second.destination(), "--keep"});
    ASSERT_EQ(again.code, 0) << again.out << again.err;
    std::map<std::string, FileIdentity> copies;
    for (std::size_t i = 0; i < std::size(Views); ++i) {
        const auto id = fileIdentity(site_.folder() / "bin" / (imageUid(i) + ".dcm"));
        ASSERT_TRUE(id.has_value()) << imageUid(i);
        copies[imageUid(i)] = *id;
    }

    const auto receiver = site_.site().startReceiver();
    // The answer is recorded by Recvora in its own time; each look settles what came.
    CtlResult settled;
    EXPECT_TRUE(corva::test::pollUntil([&] { return (settled = site_.run({"commitments"})).code == 0; }, 30000))
        << settled.out << settled.err;
    for (const auto& [uid, id] : copies)
        EXPECT_EQ(fileIdentity(site_.folder() / "bin" / (uid + ".dcm")), std::optional<FileIdentity>(id))
            << "the converted copy of the later forwarding went: " << uid;
    std::set<std::string> images;
    for (const std::string& uid : filed())
        if (uid.starts_with(Series + ".")) images.insert(uid);
    EXPECT_EQ(images, uids({0, 1, 2, 3}));
}

}  // namespace
}  // namespace corva::station::ctl::test
