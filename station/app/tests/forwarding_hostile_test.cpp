// "Automatic" and "Manually" on the real main window with a real
// storescp: the world changes while a question is open, records of another study wait,
// rows repeat a SOP instance UID. Each test states what must hold; a failing one is a
// finding.
#include <gtest/gtest.h>

#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>
#include <fstream>
#include <map>
#include <set>
#include <unistd.h>

#include "forwarding_site.h"
#include "app/job_commands.h"
#include "app/main_form.h"
#include "child_process.h"
#include "common/list_view.h"
#include "common/station_context.h"
#include "dicom_fixture.h"
#include "dose/dose_capture.h"
#include "jobs/edit_form.h"
#include "settings/settings.h"
#include "station_test_support.h"
#include "store_scp.h"
#include "temp_dir.h"
#include "viewer/dicom_viewer.h"

namespace fs = std::filesystem;
using namespace corva;
using namespace corva::station;
using corva::station::test::findItem;
using corva::station::test::waitFor;

namespace {

constexpr const char* StudyA = "1.2.826.0.1.3680043.9.7433.61";
constexpr const char* StudyB = "1.2.826.0.1.3680043.9.7433.62";

using namespace corva::station::test;

class ForwardingUnderChange : public corva::station::test::ForwardingSite {};

const std::vector<View> TwoViews{{"CC", "L", "100000"}, {"CC", "R", "100100"}};

// ---- the world changes while the operator answers -------------------------------------

// "Manually": while the operator reads the question, `corvactl forward` in another shell
// tries to forward the study. The station holds the job lock from the moment it reads
// the record: the second job does not start, and the station's forwarding is whole.
TEST_F(ForwardingUnderChange, ManualHoldsTheJobLockWhileTheQuestionIsOpen) {
    startArchive();
    const auto uids = addViews(patient("P1"), StudyA, TwoViews);
    const auto left = addRecord("26", "09:59:50", "L-CC"), right = addRecord("25", "10:00:50", "R-CC");
    auto& f = open(1, true);
    loadStudy(f, "P1");
    corva::station::test::clickItem(f.lvImages(), f.lvImages()->itemAtPosition(1));
    ASSERT_EQ(f.CurrentImage()->sopInstanceUid(), uids[0]);
    ASSERT_TRUE(selectRecord(f, left));

    corva::test::CommandResult ctl;
    op_.answerAfter(MsgResult::Yes,
                    [&] { ctl = corvactl({"--no-wait", "forward", "--study", StudyA, "--keep"}); });
    QString log;
    pressOkWhenDone(&log);
    commands().cmdSelected_Click();

    EXPECT_EQ(ctl.code, 1) << ctl.output;
    EXPECT_NE(ctl.output.find("another job is working on the images"), std::string::npos) << ctl.output;
    EXPECT_TRUE(log.contains("1 of 1 images successfully sent.")) << log.toStdString();
    EXPECT_EQ(status(left), "1");
    EXPECT_EQ(status(right), "0") << "corvactl must not have used the other record";
    EXPECT_EQ(archived().size(), 1u);
}

// "Automatic": the same while the pairs are shown. corvactl waits its turn; the
// station's forwarding goes through once; corvactl then finds nothing left to pair.
TEST_F(ForwardingUnderChange, AutomaticHoldsTheJobLockWhileThePairsAreShown) {
    startArchive({"--fork"});
    addViews(patient("P1"), StudyA, TwoViews);
    const auto left = addRecord("26", "09:59:50", "L-CC"), right = addRecord("25", "10:00:50", "R-CC");
    auto& f = open(1, false);
    loadStudy(f, "P1");

    corva::test::CommandResult busy;
    op_.answerAfter(MsgResult::Yes,
                    [&] { busy = corvactl({"--no-wait", "forward", "--study", StudyA, "--no-keep"}); });
    QString log;
    pressOkWhenDone(&log);
    commands().cmdAll_Click();

    EXPECT_EQ(busy.code, 1) << busy.output;
    EXPECT_TRUE(log.contains("2 of 2 images successfully sent.")) << log.toStdString();
    EXPECT_EQ(countRows("tblImages"), 0);
    EXPECT_EQ(status(left), "1");
    EXPECT_EQ(status(right), "1");
    EXPECT_EQ(archived().size(), 2u);
    // Afterwards corvactl runs and has nothing to forward.
    const auto later = corvactl({"forward", "--study", StudyA, "--no-keep"});
    EXPECT_EQ(later.code, 1) << later.output;
    EXPECT_EQ(archived().size(), 2u);
}

// A record deleted (another station, a clean-up) while the pairs are shown: its values
// must not go out, and nothing may be marked used for it.
TEST_F(ForwardingUnderChange, AutomaticRecordDeletedWhileThePairsAreShown) {
    startArchive();
    const auto uids = addViews(patient("P1"), StudyA, TwoViews);
    const auto left = addRecord("26", "09:59:50", "L-CC");
    addRecord("25", "10:00:50", "R-CC");
    auto& f = open(1, true);
    loadStudy(f, "P1");
    op_.answerAfter(MsgResult::Yes, [&] {
        db::Database(folder_->imageDatabase()).prepare("DELETE FROM tblDosis WHERE ID = ?").bind(1, left).run();
    });
    QString log;
    pressOkWhenDone(&log);
    commands().cmdAll_Click();
    const auto atArchive = archived();
    EXPECT_EQ(atArchive.count(uids[0]), 0u) << "the deleted record's values (26 kV) went out on image 1: "
                                            << (atArchive.count(uids[0]) ? atArchive.at(uids[0]).get(Kvp).text : "");
}

// The operator clicks another patient and loads his study while the pairs are shown,
// then says "Yes": what goes out, what is used and what is removed is still the first
// patient's, and the second patient's rows stay.
TEST_F(ForwardingUnderChange, AnotherPatientLoadedWhileThePairsAreShown) {
    startArchive();
    const auto a = addViews(patient("P1"), StudyA, TwoViews);
    const auto b = addViews(patient("P2"), StudyB, {{"CC", "L", "110000"}, {"CC", "R", "110100"}});
    const auto left = addRecord("26", "09:59:50", "L-CC"), right = addRecord("25", "10:00:50", "R-CC");
    auto& f = open(1, false);
    loadStudy(f, "P1");
    op_.answerAfter(MsgResult::Yes, [&] { loadStudy(f, "P2"); });
    QString log;
    pressOkWhenDone(&log);
    commands().cmdAll_Click();
    const auto atArchive = archived();
    EXPECT_EQ(atArchive.size(), 2u) << log.toStdString();
    for (const auto& uid : a) EXPECT_EQ(atArchive.count(uid), 1u) << uid;
    for (const auto& uid : b) {
        EXPECT_EQ(atArchive.count(uid), 0u) << uid;
        EXPECT_TRUE(imageRowExists(uid)) << uid;
    }
    for (const auto& uid : a) EXPECT_FALSE(imageRowExists(uid)) << uid;
    EXPECT_EQ(status(left), "1");
    EXPECT_EQ(status(right), "1");
    EXPECT_TRUE(log.contains("AlphaP1")) << "the job names the patient whose images it sends: " << log.toStdString();
}

// ---- records that are not this study's --------------------------------------------------

// Two studies of one patient: study A (09:00) was exposed and its records wait; study B
// (10:30) is forwarded before its own records came. A's records name B's projections:
// they must not go on B's images.
TEST_F(ForwardingUnderChange, RecordsOfTheEarlierStudyAreNotPairedWithTheLaterOne) {
    startArchive();
    const auto p = patient("P1");
    addViews(p, StudyA, {{"CC", "L", "090000"}, {"CC", "R", "090100"}});
    const auto b = addViews(p, StudyB, {{"CC", "L", "103000"}, {"CC", "R", "103100"}});
    const auto left = addRecord("26", "08:59:50", "L-CC"), right = addRecord("25", "09:00:50", "R-CC");
    auto& f = open(1, true);
    corva::station::test::clickItem(f.lvPatients(), findItem(f.lvPatients(), "P1"));
    int positionB = 0;
    for (int i = 1; i <= f.lvStudien()->count(); ++i)
        if (ListView::tag(f.lvStudien()->itemAtPosition(i)).toString() == StudyB) positionB = i;
    ASSERT_GT(positionB, 0);
    corva::station::test::clickItem(f.lvStudien(), f.lvStudien()->itemAtPosition(positionB));
    ASSERT_EQ(f.dv1()->count(), 2);
    op_.answer(MsgResult::Yes);
    pressOkWhenDone(nullptr);
    commands().cmdAll_Click();
    ASSERT_GE(op_.messages().size(), 1);
    EXPECT_FALSE(op_.messages().front().startsWith("Forward the study")) << op_.messages().front().toStdString();
    EXPECT_TRUE(archived().empty()) << "study B went out with study A's records";
    EXPECT_EQ(status(left), "0");
    EXPECT_EQ(status(right), "0");
}

// A record of the day before names the projection of today's image.
TEST_F(ForwardingUnderChange, ARecordOfTheDayBeforeIsNotPaired) {
    startArchive();
    addViews(patient("P1"), StudyA, {{"CC", "L", "100000"}});
    const auto old = addRecord("26", "16:00:00", "L-CC", "09.12.2026");
    auto& f = open(1, true);
    loadStudy(f, "P1");
    op_.answer(MsgResult::Yes);
    pressOkWhenDone(nullptr);
    commands().cmdAll_Click();
    EXPECT_TRUE(archived().empty()) << "today's image went out with yesterday's record";
    EXPECT_EQ(status(old), "0");
}

// ---- one SOP instance UID twice ----------------------------------------------------------

// The study lists one SOP instance UID in two series (a copy filed twice). Two L-CC
// records wait. Whatever happens, a record marked used must be on what the archive holds.
TEST_F(ForwardingUnderChange, OneUidInTwoSeriesNeverUsesARecordThatWasNotStored) {
    startArchive();
    const auto p = patient("P1");
    const auto study = addStudy(p, StudyA);
    const auto s1 = addSeries(study, std::string(StudyA) + ".1", 1);
    const auto s2 = addSeries(study, std::string(StudyA) + ".2", 2);
    const std::string uid = std::string(StudyA) + ".1.1";
    addImage(s1, StudyA, uid, 1, "10:15:00", 0);
    addImage(s2, StudyA, uid, 1, "10:15:00", 0);
    writeView(StudyA, std::string(StudyA) + ".1", uid, 1, {"CC", "L", "100000"});
    const auto first = addRecord("26", "09:59:50", "L-CC"), second = addRecord("29", "10:04:50", "L-CC");
    auto& f = open(1, false);
    loadStudy(f, "P1");
    op_.answer(MsgResult::Yes);
    QString log;
    pressOkWhenDone(&log);
    commands().cmdAll_Click();
    const auto atArchive = archived();
    std::set<std::string> kvs;
    for (const auto& [u, a] : atArchive) kvs.insert(a.get(Kvp).text);
    // The plan refuses a study that lists one image twice.
    ASSERT_FALSE(op_.messages().isEmpty());
    EXPECT_TRUE(op_.messages().front().contains("are the same image")) << op_.messages().front().toStdString();
    EXPECT_TRUE(atArchive.empty());
    if (status(first) == "1") {
        EXPECT_TRUE(kvs.count("26")) << "record 26 kV used, not at the archive; " << log.toStdString();
    }
    if (status(second) == "1") {
        EXPECT_TRUE(kvs.count("29")) << "record 29 kV used, not at the archive";
    }
}

// The reader sends image 1 again (same SOP instance UID, new content) while the forwarding
// runs; Ingrado files a repeat over the stored file under the same row. The forwarding
// stored the old content only: the new file must not be deleted with the row.
TEST_F(ForwardingUnderChange, AFileRefiledDuringTheForwardingIsNotDeleted) {
    startArchive();
    const auto uids = addViews(patient("P1"), StudyA, TwoViews);
    addRecord("26", "09:59:50", "L-CC");
    addRecord("25", "10:00:50", "R-CC");
    auto& f = open(1, false);
    loadStudy(f, "P1");
    f.lvTasks()->addItem("0", {}, {"task"});
    const fs::path stored = folder_->images() / StudyA / (uids[0] + ".dcm");
    op_.answer(MsgResult::Yes);  // the pairs
    op_.answerAfter(MsgResult::Yes, [&] {  // "Undone tasks": converted already, not yet sent
        corva::test::DicomRecipe again;
        again.studyUid = StudyA;
        again.seriesUid = std::string(StudyA) + ".1";
        again.sopInstanceUid = uids[0];
        again.instanceNumber = 1;
        again.rows = 40;
        again.columns = 30;
        again.extra = {{ViewPosition, "CC"}, {ImageLaterality, "L"}, {AcquisitionDate, "20261210"},
                       {AcquisitionTime, "100000"}};
        corva::test::writeDicom(stored, again);
    });
    QString log;
    pressOkWhenDone(&log);
    commands().cmdAll_Click();
    ASSERT_EQ(archived().size(), 2u) << log.toStdString();
    EXPECT_EQ(archived().at(uids[0]).get({0x0028, 0x0010}).text, "32") << "the archive holds the old content";
    EXPECT_TRUE(fs::exists(stored)) << "the refiled content (40 rows), never sent, was deleted";
}

// ---- the archive ----------------------------------------------------------------------

// An archive that takes only CR images refuses the converted ones: nothing used, nothing removed.
TEST_F(ForwardingUnderChange, AnArchiveRefusingMammographyUsesAndRemovesNothing) {
    corva::test::TempDir cfg("scpcfg");
    {
        std::ofstream out(cfg.path() / "scp.cfg");
        out << "[[TransferSyntaxes]]\n[Uncompressed]\nTransferSyntax1 = LocalEndianExplicit\n"
               "TransferSyntax2 = OppositeEndianExplicit\nTransferSyntax3 = LittleEndianImplicit\n\n"
               "[[PresentationContexts]]\n[CROnly]\n"
               "PresentationContext1 = ComputedRadiographyImageStorage\\Uncompressed\n"
               "PresentationContext2 = VerificationSOPClass\\Uncompressed\n\n"
               "[[Profiles]]\n[Default]\nPresentationContexts = CROnly\n";
    }
    startArchive({"-xf", (cfg.path() / "scp.cfg").string(), "Default"});
    const auto uids = addViews(patient("P1"), StudyA, TwoViews);
    const auto left = addRecord("26", "09:59:50", "L-CC"), right = addRecord("25", "10:00:50", "R-CC");
    auto& f = open(1, false);
    loadStudy(f, "P1");
    op_.answer(MsgResult::Yes);
    QString log;
    pressOkWhenDone(&log);
    commands().cmdAll_Click();
    EXPECT_TRUE(log.contains("0 of 2")) << log.toStdString();
    EXPECT_EQ(status(left), "0");
    EXPECT_EQ(status(right), "0");
    for (const auto& uid : uids) EXPECT_TRUE(imageRowExists(uid)) << uid;
}

// A stale converted file of another patient waits in the work folder under the same
// name: only this forwarding's own conversion goes out.
TEST_F(ForwardingUnderChange, AStaleConvertedFileInTheWorkFolderIsNotSent) {
    startArchive();
    const auto uids = addViews(patient("P1"), StudyA, TwoViews);
    addRecord("26", "09:59:50", "L-CC");
    addRecord("25", "10:00:50", "R-CC");
    fs::create_directories(stationContext().paths.workFolder);
    // Another patient's converted image in the work folder.
    corva::test::DicomRecipe other;
    other.patientId = "OTHER";
    other.studyUid = "1.2.826.0.1.3680043.9.7433.99";
    other.sopInstanceUid = "1.2.826.0.1.3680043.9.7433.99.1.1";
    other.rows = 8;
    other.columns = 8;
    corva::test::writeDicom(stationContext().paths.workFolder / (other.sopInstanceUid + ".dcm"), other);
    auto& f = open(1, true);
    loadStudy(f, "P1");
    op_.answer(MsgResult::Yes);
    pressOkWhenDone(nullptr);
    commands().cmdAll_Click();
    const auto atArchive = archived();
    EXPECT_EQ(atArchive.size(), 2u);
    EXPECT_EQ(atArchive.count(other.sopInstanceUid), 0u);
}

// The work folder cannot take files (here: a file stands where the folder should be, as a
// full or broken disk would refuse): nothing is sent or used, every image stays.
TEST_F(ForwardingUnderChange, AnUnwritableWorkFolderSendsAndUsesNothing) {
    startArchive();
    const auto uids = addViews(patient("P1"), StudyA, TwoViews);
    const auto left = addRecord("26", "09:59:50", "L-CC");
    addRecord("25", "10:00:50", "R-CC");
    auto& f = open(1, false);
    loadStudy(f, "P1");
    const fs::path bin = stationContext().paths.workFolder;
    fs::remove_all(bin);
    { std::ofstream(bin) << "not a folder"; }
    op_.answer(MsgResult::Yes);
    op_.answer(MsgResult::OK);
    commands().cmdAll_Click();
    fs::remove(bin);
    fs::create_directories(bin);
    EXPECT_TRUE(archived().empty());
    EXPECT_EQ(status(left), "0");
    for (const auto& uid : uids) EXPECT_TRUE(imageRowExists(uid));
    EXPECT_TRUE(op_.messages().last().contains("Nothing was sent")) << op_.messages().join("|").toStdString();
}

}  // namespace
