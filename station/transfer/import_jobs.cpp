#include "transfer/import_jobs.h"

#include <exception>

#include "core/error.h"
#include "dicom/dicom.h"
#include "transfer/input_drop.h"
#include "log/error_log.h"
#include "transfer/medium_path.h"

namespace corva::station::transfer {

namespace fs = std::filesystem;

namespace {

constexpr const char* Crlf = "\r\n";

// Reads one file and puts its image into the input folder.
void importOne(const fs::path& file, InputDrop& drop)
{
    dicom::ImageCollection images;
    images.read(file);
    drop.put(images.item(1));
}

// The reason of a failure, for the job log and the error log.
struct Failure {
    int number = 0;
    std::string description;
};

Failure failureOf(const std::exception_ptr& error)
{
    try {
        std::rethrow_exception(error);
    } catch (const Error& e) {
        return {e.code(), e.message()};
    } catch (const std::exception& e) {
        return {errc::Generic, e.what()};
    } catch (...) {
        return {errc::Generic, "Unknown error"};
    }
}

// Ends the phase line and lists what was not imported.
void writePhaseEnd(jobs::JobReport& report, const std::vector<std::string>& notImported, bool cancelled)
{
    report.appendLog(notImported.empty() && !cancelled ? "OK" : "failed");
    report.appendLog(Crlf);
    for (const auto& line : notImported)
        report.appendLog(line + Crlf);
    if (cancelled)
        report.appendLog(std::string("Import cancelled.") + Crlf);
}

}  // namespace

ImportFilesJob::ImportFilesJob(std::vector<fs::path> files, fs::path inputFolder)
    : files_(std::move(files)), inputFolder_(std::move(inputFolder))
{
}

std::vector<std::string> ImportFilesJob::importList(const std::vector<fs::path>& files)
{
    if (files.size() == 1)
        return {files.front().string()};
    std::vector<std::string> list;
    if (files.empty())
        return list;
    list.push_back(files.front().parent_path().string());
    for (const auto& f : files)
        list.push_back(f.filename().string());
    return list;
}

jobs::JobOutcome ImportFilesJob::run(jobs::JobReport& report)
{
    jobs::JobOutcome outcome;
    report.appendLog("Importing image(s) ... ");
    int count = 0;
    std::vector<std::string> notImported;
    bool cancelled = false;
    try {
        // What an import killed half-way left is no image: it goes before this one writes.
        removeAbandonedPartials(inputFolder_);
        InputDrop drop(inputFolder_);
        if (files_.size() >= 2) {
            report.setProgress(0);
            report.setProgressMaximum(static_cast<double>(files_.size()));
            for (std::size_t i = 0; i < files_.size(); ++i) {
                if (report.cancelRequested()) {
                    cancelled = true;
                    break;
                }
                // A file whose image waits in the input folder already counts as imported.
                try {
                    importOne(files_[i], drop);
                    ++count;
                } catch (...) {
                    const Failure f = failureOf(std::current_exception());
                    log::LogError(f.number, files_[i].string() + ": " + f.description,
                                  "EditForm ImportTimer ERROR_IMPORT_MULTI");
                    notImported.push_back("Not imported: " + files_[i].string() + " (" + f.description + ")");
                }
                report.setProgress(static_cast<double>(i + 1));
            }
        } else if (files_.size() == 1) {
            report.setProgress(0);
            report.setProgressMaximum(1);
            try {
                importOne(files_.front(), drop);
                report.setProgress(1);
                count = 1;
            } catch (...) {
                const Failure f = failureOf(std::current_exception());
                log::LogError(f.number, files_.front().string() + ": " + f.description,
                              "EditForm ImportTimer ERROR_IMPORT_SINGLE");
                notImported.push_back("Not imported: " + files_.front().string() + " (" + f.description + ")");
            }
        }
    } catch (...) {
        const Failure f = failureOf(std::current_exception());
        report.appendLog(std::string("failed") + Crlf);
        report.unexpectedError(f.number, f.description);
        log::LogError(f.number, f.description, "EditForm ImportTimer");
        return {false, static_cast<int>(files_.size()) - count};
    }
    writePhaseEnd(report, notImported, cancelled);
    report.appendLog(std::to_string(count) + " image(s) successfully imported." + Crlf);
    report.appendLog("Tasks done.");
    outcome.failures = static_cast<int>(notImported.size());
    outcome.complete = notImported.empty() && !cancelled;
    return outcome;
}

ImportDicomDirJob::ImportDicomDirJob(fs::path dicomDir, fs::path inputFolder)
    : dicomDir_(std::move(dicomDir)), inputFolder_(std::move(inputFolder))
{
}

jobs::JobOutcome ImportDicomDirJob::run(jobs::JobReport& report)
{
    jobs::JobOutcome outcome;
    report.appendLog("Importing DICOM-Dir ... ");
    std::vector<dicom::DirRecord> patients;
    try {
        patients = dicom::readDicomDir(dicomDir_);
    } catch (...) {
        const Failure f = failureOf(std::current_exception());
        report.appendLog(std::string("failed") + Crlf);
        report.appendLog(f.description + Crlf);
        log::LogError(f.number, f.description, "EditForm ImportDirTimer");
        return {false, 1};
    }
    removeAbandonedPartials(inputFolder_);
    InputDrop drop(inputFolder_);
    const fs::path folder = dicomDir_.parent_path();
    report.setProgress(0);
    report.setProgressMaximum(1);
    int count = 0;
    std::vector<std::string> notImported;
    bool cancelled = false;
    // Usually the fourth level (image records under series under study under patient)
    // names the files, but media of other writers put them at other depths: every
    // record with a file reference counts, in the order of the medium.
    std::vector<std::string> fileIds;
    std::vector<const dicom::DirRecord*> pending;
    for (auto it = patients.rbegin(); it != patients.rend(); ++it)
        pending.push_back(&*it);
    while (!pending.empty()) {
        const dicom::DirRecord* record = pending.back();
        pending.pop_back();
        if (!record->fileId.empty())
            fileIds.push_back(record->fileId);
        for (auto it = record->children.rbegin(); it != record->children.rend(); ++it)
            pending.push_back(&*it);
    }
    if (fileIds.empty()) {
        report.appendLog(std::string("failed") + Crlf);
        report.appendLog(std::string("The DICOMDIR names no image files.") + Crlf);
        log::LogError(errc::Generic, dicomDir_.string() + ": the DICOMDIR names no image files",
                      "EditForm ImportDirTimer");
        return {false, 1};
    }
    for (const auto& fileId : fileIds) {
        if (report.cancelRequested()) {
            cancelled = true;
            break;
        }
        report.setProgress(0);
        try {
            importOne(resolveFileId(folder, fileId), drop);
            ++count;
            report.setProgress(1);
        } catch (...) {
            const Failure f = failureOf(std::current_exception());
            log::LogError(f.number, fileId + ": " + f.description, "EditForm ImportDirTimer");
            notImported.push_back("Not imported: " + fileId + " (" + f.description + ")");
        }
    }
    writePhaseEnd(report, notImported, cancelled);
    report.appendLog(std::to_string(count) + " image(s) imported" + Crlf);
    report.appendLog("Tasks done.");
    outcome.failures = static_cast<int>(notImported.size());
    outcome.complete = notImported.empty() && !cancelled;
    return outcome;
}

}  // namespace corva::station::transfer
