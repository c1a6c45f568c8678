#pragma once
// The two import jobs of the job window: chosen DICOM files (kind 8) and every image a
// DICOMDIR names (kind 9). Each reads the images and puts them into the input folder
// as "<SOP Instance UID>.dcm"; the ingest service files them from there.
#include <filesystem>
#include <string>
#include <vector>

#include "common/job.h"

namespace corva::station::transfer {

// Import of chosen files. One file takes the one-file path, two or more the loop.
class ImportFilesJob : public jobs::Job {
public:
    static constexpr int Kind = 8;

    ImportFilesJob(std::vector<std::filesystem::path> files, std::filesystem::path inputFolder);

    std::string caption() const override { return "Import image(s)"; }
    // Log: "Importing image(s) ... OK" (or "failed" when a file was not imported, one
    // "Not imported: ..." line each), "<n> image(s) successfully imported.", "Tasks done.".
    jobs::JobOutcome run(jobs::JobReport& report) override;

    // The file dialog's answer in the form of the job window's import list: element 0
    // the folder, then the names (several files), or the one full path.
    static std::vector<std::string> importList(const std::vector<std::filesystem::path>& files);

private:
    std::vector<std::filesystem::path> files_;
    std::filesystem::path inputFolder_;
};

// Import of every image a DICOMDIR names, resolved from the DICOMDIR's own folder.
class ImportDicomDirJob : public jobs::Job {
public:
    static constexpr int Kind = 9;

    ImportDicomDirJob(std::filesystem::path dicomDir, std::filesystem::path inputFolder);

    std::string caption() const override { return "Import DICOM-Dir"; }
    // Log: "Importing DICOM-Dir ... OK" (or "failed" with a "Not imported: ..." line per
    // record whose file could not be imported), "<n> image(s) imported", "Tasks done.".
    // A file that is no DICOMDIR: "failed" and the reason, no "Tasks done.".
    jobs::JobOutcome run(jobs::JobReport& report) override;

private:
    std::filesystem::path dicomDir_;
    std::filesystem::path inputFolder_;
};

}  // namespace corva::station::transfer
