#include "program_folder.h"

#include <stdexcept>

#include "core/paths.h"
#include "db/schema.h"

namespace fs = std::filesystem;

namespace corva::test {

ProgramFolder::ProgramFolder() : ProgramFolder(Options{}) {}

ProgramFolder::ProgramFolder(const Options& options) : dir_("corva-prog")
{
    for (const auto& d : {temp(), images(), data(), logs()})
        fs::create_directories(d);
    const fs::path build = buildProgramFolder();
    for (const char* name : {db::TemplateDatabaseFile, db::UserDatabaseFile}) {
        const fs::path from = build / folder::Data / name;
        if (!fs::exists(from))
            throw std::runtime_error("missing " + from.string() + " (build target corva_programfiles)");
        fs::copy_file(from, data() / name);
    }
    if (options.imageDatabase)
        fs::copy_file(templateDatabase(), imageDatabase());
    if (options.logo)
        fs::copy_file(build / "CorvaLogo.bmp", path() / "CorvaLogo.bmp");
    if (options.executables)
        for (const char* exe : {"Ingrado", "Recvora", "Corvalight"})
            copyExecutable(exe);
}

ProgramFolder::~ProgramFolder()
{
    if (active_)
        setProgramFolderForTesting({});
}

fs::path ProgramFolder::copyExecutable(const std::string& name)
{
    const fs::path from = buildProgramFolder() / name;
    if (!fs::exists(from))
        throw std::runtime_error("missing executable " + from.string());
    const fs::path to = path() / name;
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    fs::permissions(to, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);
    return to;
}

void ProgramFolder::activate()
{
    setProgramFolderForTesting(path());
    active_ = true;
}

}  // namespace corva::test
