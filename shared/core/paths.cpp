#include "core/paths.h"

#include <cctype>
#include <fstream>
#include <iostream>
#include <mutex>
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

std::filesystem::path programFolderFor(const std::filesystem::path& executables)
{
    const std::filesystem::path file = executables / ProgramFolderFile;
    std::ifstream in(file);
    if (!in)
        return executables;
    std::string line;
    std::getline(in, line);
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())))
        line.pop_back();
    const std::filesystem::path named(line);
    if (!named.is_absolute()) {
        std::cerr << file.string() << ": names no absolute folder; the program folder is " << executables.string()
                  << std::endl;
        return executables;
    }
    auto folder = named.lexically_normal();
    if (!folder.has_filename() && folder != folder.root_path())
        folder = folder.parent_path();  // no trailing slash, as from /proc/self/exe
    return folder;
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
