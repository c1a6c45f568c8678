// The orphan clean-up that looks only at the rows that lost a child, the upgrade that
// gives a database of an earlier version its notes and indexes, and the dose list's
// partial index: the same rows as the statements over every row, without walking the
// big tables.
#include "db/orphans.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "db/database.h"
#include "db/schema.h"
#include "db_test_util.h"
#include "temp_dir.h"

using namespace corva;
using corva::test::TempDir;

namespace {

// What the clean-up ran over every row before it kept notes.
db::OrphansRemoved removeOrphansOverEveryRow(db::Database& d)
{
    db::OrphansRemoved r;
    r.series = d.prepare("Delete from tblSeries where SeriesID not in (Select FKeySeriesID as SeriesID from tblImages)").run();
    r.studies = d.prepare("Delete from tblStudies where StudyID not in (Select FKeyStudyID as StudyID from tblSeries)").run();
    r.patients = d.prepare("Delete from tblPatienten where PatID not in (Select FKeyPatID as PatID from tblStudies)").run();
    return r;
}

// An image database as an earlier version made it.
void makeEarlierVersion(db::Database& d)
{
    d.exec("DROP INDEX idxDosisWaiting;"
           "DROP TRIGGER orphan_check_images_del; DROP TRIGGER orphan_check_images_upd;"
           "DROP TRIGGER orphan_check_series_del; DROP TRIGGER orphan_check_series_upd;"
           "DROP TRIGGER orphan_check_studies_del; DROP TRIGGER orphan_check_studies_upd;"
           "DROP TABLE tblOrphanCheck;");
}

std::set<std::tuple<std::string, std::string, std::string>> schemaOf(db::Database& d)
{
    std::set<std::tuple<std::string, std::string, std::string>> out;
    auto st = d.prepare("SELECT type, name, sql FROM sqlite_master WHERE sql IS NOT NULL");
    while (st.step())
        out.insert({st.getText(0), st.getText(1), st.getText(2)});
    return out;
}

std::vector<std::int64_t> keys(db::Database& d, const std::string& sql)
{
    std::vector<std::int64_t> out;
    auto st = d.prepare(sql);
    while (st.step())
        out.push_back(st.getInt(0));
    return out;
}

struct Rows {
    std::vector<std::int64_t> patients, studies, series, images;
    bool operator==(const Rows&) const = default;
};

Rows rowsOf(db::Database& d)
{
    return {keys(d, "SELECT PATID FROM tblPatienten ORDER BY 1"), keys(d, "SELECT StudyID FROM tblStudies ORDER BY 1"),
            keys(d, "SELECT SeriesID FROM tblSeries ORDER BY 1"), keys(d, "SELECT ImageID FROM tblImages ORDER BY 1")};
}

// Patient 1 with two studies (study 1: series 1 with images 1, 2 and series 2 with
// image 3; study 2: series 3 with image 4), patient 2 with study 3 (series 4, image 5).
void fill(db::Database& d)
{
    d.exec("INSERT INTO tblPatienten (PATID, PATID1, PATNachname) VALUES (1, 'A', 'Eins'), (2, 'B', 'Zwei');"
           "INSERT INTO tblStudies (StudyID, FKeyPATID, StudyUID) VALUES (1, 1, '1.1'), (2, 1, '1.2'), (3, 2, '2.1');"
           "INSERT INTO tblSeries (SeriesID, FKeyStudyID, SeriesUID) VALUES (1, 1, '1.1.1'), (2, 1, '1.1.2'),"
           "  (3, 2, '1.2.1'), (4, 3, '2.1.1');"
           "INSERT INTO tblImages (ImageID, FKeySeriesID, ImageUID) VALUES (1, 1, '1.1.1.1'), (2, 1, '1.1.1.2'),"
           "  (3, 2, '1.1.2.1'), (4, 3, '1.2.1.1'), (5, 4, '2.1.1.1');");
}

struct Change {
    const char* what;
    const char* sql;
    db::OrphansRemoved expected;
};

const Change Changes[] = {
    {"nothing", "SELECT 1", {0, 0, 0}},
    {"one image of a series with more", "DELETE FROM tblImages WHERE ImageID = 1", {0, 0, 0}},
    {"the last image of a series beside another", "DELETE FROM tblImages WHERE ImageID = 3", {1, 0, 0}},
    {"the last image of a patient's second study", "DELETE FROM tblImages WHERE ImageID = 4", {1, 1, 0}},
    {"every image of a patient", "DELETE FROM tblImages WHERE ImageID = 5", {1, 1, 1}},
    {"every image", "DELETE FROM tblImages", {4, 3, 2}},
    {"an image moved to another series", "UPDATE tblImages SET FKeySeriesID = 1 WHERE ImageID = 4", {1, 1, 0}},
    {"a series moved to another study", "UPDATE tblSeries SET FKeyStudyID = 1 WHERE SeriesID = 4", {0, 1, 1}},
    {"a study moved to another patient", "UPDATE tblStudies SET FKeyPATID = 1 WHERE StudyID = 3", {0, 0, 1}},
    {"a series removed with its image", "DELETE FROM tblImages WHERE ImageID = 5; DELETE FROM tblSeries WHERE SeriesID = 4",
     {0, 1, 1}},
    {"a study removed with all below it",
     "DELETE FROM tblImages WHERE ImageID = 4; DELETE FROM tblSeries WHERE SeriesID = 3; DELETE FROM tblStudies WHERE StudyID = 2",
     {0, 0, 0}},
    {"the last image gone and another filed into its series",
     "DELETE FROM tblImages WHERE ImageID = 5; INSERT INTO tblImages (ImageID, FKeySeriesID, ImageUID) VALUES (6, 4, '2.1.1.2')",
     {0, 0, 0}},
    {"an image whose series is unknown", "UPDATE tblImages SET FKeySeriesID = NULL WHERE ImageID = 5", {0, 0, 0}},
};

class NotedCleanUp : public ::testing::TestWithParam<Change> {};

TEST_P(NotedCleanUp, RemovesWhatTheCleanUpOverEveryRowRemoves)
{
    const Change& c = GetParam();
    TempDir dir;
    auto noted = test::newImageDb(dir / "noted.dat");
    auto every = test::newImageDb(dir / "every.dat");
    fill(noted);
    fill(every);
    noted.exec(c.sql);
    every.exec(c.sql);

    const db::OrphansRemoved byNotes = db::removeOrphans(noted);
    const db::OrphansRemoved byAll = removeOrphansOverEveryRow(every);
    EXPECT_EQ(rowsOf(noted), rowsOf(every)) << c.what;
    EXPECT_EQ(std::tie(byNotes.series, byNotes.studies, byNotes.patients),
              std::tie(byAll.series, byAll.studies, byAll.patients))
        << c.what;
    EXPECT_EQ(std::tie(byNotes.series, byNotes.studies, byNotes.patients),
              std::tie(c.expected.series, c.expected.studies, c.expected.patients))
        << c.what;
    EXPECT_EQ(test::scalar(noted, "SELECT COUNT(*) FROM tblOrphanCheck"), 0) << "every note is dealt with";
    // A second pass finds nothing more.
    const db::OrphansRemoved again = db::removeOrphans(noted);
    EXPECT_EQ(again.series + again.studies + again.patients, 0) << c.what;
}

INSTANTIATE_TEST_SUITE_P(Changes, NotedCleanUp, ::testing::ValuesIn(Changes));

// The clean-up with nothing noted only reads: another program sees no change.
TEST(NotedCleanUp, WithoutNotesWritesNothing)
{
    TempDir dir;
    auto d = test::newImageDb(dir / "QAData.dat");
    fill(d);
    db::Database other(dir / "QAData.dat");
    const auto before = test::scalar(other, "PRAGMA data_version");
    db::removeOrphans(d);
    EXPECT_EQ(test::scalar(other, "PRAGMA data_version"), before);
    d.exec("DELETE FROM tblImages WHERE ImageID = 5");
    EXPECT_NE(test::scalar(other, "PRAGMA data_version"), before);
}

// Every statement of a clean-up after deletions, as explained by the database: none walks
// the images, series, studies or patients.
TEST(NotedCleanUp, NeverWalksTheBigTables)
{
    TempDir dir;
    auto d = test::newImageDb(dir / "QAData.dat");
    fill(d);
    d.exec("DELETE FROM tblImages WHERE ImageID IN (4, 5)");
    std::vector<std::string> statements;
    // The text of each statement run; a trigger's steps come as "-- TRIGGER ...".
    auto trace = [](unsigned, void* out, void*, void* text) -> int {
        const std::string sql = static_cast<const char*>(text);
        if (sql.rfind("--", 0) != 0)
            static_cast<std::vector<std::string>*>(out)->push_back(sql);
        return 0;
    };
    sqlite3_trace_v2(d.handle(), SQLITE_TRACE_STMT, trace, &statements);
    const auto removed = db::removeOrphans(d);
    sqlite3_trace_v2(d.handle(), 0, nullptr, nullptr);
    EXPECT_EQ(removed.patients, 1);
    int deletes = 0;
    for (const std::string& sql : statements) {
        if (sql.rfind("DELETE FROM tbl", 0) != 0 && sql.rfind("Delete from tbl", 0) != 0)
            continue;
        ++deletes;
        auto st = d.prepare("EXPLAIN QUERY PLAN " + sql);
        std::string plan;
        while (st.step())
            plan += st.getText(3) + "\n";
        for (const char* table : {"tblImages", "tblSeries", "tblStudies", "tblPatienten"})
            EXPECT_EQ(plan.find(std::string("SCAN ") + table), std::string::npos) << sql << "\n" << plan;
    }
    EXPECT_EQ(deletes, 4);  // three tables, then the notes
}

// A database of an earlier version gains the notes and indexes once, ends up as a new
// one is made, and has its rows deleted before the upgrade looked at once.
TEST(Upgrade, EarlierDatabaseGainsNotesAndIndexes)
{
    TempDir dir;
    auto fresh = test::newImageDb(dir / "fresh.dat");
    auto d = test::newImageDb(dir / "QAData.dat");
    makeEarlierVersion(d);
    fill(d);
    d.exec("DELETE FROM tblImages WHERE ImageID = 5");  // unnoted: no triggers yet
    EXPECT_FALSE(d.hasTable("tblOrphanCheck"));
    // Before the upgrade the clean-up looks at every row, as it always did.
    {
        auto copy = db::Database(dir / "QAData.dat");
        copy.exec("SAVEPOINT look");
        const auto r = db::removeOrphans(copy);
        EXPECT_EQ(r.series + r.studies + r.patients, 3);
        copy.exec("ROLLBACK TO look; RELEASE look");
    }

    EXPECT_TRUE(db::upgradeImageSchema(d));
    EXPECT_FALSE(db::upgradeImageSchema(d));
    EXPECT_EQ(schemaOf(d), schemaOf(fresh));
    for (const char* name : {"idxDosisWaiting", "tblOrphanCheck", "orphan_check_images_del", "orphan_check_images_upd",
                             "orphan_check_series_del", "orphan_check_series_upd", "orphan_check_studies_del",
                             "orphan_check_studies_upd"}) {
        auto st = d.prepare("SELECT COUNT(*) FROM sqlite_master WHERE name = ?");
        st.bind(1, name);
        ASSERT_TRUE(st.step());
        EXPECT_EQ(st.getInt(0), 1) << name;
    }
    const auto r = db::removeOrphans(d);
    EXPECT_EQ(std::tie(r.series, r.studies, r.patients), std::make_tuple(std::int64_t{1}, std::int64_t{1}, std::int64_t{1}));
    EXPECT_EQ(test::scalar(d, "SELECT COUNT(*) FROM tblOrphanCheck"), 0);
    EXPECT_EQ(test::scalar(d, "SELECT COUNT(*) FROM tblPatienten"), 1);
    // From now on deletions are noted.
    d.exec("DELETE FROM tblImages WHERE ImageID = 4");
    EXPECT_EQ(test::scalar(d, "SELECT COUNT(*) FROM tblOrphanCheck WHERE Kind = 1 AND RowKey = 3"), 1);
}

// The dose list reads the waiting records through the partial index: the same rows in
// the same order as the table read from first to last.
TEST(Upgrade, DoseListSameRowsThroughItsIndex)
{
    TempDir dir;
    auto d = test::newImageDb(dir / "QAData.dat");
    auto add = d.prepare("INSERT INTO tblDosis (KVP, Datum, Status) VALUES ('28', '10.12.2026', ?)");
    const char* statuses[] = {"1", "0", "1", "1", nullptr, "0", "2", "1", "", "0", "1"};
    for (const char* status : statuses) {
        add.reset();
        if (status)
            add.bind(1, status);
        else
            add.bindNull(1);
        add.run();
    }
    d.exec("UPDATE tblDosis SET Status = '1' WHERE ID = 2");
    d.exec("UPDATE tblDosis SET Status = '0' WHERE ID = 3");
    auto plan = d.prepare("EXPLAIN QUERY PLAN SELECT * FROM tblDosis where Status <> '1'");
    ASSERT_TRUE(plan.step());
    EXPECT_NE(plan.getText(3).find("idxDosisWaiting"), std::string::npos) << plan.getText(3);
    EXPECT_EQ(keys(d, "SELECT * FROM tblDosis where Status <> '1'"),
              keys(d, "SELECT * FROM tblDosis NOT INDEXED where Status <> '1'"));
    EXPECT_EQ(keys(d, "SELECT * FROM tblDosis where Status <> '1'"), (std::vector<std::int64_t>{3, 6, 7, 9, 10}));
}

}  // namespace
