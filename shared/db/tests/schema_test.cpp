// Every table, view and column the system names, in the files as the build writes them.
#include "db/schema.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "core/error.h"
#include "db/database.h"
#include "db_test_util.h"
#include "temp_dir.h"

using namespace corva;
using corva::test::TempDir;

namespace {

using Columns = std::vector<std::string>;

const std::map<std::string, Columns> ImageTables = {
    {"tblPatienten", {"PATID", "PATID1", "PATNachname", "PATVorname", "PAT2Vorname", "PATGebDatum", "PATGeschlecht"}},
    {"tblStudies",
     {"StudyID", "FKeyPATID", "FKeyUeberweiserID", "FKeyBodypartID", "FKeyModID", "FKeyAccessionID", "StudyDate",
      "StudyTime", "StudyUID", "StudyNr", "StudyDescription", "ReporterID1", "ReporterID2", "ReporterID3"}},
    {"tblSeries", {"SeriesID", "FKeyStudyID", "SeriesUID", "SeriesNr", "SeriesCBA"}},
    {"tblImages",
     {"ImageID", "FKeySeriesID", "ImageUID", "ImageNr", "ImageRows", "ImageCols", "ImageKVP", "ImageDCD",
      "ImageExpTime", "ImageExp", "ImageXRay", "ImageLocation", "ImageST", "ImageLevel", "ImageWidth", "ImageDate",
      "ImageTime"}},
    {"tblUeberweiser", {"UeberweiserID", "UeberweiserName"}},
    {"tblBodyparts", {"BodypartID", "Bodypart"}},
    {"tblModalities", {"ModID", "Modality"}},
    {"tblAccessions", {"AccessionID", "Accession"}},
    {"tblReceive", {"RecID", "PATID", "StudyID", "SeriesID", "ImageID", "Checked"}},
    // Written by position: the order is part of the format.
    {"tblDosis", {"ID", "KVP", "ma", "Zeit", "Dicke", "mGy", "Druck", "Datum", "Sonstiges", "Status", "expZeit"}},
    {"tblCommitments", {"TransactionUID", "Destination", "Requested", "Answered"}},
    {"tblOrphanCheck", {"CheckID", "Kind", "RowKey"}},
    {"tblCommitmentItems",
     {"ItemID", "TransactionUID", "SOPClassUID", "SOPInstanceUID", "ImageID", "StudyUID", "WorkCopy", "State",
      "FailureReason", "Done", "FilesRemoved", "FileSize", "FileModified", "FileInode", "FileDevice", "WorkSize",
      "WorkModified", "WorkInode", "WorkDevice"}},
};
const std::map<std::string, Columns> ImageViews = {
    {"view_studies", {"StudyID", "StudyUID", "StudyDate", "StudyTime", "Modality", "Bodypart", "PatID1"}},
    {"View_Images", {"ImageID", "ImageDate", "ImageTime", "ImageUID", "FKeySeriesID", "StudyUID"}},
};
const std::map<std::string, Columns> UserTables = {
    {"tblSCP", {"ID", "Alias", "AET", "IP", "Port", "Default", "Commitment"}},
    {"tblRules", {"fName", "fLevel", "fSource", "fTask", "fTaskID", "fTarget"}},
    {"tblRuleKey", {"fKeyName"}},
    {"tblDictionary", {"Index", "Tag", "Type", "Description", "Visible"}},
    {"tblModality", {"Modality"}},
};

Columns columnsOf(db::Database& d, const std::string& table)
{
    Columns cols;
    auto st = d.prepare("SELECT name FROM pragma_table_info(?) ORDER BY cid");
    st.bind(1, table);
    while (st.step())
        cols.push_back(st.getText(0));
    return cols;
}

std::map<std::string, std::string> objectsOf(db::Database& d)
{
    std::map<std::string, std::string> out;
    auto st = d.prepare("SELECT name, type FROM sqlite_master WHERE type IN ('table', 'view') AND name NOT LIKE 'sqlite!_%' ESCAPE '!'");
    while (st.step())
        out[st.getText(0)] = st.getText(1);
    return out;
}

void expectSchema(db::Database& d, const std::map<std::string, Columns>& tables,
                  const std::map<std::string, Columns>& views)
{
    std::map<std::string, std::string> expected;
    for (const auto& [t, cols] : tables) {
        expected[t] = "table";
        EXPECT_EQ(columnsOf(d, t), cols) << t;
    }
    for (const auto& [v, cols] : views) {
        expected[v] = "view";
        EXPECT_EQ(columnsOf(d, v), cols) << v;
    }
    EXPECT_EQ(objectsOf(d), expected);
}

// Auto-increment keys are SQLite integer primary keys (aliases of the rowid).
void expectIntegerKeys(db::Database& d, const std::map<std::string, Columns>& tables)
{
    for (const auto& [t, cols] : tables) {
        if (t == "tblCommitments")
            continue;  // keyed by the transaction UID the archive answers to
        auto st = d.prepare("SELECT name, type FROM pragma_table_info(?) WHERE pk = 1");
        st.bind(1, t);
        if (!st.step())
            continue;  // tables without a key of their own
        EXPECT_EQ(st.getText(0), cols.front()) << t;
        EXPECT_EQ(st.getText(1), "INTEGER") << t;
    }
}

}  // namespace

