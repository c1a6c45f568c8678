#pragma once
// The clean-up of rows left without children: a series without images, a study
// without series, a patient without studies. The ingest service runs it every tick.
#include <cstdint>
#include <string>

namespace corva::db {

class Database;

// Rows one clean-up removed, per table.
struct OrphansRemoved {
    std::int64_t series = 0;
    std::int64_t studies = 0;
    std::int64_t patients = 0;
};

// Removes the series without images, then the studies without series, then the
// patients without studies: a patient whose last image went is gone in one pass.
OrphansRemoved removeOrphans(Database& db);

}  // namespace corva::db
