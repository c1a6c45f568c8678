#include "jobs/send_jobs.h"

#include <algorithm>
#include <system_error>
#include <vector>

#include "common/edge.h"
#include "core/error.h"
#include "core/paths.h"
#include "db/image_index.h"
#include "jobs/commitment.h"
#include "log/error_log.h"
#include "settings/settings.h"

namespace fs = std::filesystem;

namespace corva::station::jobs {

namespace {

constexpr const char* StudyTransmitError = "EditForm StudieSenden (TRANSMIT_ERROR)";
constexpr const char* SeriesTransmitError = "EditForm SerieSenden (TRANSMIT_ERRROR)";

std::vector<fs::path> filesIn(const fs::path& folder) {
    std::vector<fs::path> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec))
        if (e.is_regular_file(ec)) out.push_back(e.path());
    std::sort(out.begin(), out.end());
    return out;
}

std::string summary(int sent, int toSend) {
    return std::to_string(sent) + " of " + std::to_string(toSend) + " images successfully sent.\r\n";
}

// " (<comment>)" when the destination gave one.
std::string withComment(const std::string& comment) { return comment.empty() ? "" : " (" + comment + ")"; }

}  // namespace

int portNumber(const std::string& text) {
    try {
        std::size_t used = 0;
        const int port = std::stoi(text, &used);
        if (used == text.size() && port > 0 && port < 65536) return port;
    } catch (const std::exception&) {
    }
    throw Error(errc::Generic, "Type mismatch: port \"" + text + "\" is no number", "SCPOnline");
}

void releaseAssociation(std::unique_ptr<dicom::Association>& association) {
    if (!association) return;
    try {
        association->close();
    } catch (...) {
        // a release that fails changes nothing for the operator
    }
    association.reset();
}

int dimseTimeout(const Destination& d) {
    if (d.dimseTimeoutSeconds > 0) return d.dimseTimeoutSeconds;
    const int configured = settings::current().dimseTimeout;
    return configured > 0 ? configured : 60;  // settings not loaded (tests), or nonsense
}

std::unique_ptr<dicom::Association> openDestination(const Destination& d) {
    auto association = std::make_unique<dicom::Association>();
    association->open(d.ip, portNumber(d.port), d.callingAe, d.aet, {}, 10, dimseTimeout(d), d.tls);
    return association;
}

SendJob::SendJob(Level level, SendSetup setup, std::unique_ptr<dicom::Association> association)
    : level_(level), setup_(std::move(setup)), association_(std::move(association)) {}

SendJob::~SendJob() { windowClosed(); }

std::string SendJob::caption() const {
    switch (level_) {
        case Level::Series: return "SerieSenden";
        case Level::Study: return "StudieSenden";
        case Level::Patient: break;
    }
    return "PatientSenden";
}

void SendJob::windowClosed() { releaseAssociation(association_); }

bool SendJob::prepareAssociation(const std::vector<const dicom::OutgoingFile*>& files) {
    try {
        association_ = std::make_unique<dicom::Association>();
        association_->open(setup_.destination.ip, portNumber(setup_.destination.port), setup_.destination.callingAe,
                           setup_.destination.aet, dicom::Association::contextsFor(files), 10,
                           dimseTimeout(setup_.destination), setup_.destination.tls);
        return true;
    } catch (const std::exception& e) {
        // A TLS failure names its cause beside each image: the operator must see it to mend it.
        if (setup_.destination.tls) tlsFailure_ = e.what();
        logCaught(level_ == Level::Series ? "EditForm SerieSenden" : "EditForm StudieSenden");
        return false;
    }
}

JobOutcome SendJob::run(JobReport& report) {
    db::Database db(setup_.target.paths.imageDb);
    switch (level_) {
        case Level::Series: return sendSeries(report, db);
        case Level::Study: {
            JobOutcome outcome;
            if (!sendStudy(report, db, false).found) {
                outcome.closeWindow = true;
                outcome.complete = false;
                return outcome;
            }
            report.appendLog("Tasks done!");
            report.scrollLogToEnd();
            outcome.complete = sent_ == toSend_ && notCommitted_ == 0;
            outcome.failures = toSend_ - sent_ + notCommitted_;
            return outcome;
        }
        case Level::Patient: break;
    }
    return sendPatient(report, db);
}

