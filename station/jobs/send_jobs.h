#pragma once
// Sending to a storage destination: the series job sends the series' stored files,
// the study and patient jobs the converted files of their studies waiting in the work
// folder. With the keep setting off, a series or study whose images all reached the
// destination gives up exactly the images this job stored with full success, by ID
// (a warning keeps the original); a container goes only when nothing is left in it.
// Nothing is removed after an incomplete or mismatched send.
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "dicom/dicom.h"
#include "db/image_index.h"
#include "jobs/delete_jobs.h"

namespace corva::station::jobs {

// Where to send: the destination's AE title, address and port, and our own AE title.
struct Destination {
    std::string aet;
    std::string ip;
    std::string port;
    std::string callingAe;
};

// The port of a destination as a number; throws corva::Error when it is none.
int portNumber(const std::string& text);
// Releases an open association and forgets it; a release that fails changes nothing
// for the operator.
void releaseAssociation(std::unique_ptr<dicom::Association>& association);

// The destination check (SCPOnline): opens an association with the common storage
// classes. Throws corva::Error when the port is no number or the destination does not
// accept the association.
std::unique_ptr<dicom::Association> openDestination(const Destination& destination);

struct SendSetup {
    JobTarget target;
    Destination destination;
    bool keep = true;  // General\SentAndKeep
};

// The three send jobs share the counters of their window and the association, which
// they open anew with presentation contexts for the files they are about to send: a
// file goes in its own transfer syntax when the destination accepts it, converted to
// an uncompressed one when it accepts only that, and counts as not sent otherwise.
class SendJob : public Job {
public:
    enum class Level { Series, Study, Patient };
    // `association` is the one the destination check opened (may be null); the job
    // owns it from now on and releases it when its window closes.
    SendJob(Level level, SendSetup setup, std::unique_ptr<dicom::Association> association);
    ~SendJob() override;
    std::string caption() const override;
    JobOutcome run(JobReport& report) override;
    void windowClosed() override;

    // Read after the job has finished.
    bool removedAfterSend() const { return removedAfterSend_; }
    int imagesSent() const { return sent_; }
    int imagesToSend() const { return toSend_; }
    bool studyRemoved() const { return studyRemoved_; }
    bool patientRemoved() const { return patientRemoved_; }

private:
    struct StudyResult {
        bool found = true;  // the work folder held files of the study
    };
    JobOutcome sendSeries(JobReport& report, db::Database& db);
    StudyResult sendStudy(JobReport& report, db::Database& db, bool insidePatient);
    JobOutcome sendPatient(JobReport& report, db::Database& db);
    // Opens the association anew with contexts for these files; false when it could not.
    bool prepareAssociation(const std::vector<const dicom::OutgoingFile*>& files);
    // Sends one file, read ahead (`readAhead`) or read now; logs under `location` and
    // returns how it was stored, nullopt when it was not.
    std::optional<dicom::StoreStatus> sendOne(const std::filesystem::path& file,
                                              std::optional<dicom::OutgoingFile> readAhead, const char* location);
    // The images of `images` this job stored with full success.
    std::vector<std::int64_t> fullySent(const std::vector<db::ImageRef>& images) const;
    // Removes exactly these images (and containers left empty), then their files.
    void removeHandled(JobReport& report, db::Database& db, const std::vector<std::int64_t>& imageIds,
                       const char* imagesPhase);

    Level level_;
    SendSetup setup_;
    std::unique_ptr<dicom::Association> association_;
    int sent_ = 0;
    int toSend_ = 0;
    bool removedAfterSend_ = false;
    bool studyRemoved_ = false;
    bool patientRemoved_ = false;
    std::map<std::int64_t, dicom::StoreStatus> stored_;  // by image ID
    db::Removal removal_;
};

}  // namespace corva::station::jobs
