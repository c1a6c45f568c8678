#include "jobs/send_jobs.h"

#include <algorithm>
#include <system_error>
#include <vector>

#include "common/edge.h"
#include "core/error.h"
#include "core/paths.h"
#include "log/error_log.h"

namespace fs = std::filesystem;

namespace corva::station::jobs {

namespace {

constexpr const char* StudyTransmitError = "EditForm StudieSenden (TRANSMIT_ERROR)";
constexpr const char* SeriesTransmitError = "EditForm SerieSenden (TRANSMIT_ERRROR)";

int portNumber(const std::string& text) {
    try {
        std::size_t used = 0;
        const int port = std::stoi(text, &used);
        if (used == text.size() && port > 0 && port < 65536) return port;
    } catch (const std::exception&) {
    }
    throw Error(errc::Generic, "Type mismatch: port \"" + text + "\" is no number", "SCPOnline");
}

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

}  // namespace

std::unique_ptr<dicom::Association> openDestination(const Destination& d) {
    auto association = std::make_unique<dicom::Association>();
    association->open(d.ip, portNumber(d.port), d.callingAe, d.aet);
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

void SendJob::windowClosed() {
    if (!association_) return;
    try {
        association_->close();
    } catch (...) {
        // a release that fails changes nothing for the operator
    }
    association_.reset();
}

bool SendJob::prepareAssociation(const std::vector<const dicom::OutgoingFile*>& files) {
    try {
        association_ = std::make_unique<dicom::Association>();
        association_->open(setup_.destination.ip, portNumber(setup_.destination.port), setup_.destination.callingAe,
                           setup_.destination.aet, dicom::Association::contextsFor(files));
        return true;
    } catch (const std::exception&) {
        logCaught(level_ == Level::Series ? "EditForm SerieSenden" : "EditForm StudieSenden");
        return false;
    }
}

bool SendJob::sendFile(const fs::path& file, std::optional<dicom::OutgoingFile> readAhead, const char* location) {
    try {
        if (file.empty()) throw Error(errc::InvalidName, "No file name for the image", "send");
        // Read now when it could not be read ahead: that read reports why.
        dicom::OutgoingFile outgoing = readAhead ? std::move(*readAhead) : dicom::OutgoingFile::read(file);
        if (!association_) throw Error(errc::Network, "No open association", "send");
        // The pixel data go from the file into the association: a mammogram is not loaded first.
        association_->send(std::move(outgoing));
        return true;
    } catch (const std::exception&) {
        logCaught(location);
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
            outcome.complete = sent_ == toSend_;
            outcome.failures = toSend_ - sent_;
            return outcome;
        }
        case Level::Patient: break;
    }
    return sendPatient(report, db);
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
    int count = 0;
    {
        auto st = db.prepare("SELECT COUNT(ImageUID) AS ImageCount FROM tblImages WHERE FKeySeriesID = ?");
        st.bind(1, seriesId);
        if (st.step()) count = static_cast<int>(st.getInt(0));
    }
    report.setProgress(0);
    if (folder.empty() || filesIn(folder).empty()) {
        report.information("The images from the selected series could not be found!");
        JobOutcome outcome;
        outcome.closeWindow = true;
        outcome.complete = false;
        return outcome;
    }
    report.setProgressMaximum(count);
    toSend_ = count;
    report.appendLog("Sending Series ... ");
    std::vector<fs::path> files;
    {
        auto st = db.prepare("SELECT ImageUID FROM tblImages WHERE FKeySeriesID = ? ORDER BY ImageNr");
        st.bind(1, seriesId);
        while (st.step()) files.push_back(imageFile(setup_.target.paths, sel.studyUid, st.getText(0)));
    }
    // Each file is read once, ahead, for the presentation contexts; one that cannot be
    // read is read again when its turn comes, which logs why.
    std::vector<std::optional<dicom::OutgoingFile>> readAhead(files.size());
    std::vector<const dicom::OutgoingFile*> forContexts;
    std::error_code ec;
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (files[i].empty() || !fs::exists(files[i], ec)) continue;
        try {
            readAhead[i] = dicom::OutgoingFile::read(files[i]);
            forContexts.push_back(&*readAhead[i]);
        } catch (const std::exception&) {
        }
    }
    prepareAssociation(forContexts);
    forContexts.clear();
    double progress = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (report.cancelRequested()) break;
        if (sendFile(files[i], std::move(readAhead[i]), SeriesTransmitError)) ++sent_;
        readAhead[i].reset();
        report.setProgress(++progress);
    }
    report.appendLog("OK\r\n");
    report.appendLog(summary(sent_, toSend_));
    if (!setup_.keep && sent_ == toSend_) {
        ImageDeleter deleter(db, setup_.target, report);
        removedAfterSend_ = deleter.deleteSeries();
        studyRemoved_ = deleter.studyRemoved();
        patientRemoved_ = deleter.patientRemoved();
    }
    report.scrollLogToEnd();
    report.appendLog("Tasks done!");
    report.scrollLogToEnd();
    return JobOutcome{sent_ == toSend_, toSend_ - sent_};
}

