// corvactl forward as a real process: a four-view study filed by Ingrado, the unit's
// exposure records in tblDosis and DCMTK's storescp as the destination. What the plan
// tells, what a forwarding sends and what it uses up or removes, and that a refused
// plan or a destination that stores nothing changes nothing.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <ostream>
#include <set>

#include "ctl_site.h"
#include "dicom/dicom.h"
#include "dicom/dose_report.h"
#include "dicom_fixture.h"
#include "shell.h"
#include "store_scp.h"

namespace corva::station::ctl::test {
namespace {

namespace fs = std::filesystem;
using corva::test::StoreScp;

const std::string Study = "1.2.826.0.1.3680043.9.7731.7";
const std::string Series = Study + ".1";
const std::string Datum = "09.12.2026";

// One view of the study, its record as a Sophie unit stores it, and the kVp that tells
// in the sent image which record it carries.
struct View {
    const char* code;          // the unit's projection code
    const char* key;           // the projection as the plan names it
    const char* viewPosition;  // (0018,5101)
    const char* side;          // (0020,0062)
    const char* clock;         // content time of the image; the record follows 10 s later
    const char* kvp;
};
const View Views[] = {
    {"L-CC", "L-CC", "CC", "L", "08:16:00", "28"},
    {"R-CC", "R-CC", "CC", "R", "08:17:00", "29"},
    {"L-LMO45", "L-MLO", "MLO", "L", "08:18:00", "30"},
    {"R-LMO45", "R-MLO", "MLO", "R", "08:19:00", "31"},
};

std::string imageUid(std::size_t view) { return Series + "." + std::to_string(view + 1); }
std::string destination(int port) { return "STORESCP@127.0.0.1:" + std::to_string(port); }
std::string withoutColons(std::string clock) {
    std::erase(clock, ':');
    return clock;
}
std::string recordTime(const View& v) { return std::string(v.clock).substr(0, 6) + "10"; }

// The pair line of --plan and of the forwarding's log for the view at list position `view + 1`.
std::string pairLine(std::size_t view) {
    const View& v = Views[view];
    return "Image " + std::to_string(view + 1) + " (" + v.key + ")  <-  record " + Datum + " " + recordTime(v) + ", " +
           v.kvp + " kV, 63 mAs, 1.23 mGy\t" + imageUid(view);
}

// What a forwarding may change: the records' states, the study's rows and files.
struct Snapshot {
    std::map<std::int64_t, std::string> records;  // ID -> Status
    std::int64_t images = 0;
    std::int64_t patients = 0;
    std::set<std::string> stored;  // files of the study in the image store
    bool operator==(const Snapshot&) const = default;
};

void PrintTo(const Snapshot& s, std::ostream* os) {
    *os << "records {";
    for (const auto& [id, status] : s.records) *os << id << ":" << status << " ";
    *os << "} images " << s.images << " patients " << s.patients << " stored " << s.stored.size();
}

std::set<std::string> namesIn(const fs::path& folder, const std::string& extension = {}) {
    std::set<std::string> names;
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) return names;
    for (const fs::path& f : corva::test::filesIn(folder))
        if (extension.empty() || f.extension() == extension) names.insert(f.filename().string());
    return names;
}

class ForwardCommandTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::vector<std::string> args{"import"};
        for (std::size_t i = 0; i < std::size(Views); ++i) args.push_back(writeView(i).string());
        const CtlResult r = site_.run(args);
        ASSERT_EQ(r.code, 0) << r.err;
        ASSERT_TRUE(site_.waitForImages(4));
        // Recorded in another order than the images were taken: the pairing goes by projection.
        for (std::size_t i = std::size(Views); i-- > 0;)
            records_[Views[i].code] = addRecord(Views[i].code, recordTime(Views[i]), Views[i].kvp);
        fs::create_directories(received_);
    }

    fs::path writeView(std::size_t i) {
        const View& v = Views[i];
        corva::test::DicomRecipe r;
        r.patientId = "P7";
        r.patientName = "Gamma^Gina";
        r.studyUid = Study;
        r.seriesUid = Series;
        r.sopInstanceUid = imageUid(i);
        r.instanceNumber = static_cast<int>(i) + 1;
        r.rows = r.columns = 16;
        r.extra = {{{0x0018, 0x5101}, v.viewPosition},
                   {{0x0020, 0x0062}, v.side},
                   {{0x0008, 0x0023}, "20261209"},
                   {{0x0008, 0x0033}, withoutColons(v.clock)}};
        return corva::test::writeDicom(site_.scratch() / "study" / (r.sopInstanceUid + ".dcm"), r);
    }

    std::int64_t addRecord(const std::string& code, const std::string& zeit, const std::string& kvp) {
        db::Database db(site_.imageDb());
        auto st = db.prepare(
            "INSERT INTO tblDosis (KVP, ma, Zeit, Dicke, mGy, Druck, Datum, Sonstiges, Status, expZeit) "
            "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
        st.bind(1, kvp).bind(2, "63").bind(3, zeit).bind(4, 45).bind(5, "1.23").bind(6, 120).bind(7, Datum);
        st.bind(8, "Mo/Mo,AEC,2," + code + ",S").bind(9, "0").bind(10, "0,50");
        st.run();
        return db.lastInsertRowId();
    }

    void removeRecord(std::int64_t id) {
        db::Database db(site_.imageDb());
        db.prepare("DELETE FROM tblDosis WHERE ID = ?").bind(1, id).run();
    }

    void addDestination(const std::string& alias, int port, bool isDefault) {
        db::Database db(site_.userDb());
        auto st = db.prepare(
            "INSERT INTO tblSCP (Alias, AET, IP, Port, \"Default\") VALUES (?, 'STORESCP', '127.0.0.1', ?, ?)");
        st.bind(1, alias).bind(2, port).bind(3, isDefault ? 1 : 0);
        st.run();
    }

    Snapshot snapshot() const {
        Snapshot s;
        db::Database db(site_.imageDb());
        auto st = db.prepare("SELECT ID, Status FROM tblDosis ORDER BY ID");
        while (st.step()) s.records[st.getInt(0)] = st.getText(1);
        s.images = site_.count("SELECT COUNT(*) FROM tblImages");
        s.patients = site_.count("SELECT COUNT(*) FROM tblPatienten");
        s.stored = namesIn(site_.folder() / "Images" / Study);
        return s;
    }

    std::set<std::string> converted() const { return namesIn(site_.folder() / "bin", ".dcm"); }

    // The kVp of each image the destination stored, by SOP instance UID (the study's dose
    // report, which follows the images, aside).
    std::map<std::string, double> receivedKvp() const {
        std::map<std::string, double> kvp;
        for (const fs::path& f : corva::test::filesIn(received_)) {
            const dicom::Image image = dicom::Image::read(f, dicom::ReadMode::HeaderOnly);
            if (image.sopClassUid() == dicom::XRayRadiationDoseSrClass) continue;
            kvp[image.sopInstanceUid()] = std::stod(image.attributes().get(dicom::Tag{0x0018, 0x0060}).text);
        }
        return kvp;
    }

    static std::string planJson(const std::vector<std::pair<std::string, std::int64_t>>& pairs) {
        std::string json = "{\"pairs\": [";
        for (std::size_t i = 0; i < pairs.size(); ++i)
            json += (i ? ", " : "") + ("{\"image\": \"" + pairs[i].first + "\", \"record\": ") +
                    std::to_string(pairs[i].second) + "}";
        return json + "], \"refused\": []}\n";
    }

    // Every image with the record of its projection, in the image list's order.
    std::string fullPlanJson() {
        std::vector<std::pair<std::string, std::int64_t>> pairs;
        for (std::size_t i = 0; i < std::size(Views); ++i) pairs.emplace_back(imageUid(i), records_[Views[i].code]);
        return planJson(pairs);
    }

    // The job log's line for each image a destination that takes no mammograms did not get.
    static std::string notSentLines() {
        std::string lines;
        for (std::size_t i = 0; i < std::size(Views); ++i)
            lines += "Not sent: " + imageUid(i) + ": no association with the destination\n";
        return lines;
    }

    std::string pairLines() const {
        std::string lines;
        for (std::size_t i = 0; i < std::size(Views); ++i) lines += pairLine(i) + "\n";
        return lines;
    }

    CtlSite site_;
    std::map<std::string, std::int64_t> records_;  // by projection code
    fs::path received_ = site_.scratch() / "received";
};

