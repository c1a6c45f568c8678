// corvactl send --patient <key>|--study <UID>|--series <UID> --to <alias>|<AET>@<host>:<port>
//               [--keep|--no-keep] [--commitment]
#include <algorithm>

#include "core/error.h"
#include "app/ctl/arguments.h"
#include "app/ctl/commands.h"
#include "app/ctl/station_lookup.h"
#include "common/storage_destinations.h"
#include "jobs/send_jobs.h"
#include "log/error_log.h"
#include "settings/settings.h"

namespace corva::station::ctl {

namespace {

// "<AET>@<host>:<port>"; nullopt when the text has not that form.
std::optional<jobs::Destination> literalDestination(const std::string& to) {
    const auto at = to.find('@');
    const auto colon = to.rfind(':');
    if (at == std::string::npos || colon == std::string::npos || colon < at) return std::nullopt;
    jobs::Destination d{to.substr(0, at), to.substr(at + 1, colon - at - 1), to.substr(colon + 1), {}};
    if (d.aet.empty() || d.ip.empty() || d.port.empty()) return std::nullopt;
    return d;
}

// The destination of --to: an alias of tblSCP (as the send-to menus list them), else
// an AE title, host and port written out.
jobs::Destination destinationOf(CtlEnvironment& env, const std::string& to) {
    {
        db::Database userDb = openUserDb(env);
        for (const StorageDestination& d : storageDestinations(userDb))
            if (db::foldCase(d.alias) == db::foldCase(to)) {
                if (d.aet.empty() || d.ip.empty() || d.port.empty())
                    throw CommandFailed("Incomplete Storage Class Provider values! AET: " + d.aet + " IP: " + d.ip +
                                        " Port: " + d.port);
                jobs::Destination destination{d.aet, d.ip, d.port, {}};
                destination.tls = d.tls.files();
                destination.commitment = d.commitment;
                return destination;
            }
    }
    if (auto d = literalDestination(to)) return *d;
    if (to.find('@') != std::string::npos)
        throw UsageError("--to " + to + ": write the destination as <AET>@<host>:<port>");
    throw CommandFailed("no destination with the alias '" + to + "' (see the options window's list)");
}

}  // namespace

int sendCommand(CtlEnvironment& env, const std::vector<std::string>& args) {
    const Arguments a(args, {{"patient", Arguments::Value},
                             {"study", Arguments::Value},
                             {"series", Arguments::Value},
                             {"to", Arguments::Value},
                             {"keep", Arguments::Flag},
                             {"no-keep", Arguments::Flag},
                             {"commitment", Arguments::Flag}});
    a.noOperands();
    const std::string level = a.exactlyOne({"patient", "study", "series"});
    if (!a.has("to")) throw UsageError("missing --to <alias>|<AET>@<host>:<port>");
    a.exclusive("keep", "no-keep");
    const std::int64_t patientKey = level == "patient" ? patientKeyArgument(*a.value("patient")) : 0;

    jobs::Destination destination = destinationOf(env, *a.value("to"));
    const auto& s = settings::current();
    destination.callingAe = s.irAet;
    if (a.has("commitment")) destination.commitment = true;
    jobs::SendSetup setup;
    setup.destination = destination;
    setup.keep = a.has("keep") ? true : a.has("no-keep") ? false : s.sentAndKeep != 0;
    setup.target.paths = env.paths;

    const JobLock lock = takeJobLock(env);
    jobs::SendJob::Level jobLevel = jobs::SendJob::Level::Patient;
    {
        db::Database db = openImageDb(env);
        StationLookup lookup(db);
        if (level == "patient") {
            setup.target.selection = lookup.patient(patientKey);
        } else if (level == "study") {
            setup.target.selection = lookup.study(*a.value("study"));
            jobLevel = jobs::SendJob::Level::Study;
        } else {
            setup.target.selection = lookup.series(*a.value("series"));
            jobLevel = jobs::SendJob::Level::Series;
        }
    }
    // The destination check of the station: no job without an accepted association.
    std::unique_ptr<dicom::Association> association;
    try {
        association = jobs::openDestination(destination);
    } catch (const Error& e) {
        log::LogError(e.code(), e.message(), "corvactl SCPOnline");
        throw CommandFailed("destination " + destination.aet + "@" + destination.ip + ":" + destination.port +
                            " not reached: Error #" + std::to_string(e.code()) + ": " + e.message());
    }
    jobs::SendJob job(jobLevel, setup, std::move(association));
    const int status = runJob(env, job);
    // The station reloads its lists: also when only some images of a series left.
    if (job.imagesRemoved() || job.removedAfterSend() || job.studyRemoved() || job.patientRemoved())
        announceChange(env);
    return status;
}

}  // namespace corva::station::ctl
