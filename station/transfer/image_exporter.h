#pragma once
// Exports images into a folder chosen by the operator: JPEG pictures with an info.txt,
// or DICOM files, optionally as a DICOMDIR medium. No widgets: the export window (or a
// test) calls run() and hears about each image through the progress callback.
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/station_context.h"

namespace corva::station::transfer {

enum class ExportFormat { Jpeg = 1, Dicom = 2 };

struct ExportOptions {
    ExportFormat format = ExportFormat::Jpeg;
    std::filesystem::path folder;  // must exist
    int quality = 0;               // slider value 0..10; the JPEG quality is ten times that
    // DICOM only: the export folder becomes a medium, "DICOMDIR" at its root over files
    // "DICOM/STnnnnnn/IMnnnnnn" (names other systems' readers accept). Without it the
    // files are "<study UID>/<SOP Instance UID>.dcm".
    bool dicomDir = false;
    // Folders of the station an export never writes into, also not through a symbolic
    // link: an export folder in one of them is refused (see protectedFolders()).
    std::vector<std::filesystem::path> protectedFolders;
};

struct ExportResult {
    int exported = 0;
    int failed = 0;
    bool cancelled = false;
    bool dicomDirWritten = false;  // the folder's DICOMDIR names every exported image
    // Every file this export wrote, in export order (the ZIP archive's members).
    std::vector<std::filesystem::path> files;
};

// The folders of a program folder an export must not write into: the image store, the
// input folder the ingest service takes files from, the converted images and the data.
std::vector<std::filesystem::path> protectedFolders(const ProgramPaths& paths);
// The one of `protectedFolders` that `folder` lies in (also through a symbolic link);
// empty when none.
std::filesystem::path protectedFolderHolding(const std::filesystem::path& folder,
                                             const std::vector<std::filesystem::path>& protectedFolders);

class ImageExporter {
public:
    // done images of total; called after each image, also after a failed one.
    using Progress = std::function<void(int done, int total)>;
    // Asked before each image; true stops the export.
    using CancelCheck = std::function<bool()>;

    explicit ImageExporter(ExportOptions options);

    // Exports the image files in order. An image that fails is written to the error log
    // ("ExportForm ExportJPEG" / "ExportForm ExportDICOM") and skipped. Throws
    // corva::Error (errc::NotFound) when the export folder does not exist.
    ExportResult run(const std::vector<std::filesystem::path>& images, const Progress& progress = {},
                     const CancelCheck& cancelled = {});

    // The four lines of info.txt (UTF-8, CR LF) for an image file.
    static std::string infoText(const std::filesystem::path& image);

private:
    ExportOptions options_;
};

}  // namespace corva::station::transfer