std::optional<dicom::StoreAnswer> SendJob::sendOne(const fs::path& file, const std::string& imageUid,
                                                    std::optional<dicom::OutgoingFile> readAhead, const char* location,
                                                    Tally& tally) {
    if (connectionLost_) {
        notSent(imageUid, "not tried, the connection to the destination was lost", tally);
        return std::nullopt;
    }
    if (!association_ || !association_->isOpen()) {
        // A destination that went away fails every later image at once, without a wait.
        corva::log::LogError(errc::Network, "No open association for " + file.string(), location);
        notSent(imageUid,
                tlsFailure_.empty() ? "no association with the destination"
                                    : "no association with the destination: " + tlsFailure_,
                tally);
        return std::nullopt;
    }
    try {
        if (file.empty()) throw Error(errc::InvalidName, "No file name for the image", "send");
        // Read now when it could not be read ahead: that read reports why.
        dicom::OutgoingFile outgoing = readAhead ? std::move(*readAhead) : dicom::OutgoingFile::read(file);
        // The pixel data go from the file into the association: a mammogram is not loaded first.
        dicom::StoreAnswer answer = association_->send(std::move(outgoing));
        ++tally.stored;
        if (answer.status == dicom::StoreStatus::Warning) {
            const std::string what = "Stored with warning " + dicom::statusText(answer.code) +
                                     withComment(answer.comment) + ": " + imageUid + "; the original stays";
            corva::log::LogError(errc::Network, what + " (" + file.string() + ")", location);
            notes_.push_back(what);
        }
        return answer;
    } catch (const dicom::StoreRefused& e) {
        logCaught(location);
        ++tally.refused;
        notes_.push_back("Not sent: " + imageUid + ": refused by the destination (status " +
                         dicom::statusText(e.status()) + ")" + withComment(e.comment()));
    } catch (const std::exception& e) {
        logCaught(location);
        const auto* error = dynamic_cast<const Error*>(&e);
        if (!association_->isOpen()) {
            // Aborted, closed or no answer in time: the transfer broke off.
            connectionLost_ = true;
            notSent(imageUid, "the transfer broke off (see the error log)", tally);
        } else if (error && error->code() != errc::Network) {
            notSent(imageUid, "the file cannot be read (see the error log)", tally);
        } else {
            notSent(imageUid, "could not be sent (see the error log)", tally);
        }
    }
    return std::nullopt;
}

void SendJob::notSent(const std::string& imageUid, const std::string& why, Tally& tally) {
    ++tally.failed;
    notes_.push_back("Not sent: " + imageUid + ": " + why);
}

void SendJob::writeNotes(JobReport& report) {
    for (const std::string& line : notes_) report.appendLog(line + "\r\n");
    notes_.clear();
}

void SendJob::removeHandled(JobReport& report, db::Database& db, const std::vector<std::int64_t>& imageIds,
                            const char* imagesPhase) {
    report.appendLog("Updating Database ... ");
    db::Removal removal;
    try {
        removal = db::ImageIndex(db, setup_.target.paths.imageStore).removeImages(imageIds);
        report.appendLog("OK\r\n");
    } catch (const std::exception&) {
        logCaught("EditForm UpdateDatabase");
        report.appendLog("failed (see the error log)\r\n");
        return;
    }
    removal_.images.insert(removal_.images.end(), removal.images.begin(), removal.images.end());
    removal_.series.insert(removal_.series.end(), removal.series.begin(), removal.series.end());
    removal_.studies.insert(removal_.studies.end(), removal.studies.begin(), removal.studies.end());
    removal_.patients.insert(removal_.patients.end(), removal.patients.begin(), removal.patients.end());
    report.appendLog(std::string(imagesPhase) + " ... ");
    const std::vector<fs::path> left = db::ImageIndex(db, setup_.target.paths.imageStore).removeFiles(removal);
    for (const fs::path& f : left)
        corva::log::LogError(errc::Generic, "Could not remove " + f.string() + " after its send", "EditForm");
    report.appendLog(left.empty() ? "OK\r\n" : "failed (see the error log)\r\n");
}

