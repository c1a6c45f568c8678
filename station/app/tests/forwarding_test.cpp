// "Automatic" and "Manually" on the real main window with a real storescp: which image
// carries which exposure record at the destination, which records are used up and which
// rows and files remain, also when the world changes under the forwarding.
#include <gtest/gtest.h>

#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>
#include <map>

#include "forwarding_site.h"
#include "app/job_commands.h"
#include "app/main_form.h"
#include "common/list_view.h"
#include "common/station_context.h"
#include "db/dose_use.h"
#include "dicom_fixture.h"
#include "dose/dose_capture.h"
#include "jobs/edit_form.h"
#include "settings/settings.h"
#include "station_test_support.h"
#include "store_scp.h"
#include "viewer/dicom_viewer.h"

namespace fs = std::filesystem;
using namespace corva;
using namespace corva::station;
using corva::station::test::findItem;
using corva::station::test::waitFor;

namespace {

using namespace corva::station::test;

const dicom::Tag Laterality{0x0020, 0x0060};

constexpr const char* StudyUid = "1.2.826.0.1.3680043.9.7433.50";

// One patient "P1" with one study of the views under test.
class ForwardingTest : public ForwardingSite {
protected:
    using ForwardingSite::addRecord;
    using ForwardingSite::addViews;
    using ForwardingSite::loadStudy;
    std::vector<std::string> addViews(const std::vector<View>& views) {
        return addViews(patient("P1"), StudyUid, views);
    }
    std::int64_t addRecord(const std::string& kv, const std::string& zeit, const std::string& projection, int unit) {
        return addRecord(kv, zeit, projection, "10.12.2026", unit);
    }
    void loadStudy(MainForm& f) { loadStudy(f, "P1"); }
    bool storeFileExists(const std::string& uid) const {
        return fs::exists(folder_->images() / StudyUid / (uid + ".dcm"));
    }
    std::size_t workFolderFiles() const {
        std::size_t n = 0;
        for (const auto& e : fs::directory_iterator(stationContext().paths.workFolder))
            if (e.path().extension() == ".dcm") ++n;
        return n;
    }
};

const std::vector<View> FourViews{{"CC", "R", "100000"}, {"CC", "L", "100100"}, {"MLO", "R", "100200"},
                                  {"MLO", "L", "100300"}};

class AutomaticByUnit : public ForwardingTest, public ::testing::WithParamInterface<int> {};

// Each view reaches the archive with its own record's kV and its own side; the
// records are used up and the patient, now empty, is gone; nothing else is asked.
TEST_P(AutomaticByUnit, PairsEachViewWithItsRecordAndRemovesExactlyWhatWasStored) {
    const int unit = GetParam();
    startArchive();
    const auto uids = addViews(FourViews);
    // In another order than the views; each projection's kV tells it apart.
    const std::map<std::string, std::string> kvOf{{"R-CC", "25"}, {"L-CC", "26"}, {"R-MLO", "27"}, {"L-MLO", "28"}};
    std::vector<std::int64_t> records;
    records.push_back(addRecord("28", "10:03:10", "L-LMO45", unit));
    records.push_back(addRecord("25", "10:00:10", "R-CC", unit));
    records.push_back(addRecord("27", "10:02:10", "R-LMO45", unit));
    records.push_back(addRecord("26", "10:01:10", "L-CC", unit));
    auto& f = open(unit, false);
    loadStudy(f);

    QString log;
    op_.answer(MsgResult::Yes);  // the pairs
    pressOkWhenDone(&log);
    commands().cmdAll_Click();

    ASSERT_GE(op_.messages().size(), 1);
    const QString pairs = op_.messages().front();
    EXPECT_TRUE(pairs.contains("Image 1 (R-CC)  <-  record 10.12.2026 10:00:10, 25 kV")) << pairs.toStdString();
    EXPECT_TRUE(pairs.contains("Image 4 (L-MLO)  <-  record 10.12.2026 10:03:10, 28 kV")) << pairs.toStdString();
    EXPECT_TRUE(op_.unexpected().empty()) << op_.messages().join("|").toStdString();
    EXPECT_EQ(op_.pending(), 0u);
    EXPECT_TRUE(log.startsWith("Send images of patient: ")) << log.toStdString();
    // The study's dose report follows its images, with the four exposures used.
    EXPECT_EQ(log.section('\n', 1), "Sending images ... OK\n4 of 4 images successfully sent.\n"
                                     "Marking exposure records as used ... OK\nRemoving database entries ... OK\n"
                                     "Writing the dose report of study " + QString::fromStdString(StudyUid) +
                                         " ... OK (4 exposures)\nSending the dose report ... OK\n"
                                         "Tasks done!")
        << log.toStdString();
    const auto atArchive = archived();
    ASSERT_EQ(atArchive.size(), 4u);
    for (std::size_t i = 0; i < uids.size(); ++i) {
        const dicom::DataSet& a = atArchive.at(uids[i]);
        const std::string key = FourViews[i].laterality + "-" + FourViews[i].viewPosition;
        EXPECT_DOUBLE_EQ(std::stod(a.get(Kvp).text), std::stod(kvOf.at(key))) << key;
        EXPECT_EQ(a.get(ImageLaterality).text, FourViews[i].laterality) << key;
        EXPECT_EQ(a.get(Laterality).text, FourViews[i].laterality) << key;
    }
    for (auto id : records) EXPECT_EQ(status(id), "1") << id;
    EXPECT_EQ(countRows("tblImages"), 0);
    EXPECT_EQ(countRows("tblPatienten"), 0);
    EXPECT_FALSE(fs::exists(folder_->images() / StudyUid));
    EXPECT_EQ(f.lvDosis()->count(), 0);
    EXPECT_EQ(f.dose().doseList().currentRecordId(), 0);
}

INSTANTIATE_TEST_SUITE_P(Units, AutomaticByUnit, ::testing::Values(1, 2),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(info.param == 1 ? "Sophie" : "Giotto");
                         });

