#include "try_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <optional>
#include <string>

#include "core/error.h"
#include "ingest_log.h"

namespace corva::ingest {

namespace {

// The text of a try file that is a plain file of its own. Anything else under its name
// (a link to a file elsewhere, a pipe that would never answer) is never read.
std::optional<std::string> readPlain(const std::filesystem::path& file)
{
    const int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    struct stat st {};
    std::optional<std::string> text;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        text.emplace();
        char buf[256];
        for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) != 0;) {
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 || text->size() > 4096)
                break;
            text->append(buf, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    return text;
}

// The next line of `text` from `at`, without its line break; false when none is left.
bool nextLine(const std::string& text, std::size_t& at, std::string& line)
{
    if (at >= text.size())
        return false;
    const auto end = text.find('\n', at);
    line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
    at = end == std::string::npos ? text.size() : end + 1;
    return true;
}

}  // namespace

int readTry(const std::filesystem::path& file, IngestLog& log)
{
    const auto text = readPlain(file);
    if (!text) {
        log.writeLog(75, "Path/File access error: " + file.filename().string(), "ReadTry");
        return 0;
    }
    std::size_t at = 0;
    std::string line;
    if (!nextLine(*text, at, line)) {
        log.writeLog(62, "Input past end of file", "ReadTry");
        return 0;
    }
    const auto first = line.find_first_not_of(" \t\r");
    const auto last = line.find_last_not_of(" \t\r");
    if (first == std::string::npos) {
        log.writeLog(errc::TypeMismatch, "Type mismatch", "ReadTry");
        return 0;
    }
    const char* begin = line.data() + first;
    const char* end = line.data() + last + 1;
    int count = 0;
    auto [ptr, ec] = std::from_chars(begin, end, count);
    if (ec == std::errc::result_out_of_range || (ec == std::errc() && (count > 32767 || count < -32768))) {
        log.writeLog(6, "Overflow", "ReadTry");
        return 0;
    }
    if (ec != std::errc() || ptr != end) {
        log.writeLog(errc::TypeMismatch, "Type mismatch", "ReadTry");
        return 0;
    }
    return count;
}

std::string readTryMarker(const std::filesystem::path& file)
{
    const auto text = readPlain(file);
    std::size_t at = 0;
    std::string line;
    if (!text || !nextLine(*text, at, line) || !nextLine(*text, at, line))
        return {};
    while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    return line;
}

bool writeTry(const std::filesystem::path& file, int count, IngestLog& log, const std::string& marker)
{
    std::string text = " " + std::to_string(count) + " \n";
    if (!marker.empty())
        text += marker + "\n";
    // Whatever else holds the name (a link, a pipe) goes: the count is written into a
    // file of the service's own, never through the name into another.
    struct stat st {};
    if (::lstat(file.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
        ::unlink(file.c_str());
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0660);
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0)
            ::close(fd);
        log.writeLog(75, "Path/File access error: " + file.filename().string(), "WriteTry");
        return false;
    }
    bool ok = true;
    for (std::size_t done = 0; ok && done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        done += ok ? static_cast<std::size_t>(n) : 0;
    }
    if (::close(fd) != 0 || !ok) {
        log.writeLog(57, "Device I/O error: " + file.filename().string(), "WriteTry");
        return false;
    }
    return true;
}

}  // namespace corva::ingest
