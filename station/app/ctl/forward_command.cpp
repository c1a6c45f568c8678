// corvactl forward --study <UID> --plan [--json]
// corvactl forward --study <UID> [--to <alias>|<AET>@<host>:<port>] [--keep|--no-keep]
//
// The station's "Automatic" forwarding: every image of the study is paired with the
// waiting exposure record of its projection, or nothing happens. The plan is made from
// the same image list (in the same order) and the same waiting records as the station's.
#include <QString>
#include <QStringList>
#include <filesystem>
#include <map>
#include <optional>

#include "core/error.h"
#include "app/ctl/arguments.h"
#include "app/ctl/commands.h"
#include "app/ctl/station_lookup.h"
#include "app/program_version.h"
#include "browser/browser_queries.h"
#include "common/storage_destinations.h"
#include "dose/dose_report.h"
#include "dose/dose_report_job.h"
#include "dose/dose_store.h"
#include "dose/exposure.h"
#include "dose/forwarding_plan.h"
#include "dose/forwarding_source.h"
#include "dose/planned_conversion.h"
#include "jobs/forward_job.h"
#include "log/error_log.h"
#include "settings/settings.h"
#include "transfer/input_drop.h"

namespace corva::station::ctl {

namespace fs = std::filesystem;

namespace {

constexpr const char* Location = "corvactl forward";

// What the pairing would use, or why it cannot go ahead.
struct Forwarding {
    CurrentSelection study;
    dose::ForwardingSource source;  // the images as read, by SOP instance UID
    dose::ForwardingPlan plan;
    QStringList refusals;  // empty when the plan holds

