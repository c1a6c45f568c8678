// The send jobs against an archive that answers with warnings, refuses images, breaks
// off the association or stalls (corva_test_archive): what the archive holds, what the
// station removes, what the job log tells, and that the association is let go.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "core/error.h"
#include "dicom/dicom.h"
#include "dicom_fixture.h"
#include "jobs/consistency_check.h"
#include "jobs/send_jobs.h"
#include "station/recording_report.h"
#include "shell.h"
#include "station_test_support.h"
#include "test_archive.h"

namespace fs = std::filesystem;
using namespace corva::station;
using namespace corva::station::jobs;
using corva::station::test::RecordingReport;
using corva::test::TestArchive;
using Lines = std::vector<std::string>;

namespace {

// Seconds the job waits for each answer: short, so that a stalling archive ends the test soon.
constexpr int AnswerWait = 2;

class SendToArchiveTest : public corva::station::test::StationTest {
protected:
    void SetUp() override {
        StationTest::SetUp();
        fs::create_directories(stationContext().paths.workFolder);
    }
    void TearDown() override {
        archive_.reset();
        StationTest::TearDown();
    }
    TestArchive& startArchive(std::vector<std::string> options = {}) {
        archive_ = std::make_unique<TestArchive>(std::move(options));
        return *archive_;
    }
    SendSetup setup(std::int64_t patient, const StudyRows* study, std::int64_t series, bool keep) const {
        SendSetup s;
        s.target = JobTarget{stationContext().paths, {}};
        s.target.selection.patientKey = patient;
        s.target.selection.patientId = "ID1";
        s.target.selection.patientName = "Alpha^A";
        if (study) {
            s.target.selection.studyId = std::to_string(study->key);
            s.target.selection.studyUid = study->uid;
        }
        if (series) s.target.selection.seriesId = std::to_string(series);
        s.destination = Destination{archive_->aet(), "127.0.0.1", std::to_string(archive_->port()), "LUMENPOST",
                                    AnswerWait};
        s.keep = keep;
        return s;
    }
    // The converted file of an image waiting in the work folder.
    void convert(const StudyRows& s, const std::string& uid) {
        corva::test::DicomRecipe recipe;
        recipe.studyUid = s.uid;
        recipe.sopInstanceUid = uid;
        recipe.sopClassUid = corva::dicom::uid::DigitalMammographyForPresentation;
        recipe.modality = "MG";
        corva::test::writeDicom(stationContext().paths.workFolder / (uid + ".dcm"), recipe);
    }
    std::set<std::string> filed() const {
        std::set<std::string> uids;
        auto db = openImageDb();
        auto st = db.prepare("SELECT ImageUID FROM tblImages");
        while (st.step()) uids.insert(st.getText(0));
        return uids;
    }
    // Rows and files of the image store match one to one.
    void expectRowsMatchFiles() const {
        const CheckReport report = checkConsistency(stationContext().paths);
        EXPECT_EQ(report.count(CheckFinding::Kind::RowWithoutFile), 0u) << report.summary();
        EXPECT_EQ(report.count(CheckFinding::Kind::FileWithoutRow), 0u) << report.summary();
    }
    // The archive takes a new association and answers an echo: the job let its own go.
    void expectArchiveFree() const {
        corva::dicom::Association a;
        EXPECT_NO_THROW({
            a.open("127.0.0.1", archive_->port(), "CHECK", archive_->aet(), {}, 5, 5);
            a.echo();
        });
    }

