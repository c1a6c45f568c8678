#include "db/orphans.h"

#include "db/database.h"

namespace corva::db {

namespace {

// Every row looked at.
constexpr const char* AllSeries =
    "Delete from tblSeries where SeriesID not in (Select FKeySeriesID as SeriesID from tblImages)";
constexpr const char* AllStudies =
    "Delete from tblStudies where StudyID not in (Select FKeyStudyID as StudyID from tblSeries)";
constexpr const char* AllPatients =
    "Delete from tblPatienten where PatID not in (Select FKeyPatID as PatID from tblStudies)";

// The noted rows only, by their keys; the condition is the same as above.
constexpr const char* NotedSeries =
    "DELETE FROM tblSeries WHERE SeriesID IN (SELECT RowKey FROM tblOrphanCheck WHERE Kind = 1) "
    "AND SeriesID NOT IN (SELECT FKeySeriesID FROM tblImages)";
constexpr const char* NotedStudies =
    "DELETE FROM tblStudies WHERE StudyID IN (SELECT RowKey FROM tblOrphanCheck WHERE Kind = 2) "
    "AND StudyID NOT IN (SELECT FKeyStudyID FROM tblSeries)";
constexpr const char* NotedPatients =
    "DELETE FROM tblPatienten WHERE PatID IN (SELECT RowKey FROM tblOrphanCheck WHERE Kind = 3) "
    "AND PatID NOT IN (SELECT FKeyPatID FROM tblStudies)";

OrphansRemoved run(Database& db, const char* series, const char* studies, const char* patients)
{
    // Each step's deletions note their parents for the next step (the triggers).
    OrphansRemoved removed;
    removed.series = db.prepare(series).run();
    removed.studies = db.prepare(studies).run();
    removed.patients = db.prepare(patients).run();
    return removed;
}

bool anyNote(Database& db, const char* sql)
{
    auto st = db.prepare(sql);
    return st.step();
}

}  // namespace

OrphansRemoved removeOrphans(Database& db)
{
    if (!db.hasTable("tblOrphanCheck"))
        return run(db, AllSeries, AllStudies, AllPatients);
    // An idle tick reads one empty table and writes nothing.
    if (!anyNote(db, "SELECT 1 FROM tblOrphanCheck LIMIT 1"))
        return {};
    Transaction t(db);
    const bool everything = anyNote(db, "SELECT 1 FROM tblOrphanCheck WHERE Kind = 0 LIMIT 1");
    const OrphansRemoved removed = everything ? run(db, AllSeries, AllStudies, AllPatients)
                                              : run(db, NotedSeries, NotedStudies, NotedPatients);
    // Under the write lock since the notes were read: every note is dealt with.
    db.exec("DELETE FROM tblOrphanCheck");
    t.commit();
    return removed;
}

void checkEveryRowForOrphans(Database& db)
{
    if (db.hasTable("tblOrphanCheck"))
        db.exec("INSERT INTO tblOrphanCheck (Kind, RowKey) VALUES (0, NULL)");
}

}  // namespace corva::db
