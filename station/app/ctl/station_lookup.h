#pragma once
// Finds what a command names (a patient by its key, a study or a series by its UID) in
// the image database and fills the selection the jobs work on, as the browser fills it
// when the operator clicks the entry.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/station_context.h"

namespace corva::db {
class Database;
}

namespace corva::station::ctl {

// Something the command names is not there (exit status 1).
class NotThere : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class StationLookup {
public:
    explicit StationLookup(db::Database& imageDb) : db_(imageDb) {}

    // The patient of a key (tblPatienten.PATID); NotThere when there is none.
    CurrentSelection patient(std::int64_t key);
    // A study with its patient; NotThere when there is none.
    CurrentSelection study(const std::string& studyUid);
    // A series with its study and patient; NotThere when there is none.
    CurrentSelection series(const std::string& seriesUid);

    int studyCountOf(std::int64_t patientKey);
    int seriesCountOf(std::int64_t studyId);
    // Image UIDs in the order the viewer loads them.
    std::vector<std::string> studyImages(std::int64_t studyId);
    std::vector<std::string> seriesImages(std::int64_t seriesId);

private:
    void fillPatient(CurrentSelection& s, std::int64_t key);
    db::Database& db_;
};

// A patient key from the command line: a whole number above 0, else UsageError.
std::int64_t patientKeyArgument(const std::string& text);

}  // namespace corva::station::ctl