SendJob::StudyResult SendJob::sendStudy(JobReport& report, db::Database& db, bool insidePatient) {
    const CurrentSelection& sel = setup_.target.selection;
    report.setProgress(0);
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
    if (files.empty()) {
        report.information("The images from the selected study could not be found!");
        return StudyResult{false};
    }
    report.setProgressMaximum(static_cast<double>(files.size()));
    report.appendLog("Sending study ... ");
    // Images of the study without a converted file cannot be sent: they count as not sent.
    int missing = 0;
    {
        auto st = db.prepare(
            "SELECT i.ImageUID FROM tblImages i JOIN tblSeries s ON s.SeriesID = i.FKeySeriesID "
            "WHERE s.FKeyStudyID = ?");
        std::int64_t studyId = 0;
        try {
            studyId = std::stoll(sel.studyId);
        } catch (const std::exception&) {
        }
        st.bind(1, studyId);
        while (st.step())
            if (!inFolder.count(st.getText(0))) {
                ++missing;
                corva::log::LogError(errc::NotFound,
                                     "Image " + st.getText(0) + " of study " + sel.studyUid +
                                         " has no converted file in the work folder",
                                     StudyTransmitError);
            }
    }
    toSend_ += static_cast<int>(files.size()) + missing;
    {
        std::vector<const dicom::OutgoingFile*> forContexts;
        for (const auto& f : files) forContexts.push_back(&f);
        prepareAssociation(forContexts);
    }
    const std::size_t fileCount = files.size();
    int local = 0;
    double progress = 0;
    for (dicom::OutgoingFile& f : files) {
        if (report.cancelRequested()) break;
        const fs::path path = f.path();
        if (sendFile(path, std::move(f), StudyTransmitError)) {
            ++sent_;
            ++local;
        }
        report.setProgress(++progress);
    }
    files.clear();
    report.appendLog("OK\r\n");
    if (!insidePatient) report.appendLog(summary(sent_, toSend_));
    if (local == static_cast<int>(fileCount) && missing == 0 && !setup_.keep) {
        ImageDeleter deleter(db, setup_.target, report);
        removedAfterSend_ = deleter.deleteStudy(!insidePatient);
        studyRemoved_ = deleter.studyRemoved();
        patientRemoved_ = patientRemoved_ || deleter.patientRemoved();
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
    for (const auto& [studyId, studyUid] : studies) {
        if (report.cancelRequested()) break;
        report.appendLog("Study: " + studyUid + "\r\n");
        sel.studyUid = studyUid;
        sel.studyId = std::to_string(studyId);
        try {
            if (!sendStudy(report, db, true).found) {
                JobOutcome outcome;
                outcome.closeWindow = true;
                outcome.complete = false;
                return outcome;
            }
        } catch (const Error& e) {
            corva::log::LogError(e.code(), e.message(), "EditForm StudieSenden");
            report.unexpectedError(e.code(), e.message());
        }
    }
    report.appendLog(summary(sent_, toSend_));
    const bool complete = sent_ == toSend_;
    if (!setup_.keep) {
        report.appendLog("Removing database entries ... ");
        std::int64_t left = 0;
        {
            auto st = db.prepare("SELECT COUNT(*) FROM tblStudies WHERE FKeyPATID = ?");
            st.bind(1, sel.patientKey);
            if (st.step()) left = st.getInt(0);
        }
        if (complete && left == 0) {
            // By its key: other patients may carry the same patient ID.
            auto st = db.prepare("DELETE FROM tblPatienten WHERE PATID = ?");
            st.bind(1, sel.patientKey);
            st.run();
            patientRemoved_ = true;
            report.appendLog("OK\r\n");
        } else {
            report.appendLog("skipped (not all files send)\r\n");
        }
    }
    // With "keep" the station keeps what it sent: nothing is removed afterwards.
    removedAfterSend_ = complete && !setup_.keep;
    report.appendLog("Tasks done!");
    return JobOutcome{complete, toSend_ - sent_};
}

}  // namespace corva::station::jobs
