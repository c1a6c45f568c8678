#include "jobs/forward_job.h"

#include <algorithm>
#include <optional>
#include <set>
#include <system_error>

#include "common/edge.h"
#include "core/error.h"
#include "core/paths.h"
#include "db/database.h"
#include "db/image_index.h"
#include "jobs/commitment.h"
#include "log/error_log.h"

namespace fs = std::filesystem;

namespace corva::station::jobs {
namespace {

constexpr const char* Location = "EditForm Forwarding";

}  // namespace

ForwardJob::ForwardJob(ForwardSetup setup, std::unique_ptr<dicom::Association> association)
    : setup_(std::move(setup)), association_(std::move(association)) {}

ForwardJob::~ForwardJob() { windowClosed(); }

void ForwardJob::windowClosed() { releaseAssociation(association_); }

std::string ForwardJob::whatChanged(db::Database& db) const {
    std::set<std::string> uids;
    for (const ForwardedImage& image : setup_.images) {
        if (!uids.insert(image.sopInstanceUid).second) return "image " + image.sopInstanceUid + " is listed twice";
        if (image.recordId != 0) {
            auto st = db.prepare("SELECT Status FROM tblDosis WHERE ID = ?");
            st.bind(1, image.recordId);
            if (!st.step()) return "exposure record " + std::to_string(image.recordId) + " was deleted";
            if (st.getText(0) == "1") return "exposure record " + std::to_string(image.recordId) + " was used";
        }
        if (image.imageId != 0) {
            auto st = db.prepare("SELECT ImageUID FROM tblImages WHERE ImageID = ?");
            st.bind(1, image.imageId);
            if (!st.step() || st.getText(0) != image.sopInstanceUid)
                return "image " + image.sopInstanceUid + " was removed";
        }
    }
    return {};
}

JobOutcome ForwardJob::run(JobReport& report) {
    report.appendLog("Send images of patient: " + setup_.patientName + "\r\n");
    db::Database db(setup_.paths.imageDb);
    if (const std::string changed = whatChanged(db); !changed.empty()) {
        // Another job got there first: these pairs are no longer what the operator confirmed.
        corva::log::LogError(errc::Generic, "Forwarding not sent: " + changed + " meanwhile", Location);
        report.appendLog("Nothing was sent: " + changed + " meanwhile.\r\n");
        report.appendLog("Tasks done!");
        return JobOutcome{false, imagesToSend()};
    }
    if (setup_.owedReportsFirst) setup_.owedReportsFirst(report);
    const bool answered = sendAll(report);
    const int toSend = imagesToSend(), sent = imagesSent();
    report.appendLog(std::to_string(sent) + " of " + std::to_string(toSend) + " images successfully sent.\r\n");
    complete_ = sent == toSend && toSend > 0;
    // With commitment on, the records are used as the images are stored, and the images
    // leave only once the destination committed to them.
    const bool commit = setup_.destination.commitment;
    if (complete_) {
        useRecordsAndRemove(report, db, !setup_.keep && !commit);
        if (commit && complete_) commitAndRemove(report, db, !setup_.keep);
    } else if (answered && !setup_.keep && sent > 0) {
        // The destination answered every image and refused some: what it stored leaves
        // the station with its records; the refused images stay with theirs and pair
        // again among themselves.
        report.appendLog("The images the destination refused stay, with their exposure records.\r\n");
        useRecordsAndRemove(report, db, !commit);
        if (commit) commitAndRemove(report, db, true);
    } else {
        // Broken off, or kept: the study is forwarded again as it is, with the same records.
        report.appendLog("Nothing was used up or removed: not every image was sent.\r\n");
    }
    int reportFailures = 0;
    if (!consumed_.empty() && setup_.afterRecordsUsed) {
        // The images' association ends first: a destination may serve one at a time.
        releaseAssociation(association_);
        const JobOutcome reported = setup_.afterRecordsUsed(report);
        if (!reported.complete) reportFailures = std::max(1, reported.failures);
    }
    report.appendLog("Tasks done!");
    report.scrollLogToEnd();
    return JobOutcome{complete_ && notCommitted_ == 0 && reportFailures == 0,
                      toSend - sent + notCommitted_ + reportFailures};
}

bool ForwardJob::sendAll(JobReport& report) {
    report.setProgress(0);
    report.setProgressMaximum(static_cast<double>(setup_.images.size()));
    report.appendLog("Sending images ... ");
    // Each converted file is read once: for the presentation contexts and to be sent.
    std::vector<std::optional<dicom::OutgoingFile>> files(setup_.images.size());
    std::vector<const dicom::OutgoingFile*> forContexts;
    for (std::size_t i = 0; i < setup_.images.size(); ++i) {
        const ForwardedImage& image = setup_.images[i];
        try {
            if (!isSafeUid(image.sopInstanceUid))
                throw Error(errc::InvalidName, "SOP Instance UID \"" + image.sopInstanceUid + "\" cannot name a file",
                            Location);
            files[i] = dicom::OutgoingFile::read(setup_.paths.workFolder / (image.sopInstanceUid + ".dcm"));
            if (files[i]->sopInstanceUid() != image.sopInstanceUid)
                throw Error(errc::Generic, "The converted file of " + image.sopInstanceUid + " holds another image",
                            Location);
            forContexts.push_back(&*files[i]);
        } catch (const std::exception&) {
            files[i].reset();
            logCaught(Location);
        }
    }
    std::string tlsFailure;
    try {
        association_ = std::make_unique<dicom::Association>();
        association_->open(setup_.destination.ip, portNumber(setup_.destination.port), setup_.destination.callingAe,
                           setup_.destination.aet, dicom::Association::contextsFor(forContexts), 10,
                           dimseTimeout(setup_.destination), setup_.destination.tls);
    } catch (const std::exception& e) {
        association_.reset();
        // A TLS failure names its cause beside each image: the operator must see it to mend it.
        if (setup_.destination.tls) tlsFailure = std::string(": ") + e.what();
        logCaught(Location);
    }
    forContexts.clear();
    std::vector<std::string> notes;
    bool answered = true;  // the destination answered every image
    bool lost = false;     // the association broke off: nothing more is tried
    double progress = 0;
    for (std::size_t i = 0; i < setup_.images.size(); ++i) {
        const ForwardedImage& image = setup_.images[i];
        const auto notSent = [&](const std::string& why) {
            answered = false;
            notes.push_back("Not sent: " + image.sopInstanceUid + ": " + why);
        };
        if (report.cancelRequested()) {
            notSent("the send was cancelled");
            continue;
        }
        if (lost) {
            notSent("not tried, the connection to the destination was lost");
            continue;
        }
        try {
            if (!files[i]) throw Error(errc::NotFound, "No converted file of " + image.sopInstanceUid, Location);
            if (!association_) throw Error(errc::Network, "No open association", Location);
            const std::string sopClass = files[i]->sopClassUid();
            const dicom::StoreAnswer answer = association_->send(std::move(*files[i]));
            stored_[image.sopInstanceUid] = answer.status;
            sentClasses_[image.sopInstanceUid] = sopClass;
            if (answer.status == dicom::StoreStatus::Warning)
                notes.push_back("Stored with warning " + dicom::statusText(answer.code) +
                                (answer.comment.empty() ? "" : " (" + answer.comment + ")") + ": " +
                                image.sopInstanceUid + "; the original stays");
        } catch (const dicom::StoreRefused& e) {
            logCaught(Location);
            notes.push_back("Not sent: " + image.sopInstanceUid + ": refused by the destination (status " +
                            dicom::statusText(e.status()) + ")" + (e.comment().empty() ? "" : " (" + e.comment() + ")"));
        } catch (const std::exception&) {
            logCaught(Location);
            if (!files[i]) {
                notSent("no converted file (see the error log)");
            } else if (!association_ || !association_->isOpen()) {
                lost = association_ != nullptr;
                notSent(association_ ? "the transfer broke off (see the error log)"
                                     : "no association with the destination" + tlsFailure);
            } else {
                notSent("could not be sent (see the error log)");
            }
        }
        files[i].reset();
        report.setProgress(++progress);
    }
    report.appendLog("OK\r\n");
    for (const std::string& line : notes) report.appendLog(line + "\r\n");
    return answered;
}

std::vector<std::int64_t> ForwardJob::recordsOfStoredImages() const {
    std::vector<std::int64_t> records;
    for (const ForwardedImage& image : setup_.images)
        if (image.recordId != 0 && stored_.count(image.sopInstanceUid)) records.push_back(image.recordId);
    return records;
}

void ForwardJob::markUsed(db::Database& db, const std::vector<std::int64_t>& records) const {
    // Only a waiting record becomes used: one used meanwhile was used for another image.
    auto st = db.prepare("UPDATE tblDosis SET Status = '1' WHERE ID = ? AND Status <> '1'");
    for (std::int64_t id : records) {
        st.reset();
        st.bind(1, id);
        if (st.run() == 0)
            throw Error(errc::Generic, "Exposure record " + std::to_string(id) + " was no longer waiting", Location);
    }
    // Which image each record went on, for the study's dose report: with the marks, or not at all.
    std::vector<db::DoseUse> uses;
    for (const ForwardedImage& image : setup_.images)
        if (image.recordId != 0 && !image.doseUse.eventUid.empty() && stored_.count(image.sopInstanceUid)) {
            db::DoseUse use = image.doseUse;
            use.recordId = image.recordId;
            uses.push_back(std::move(use));
        }
    db::recordDoseUses(db, uses);
    // The report of each patient's exposures is owed from now on, under UIDs fixed here.
    std::set<std::pair<std::string, std::string>> owed;
    for (const db::DoseUse& use : uses)
        if (owed.insert({use.studyUid, use.patientId}).second)
            db::oweDoseReport(db, use.studyUid, use.patientId, dicom::newUid(), dicom::newUid(),
                              setup_.destination.aet + "@" + setup_.destination.ip + ":" + setup_.destination.port);
}

std::vector<db::ImageRef> ForwardJob::storedAsSent(db::ImageIndex& index) const {
    // Only what the destination stored as it was sent goes: after a warning it holds
    // something else, so the original stays.
    std::vector<db::ImageRef> refs;
    for (const ForwardedImage& image : setup_.images) {
        const auto it = stored_.find(image.sopInstanceUid);
        if (image.imageId == 0 || it == stored_.end() || it->second != dicom::StoreStatus::Success) continue;
        std::optional<db::ImageRef> ref = index.image(image.imageId);
        if (!ref) continue;  // already gone
        if (image.storeIdentity && fileIdentity(ref->file) != image.storeIdentity) {
            // Filed anew since it was read: the archive holds the older copy only.
            corva::log::LogError(errc::Generic, "Image " + ref->imageUid + " was filed anew during its send; it stays",
                                 Location);
            continue;
        }
        refs.push_back(std::move(*ref));
    }
    return refs;
}

void ForwardJob::commitAndRemove(JobReport& report, db::Database& db, bool remove) {
    CommitmentRound round(setup_.paths, setup_.destination);
    try {
        db::ImageIndex index(db, setup_.paths.imageStore);
        const std::vector<db::ImageRef> removable = remove ? storedAsSent(index) : std::vector<db::ImageRef>{};
        for (const ForwardedImage& image : setup_.images) {
            if (!stored_.count(image.sopInstanceUid)) continue;
            const auto sopClass = sentClasses_.find(image.sopInstanceUid);
            const db::ImageRef* ref = nullptr;
            for (const db::ImageRef& r : removable)
                if (r.imageId == image.imageId) ref = &r;
            round.add(sopClass == sentClasses_.end() ? std::string() : sopClass->second, image.sopInstanceUid,
                      ref ? ref->imageId : 0, ref ? ref->studyUid : std::string(), ref != nullptr,
                      ref ? image.storeIdentity : std::nullopt);
        }
    } catch (const std::exception&) {
        logCaught(Location);
        report.appendLog("Storage commitment ... failed (see the error log); the images stay\r\n");
        notCommitted_ = std::max(notCommitted_, 1);
        return;
    }
    if (round.empty()) return;
    // The sending is over: the request goes on an association of its own.
    releaseAssociation(association_);
    if (!round.run(report, db))
        notCommitted_ += std::max<int>(1, static_cast<int>(round.result().failed.size() + round.result().pending.size()));
    removed_ = round.result().removal.images;
    patientRemoved_ = !round.result().removal.patients.empty();
}

void ForwardJob::useRecordsAndRemove(JobReport& report, db::Database& db, bool remove) {
    const std::vector<std::int64_t> records = recordsOfStoredImages();
    std::vector<std::int64_t> ids;
    db::ImageIndex index(db, setup_.paths.imageStore);
    db::Removal removal;
    try {
        if (remove)
            for (const db::ImageRef& ref : storedAsSent(index)) ids.push_back(ref.imageId);
        if (records.empty() && ids.empty()) return;
        if (!records.empty()) report.appendLog("Marking exposure records as used ... ");
        if (ids.empty()) {
            db::Transaction tx(db);
            markUsed(db, records);
            tx.commit();
        } else {
            removal = index.removeImages(ids, {}, [&] { markUsed(db, records); });
        }
    } catch (const std::exception&) {
        // Nothing of it happened: the records wait and the images stay, to be forwarded again.
        logCaught(Location);
        complete_ = false;
        report.appendLog("failed (see the error log)\r\n");
        return;
    }
    consumed_ = records;
    if (!records.empty()) report.appendLog("OK\r\n");
    if (ids.empty()) return;
    report.appendLog("Removing database entries ... OK\r\n");
    removed_ = removal.images;
    patientRemoved_ = !removal.patients.empty();
    for (const fs::path& left : index.removeFiles(removal))
        corva::log::LogError(errc::Generic, "Could not remove " + left.string() + " after its send", Location);
    // The converted copies of the removed images are done with.
    for (const ForwardedImage& image : setup_.images) {
        if (std::find(removed_.begin(), removed_.end(), image.imageId) == removed_.end()) continue;
        std::error_code ec;
        fs::remove(setup_.paths.workFolder / (image.sopInstanceUid + ".dcm"), ec);
    }
}

}  // namespace corva::station::jobs
