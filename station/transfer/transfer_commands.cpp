#include "transfer/transfer_commands.h"

#include "common/operator_seam.h"
#include "transfer/export_form.h"
#include "transfer/import_jobs.h"

namespace corva::station::transfer {

namespace fs = std::filesystem;

std::unique_ptr<jobs::Job> chooseImageImport(const fs::path& inputFolder)
{
    FileDialogOptions options;
    options.filter = "DICOM Image (*.dcm)|*.dcm|All files (*.*)|*.*";
    const QStringList chosen = op().openFiles(options);
    if (chosen.isEmpty())
        return nullptr;
    std::vector<fs::path> files;
    for (const QString& f : chosen)
        files.emplace_back(f.toStdString());
    return std::make_unique<ImportFilesJob>(std::move(files), inputFolder);
}

std::unique_ptr<jobs::Job> chooseDicomDirImport(const fs::path& inputFolder)
{
    FileDialogOptions options;
    options.filter = "All files (*.*)|*.*";
    const std::optional<QString> chosen = op().openFile(options);
    if (!chosen || chosen->isEmpty())
        return nullptr;
    return std::make_unique<ImportDicomDirJob>(fs::path(chosen->toStdString()), inputFolder);
}

int runExport(ExportFormat format, const std::vector<fs::path>& loadedImageFiles)
{
    if (loadedImageFiles.empty()) {
        op().message("No images loaded into viewport.", {}, MsgIcon::Information, MsgButtons::OK);
        return -1;
    }
    ExportForm form(format, loadedImageFiles);
    return op().exec(form);
}

}  // namespace corva::station::transfer