    std::unique_ptr<TestArchive> archive_;
};

// One case: how the archive behaves with a series of four images sent without keep.
struct ArchiveCase {
    const char* name;
    std::vector<std::string> options;
    std::vector<std::string> answers;  // the archive's log, one answer per object received
    std::set<int> held;                // which images (0-based) the archive holds afterwards
    std::set<int> removed;             // which the station gave up
    // The lines between "Sending Series ... OK" and the summary, with <n> for image n's UID.
    Lines notes;
};

void PrintTo(const ArchiveCase& c, std::ostream* os) { *os << c.name; }

// The error lines dciodvfy prints for a file.
std::set<std::string> verifierErrors(const fs::path& file) {
    std::set<std::string> errors;
    std::istringstream out(corva::test::runCommand({"dciodvfy", file.string()}).output);
    for (std::string line; std::getline(out, line);)
        if (line.starts_with("Error")) errors.insert(line);
    return errors;
}

std::string withUids(std::string line, const std::vector<std::string>& uids) {
    for (std::size_t i = 0; i < uids.size(); ++i) {
        const std::string mark = "<" + std::to_string(i) + ">";
        for (auto at = line.find(mark); at != std::string::npos; at = line.find(mark)) line.replace(at, mark.size(), uids[i]);
    }
    return line;
}

const std::string BrokeOff = ": the transfer broke off (see the error log)";
const std::string NotTried = ": not tried, the connection to the destination was lost";

const ArchiveCase Cases[] = {
    {"AllStored", {}, {"0000", "0000", "0000", "0000"}, {0, 1, 2, 3}, {0, 1, 2, 3}, {}},
    {"CoercedB000",
     {"--warn", "B000", "--comment", "Patient name coerced"},
     {"B000", "B000", "B000", "B000"},
     {0, 1, 2, 3},
     {},
     {"Stored with warning B000 (Patient name coerced): <0>; the original stays",
      "Stored with warning B000 (Patient name coerced): <1>; the original stays",
      "Stored with warning B000 (Patient name coerced): <2>; the original stays",
      "Stored with warning B000 (Patient name coerced): <3>; the original stays"}},
    {"ElementsDiscardedB006OnOne",
     {"--status-for", "3=B006", "--comment", "Private elements discarded"},
     {"0000", "0000", "B006", "0000"},
     {0, 1, 2, 3},
     {0, 1, 3},
     {"Stored with warning B006 (Private elements discarded): <2>; the original stays"}},
    {"NoMatchB007WithoutComment",
     {"--status-for", "1=B007"},
     {"B007", "0000", "0000", "0000"},
     {0, 1, 2, 3},
     {1, 2, 3},
     {"Stored with warning B007: <0>; the original stays"}},
    {"RefusesEverySecondA700",
     {"--refuse-every", "2", "--refuse-status", "A700", "--comment", "Out of space"},
     {"0000", "A700", "0000", "A700"},
     {0, 2},
     {0, 2},
     {"Not sent: <1>: refused by the destination (status A700) (Out of space)",
      "Not sent: <3>: refused by the destination (status A700) (Out of space)"}},
    {"RefusesOneA900AndOneC000",
     {"--status-for", "2=A900", "--status-for", "4=C000"},
     {"0000", "A900", "0000", "C000"},
     {0, 2},
     {0, 2},
     {"Not sent: <1>: refused by the destination (status A900)",
      "Not sent: <3>: refused by the destination (status C000)"}},
    // Broken off: the send is repeated whole, so nothing goes, not even what was stored.
    {"AbortsMidTransfer",
     {"--abort-after", "1"},
     {"0000", "abort"},
     {0},
     {},
     {"Not sent: <1>" + BrokeOff, "Not sent: <2>" + NotTried, "Not sent: <3>" + NotTried}},
    {"AsksForReleaseInsteadOfAnswering",
     {"--release-after", "2"},
     {"0000", "0000", "release"},
     {0, 1},
     {},
     {"Not sent: <2>" + BrokeOff, "Not sent: <3>" + NotTried}},
    {"ClosesTheConnection",
     {"--close-after", "1"},
     {"0000", "close"},
     {0},
     {},
     {"Not sent: <1>" + BrokeOff, "Not sent: <2>" + NotTried, "Not sent: <3>" + NotTried}},
    {"StallsWithoutAnswer",
     {"--stall-after", "1"},
     {"0000", "stall"},
     {0},
     {},
     {"Not sent: <1>" + BrokeOff, "Not sent: <2>" + NotTried, "Not sent: <3>" + NotTried}},
};

class SeriesToArchiveTest : public SendToArchiveTest, public ::testing::WithParamInterface<ArchiveCase> {};

TEST_P(SeriesToArchiveTest, RemovesExactlyWhatTheArchiveStoredWithFullSuccessAndNamesTheRest) {
    const ArchiveCase& c = GetParam();
    startArchive(c.options);
    const auto p = addPatient("ID1", "Alpha", "A");
    const StudyRows s = addStudyWithImages(p, 1, 4);
    std::map<std::string, std::set<std::string>> originalErrors;
    for (const std::string& uid : s.images) originalErrors[uid] = verifierErrors(folder_->images() / s.uid / (uid + ".dcm"));
    const auto st = setup(p, &s, s.series[0], false);
    SendJob job(SendJob::Level::Series, st, openDestination(st.destination));
    RecordingReport r;
    const JobOutcome outcome = job.run(r);
    job.windowClosed();

    // What the archive was sent and answered: nothing after the break.
    std::vector<std::string> answered;
    for (const auto& [uid, answer] : archive_->answers()) answered.push_back(answer);
    EXPECT_EQ(answered, c.answers);
    std::set<std::string> held;
    for (int i : c.held) held.insert(s.images[static_cast<std::size_t>(i)]);
    EXPECT_EQ(archive_->held(), held);
    // The archive's files are what was sent: dciodvfy finds in them what it finds in the
    // originals (the fixture's CR images lack some type 2 attributes), nothing more.
    for (const std::string& uid : archive_->held())
        EXPECT_EQ(verifierErrors(archive_->fileOf(uid)), originalErrors[uid]) << uid;

    // What the station gave up: exactly the images stored with 0000, and only when
    // every image was answered.
    std::set<std::string> left;
    for (std::size_t i = 0; i < s.images.size(); ++i)
        if (!c.removed.count(static_cast<int>(i))) left.insert(s.images[i]);
    EXPECT_EQ(filed(), left);
    for (std::size_t i = 0; i < s.images.size(); ++i)
        EXPECT_EQ(fs::exists(folder_->images() / s.uid / (s.images[i] + ".dcm")), left.count(s.images[i]) == 1) << i;
    expectRowsMatchFiles();

    const int sent = static_cast<int>(c.held.size());
    Lines expected{"Sending Series ... OK"};
    for (const std::string& note : c.notes) expected.push_back(withUids(note, s.images));
    expected.push_back(std::to_string(sent) + " of 4 images successfully sent.");
    // The removal runs when every image was answered and one was stored with 0000.
    if (c.answers.size() == 4 && !c.removed.empty()) {
        expected.push_back("Updating Database ... OK");
        expected.push_back("Removing images ... OK");
    }
    expected.push_back("Tasks done!");
    EXPECT_EQ(r.lines(), expected);
    EXPECT_EQ(outcome.complete, sent == 4);
    EXPECT_EQ(outcome.failures, 4 - sent);
    EXPECT_EQ(job.removedAfterSend(), c.removed.size() == 4);
    expectArchiveFree();
}

INSTANTIATE_TEST_SUITE_P(Archive, SeriesToArchiveTest, ::testing::ValuesIn(Cases),
                         [](const auto& info) { return std::string(info.param.name); });

// A patient send whose archive breaks off in the first study visits no further study:
// it names that study's images and the study left, and removes nothing.
TEST_F(SendToArchiveTest, PatientSendBrokenOffInTheFirstStudyLeavesTheRestUnvisited) {
    startArchive({"--abort-after", "1"});
    const auto p = addPatient("ID1", "Alpha", "A");
    const StudyRows a = addStudyWithImages(p, 1, 2);
    const StudyRows b = addStudyWithImages(p, 1, 2);
    for (const StudyRows* s : {&a, &b})
        for (const auto& uid : s->images) convert(*s, uid);
    const auto st = setup(p, nullptr, 0, false);
    SendJob job(SendJob::Level::Patient, st, openDestination(st.destination));
    RecordingReport r;
    EXPECT_FALSE(job.run(r).complete);
    job.windowClosed();
    // The work folder's files go in name order.
    std::vector<std::string> order = a.images;
    std::sort(order.begin(), order.end());
    EXPECT_EQ(r.lines(), (Lines{"Send studies of patient: Alpha^A", "Study: " + a.uid, "Sending study ... OK",
                                "Not sent: " + order[1] + BrokeOff,
                                "Not sent: study " + b.uid + " (2 images): the connection to the destination was lost",
                                "1 of 4 images successfully sent.",
                                "Removing database entries ... skipped (not all files send)", "Tasks done!"}));
    EXPECT_EQ(archive_->answers().size(), 2u);
    EXPECT_EQ(countRows("tblImages"), 4);
    expectRowsMatchFiles();
    expectArchiveFree();
}

// Cancels once the first image has gone.
class CancellingReport : public RecordingReport {
public:
    void setProgress(double v) override {
        RecordingReport::setProgress(v);
        if (v == 1) requestCancel();
    }
};

// A cancelled patient send names the images it did not send and the studies it never
// visited, ends incomplete and removes nothing.
TEST_F(SendToArchiveTest, CancelledPatientSendNamesWhatItNeverSent) {
    startArchive();
    const auto p = addPatient("ID1", "Alpha", "A");
    const StudyRows a = addStudyWithImages(p, 1, 2);
    const StudyRows b = addStudyWithImages(p, 1, 3);
    for (const StudyRows* s : {&a, &b})
        for (const auto& uid : s->images) convert(*s, uid);
    const auto st = setup(p, nullptr, 0, false);
    SendJob job(SendJob::Level::Patient, st, openDestination(st.destination));
    CancellingReport r;
    const JobOutcome outcome = job.run(r);
    job.windowClosed();
    std::vector<std::string> order = a.images;
    std::sort(order.begin(), order.end());
    EXPECT_EQ(r.lines(), (Lines{"Send studies of patient: Alpha^A", "Study: " + a.uid, "Sending study ... OK",
                                "Not sent: " + order[1] + ": the send was cancelled",
                                "Not sent: study " + b.uid + " (3 images): the send was cancelled",
                                "1 of 5 images successfully sent.",
                                "Removing database entries ... skipped (not all files send)", "Tasks done!"}));
    EXPECT_FALSE(outcome.complete);
    EXPECT_EQ(outcome.failures, 4);
    EXPECT_EQ(archive_->held(), (std::set<std::string>{order[0]}));
    EXPECT_EQ(countRows("tblImages"), 5);
    expectRowsMatchFiles();
    expectArchiveFree();
}

}  // namespace