TEST(Schema, TemplateDatabaseHasEveryImageTableViewAndColumn)
{
    db::Database d(test::buildProgramFolder() / "Data" / db::TemplateDatabaseFile);
    expectSchema(d, ImageTables, ImageViews);
    expectIntegerKeys(d, ImageTables);
    EXPECT_EQ(test::scalar(d, "SELECT COUNT(*) FROM tblImages"), 0);
}

TEST(Schema, UserDatabaseHasEveryTableAndTheDictionary)
{
    db::Database d(test::buildProgramFolder() / "Data" / db::UserDatabaseFile);
    // The shipped dictionary comes with the default filter.
    auto shipped = UserTables;
    shipped["tblDictionary"].push_back(db::DefaultFilterName);
    expectSchema(d, shipped, {});
    expectIntegerKeys(d, UserTables);
    EXPECT_EQ(test::scalar(d, "SELECT COUNT(*) FROM tblDictionary WHERE Mammography = -1"), 23);
    EXPECT_FALSE(db::addDefaultFilter(d));  // there already: a site's changes stay
    EXPECT_GT(test::scalar(d, "SELECT COUNT(*) FROM tblDictionary"), 1000);
    EXPECT_EQ(test::scalar(d, "SELECT COUNT(*) FROM tblDictionary WHERE Visible <> -1"), 0);
    EXPECT_EQ(test::scalar(d, "SELECT COUNT(*) FROM tblDictionary WHERE Tag NOT GLOB "
                              "'[0-9A-F][0-9A-F][0-9A-F][0-9A-F],[0-9A-F][0-9A-F][0-9A-F][0-9A-F]'"),
              0);
    EXPECT_EQ(test::scalar(d, "SELECT COUNT(*) FROM tblDictionary WHERE length(Type) <> 2"), 0);
    auto st = d.prepare("SELECT Type FROM tblDictionary WHERE Tag = '0010,0010'");
    ASSERT_TRUE(st.step());
    EXPECT_EQ(st.getText(0), "PN");
    for (const char* empty : {"tblSCP", "tblRules", "tblRuleKey", "tblModality"})
        EXPECT_EQ(test::scalar(d, std::string("SELECT COUNT(*) FROM ") + empty), 0) << empty;
}

TEST(Schema, CreatingTwiceIsHarmlessAndReceiveTableCanBeRecreated)
{
    TempDir dir;
    auto d = test::newImageDb(dir / "QAData.dat");
    db::createImageSchema(d);
    d.exec("DROP TABLE tblReceive");
    EXPECT_THROW(d.prepare("SELECT Count(PatID) AS ReceiveCount FROM tblReceive"), Error);
    db::createReceiveTable(d);
    d.prepare("Insert Into tblReceive (PATID, StudyID, SeriesID, ImageID) Values(1, 2, 3, 4)").run();
    EXPECT_EQ(test::scalar(d, "SELECT Count(PatID) AS ReceiveCount FROM tblReceive"), 1);
    EXPECT_THROW(d.prepare("Insert Into tblReceive (PATID, StudyID, SeriesID) Values(1, 2, 3)").run(), Error);
    expectSchema(d, ImageTables, ImageViews);
}

