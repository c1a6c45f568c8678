#pragma once
// The clean-up of rows left without children: a series without images, a study
// without series, a patient without studies. The ingest service runs it every tick.
// It looks only at the parents of rows deleted or moved away since it last ran, which
// the database's triggers note in tblOrphanCheck: its time follows what was deleted,
// not the size of the database.
#include <cstdint>

namespace corva::db {

class Database;

// Rows one clean-up removed, per table.
struct OrphansRemoved {
    std::int64_t series = 0;
    std::int64_t studies = 0;
    std::int64_t patients = 0;
};

// Removes the series without images, then the studies without series, then the
// patients without studies, in one transaction: a patient whose last image went is
// gone in one pass. Without notes it writes nothing. A database without the notes
// (not yet upgraded), or one that asks for it, has every row looked at. Throws
// corva::Error and removes nothing when the database fails.
OrphansRemoved removeOrphans(Database& db);

// Asks the next clean-up to look at every row once: rows left without children in ways
// no trigger notes (written so by hand, or by a program of an earlier version while the
// triggers were missing) go then too. The ingest service asks this when it starts.
// Does nothing on a database without the notes (its clean-up looks at every row anyway).
void checkEveryRowForOrphans(Database& db);

}  // namespace corva::db
