#pragma once
// What the main window calls for the import and export commands. The import commands
// ask for the files through the operator seam and hand back the job for the job window
// (nothing when the operator cancelled); the export commands open the export window.
//
//   if (auto job = transfer::chooseImageImport(programFolder() / "Temp"))
//       runJobWindow(*job);                     // job kind 8, "Import image(s)"
//   if (auto job = transfer::chooseDicomDirImport(programFolder() / "Temp"))
//       runJobWindow(*job);                     // job kind 9, "Import DICOM-Dir"
//   transfer::runExport(transfer::ExportFormat::Jpeg, filesOfTheLoadedImages);
#include <filesystem>
#include <memory>
#include <vector>

#include "transfer/image_exporter.h"
#include "common/job.h"

namespace corva::station::transfer {

// "DICOM Image(s) ...": the multi-select open dialog; an ImportFilesJob, or nullptr.
std::unique_ptr<jobs::Job> chooseImageImport(const std::filesystem::path& inputFolder);
// "DICOM Dir ...": the open dialog for one file; an ImportDicomDirJob, or nullptr.
std::unique_ptr<jobs::Job> chooseDicomDirImport(const std::filesystem::path& inputFolder);

// "Export JPEG" / "Export DICOM": "No images loaded into viewport." when there is
// nothing to export, otherwise the export window, modally. Returns the window's result
// (QDialog::Accepted after an export), or -1 when it was not opened.
int runExport(ExportFormat format, const std::vector<std::filesystem::path>& loadedImageFiles);

}  // namespace corva::station::transfer