TEST(Schema, ViewsJoinStudiesAndImages)
{
    TempDir dir;
    auto d = test::newImageDb(dir / "QAData.dat");
    test::insertChain(d, "P1", "1.2.3");
    auto s = d.prepare("SELECT StudyUID, Modality, Bodypart, PatID1, StudyDate FROM view_studies");
    ASSERT_TRUE(s.step());
    EXPECT_EQ(s.getText(0), "1.2.3.1");
    EXPECT_EQ(s.getText(1), "MG");
    EXPECT_EQ(s.getText(2), "BREAST");
    EXPECT_EQ(s.getText(3), "P1");
    EXPECT_EQ(s.getText(4), "2026-12-09");
    auto i = d.prepare("SELECT ImageUID, StudyUID, ImageTime FROM View_Images WHERE StudyUID = ?");
    i.bind(1, "1.2.3.1");
    ASSERT_TRUE(i.step());
    EXPECT_EQ(i.getText(0), "1.2.3");
    EXPECT_EQ(i.getText(2), "2026-12-09 10:00:00");
}

TEST(Schema, OrphanCleanUpRemovesAPatientInOnePass)
{
    TempDir dir;
    auto d = test::newImageDb(dir / "QAData.dat");
    test::insertChain(d, "keep", "1.1");
    auto gone = test::insertChain(d, "gone", "1.2");
    d.prepare("DELETE FROM tblImages WHERE ImageID = ?").bind(1, gone.image).run();
    EXPECT_EQ(d.prepare("Delete from tblSeries where SeriesID not in (Select FKeySeriesID as SeriesID from tblImages)").run(), 1);
    EXPECT_EQ(d.prepare("Delete from tblStudies where StudyID not in (Select FKeyStudyID as StudyID from tblSeries)").run(), 1);
    EXPECT_EQ(d.prepare("Delete from tblPatienten where PatID not in (Select FKeyPatID as PatID from tblStudies)").run(), 1);
    EXPECT_EQ(test::scalar(d, "SELECT COUNT(*) FROM tblPatienten"), 1);
}

// The clean-up after every tick and the matches by UID must not scan the big tables.
struct PlanCase {
    const char* sql;
    const char* mustUse;  // an index named in the plan
};

TEST(Schema, CleanUpAndLookupsUseIndexes)
{
    TempDir dir;
    auto d = test::newImageDb(dir / "QAData.dat");
    const PlanCase cases[] = {
        {"Delete from tblSeries where SeriesID not in (Select FKeySeriesID as SeriesID from tblImages)",
         "idxImagesFKeySeriesID"},
        {"Delete from tblStudies where StudyID not in (Select FKeyStudyID as StudyID from tblSeries)",
         "idxSeriesFKeyStudyID"},
        {"Delete from tblPatienten where PatID not in (Select FKeyPatID as PatID from tblStudies)",
         "idxStudiesFKeyPATID"},
        {"SELECT ImageID FROM tblImages WHERE ImageUID = ?", "idxImagesImageUID"},
        {"SELECT SeriesID FROM tblSeries WHERE SeriesUID = ?", "idxSeriesSeriesUID"},
        {"SELECT StudyID FROM tblStudies WHERE StudyUID = ?", "idxStudiesStudyUID"},
        {"SELECT PATID FROM tblPatienten WHERE PATID1 = ?", "idxPatientenPATID1"},
        {"SELECT ModID FROM tblModalities WHERE Modality = ?", "idxModalitiesModality"},
        {"SELECT BodypartID FROM tblBodyparts WHERE Bodypart = ?", "idxBodypartsBodypart"},
        {"SELECT UeberweiserID FROM tblUeberweiser WHERE UeberweiserName = ?", "idxUeberweiserName"},
        {"SELECT AccessionID FROM tblAccessions WHERE Accession = ?", "idxAccessionsAccession"},
        {"SELECT * FROM View_Images WHERE StudyUID = ?", "idxImagesFKeySeriesID"},
        {"SELECT * FROM view_studies WHERE PatID1 = ?", "idxStudiesFKeyPATID"},
    };
    for (const auto& c : cases) {
        auto st = d.prepare(std::string("EXPLAIN QUERY PLAN ") + c.sql);
        std::string plan;
        while (st.step())
            plan += st.getText(3) + "\n";
        EXPECT_NE(plan.find(c.mustUse), std::string::npos) << c.sql << "\n" << plan;
        // Only the outer table of a clean-up is walked; a child table never in full.
        for (const char* table : {"tblImages", "tblSeries", "tblStudies", "tblPatienten"}) {
            const std::string scan = std::string("SCAN ") + table + "\n";
            bool outer = std::string(c.sql).find(std::string("Delete from ") + table + " ") == 0;
            if (!outer) {
                EXPECT_EQ(plan.find(scan), std::string::npos) << c.sql << "\n" << plan;
            }
        }
    }
}