void SendJob::commitAndRemove(JobReport& report, db::Database& db, const std::vector<db::ImageRef>& images,
                              const std::map<std::int64_t, std::string>& sopClasses,
                              const std::vector<std::int64_t>& removable) {
    CommitmentRound round(setup_.target.paths, setup_.destination);
    for (const db::ImageRef& r : images) {
        if (!stored_.count(r.imageId)) continue;
        std::string sopClass;
        if (const auto it = sopClasses.find(r.imageId); it != sopClasses.end()) sopClass = it->second;
        if (sopClass.empty()) {
            // Read when it was sent, not ahead: its class comes from the file.
            try {
                sopClass = dicom::OutgoingFile::read(r.file).sopClassUid();
            } catch (const std::exception&) {
                logCaught("EditForm Commitment");
            }
        }
        const bool remove = std::find(removable.begin(), removable.end(), r.imageId) != removable.end();
        // The job lock was held since the send: the file now is the file sent.
        round.add(sopClass, r.imageUid, remove ? r.imageId : 0, r.studyUid, false,
                  remove ? fileIdentity(r.file) : std::nullopt);
    }
    if (round.empty()) return;
    // The sending is over: the request goes on an association of its own, and an archive
    // serving one association at a time must not wait for this one to end.
    releaseAssociation(association_);
    if (!round.run(report, db))
        notCommitted_ += std::max<int>(1, static_cast<int>(round.result().failed.size() + round.result().pending.size()));
    const db::Removal& removal = round.result().removal;
    removal_.images.insert(removal_.images.end(), removal.images.begin(), removal.images.end());
    removal_.series.insert(removal_.series.end(), removal.series.begin(), removal.series.end());
    removal_.studies.insert(removal_.studies.end(), removal.studies.begin(), removal.studies.end());
    removal_.patients.insert(removal_.patients.end(), removal.patients.begin(), removal.patients.end());
}

std::vector<std::int64_t> SendJob::fullySent(const std::vector<db::ImageRef>& images) const {
    std::vector<std::int64_t> ids;
    for (const db::ImageRef& r : images) {
        const auto it = stored_.find(r.imageId);
        if (it != stored_.end() && it->second == dicom::StoreStatus::Success) ids.push_back(r.imageId);
    }
    return ids;
}

JobOutcome SendJob::sendSeries(JobReport& report, db::Database& db) {
    const CurrentSelection& sel = setup_.target.selection;
    const fs::path folder = isSafeUid(sel.studyUid) ? setup_.target.paths.imageStore / sel.studyUid : fs::path();
    std::int64_t seriesId = 0;
    try {
        seriesId = std::stoll(sel.seriesId);
    } catch (const std::exception&) {
        throw Error(errc::Generic, "No current series", "SerieSenden");
    }
    // What this job handles: the images filed in the series now, by ID.
    const std::vector<db::ImageRef> images = db::ImageIndex(db, setup_.target.paths.imageStore).imagesOfSeries(seriesId);
    report.setProgress(0);
    if (folder.empty() || filesIn(folder).empty()) {
        report.information("The images from the selected series could not be found!");
        JobOutcome outcome;
        outcome.closeWindow = true;
        outcome.complete = false;
        return outcome;
    }
    report.setProgressMaximum(static_cast<double>(images.size()));
    toSend_ = static_cast<int>(images.size());
    report.appendLog("Sending Series ... ");
    // Each file is read once, ahead, for the presentation contexts; one that cannot be
    // read is read again when its turn comes, which logs why.
    std::vector<std::optional<dicom::OutgoingFile>> readAhead(images.size());
    std::vector<const dicom::OutgoingFile*> forContexts;
    std::error_code ec;
    for (std::size_t i = 0; i < images.size(); ++i) {
        if (images[i].file.empty() || !fs::exists(images[i].file, ec)) continue;
        try {
            readAhead[i] = dicom::OutgoingFile::read(images[i].file);
            forContexts.push_back(&*readAhead[i]);
        } catch (const std::exception&) {
        }
    }
    prepareAssociation(forContexts);
    forContexts.clear();
    double progress = 0;
    Tally tally;
    std::map<std::int64_t, std::string> sopClasses;
    for (std::size_t i = 0; i < images.size(); ++i) {
        if (!cancelled_ && report.cancelRequested()) cancelled_ = true;
        if (cancelled_) {
            notSent(images[i].imageUid, "the send was cancelled", tally);
            continue;
        }
        const std::string sopClass = readAhead[i] ? readAhead[i]->sopClassUid() : std::string();
        if (const auto answer =
                sendOne(images[i].file, images[i].imageUid, std::move(readAhead[i]), SeriesTransmitError, tally)) {
            stored_[images[i].imageId] = answer->status;
            sopClasses[images[i].imageId] = sopClass;
            ++sent_;
        }
        readAhead[i].reset();
        report.setProgress(++progress);
    }
    report.appendLog("OK\r\n");
    writeNotes(report);
    report.appendLog(summary(sent_, toSend_));
    if (setup_.destination.commitment) {
        commitAndRemove(report, db, images, sopClasses,
                        !setup_.keep && tally.answered() ? fullySent(images) : std::vector<std::int64_t>{});
        removedAfterSend_ = removal_.removedSeries(seriesId);
        studyRemoved_ = !removal_.studies.empty();
        patientRemoved_ = !removal_.patients.empty();
    } else if (!setup_.keep && tally.answered() && !fullySent(images).empty()) {
        removeHandled(report, db, fullySent(images), "Removing images");
        removedAfterSend_ = removal_.removedSeries(seriesId);
        studyRemoved_ = !removal_.studies.empty();
        patientRemoved_ = !removal_.patients.empty();
    }
    report.scrollLogToEnd();
    report.appendLog("Tasks done!");
    report.scrollLogToEnd();
    return JobOutcome{sent_ == toSend_ && notCommitted_ == 0, toSend_ - sent_ + notCommitted_};
}

