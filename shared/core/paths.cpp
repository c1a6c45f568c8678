#include "core/paths.h"

#include <cctype>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>
#include <system_error>

namespace corva {
namespace {
std::mutex g_mutex;
std::filesystem::path g_override;

std::filesystem::path ownExecutableFolder()
{
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec)
        return std::filesystem::current_path();
    return exe.parent_path();
}

}  // namespace

std::filesystem::path programFolder()
{
    {
        std::lock_guard lock(g_mutex);
        if (!g_override.empty())
            return g_override;
    }
    // The executable and its file stay where they are while the program runs: read once.
    static const std::filesystem::path folder = programFolderFor(ownExecutableFolder());
    return folder;
}

std::filesystem::path executableFolder()
{
    {
        std::lock_guard lock(g_mutex);
        if (!g_override.empty())
            return g_override;
    }
    return ownExecutableFolder();
}

namespace {

// The absolute folder on the first line of `file`; nullopt without the file, empty (with
// a line on standard error) when it names no absolute folder.
std::optional<std::filesystem::path> folderNamedIn(const std::filesystem::path& file, const std::string& otherwise)
{
    std::ifstream in(file);
    if (!in)
        return std::nullopt;
    std::string line;
    std::getline(in, line);
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())))
        line.pop_back();
    const std::filesystem::path named(line);
    if (!named.is_absolute()) {
        std::cerr << file.string() << ": names no absolute folder; " << otherwise << std::endl;
        return std::filesystem::path();
    }
    auto folder = named.lexically_normal();
    if (!folder.has_filename() && folder != folder.root_path())
        folder = folder.parent_path();  // no trailing slash, as from /proc/self/exe
    return folder;
}

}  // namespace

std::filesystem::path programFolderFor(const std::filesystem::path& executables)
{
    const auto named =
        folderNamedIn(executables / ProgramFolderFile, "the program folder is " + executables.string());
    return named && !named->empty() ? *named : executables;
}

std::filesystem::path settingsFolderFor(const std::filesystem::path& executables)
{
    return folderNamedIn(executables / SettingsFolderFile, "each user keeps settings of their own")
        .value_or(std::filesystem::path());
}

void setProgramFolderForTesting(const std::filesystem::path& folder)
{
    std::lock_guard lock(g_mutex);
    g_override = folder;
}

bool isSafeUid(const std::string& uid)
{
    if (uid.empty() || uid.size() > 64)
        return false;
    bool lastWasDot = true;  // a leading dot is an empty component
    for (char c : uid) {
        if (c == '.') {
            if (lastWasDot)
                return false;
            lastWasDot = true;
        } else if (c >= '0' && c <= '9') {
            lastWasDot = false;
        } else {
            return false;
        }
    }
    return !lastWasDot;
}

}  // namespace corva
