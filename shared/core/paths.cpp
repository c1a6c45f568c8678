#include "core/paths.h"

#include <mutex>
#include <system_error>

namespace corva {
namespace {
std::mutex g_mutex;
std::filesystem::path g_override;
}  // namespace

std::filesystem::path programFolder()
{
    {
        std::lock_guard lock(g_mutex);
        if (!g_override.empty())
            return g_override;
    }
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec)
        return std::filesystem::current_path();
    return exe.parent_path();
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