// A loaded 4-view study hangs R CC | L CC over R MLO | L MLO in the whole viewer.
TEST_F(ForwardingTest, AFourViewStudyHangsInTheWholeViewer) {
    addViews(FourViews);
    auto& f = open(1, true);
    loadStudy(f);
    const Hanging& h = f.dv1()->hanging();
    ASSERT_TRUE(h.active());
    EXPECT_EQ(h.columns, 2);
    EXPECT_EQ(h.rows, 2);
    QStringList hung;
    for (const auto& cell : h.cells) {
        const auto header = f.dv1()->image(cell.position)->image().attributes();
        hung << QString::fromStdString(header.get(ImageLaterality).text + " " + header.get(ViewPosition).text);
    }
    EXPECT_EQ(hung, (QStringList{"R CC", "L CC", "R MLO", "L MLO"}));
    QStringList captions;  // each image names its side and view in a corner
    for (const auto& cell : h.cells) captions << f.dv1()->caption(cell.position);
    EXPECT_EQ(captions, hung);
    EXPECT_EQ(f.dv1()->cellSize(), QSize(f.dv1()->width() / 2, f.dv1()->height() / 2));
}

// "Keep images in database after transfer": the records are used, the images stay.
TEST_F(ForwardingTest, KeepLeavesTheImagesAndUsesTheRecords) {
    startArchive();
    const auto uids = addViews({{"CC", "L", "100000"}, {"CC", "R", "100100"}});
    const auto a = addRecord("26", "10:00:10", "L-CC", 1), b = addRecord("25", "10:01:10", "R-CC", 1);
    auto& f = open(1, true);
    loadStudy(f);
    // The image list and the dose list show the projections the operator compares.
    QStringList listed, recorded;
    for (int i = 1; i <= f.lvImages()->count(); ++i) listed << f.lvImages()->itemAtPosition(i)->text(4);
    for (int i = 1; i <= f.lvDosis()->count(); ++i) recorded << f.lvDosis()->itemAtPosition(i)->text(11);
    listed.sort();
    recorded.sort();
    EXPECT_EQ(listed, (QStringList{"L-CC", "R-CC"}));
    EXPECT_EQ(recorded, (QStringList{"L-CC", "R-CC"}));
    QString log;
    op_.answer(MsgResult::Yes);
    pressOkWhenDone(&log);
    commands().cmdAll_Click();
    EXPECT_EQ(archived().size(), 2u);
    // The study's dose report follows its images, with the two records' exposures.
    const auto reports = archivedReports();
    ASSERT_EQ(reports.size(), 1u) << log.toStdString();
    EXPECT_EQ(reports.begin()->second.get({0x0020, 0x000D}).text, archived().begin()->second.get({0x0020, 0x000D}).text);
    EXPECT_NE(log.indexOf("Writing the dose report of study"), -1) << log.toStdString();
    EXPECT_NE(log.indexOf("OK (2 exposures)"), -1) << log.toStdString();
    EXPECT_EQ(status(a), "1");
    EXPECT_EQ(status(b), "1");
    for (const auto& uid : uids) {
        EXPECT_TRUE(imageRowExists(uid)) << uid;
        EXPECT_TRUE(storeFileExists(uid)) << uid;
    }
    EXPECT_EQ(countRows("tblPatienten"), 1);
    EXPECT_FALSE(log.contains("Removing")) << log.toStdString();
}

