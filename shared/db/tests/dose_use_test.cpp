// The dose reports owed since records were used: each patient of a study owes one, under
// UIDs fixed when its records were used.
#include "db/dose_use.h"

#include <gtest/gtest.h>

#include "db/database.h"
#include "db_test_util.h"
#include "temp_dir.h"

namespace corva {
namespace {

// A report still owed when the study's patient uses records again gives way to the new
// one: the owed instance may have reached the archive with the exposures it had then, and
// is never sent again with other contents. Another patient's owed report stays.
TEST(DoseUse, ARecordUseOwesANewInstanceInPlaceOfOneStillOwed)
{
    test::TempDir dir("doseuse");
    db::Database d = test::newImageDb(dir.path() / "QAData.dat");
    {
        db::Transaction t(d);
        db::oweDoseReport(d, "1.2.3", "P1", "2.25.1", "2.25.2");
        db::oweDoseReport(d, "1.2.3", "P2", "2.25.5", "2.25.6");
        t.commit();
    }
    {
        db::Transaction t(d);
        db::oweDoseReport(d, "1.2.3", "P1", "2.25.3", "2.25.4");
        t.commit();
    }
    const auto p1 = db::owedDoseReport(d, "1.2.3", "P1");
    ASSERT_TRUE(p1.has_value());
    EXPECT_EQ(p1->seriesUid, "2.25.3");
    EXPECT_EQ(p1->sopInstanceUid, "2.25.4");
    const auto p2 = db::owedDoseReport(d, "1.2.3", "P2");
    ASSERT_TRUE(p2.has_value());
    EXPECT_EQ(p2->sopInstanceUid, "2.25.6");
    EXPECT_EQ(test::scalar(d, "SELECT COUNT(*) FROM tblDoseReport"), 2);
}

// An owed report keeps where the images went, so that it follows them there; a table of
// an earlier version gains the column and keeps its rows, whose destination is unknown.
TEST(DoseUse, AnOwedReportKeepsItsDestinationAndAnEarlierTableGainsIt)
{
    test::TempDir dir("doseuse");
    db::Database d = test::newImageDb(dir.path() / "QAData.dat");
    d.exec("CREATE TABLE tblDoseReport (StudyUID TEXT NOT NULL COLLATE NOCASE, PatientID TEXT NOT NULL, "
           "SeriesUID TEXT NOT NULL, SOPInstanceUID TEXT NOT NULL, PRIMARY KEY (StudyUID, PatientID))");
    d.exec("INSERT INTO tblDoseReport VALUES ('1.2.3', 'P1', '2.25.1', '2.25.2')");
    const auto before = db::owedDoseReport(d, "1.2.3", "P1");
    ASSERT_TRUE(before.has_value());
    EXPECT_EQ(before->destination, "");
    {
        db::Transaction t(d);
        db::oweDoseReport(d, "1.2.4", "P2", "2.25.5", "2.25.6", "ARCHIVE@10.0.0.9:104");
        t.commit();
    }
    EXPECT_TRUE(d.hasColumn("tblDoseReport", "Destination"));
    const auto p2 = db::owedDoseReport(d, "1.2.4", "P2");
    ASSERT_TRUE(p2.has_value());
    EXPECT_EQ(p2->destination, "ARCHIVE@10.0.0.9:104");
    const auto p1 = db::owedDoseReport(d, "1.2.3", "P1");
    ASSERT_TRUE(p1.has_value());
    EXPECT_EQ(p1->sopInstanceUid, "2.25.2");
    EXPECT_EQ(p1->destination, "");
}

}  // namespace
}  // namespace corva
