#include "browser/browser_queries.h"

#include <QDate>

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

// The date as the lists showed it through QDate alone; the patient list now takes the
// common form by a shorter way and must show every text the same.
std::string dateThroughQDate(const std::string& stored) {
    const QDate d = QDate::fromString(QString::fromStdString(stored).trimmed().left(10), Qt::ISODate);
    return d.isValid() ? d.toString("dd.MM.yyyy").toStdString() : stored;
}

TEST(DisplayDate, EveryDayAndOddTextShownAsThroughQDate) {
    int days = 0;
    const std::pair<QDate, QDate> spans[] = {{QDate(999, 12, 1), QDate(1000, 2, 1)},
                                             {QDate(1890, 1, 1), QDate(2110, 12, 31)},
                                             {QDate(9999, 11, 1), QDate(9999, 12, 31)}};
    for (const auto& [from, to] : spans)
        for (QDate d = from; d <= to; d = d.addDays(1), ++days) {
            const std::string iso = d.toString(Qt::ISODate).toStdString();
            for (const std::string& stored : {iso, iso + " 10:15:00", iso + "T07:08:09"})
                ASSERT_EQ(displayDate(stored), dateThroughQDate(stored)) << stored;
        }
    EXPECT_GT(days, 80000);
    for (const char* odd : {"2024-02-30", "2023-02-29", "2024-02-29", "1900-02-29", "2000-02-29", "0000-01-01",
                            "0999-12-31", "2024-13-01", "2024-00-10", "2024-01-00", "2024-1-015", "20240115",
                            " 2024-01-15", "2024-01-15  ", "\t2024-01-15", "+024-01-15", "-024-01-15", "abcd-ef-gh",
                            "2024-01-1", "2024/01/15", "1899-12-31", "9999-12-31", "2024-01-15x"})
        EXPECT_EQ(displayDate(odd), dateThroughQDate(odd)) << "'" << odd << "'";
}

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
