// Deletes from the browser's popups while the lists on screen are older than the image
// database: a study or series filed after the lists were shown (the ingest service
// files while the radiographer looks) must survive a delete that did not name it. The
// "only study" and "only series" shown decide what the question says, never what goes.
#include <gtest/gtest.h>

#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <filesystem>

#include "app/job_commands.h"
#include "app/main_form.h"
#include "common/list_view.h"
#include "common/station_context.h"
#include "jobs/edit_form.h"
#include "station_test_support.h"

namespace fs = std::filesystem;
using namespace corva;
using namespace corva::station;

namespace {

using corva::station::test::findItem;
using corva::station::test::waitFor;

class StaleListDeleteTest : public corva::station::test::StationTest {
protected:
    void TearDown() override {
        form_.reset();
        StationTest::TearDown();
    }
    MainForm& open() {
        form_ = std::make_unique<MainForm>();
        form_->Form_Load();
        form_->UpdateTimer()->stop();
        form_->resize(1200, 900);
        form_->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(form_.get()));
        return *form_;
    }
    void pressOkWhenDone(QString* log) {
        op_.answerWindow(ScriptedOperator::runModal([log](QDialog& d) {
            auto& form = static_cast<jobs::EditForm&>(d);
            if (!waitFor([&] { return form.cmdOK()->isEnabled(); })) return;
            *log = form.txtProgress()->toPlainText();
            QTest::mouseClick(form.cmdOK(), Qt::LeftButton);
        }));
    }
    bool filed(const std::string& study, const std::string& sop) {
        auto db = openImageDb();
        auto st = db.prepare("SELECT COUNT(*) FROM tblImages WHERE ImageUID = ?");
        st.bind(1, sop);
        st.step();
        return st.getInt(0) == 1 && fs::is_regular_file(folder_->images() / study / (sop + ".dcm"));
    }
    std::unique_ptr<MainForm> form_;
};

struct StaleCase {
    const char* name;
    bool deleteSeries;     // the series popup (else the study popup)
    bool newSeriesOnly;    // the late image is a new series of the shown study (else a new study)
};

class StaleListDelete : public StaleListDeleteTest, public ::testing::WithParamInterface<StaleCase> {};

// The patient shows one study with one series; then a new study (or a new series of that
// study) is filed. Deleting the shown study (or series) takes exactly it: the late
// images outside it keep their rows and files, and the patient stays for them. (A new
// series of a study being deleted is the study's: a study delete takes what the study
// holds when the job reads it.)
TEST_P(StaleListDelete, LateImagesOfTheSamePatientSurvive) {
    const StaleCase c = GetParam();
    const auto patient = addPatient("P1", "Alpha", "A");
    const auto study = addStudy(patient, "1.2.830");
    addImage(addSeries(study, "1.2.830.1", 1), "1.2.830", "1.2.830.1.1", 1);
    auto& f = open();
    corva::station::test::clickItem(f.lvPatients(), findItem(f.lvPatients(), "P1"));
    ASSERT_EQ(f.lvStudien()->count(), 1);
    f.lvStudien()->setCurrentItem(f.lvStudien()->itemAtPosition(1));
    if (c.deleteSeries) {
        f.PopUpStudie_SeriesWindow_Click();
        ASSERT_EQ(f.lvSerien()->count(), 2);
        f.lvSerien()->setCurrentItem(f.lvSerien()->itemAtPosition(2));
    }

    // Filed while the lists stay as they were.
    std::string lateStudy = "1.2.831";
    if (c.newSeriesOnly) {
        lateStudy = "1.2.830";
        addImage(addSeries(study, "1.2.830.2", 2), lateStudy, "1.2.830.2.1", 1);
    } else {
        addImage(addSeries(addStudy(patient, lateStudy), "1.2.831.1", 1), lateStudy, "1.2.831.1.1", 1);
    }
    const std::string lateSop = c.newSeriesOnly ? "1.2.830.2.1" : "1.2.831.1.1";

    op_.answer(MsgResult::Yes);
    QString log;
    pressOkWhenDone(&log);
    (c.deleteSeries ? f.menus().PopUpSerie_Delete : f.menus().PopUpStudie_Delete)->trigger();
    EXPECT_FALSE(filed("1.2.830", "1.2.830.1.1")) << "the image named by the delete stays: " << log.toStdString();
    EXPECT_TRUE(filed(lateStudy, lateSop)) << "an image filed after the lists were shown was taken: "
                                           << log.toStdString();
    EXPECT_EQ(countRows("tblPatienten"), 1);
    EXPECT_EQ(countRows("tblImages"), 1);
}

INSTANTIATE_TEST_SUITE_P(Deletes, StaleListDelete,
                         ::testing::Values(StaleCase{"OnlyStudyThenNewStudy", false, false},
                                           StaleCase{"OnlySeriesThenNewSeries", true, true},
                                           StaleCase{"OnlySeriesThenNewStudy", true, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// The patient's only study, nothing filed meanwhile: the patient goes with it and leaves
// the list, as the question said.
TEST_F(StaleListDeleteTest, OnlyStudyTakesItsPatientAlongWhenNothingElseCame) {
    const auto patient = addPatient("P1", "Alpha", "A");
    addImage(addSeries(addStudy(patient, "1.2.840"), "1.2.840.1", 1), "1.2.840", "1.2.840.1.1", 1);
    const auto other = addPatient("P2", "Beta", "B");
    addImage(addSeries(addStudy(other, "1.2.841"), "1.2.841.1", 1), "1.2.841", "1.2.841.1.1", 1);
    auto& f = open();
    corva::station::test::clickItem(f.lvPatients(), findItem(f.lvPatients(), "P1"));
    ASSERT_EQ(f.lvStudien()->count(), 1);
    f.lvStudien()->setCurrentItem(f.lvStudien()->itemAtPosition(1));
    op_.answer(MsgResult::Yes);
    QString log;
    pressOkWhenDone(&log);
    f.menus().PopUpStudie_Delete->trigger();
    EXPECT_EQ(log, "Updating Database ... OK\nRemoving image directory ... OK\nTasks done.");
    EXPECT_EQ(countRows("tblPatienten"), 1);
    EXPECT_EQ(f.lvPatients()->count(), 1);
    EXPECT_EQ(f.lvStudien()->count(), 0);
    EXPECT_FALSE(fs::exists(folder_->images() / "1.2.840"));
    EXPECT_TRUE(filed("1.2.841", "1.2.841.1.1"));
}

}  // namespace
