#include "log/set_aside.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <system_error>

#include "log/log_text.h"
#include "log/rotating_file.h"

namespace corva::log {

namespace fs = std::filesystem;

namespace {

constexpr const char* Suffix = ".reason";
constexpr const char* OwnFault = "file's own fault: ";
constexpr const char* OtherFault = "not the file's fault: ";

// The reason of the last "<reason>: <name> moved to bad objects" line of one log file
// (names written as the ingest log writes them).
std::optional<std::string> reasonInLog(const fs::path& log, const std::string& name)
{
    std::ifstream in(log, std::ios::binary);
    const std::string tail = ": " + escapedControls(name) + " moved to bad objectsCopyToBad";
    std::optional<std::string> found;
    for (std::string line; std::getline(in, line);) {
        if (line.size() < tail.size() || line.compare(line.size() - tail.size(), tail.size(), tail) != 0)
            continue;
        // "<date> <time> <number> <reason>" before the tail.
        std::size_t at = 0;
        for (int field = 0; field < 3 && at != std::string::npos; ++field) {
            at = line.find_first_not_of(' ', at);
            at = at == std::string::npos ? at : line.find(' ', at);
        }
        if (at != std::string::npos)
            found = line.substr(at + 1, line.size() - tail.size() - at - 1);
    }
    return found;
}

}  // namespace

fs::path reasonFile(const fs::path& setAside)
{
    return fs::path(setAside.string() + Suffix);
}

bool isReasonFile(const fs::path& path)
{
    const std::string name = path.filename().string();
    const std::string suffix = Suffix;
    return name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool writeSetAsideReason(const fs::path& setAside, const SetAsideReason& reason)
{
    // Whatever else holds the name (a link to a file elsewhere, a pipe that would never
    // be read) goes: the reason is written into a file of its own, never through the name.
    const fs::path file = reasonFile(setAside);
    struct stat st {};
    if (::lstat(file.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
        ::unlink(file.c_str());
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0660);
    if (fd < 0)
        return false;
    const std::string text = std::string(reason.filesOwnFault ? OwnFault : OtherFault) + reason.text + '\n';
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    for (std::size_t done = 0; ok && done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        done += ok ? static_cast<std::size_t>(n) : 0;
    }
    return ::close(fd) == 0 && ok;
}

std::optional<SetAsideReason> readSetAsideReason(const fs::path& setAside, const fs::path& logsFolder)
{
    // Only a file of its own is read: a pipe under the name would never answer.
    struct stat st {};
    const bool plain = ::lstat(reasonFile(setAside).c_str(), &st) == 0 && S_ISREG(st.st_mode);
    std::ifstream in;
    if (plain)
        in.open(reasonFile(setAside), std::ios::binary);
    std::string line;
    if (plain && in && std::getline(in, line)) {
        for (const auto& [prefix, own] : {std::pair{OwnFault, true}, std::pair{OtherFault, false}}) {
            const std::string p = prefix;
            if (line.rfind(p, 0) == 0)
                return SetAsideReason{own, line.substr(p.size())};
        }
        return SetAsideReason{true, line};
    }
    const fs::path log = logsFolder / "Ingrado.log";
    std::optional<std::string> text;
    for (int n = 5; n >= 0; --n)
        if (auto found = reasonInLog(n == 0 ? log : generationFile(log, n), setAside.filename().string()))
            text = found;
    if (!text)
        return std::nullopt;
    return SetAsideReason{text->rfind("given up after ", 0) != 0, *text};
}

}  // namespace corva::log
