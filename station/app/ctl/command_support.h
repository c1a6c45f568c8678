#pragma once
// What every corvactl command shares: the program folder's paths, the console, the
// exit statuses, the job lock and the running of a job against the console report.
#include <filesystem>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/job.h"
#include "common/job_lock.h"
#include "common/station_context.h"
#include "db/database.h"

namespace corva::station::ctl {

// The exit statuses: everything done, ran but something failed, a usage error.
enum ExitStatus : int { ExitComplete = 0, ExitFailed = 1, ExitUsage = 2 };

// The command ran into something that stops it (exit status 1): a missing study, a
// refused destination. The message is one line.
class CommandFailed : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct CtlEnvironment {
    ProgramPaths paths;
    std::ostream& out;
    std::ostream& err;
    bool errIsTerminal = false;
    // Busy job lock: fail at once instead of waiting.
    bool noWait = false;
    // Copies an interrupted edit left staged that this run handed to the ingest service.
    std::vector<std::filesystem::path> handedOver;
};

// The image and configuration databases of the program folder; CommandFailed when missing.
// Opening the image database first settles what interrupted work left when no job
// holds the lock: a "delete all" is finished or undone, an edit's staged copies go in.
db::Database openImageDb(const CtlEnvironment& env);
db::Database openUserDb(const CtlEnvironment& env);

// The job lock for a command that changes or reads the images: waits for it (with a
// note on standard error) or, under --no-wait, fails with CommandFailed. With the lock
// it settles what interrupted work left (an edit's staged copies into `handedOver`).
JobLock takeJobLock(CtlEnvironment& env);

// Runs a job to its end against the console: log on standard output, progress and
// notices on standard error. An error the job lets through is logged and shown as the
// job window shows it. Returns ExitComplete when the job did everything it was asked.
int runJob(CtlEnvironment& env, jobs::Job& job);

// Tells a running station that rows went: a row in the receive table makes its patient
// list reload at the next refresh, as after an image the ingest service filed. Never
// throws; a station that misses it shows the change at its next reload.
void announceChange(const CtlEnvironment& env);

// One value of a list as a text cell: tabs and line ends would break the columns.
std::string cell(const std::string& value);
// A JSON string literal.
std::string jsonString(const std::string& value);

// Writes rows as a tab-separated table with a header line, or as a JSON array of
// objects with the header's keys.
void writeTable(std::ostream& out, bool json, const std::vector<std::string>& header,
                const std::vector<std::string>& jsonKeys, const std::vector<std::vector<std::string>>& rows);

}  // namespace corva::station::ctl
