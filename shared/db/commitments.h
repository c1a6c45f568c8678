#pragma once
// Storage commitment transactions of the image database: what was asked of which
// archive, by instance, and how the archive answered. A transaction is written before
// its request leaves, so that an answer that comes late (on a new association, to the
// receiver) or after a restart finds it. Recording an answer removes nothing: the
// removal it allows happens in a job holding the job lock (settle), by image ID, in the
// same database transaction that marks the instances done, so that nothing is removed
// twice.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/file_identity.h"

namespace corva::db {

class Database;

// Creates the commitment tables when missing: a database of an earlier version gets
// them the first time a program of this one uses commitment.
void ensureCommitmentTables(Database& db);

// How the archive answered for one instance.
enum class CommitState { Pending = 0, Committed = 1, Failed = 2 };

struct CommitmentItem {
    std::string sopClassUid;
    std::string sopInstanceUid;
    std::int64_t imageId = 0;    // the tblImages row to remove once committed; 0: none (kept)
    std::string studyUid;        // names the image's file in the store
    bool workCopy = false;       // a converted copy in the work folder goes with it
    // That copy as it was sent: a later forwarding's copy under the same name stays.
    std::optional<FileIdentity> workFile;
    // The image's file as it was sent: a file filed anew under the row since is another
    // copy, which the archive's answer does not cover. nullopt: not known.
    std::optional<FileIdentity> sentFile;
    CommitState state = CommitState::Pending;
    std::int64_t failureReason = 0;
    bool done = false;           // its rows were removed (or there was nothing to remove)
    bool filesRemoved = false;   // and its files too: nothing is left to do for it
};

struct CommitmentTransaction {
    std::string transactionUid;
    std::string destination;  // "<AET>@<host>:<port>"
    std::string requested;    // yyyy-MM-dd HH:mm:ss
    std::string answered;     // empty while no answer came
    std::vector<CommitmentItem> items;
    bool answeredAll() const { return !answered.empty(); }
};

// One instance as the archive reported it.
struct CommitmentReportItem {
    std::string sopClassUid;
    std::string sopInstanceUid;
    bool committed = true;
    std::int64_t failureReason = 0;
};

class CommitmentStore {
public:
    // Creates the tables when missing.
    explicit CommitmentStore(Database& db);

    // Records a transaction and its instances before its request is sent.
    void add(const CommitmentTransaction& transaction);
    // Records the archive's answer. Instances of the transaction the answer does not name
    // count as failed (the archive's answer is its last word). False when the transaction
    // is unknown; an answer to a transaction already answered changes nothing.
    bool record(const std::string& transactionUid, const std::vector<CommitmentReportItem>& report);
    std::optional<CommitmentTransaction> transaction(const std::string& transactionUid);
    // Transactions with an instance not finished: unanswered, or answered with a removal
    // (of rows, or of files once the rows went) still to do. Oldest first.
    std::vector<CommitmentTransaction> open();
    // Marks these items done; used inside the removal's database transaction.
    void markDone(const std::string& transactionUid, const std::vector<std::string>& sopInstanceUids);
    // Keeps these items' images: their rows are no longer to be removed (their files were
    // filed anew since they were sent). Used inside the removal's database transaction.
    void markKept(const std::string& transactionUid, const std::vector<std::string>& sopInstanceUids);
    // Marks these items' files removed (after the removal's commit).
    void markFilesRemoved(const std::string& transactionUid, const std::vector<std::string>& sopInstanceUids);
    // Drops a transaction that was never answered because its request never left
    // (the archive could not be reached). False when it is answered or unknown.
    bool forget(const std::string& transactionUid);
    // Marks every item of an answered transaction that has nothing left to remove done
    // (failed ones, and committed ones kept on the station).
    void closeAnswered(const std::string& transactionUid);

private:
    Database& db_;
};

}  // namespace corva::db
