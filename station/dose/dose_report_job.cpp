#include "dose/dose_report_job.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <system_error>

#include "common/edge.h"
#include "core/error.h"
#include "db/database.h"
#include "log/error_log.h"

namespace fs = std::filesystem;

namespace corva::dose {

namespace {

constexpr const char* Location = "DoseReport";

// A name the ingest service ignores and a later start clears once this process is gone.
fs::path partialName(const fs::path& folder, const std::string& uid) {
    static std::atomic<unsigned> counter{0};
    return folder / ("." + uid + "." + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".part");
}

// Hands the written report over under its own name, never over a file waiting there.
bool handOver(const fs::path& from, const fs::path& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno == EEXIST) return false;
    if (errno == EXDEV) {
        // The work folder on another disk: a copy under a partial name of the input folder first.
        const fs::path copy = partialName(to.parent_path(), to.stem().string());
        fs::copy_file(from, copy);
        const bool moved = handOver(copy, to);
        std::error_code ec;
        fs::remove(moved ? from : copy, ec);
        return moved;
    }
    if (::link(from.c_str(), to.c_str()) != 0) {
        if (errno == EEXIST) return false;
        throw Error(errc::Generic, "Cannot move " + from.string() + " to " + to.string() + ": " +
                                       std::generic_category().message(errno), Location);
    }
    ::unlink(from.c_str());
    return true;
}

// Removes the partial file unless it was handed over.
class PartialFile {
public:
    explicit PartialFile(fs::path path) : path_(std::move(path)) {}
    ~PartialFile() {
        std::error_code ec;
        fs::remove(path_, ec);
    }
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

}  // namespace

void DoseReportJob::settle() const {
    try {
        db::Database db(setup_.paths.imageDb);
        db::settleDoseReport(db, sopInstanceUid_);
    } catch (const std::exception&) {
        // Still owed: a report written again goes as this same instance.
        station::logCaught(Location);
    }
}

station::jobs::JobOutcome DoseReportJob::run(station::jobs::JobReport& report) {
    report.appendLog("Writing the dose report of study " + setup_.studyUid + " ... ");
    dicom::DoseReportContent content;
    try {
        content = studyReport(setup_.paths.imageDb, setup_.studyUid, setup_.patientId, setup_.xrayType,
                              setup_.settings);
    } catch (const Error& e) {
        corva::log::LogError(e.code(), e.message(), Location);
        report.appendLog("not written: " + e.message() + "\r\n");
        if (e.code() == errc::NotFound) {
            // No record left to write it from (the records were deleted): nothing stays owed.
            try {
                db::Database db(setup_.paths.imageDb);
                db::forgetOwedDoseReports(db, setup_.studyUid, setup_.patientId);
            } catch (const std::exception&) {
                station::logCaught(Location);
            }
        }
        return {false, 1};
    }
    sopInstanceUid_ = content.sopInstanceUid;
    events_ = static_cast<int>(content.events.size());
    std::error_code ec;
    fs::create_directories(setup_.paths.inputFolder, ec);
    fs::create_directories(setup_.paths.workFolder, ec);
    // Written in the work folder, whose abandoned partial files each forwarding clears.
    PartialFile file(partialName(setup_.paths.workFolder, sopInstanceUid_));
    try {
        dicom::writeDoseReport(content, file.path());
    } catch (const std::exception&) {
        station::logCaught(Location);
        report.appendLog("failed (see the error log)\r\n");
        return {false, 1};
    }
    report.appendLog("OK (" + std::to_string(events_) + " exposures)\r\n");

    const ReportDestination& d = setup_.destination;
    bool storedInFull = false;
    // Named in the job log as the images are: each warning and each refusal with the report's UID.
    std::string note;
    report.appendLog("Sending the dose report ... ");
    try {
        dicom::Association association;
        const dicom::OutgoingFile outgoing = dicom::OutgoingFile::read(file.path());
        association.open(d.ip, d.port, d.callingAe, d.aet, dicom::Association::contextsFor({&outgoing}), 10,
                         d.dimseTimeoutSeconds, d.tls);
        const dicom::StoreAnswer answer = association.send(dicom::OutgoingFile::read(file.path()));
        association.close();
        sent_ = true;
        storedInFull = answer.status == dicom::StoreStatus::Success;
        if (!storedInFull)
            note = "Stored with warning " + dicom::statusText(answer.code) +
                   (answer.comment.empty() ? "" : " (" + answer.comment + ")") + ": " + sopInstanceUid_ +
                   "; the dose report stays in the station";
    } catch (const dicom::StoreRefused& e) {
        station::logCaught(Location);
        note = "Not sent: " + sopInstanceUid_ + ": refused by the destination (status " + dicom::statusText(e.status()) +
               ")" + (e.comment().empty() ? "" : " (" + e.comment() + ")") + "; the dose report stays in the station";
    } catch (const std::exception&) {
        station::logCaught(Location);
        note = "Not sent: " + sopInstanceUid_ + ": could not be sent (see the error log); the dose report stays in "
               "the station";
    }
    report.appendLog(sent_ ? "OK\r\n" : "failed\r\n");
    if (!note.empty()) report.appendLog(note + "\r\n");

    if (storedInFull && !setup_.keep) {
        settle();  // the destination holds it, as it holds the images
        return {true, 0};
    }
    // Filed in the station: kept, or to be sent again from there.
    try {
        filed_ = handOver(file.path(), setup_.paths.inputFolder / (sopInstanceUid_ + ".dcm"));
        if (!filed_) throw Error(errc::Generic, "A file named " + sopInstanceUid_ + ".dcm waits in the input folder", Location);
    } catch (const std::exception&) {
        station::logCaught(Location);
        report.appendLog("The dose report could not be filed in the station (see the error log).\r\n");
    }
    if (filed_) settle();  // to be sent again from the station, if at all
    const bool done = sent_ && filed_;
    return {done, done ? 0 : 1};
}

}  // namespace corva::dose