SendJob::StudyResult SendJob::sendStudy(JobReport& report, db::Database& db, bool insidePatient) {
    const CurrentSelection& sel = setup_.target.selection;
    report.setProgress(0);
    std::int64_t studyId = 0;
    try {
        studyId = std::stoll(sel.studyId);
    } catch (const std::exception&) {
    }
    // What this job handles: the study's images filed now, by ID. One that is filed
    // during the send is not among them and stays, with its study.
    const std::vector<db::ImageRef> images = db::ImageIndex(db, setup_.target.paths.imageStore).imagesOfStudy(studyId);
    // The work folder holds the converted files of every study waiting; this study
    // sends its own only, told by the study UID each file carries.
    // Each file is read once: for its study, for the presentation contexts and to be sent.
    std::vector<dicom::OutgoingFile> files;
    std::set<std::string> inFolder;
    for (const fs::path& f : filesIn(setup_.target.paths.workFolder)) {
        try {
            dicom::OutgoingFile file = dicom::OutgoingFile::read(f);
            if (file.studyInstanceUid() != sel.studyUid) continue;
            inFolder.insert(file.sopInstanceUid());
            files.push_back(std::move(file));
        } catch (const std::exception&) {
            logCaught(StudyTransmitError);  // unreadable: belongs to no study we could send
        }
    }
    if (files.empty() && !insidePatient) {
        report.information("The images from the selected study could not be found!");
        return StudyResult{false};
    }
    report.setProgressMaximum(static_cast<double>(files.size()));
    report.appendLog(files.empty() ? "Sending study ... no converted images\r\n" : "Sending study ... ");
    // Images of the study without a converted file cannot be sent: they count as not sent.
    Tally tally;
    int missing = 0;
    for (const db::ImageRef& r : images)
        if (!inFolder.count(r.imageUid)) {
            ++missing;
            corva::log::LogError(errc::NotFound,
                                 "Image " + r.imageUid + " of study " + sel.studyUid +
                                     " has no converted file in the work folder",
                                 StudyTransmitError);
            notSent(r.imageUid, "no converted image in the work folder", tally);
        }
    toSend_ += static_cast<int>(files.size()) + missing;
    if (files.empty()) {
        writeNotes(report);
        return StudyResult{true};
    }
    {
        std::vector<const dicom::OutgoingFile*> forContexts;
        for (const auto& f : files) forContexts.push_back(&f);
        prepareAssociation(forContexts);
    }
    double progress = 0;
    std::map<std::int64_t, std::string> sopClasses;
    for (dicom::OutgoingFile& f : files) {
        const fs::path path = f.path();
        const std::string uid = f.sopInstanceUid();
        const std::string sopClass = f.sopClassUid();
        if (!cancelled_ && report.cancelRequested()) cancelled_ = true;
        if (cancelled_) {
            notSent(uid, "the send was cancelled", tally);
            continue;
        }
        if (const auto answer = sendOne(path, uid, std::move(f), StudyTransmitError, tally)) {
            ++sent_;
            for (const db::ImageRef& r : images)
                if (r.imageUid == uid) {
                    stored_[r.imageId] = answer->status;
                    sopClasses[r.imageId] = sopClass;
                }
        }
        report.setProgress(++progress);
    }
    files.clear();
    report.appendLog("OK\r\n");
    writeNotes(report);
    if (!insidePatient) report.appendLog(summary(sent_, toSend_));
    if (setup_.destination.commitment) {
        commitAndRemove(report, db, images, sopClasses,
                        tally.answered() && !setup_.keep ? fullySent(images) : std::vector<std::int64_t>{});
        if (removal_.removedStudy(studyId)) {
            removedAfterSend_ = !insidePatient;
            studyRemoved_ = true;
        }
        patientRemoved_ = !removal_.patients.empty();
    } else if (tally.answered() && !setup_.keep && !fullySent(images).empty()) {
        removeHandled(report, db, fullySent(images), "Removing image directory");
        if (removal_.removedStudy(studyId)) {
            removedAfterSend_ = !insidePatient;
            studyRemoved_ = true;
        }
        patientRemoved_ = !removal_.patients.empty();
    }
    report.scrollLogToEnd();
    return StudyResult{true};
}