// A retake: two L-CC images, two L-CC records. Each image gets the record of its own
// time, the retake (listed first, taken last) the later one; each record once.
TEST_F(ForwardingTest, RetakePairsByTime) {
    startArchive();
    const auto uids = addViews({{"CC", "L", "100500"}, {"CC", "L", "100000"}, {"CC", "R", "100100"}});
    addRecord("26", "10:00:10", "L-CC", 1);
    addRecord("25", "10:01:10", "R-CC", 1);
    addRecord("29", "10:05:10", "L-CC", 1);
    auto& f = open(1, true);
    loadStudy(f);
    op_.answer(MsgResult::Yes);
    pressOkWhenDone(nullptr);
    commands().cmdAll_Click();
    const auto atArchive = archived();
    ASSERT_EQ(atArchive.size(), 3u);
    EXPECT_EQ(atArchive.at(uids[0]).get(Kvp).text, "29");
    EXPECT_EQ(atArchive.at(uids[1]).get(Kvp).text, "26");
    EXPECT_EQ(atArchive.at(uids[2]).get(Kvp).text, "25");
    EXPECT_EQ(countRows("tblDosis"), 3);
    auto db = openImageDb();
    auto st = db.prepare("SELECT COUNT(*) FROM tblDosis WHERE Status = '1'");
    ASSERT_TRUE(st.step());
    EXPECT_EQ(st.getInt(0), 3);
}

// A forwarding of the study was killed after its records were used and before its dose
// report was delivered; its images left with it. A retake of the study forwarded in the
// window delivers that report first, as the instance it was and with the killed run's
// exposures only, then its own report: never the owed instance with other contents.
TEST_F(ForwardingTest, AReportAKilledForwardingOwesGoesFirstAsTheInstanceItWas) {
    startArchive();
    const std::string owedSeries = "2.25.7726001", owedInstance = "2.25.7726002";
    {
        auto db = openImageDb();
        std::vector<db::DoseUse> uses;
        for (const auto& [side, zeit] : {std::pair{"R", "10:00:10"}, std::pair{"L", "10:01:10"}}) {
            db::DoseUse u;
            u.recordId = addRecord(side == std::string("R") ? "25" : "26", zeit, std::string(side) + "-CC", 1);
            u.eventUid = "2.25.77260" + std::to_string(uses.size() + 10);
            u.studyUid = StudyUid;
            u.seriesUid = std::string(StudyUid) + ".9";
            u.imageUid = u.seriesUid + "." + std::to_string(uses.size() + 1);
            u.sopClassUid = "1.2.840.10008.5.1.4.1.1.1.2";
            u.laterality = side;
            u.viewCode = "399162004";
            u.viewMeaning = "cranio-caudal";
            u.patientName = "Test^Patient";
            u.patientId = "P1";
            uses.push_back(u);
        }
        db::Transaction tx(db);
        db.exec("UPDATE tblDosis SET Status = '1'");
        db::recordDoseUses(db, uses);
        db::oweDoseReport(db, StudyUid, "P1", owedSeries, owedInstance);
        tx.commit();
    }
    addViews({{"CC", "L", "100500"}});
    addRecord("29", "10:05:10", "L-CC", 1);
    auto& f = open(1, true);
    loadStudy(f);
    QString log;
    op_.answer(MsgResult::Yes);
    pressOkWhenDone(&log);
    commands().cmdAll_Click();

    // Exposures in each report the archive holds, by its instance UID.
    std::map<std::string, int> events;
    for (const auto& e : fs::directory_iterator(inbox_->path())) {
        const auto image = dicom::Image::read(e.path(), dicom::ReadMode::HeaderOnly);
        if (image.sopClassUid() != dicom::XRayRadiationDoseSrClass) continue;
        const auto dump = corva::test::runCommand({"dsrdump", e.path().string()});
        int n = 0;
        for (auto at = dump.output.find("Irradiation Event X-Ray Data"); at != std::string::npos;
             at = dump.output.find("Irradiation Event X-Ray Data", at + 1))
            ++n;
        events[image.sopInstanceUid()] = n;
    }
    ASSERT_TRUE(events.count(owedInstance)) << log.toStdString();
    EXPECT_EQ(events.at(owedInstance), 2) << "the owed instance carries the killed run's exposures only";
    EXPECT_EQ(events.size(), 2u) << log.toStdString();
    EXPECT_EQ(archived().size(), 1u);
    auto db = openImageDb();
    auto st = db.prepare("SELECT COUNT(*) FROM tblDoseReport WHERE SOPInstanceUID = ?");
    st.bind(1, owedInstance);
    ASSERT_TRUE(st.step());
    EXPECT_EQ(st.getInt(0), 0) << "delivered, no longer owed";
}

