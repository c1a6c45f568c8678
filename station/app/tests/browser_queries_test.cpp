#include "browser/browser_queries.h"
#include "common/station_context.h"
#include "station_test_support.h"

namespace corva::station::test {
namespace {

class BrowserQueriesTest : public StationTest {};

TEST(StudyImageQuery, IsBuiltFromEverySeriesInOrder) {
    const auto q = BrowserQueries::studyImageQuery({12, 15});
    EXPECT_EQ(q.imageSql,
              "SELECT ImageUID FROM tblImages WHERE FKeySeriesID = ? OR FKeySeriesID = ? ORDER BY FKeySeriesID, "
              "ImageNr");
    EXPECT_EQ(q.countSql, "SELECT COUNT(ImageUID) AS ImageCount FROM tblImages WHERE FKeySeriesID = ? OR FKeySeriesID = ?");
    EXPECT_EQ(q.params, (std::vector<std::int64_t>{12, 15}));
    EXPECT_FALSE(q.noSeries);
}

TEST_F(BrowserQueriesTest, StudyQueryLoadsImagesOfEverySeriesBySeriesThenNumber) {
    const auto pat = addPatient("P1", "Muster", "Anna");
    const auto study = addStudy(pat, "1.2.3");
    const auto s2 = addSeries(study, "1.2.3.2", 2);
    const auto s1 = addSeries(study, "1.2.3.1", 1);
    addImage(s1, "1.2.3", "1.2.3.1.2", 2, "10:00:00", 0);
    addImage(s2, "1.2.3", "1.2.3.2.1", 1, "10:00:00", 0);
    addImage(s1, "1.2.3", "1.2.3.1.1", 1, "10:00:00", 0);
    auto db = openImageDb();
    BrowserQueries queries(db);
    const auto q = BrowserQueries::studyImageQuery(queries.seriesKeysOf(study));
    EXPECT_EQ(queries.imageCount(q), 3);
    // Series keys in order (s2 was inserted first), image numbers within.
    EXPECT_EQ(queries.imageUids(q), (std::vector<std::string>{"1.2.3.2.1", "1.2.3.1.1", "1.2.3.1.2"}));
    // A study without series holds nothing: no statement without a condition.
    EXPECT_EQ(queries.imageCount(BrowserQueries::studyImageQuery({})), 0);
}

TEST_F(BrowserQueriesTest, PatientIdWithApostropheListsItsStudies) {
    const auto pat = addPatient("O'NEIL-7", "O´Neil", "Mary");
    addStudy(pat, "1.2.840.1");
    addStudy(addPatient("OTHER", "Other", "X"), "1.2.840.2");
    auto db = openImageDb();
    const auto studies = BrowserQueries(db).studiesOf("O'NEIL-7");
    ASSERT_EQ(studies.size(), 1u);
    EXPECT_EQ(studies[0].studyUid, "1.2.840.1");
    EXPECT_EQ(studies[0].date, "15.01.2024");
    EXPECT_EQ(studies[0].time, "10:15:00");
    EXPECT_EQ(studies[0].modality, "MG");
    EXPECT_EQ(studies[0].bodypart, "BREAST");
}

TEST_F(BrowserQueriesTest, PatientNamesWithAndWithoutFirstName) {
    addPatient("A", "Muster", "Anna", "Maria", "1950-03-04");
    addPatient("B", "Solo", std::nullopt);
    addPatient("C", "Ohne", "Datum", std::nullopt, "1899-12-31");  // stored without birth date
    auto db = openImageDb();
    const auto rows = BrowserQueries(db).patients();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[2].birthDate, "");
    EXPECT_EQ(rows[0].name, "Muster, Anna");
    EXPECT_EQ(rows[0].secondName, "Maria");
    EXPECT_EQ(rows[0].birthDate, "04.03.1950");
    EXPECT_EQ(rows[1].name, "Solo");  // no comma without a first name
}

struct ShownCase {
    const char* stored;
    const char* date;
    const char* time;
};

void PrintTo(const ShownCase& c, std::ostream* os) {
    *os << "stored '" << c.stored << "'";
}

class StoredDatesAndTimes : public ::testing::TestWithParam<ShownCase> {};

TEST_P(StoredDatesAndTimes, ShowTheDateOrTheTimeAlone) {
    const auto c = GetParam();
    EXPECT_EQ(displayDate(c.stored), c.date);
    EXPECT_EQ(displayTime(c.stored), c.time);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, StoredDatesAndTimes,
    ::testing::Values(ShownCase{"2024-01-15", "15.01.2024", "00:00:00"},
                      ShownCase{"2024-01-15 10:15:00", "15.01.2024", "10:15:00"},
                      ShownCase{"1899-12-30 10:15:00", "30.12.1899", "10:15:00"},  // a time stored without date
                      ShownCase{"2024-01-15T10:15:07", "15.01.2024", "10:15:07"},
                      ShownCase{"10:15:00", "10:15:00", "10:15:00"}, ShownCase{"", "", ""},
                      ShownCase{"no date", "no date", "no date"}));

TEST_F(BrowserQueriesTest, ListsShowDatesAndTimesApart) {
    const auto pat = addPatient("P1", "Muster", "Anna");
    const auto study = addStudy(pat, "1.2.3");
    const auto series = addSeries(study, "1.2.3.1", 1);
    addImage(series, "1.2.3", "1.2.3.1.1", 1, "10:00:00", 0);
    {
        // As the ingest service stores DICOM times that come without a date.
        auto db = openImageDb();
        db.exec("UPDATE tblStudies SET StudyTime = '1899-12-30 09:08:07'");
        db.exec("UPDATE tblImages SET ImageDate = '2024-02-03', ImageTime = '1899-12-30 11:12:13'");
    }
    auto db = openImageDb();
    BrowserQueries q(db);
    const auto studies = q.studiesOf("P1");
    ASSERT_EQ(studies.size(), 1u);
    EXPECT_EQ(studies[0].date, "15.01.2024");
    EXPECT_EQ(studies[0].time, "09:08:07");
    for (const auto& images : {q.imagesOfStudy("1.2.3"), q.imagesOfSeries(series)}) {
        ASSERT_EQ(images.size(), 1u);
        EXPECT_EQ(images[0].date, "03.02.2024");
        EXPECT_EQ(images[0].time, "11:12:13");
        EXPECT_EQ(images[0].imageUid, "1.2.3.1.1");
    }
}

TEST_F(BrowserQueriesTest, ImageKeysBeyond16BitsAreDeleted) {
    const auto series = addSeries(addStudy(addPatient("P", "A", "B"), "1.9"), "1.9.1", 1);
    addImage(series, "1.9", "1.9.1.1", 1, "10:00:00", 0, 0, 40000);
    addImage(series, "1.9", "1.9.1.2", 2, "10:00:00", 0, 0, 3000000000LL);
    auto db = openImageDb();
    BrowserQueries q(db);
    q.deleteImage(40000);
    q.deleteImage(3000000000LL);
    EXPECT_EQ(countRows("tblImages"), 0);
}

}  // namespace
}  // namespace corva::station::test
