#pragma once
// Writes a study's dose report, sends it to the destination and files it in the
// station through the input folder, where the ingest service takes it like any other
// object (its own series). Like the images, it stays in the station only when the keep
// setting is on or the destination did not store it in full: then it is never lost and
// can be sent again. The caller holds the job lock.
#include <optional>
#include <string>

#include "common/job.h"
#include "common/station_context.h"
#include "dose/dose_report.h"

namespace corva::dose {

// Where the report goes: the forwarding's destination.
struct ReportDestination {
    std::string aet, ip;
    int port = 0;
    std::string callingAe;
    int dimseTimeoutSeconds = 60;
    // Over TLS with these files, as the images went; plain DICOM without.
    std::optional<dicom::TlsFiles> tls;
};

struct DoseReportSetup {
    station::ProgramPaths paths;
    std::string studyUid;
    std::string patientId;  // whose exposures; empty: the study's one patient
    int xrayType = 0;
    DoseReportSettings settings;
    ReportDestination destination;
    bool keep = true;  // General\SentAndKeep
};

class DoseReportJob : public station::jobs::Job {
public:
    explicit DoseReportJob(DoseReportSetup setup) : setup_(std::move(setup)) {}
    std::string caption() const override { return "DoseReport"; }
    station::jobs::JobOutcome run(station::jobs::JobReport& report) override;

    // Read after the job has finished.
    const std::string& sopInstanceUid() const { return sopInstanceUid_; }
    bool sent() const { return sent_; }
    bool filed() const { return filed_; }
    int events() const { return events_; }

private:
    // The report is where it belongs (the destination or the station): no longer owed.
    void settle() const;

    DoseReportSetup setup_;
    std::string sopInstanceUid_;
    bool sent_ = false;
    bool filed_ = false;
    int events_ = 0;
};

}  // namespace corva::dose
