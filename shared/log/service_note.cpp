#include "log/service_note.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace corva::log {

namespace fs = std::filesystem;

namespace {

bool writeWhole(const fs::path& file, const std::string& text)
{
    std::string block = text.substr(0, ServiceNote::Size - 1);
    for (char& c : block)
        if (c == '\n' || c == '\r' || c == '\0')
            c = ' ';
    // Blank-padded to the full size, so the file reads as text.
    block.resize(ServiceNote::Size - 1, ' ');
    block += '\n';
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0660);
    if (fd < 0)
        return false;
    // Written over the blocks the file has already: no new space is needed.
    std::size_t done = 0;
    while (done < block.size()) {
        const ssize_t n = ::pwrite(fd, block.data() + done, block.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    const bool ok = ::close(fd) == 0 && done == block.size();
    return ok;
}

}  // namespace

ServiceNote::ServiceNote(const fs::path& logsFolder, const std::string& service) : file_(file(logsFolder, service)) {}

fs::path ServiceNote::file(const fs::path& logsFolder, const std::string& service)
{
    return logsFolder / (service + ".note");
}

bool ServiceNote::clear()
{
    std::error_code ec;
    fs::create_directories(file_.parent_path(), ec);
    return writeWhole(file_, {});
}

bool ServiceNote::set(const std::string& text)
{
    return writeWhole(file_, text);
}

std::string ServiceNote::read(const fs::path& logsFolder, const std::string& service)
{
    const int fd = ::open(file(logsFolder, service).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    std::string text(Size, '\0');
    const ssize_t n = ::pread(fd, text.data(), text.size(), 0);
    ::close(fd);
    text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    text.resize(text.find('\0') == std::string::npos ? text.size() : text.find('\0'));
    while (!text.empty() && (text.back() == ' ' || text.back() == '\n'))
        text.pop_back();
    return text;
}

}  // namespace corva::log
