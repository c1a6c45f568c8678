#pragma once
// Storage commitment after a send: the station asks the archive to commit to every
// instance it stored, under a new transaction written to the image database first, and
// removes an image (when the send asked for its removal) only once the archive
// committed to it. The archive answers on the request's association, or later on a new
// association to the receiver, which records the answer; the removal always happens in
// a job holding the job lock (the send waiting for its answer, `corvactl commitments`,
// `corvactl check --repair`, the station's start), by image ID and in the database
// transaction that marks the instances done. Failed instances and those of a
// transaction without an answer stay.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/job.h"
#include "common/station_context.h"
#include "db/commitments.h"
#include "db/image_index.h"
#include "jobs/send_jobs.h"

namespace corva::db {
class Database;
}

namespace corva::station::jobs {

// Seconds the request's association waits for the archive's answer (Com\Commitment_Wait,
// default 5) and the send for an answer at all (Com\Commitment_Timeout, default 60).
int commitmentWaitSeconds();
int commitmentTimeoutSeconds();

// What settling removed, and what is still open.
struct SettleResult {
    db::Removal removal;               // rows removed (files too, unless listed in `left`)
    std::vector<std::string> committed;  // SOP instance UIDs committed in what was settled
    std::vector<std::string> failed;     // "<UID>: <why>" failed by the archive; they stay
    std::vector<std::string> pending;    // SOP instance UIDs still waiting for an answer
    std::vector<std::string> kept;       // committed, but filed anew since they were sent: they stay
    std::vector<std::filesystem::path> left;  // files that could not be removed
};

// Finishes what answered transactions allow: removes the committed images whose removal
// was asked (rows and files, by ID; converted copies in the work folder too) and marks
// their instances done; files of a removal a kill interrupted are removed again. Only
// `transactionUid` when not empty, else every open transaction. The caller holds the job
// lock. Throws corva::Error when the database fails (nothing of that step happened).
SettleResult settleCommitments(db::Database& db, const ProgramPaths& paths, const std::string& transactionUid = {});

// Sends the request of an unanswered transaction again, under its own transaction UID,
// to the destination it names (a request a kill or a lost connection kept from
// arriving); an answer on that association is recorded. True when the archive took it.
// Throws corva::Error when the archive cannot be reached or refuses.
// `tls`: the destination's TLS files when its sends go over TLS.
bool askAgain(db::Database& db, const db::CommitmentTransaction& transaction, const std::string& callingAe,
              const std::optional<dicom::TlsFiles>& tls = std::nullopt);

// The station's start: settles what answers came while it was stopped, when the job
// lock is free (else they wait for the next job that settles). Returns how many images
// left; never throws (a failure is logged and waits for the next start).
std::size_t settleCommitmentsAtStart(const ProgramPaths& paths);

// One send's commitment: asks, waits, settles, and writes what happened to the job log.
class CommitmentRound {
public:
    CommitmentRound(const ProgramPaths& paths, const Destination& destination)
        : paths_(paths), destination_(destination) {}

    // The instance was stored; `imageId` goes once it is committed (0: it stays anyway),
    // unless its file is no longer `sentFile`, the file as it was sent.
    void add(const std::string& sopClassUid, const std::string& sopInstanceUid, std::int64_t imageId,
             const std::string& studyUid, bool workCopy, const std::optional<FileIdentity>& sentFile);
    bool empty() const { return items_.empty(); }

    // Records the transaction, asks the archive and waits for its answer (polling what the
    // receiver recorded after the request's association closed) until it came, the time-out
    // passed or the job is cancelled; then settles it. True when the archive committed every
    // instance. The job log names each instance failed or still waiting.
    bool run(JobReport& report, db::Database& db);
    const SettleResult& result() const { return result_; }

private:
    ProgramPaths paths_;
    Destination destination_;
    std::vector<db::CommitmentItem> items_;
    SettleResult result_;
};

}  // namespace corva::station::jobs
