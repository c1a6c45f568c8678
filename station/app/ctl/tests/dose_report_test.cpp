// The radiation dose report of a forwarded study, with corvactl as a real process,
// Ingrado filing, storescp or our test archive as the destination: it arrives after
// the images, carries one irradiation event per record applied to a stored image with
// the record's values, units and codes, reads cleanly in DCMTK's dsrdump and in
// dicom3tools' dciodvfy, walks in pydicom, is filed in the station as its own series,
// and can be written again.
#include <gtest/gtest.h>

#include <functional>

#include <signal.h>

#include <filesystem>
#include <fstream>
#include <algorithm>
#include <map>
#include <set>
#include <sstream>

#include "child_process.h"
#include "poll_until.h"
#include "ctl_site.h"
#include "dicom/dicom.h"
#include "dicom/dose_report.h"
#include "dicom_fixture.h"
#include "shell.h"
#include "store_scp.h"
#include "test_archive.h"
#include "test_certificates.h"

namespace corva::station::ctl::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using corva::test::StoreScp;
using corva::test::TestArchive;

const std::string Datum = "09.12.2026";

// One exposure: the image's view and the record the unit sent for it.
struct Exposure {
    const char* code;          // the unit's projection code
    const char* viewPosition;  // (0018,5101)
    const char* side;          // (0020,0062)
    const char* clock;         // hhmmss of the image; the record follows 10 s later
    const char* kvp;
    const char* mas;
    const char* mGy;
    int thickness;  // mm
    int force;      // N
    const char* seconds;  // exposure time as the unit sends it
    const char* targetFilter;
    // What the report must say.
    const char* viewCode;
    const char* lateralityCode;
};

const std::vector<Exposure> FourViews = {
    {"L-CC", "CC", "L", "081600", "28", "63", "1.23", 45, 120, "0,50", "Mo/Mo", "399162004", "7771000"},
    {"R-CC", "CC", "R", "081700", "29", "71.5", "1.4", 47, 110, "0,62", "Mo/Rh", "399162004", "24028007"},
    {"L-LMO45", "MLO", "L", "081800", "30", "80", "1.61", 52, 130, "0,7", "W/Rh", "399368009", "7771000"},
    {"R-LMO45", "MLO", "R", "081900", "31", "90", "1.9", 55, 125, "0,81", "W/Ag", "399368009", "24028007"},
};

// The left cranio-caudal view taken again: two images and two records of one projection.
const std::vector<Exposure> WithRetake = {
    FourViews[0],
    FourViews[1],
    FourViews[2],
    FourViews[3],
    {"L-CC", "CC", "L", "082000", "27", "56", "1.1", 44, 115, "0,45", "Mo/Mo", "399162004", "7771000"},
};

const std::map<std::string, std::string> Materials = {
    {"Mo", "105860002"}, {"Rh", "105877002"}, {"W", "105874009"}, {"Ag", "105847008"}};

std::string recordTime(const Exposure& e) {
    const std::string c = e.clock;
    return c.substr(0, 2) + ":" + c.substr(2, 2) + ":10";
}

// A number as the report writes it: "0,50" s -> "500".
std::string milliseconds(const std::string& seconds) {
    std::string s = seconds;
    std::replace(s.begin(), s.end(), ',', '.');
    std::ostringstream out;
    out << std::stod(s) * 1000.0;
    return out.str();
}

std::string microAmpereSeconds(const std::string& mas) {
    std::ostringstream out;
    out << std::stod(mas) * 1000.0;
    return out.str();
}

// The pydicom walk's line for the event of `e` (its UID aside), as dose_report_walk.py prints it.
std::string expectedEvent(const Exposure& e, const std::string& doseCode) {
    const std::string tf = e.targetFilter;
    const std::string target = tf.substr(0, tf.find('/')), filter = tf.substr(tf.find('/') + 1);
    const std::string c = e.clock;
    return "113764=113622|111526=20261209" + c.substr(0, 4) + "10|113721=113611|123014=76752008|272741003=" +
           e.lateralityCode + "|111031=" + e.viewCode + "|111633=" + std::to_string(e.thickness) +
           " mm|111647=" + std::to_string(e.force) + " N|" + doseCode + "=" + e.mGy + " mGy|111632=" +
           Materials.at(target) + "|113772=113653|113757=" + Materials.at(filter) + "|113733=" + e.kvp +
           " kV|113736=" + microAmpereSeconds(e.mas) + " uA.s|113824=" + milliseconds(e.seconds) + " ms";
}

struct Walk {
    std::vector<std::string> events;  // without their leading "113769=<UID>|"
    std::vector<std::string> eventUids;
    std::vector<std::string> lines;   // everything else
};

Walk walk(const fs::path& report) {
    const auto r = corva::test::runCommand({"/usr/bin/python3", CORVA_DOSE_WALK, report.string()});
    EXPECT_EQ(r.code, 0) << r.output;
    Walk w;
    std::istringstream in(r.output);
    for (std::string line; std::getline(in, line);) {
        if (!line.starts_with("event ")) {
            w.lines.push_back(line);
            continue;
        }
        std::string rest = line.substr(6);
        // The event UID sits after the acquisition plane.
        const std::string uidKey = "|113769=";
        const auto at = rest.find(uidKey);
        EXPECT_NE(at, std::string::npos) << line;
        if (at == std::string::npos) continue;
        const auto end = rest.find('|', at + 1);
        w.eventUids.push_back(rest.substr(at + uidKey.size(), end - at - uidKey.size()));
        rest.erase(at, end - at);
        w.events.push_back(rest);
    }
    return w;
}

