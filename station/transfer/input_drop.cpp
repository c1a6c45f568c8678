#include "transfer/input_drop.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
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

}  // namespace

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
    // ".<uid>.<pid>-<n>.part" like the receiver's partial files: after a crash the
    // receiver's clean-up removes it, while this process runs it is left alone.
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
