#include "app/ctl/command_support.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "core/error.h"
#include "app/ctl/console_report.h"
#include "header/rewrite_handover.h"
#include "jobs/delete_jobs.h"
#include "log/error_log.h"

namespace corva::station::ctl {

namespace fs = std::filesystem;

namespace {
db::Database openExisting(const fs::path& file) {
    std::error_code ec;
    if (!fs::is_regular_file(file, ec))
        throw CommandFailed("no database " + file.string() + " (is this a program folder?)");
    return db::Database(file);
}
}  // namespace

db::Database openImageDb(const CtlEnvironment& env) {
    // A "delete all" killed half-way is finished or undone before its rows are read; an
    // edit's copies staged by a killed run go to the ingest service (both only while no
    // job holds the lock: the holder settles them).
    jobs::recoverInterruptedDeleteAll(env.paths);
    db::Database db = openExisting(env.paths.imageDb);
    header::handOverPendingRewrites(env.paths);
    return db;
}
db::Database openUserDb(const CtlEnvironment& env) { return openExisting(env.paths.userDb); }

JobLock takeJobLock(CtlEnvironment& env) {
    JobLock lock = JobLock::tryAcquire(env.paths.dataFolder);
    if (lock.state() == JobLock::State::Busy) {
        if (env.noWait) throw CommandFailed("another job is working on the images; not started (--no-wait)");
        env.err << "corvactl: waiting for another job on the images to finish ..." << std::endl;
        // Polled rather than blocked in flock, so that Ctrl+C ends the wait.
        while (lock.state() == JobLock::State::Busy) {
            if (ConsoleReport::cancelSignalled()) throw CommandFailed("cancelled while waiting for the job lock");
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            lock = JobLock::tryAcquire(env.paths.dataFolder);
        }
    }
    if (!lock.held()) throw CommandFailed("cannot take the job lock: " + lock.error());
    // A "delete all" killed half-way is finished or undone before this job works on the
    // images, and an edit's staged copies whose originals may be gone go in: whatever the
    // job, an image never waits outside the store for the next edit.
    jobs::recoverInterruptedDeleteAllLocked(env.paths);
    jobs::finishInterruptedRemovals(env.paths);
    const header::PendingHandOver pending = header::finishPendingRewrites(env.paths);
    if (!pending.handedOver.empty())
        env.err << "corvactl: handing over " << pending.handedOver.size()
                << " image(s) of an interrupted edit to the ingest service" << std::endl;
    env.handedOver.insert(env.handedOver.end(), pending.handedOver.begin(), pending.handedOver.end());
    return lock;
}

int runJob(CtlEnvironment& env, jobs::Job& job) {
    ConsoleReport report(env.out, env.err, env.errIsTerminal);
    jobs::JobOutcome outcome;
    try {
        outcome = job.run(report);
    } catch (const Error& e) {
        log::LogError(e.code(), e.message(), "corvactl " + job.caption());
        report.finish();
        report.unexpectedError(e.code(), e.message());
        outcome.complete = false;
    } catch (const std::exception& e) {
        log::LogError(errc::Generic, e.what(), "corvactl " + job.caption());
        report.finish();
        report.unexpectedError(errc::Generic, e.what());
        outcome.complete = false;
    }
    report.finish();
    job.windowClosed();
    return outcome.complete ? ExitComplete : ExitFailed;
}

void announceChange(const CtlEnvironment& env) {
    try {
        db::Database db(env.paths.imageDb);
        db.exec("INSERT INTO tblReceive (PATID, StudyID, SeriesID, ImageID, Checked) VALUES (0, 0, 0, 0, 0)");
    } catch (const std::exception& e) {
        log::LogError(errc::Generic, e.what(), "corvactl announceChange");
    }
}

std::string cell(const std::string& value) {
    // Header values come from outside: no control character (an escape sequence would
    // drive the terminal) and no tab or line end (the table's own separators) passes.
    std::string out;
    out.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        const auto c = static_cast<unsigned char>(value[i]);
        if (c < 0x20 || c == 0x7F) {
            out += ' ';
        } else if (c == 0xC2 && i + 1 < value.size() && static_cast<unsigned char>(value[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(value[i + 1]) <= 0x9F) {
            out += '?';  // a C1 control in UTF-8
            ++i;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string jsonString(const std::string& value) {
    std::string out = "\"";
    for (unsigned char c : value) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

void writeTable(std::ostream& out, bool json, const std::vector<std::string>& header,
                const std::vector<std::string>& jsonKeys, const std::vector<std::vector<std::string>>& rows) {
    if (json) {
        out << "[";
        for (std::size_t r = 0; r < rows.size(); ++r) {
            out << (r ? ",\n " : "\n ") << "{";
            for (std::size_t c = 0; c < jsonKeys.size() && c < rows[r].size(); ++c)
                out << (c ? ", " : "") << jsonString(jsonKeys[c]) << ": " << jsonString(rows[r][c]);
            out << "}";
        }
        out << (rows.empty() ? "]\n" : "\n]\n");
        return;
    }
    for (std::size_t c = 0; c < header.size(); ++c) out << (c ? "\t" : "") << header[c];
    out << '\n';
    for (const auto& row : rows) {
        for (std::size_t c = 0; c < row.size(); ++c) out << (c ? "\t" : "") << cell(row[c]);
        out << '\n';
    }
}

}  // namespace corva::station::ctl