bool contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// DCMTK reads it without a warning; dciodvfy finds no error. In UTF-8 (a text beyond
// Latin-1), DCMTK's checker says only that it cannot check that set.
void expectCleanReport(const fs::path& report, bool utf8 = false) {
    const auto dump = corva::test::runCommand({"sh", "-c", "dsrdump \"$0\" 2>&1 >/dev/null; echo \"exit $?\"",
                                               report.string()});
    EXPECT_EQ(dump.output, std::string(utf8 ? "W: The VR checker does not support this Specific Character Set: ISO_IR 192\n"
                                            : "") + "exit 0\n")
        << "dsrdump complained about " << report;
    const auto check = corva::test::runCommand({"sh", "-c", "dciodvfy \"$0\" 2>&1", report.string()});
    std::istringstream in(check.output);
    for (std::string line; std::getline(in, line);) EXPECT_FALSE(line.starts_with("Error")) << line;
}

class DoseReportTest : public ::testing::Test {
protected:
    void settings(const std::string& unitName, int quantity) {
        std::ofstream(site_.scratch() / "config" / "ZKT" / "Lumenpost.conf", std::ios::app)
            << "\n[Dose]\nUnitName=" << unitName << "\nQuantity_Sophie=" << quantity << "\n";
    }

    // Files the study's images and stores the unit's records for them.
    void takeStudy(const std::vector<Exposure>& exposures) {
        std::vector<std::string> args{"import"};
        for (std::size_t i = 0; i < exposures.size(); ++i) args.push_back(writeImage(exposures, i).string());
        const CtlResult r = site_.run(args);
        ASSERT_EQ(r.code, 0) << r.err;
        ASSERT_TRUE(site_.waitForImages(static_cast<std::int64_t>(exposures.size())));
        for (const Exposure& e : exposures) records_.push_back(addRecord(e));
    }

    std::string imageUid(std::size_t i) const { return Series + "." + std::to_string(i + 1); }