TEST_F(ForwardCommandTest, ThePlanPairsEachImageWithTheRecordOfItsProjectionAndChangesNothing) {
    const Snapshot before = snapshot();

    CtlResult r = site_.run({"forward", "--study", Study, "--plan", "--json"});
    ASSERT_EQ(r.code, 0) << r.err << r.out;
    EXPECT_EQ(r.out, fullPlanJson());
    EXPECT_EQ(r.err, "");

    r = site_.run({"forward", "--study", Study, "--plan"});
    ASSERT_EQ(r.code, 0) << r.err << r.out;
    EXPECT_EQ(r.out, pairLines());

    EXPECT_EQ(snapshot(), before);
    EXPECT_EQ(before.records.size(), 4u);
    EXPECT_EQ(before.stored.size(), 4u);
    EXPECT_TRUE(converted().empty());
}

TEST_F(ForwardCommandTest, ARefusedPlanTellsWhyAndNothingIsConvertedSentOrUsed) {
    StoreScp scp(received_);
    addDestination("Archive", scp.port(), true);
    const fs::path stored = site_.folder() / "Images" / Study / (imageUid(1) + ".dcm");
    const fs::path aside = site_.scratch() / "aside.dcm";

    struct Case {
        const char* name;
        std::function<std::int64_t()> spoil;  // returns a record it added, 0 when none
        std::function<std::string(std::int64_t)> reason;
        std::function<void()> repair;  // besides removing the added record
    };
    const Case cases[] = {
        {"a stray record of a projection the study lacks",
         [&] { return addRecord("R-ML90", "08:20:10", "27"); },
         [](std::int64_t) {
             return std::string("1 exposure record(s) for R-ML wait, but the study has no R-ML image: they are "
                                "likely another patient's.");
         },
         [] {}},
        {"a second record of one projection", [&] { return addRecord("L-CC", "08:21:10", "27"); },
         [](std::int64_t) { return std::string("L-CC: 1 image(s) but 2 exposure record(s) waiting."); }, [] {}},
        {"a record that names no projection", [&] { return addRecord("", "08:22:10", "27"); },
         [](std::int64_t id) {
             return Datum + " 08:22:10 (ID " + std::to_string(id) + ") names no projection";
         },
         [] {}},
        {"an image file that is gone",
         [&] {
             fs::rename(stored, aside);
             return std::int64_t{0};
         },
         [](std::int64_t) { return "Image 2 (" + imageUid(1) + ") cannot be read: "; },
         [&] { fs::rename(aside, stored); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::int64_t added = c.spoil();
        const std::string reason = c.reason(added);
        const Snapshot before = snapshot();

        CtlResult r = site_.run({"forward", "--study", Study, "--plan", "--json"});
        EXPECT_EQ(r.code, 1) << r.err;
        EXPECT_TRUE(r.out.starts_with("{\"pairs\": [], \"refused\": [\"")) << r.out;
        EXPECT_NE(r.out.find(reason), std::string::npos) << r.out;

        r = site_.run({"forward", "--study", Study, "--plan"});
        EXPECT_EQ(r.code, 1) << r.err;
        EXPECT_NE(r.out.find(reason), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("<-"), std::string::npos) << r.out;

        r = site_.run({"forward", "--study", Study, "--no-keep"});
        EXPECT_EQ(r.code, 1) << r.out;
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(r.err.starts_with("corvactl forward: the images cannot be paired with the exposure records "
                                      "automatically; nothing was converted or sent:\n- "))
            << r.err;
        EXPECT_NE(r.err.find(reason), std::string::npos) << r.err;

        EXPECT_EQ(snapshot(), before);
        EXPECT_TRUE(converted().empty());
        EXPECT_TRUE(namesIn(received_).empty());
        if (added) removeRecord(added);
        c.repair();
    }
    // Repaired, the same study pairs again.
    const CtlResult r = site_.run({"forward", "--study", Study, "--plan", "--json"});
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(r.out, fullPlanJson());
}

TEST_F(ForwardCommandTest, ForwardsEachImageWithItsRecordToTheDefaultDestinationAndRemovesThePatient) {
    StoreScp scp(received_);
    addDestination("Backup", 9, false);  // not the default: never asked
    addDestination("Archive", scp.port(), true);
    const std::int64_t announced = site_.count("SELECT COUNT(*) FROM tblReceive");

    const CtlResult r = site_.run({"forward", "--study", Study, "--no-keep"});
    ASSERT_EQ(r.code, 0) << r.err << r.out;
    EXPECT_EQ(r.out, pairLines() +
                         "Send images of patient: Gamma, Gina\n"
                         "Sending images ... OK\n"
                         "4 of 4 images successfully sent.\n"
                         "Marking exposure records as used ... OK\n"
                         "Removing database entries ... OK\n"
                         "Writing the dose report of study " + Study + " ... OK (4 exposures)\n"
                         "Sending the dose report ... OK\n"
                         "Tasks done!\n");

    std::map<std::string, double> expected;
    for (std::size_t i = 0; i < std::size(Views); ++i) expected[imageUid(i)] = std::stod(Views[i].kvp);
    EXPECT_EQ(receivedKvp(), expected);

    const Snapshot after = snapshot();
    EXPECT_EQ(after.records.size(), 4u);
    for (const auto& [id, status] : after.records) EXPECT_EQ(status, "1") << "record " << id;
    EXPECT_EQ(after.images, 0);
    EXPECT_EQ(after.patients, 0);
    EXPECT_EQ(site_.count("SELECT COUNT(*) FROM tblStudies"), 0);
    EXPECT_FALSE(fs::exists(site_.folder() / "Images" / Study));
    EXPECT_TRUE(converted().empty());
    // The station's patient list reloads at its next refresh.
    EXPECT_EQ(site_.count("SELECT COUNT(*) FROM tblReceive"), announced + 1);
}

// Marking the records used and removing their images happen together or not at all: a
// record the database will not mark (here a trigger refuses it) removes no image, and
// the study pairs and forwards again once the fault is gone.
TEST_F(ForwardCommandTest, RecordsThatCannotBeMarkedUsedRemoveNoImage) {
    StoreScp scp(received_);
    addDestination("Archive", scp.port(), true);
    db::Database(site_.imageDb())
        .exec("CREATE TRIGGER refuse_use BEFORE UPDATE OF Status ON tblDosis WHEN NEW.Status = '1' "
              "BEGIN SELECT RAISE(ABORT, 'records locked'); END");
    const Snapshot before = snapshot();
    const CtlResult r = site_.run({"forward", "--study", Study, "--no-keep"});
    EXPECT_EQ(r.code, 1) << r.err << r.out;
    EXPECT_NE(r.out.find("Marking exposure records as used ... failed"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Removing database entries"), std::string::npos) << r.out;
    EXPECT_EQ(snapshot(), before);

    db::Database(site_.imageDb()).exec("DROP TRIGGER refuse_use");
    const CtlResult again = site_.run({"forward", "--study", Study, "--no-keep"});
    EXPECT_EQ(again.code, 0) << again.err << again.out;
    EXPECT_EQ(snapshot().images, 0);
}

TEST_F(ForwardCommandTest, ADestinationThatStoresNothingUsesUpAndRemovesNothing) {
    // A destination that answers but takes no mammograms.
    const fs::path profile = site_.scratch() / "verification-only.cfg";
    std::ofstream(profile) << "[[TransferSyntaxes]]\n[Uncompressed]\nTransferSyntax1 = LittleEndianImplicit\n"
                              "TransferSyntax2 = LocalEndianExplicit\n"
                              "[[PresentationContexts]]\n[VerificationOnly]\n"
                              "PresentationContext1 = VerificationSOPClass\\Uncompressed\n"
                              "[[Profiles]]\n[Default]\nPresentationContexts = VerificationOnly\n";
    StoreScp verifying(received_, {"-xf", profile.string(), "Default"});
    StoreScp gone(received_);  // started after the other, so that their ports differ
    gone.stop();

    struct Case {
        const char* name;
        int port;
        std::string out;       // standard output holds it
        std::string errStart;  // standard error starts with it
    };
    const Case cases[] = {
        {"nothing listens", gone.port(), "",
         "corvactl forward: destination " + destination(gone.port()) + " not reached: Error #"},
        {"no mammograms taken", verifying.port(),
         pairLines() + "Send images of patient: Gamma, Gina\nSending images ... OK\n" + notSentLines() +
             "0 of 4 images successfully sent.\n"
             "Nothing was used up or removed: not every image was sent.\n"
             "Tasks done!\n",
         ""},
    };
    const Snapshot before = snapshot();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const CtlResult r = site_.run({"forward", "--study", Study, "--to", destination(c.port), "--no-keep"});
        EXPECT_EQ(r.code, 1) << r.err;
        EXPECT_EQ(r.out, c.out);
        EXPECT_TRUE(r.err.starts_with(c.errStart)) << r.err;
        EXPECT_EQ(snapshot(), before);
        EXPECT_TRUE(namesIn(received_).empty());
    }
    // The forwarding goes through once the destination takes the images.
    StoreScp archive(received_);
    const CtlResult r = site_.run({"forward", "--study", Study, "--to", destination(archive.port()), "--no-keep"});
    EXPECT_EQ(r.code, 0) << r.err << r.out;
    EXPECT_EQ(receivedKvp().size(), 4u);
}

TEST_F(ForwardCommandTest, KeptImagesStayAndTheirRecordsAreUsedOnce) {
    StoreScp scp(received_);
    addDestination("Archive", scp.port(), false);

    CtlResult r = site_.run({"forward", "--study", Study, "--to", "archive", "--keep"});
    ASSERT_EQ(r.code, 0) << r.err << r.out;
    EXPECT_TRUE(
        r.out.ends_with("4 of 4 images successfully sent.\nMarking exposure records as used ... OK\n"
                        "Writing the dose report of study " + Study + " ... OK (4 exposures)\n"
                        "Sending the dose report ... OK\nTasks done!\n"))
        << r.out;
    EXPECT_EQ(receivedKvp().size(), 4u);
    // Kept, the study's dose report is filed beside its images.
    ASSERT_TRUE(site_.waitForImages(5));
    const Snapshot after = snapshot();
    for (const auto& [id, status] : after.records) EXPECT_EQ(status, "1") << "record " << id;
    EXPECT_EQ(after.images, 5);
    EXPECT_EQ(after.stored.size(), 5u);
    // The converted images wait in the work folder, as after the station's forwarding.
    std::set<std::string> waiting;
    for (std::size_t i = 0; i < std::size(Views); ++i) waiting.insert(imageUid(i) + ".dcm");
    EXPECT_EQ(converted(), waiting);

    // Used records wait no more: the study cannot be paired again.
    r = site_.run({"forward", "--study", Study, "--plan", "--json"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("No exposure record waits for L-CC (image 1)."), std::string::npos) << r.out;
    r = site_.run({"forward", "--study", Study, "--to", "archive"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(receivedKvp().size(), 4u);
    EXPECT_EQ(snapshot(), after);
}

}  // namespace
}  // namespace corva::station::ctl::test
