// corvactl import <files...>, import --dicomdir <path>
#include <filesystem>

#include "app/ctl/arguments.h"
#include "app/ctl/commands.h"
#include "transfer/import_jobs.h"

namespace corva::station::ctl {

namespace fs = std::filesystem;

int importCommand(CtlEnvironment& env, const std::vector<std::string>& args) {
    const Arguments a(args, {{"dicomdir", Arguments::Value}});
    if (a.has("dicomdir") == !a.operands().empty())
        throw UsageError(a.has("dicomdir") ? "give either files or --dicomdir, not both"
                                           : "missing the files to import (or --dicomdir <path>)");
    if (!fs::is_directory(env.paths.dataFolder))
        throw CommandFailed("no Data folder in " + env.paths.programFolder.string() + " (is this a program folder?)");
    std::error_code ec;
    fs::create_directories(env.paths.inputFolder, ec);  // Ingrado takes the files from there
    const JobLock lock = takeJobLock(env);
    if (a.has("dicomdir")) {
        transfer::ImportDicomDirJob job(fs::absolute(*a.value("dicomdir")), env.paths.inputFolder);
        return runJob(env, job);
    }
    std::vector<fs::path> files;
    for (const auto& f : a.operands()) files.push_back(fs::absolute(f));
    transfer::ImportFilesJob job(files, env.paths.inputFolder);
    return runJob(env, job);
}

}  // namespace corva::station::ctl
