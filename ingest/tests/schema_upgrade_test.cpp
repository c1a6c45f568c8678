// The ingest service opening an image database of an earlier version: it gains the
// orphan notes and the indexes of this one, and what was deleted before goes once.
#include <gtest/gtest.h>

#include "core/paths.h"
#include "db/database.h"
#include "ingest_test_util.h"

namespace corva::ingest {
namespace {

using corva::test::DicomRecipe;
using corva::test::readFile;
using corva::test::uniqueUid;
using test::queryInt;
using test::Station;

TEST(SchemaUpgrade, EarlierDatabaseGainsNotesAndIndexesOnOpen)
{
    Station st;
    for (int i = 0; i < 2; ++i) {
        DicomRecipe recipe;
        recipe.patientId = "P" + std::to_string(i);
        recipe.studyUid = uniqueUid();
        recipe.sopInstanceUid = uniqueUid();
        st.drop(recipe.sopInstanceUid + ".dcm", recipe);
    }
    ASSERT_TRUE(st.settle());
    {
        // As an earlier version left it: no notes, no new index, and an image deleted
        // meanwhile.
        db::Database d(st.db());
        d.exec("DROP INDEX idxDosisWaiting;"
               "DROP TRIGGER orphan_check_images_del; DROP TRIGGER orphan_check_images_upd;"
               "DROP TRIGGER orphan_check_series_del; DROP TRIGGER orphan_check_series_upd;"
               "DROP TRIGGER orphan_check_studies_del; DROP TRIGGER orphan_check_studies_upd;"
               "DROP TABLE tblOrphanCheck;"
               "DELETE FROM tblImages WHERE ImageID = 1;");
    }
    st.ticks(1);
    EXPECT_EQ(queryInt(st.db(), "SELECT COUNT(*) FROM sqlite_master WHERE name IN ('idxDosisWaiting', 'tblOrphanCheck', "
                                "'orphan_check_images_del', 'orphan_check_images_upd', 'orphan_check_series_del', "
                                "'orphan_check_series_upd', 'orphan_check_studies_del', 'orphan_check_studies_upd')"),
              8);
    EXPECT_EQ(st.count("tblPatienten"), 1);
    EXPECT_EQ(st.count("tblStudies"), 1);
    EXPECT_EQ(st.count("tblSeries"), 1);
    EXPECT_EQ(queryInt(st.db(), "SELECT COUNT(*) FROM tblOrphanCheck"), 0);
    const auto log = readFile(st.folder().logs() / "Ingrado.log");
    EXPECT_NE(log.find("Data/QAData.dat upgraded"), std::string::npos) << log;
    EXPECT_NE(log.find(" 1 entries deleted from tblpatientenDeleteFailed\n"), std::string::npos) << log;

    // From now on a deletion is noted and cleaned up on the next tick.
    {
        db::Database d(st.db());
        d.exec("DELETE FROM tblImages");
    }
    st.ticks(1);
    EXPECT_EQ(st.count("tblPatienten"), 0);
    EXPECT_EQ(st.count("tblSeries"), 0);
}

// Rows without children that no deletion left (written so by hand) are not noted: a
// running service leaves them, and the next start looks at every row once.
TEST(SchemaUpgrade, UnnotedRowsWithoutChildrenGoWhenTheServiceStarts)
{
    Station st;
    DicomRecipe recipe;
    recipe.sopInstanceUid = uniqueUid();
    st.drop(recipe.sopInstanceUid + ".dcm", recipe);
    ASSERT_TRUE(st.settle());
    {
        db::Database d(st.db());
        d.exec("INSERT INTO tblPatienten (PATID1, PATNachname) VALUES ('EMPTY', 'Leer');"
               "INSERT INTO tblStudies (FKeyPATID, StudyUID) VALUES (last_insert_rowid(), '1.2.99');"
               "INSERT INTO tblSeries (FKeyStudyID, SeriesUID) VALUES (last_insert_rowid(), '1.2.99.1');");
    }
    st.ticks(2);
    EXPECT_EQ(st.count("tblSeries"), 2);
    EXPECT_EQ(st.count("tblPatienten"), 2);

    IngestService restarted(st.folder().path());
    restarted.start();
    restarted.tick();
    EXPECT_EQ(st.count("tblSeries"), 1);
    EXPECT_EQ(st.count("tblStudies"), 1);
    EXPECT_EQ(st.count("tblPatienten"), 1);
    EXPECT_EQ(st.count("tblImages"), 1);
    EXPECT_EQ(queryInt(st.db(), "SELECT COUNT(*) FROM tblPatienten WHERE PATID1 = 'EMPTY'"), 0);
}

}  // namespace
}  // namespace corva::ingest
