#include "log/rotating_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace corva::log {

namespace fs = std::filesystem;

namespace {

// Closes the descriptor (and with it the lock) on every path out.
struct Fd {
    int fd = -1;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

bool writeAll(int fd, std::string_view text)
{
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void rotate(const fs::path& file, int generations)
{
    std::error_code ec;
    fs::remove(generationFile(file, generations), ec);
    for (int n = generations - 1; n >= 1; --n)
        fs::rename(generationFile(file, n), generationFile(file, n + 1), ec);
    fs::rename(file, generationFile(file, 1), ec);
}

}  // namespace

fs::path generationFile(const fs::path& file, int n)
{
    return fs::path(file.string() + "." + std::to_string(n));
}

bool appendRotating(const fs::path& file, std::string_view text, const Rotation& rotation)
{
    std::error_code ec;
    fs::create_directories(file.parent_path(), ec);
    // A few rounds at most: another process may rotate between our open and our lock.
    for (int round = 0; round < 4; ++round) {
        Fd f{::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0660)};
        if (f.fd < 0)
            return false;
        while (::flock(f.fd, LOCK_EX) != 0)
            if (errno != EINTR)
                return writeAll(f.fd, text);  // no locking here: write all the same
        struct stat held {};
        struct stat named {};
        if (::fstat(f.fd, &held) != 0)
            return false;
        if (::stat(file.c_str(), &named) != 0 || named.st_ino != held.st_ino || named.st_dev != held.st_dev)
            continue;  // rotated meanwhile: open the new file
        const auto size = static_cast<std::uintmax_t>(held.st_size);
        if (rotation.generations > 0 && size > 0 && size + text.size() > rotation.maxBytes) {
            rotate(file, rotation.generations);
            continue;
        }
        return writeAll(f.fd, text);
    }
    return false;
}

}  // namespace corva::log
