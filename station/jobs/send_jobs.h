#pragma once
// Sending to a storage destination: the series job sends the series' stored files,
// the study and patient jobs the converted files of their studies waiting in the work
// folder. With the keep setting off, a series or study whose images the destination
// all answered gives up exactly the images it stored with full success, by ID: a
// warning keeps the original, a refusal keeps the image; a container goes only when
// nothing is left in it. Nothing is removed when the send was broken off (the
// connection lost, a file unreadable, an image not converted, the job cancelled):
// that send is repeated whole. The job log names each image not sent and why, and
// each warning with its status and the destination's comment.
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

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
    // Seconds to wait for each answer of the destination; 0: Com\DIMSE_Timeout.
    int dimseTimeoutSeconds = 0;
    // Over TLS with these files; plain DICOM without.
    std::optional<dicom::TlsFiles> tls = std::nullopt;
    // Ask for storage commitment after a send; images leave only once committed.
    bool commitment = false;
};

// The wait for each answer of the destination, in seconds.
int dimseTimeout(const Destination& destination);

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
    // Some image left the station (also when its series stays).
    bool imagesRemoved() const { return !removal_.images.empty(); }

private:
    struct StudyResult {
        bool found = true;  // the work folder held files of the study
    };
    // How one image went.
    enum class Sent { Stored, Refused, Failed };
    // The images of one series or study as the job went through them.
    struct Tally {
        int stored = 0;
        int refused = 0;  // answered with a failure status: the destination's last word
        int failed = 0;   // not sent for any other reason
        // Every image was answered by the destination: what it stored may go.
        bool answered() const { return failed == 0; }
    };
    JobOutcome sendSeries(JobReport& report, db::Database& db);
    StudyResult sendStudy(JobReport& report, db::Database& db, bool insidePatient);
    JobOutcome sendPatient(JobReport& report, db::Database& db);
    // Opens the association anew with contexts for these files; false when it could not.
    bool prepareAssociation(const std::vector<const dicom::OutgoingFile*>& files);
    // Sends one file, read ahead (`readAhead`) or read now; logs under `location`, notes
    // for the job log what the destination answered or why the image was not sent, and
    // counts it in `tally`. Once the connection is lost, later images are not tried.
    std::optional<dicom::StoreAnswer> sendOne(const std::filesystem::path& file, const std::string& imageUid,
                                              std::optional<dicom::OutgoingFile> readAhead, const char* location,
                                              Tally& tally);
    // Notes an image not sent, for the job log.
    void notSent(const std::string& imageUid, const std::string& why, Tally& tally);
    // Writes the notes gathered since the last call into the job log.
    void writeNotes(JobReport& report);
    // The images of `images` this job stored with full success.
    std::vector<std::int64_t> fullySent(const std::vector<db::ImageRef>& images) const;
    // Removes exactly these images (and containers left empty), then their files.
    void removeHandled(JobReport& report, db::Database& db, const std::vector<std::int64_t>& imageIds,
                       const char* imagesPhase);
    // With commitment on: asks the destination to commit to the images this job stored
    // (`sopClasses` by image ID) and removes those of `removable` it committed.
    void commitAndRemove(JobReport& report, db::Database& db, const std::vector<db::ImageRef>& images,
                         const std::map<std::int64_t, std::string>& sopClasses,
                         const std::vector<std::int64_t>& removable);

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
    std::vector<std::string> notes_;  // job log lines waiting for the end of the sending phase
    bool connectionLost_ = false;     // the association broke off: nothing more is tried
    std::string tlsFailure_;          // why a TLS destination took no association, for the log
    int notCommitted_ = 0;            // stored, but not committed (failed or no answer)
    bool cancelled_ = false;
};

}  // namespace corva::station::jobs
