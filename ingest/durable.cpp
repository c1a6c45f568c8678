#include "durable.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace corva::ingest {

namespace {

void sync(const std::filesystem::path& path, int flags)
{
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    const int error = fd < 0 ? errno : (::fsync(fd) == 0 ? 0 : errno);
    if (fd >= 0)
        ::close(fd);
    if (error != 0)
        throw std::filesystem::filesystem_error("Cannot sync", path, std::error_code(error, std::generic_category()));
}

}  // namespace

void syncFile(const std::filesystem::path& file)
{
    sync(file, O_RDONLY);
}

void syncFolder(const std::filesystem::path& folder)
{
    sync(folder, O_RDONLY | O_DIRECTORY);
}

}  // namespace corva::ingest