    // Forwards the study to `archive`, which stores the images and the report and never
    // answers the report, and kills corvactl there; `meanwhile` runs just before the kill.
    void killForwardingAtTheReport(const TestArchive& archive, const std::vector<std::string>& extra = {},
                                   const std::function<void()>& meanwhile = {}) {
        std::vector<std::string> argv{(site_.folder() / "corvactl").string(), "forward", "--study", Study, "--to",
                                      archive.destination(), "--no-keep"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        corva::test::ChildProcess ctl(argv, site_.site().environment(), site_.scratch() / "killed.out");
        ASSERT_TRUE(corva::test::waitUntil([&] { return archive.answers().size() == 5; }, 60s));
        if (meanwhile) meanwhile();
        ctl.signal(SIGKILL);
        ASSERT_TRUE(ctl.wait(30s).has_value());
    }

    // `adjust` changes the recipe before it is written (hostile headers).
    fs::path writeImage(const std::vector<Exposure>& exposures, std::size_t i,
                        const std::function<void(corva::test::DicomRecipe&)>& adjust = {}) {
        const Exposure& e = exposures[i];
        corva::test::DicomRecipe r;
        r.patientId = "P27";
        r.patientName = "Epsilon^Eva";
        r.studyUid = Study;
        r.seriesUid = Series;
        r.sopInstanceUid = imageUid(i);
        r.instanceNumber = static_cast<int>(i) + 1;
        r.rows = r.columns = 16;
        r.extra = {{{0x0018, 0x5101}, e.viewPosition},
                   {{0x0020, 0x0062}, e.side},
                   {{0x0008, 0x0023}, "20261209"},
                   {{0x0008, 0x0033}, e.clock}};
        if (adjust) adjust(r);
        return corva::test::writeDicom(site_.scratch() / "study" / (r.sopInstanceUid + ".dcm"), r);
    }

    std::int64_t addRecord(const Exposure& e) {
        db::Database db(site_.imageDb());
        auto st = db.prepare(
            "INSERT INTO tblDosis (KVP, ma, Zeit, Dicke, mGy, Druck, Datum, Sonstiges, Status, expZeit) "
            "VALUES (?, ?, ?, ?, ?, ?, ?, ?, '0', ?)");
        st.bind(1, e.kvp).bind(2, e.mas).bind(3, recordTime(e)).bind(4, e.thickness).bind(5, e.mGy);
        st.bind(6, e.force).bind(7, Datum);
        st.bind(8, std::string(e.targetFilter) + ",AEC,2," + e.code + ",S").bind(9, e.seconds);
        st.run();
        return db.lastInsertRowId();
    }

    std::string errorLog() const {
        std::ifstream in(site_.folder() / "Logs" / "Error.log");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    // The dose reports among the files of a folder.
    static std::vector<fs::path> reportsIn(const fs::path& folder) {
        std::vector<fs::path> found;
        std::error_code ec;
        if (!fs::is_directory(folder, ec)) return found;
        for (const fs::path& f : corva::test::filesIn(folder)) {
            const dicom::Image object = dicom::Image::read(f, dicom::ReadMode::HeaderOnly);
            if (object.sopClassUid() == dicom::XRayRadiationDoseSrClass) found.push_back(f);
        }
        return found;
    }

    // The report Ingrado filed in the station, once it did.
    std::int64_t filedReports() const {
        return site_.count("SELECT COUNT(*) FROM tblImages i JOIN tblSeries s ON i.FKeySeriesID = s.SeriesID "
                           "WHERE s.SeriesUID <> '" + Series + "'");
    }

    const std::string Study = "1.2.826.0.1.3680043.9.7731.27";
    const std::string Series = Study + ".1";
    CtlSite site_;
    std::vector<std::int64_t> records_;
    fs::path received_ = site_.scratch() / "received";
};

struct ReportCase {
    const char* name;
    const std::vector<Exposure>* exposures;
    int quantity;  // Dose\Quantity_Sophie
    const char* doseCode;
};

class DoseReportOfStudyTest : public DoseReportTest, public ::testing::WithParamInterface<ReportCase> {};

TEST_P(DoseReportOfStudyTest, AForwardedStudyArrivesWithItsDoseReport) {
    const ReportCase& c = GetParam();
    settings("Mammo Room 2", c.quantity);
    takeStudy(*c.exposures);
    fs::create_directories(received_);
    StoreScp scp(received_);
    const CtlResult r = site_.run({"forward", "--study", Study, "--to", "STORESCP@127.0.0.1:" + std::to_string(scp.port()),
                                   "--keep"});
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Sending the dose report ... OK\n"), std::string::npos) << r.out << errorLog();

    const std::vector<fs::path> reports = reportsIn(received_);
    ASSERT_EQ(reports.size(), 1u);
    expectCleanReport(reports.front());
    const Walk w = walk(reports.front());
    ASSERT_EQ(w.events.size(), c.exposures->size());
    for (const Exposure& e : *c.exposures)
        EXPECT_TRUE(contains(w.events, expectedEvent(e, c.doseCode))) << expectedEvent(e, c.doseCode);
    std::set<std::string> uids(w.eventUids.begin(), w.eventUids.end());
    EXPECT_EQ(uids.size(), c.exposures->size()) << "each exposure has its own event UID";
    EXPECT_TRUE(contains(w.lines, "sop " + std::string(dicom::XRayRadiationDoseSrClass) + " SR"));
    EXPECT_TRUE(contains(w.lines, "root 113701"));
    EXPECT_TRUE(contains(w.lines, "121013=Mammo Room 2"));
    EXPECT_TRUE(contains(w.lines, "121058=71651007|363703001=261004008"));

    const dicom::Image report = dicom::Image::read(reports.front(), dicom::ReadMode::HeaderOnly);
    EXPECT_EQ(report.studyInstanceUid(), Study);
    EXPECT_EQ(report.patientId(), "P27");
    EXPECT_NE(report.attributes().get({0x0020, 0x000E}).text, Series) << "a series of its own";

    // Filed in the station like any other object, and no image to pair when forwarding again.
    EXPECT_TRUE(corva::test::pollUntil([&] { return filedReports() == 1; }, 30000));
    const CtlResult plan = site_.run({"forward", "--study", Study, "--plan"});
    EXPECT_EQ(plan.out.find("names no projection"), std::string::npos) << plan.out;
}

const std::string EntranceExposure = "111636";
const std::string AverageGlandular = "111631";

INSTANTIATE_TEST_SUITE_P(
    Exams, DoseReportOfStudyTest,
    ::testing::Values(ReportCase{"FourViewsEntranceExposure", &FourViews, 0, "111636"},
                      ReportCase{"RetakeAverageGlandularDose", &WithRetake, 1, "111631"}),
    [](const auto& info) { return std::string(info.param.name); });

// An archive that refuses every second image: the report holds the records of the two
// it stored, never those of the refused.
TEST_F(DoseReportTest, TheReportCarriesOnlyTheRecordsOfImagesTheArchiveStored) {
    settings("Mammo Room 2", 1);
    takeStudy(FourViews);
    TestArchive archive({"--refuse-every", "2", "--refuse-status", "A900", "--comment", "Wrong SOP class"});
    const CtlResult r = site_.run({"forward", "--study", Study, "--to", archive.destination(), "--no-keep"});
    EXPECT_EQ(r.code, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("Writing the dose report of study " + Study + " ... OK (2 exposures)\n"), std::string::npos)
        << r.out;

    // The archive holds it, or, when it refused it too, the station does.
    fs::path filed;
    for (const std::string& uid : archive.held()) {
        const fs::path f = archive.fileOf(uid);
        if (dicom::Image::read(f, dicom::ReadMode::HeaderOnly).sopClassUid() == dicom::XRayRadiationDoseSrClass)
            filed = f;
    }
    if (filed.empty()) {
        ASSERT_TRUE(corva::test::pollUntil([&] { return filedReports() == 1; }, 30000));
        for (const fs::path& f : reportsIn(site_.folder() / "Images" / Study)) filed = f;
    }
    ASSERT_FALSE(filed.empty());
    expectCleanReport(filed);
    const Walk w = walk(filed);
    ASSERT_EQ(w.events.size(), 2u);
    for (std::size_t stored : {0u, 2u})
        EXPECT_TRUE(contains(w.events, expectedEvent(FourViews[stored], AverageGlandular)));
    // Both stored images are of the left breast: its accumulated dose is theirs; the right has none.
    EXPECT_TRUE(contains(w.lines, "accumulated 113764=113622|111637=2.84 mGy|272741003=80248007"))
        << ::testing::PrintToString(w.lines);
}

// corvactl dose-report writes the report again: a new instance with the same events.
TEST_F(DoseReportTest, TheReportIsWrittenAgainWithTheSameEvents) {
    settings("Mammo Room 2", 0);
    takeStudy(FourViews);
    fs::create_directories(received_);
    StoreScp scp(received_);
    const std::string to = "STORESCP@127.0.0.1:" + std::to_string(scp.port());
    ASSERT_EQ(site_.run({"forward", "--study", Study, "--to", to, "--keep"}).code, 0);
    ASSERT_TRUE(corva::test::pollUntil([&] { return filedReports() == 1; }, 30000));

    const CtlResult again = site_.run({"dose-report", "--study", Study, "--to", to});
    ASSERT_EQ(again.code, 0) << again.out << again.err;
    ASSERT_TRUE(corva::test::pollUntil([&] { return filedReports() == 2; }, 30000));
    const std::vector<fs::path> reports = reportsIn(received_);
    ASSERT_EQ(reports.size(), 2u);
    const Walk first = walk(reports[0]), second = walk(reports[1]);
    EXPECT_EQ(std::set<std::string>(first.eventUids.begin(), first.eventUids.end()),
              std::set<std::string>(second.eventUids.begin(), second.eventUids.end()));
    EXPECT_EQ(std::set<std::string>(first.events.begin(), first.events.end()),
              std::set<std::string>(second.events.begin(), second.events.end()));

    // A study without used records has no report to write.
    const CtlResult none = site_.run({"dose-report", "--study", "1.2.3.4.5.6", "--to", to});
    EXPECT_EQ(none.code, 1) << none.out << none.err;
}


// Killed while the archive held the report it never answered: the station cannot know it
// arrived, so the report sent again is that same instance, never a second report of the
// same exposures. The images stored before it stay used up, and nothing half written stays.
class KilledReportTest : public DoseReportTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(KilledReportTest, AReportSentAgainAfterAKillMidSendIsTheSameInstance) {
    settings("Mammo Room 2", 0);
    takeStudy(FourViews);
    TestArchive archive({"--hold-after", "4"});
    ASSERT_NO_FATAL_FAILURE(killForwardingAtTheReport(archive, {}, [&] {
        // A second writer meanwhile waits for the job lock, or gives up under --no-wait.
        const CtlResult second = site_.run({"--no-wait", "dose-report", "--study", Study, "--to", archive.destination()});
        EXPECT_EQ(second.code, 1) << second.out << second.err;
        EXPECT_NE(second.err.find("another job"), std::string::npos) << second.err;
    }));
    std::string held;
    for (const std::string& uid : archive.held())
        if (!uid.starts_with(Series + ".")) held = uid;
    ASSERT_FALSE(held.empty()) << "the archive took the report before the kill";
    EXPECT_EQ(archive.held().size(), 5u);
    for (std::int64_t id : records_)
        EXPECT_EQ(site_.count("SELECT COUNT(*) FROM tblDosis WHERE Status = '1' AND ID = " + std::to_string(id)), 1);
    // The check names the owed report and how to deliver it, though the study's images left.
    const CtlResult owed = site_.run({"check"});
    EXPECT_EQ(owed.code, 0) << owed.out;
    EXPECT_NE(owed.out.find("dose report owed"), std::string::npos) << owed.out;
    EXPECT_NE(owed.out.find("corvactl dose-report --study " + Study + " --patient "), std::string::npos) << owed.out;
    EXPECT_NE(owed.out.find(" --to " + archive.destination() + " "), std::string::npos) << owed.out;

    TestArchive second;
    // Written again, or the forwarding run again (its images left already, the report is what is left of it).
    const CtlResult again = site_.run({GetParam(), "--study", Study, "--to", second.destination(), "--no-keep"});
    EXPECT_EQ(again.code, 0) << again.out << again.err;
    EXPECT_EQ(second.held(), std::set<std::string>{held}) << again.out;
    const Walk first = walk(archive.fileOf(held)), resent = walk(second.fileOf(held));
    EXPECT_EQ(first.events, resent.events);
    // What the killed run left in the work folder went with the rerun.
    for (const fs::path& f : corva::test::filesIn(site_.folder() / "bin"))
        EXPECT_FALSE(f.filename().string().ends_with(".part")) << f;
    const CtlResult delivered = site_.run({"check"});
    EXPECT_EQ(delivered.code, 0) << delivered.out;
    EXPECT_EQ(delivered.out.find("dose report owed"), std::string::npos) << delivered.out;
    // Delivered: no longer owed, so a forwarding finds nothing more to send.
    const CtlResult rerun = site_.run({"forward", "--study", Study, "--to", second.destination(), "--no-keep"});
    EXPECT_EQ(rerun.code, 1) << rerun.out << rerun.err;
    EXPECT_EQ(second.held().size(), 1u);
}

// Written again without --to, an owed report follows the images to where the killed
// forwarding sent them, not to the default destination.
TEST_F(DoseReportTest, AnOwedReportWrittenAgainGoesWhereTheImagesWent) {
    settings("Mammo Room 2", 0);
    takeStudy(FourViews);
    std::string owedTo;
    {
        TestArchive archive({"--hold-after", "4"});
        owedTo = archive.destination();
        ASSERT_NO_FATAL_FAILURE(killForwardingAtTheReport(archive));
    }
    // That archive is gone now: the run says where it went and fails there.
    const CtlResult again = site_.run({"dose-report", "--study", Study});
    EXPECT_EQ(again.code, 1) << again.out << again.err;
    EXPECT_NE(again.err.find("the report goes to " + owedTo + ", where the interrupted forwarding"), std::string::npos)
        << again.err;
    // Not delivered there, it stays in the station, where it is filed like any object.
    EXPECT_NE(again.out.find("the dose report stays in the station"), std::string::npos) << again.out;
}

// The records of an owed report deleted after the kill: the report cannot be written
// any more, says so once, and is not owed for ever after.
TEST_F(DoseReportTest, AnOwedReportWhoseRecordsWereDeletedIsNoLongerOwed) {
    settings("Mammo Room 2", 0);
    takeStudy(FourViews);
    TestArchive archive({"--hold-after", "4"});
    ASSERT_NO_FATAL_FAILURE(killForwardingAtTheReport(archive));
    EXPECT_EQ(site_.count("SELECT COUNT(*) FROM tblDoseReport"), 1);
    db::Database(site_.imageDb()).exec("DELETE FROM tblDosis");
    TestArchive second;
    const CtlResult first = site_.run({"forward", "--study", Study, "--to", second.destination(), "--no-keep"});
    EXPECT_EQ(first.code, 1) << first.out << first.err;
    EXPECT_NE(first.out.find("not written: The study has no exposure record applied to an image the destination stored"),
              std::string::npos)
        << first.out;
    EXPECT_EQ(site_.count("SELECT COUNT(*) FROM tblDoseReport"), 0);
    const CtlResult again = site_.run({"forward", "--study", Study, "--to", second.destination(), "--no-keep"});
    EXPECT_EQ(again.out.find("Writing the dose report"), std::string::npos) << again.out;
    EXPECT_TRUE(second.held().empty());
}

// A destination asked for commitment: killed after the archive committed to the images
// and while it held the report. The committed images left, their records stay used, the
// report is owed; the rerun delivers it as the same instance and the station keeps a copy
// (the report is not in the commitment), and nothing stays owed or pending.
TEST_P(KilledReportTest, KilledAfterTheCommitmentTheReportIsDeliveredOnce) {
    settings("Mammo Room 2", 0);
    takeStudy(FourViews);
    TestArchive archive({"--commit", "same", "--hold-after", "4"});
    ASSERT_NO_FATAL_FAILURE(killForwardingAtTheReport(archive, {"--commitment"}));
    std::string held;
    for (const std::string& uid : archive.held())
        if (!uid.starts_with(Series + ".")) held = uid;
    ASSERT_FALSE(held.empty());
    EXPECT_EQ(archive.commitReports().size(), 1u);
    EXPECT_EQ(site_.count("SELECT COUNT(*) FROM tblImages"), 0) << "the committed images left before the report";
    for (std::int64_t id : records_)
        EXPECT_EQ(site_.count("SELECT COUNT(*) FROM tblDosis WHERE Status = '1' AND ID = " + std::to_string(id)), 1);
    const CtlResult commitments = site_.run({"commitments", "--ask-again"});
    EXPECT_EQ(commitments.code, 0) << commitments.out << commitments.err;

    TestArchive second({"--commit", "same"});
    // The forwarding asks its destination for commitment; the report alone is not asked.
    const bool forward = std::string(GetParam()) == "forward";
    std::vector<std::string> args{GetParam(), "--study", Study, "--to", second.destination(), "--no-keep"};
    if (forward) args.push_back("--commitment");
    const CtlResult again = site_.run(args);
    EXPECT_EQ(again.code, 0) << again.out << again.err;
    EXPECT_EQ(second.held(), std::set<std::string>{held}) << again.out;
    EXPECT_EQ(walk(archive.fileOf(held)).events, walk(second.fileOf(held)).events);
    if (forward) {
        ASSERT_TRUE(corva::test::pollUntil([&] { return filedReports() == 1; }, 30000));
    }
    const CtlResult check = site_.run({"check"});
    EXPECT_EQ(check.code, 0) << check.out;
    EXPECT_EQ(check.out.find("dose report owed"), std::string::npos) << check.out;
    EXPECT_EQ(check.out.find("commitment pending"), std::string::npos) << check.out;
    // Delivered: a forwarding run again finds nothing more to send.
    const CtlResult rerun =
        site_.run({"forward", "--study", Study, "--to", second.destination(), "--no-keep", "--commitment"});
    EXPECT_EQ(second.held().size(), 1u) << rerun.out;
}

INSTANTIATE_TEST_SUITE_P(Rerun, KilledReportTest, ::testing::Values("dose-report", "forward"),
                         [](const auto& info) { return std::string(info.param) == "forward" ? "Forward" : "DoseReport"; });

// The archive stores the images and then refuses, breaks off at or never gets the report:
// the images it stored leave with their records as they would without a report, and the
// forwarding's log and exit status say that the report was not delivered; it waits in
// the station.
struct LostReportCase {
    const char* name;
    std::vector<std::string> archive;
    const char* line;  // in the log, after the report's UID
};

void PrintTo(const LostReportCase& c, std::ostream* os) { *os << c.name; }

class ReportNotStoredTest : public DoseReportTest, public ::testing::WithParamInterface<LostReportCase> {};

TEST_P(ReportNotStoredTest, TheForwardingSaysTheReportWasNotDelivered) {
    const LostReportCase& c = GetParam();
    settings("Mammo Room 2", 0);
    takeStudy(FourViews);
    TestArchive archive(c.archive);
    const CtlResult r = site_.run({"forward", "--study", Study, "--to", archive.destination(), "--no-keep"});
    EXPECT_NE(r.out.find("4 of 4 images successfully sent.\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(c.line), std::string::npos) << r.out;
    EXPECT_EQ(r.code, 1) << "the report was not delivered: " << r.out << r.err;
    std::set<std::string> images;
    for (std::size_t i = 0; i < FourViews.size(); ++i) images.insert(imageUid(i));
    EXPECT_EQ(archive.held(), images);
    for (std::int64_t id : records_)
        EXPECT_EQ(site_.count("SELECT COUNT(*) FROM tblDosis WHERE Status = '1' AND ID = " + std::to_string(id)), 1);
    EXPECT_TRUE(corva::test::pollUntil([&] { return filedReports() == 1; }, 30000));
    EXPECT_EQ(site_.count("SELECT COUNT(*) FROM tblImages"), 1) << "the stored images left, the report stays";
}

INSTANTIATE_TEST_SUITE_P(
    Archive, ReportNotStoredTest,
    ::testing::Values(LostReportCase{"RefusesTheReport", {"--status-for", "5=A700"}, "refused by the destination (status A700)"},
                      LostReportCase{"AbortsAtTheReport", {"--abort-after", "4"}, "could not be sent"},
                      LostReportCase{"ClosesAtTheReport", {"--close-after", "4"}, "could not be sent"}),
    [](const auto& info) { return std::string(info.param.name); });

// Two patients' images under one study UID (a modality reusing it): each forwarding's
// report carries the exposures of its own patient only, or none is written.
TEST_F(DoseReportTest, AStudyUidSharedByTwoPatientsNeverMixesTheirExposures) {
    settings("Mammo Room 2", 0);
    const std::vector<Exposure> first = {FourViews[0], FourViews[1]};
    takeStudy(first);
    TestArchive archive;
    const CtlResult r1 = site_.run({"forward", "--study", Study, "--to", archive.destination(), "--no-keep"});
    ASSERT_EQ(r1.code, 0) << r1.out << r1.err;
    ASSERT_TRUE(site_.waitForImages(0));

    // The second patient, same study UID, other images and records.
    std::vector<std::string> args{"import"};
    const std::vector<Exposure> second = {FourViews[2], FourViews[3]};
    for (std::size_t i = 0; i < second.size(); ++i) {
        const Exposure& e = second[i];
        corva::test::DicomRecipe rec;
        rec.patientId = "P28";
        rec.patientName = "Zeta^Zora";
        rec.studyUid = Study;
        rec.seriesUid = Series + ".2";
        rec.sopInstanceUid = Series + ".2." + std::to_string(i + 1);
        rec.instanceNumber = static_cast<int>(i) + 1;
        rec.rows = rec.columns = 16;
        rec.extra = {{{0x0018, 0x5101}, e.viewPosition},
                     {{0x0020, 0x0062}, e.side},
                     {{0x0008, 0x0023}, "20261209"},
                     {{0x0008, 0x0033}, e.clock}};
        args.push_back(corva::test::writeDicom(site_.scratch() / "study2" / (rec.sopInstanceUid + ".dcm"), rec).string());
    }
    ASSERT_EQ(site_.run(args).code, 0);
    ASSERT_TRUE(site_.waitForImages(2));
    for (const Exposure& e : second) records_.push_back(addRecord(e));
    const CtlResult r2 = site_.run({"forward", "--study", Study, "--to", archive.destination(), "--no-keep"});
    EXPECT_NE(r2.out.find("2 of 2 images successfully sent.\n"), std::string::npos) << r2.out << r2.err;

    // Each report the archive holds names one patient and only that patient's images.
    for (const std::string& uid : archive.held()) {
        const dicom::Image object = dicom::Image::read(archive.fileOf(uid), dicom::ReadMode::Full);
        if (object.sopClassUid() != dicom::XRayRadiationDoseSrClass) continue;
        const std::string patient = object.patientId();
        const auto dump = corva::test::runCommand({"dsrdump", "-Ph", archive.fileOf(uid).string()});
        // The second patient's images are <Series>.2.<n>; the first's <Series>.<n>.
        std::istringstream in(dump.output);
        for (std::string line; std::getline(in, line);)
            if (patient == "P27" && line.find(Series + ".2.") != std::string::npos)
                ADD_FAILURE() << "the report of P27 names an image of P28: " << line;
        const Walk w = walk(archive.fileOf(uid));
        EXPECT_EQ(w.events.size(), 2u) << patient << " gets the events of its own two images";
    }

    // Written again: refused until the patient is named, then that patient's alone.
    TestArchive again;
    const CtlResult mixed = site_.run({"dose-report", "--study", Study, "--to", again.destination(), "--no-keep"});
    EXPECT_EQ(mixed.code, 1) << mixed.out << mixed.err;
    EXPECT_NE(mixed.out.find("more than one patient (P27, P28)"), std::string::npos) << mixed.out;
    EXPECT_TRUE(again.held().empty());
    const CtlResult own = site_.run({"dose-report", "--study", Study, "--patient", "P28", "--to", again.destination(),
                                     "--no-keep"});
    EXPECT_EQ(own.code, 0) << own.out << own.err;
    ASSERT_EQ(again.held().size(), 1u);
    const fs::path report = again.fileOf(*again.held().begin());
    EXPECT_EQ(dicom::Image::read(report, dicom::ReadMode::HeaderOnly).patientId(), "P28");
    EXPECT_EQ(walk(report).events.size(), 2u);
    expectCleanReport(report);
}


// Hostile values in the record of the left cranio-caudal image (or in the image): the
// report is clean in dsrdump and dciodvfy and says nothing it cannot vouch for (no
// material not named, no negative quantity), or the forwarding refuses with a message
// and loses nothing.
struct HostileCase {
    const char* name;
    std::map<std::string, std::string> record;  // tblDosis column -> text, over the exposure's
    std::string patientName;                    // of the images; empty: the usual
    std::vector<std::string> absent;            // never in the report's event of the record
    // Over every image's header (a study value) or, with `firstOnly`, the first image's.
    std::vector<std::pair<dicom::Tag, std::string>> header = {};
    bool firstOnly = false;
    std::string unitName = "Mammo Room 2";  // as the options window sets it
};

void PrintTo(const HostileCase& c, std::ostream* os) { *os << c.name; }

class HostileRecordTest : public DoseReportTest, public ::testing::WithParamInterface<HostileCase> {};

TEST_P(HostileRecordTest, TheReportIsCleanOrRefused) {
    const HostileCase& c = GetParam();
    settings(c.unitName, 1);
    std::vector<std::string> args{"import"};
    for (std::size_t i = 0; i < FourViews.size(); ++i)
        args.push_back(writeImage(FourViews, i, [&](corva::test::DicomRecipe& rec) {
                           if (!c.patientName.empty()) {
                               rec.patientName = c.patientName;
                               rec.characterSet = "ISO_IR 192";
                           }
                           if (i == 0 || !c.firstOnly) rec.extra.insert(rec.extra.end(), c.header.begin(), c.header.end());
                       }).string());
    ASSERT_EQ(site_.run(args).code, 0);
    ASSERT_TRUE(site_.waitForImages(4));
    for (std::size_t i = 0; i < FourViews.size(); ++i) {
        const std::int64_t id = addRecord(FourViews[i]);
        records_.push_back(id);
        if (i != 0) continue;
        db::Database db(site_.imageDb());
        for (const auto& [column, text] : c.record) {
            ASSERT_TRUE(column.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ") == std::string::npos);
            auto st = db.prepare("UPDATE tblDosis SET " + column + " = ? WHERE ID = ?");
            st.bind(1, text).bind(2, id);
            st.run();
        }
    }
    TestArchive archive;
    const CtlResult r = site_.run({"forward", "--study", Study, "--to", archive.destination(), "--no-keep"});
    fs::path report;
    for (const std::string& uid : archive.held())
        if (!uid.starts_with(Series + ".")) report = archive.fileOf(uid);
    if (report.empty()) {
        // Refused: said so, and every image still in the station with its record waiting.
        EXPECT_NE(r.code, 0) << r.out;
        EXPECT_FALSE((r.out + r.err).empty());
        EXPECT_EQ(site_.count("SELECT COUNT(*) FROM tblImages"), 4) << r.out << r.err;
        return;
    }
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    expectCleanReport(report, c.patientName.find("\xc4") != std::string::npos);
    if (!c.patientName.empty()) {
        EXPECT_EQ(dicom::Image::read(report, dicom::ReadMode::HeaderOnly).patientName(), c.patientName);
    }
    const Walk w = walk(report);
    ASSERT_EQ(w.events.size(), 4u);
    std::string hostile;
    for (const std::string& event : w.events)
        if (event.find("|111031=399162004|") != std::string::npos && event.find("272741003=7771000") != std::string::npos)
            hostile = event;
    ASSERT_FALSE(hostile.empty()) << ::testing::PrintToString(w.events);
    for (const std::string& text : c.absent) EXPECT_EQ(hostile.find(text), std::string::npos) << text << " in " << hostile;
    if (c.unitName.starts_with("Mammographie")) {
        EXPECT_TRUE(contains(w.lines, "121013=" + c.unitName)) << ::testing::PrintToString(w.lines);
    }
    // The other events are as the unit sent them.
    for (std::size_t i = 1; i < FourViews.size(); ++i)
        EXPECT_TRUE(contains(w.events, expectedEvent(FourViews[i], AverageGlandular))) << i;
}

INSTANTIATE_TEST_SUITE_P(
    Values, HostileRecordTest,
    ::testing::Values(
        HostileCase{"UnknownTargetAndFilter", {{"Sonstiges", "Xx/Yy,AEC,2,L-CC,S"}}, {}, {"111632=", "113757="}},
        HostileCase{"NoTargetAndFilter", {{"Sonstiges", ",AEC,2,L-CC,S"}}, {}, {"111632=", "113757="}},
        HostileCase{"LongTargetText", {{"Sonstiges", std::string(200, 'M') + "/Rh,AEC,2,L-CC,S"}}, {}, {"111632="}},
        HostileCase{"NonAsciiTarget", {{"Sonstiges", "M\xc3\xb6/Rh,AEC,2,L-CC,S"}}, {}, {"111632="}},
        HostileCase{"VoltageNotANumber", {{"KVP", "abc"}}, {}, {"113733="}},
        HostileCase{"NegativeVoltage", {{"KVP", "-28"}}, {}, {"113733=-"}},
        HostileCase{"NegativeCurrentTime", {{"ma", "-63"}}, {}, {"113736=-"}},
        HostileCase{"NoDose", {{"mGy", ""}}, {}, {"111631="}},
        HostileCase{"NegativeDose", {{"mGy", "-1.23"}}, {}, {"111631=-"}},
        HostileCase{"NegativeExposureTime", {{"expZeit", "-0,5"}}, {}, {"113824=-"}},
        HostileCase{"NegativeThicknessAndForce", {{"Dicke", "-45"}, {"Druck", "-120"}}, {}, {"111633=-", "111647=-"}},
        HostileCase{"ImpossibleDate", {{"Datum", "31.02.2026"}}, {}, {"111526="}},
        HostileCase{"ImpossibleTime", {{"Zeit", "25:61:00"}}, {}, {"111526=20261209256100"}},
        HostileCase{"NoSideOnTheImage", {}, {}, {}, {{{0x0020, 0x0062}, ""}}, true},
        HostileCase{"OddViewOnTheImage", {}, {}, {}, {{{0x0018, 0x5101}, "XCCL"}}, true},
        HostileCase{"UnknownViewOnTheImage", {}, {}, {}, {{{0x0018, 0x5101}, "ZZ"}}, true},
        HostileCase{"ImpossibleStudyDateAndTime", {}, {}, {}, {{{0x0008, 0x0020}, "20261399"}, {{0x0008, 0x0030}, "256199"}}},
        HostileCase{"ImpossibleBirthDate", {}, {}, {}, {{{0x0010, 0x0030}, "19601301"}}},
        HostileCase{"LongAccessionNumber", {}, {}, {}, {{{0x0008, 0x0050}, "ACC-0123456789-0123456789"}}},
        HostileCase{"LongUnitName", {}, {}, {}, {}, false, std::string(300, 'U')},
        HostileCase{"UnitNameBeyondAscii", {}, {}, {}, {}, false, "Mammographie Z\xc3\xbcrich"},
        HostileCase{"UnitNameWithMarks", {}, {}, {}, {}, false, "Mammo \"R\\2\"=<&>; Z\xc3\xbcrich"},
        HostileCase{"PatientNameInLatin1", {}, "M\xc3\xbcller-O'Brien^Zo\xc3\xab^^Dr.", {}},
        HostileCase{"PatientNameBeyondLatin1", {}, "\xc3\x9c" "nal^\xc3\x87" "a\xc4\x9f" "la", {}}),
    [](const auto& info) { return std::string(info.param.name); });


// A destination of the list reached over TLS: the report goes the way the images went,
// never in plain DICOM to the archive's TLS port.
TEST_F(DoseReportTest, TheReportGoesOverTlsLikeTheImages) {
    settings("Mammo Room 2", 0);
    takeStudy(FourViews);
    corva::test::TestCertificates certs;
    fs::create_directories(received_);
    StoreScp scp(received_, certs.dcmtkOptions("server"), "ARCHIVE", certs.files("client"));
    {
        db::Database userDb(site_.userDb());
        auto st = userDb.prepare("INSERT INTO tblSCP (Alias, AET, IP, Port) VALUES ('Secure', 'ARCHIVE', '127.0.0.1', ?)");
        st.bind(1, scp.port());
        st.run();
        const std::string key = std::to_string(userDb.lastInsertRowId()) + "_";
        site_.site().writeSettings(site_.site().aeTitle(), std::to_string(site_.site().port()),
                                   {"[SCP_TLS]", key + "Use=1", key + "CAFile=" + certs.ca().string(),
                                    key + "CertFile=" + certs.certificate("client").string(),
                                    key + "KeyFile=" + certs.key("client").string()});
    }
    settings("Mammo Room 2", 0);
    const CtlResult r = site_.run({"forward", "--study", Study, "--to", "secure", "--no-keep"});
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Sending the dose report ... OK\n"), std::string::npos) << r.out << errorLog();
    const std::vector<fs::path> reports = reportsIn(received_);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(walk(reports.front()).events.size(), 4u);
}

}  // namespace
}  // namespace corva::station::ctl::test
