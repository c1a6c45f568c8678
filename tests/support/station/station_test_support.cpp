#include "station_test_support.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QTest>
#include <fstream>
#include <sstream>

#include "dicom_fixture.h"
#include "offscreen_application.h"
#include "poll_until.h"
#include "query.h"
#include "viewer/loaded_image.h"
#include "viewer/study_loader.h"
#include "common/list_view.h"
#include "common/config_state.h"
#include "common/station_context.h"
#include "settings/settings.h"
#include "temp_dir.h"

namespace corva::station::test {

namespace {

// One application for the whole test program, on the screen this program is built for.
// gtest owns the environment it is given.
[[maybe_unused]] ::testing::Environment* const environment = ::testing::AddGlobalTestEnvironment(
    new OffscreenApplication("station-tests", CORVA_OFFSCREEN_SCREEN));

}  // namespace

bool waitFor(const std::function<bool()>& condition, int timeoutMs) {
    return corva::test::pollUntil(condition, timeoutMs);
}

void StationTest::SetUp() {
    folder_ = std::make_unique<corva::test::ProgramFolder>(folderOptions());
    folder_->activate();
    auto& g = stationContext();
    g.dataDb.closeIfOpen();
    g.userDb.closeIfOpen();
    g = StationContext{};
    g.paths = ProgramPaths::compute(folder_->path());
    g.dataDb.setFile(g.paths.imageDb);
    g.userDb.setFile(g.paths.userDb);
    settings::current() = settings::Settings{};
    settings::LoadSettings(settings::current());
    configState() = ConfigState{};
    loadedImageSet().clear();
    guard_ = std::make_unique<OperatorSeamGuard>(op_);
}

void StationTest::TearDown() {
    guard_.reset();
    loadedImageSet().clear();
    stationContext().dataDb.closeIfOpen();
    stationContext().userDb.closeIfOpen();
    folder_.reset();
}

db::Database StationTest::openImageDb() const {
    return db::Database(folder_->imageDatabase());
}

std::int64_t StationTest::addPatient(const std::string& id, const std::string& last,
                                     const std::optional<std::string>& first, const std::optional<std::string>& second,
                                     const std::string& birthDate) {
    auto db = openImageDb();
    auto s = db.prepare(
        "INSERT INTO tblPatienten (PATID1, PATNachname, PATVorname, PAT2Vorname, PATGebDatum, PATGeschlecht) "
        "VALUES (?, ?, ?, ?, ?, 'F')");
    s.bind(1, id).bind(2, last).bind(3, first).bind(4, second).bind(5, birthDate);
    s.run();
    return db.lastInsertRowId();
}

std::int64_t StationTest::addStudy(std::int64_t patientKey, const std::string& studyUid, const std::string& date,
                                   const std::string& time) {
    auto db = openImageDb();
    db.exec("INSERT INTO tblModalities (Modality) SELECT 'MG' WHERE NOT EXISTS (SELECT 1 FROM tblModalities)");
    db.exec("INSERT INTO tblBodyparts (Bodypart) SELECT 'BREAST' WHERE NOT EXISTS (SELECT 1 FROM tblBodyparts)");
    auto s = db.prepare(
        "INSERT INTO tblStudies (FKeyPATID, FKeyUeberweiserID, FKeyBodypartID, FKeyModID, FKeyAccessionID, StudyDate, "
        "StudyTime, StudyUID, StudyNr, StudyDescription) VALUES (?, 1, (SELECT MIN(BodypartID) FROM tblBodyparts), "
        "(SELECT MIN(ModID) FROM tblModalities), 1, ?, ?, ?, 0, 'N/A')");
    s.bind(1, patientKey).bind(2, date).bind(3, date + " " + time).bind(4, studyUid);
    s.run();
    return db.lastInsertRowId();
}

std::int64_t StationTest::addSeries(std::int64_t studyKey, const std::string& seriesUid, int seriesNr) {
    auto db = openImageDb();
    auto s = db.prepare("INSERT INTO tblSeries (FKeyStudyID, SeriesUID, SeriesNr, SeriesCBA) VALUES (?, ?, ?, '0')");
    s.bind(1, studyKey).bind(2, seriesUid).bind(3, seriesNr);
    s.run();
    return db.lastInsertRowId();
}

std::int64_t StationTest::addImage(std::int64_t seriesKey, const std::string& studyUid, const std::string& imageUid,
                                   int imageNr, const std::string& time, int rows, int columns,
                                   std::optional<std::int64_t> imageId) {
    auto db = openImageDb();
    auto s = db.prepare(
        "INSERT INTO tblImages (ImageID, FKeySeriesID, ImageUID, ImageNr, ImageDate, ImageTime) VALUES (?, ?, ?, ?, "
        "'2024-01-15', ?)");
    if (imageId) s.bind(1, *imageId);
    else s.bindNull(1);
    s.bind(2, seriesKey).bind(3, imageUid).bind(4, imageNr).bind(5, "2024-01-15 " + time);
    s.run();
    const auto key = db.lastInsertRowId();
    if (rows > 0) {
        corva::test::DicomRecipe recipe;
        recipe.studyUid = studyUid;
        recipe.sopInstanceUid = imageUid;
        recipe.instanceNumber = imageNr;
        recipe.rows = rows;
        recipe.columns = columns;
        corva::test::writeDicom(folder_->images() / studyUid / (imageUid + ".dcm"), recipe);
    }
    return key;
}

StationTest::StudyRows StationTest::addStudyWithImages(std::int64_t patientKey, int seriesCount, int perSeries) {
    StudyRows s;
    s.uid = corva::test::uniqueUid();
    s.key = addStudy(patientKey, s.uid);
    for (int i = 0; i < seriesCount; ++i) {
        const auto series = addSeries(s.key, corva::test::uniqueUid(), i + 1);
        s.series.push_back(series);
        for (int j = 0; j < perSeries; ++j) {
            const std::string uid = corva::test::uniqueUid();
            addImage(series, s.uid, uid, j + 1);
            s.images.push_back(uid);
        }
    }
    return s;
}

void StationTest::addReceiveRow() {
    auto db = openImageDb();
    db.exec("INSERT INTO tblReceive (PATID, StudyID, SeriesID, ImageID) VALUES (1, 1, 1, 1)");
}

std::int64_t StationTest::countRows(const std::string& table) const {
    auto db = openImageDb();
    return corva::test::queryNumber(db, "SELECT COUNT(*) FROM " + table);
}

std::string StationTest::errorLog() const {
    std::ifstream in(folder_->logs() / "Error.log", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void clickItem(ListView* list, QTreeWidgetItem* item, Qt::MouseButton button) {
    list->scrollToItem(item);
    // Near the left end of the entry: its columns may reach beyond the visible part.
    const QRect r = list->visualItemRect(item);
    QTest::mouseClick(list->viewport(), button, {}, QPoint(r.left() + 8, r.center().y()));
    // A click on a study or series starts a load: the click is done when it is loaded.
    EXPECT_TRUE(waitFor([] { return StudyLoader::runningLoads() == 0; }));
}

QTreeWidgetItem* findItem(ListView* list, const QString& text) {
    const auto items = list->findItems(text, Qt::MatchExactly, 0);
    return items.isEmpty() ? nullptr : items.first();
}

}  // namespace corva::station::test