// Another patient's record waits: nothing is paired by fallback, converted or sent.
TEST_F(ForwardingTest, ARefusedPlanConvertsAndSendsNothing) {
    startArchive();
    addViews({{"CC", "L", "100000"}, {"CC", "R", "100100"}});
    const std::vector<std::int64_t> records{addRecord("26", "10:00:10", "L-CC", 1), addRecord("25", "10:01:10", "R-CC", 1),
                                            addRecord("30", "09:00:00", "L-LMO45", 1)};
    auto& f = open(1, false);
    loadStudy(f);
    commands().cmdAll_Click();
    ASSERT_EQ(op_.messages().size(), 1);
    EXPECT_TRUE(op_.messages().front().contains("likely another patient's")) << op_.messages().front().toStdString();
    EXPECT_TRUE(op_.shownOf(ScriptedOperator::Kind::Window).empty());
    EXPECT_EQ(workFolderFiles(), 0u);
    EXPECT_TRUE(archived().empty());
    for (auto id : records) EXPECT_EQ(status(id), "0");
    EXPECT_EQ(countRows("tblImages"), 2);
    // The operator said no to the pairs: the same, nothing happens.
    db::Database(folder_->imageDatabase()).exec("DELETE FROM tblDosis WHERE KVP = '30'");
    f.dose().refreshDoseList();
    op_.clear();
    op_.answer(MsgResult::No);
    commands().cmdAll_Click();
    EXPECT_EQ(op_.messages().size(), 1);
    EXPECT_TRUE(archived().empty());
    EXPECT_EQ(status(records[0]), "0");
}

// The archive goes away after the destination check (while the operator answers the
// "Undone tasks" question): "0 of 2", and no record is used and no image removed.
TEST_F(ForwardingTest, ADestinationThatGoesAwayConsumesAndRemovesNothing) {
    startArchive();
    const auto uids = addViews({{"CC", "L", "100000"}, {"CC", "R", "100100"}});
    const std::vector<std::int64_t> records{addRecord("26", "10:00:10", "L-CC", 1), addRecord("25", "10:01:10", "R-CC", 1)};
    auto& f = open(1, false);
    loadStudy(f);
    f.lvTasks()->addItem("0", {}, {"task"});
    QString log;
    op_.answer(MsgResult::Yes);                                    // the pairs
    op_.answerAfter(MsgResult::Yes, [this] { scp_->stop(); });     // "Undone tasks in list!"
    pressOkWhenDone(&log);
    commands().cmdAll_Click();
    EXPECT_TRUE(log.contains("0 of 2 images successfully sent.")) << log.toStdString();
    EXPECT_FALSE(log.contains("Marking")) << log.toStdString();
    EXPECT_FALSE(log.contains("Removing")) << log.toStdString();
    for (auto id : records) EXPECT_EQ(status(id), "0");
    for (const auto& uid : uids) {
        EXPECT_TRUE(imageRowExists(uid)) << uid;
        EXPECT_TRUE(storeFileExists(uid)) << uid;
    }
    EXPECT_EQ(f.lvDosis()->count(), 2);
}

// A record that arrives while the operator answers a question is not one of the pairs:
// it stays waiting.
TEST_F(ForwardingTest, ARecordArrivingDuringTheUndoneTasksQuestionStaysWaiting) {
    startArchive();
    addViews({{"CC", "L", "100000"}, {"CC", "R", "100100"}});
    const std::vector<std::int64_t> records{addRecord("26", "10:00:10", "L-CC", 1), addRecord("25", "10:01:10", "R-CC", 1)};
    auto& f = open(1, false);
    loadStudy(f);
    f.lvTasks()->addItem("0", {}, {"task"});
    std::int64_t late = 0;
    op_.answer(MsgResult::Yes);
    op_.answerAfter(MsgResult::Yes, [&] {
        late = addRecord("31", "10:20:00", "L-CC", 1);
        f.dose().refreshDoseList();
    });
    pressOkWhenDone(nullptr);
    commands().cmdAll_Click();
    EXPECT_EQ(archived().size(), 2u);
    for (auto id : records) EXPECT_EQ(status(id), "1");
    ASSERT_NE(late, 0);
    EXPECT_EQ(status(late), "0");
    ASSERT_EQ(f.lvDosis()->count(), 1);
    EXPECT_EQ(f.lvDosis()->itemAtPosition(1)->text(0), QString::number(late));
}

