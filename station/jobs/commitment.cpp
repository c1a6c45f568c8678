#include "jobs/commitment.h"

#include <chrono>
#include <set>
#include <system_error>
#include <thread>

#include "common/edge.h"
#include "common/job_lock.h"
#include "core/error.h"
#include "core/paths.h"
#include "db/database.h"
#include "dicom/dicom.h"
#include "log/error_log.h"
#include "settings/settings.h"

namespace fs = std::filesystem;

namespace corva::station::jobs {

namespace {

constexpr const char* Location = "EditForm Commitment";

int secondsSetting(const char* path, int fallback) {
    try {
        const int v = std::stoi(settings::ReadRegistryValue(path, std::to_string(fallback)));
        return v >= 0 ? v : fallback;
    } catch (const std::exception&) {
        return fallback;
    }
}

std::string reasonText(std::int64_t reason) {
    switch (reason) {
        case 0: return "the archive's answer did not name it";
        case 0x0110: return "processing failure";
        case 0x0112: return "no such object instance";
        case 0x0119: return "class-instance conflict";
        case 0x0122: return "SOP class not supported";
        case 0x0131: return "duplicate transaction UID";
        default: break;
    }
    return "failure reason " + dicom::statusText(static_cast<std::uint16_t>(reason));
}

// Keeps an archive's report: the first answer to a transaction stands.
bool keep(db::Database& db, const dicom::CommitmentReport& report) {
    std::vector<db::CommitmentReportItem> items;
    for (const auto& r : report.committed) items.push_back({r.sopClassUid, r.sopInstanceUid, true, 0});
    for (const auto& r : report.failed) items.push_back({r.sopClassUid, r.sopInstanceUid, false, r.failureReason});
    db::CommitmentStore(db).record(report.transactionUid, items);
    return true;  // a transaction we do not know is no report to keep, nor to repeat
}

void append(db::Removal& into, const db::Removal& from) {
    into.images.insert(into.images.end(), from.images.begin(), from.images.end());
    into.series.insert(into.series.end(), from.series.begin(), from.series.end());
    into.studies.insert(into.studies.end(), from.studies.begin(), from.studies.end());
    into.patients.insert(into.patients.end(), from.patients.begin(), from.patients.end());
}

// A committed instance whose removal was asked for.
bool removes(const db::CommitmentItem& item) {
    return item.state == db::CommitState::Committed && item.imageId != 0;
}

void settleOne(db::Database& db, const ProgramPaths& paths, db::CommitmentStore& store,
               const db::CommitmentTransaction& tx, SettleResult& result) {
    if (!tx.answeredAll()) {
        for (const auto& item : tx.items)
            if (!item.filesRemoved) result.pending.push_back(item.sopInstanceUid);
        return;
    }
    std::vector<std::int64_t> ids;
    std::vector<std::string> uids, kept;
    db::ImageIndex index(db, paths.imageStore);
    for (const auto& item : tx.items) {
        if (item.filesRemoved) continue;
        if (item.state == db::CommitState::Committed)
            result.committed.push_back(item.sopInstanceUid);
        else
            result.failed.push_back(item.sopInstanceUid + ": " + reasonText(item.failureReason));
        if (removes(item) && !item.done) {
            // A file filed anew under the row since it was sent is not what the archive holds.
            if (item.sentFile) {
                const std::optional<db::ImageRef> row = index.image(item.imageId);
                const std::optional<FileIdentity> now = row ? fileIdentity(row->file) : std::nullopt;
                if (now && *now != *item.sentFile) {
                    kept.push_back(item.sopInstanceUid);
                    continue;
                }
            }
            ids.push_back(item.imageId);
            uids.push_back(item.sopInstanceUid);
        }
    }
    result.kept.insert(result.kept.end(), kept.begin(), kept.end());
    // The rows, and the instances marked done, together or not at all.
    if (ids.empty()) {
        db::Transaction t(db);
        store.markKept(tx.transactionUid, kept);
        store.closeAnswered(tx.transactionUid);
        t.commit();
    } else {
        const db::Removal removal = index.removeImages(ids, {}, [&] {
            store.markKept(tx.transactionUid, kept);
            store.markDone(tx.transactionUid, uids);
            store.closeAnswered(tx.transactionUid);
        });
        append(result.removal, removal);
    }
    const std::set<std::string> keptSet(kept.begin(), kept.end());
    // The files of every instance whose rows went, also those of a removal a kill
    // interrupted before its files: each goes only while no row names it.
    db::Removal files;
    std::vector<std::string> filed;
    std::set<fs::path> folders;
    for (const auto& item : tx.items) {
        if (!removes(item) || item.filesRemoved || keptSet.count(item.sopInstanceUid)) continue;
        filed.push_back(item.sopInstanceUid);
        if (!isSafeUid(item.sopInstanceUid) || !isSafeUid(item.studyUid)) continue;
        files.files.push_back(paths.imageStore / item.studyUid / (item.sopInstanceUid + ".dcm"));
        folders.insert(paths.imageStore / item.studyUid);
        // Only the copy that was sent: a later forwarding may have converted the image anew.
        const fs::path workCopy = paths.workFolder / (item.sopInstanceUid + ".dcm");
        if (item.workCopy && item.workFile && fileIdentity(workCopy) == item.workFile) {
            std::error_code ec;
            fs::remove(workCopy, ec);
        }
    }
    if (filed.empty()) return;
    files.studyFolders.assign(folders.begin(), folders.end());
    const std::vector<fs::path> left = index.removeFiles(files);
    result.left.insert(result.left.end(), left.begin(), left.end());
    const std::set<fs::path> notRemoved(left.begin(), left.end());
    std::vector<std::string> finished;
    for (const auto& item : tx.items)
        if (removes(item) && !item.filesRemoved && !keptSet.count(item.sopInstanceUid) &&
            !notRemoved.count(paths.imageStore / item.studyUid / (item.sopInstanceUid + ".dcm")))
            finished.push_back(item.sopInstanceUid);
    store.markFilesRemoved(tx.transactionUid, finished);
}

}  // namespace

int commitmentWaitSeconds() { return secondsSetting("Com\\Commitment_Wait", 5); }
int commitmentTimeoutSeconds() { return secondsSetting("Com\\Commitment_Timeout", 60); }

SettleResult settleCommitments(db::Database& db, const ProgramPaths& paths, const std::string& transactionUid) {
    db::CommitmentStore store(db);
    std::vector<db::CommitmentTransaction> transactions;
    if (transactionUid.empty()) {
        transactions = store.open();
    } else if (auto tx = store.transaction(transactionUid)) {
        transactions.push_back(std::move(*tx));
    }
    SettleResult result;
    for (const auto& tx : transactions) settleOne(db, paths, store, tx, result);
    return result;
}

bool askAgain(db::Database& db, const db::CommitmentTransaction& transaction, const std::string& callingAe,
              const std::optional<dicom::TlsFiles>& tls) {
    const std::string& to = transaction.destination;
    const auto at = to.find('@');
    const auto colon = to.rfind(':');
    if (at == std::string::npos || colon == std::string::npos || colon < at)
        throw Error(errc::Generic, "Transaction " + transaction.transactionUid + " names no destination", Location);
    Destination destination{to.substr(0, at), to.substr(at + 1, colon - at - 1), to.substr(colon + 1), callingAe};
    dicom::CommitmentRequest request;
    request.host = destination.ip;
    request.port = portNumber(destination.port);
    request.callingAe = callingAe;
    request.calledAe = destination.aet;
    request.transactionUid = transaction.transactionUid;
    for (const auto& item : transaction.items) request.items.push_back({item.sopClassUid, item.sopInstanceUid, 0});
    request.dimseTimeoutSeconds = dimseTimeout(destination);
    request.waitSeconds = commitmentWaitSeconds();
    request.tls = tls;
    dicom::requestCommitment(request, [&](const dicom::CommitmentReport& r) { return keep(db, r); });
    return true;
}

std::size_t settleCommitmentsAtStart(const ProgramPaths& paths) {
    const JobLock lock = JobLock::tryAcquire(paths.dataFolder);
    if (!lock.held()) return 0;
    try {
        db::Database db(paths.imageDb);
        if (!db.hasTable("tblCommitments")) return 0;  // never asked for commitment
        return settleCommitments(db, paths).removal.images.size();
    } catch (const std::exception&) {
        logCaught(Location);
        return 0;
    }
}

void CommitmentRound::add(const std::string& sopClassUid, const std::string& sopInstanceUid, std::int64_t imageId,
                          const std::string& studyUid, bool workCopy, const std::optional<FileIdentity>& sentFile) {
    db::CommitmentItem item;
    item.sopClassUid = sopClassUid;
    item.sopInstanceUid = sopInstanceUid;
    item.imageId = imageId;
    item.studyUid = studyUid;
    item.workCopy = workCopy;
    if (workCopy && isSafeUid(sopInstanceUid)) item.workFile = fileIdentity(paths_.workFolder / (sopInstanceUid + ".dcm"));
    item.sentFile = sentFile;
    items_.push_back(std::move(item));
}

bool CommitmentRound::run(JobReport& report, db::Database& db) {
    if (items_.empty()) return true;
    db::CommitmentTransaction tx;
    tx.transactionUid = dicom::newUid();
    tx.destination = destination_.aet + "@" + destination_.ip + ":" + destination_.port;
    tx.items = items_;
    report.appendLog("Asking " + destination_.aet + " for storage commitment of " + std::to_string(items_.size()) +
                     " images ... ");
    db::CommitmentStore store(db);
    try {
        // Written before the request leaves: an answer that comes at any time finds it.
        store.add(tx);
    } catch (const std::exception&) {
        logCaught(Location);
        report.appendLog("failed (see the error log); the images stay\r\n");
        for (const auto& item : items_) result_.pending.push_back(item.sopInstanceUid);
        return false;
    }
    bool answered = false;
    std::string why;
    try {
        dicom::CommitmentRequest request;
        request.host = destination_.ip;
        request.port = portNumber(destination_.port);
        request.callingAe = destination_.callingAe;
        request.calledAe = destination_.aet;
        request.transactionUid = tx.transactionUid;
        for (const auto& item : items_) request.items.push_back({item.sopClassUid, item.sopInstanceUid, 0});
        request.dimseTimeoutSeconds = dimseTimeout(destination_);
        request.waitSeconds = commitmentWaitSeconds();
        request.tls = destination_.tls;
        request.answeredElsewhere = [&] {
            try {
                const auto now = store.transaction(tx.transactionUid);
                return now && now->answeredAll();
            } catch (const std::exception&) {
                return false;  // a busy database: the wait goes on
            }
        };
        answered = dicom::requestCommitment(request, [&](const dicom::CommitmentReport& r) { return keep(db, r); });
        // The report may have gone to the receiver while this waited.
        if (!answered) answered = request.answeredElsewhere();
    } catch (const std::exception& e) {
        logCaught(Location);
        why = e.what();
        // The archive never took the request: no answer will come for it.
        try {
            store.forget(tx.transactionUid);
        } catch (const std::exception&) {
            logCaught(Location);
        }
        report.appendLog("failed: the archive did not take the request (" + why + "); the images stay\r\n");
        for (const auto& item : items_) result_.failed.push_back(item.sopInstanceUid + ": not asked");
        return false;
    }
    if (!answered) {
        // The archive answers on an association of its own, to the receiver.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(commitmentTimeoutSeconds());
        while (!answered && std::chrono::steady_clock::now() < deadline && !report.cancelRequested()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            try {
                const auto now = store.transaction(tx.transactionUid);
                answered = now && now->answeredAll();
            } catch (const std::exception&) {
                logCaught(Location);  // a busy or failing database is waited out
            }
        }
    }
    report.appendLog(answered ? "OK\r\n" : "no answer\r\n");
    try {
        result_ = settleCommitments(db, paths_, tx.transactionUid);
    } catch (const std::exception&) {
        logCaught(Location);
        report.appendLog("Removing committed images ... failed (see the error log); they go with the next "
                         "corvactl commitments\r\n");
        return false;
    }
    for (const std::string& line : result_.failed) report.appendLog("Not committed: " + line + "; the image stays\r\n");
    for (const std::string& uid : result_.kept)
        report.appendLog("Committed, but filed anew since it was sent: " + uid + "; the new copy stays\r\n");
    for (const std::string& uid : result_.pending)
        report.appendLog("Commitment pending: " + uid + ": no answer from the archive within " +
                         std::to_string(commitmentTimeoutSeconds()) +
                         " seconds; the image stays until the archive answers\r\n");
    if (!result_.removal.images.empty() || !result_.left.empty()) {
        report.appendLog("Removing committed images ... ");
        for (const fs::path& f : result_.left)
            corva::log::LogError(errc::Generic, "Could not remove " + f.string() + " after its commitment", Location);
        report.appendLog(result_.left.empty() ? "OK\r\n" : "failed (see the error log)\r\n");
    }
    return result_.failed.empty() && result_.pending.empty();
}

}  // namespace corva::station::jobs