    bool holds() const { return refusals.isEmpty() && plan.holds(); }
};

int unitType() {
    const int xrayType = settings::current().xrayComm;
    if (xrayType != dose::unit::Sophie && xrayType != dose::unit::Giotto)
        throw CommandFailed("No X-ray unit type is set in the options: exposure records cannot be paired.");
    return xrayType;
}

std::string text(const QString& s) { return s.toStdString(); }

// The study's images in the order of the station's image list, so that the positions
// the plan names are the ones the operator sees.
std::vector<ImageListRow> imageList(const CtlEnvironment& env, Forwarding& f, const std::string& studyUid) {
    db::Database db = openImageDb(env);
    f.study = StationLookup(db).study(studyUid);
    return BrowserQueries(db).imagesOfStudy(f.study.studyUid);
}

// Reads each image of the list; an image that cannot be read is a reason to refuse,
// as the station refuses when an image of its list is not loaded.
std::vector<dose::PlanImage> readImages(const CtlEnvironment& env, Forwarding& f,
                                        const std::vector<ImageListRow>& rows, dicom::ReadMode mode) {
    std::vector<dose::ListedImage> listed;
    for (const ImageListRow& row : rows) {
        std::int64_t imageId = 0;
        try {
            imageId = std::stoll(row.imageId);
        } catch (const std::exception&) {
        }
        listed.push_back({row.imageUid, imageId, imageFile(env.paths, f.study.studyUid, row.imageUid)});
    }
    f.source = dose::readForForwarding(listed, mode);
    f.refusals << f.source.unreadable;
    return f.source.planned;
}

std::vector<dose::PlanRecord> waitingRecords(const CtlEnvironment& env, int xrayType) {
    std::vector<dose::PlanRecord> records;
    try {
        for (const dose::DoseRow& row : dose::DoseStore(env.paths.imageDb).pending())
            records.push_back(dose::planRecord(row, xrayType));
    } catch (const Error& e) {
        log::LogError(e.code(), e.message(), Location);
        throw CommandFailed("The exposure records cannot be read: " + e.message());
    }
    return records;
}

Forwarding planStudy(const CtlEnvironment& env, const std::string& studyUid, int xrayType, dicom::ReadMode mode) {
    Forwarding f;
    std::vector<dose::PlanImage> images = readImages(env, f, imageList(env, f, studyUid), mode);
    const std::vector<dose::PlanRecord> records = waitingRecords(env, xrayType);
    // Without every image, the plan would name records of the missing ones as strays.
    if (!f.refusals.isEmpty()) return f;
    f.plan = dose::ForwardingPlan::make(std::move(images), records);
    f.refusals = f.plan.refusals();
    return f;
}

// "Image 1 (L-CC)  <-  record ...<TAB><SOP instance UID>", one line per pair.
void writePairs(std::ostream& out, const dose::ForwardingPlan& plan) {
    const QStringList lines = plan.describePairs();
    for (std::size_t i = 0; i < plan.pairs().size(); ++i)
        out << text(lines.at(static_cast<qsizetype>(i))) << '\t' << plan.pairs()[i].sopInstanceUid << '\n';
}

void writeJson(std::ostream& out, const Forwarding& f) {
    out << "{\"pairs\": [";
    if (f.holds()) {
        const auto& pairs = f.plan.pairs();
        for (std::size_t i = 0; i < pairs.size(); ++i)
            out << (i ? ", " : "") << "{\"image\": " << jsonString(pairs[i].sopInstanceUid)
                << ", \"record\": " << pairs[i].recordId << "}";
    }
    out << "], \"refused\": [";
    for (qsizetype i = 0; i < f.refusals.size(); ++i) out << (i ? ", " : "") << jsonString(text(f.refusals.at(i)));
    out << "]}\n";
}

int planCommand(CtlEnvironment& env, const std::string& studyUid, bool json) {
    const int xrayType = unitType();
    const JobLock lock = takeJobLock(env);
    const Forwarding f = planStudy(env, studyUid, xrayType, dicom::ReadMode::HeaderOnly);
    if (json) {
        writeJson(env.out, f);
    } else if (f.holds()) {
        writePairs(env.out, f.plan);
    } else {
        for (const QString& reason : f.refusals) env.out << text(reason) << '\n';
    }
    return f.holds() ? ExitComplete : ExitFailed;
}

// ---- the destination ---------------------------------------------------------------

jobs::Destination completeDestination(const StorageDestination& d) {
    if (d.aet.empty() || d.ip.empty() || d.port.empty())
        throw CommandFailed("Incomplete Storage Class Provider values! AET: " + d.aet + " IP: " + d.ip +
                            " Port: " + d.port);
    jobs::Destination destination{d.aet, d.ip, d.port, {}};
    destination.tls = d.tls.files();
    destination.commitment = d.commitment;
    return destination;
}

// The station's default destination: the last row with Default set in the order of
// its send-to menus, which is the one the station ends up with.
jobs::Destination defaultDestination(db::Database& userDb) {
    std::optional<StorageDestination> found;
    for (const StorageDestination& d : storageDestinations(userDb))
        if (d.isDefault) found = d;
    if (!found) throw CommandFailed("No default SCP configured! (set one in the options window, or give --to)");
    return completeDestination(*found);
}

// --to: an alias of the destination list, else <AET>@<host>:<port>.
jobs::Destination namedDestination(db::Database& userDb, const std::string& to) {
    for (const StorageDestination& d : storageDestinations(userDb))
        if (db::foldCase(d.alias) == db::foldCase(to)) return completeDestination(d);
    const auto at = to.find('@');
    const auto colon = to.rfind(':');
    if (at == std::string::npos)
        throw CommandFailed("no destination with the alias '" + to + "' (see the options window's list)");
    jobs::Destination d{to.substr(0, at), {}, {}, {}};
    if (colon != std::string::npos && colon > at) {
        d.ip = to.substr(at + 1, colon - at - 1);
        d.port = to.substr(colon + 1);
    }
    if (d.aet.empty() || d.ip.empty() || d.port.empty())
        throw UsageError("--to " + to + ": write the destination as <AET>@<host>:<port>");
    return d;
}

jobs::Destination destinationOf(CtlEnvironment& env, const std::optional<std::string>& to) {
    db::Database userDb = openUserDb(env);
    jobs::Destination d = to ? namedDestination(userDb, *to) : defaultDestination(userDb);
    d.callingAe = settings::current().irAet;
    return d;
}

// The destination check of the station: nothing is converted for a destination that
// does not accept an association.
std::unique_ptr<dicom::Association> reach(const jobs::Destination& d) {
    try {
        return jobs::openDestination(d);
    } catch (const Error& e) {
        log::LogError(e.code(), e.message(), "corvactl SCPOnline");
        throw CommandFailed("destination " + d.aet + "@" + d.ip + ":" + d.port + " not reached: Error #" +
                            std::to_string(e.code()) + ": " + e.message());
    }
}

// ---- the dose report ---------------------------------------------------------------

dose::DoseReportSetup reportSetup(const CtlEnvironment& env, const std::string& studyUid,
                                  const std::string& patientId, int xrayType, const jobs::Destination& d, bool keep) {
    dose::DoseReportSetup setup;
    setup.paths = env.paths;
    setup.studyUid = studyUid;
    setup.patientId = patientId;
    setup.xrayType = xrayType;
    setup.settings = dose::doseReportSettings(xrayType);
    setup.settings.softwareVersions = CORVA_PROJECT_VERSION;
    setup.destination = {d.aet, d.ip, jobs::portNumber(d.port), d.callingAe, jobs::dimseTimeout(d), d.tls};
    // Without its own commitment the report stays where the archive's word on it is not final.
    setup.keep = keep || d.commitment;
    return setup;
}

// ---- the forwarding ----------------------------------------------------------------

// The work folder holds the images of one forwarding, as in the station; a conversion
// killed half-way left its partial file there.
void emptyWorkFolder(const fs::path& folder) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    transfer::removeAbandonedPartials(folder);
    for (const auto& e : fs::directory_iterator(folder, ec)) {
        std::error_code one;
        if (e.is_regular_file(one) && e.path().extension() == ".dcm") fs::remove(e.path(), one);
    }
}

std::vector<dose::ConvertedImage> convert(const CtlEnvironment& env, Forwarding& f, int xrayType) {
    emptyWorkFolder(env.paths.workFolder);
    try {
        return dose::convertPlanned(
            f.plan, [&](const std::string& uid) { return f.source.image(uid); }, xrayType, env.paths.workFolder);
    } catch (const Error& e) {
        log::LogError(e.code(), e.message(), "ModifyImage");
        throw CommandFailed(e.message() + " Nothing was sent.");
    }
}

void writeRefusal(std::ostream& err, const QStringList& reasons) {
    err << "corvactl forward: the images cannot be paired with the exposure records automatically; nothing was "
           "converted or sent:\n";
    for (const QString& reason : reasons) err << "- " << text(reason) << '\n';
    err.flush();
}

// The reports a killed forwarding of the study owed: its images went already, so they
// go first, as the same instances. Nothing when none is owed; else the exit status.
std::optional<int> sendOwedReports(CtlEnvironment& env, const std::string& studyUid, int xrayType,
                                   const jobs::ForwardSetup& setup) {
    std::vector<std::string> patients;
    {
        db::Database db = openImageDb(env);
        patients = db::patientsOwedDoseReport(db, studyUid);
    }
    if (patients.empty()) return std::nullopt;
    int status = ExitComplete;
    for (const std::string& patientId : patients) {
        dose::DoseReportJob job(reportSetup(env, studyUid, patientId, xrayType, setup.destination, setup.keep));
        if (runJob(env, job) != ExitComplete) status = ExitFailed;
        if (job.filed()) announceChange(env);
    }
    return status;
}

int forwardStudy(CtlEnvironment& env, const Arguments& a) {
    const int xrayType = unitType();
    jobs::ForwardSetup setup;
    setup.paths = env.paths;
    setup.destination = destinationOf(env, a.value("to"));
    if (a.has("commitment")) setup.destination.commitment = true;
    setup.keep = a.has("keep") ? true : a.has("no-keep") ? false : settings::current().sentAndKeep != 0;

    const JobLock lock = takeJobLock(env);
    // What a killed forwarding or dose report left half written goes first, whatever this
    // run then finds to do.
    transfer::removeAbandonedPartials(env.paths.workFolder);
    const std::optional<int> owed = sendOwedReports(env, *a.value("study"), xrayType, setup);
    Forwarding f;
    try {
        f = planStudy(env, *a.value("study"), xrayType, dicom::ReadMode::Full);
    } catch (const NotThere&) {
        if (owed) return *owed;  // the images left with the forwarding that owed the report
        throw;
    }
    if (!f.holds()) {
        writeRefusal(env.err, f.refusals);
        return ExitFailed;
    }
    std::unique_ptr<dicom::Association> association = reach(setup.destination);
    writePairs(env.out, f.plan);
    env.out.flush();
    for (const dose::ConvertedImage& c : convert(env, f, xrayType))
        setup.images.push_back({c.sopInstanceUid, c.imageId, c.recordId, f.source.identity(c.sopInstanceUid), c.doseUse});
    setup.patientName = f.study.patientName;
    // After the images: the study's dose report, from the records now used for them.
    // The patient whose images these are: a study UID may have been given to two.
    const std::string patientId = setup.images.empty() ? f.study.patientId : setup.images.front().doseUse.patientId;
    setup.afterRecordsUsed = [report = reportSetup(env, f.study.studyUid, patientId, xrayType, setup.destination,
                                                   setup.keep)](jobs::JobReport& log) {
        return dose::DoseReportJob(report).run(log);
    };
    f.source.images.clear();  // the pixels are written; the send reads the converted files

    jobs::ForwardJob job(std::move(setup), std::move(association));
    const int status = runJob(env, job);
    if (!job.removedImages().empty()) announceChange(env);
    return status;
}

// The destination an interrupted forwarding sent the study's images to, when it owes the
// report of the patient (or of the study's only patient owed one); a destination of the
// list with that address, so that its TLS files go with it.
std::optional<std::string> owedReportDestination(CtlEnvironment& env, const std::string& studyUid,
                                                 const std::string& patientId) {
    db::Database db = openImageDb(env);
    std::string patient = patientId;
    if (patient.empty()) {
        const std::vector<std::string> owed = db::patientsOwedDoseReport(db, studyUid);
        if (owed.size() != 1) return std::nullopt;
        patient = owed.front();
    }
    const auto report = db::owedDoseReport(db, studyUid, patient);
    if (!report || report->destination.empty()) return std::nullopt;
    db::Database userDb = openUserDb(env);
    for (const StorageDestination& d : storageDestinations(userDb))
        if (!d.alias.empty() && d.aet + "@" + d.ip + ":" + d.port == report->destination) return d.alias;
    return report->destination;
}

int writeDoseReport(CtlEnvironment& env, const Arguments& a) {
    const int xrayType = unitType();
    std::string studyUid = *a.value("study");
    {
        // The study as the station names it, when it still holds it.
        db::Database db = openImageDb(env);
        try {
            studyUid = StationLookup(db).study(studyUid).studyUid;
        } catch (const std::exception&) {
        }
    }
    std::optional<std::string> to = a.value("to");
    if (!to)
        if ((to = owedReportDestination(env, studyUid, a.value("patient").value_or(""))))
            env.err << "corvactl: the report goes to " << *to
                    << ", where the interrupted forwarding of the study sent its images" << std::endl;
    const jobs::Destination destination = destinationOf(env, to);
    const JobLock lock = takeJobLock(env);
    transfer::removeAbandonedPartials(env.paths.workFolder);
    const bool keep = a.has("keep") ? true : a.has("no-keep") ? false : settings::current().sentAndKeep != 0;
    dose::DoseReportJob job(reportSetup(env, studyUid, a.value("patient").value_or(""), xrayType, destination, keep));
    const int status = runJob(env, job);
    if (job.filed()) announceChange(env);
    return status;
}

}  // namespace