JobOutcome SendJob::sendPatient(JobReport& report, db::Database& db) {
    CurrentSelection& sel = setup_.target.selection;
    std::vector<std::pair<std::int64_t, std::string>> studies;
    {
        auto st = db.prepare("SELECT StudyID, StudyUID FROM tblStudies WHERE FKeyPATID = ?");
        st.bind(1, sel.patientKey);
        while (st.step()) studies.emplace_back(st.getInt(0), st.getText(1));
    }
    report.appendLog("Send studies of patient: " + sel.patientName + "\r\n");
    std::size_t visited = 0;
    for (const auto& [studyId, studyUid] : studies) {
        if (!cancelled_ && report.cancelRequested()) cancelled_ = true;
        // Cancelled, or the destination broke off: the studies left are not visited.
        if (cancelled_ || connectionLost_) break;
        ++visited;
        report.appendLog("Study: " + studyUid + "\r\n");
        sel.studyUid = studyUid;
        sel.studyId = std::to_string(studyId);
        try {
            // A study without converted images counts them as not sent; the others go on.
            sendStudy(report, db, true);
        } catch (const Error& e) {
            corva::log::LogError(e.code(), e.message(), "EditForm StudieSenden");
            report.unexpectedError(e.code(), e.message());
        }
    }
    // A send that ended early did not visit every study: their images were not sent either.
    for (std::size_t i = visited; i < studies.size(); ++i) {
        const auto left = db::ImageIndex(db, setup_.target.paths.imageStore).imagesOfStudy(studies[i].first);
        toSend_ += static_cast<int>(left.size());
        report.appendLog("Not sent: study " + studies[i].second + " (" + std::to_string(left.size()) + " images): " +
                         (cancelled_ ? "the send was cancelled" : "the connection to the destination was lost") +
                         "\r\n");
    }
    report.appendLog(summary(sent_, toSend_));
    const bool complete = sent_ == toSend_;
    if (!setup_.keep) {
        report.appendLog("Removing database entries ... ");
        if (patientRemoved_)
            report.appendLog("OK\r\n");
        else if (!complete)
            report.appendLog("skipped (not all files send)\r\n");
        else if (notCommitted_ > 0)
            report.appendLog("skipped (the archive has not committed to every image)\r\n");
        else
            report.appendLog("skipped (the patient has images that were not part of this send)\r\n");
    }
    // The patient is gone from the station exactly when its last image went with this send.
    removedAfterSend_ = patientRemoved_;
    report.appendLog("Tasks done!");
    return JobOutcome{complete && notCommitted_ == 0, toSend_ - sent_ + notCommitted_};
}

}  // namespace corva::station::jobs
