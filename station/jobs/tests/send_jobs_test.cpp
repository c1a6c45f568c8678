// Sending series, studies and patients to storescp: what arrives, the counters, the log
// lines and what is removed afterwards.
#include <gtest/gtest.h>

#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <algorithm>
#include <functional>
#include <memory>
#include <set>
#include <sstream>

#include "core/error.h"
#include "dicom_fixture.h"
#include "jobs/edit_form.h"
#include "jobs/send_jobs.h"
#include "station/recording_report.h"
#include "shell.h"
#include "station_test_support.h"
#include "store_scp.h"
#include "temp_dir.h"
#include "test_certificates.h"

namespace fs = std::filesystem;
using namespace corva::station;
using namespace corva::station::jobs;
using corva::station::test::RecordingReport;
using corva::test::filesIn;
using corva::test::StoreScp;
using Lines = std::vector<std::string>;

namespace {

// The data set of a file as dcmdump prints it, without the file meta information.
std::string dataSetDump(const fs::path& file) {
    std::istringstream dump(corva::test::dcmdump(file, "-q +L +U8"));
    std::string out;
    for (std::string line; std::getline(dump, line);)
        if (line.rfind("(0002,", 0) != 0 && line[0] != '#') out += line + "\n";
    return out;
}

class SendJobsTest : public corva::station::test::StationTest {
protected:
    void SetUp() override {
        StationTest::SetUp();
        fs::create_directories(stationContext().paths.workFolder);
        inbox_ = std::make_unique<corva::test::TempDir>("inbox");
    }
    void TearDown() override {
        scp_.reset();
        inbox_.reset();
        StationTest::TearDown();
    }
    void startScp(std::vector<std::string> extra = {}) { scp_ = std::make_unique<StoreScp>(inbox_->path(), extra); }

    using Study = StudyRows;
    // With `converted`, every image also has its converted file in the work folder.
    Study makeStudy(std::int64_t patient, int seriesCount, int perSeries, bool converted) {
        const Study s = addStudyWithImages(patient, seriesCount, perSeries);
        if (converted)
            for (const auto& uid : s.images) convert(s, uid);
        return s;
    }
    // The converted file of an image waiting in the work folder.
    void convert(const Study& s, const std::string& uid) {
        corva::test::DicomRecipe recipe;
        recipe.studyUid = s.uid;
        recipe.sopInstanceUid = uid;
        recipe.sopClassUid = corva::dicom::uid::DigitalMammographyForPresentation;
        recipe.modality = "MG";
        corva::test::writeDicom(stationContext().paths.workFolder / (uid + ".dcm"), recipe);
    }
    SendSetup setup(std::int64_t patient, const std::string& name, const Study* study, std::int64_t series, bool keep,
                    const std::string& aet = "STORESCP") {
        SendSetup s;
        s.target = JobTarget{stationContext().paths, {}};
        s.target.selection.patientKey = patient;
        s.target.selection.patientId = "ID1";
        s.target.selection.patientName = name;
        if (study) {
            s.target.selection.studyId = std::to_string(study->key);
            s.target.selection.studyUid = study->uid;
        }
        if (series) s.target.selection.seriesId = std::to_string(series);
        s.destination = Destination{aet, "127.0.0.1", std::to_string(scp_ ? scp_->port() : corva::test::freePort()),
                                    "LUMENPOST"};
        s.keep = keep;
        return s;
    }
    std::unique_ptr<corva::dicom::Association> check(const SendSetup& s) { return openDestination(s.destination); }

