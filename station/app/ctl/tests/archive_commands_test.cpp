// corvactl send and forward without keep against corva_test_archive, an archive that
// warns, refuses every second image, breaks off the association or stalls: the exit
// status, the job log's names of what was not sent, exactly the stored images leaving
// the station (with their exposure records), `corvactl check` finding rows and files
// matching, and the job lock free afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "ctl_site.h"
#include "dicom/dose_report.h"
#include "dicom_fixture.h"
#include "test_archive.h"

namespace corva::station::ctl::test {
namespace {

namespace fs = std::filesystem;
using corva::test::TestArchive;

const std::string Study = "1.2.826.0.1.3680043.9.7731.9";
const std::string Series = Study + ".1";
const std::string Datum = "09.12.2026";

// Seconds corvactl waits for each answer of the archive (Com\DIMSE_Timeout).
constexpr int AnswerWait = 2;

// One view: the unit's projection code, View Position, side and the image's time.
struct View {
    const char* code;
    const char* viewPosition;
    const char* side;
    const char* clock;  // hhmmss; the record follows 10 s later
};
const View Views[] = {
    {"L-CC", "CC", "L", "081600"},
    {"R-CC", "CC", "R", "081700"},
    {"L-LMO45", "MLO", "L", "081800"},
    {"R-LMO45", "MLO", "R", "081900"},
};

std::string imageUid(std::size_t view) { return Series + "." + std::to_string(view + 1); }

class ArchiveCommandsTest : public ::testing::Test {
protected:
    void SetUp() override {
        // A short wait for the archive's answers, as a site would configure it.
        std::ofstream(site_.scratch() / "config" / "ZKT" / "Lumenpost.conf", std::ios::app)
            << "DIMSE_Timeout=" << AnswerWait << "\n";
        std::vector<std::string> args{"import"};
        for (std::size_t i = 0; i < std::size(Views); ++i) args.push_back(writeView(i).string());
        const CtlResult r = site_.run(args);
        ASSERT_EQ(r.code, 0) << r.err;
        ASSERT_TRUE(site_.waitForImages(4));
        for (const View& v : Views) records_[v.code] = addRecord(v);
    }