int doseReportCommand(CtlEnvironment& env, const std::vector<std::string>& args) {
    const Arguments a(args, {{"study", Arguments::Value},
                             {"patient", Arguments::Value},
                             {"to", Arguments::Value},
                             {"keep", Arguments::Flag},
                             {"no-keep", Arguments::Flag}});
    a.noOperands();
    if (!a.has("study")) throw UsageError("missing --study <UID>");
    a.exclusive("keep", "no-keep");
    return writeDoseReport(env, a);
}

int forwardCommand(CtlEnvironment& env, const std::vector<std::string>& args) {
    const Arguments a(args, {{"study", Arguments::Value},
                             {"plan", Arguments::Flag},
                             {"json", Arguments::Flag},
                             {"to", Arguments::Value},
                             {"keep", Arguments::Flag},
                             {"no-keep", Arguments::Flag},
                             {"commitment", Arguments::Flag}});
    a.noOperands();
    if (!a.has("study")) throw UsageError("missing --study <UID>");
    if (a.has("plan")) {
        for (const char* option : {"to", "keep", "no-keep", "commitment"})
            if (a.has(option)) throw UsageError(std::string("--plan changes nothing: it takes no --") + option);
        return planCommand(env, *a.value("study"), a.has("json"));
    }
    if (a.has("json")) throw UsageError("--json needs --plan");
    a.exclusive("keep", "no-keep");
    return forwardStudy(env, a);
}

}  // namespace corva::station::ctl