    std::unique_ptr<corva::test::TempDir> inbox_;
    std::unique_ptr<StoreScp> scp_;
};

TEST_F(SendJobsTest, SeriesArrivesUnchangedAndKeepLeavesItInPlace) {
    startScp();
    const auto p = addPatient("ID1", "Alpha", "A");
    const Study s = makeStudy(p, 2, 3, false);
    const auto st = setup(p, "Alpha^A", &s, s.series[0], true);
    SendJob job(SendJob::Level::Series, st, check(st));
    RecordingReport r;
    EXPECT_TRUE(job.run(r).complete);
    job.windowClosed();
    EXPECT_EQ(r.lines(), (Lines{"Sending Series ... OK", "3 of 3 images successfully sent.", "Tasks done!"}));
    EXPECT_EQ(job.imagesSent(), 3);
    EXPECT_FALSE(job.removedAfterSend());
    const auto files = filesIn(inbox_->path());
    ASSERT_EQ(files.size(), 3u);
    for (const auto& f : files) {
        const std::string uid = f.filename().string().substr(3);  // storescp names them "<modality>.<uid>"
        const fs::path original = folder_->images() / s.uid / (uid + ".dcm");
        ASSERT_TRUE(fs::exists(original)) << f;
        EXPECT_EQ(dataSetDump(f), dataSetDump(original));
    }
    EXPECT_EQ(countRows("tblImages"), 6);
}

TEST_F(SendJobsTest, SeriesSentWithoutKeepRemovesExactlyThatSeries) {
    startScp();
    const auto p = addPatient("ID1", "Alpha", "A");
    const Study s = makeStudy(p, 2, 2, false);
    const auto st = setup(p, "Alpha^A", &s, s.series[1], false);
    SendJob job(SendJob::Level::Series, st, check(st));
    RecordingReport r;
    job.run(r);
    job.windowClosed();
    EXPECT_EQ(r.lines(), (Lines{"Sending Series ... OK", "2 of 2 images successfully sent.",
                                "Updating Database ... OK", "Removing images ... OK", "Tasks done!"}));
    EXPECT_TRUE(job.removedAfterSend());
    EXPECT_EQ(countRows("tblImages"), 2);
    EXPECT_EQ(countRows("tblSeries"), 1);
    EXPECT_TRUE(fs::exists(folder_->images() / s.uid / (s.images[0] + ".dcm")));
    EXPECT_FALSE(fs::exists(folder_->images() / s.uid / (s.images[2] + ".dcm")));
}

// A file of the series gone from the store, or cut short (a copy broken off) before the
// job or while it sends the files before it (after the job read it ahead), is found
// before any of it goes out: it counts as not sent, the files after it still go and
// nothing is removed.
struct DamagedFile {
    enum Damage { Deleted, CutShort, CutWhileSending };
    const char* name;
    Damage damage;
    const char* logged;
};

// Calls `then` once the first image has gone.
class AfterFirstImageReport : public RecordingReport {
public:
    explicit AfterFirstImageReport(std::function<void()> then) : then_(std::move(then)) {}
    void setProgress(double v) override {
        RecordingReport::setProgress(v);
        if (v == 1 && then_) then_();
    }

private:
    std::function<void()> then_;
};

class DamagedFileSendTest : public SendJobsTest, public ::testing::WithParamInterface<DamagedFile> {};

TEST_P(DamagedFileSendTest, CountsAsNotSentAndRemovesNothing) {
    const DamagedFile& c = GetParam();
    startScp();
    const auto p = addPatient("ID1", "Alpha", "A");
    const Study s = makeStudy(p, 1, 3, false);
    const fs::path damaged = folder_->images() / s.uid / (s.images[1] + ".dcm");
    corva::test::TempDir scratch("cut");
    corva::test::DicomRecipe recipe;
    recipe.studyUid = s.uid;
    recipe.sopInstanceUid = s.images[1];
    recipe.rows = 1024;  // 2 MB of pixel data: read from the file while it is sent
    recipe.columns = 1024;
    const fs::path whole = corva::test::writeDicom(scratch.path() / "whole.dcm", recipe);
    const auto cut = [&] { corva::test::writeTruncatedCopy(whole, damaged, 4096); };
    switch (c.damage) {
        case DamagedFile::Deleted: fs::remove(damaged); break;
        case DamagedFile::CutShort: cut(); break;
        case DamagedFile::CutWhileSending: fs::copy_file(whole, damaged, fs::copy_options::overwrite_existing); break;
    }
    const auto st = setup(p, "Alpha^A", &s, s.series[0], false);
    SendJob job(SendJob::Level::Series, st, check(st));
    AfterFirstImageReport r(c.damage == DamagedFile::CutWhileSending ? std::function<void()>(cut) : nullptr);
    EXPECT_FALSE(job.run(r).complete);
    job.windowClosed();
    EXPECT_EQ(r.lines(), (Lines{"Sending Series ... OK",
                                "Not sent: " + s.images[1] + ": the file cannot be read (see the error log)",
                                "2 of 3 images successfully sent.", "Tasks done!"}));
    EXPECT_EQ(r.progress(), 3);
    EXPECT_FALSE(job.removedAfterSend());
    EXPECT_EQ(countRows("tblImages"), 3);
    EXPECT_EQ(fs::exists(damaged), c.damage != DamagedFile::Deleted);
    std::set<std::string> arrived;
    for (const auto& f : filesIn(inbox_->path())) arrived.insert(f.filename().string().substr(3));
    EXPECT_EQ(arrived, (std::set<std::string>{s.images[0], s.images[2]}));
    EXPECT_NE(errorLog().find("EditForm SerieSenden (TRANSMIT_ERRROR)"), std::string::npos);
    EXPECT_NE(errorLog().find(c.logged), std::string::npos) << errorLog();
}

INSTANTIATE_TEST_SUITE_P(Store, DamagedFileSendTest,
                         ::testing::Values(DamagedFile{"Gone", DamagedFile::Deleted, "File not found"},
                                           DamagedFile{"CutShort", DamagedFile::CutShort, "Incomplete DICOM file"},
                                           DamagedFile{"CutWhileSending", DamagedFile::CutWhileSending,
                                                       "Incomplete DICOM file"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SendJobsTest, StudySendsOnlyItsOwnConvertedFilesAndRemovesTheStudyAndLastPatient) {
    startScp();
    const auto p = addPatient("ID1", "Alpha", "A");
    const Study other = makeStudy(p, 1, 2, true);
    const Study s = makeStudy(p, 2, 2, true);
    const auto st = setup(p, "Alpha^A", &s, 0, false);
    SendJob job(SendJob::Level::Study, st, check(st));
    RecordingReport r;
    EXPECT_TRUE(job.run(r).complete);
    job.windowClosed();
    EXPECT_EQ(r.lines(), (Lines{"Sending study ... OK", "4 of 4 images successfully sent.",
                                "Updating Database ... OK", "Removing image directory ... OK", "Tasks done!"}));
    EXPECT_EQ(filesIn(inbox_->path()).size(), 4u);
    EXPECT_TRUE(job.removedAfterSend());
    EXPECT_FALSE(job.patientRemoved());  // the other study is still there
    EXPECT_EQ(countRows("tblStudies"), 1);
    EXPECT_EQ(countRows("tblImages"), 2);
    EXPECT_TRUE(fs::exists(folder_->images() / other.uid));
}

TEST_F(SendJobsTest, PatientWithTwoStudiesSendsEachStudysFilesOnceAndIsRemoved) {
    startScp();
    const auto p = addPatient("ID1", "Alpha", "A");
    const auto q = addPatient("ID1", "Beta", "B");  // same patient ID, stays
    const Study a = makeStudy(p, 1, 2, true);
    const Study b = makeStudy(p, 1, 3, true);
    const Study c = makeStudy(q, 1, 1, true);
    const auto st = setup(p, "Alpha^A", nullptr, 0, false);
    SendJob job(SendJob::Level::Patient, st, check(st));
    RecordingReport r;
    EXPECT_TRUE(job.run(r).complete);
    job.windowClosed();
    EXPECT_EQ(r.lines(), (Lines{"Send studies of patient: Alpha^A", "Study: " + a.uid, "Sending study ... OK",
                                "Updating Database ... OK", "Removing image directory ... OK", "Study: " + b.uid,
                                "Sending study ... OK", "Updating Database ... OK", "Removing image directory ... OK",
                                "5 of 5 images successfully sent.", "Removing database entries ... OK",
                                "Tasks done!"}));
    EXPECT_EQ(filesIn(inbox_->path()).size(), 5u);
    EXPECT_TRUE(job.removedAfterSend());
    EXPECT_EQ(countRows("tblPatienten"), 1);
    EXPECT_EQ(countRows("tblImages"), 1);
    EXPECT_TRUE(fs::exists(folder_->images() / c.uid));
}

TEST_F(SendJobsTest, StudyWithAnImageNotConvertedIsNotRemovedAndNeitherIsThePatient) {
    startScp();
    const auto p = addPatient("ID1", "Alpha", "A");
    Study a = makeStudy(p, 1, 2, true);
    const Study b = makeStudy(p, 1, 2, false);
    convert(b, b.images[0]);  // one of two converted
    const auto st = setup(p, "Alpha^A", nullptr, 0, false);
    SendJob job(SendJob::Level::Patient, st, check(st));
    RecordingReport r;
    EXPECT_FALSE(job.run(r).complete);
    job.windowClosed();
    EXPECT_EQ(r.lines(), (Lines{"Send studies of patient: Alpha^A", "Study: " + a.uid, "Sending study ... OK",
                                "Updating Database ... OK", "Removing image directory ... OK", "Study: " + b.uid,
                                "Sending study ... OK",
                                "Not sent: " + b.images[1] + ": no converted image in the work folder",
                                "3 of 4 images successfully sent.",
                                "Removing database entries ... skipped (not all files send)", "Tasks done!"}));
    EXPECT_FALSE(job.removedAfterSend());
    EXPECT_EQ(countRows("tblPatienten"), 1);
    EXPECT_EQ(countRows("tblImages"), 2);
    EXPECT_TRUE(fs::exists(folder_->images() / b.uid / (b.images[1] + ".dcm")));
}

TEST_F(SendJobsTest, EmptyWorkFolderEndsTheStudyJobWithTheNotice) {
    startScp();
    const auto p = addPatient("ID1", "Alpha", "A");
    const Study s = makeStudy(p, 1, 1, false);
    const auto st = setup(p, "Alpha^A", &s, 0, false);
    SendJob job(SendJob::Level::Study, st, check(st));
    RecordingReport r;
    EXPECT_TRUE(job.run(r).closeWindow);
    EXPECT_EQ(r.notices(), (std::vector<std::string>{"The images from the selected study could not be found!"}));
    EXPECT_EQ(r.log(), "");
    EXPECT_EQ(countRows("tblImages"), 1);
}

TEST_F(SendJobsTest, DestinationRefusingTheAssociationStartsNothingOrSendsNothing) {
    startScp({"--refuse"});
    const auto p = addPatient("ID1", "Alpha", "A");
    const Study s = makeStudy(p, 1, 2, false);
    const auto wrong = setup(p, "Alpha^A", &s, s.series[0], false, "NOBODY");
    EXPECT_THROW(check(wrong), corva::Error);  // the destination check fails: no job
    auto badPort = wrong;
    badPort.destination.port = "10x";
    EXPECT_THROW(check(badPort), corva::Error);
    // A job that finds the destination refusing counts every image as not sent.
    SendJob job(SendJob::Level::Series, wrong, nullptr);
    RecordingReport r;
    EXPECT_FALSE(job.run(r).complete);
    EXPECT_EQ(r.lines(), (Lines{"Sending Series ... OK", "Not sent: " + s.images[0] + ": no association with the destination",
                                "Not sent: " + s.images[1] + ": no association with the destination",
                                "0 of 2 images successfully sent.", "Tasks done!"}));
    EXPECT_EQ(countRows("tblImages"), 2);
    EXPECT_TRUE(filesIn(inbox_->path()).empty());
}

TEST_F(SendJobsTest, TlsDestinationGetsTheSeriesOrItsFailureIsNamedBesideEachImage) {
    const corva::test::TestCertificates certs;
    const auto p = addPatient("ID1", "Alpha", "A");
    const Study s = makeStudy(p, 1, 2, false);
    // An archive whose certificate the CA did not sign: the job says why, and keeps the images.
    scp_ = std::make_unique<StoreScp>(
        inbox_->path(),
        std::vector<std::string>{"+tls", certs.key("untrusted").string(), certs.certificate("untrusted").string(),
                                 "-pw", "-ic"},
        "STORESCP", corva::dicom::TlsFiles{certs.certificate("untrusted"), {}, {}});
    auto untrusted = setup(p, "Alpha^A", &s, s.series[0], false);
    untrusted.destination.tls = certs.files("");
    {
        SendJob job(SendJob::Level::Series, untrusted, nullptr);
        RecordingReport r;
        EXPECT_FALSE(job.run(r).complete);
        const std::string why = ": no association with the destination: TLS handshake with STORESCP at 127.0.0.1:" +
                                std::to_string(scp_->port()) + " failed: certificate verify failed";
        EXPECT_EQ(r.lines(), (Lines{"Sending Series ... OK", "Not sent: " + s.images[0] + why,
                                    "Not sent: " + s.images[1] + why, "0 of 2 images successfully sent.",
                                    "Tasks done!"}));
    }
    EXPECT_EQ(countRows("tblImages"), 2);
    EXPECT_TRUE(filesIn(inbox_->path()).empty());

    // An archive the CA vouches for, asking for our certificate: the series goes over TLS.
    scp_ = std::make_unique<StoreScp>(inbox_->path(), certs.dcmtkOptions("server"), "STORESCP",
                                      certs.files("client"));
    auto trusted = setup(p, "Alpha^A", &s, s.series[0], false);
    trusted.destination.tls = certs.files("client");
    SendJob job(SendJob::Level::Series, trusted, check(trusted));
    RecordingReport r;
    EXPECT_TRUE(job.run(r).complete) << r.log();
    EXPECT_EQ(filesIn(inbox_->path()).size(), 2u);
    EXPECT_EQ(countRows("tblImages"), 0);
}

// Kills the destination once the first image has gone.
class KillingReport : public RecordingReport {
public:
    explicit KillingReport(StoreScp& scp) : scp_(scp) {}
    void setProgress(double v) override {
        RecordingReport::setProgress(v);
        if (v == 1) scp_.stop();
    }

private:
    StoreScp& scp_;
};

TEST_F(SendJobsTest, DestinationGoneMidSendRemovesNothing) {
    startScp();
    const auto p = addPatient("ID1", "Alpha", "A");
    const Study s = makeStudy(p, 1, 4, true);
    const auto st = setup(p, "Alpha^A", &s, 0, false);
    SendJob job(SendJob::Level::Study, st, check(st));
    KillingReport r(*scp_);
    EXPECT_FALSE(job.run(r).complete);
    job.windowClosed();
    // The work folder's files go in name order; after the break nothing more is tried.
    std::vector<std::string> order = s.images;
    std::sort(order.begin(), order.end());
    EXPECT_EQ(r.lines(), (Lines{"Sending study ... OK",
                                "Not sent: " + order[1] + ": the transfer broke off (see the error log)",
                                "Not sent: " + order[2] + ": not tried, the connection to the destination was lost",
                                "Not sent: " + order[3] + ": not tried, the connection to the destination was lost",
                                "1 of 4 images successfully sent.", "Tasks done!"}));
    EXPECT_EQ(countRows("tblImages"), 4);
    for (const auto& uid : s.images) EXPECT_TRUE(fs::exists(folder_->images() / s.uid / (uid + ".dcm")));
    EXPECT_NE(errorLog().find("EditForm StudieSenden (TRANSMIT_ERROR)"), std::string::npos);
}

TEST_F(SendJobsTest, StoreAnsweredWithAFailureStatusCountsAsNotSent) {
    const fs::path gone = inbox_->path() / "gone";
    fs::create_directories(gone);
    scp_ = std::make_unique<StoreScp>(gone);
    fs::remove(gone);  // storescp answers "out of resources"
    const auto p = addPatient("ID1", "Alpha", "A");
    const Study s = makeStudy(p, 1, 2, false);
    const auto st = setup(p, "Alpha^A", &s, s.series[0], false);
    SendJob job(SendJob::Level::Series, st, check(st));
    RecordingReport r;
    EXPECT_FALSE(job.run(r).complete);
    job.windowClosed();
    EXPECT_EQ(r.lines(), (Lines{"Sending Series ... OK",
                                "Not sent: " + s.images[0] + ": refused by the destination (status A700)",
                                "Not sent: " + s.images[1] + ": refused by the destination (status A700)",
                                "0 of 2 images successfully sent.", "Tasks done!"}));
    EXPECT_EQ(countRows("tblImages"), 2);
    EXPECT_NE(errorLog().find("refused"), std::string::npos);
}

// A JPEG file goes in its own transfer syntax to a destination that accepts it, and
// decompressed to one that accepts only the uncompressed syntaxes; the data set the
// destination keeps holds the same pixels either way.
class JpegSendTest : public SendJobsTest, public ::testing::WithParamInterface<bool> {};

TEST_P(JpegSendTest, JpegFileGoesAsItIsOrUncompressed) {
    const bool acceptsJpeg = GetParam();
    startScp(acceptsJpeg ? std::vector<std::string>{"+xa"} : std::vector<std::string>{});
    const auto p = addPatient("ID1", "Alpha", "A");
    Study s;
    s.uid = corva::test::uniqueUid();
    s.key = addStudy(p, s.uid);
    const auto series = addSeries(s.key, corva::test::uniqueUid(), 1);
    const std::string uid = corva::test::uniqueUid();
    addImage(series, s.uid, uid, 1, "10:15:00", 0);  // row only
    corva::test::DicomRecipe recipe;
    recipe.studyUid = s.uid;
    recipe.sopInstanceUid = uid;
    recipe.transferSyntax = "1.2.840.10008.1.2.4.70";  // JPEG lossless
    corva::test::writeDicom(folder_->images() / s.uid / (uid + ".dcm"), recipe);
    const auto st = setup(p, "Alpha^A", &s, series, true);
    SendJob job(SendJob::Level::Series, st, check(st));
    RecordingReport r;
    EXPECT_TRUE(job.run(r).complete);
    job.windowClosed();
    const auto files = filesIn(inbox_->path());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(corva::dicom::Image::read(files[0], corva::dicom::ReadMode::HeaderOnly).transferSyntax(),
              acceptsJpeg ? "1.2.840.10008.1.2.4.70" : "1.2.840.10008.1.2.1");
    const auto sent = corva::dicom::Image::read(folder_->images() / s.uid / (uid + ".dcm")).render();
    EXPECT_EQ(corva::dicom::Image::read(files[0]).render().pixels, sent.pixels);
}

INSTANTIATE_TEST_SUITE_P(Destinations, JpegSendTest, ::testing::Bool());

TEST_F(SendJobsTest, WindowRunsASendAndReleasesTheAssociationWhenClosed) {
    startScp();
    const auto p = addPatient("ID1", "Alpha", "A");
    const Study s = makeStudy(p, 1, 2, false);
    const auto st = setup(p, "Alpha^A", &s, s.series[0], true);
    auto job = std::make_shared<SendJob>(SendJob::Level::Series, st, check(st));
    QString log;
    QString title;
    op_.answerWindow(ScriptedOperator::runModal([&](QDialog& d) {
        auto& form = static_cast<EditForm&>(d);
        title = form.windowTitle();
        if (!corva::station::test::waitFor([&] { return form.cmdOK()->isEnabled(); })) return;
        log = form.txtProgress()->toPlainText();
        QTest::mouseClick(form.cmdOK(), Qt::LeftButton);
    }));
    runJobWindow(JobKind::SendSeries, job);
    EXPECT_EQ(title, "Send images (Series)");
    EXPECT_EQ(log, "Sending Series ... OK\n2 of 2 images successfully sent.\nTasks done!");
    // storescp serves one association at a time: a new one is accepted only after the release.
    const auto again = setup(p, "Alpha^A", &s, s.series[0], true);
    SendJob second(SendJob::Level::Series, again, check(again));
    RecordingReport r;
    EXPECT_TRUE(second.run(r).complete);
}

// A patient send whose second study has no converted images: the first study (sent
// whole) goes, the unsent study and the patient stay, and the send is not complete.
TEST_F(SendJobsTest, PatientSendNeverRemovesAStudyThatWasNotSent) {
    startScp();
    const auto p = addPatient("ID1", "Alpha", "A");
    const Study sent = makeStudy(p, 1, 2, true);
    const Study unsent = makeStudy(p, 1, 2, false);
    const auto st = setup(p, "Alpha^A", nullptr, 0, false);
    SendJob job(SendJob::Level::Patient, st, check(st));
    RecordingReport r;
    const JobOutcome outcome = job.run(r);
    job.windowClosed();
    EXPECT_FALSE(outcome.complete);
    EXPECT_FALSE(outcome.closeWindow);
    EXPECT_FALSE(job.removedAfterSend());
    EXPECT_FALSE(job.patientRemoved());
    EXPECT_EQ(countRows("tblPatienten"), 1);
    EXPECT_EQ(countRows("tblStudies"), 1);
    for (const auto& uid : unsent.images) EXPECT_TRUE(fs::exists(folder_->images() / unsent.uid / (uid + ".dcm")));
    for (const auto& uid : sent.images) EXPECT_FALSE(fs::exists(folder_->images() / sent.uid / (uid + ".dcm")));
    EXPECT_NE(r.log().find("2 of 4 images successfully sent."), std::string::npos) << r.log();
    EXPECT_NE(r.log().find("skipped (not all files send)"), std::string::npos) << r.log();
}

// Files an image into the study (as the ingest service does) once the first image has gone.
class FilingReport : public RecordingReport {
public:
    explicit FilingReport(std::function<void()> file) : file_(std::move(file)) {}
    void setProgress(double v) override {
        RecordingReport::setProgress(v);
        if (v == 1 && file_) std::exchange(file_, {})();
    }

private:
    std::function<void()> file_;
};

// An image filed during the send was not counted, not sent and not handled: it stays,
// with its series, study and patient; the images that were sent go.
TEST_F(SendJobsTest, AnImageFiledDuringTheSendIsNeverRemoved) {
    startScp();
    const auto p = addPatient("ID1", "Alpha", "A");
    const Study s = makeStudy(p, 1, 2, true);
    const std::string late = s.uid + ".9";
    FilingReport r([&] { addImage(s.series[0], s.uid, late, 9); });
    for (const SendJob::Level level : {SendJob::Level::Study}) {
        const auto st = setup(p, "Alpha^A", &s, 0, false);
        SendJob job(level, st, check(st));
        EXPECT_TRUE(job.run(r).complete) << r.log();
        job.windowClosed();
        EXPECT_FALSE(job.removedAfterSend());
        EXPECT_FALSE(job.studyRemoved());
    }
    EXPECT_EQ(countRows("tblImages"), 1);
    EXPECT_EQ(countRows("tblStudies"), 1);
    EXPECT_EQ(countRows("tblPatienten"), 1);
    EXPECT_TRUE(fs::exists(folder_->images() / s.uid / (late + ".dcm")));
    for (const auto& uid : s.images) EXPECT_FALSE(fs::exists(folder_->images() / s.uid / (uid + ".dcm")));
}

// The same for a series send: the late image keeps its series.
TEST_F(SendJobsTest, AnImageFiledDuringASeriesSendKeepsItsSeries) {
    startScp();
    const auto p = addPatient("ID1", "Alpha", "A");
    const Study s = makeStudy(p, 1, 2, false);
    const std::string late = s.uid + ".9";
    FilingReport r([&] { addImage(s.series[0], s.uid, late, 9); });
    const auto st = setup(p, "Alpha^A", &s, s.series[0], false);
    SendJob job(SendJob::Level::Series, st, check(st));
    EXPECT_TRUE(job.run(r).complete) << r.log();
    job.windowClosed();
    EXPECT_FALSE(job.removedAfterSend());
    EXPECT_EQ(countRows("tblImages"), 1);
    EXPECT_EQ(countRows("tblSeries"), 1);
    EXPECT_TRUE(fs::exists(folder_->images() / s.uid / (late + ".dcm")));
}

// Cancelled after the first study: the studies never visited count as not sent.
class CancellingReport : public RecordingReport {
public:
    bool cancelRequested() const override { return log().find("Study: ") != std::string::npos &&
                                                   log().find("Sending study ... OK") != std::string::npos; }
};

TEST_F(SendJobsTest, ACancelledPatientSendCountsTheStudiesItNeverVisited) {
    startScp();
    const auto p = addPatient("ID1", "Alpha", "A");
    makeStudy(p, 1, 1, true);
    makeStudy(p, 1, 2, true);
    const auto st = setup(p, "Alpha^A", nullptr, 0, true);
    SendJob job(SendJob::Level::Patient, st, check(st));
    CancellingReport r;
    const JobOutcome outcome = job.run(r);
    job.windowClosed();
    EXPECT_FALSE(outcome.complete) << r.log();
    EXPECT_EQ(job.imagesToSend(), 3) << r.log();
    EXPECT_LT(job.imagesSent(), 3);
}

}  // namespace
