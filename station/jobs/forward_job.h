#pragma once
// The send of a forwarding: the converted images waiting in the work folder go to the
// destination. The job knows by ID what it handled: the record applied to an image is
// marked used only when the image was stored; an image's row and file go only when it
// was stored with full success (a warning means the archive holds something else) and
// the keep setting is off. When every image was stored, that holds for all of them;
// when the destination answered every image but refused some and the keep setting is
// off, for the stored ones (the refused stay with their records). A forwarding broken
// off (connection lost, a file missing, cancelled) or kept uses up and removes nothing:
// the study is forwarded again whole. Images that arrive meanwhile and records not
// applied are never touched. The job log names each image not sent and each warning.
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/job.h"
#include "core/file_identity.h"
#include "db/dose_use.h"
#include "common/station_context.h"
#include "dicom/dicom.h"
#include "db/image_index.h"
#include "jobs/send_jobs.h"

namespace corva::station::jobs {

// One converted image: its file waits in the work folder as <SOP instance UID>.dcm.
struct ForwardedImage {
    std::string sopInstanceUid;
    std::int64_t imageId = 0;   // its tblImages row
    std::int64_t recordId = 0;  // the exposure record applied to it; 0 when none
    // The store file as it was read for the conversion: a file filed anew since then
    // (a resend) was not what was sent, and stays.
    std::optional<FileIdentity> storeIdentity;
    // What the record's use is recorded as once the image is stored (with recordId).
    db::DoseUse doseUse;
};

struct ForwardSetup {
    ProgramPaths paths;
    Destination destination;
    bool keep = true;  // General\SentAndKeep: sent images stay in the station
    std::string patientName;
    std::vector<ForwardedImage> images;
    // Runs once records were used for stored images (the study's dose report); a report
    // not delivered makes the forwarding incomplete.
    std::function<JobOutcome(JobReport&)> afterRecordsUsed;
    // Runs before anything is sent: delivers the dose report a killed forwarding of the
    // study owes, as the instance it was, before this forwarding's records join the study.
    std::function<void(JobReport&)> owedReportsFirst;
};

class ForwardJob : public Job {
public:
    // `association` is the one the destination check opened (may be null).
    ForwardJob(ForwardSetup setup, std::unique_ptr<dicom::Association> association);
    ~ForwardJob() override;
    std::string caption() const override { return "PatientSenden"; }
    JobOutcome run(JobReport& report) override;
    void windowClosed() override;

    // Read after the job has finished.
    int imagesSent() const { return static_cast<int>(stored_.size()); }
    int imagesToSend() const { return static_cast<int>(setup_.images.size()); }
    bool complete() const { return complete_; }
    // How the destination answered for each image it stored.
    const std::map<std::string, dicom::StoreStatus>& stored() const { return stored_; }
    const std::vector<std::int64_t>& consumedRecords() const { return consumed_; }
    const std::vector<std::int64_t>& removedImages() const { return removed_; }
    bool patientRemoved() const { return patientRemoved_; }

private:
    // Under the job lock, before anything is sent: every record still waits and every
    // image is still filed. Empty when the forwarding may go ahead; else why not.
    std::string whatChanged(db::Database& db) const;
    // Sends every converted image; true when the destination answered each one (stored
    // or refused it).
    bool sendAll(JobReport& report);
    // Marks the records of the stored images used and, unless `remove` is false, removes
    // the images stored as sent: in one transaction, so that a kill or a failure never
    // leaves records used whose images stay (the study could not pair again) or images
    // removed whose records still wait.
    void useRecordsAndRemove(JobReport& report, db::Database& db, bool remove);
    std::vector<std::int64_t> recordsOfStoredImages() const;
    // The images the destination stored with full success as they were read, still filed.
    std::vector<db::ImageRef> storedAsSent(db::ImageIndex& index) const;
    // With commitment on: asks the destination to commit to every stored image and, when
    // `remove`, removes those stored as sent once committed (with their converted copies).
    void commitAndRemove(JobReport& report, db::Database& db, bool remove);
    void markUsed(db::Database& db, const std::vector<std::int64_t>& records) const;

    ForwardSetup setup_;
    std::unique_ptr<dicom::Association> association_;
    std::map<std::string, dicom::StoreStatus> stored_;
    std::map<std::string, std::string> sentClasses_;  // SOP class of each stored image
    int notCommitted_ = 0;                            // stored, but not committed
    std::vector<std::int64_t> consumed_;
    std::vector<std::int64_t> removed_;
    bool complete_ = false;
    bool patientRemoved_ = false;
};

}  // namespace corva::station::jobs