    fs::path writeView(std::size_t i) {
        const View& v = Views[i];
        corva::test::DicomRecipe r;
        r.patientId = "P9";
        r.patientName = "Delta^Dora";
        r.studyUid = Study;
        r.seriesUid = Series;
        r.sopInstanceUid = imageUid(i);
        r.instanceNumber = static_cast<int>(i) + 1;
        r.rows = r.columns = 16;
        r.extra = {{{0x0018, 0x5101}, v.viewPosition},
                   {{0x0020, 0x0062}, v.side},
                   {{0x0008, 0x0023}, "20261209"},
                   {{0x0008, 0x0033}, v.clock}};
        return corva::test::writeDicom(site_.scratch() / "study" / (r.sopInstanceUid + ".dcm"), r);
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

    // The SOP instance UIDs with an image row.
    std::set<std::string> filed() const {
        std::set<std::string> uids;
        db::Database db(site_.imageDb());
        auto st = db.prepare("SELECT ImageUID FROM tblImages");
        while (st.step()) uids.insert(st.getText(0));
        return uids;
    }
    // The study's images among them (the dose report that follows them aside).
    std::set<std::string> filedImages() const {
        std::set<std::string> uids;
        for (const std::string& uid : filed())
            if (uid.starts_with(Series + ".")) uids.insert(uid);
        return uids;
    }
    // What the archive holds: the study's images, and how many dose reports.
    static std::set<std::string> heldImages(const TestArchive& archive) {
        std::set<std::string> out;
        for (const std::string& uid : archive.held())
            if (uid.starts_with(Series + ".")) out.insert(uid);
        return out;
    }
    static int heldReports(const TestArchive& archive) {
        int reports = 0;
        for (const std::string& uid : archive.held())
            if (dicom::Image::read(archive.fileOf(uid), dicom::ReadMode::HeaderOnly).sopClassUid() ==
                dicom::XRayRadiationDoseSrClass)
                ++reports;
        return reports;
    }
    std::string status(std::int64_t record) const {
        db::Database db(site_.imageDb());
        auto st = db.prepare("SELECT Status FROM tblDosis WHERE ID = ?");
        st.bind(1, record);
        return st.step() ? st.getText(0) : "<gone>";
    }
    static std::set<std::string> uids(const std::set<std::size_t>& views) {
        std::set<std::string> out;
        for (std::size_t v : views) out.insert(imageUid(v));
        return out;
    }
    // Rows and files match, and the job lock is free: a plan takes it at once.
    void expectConsistentAndUnlocked() {
        const CtlResult r = site_.run({"check"});
        EXPECT_EQ(r.code, 0) << r.out << r.err;
        const CtlResult plan = site_.run({"--no-wait", "forward", "--study", Study, "--plan"});
        EXPECT_EQ(plan.err.find("another job"), std::string::npos) << plan.err;
    }

    CtlSite site_;
    std::map<std::string, std::int64_t> records_;  // by projection code
};

// How the archive behaves, and what `corvactl send --series --no-keep` must leave. The
// images are counted in the order the archive received them (the series' order).
struct SendCase {
    const char* name;
    std::vector<std::string> archive;  // the archive's options
    int exitStatus;
    std::size_t received;            // objects the archive received (and answered or broke off at)
    std::set<std::size_t> held;      // which of them it holds afterwards
    std::set<std::size_t> removed;   // which of them the station gave up
    std::vector<std::string> lines;  // in the job log, with <n> for the n-th object's UID
};

std::string withUids(std::string line, const std::vector<std::string>& order) {
    for (std::size_t i = 0; i < order.size(); ++i) {
        const std::string mark = "<" + std::to_string(i) + ">";
        for (auto at = line.find(mark); at != std::string::npos; at = line.find(mark))
            line.replace(at, mark.size(), order[i]);
    }
    return line;
}

void PrintTo(const SendCase& c, std::ostream* os) { *os << c.name; }

class SendToArchiveCommandTest : public ArchiveCommandsTest, public ::testing::WithParamInterface<SendCase> {};

TEST_P(SendToArchiveCommandTest, RemovesOnlyWhatTheArchiveStoredAndNamesWhatItDidNot) {
    const SendCase& c = GetParam();
    TestArchive archive(c.archive);
    const std::int64_t announced = site_.count("SELECT COUNT(*) FROM tblReceive");
    const CtlResult r = site_.run({"send", "--series", Series, "--to", archive.destination(), "--no-keep"});
    EXPECT_EQ(r.code, c.exitStatus) << r.out << r.err;
    // The station reloads its lists when images left, also when their series stays.
    EXPECT_EQ(site_.count("SELECT COUNT(*) FROM tblReceive"), announced + (c.removed.empty() ? 0 : 1));
    std::vector<std::string> order;
    for (const auto& [uid, answer] : archive.answers()) order.push_back(uid);
    ASSERT_EQ(order.size(), c.received) << r.out;
    for (const std::string& line : c.lines)
        EXPECT_NE(r.out.find(withUids(line, order) + "\n"), std::string::npos) << withUids(line, order) << "\n" << r.out;
    // Once broken off, what the archive never saw is named as not tried.
    for (std::size_t i = 0; i < std::size(Views); ++i) {
        if (std::find(order.begin(), order.end(), imageUid(i)) != order.end()) continue;
        EXPECT_NE(r.out.find("Not sent: " + imageUid(i) + ": not tried, the connection to the destination was lost\n"),
                  std::string::npos)
            << r.out;
    }
    std::set<std::string> held, left = uids({0, 1, 2, 3});
    for (std::size_t n : c.held) held.insert(order[n]);
    for (std::size_t n : c.removed) left.erase(order[n]);
    EXPECT_EQ(archive.held(), held);
    EXPECT_EQ(filed(), left);
    expectConsistentAndUnlocked();
}

const SendCase SendCases[] = {
    {"WarnsWithAComment",
     {"--warn", "B000", "--comment", "Patient ID coerced"},
     0,
     4,
     {0, 1, 2, 3},
     {},
     {"Stored with warning B000 (Patient ID coerced): <0>; the original stays",
      "Stored with warning B000 (Patient ID coerced): <3>; the original stays", "4 of 4 images successfully sent."}},
    {"RefusesEverySecond",
     {"--refuse-every", "2", "--refuse-status", "A700", "--comment", "Storage full"},
     1,
     4,
     {0, 2},
     {0, 2},
     {"Not sent: <1>: refused by the destination (status A700) (Storage full)",
      "Not sent: <3>: refused by the destination (status A700) (Storage full)", "2 of 4 images successfully sent.",
      "Updating Database ... OK"}},
    {"AbortsAfterTheFirst",
     {"--abort-after", "1"},
     1,
     2,
     {0},
     {},
     {"Not sent: <1>: the transfer broke off (see the error log)", "1 of 4 images successfully sent."}},
    {"ClosesAfterTheSecond",
     {"--close-after", "2"},
     1,
     3,
     {0, 1},
     {},
     {"Not sent: <2>: the transfer broke off (see the error log)", "2 of 4 images successfully sent."}},
    {"StallsAfterTheFirst",
     {"--stall-after", "1"},
     1,
     2,
     {0},
     {},
     {"Not sent: <1>: the transfer broke off (see the error log)", "1 of 4 images successfully sent."}},
};

INSTANTIATE_TEST_SUITE_P(Archive, SendToArchiveCommandTest, ::testing::ValuesIn(SendCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The forwarding to an archive that refuses every second image: the stored images leave
// with their records; the refused stay with theirs and pair again among themselves.
TEST_F(ArchiveCommandsTest, ForwardingToAnArchiveRefusingEverySecondUsesUpOnlyWhatItStored) {
    TestArchive archive({"--refuse-every", "2", "--refuse-status", "A900", "--comment", "Wrong SOP class"});
    const CtlResult r = site_.run({"forward", "--study", Study, "--to", archive.destination(), "--no-keep"});
    EXPECT_EQ(r.code, 1) << r.out << r.err;
    for (std::size_t i : {1u, 3u})
        EXPECT_NE(r.out.find("Not sent: " + imageUid(i) + ": refused by the destination (status A900) (Wrong SOP class)\n"),
                  std::string::npos)
            << r.out;
    EXPECT_NE(r.out.find("2 of 4 images successfully sent.\n"), std::string::npos) << r.out;
    EXPECT_EQ(heldImages(archive), uids({0, 2}));
    // The dose report of the two stored follows them; held in full, it leaves no copy.
    EXPECT_EQ(heldReports(archive), 1);
    EXPECT_EQ(filed(), uids({1, 3}));
    EXPECT_EQ(status(records_["L-CC"]), "1");
    EXPECT_EQ(status(records_["L-LMO45"]), "1");
    EXPECT_EQ(status(records_["R-CC"]), "0");
    EXPECT_EQ(status(records_["R-LMO45"]), "0");
    expectConsistentAndUnlocked();

    // What is left pairs again, one to one.
    const CtlResult plan = site_.run({"forward", "--study", Study, "--plan", "--json"});
    EXPECT_EQ(plan.code, 0) << plan.out;
    EXPECT_EQ(plan.out, "{\"pairs\": [{\"image\": \"" + imageUid(1) + "\", \"record\": " +
                            std::to_string(records_["R-CC"]) + "}, {\"image\": \"" + imageUid(3) +
                            "\", \"record\": " + std::to_string(records_["R-LMO45"]) + "}], \"refused\": []}\n");
}

// A forwarding the archive stores with warnings is complete: every record is used, and
// the originals stay because the archive holds something else; the log tells each warning.
TEST_F(ArchiveCommandsTest, ForwardingStoredWithWarningsUsesTheRecordsAndKeepsTheOriginals) {
    TestArchive archive({"--warn", "B006", "--comment", "Private elements discarded"});
    const CtlResult r = site_.run({"forward", "--study", Study, "--to", archive.destination(), "--no-keep"});
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    for (std::size_t i = 0; i < std::size(Views); ++i)
        EXPECT_NE(r.out.find("Stored with warning B006 (Private elements discarded): " + imageUid(i) +
                             "; the original stays\n"),
                  std::string::npos)
            << r.out;
    EXPECT_EQ(heldImages(archive), uids({0, 1, 2, 3}));
    EXPECT_EQ(heldReports(archive), 1);
    // The dose report, stored with a warning too, stays in the station beside the originals.
    ASSERT_TRUE(site_.waitForImages(5));
    EXPECT_EQ(filedImages(), uids({0, 1, 2, 3}));
    for (const auto& [code, id] : records_) EXPECT_EQ(status(id), "1") << code;
    expectConsistentAndUnlocked();
}

// A forwarding the archive breaks off or stalls uses up and removes nothing, names
// what it did not send, and leaves the study to be forwarded again whole.
TEST_F(ArchiveCommandsTest, ForwardingBrokenOffUsesUpAndRemovesNothing) {
    const std::vector<std::vector<std::string>> archives{{"--abort-after", "2"}, {"--stall-after", "1"}};
    for (const auto& options : archives) {
        SCOPED_TRACE(options.front());
        TestArchive archive(options);
        const CtlResult r = site_.run({"forward", "--study", Study, "--to", archive.destination(), "--no-keep"});
        EXPECT_EQ(r.code, 1) << r.out << r.err;
        EXPECT_NE(r.out.find("Not sent: " + imageUid(3) + ": not tried, the connection to the destination was lost\n"),
                  std::string::npos)
            << r.out;
        EXPECT_NE(r.out.find("Nothing was used up or removed: not every image was sent.\n"), std::string::npos) << r.out;
        EXPECT_EQ(filed(), uids({0, 1, 2, 3}));
        for (const auto& [code, id] : records_) EXPECT_EQ(status(id), "0") << code;
        expectConsistentAndUnlocked();
    }
}

}  // namespace
}  // namespace corva::station::ctl::test