// "Manually": the image the operator reached with the arrow keys and the record she
// chose; a right click on another record changes neither. Only that pair is sent,
// used and removed, and the job counts the one image it was asked to send.
TEST_F(ForwardingTest, ManualSendsTheCurrentImageWithTheChosenRecordOnly) {
    startArchive();
    const auto uids = addViews({{"CC", "L", "100000"}, {"CC", "R", "100100"}});
    const auto first = addRecord("26", "10:00:10", "L-CC", 1), second = addRecord("25", "10:01:10", "R-CC", 1);
    auto& f = open(1, false);
    loadStudy(f);
    corva::station::test::clickItem(f.lvImages(), f.lvImages()->itemAtPosition(1));
    ASSERT_EQ(f.CurrentImage()->sopInstanceUid(), uids[0]);
    f.lvImages()->setFocus();
    QTest::keyClick(f.lvImages(), Qt::Key_Down);
    ASSERT_EQ(f.CurrentImage()->sopInstanceUid(), uids[1]) << "the arrow key makes the next image current";
    ASSERT_TRUE(f.dose().selectDoseRecord(1));
    ASSERT_EQ(f.dose().doseList().currentRecordId(), second);
    QTreeWidget* lv = f.lvDosis();
    f.dose().doseList().rightClick(lv->visualItemRect(lv->topLevelItem(0)).center());
    f.dose().doseList().popupMenu()->hide();
    ASSERT_EQ(f.dose().doseList().currentRecordId(), second);

    QString log;
    op_.answer(MsgResult::Yes);
    pressOkWhenDone(&log);
    commands().cmdSelected_Click();
    ASSERT_GE(op_.messages().size(), 1);
    EXPECT_TRUE(op_.messages().front().startsWith("Forward image 2 (R-CC) with the exposure record 10.12.2026 10:01:10"))
        << op_.messages().front().toStdString();
    EXPECT_TRUE(log.contains("1 of 1 images successfully sent.")) << log.toStdString();
    const auto atArchive = archived();
    ASSERT_EQ(atArchive.size(), 1u);
    EXPECT_EQ(atArchive.begin()->first, uids[1]);
    EXPECT_EQ(atArchive.begin()->second.get(Kvp).text, "25");
    EXPECT_EQ(status(second), "1");
    EXPECT_EQ(status(first), "0");
    EXPECT_TRUE(imageRowExists(uids[0]));
    EXPECT_TRUE(storeFileExists(uids[0]));
    EXPECT_FALSE(imageRowExists(uids[1]));
    EXPECT_FALSE(storeFileExists(uids[1]));
    EXPECT_EQ(countRows("tblPatienten"), 1);
    EXPECT_EQ(f.dose().doseList().currentRecordId(), 0) << "the used record is no current exposure any more";
}

// "Manually" never sends with an exposure the operator did not choose for this image.
TEST_F(ForwardingTest, ManualRefusesWithoutAnImageOrARecordOfThisPatient) {
    startArchive();
    addViews({{"CC", "L", "100000"}});
    addRecord("26", "10:00:10", "L-CC", 1);
    auto& f = open(1, false);
    commands().cmdSelected_Click();
    EXPECT_EQ(op_.messages().last(), "Please select the image to forward first.");
    loadStudy(f);
    corva::station::test::clickItem(f.lvImages(), f.lvImages()->itemAtPosition(1));
    commands().cmdSelected_Click();
    EXPECT_EQ(op_.messages().last(), "Please select the exposure record of this image in the dose list first.");
    // Chosen, then the study is loaded again (as after a change of patient): the choice goes.
    ASSERT_TRUE(f.dose().selectDoseRecord(0));
    corva::station::test::clickItem(f.lvStudien(), f.lvStudien()->itemAtPosition(1));
    corva::station::test::clickItem(f.lvImages(), f.lvImages()->itemAtPosition(1));
    commands().cmdSelected_Click();
    EXPECT_EQ(op_.messages().last(), "Please select the exposure record of this image in the dose list first.");
    EXPECT_TRUE(op_.shownOf(ScriptedOperator::Kind::Window).empty());
    EXPECT_TRUE(archived().empty());
    EXPECT_EQ(countRows("tblImages"), 1);
}

}  // namespace
