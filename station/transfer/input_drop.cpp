#include "transfer/input_drop.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <string_view>
#include <system_error>

#include "core/error.h"
#include "core/paths.h"

namespace corva::station::transfer {

namespace fs = std::filesystem;

namespace {

// Moves `from` to `to` unless `to` exists. False when it exists (from is left).
bool renameNoReplace(const fs::path& from, const fs::path& to)
{
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno == EEXIST)
        return false;
    if (errno != EINVAL && errno != ENOSYS)
        throw Error(errc::Generic, "Cannot move " + from.string() + " to " + to.string() + ": " +
                                       std::generic_category().message(errno), "import");
    // A file system without that rename: a hard link fails just the same on an existing name.
    if (::link(from.c_str(), to.c_str()) != 0) {
        if (errno == EEXIST)
            return false;
        throw Error(errc::Generic, "Cannot move " + from.string() + " to " + to.string() + ": " +
                                       std::generic_category().message(errno), "import");
    }
    ::unlink(from.c_str());
    return true;
}

// The writer's process ID of a partial name ".<uid>.<pid>-<n>.part" or
// ".write-<pid>-<n>.part"; 0 for any other name.
pid_t writerOf(const std::string& name)
{
    constexpr std::string_view Suffix = ".part";
    if (name.size() <= Suffix.size() + 1 || name.front() != '.' || !name.ends_with(Suffix))
        return 0;
    std::string base = name.substr(0, name.size() - Suffix.size());
    std::string tail = base.substr(base.rfind('.') + 1);
    if (tail.starts_with("write-"))
        tail.erase(0, 6);
    const auto dash = tail.find('-');
    if (dash == 0 || dash == std::string::npos || dash + 1 == tail.size() ||
        tail.find_first_not_of("0123456789-") != std::string::npos || tail.find('-', dash + 1) != std::string::npos)
        return 0;
    try {
        return static_cast<pid_t>(std::stol(tail.substr(0, dash)));
    } catch (const std::exception&) {
        return 0;
    }
}

bool processAlive(pid_t pid)
{
    return pid == ::getpid() || ::kill(pid, 0) == 0 || errno == EPERM;
}

}  // namespace

std::size_t removeAbandonedPartials(const fs::path& folder)
{
    std::size_t removed = 0;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec)) {
        std::error_code one;
        if (!e.is_regular_file(one))
            continue;
        const pid_t writer = writerOf(e.path().filename().string());
        if (writer <= 0 || processAlive(writer))
            continue;
        if (fs::remove(e.path(), one))
            ++removed;
    }
    return removed;
}

InputDrop::InputDrop(fs::path inputFolder) : folder_(std::move(inputFolder)) {}

fs::path InputDrop::targetFor(const std::string& sopInstanceUid) const
{
    return folder_ / (sopInstanceUid + ".dcm");
}

InputDrop::Placed InputDrop::put(const dicom::Image& image)
{
    const std::string uid = image.sopInstanceUid();
    if (!isSafeUid(uid))
        throw Error(errc::InvalidName, "The SOP Instance UID \"" + uid + "\" is not a valid file name", "import");
    const fs::path target = targetFor(uid);
    std::error_code ec;
    if (fs::exists(target, ec))
        return Placed::AlreadyThere;
    fs::create_directories(folder_, ec);
    // ".<uid>.<pid>-<n>.part" like the receiver's partial files: after a kill the next
    // import removes it (removeAbandonedPartials), while this process runs it is left alone.
    static std::atomic<unsigned> counter{0};
    const fs::path partial =
        folder_ / ("." + uid + "." + std::to_string(::getpid()) + "-" + std::to_string(++counter) + ".part");
    try {
        image.write(partial);
        if (renameNoReplace(partial, target))
            return Placed::Written;
    } catch (...) {
        fs::remove(partial, ec);
        throw;
    }
    fs::remove(partial, ec);
    return Placed::AlreadyThere;
}

}  // namespace corva::station::transfer
