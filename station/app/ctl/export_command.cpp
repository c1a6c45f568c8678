// corvactl export --study <UID> --to <folder> --jpeg|--dicom [--dicomdir] [--zip <name>]
//                 [--quality N]
#include <filesystem>

#include "core/error.h"
#include "app/ctl/arguments.h"
#include "app/ctl/commands.h"
#include "app/ctl/console_report.h"
#include "app/ctl/station_lookup.h"
#include "log/error_log.h"
#include "transfer/image_exporter.h"
#include "transfer/zip_packer.h"

namespace corva::station::ctl {

namespace fs = std::filesystem;

int exportCommand(CtlEnvironment& env, const std::vector<std::string>& args) {
    const Arguments a(args, {{"study", Arguments::Value},
                             {"to", Arguments::Value},
                             {"jpeg", Arguments::Flag},
                             {"dicom", Arguments::Flag},
                             {"dicomdir", Arguments::Flag},
                             {"zip", Arguments::Value},
                             {"quality", Arguments::Value}});
    a.noOperands();
    if (!a.has("study")) throw UsageError("missing --study <UID>");
    if (!a.has("to")) throw UsageError("missing --to <folder>");
    const std::string format = a.exactlyOne({"jpeg", "dicom"});
    if (a.has("dicomdir") && format != "dicom") throw UsageError("--dicomdir needs --dicom");
    if (a.has("quality") && format != "jpeg") throw UsageError("--quality needs --jpeg");
    if (a.has("zip") && a.value("zip")->find_first_of("/\\") != std::string::npos)
        throw UsageError("--zip takes a file name without folder, not '" + *a.value("zip") + "'");

    transfer::ExportOptions options;
    options.format = format == "jpeg" ? transfer::ExportFormat::Jpeg : transfer::ExportFormat::Dicom;
    options.folder = fs::absolute(*a.value("to"));
    // The slider value of the export window; "High" unless told.
    options.quality = a.has("quality") ? wholeNumber("quality", *a.value("quality"), 0, 10) : 8;
    options.dicomDir = a.has("dicomdir");
    options.protectedFolders = transfer::protectedFolders(env.paths);
    std::error_code ec;
    if (!fs::is_directory(options.folder, ec)) throw CommandFailed("Export directory does not exists!");

    const JobLock lock = takeJobLock(env);
    std::vector<fs::path> files;
    {
        db::Database db = openImageDb(env);
        StationLookup lookup(db);
        const CurrentSelection study = lookup.study(*a.value("study"));
        for (const auto& uid : lookup.studyImages(std::stoll(study.studyId)))
            files.push_back(imageFile(env.paths, study.studyUid, uid));
    }
    if (files.empty()) throw CommandFailed("No images loaded into viewport.");

    ConsoleReport report(env.out, env.err, env.errIsTerminal);
    report.appendLog(std::string(format == "jpeg" ? "Exporting JPEG" : "Exporting DICOM") + " ... ");
    report.setProgressMaximum(static_cast<double>(files.size()));
    transfer::ExportResult result;
    try {
        result = transfer::ImageExporter(options).run(
            files, [&](int done, int) { report.setProgress(done); }, [] { return ConsoleReport::cancelSignalled(); });
    } catch (const Error& e) {
        report.appendLog("failed\r\n");
        throw CommandFailed(e.message());
    }
    const bool allExported = result.failed == 0 && !result.cancelled;
    report.appendLog(std::string(allExported ? "OK" : "failed") + "\r\n");
    report.appendLog(std::to_string(result.exported) + " of " + std::to_string(files.size()) +
                     " image(s) exported.\r\n");
    if (options.dicomDir) report.appendLog(std::string("DICOMDIR ... ") + (result.dicomDirWritten ? "OK" : "failed") + "\r\n");
    bool zipped = true;
    if (a.has("zip") && !result.files.empty()) {
        const std::string name = transfer::ZipPacker::archiveName(*a.value("zip"), "export");
        report.appendLog("ZIP archive " + name + " ... ");
        transfer::ZipPacker packer;
        transfer::ZipResult z = transfer::ZipResult::Unexpected;
        try {
            z = packer.pack(options.folder, name, result.files, {}, [] { return ConsoleReport::cancelSignalled(); });
            if (z == transfer::ZipResult::Failed) log::LogError(1, packer.error(), "ExportForm CreateZIP");
        } catch (const std::exception& e) {
            log::LogError(1, e.what(), "ExportForm CreateZIP");
        }
        zipped = z == transfer::ZipResult::Ok;
        report.appendLog(std::string(zipped ? "OK" : "failed") + "\r\n");
        if (!zipped && !packer.error().empty()) report.information(packer.error());
    }
    report.appendLog(allExported && zipped && (!options.dicomDir || result.dicomDirWritten) ? "Images exported!"
                                                                                          : "Export incomplete.");
    report.finish();
    return allExported && zipped && (!options.dicomDir || result.dicomDirWritten) ? ExitComplete : ExitFailed;
}

}  // namespace corva::station::ctl
