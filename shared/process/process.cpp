#include "process/process.h"

#include "core/paths.h"

#include <QProcess>
#include <QString>
#include <QStringList>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

namespace corva::process {
namespace fs = std::filesystem;

namespace {

std::string lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// An exe link's target without the kernel's mark of a replaced or removed file.
std::string withoutDeletedMark(std::string exe)
{
    const std::string deleted = " (deleted)";
    if (exe.size() > deleted.size() && exe.ends_with(deleted))
        exe.resize(exe.size() - deleted.size());
    return exe;
}

// The executable's name: from the exe link when readable, else argv[0], else comm
// (which the kernel cuts at 15 characters).
std::string executableName(const fs::path& procDir)
{
    std::error_code ec;
    const fs::path exe = fs::read_symlink(procDir / "exe", ec);
    if (!ec && !exe.empty())
        return withoutDeletedMark(exe.filename().string());
    std::ifstream cmdline(procDir / "cmdline", std::ios::binary);
    std::string argv0;
    std::getline(cmdline, argv0, '\0');
    if (!argv0.empty())
        return fs::path(argv0).filename().string();
    std::ifstream comm(procDir / "comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

char processState(int pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return 0;
    // The state follows the command name, which is in parentheses and may hold blanks.
    const auto close = line.rfind(')');
    if (close == std::string::npos || close + 2 >= line.size())
        return 0;
    return line[close + 2];
}

// The live processes other than this one whose /proc folder `matches`, sorted.
std::vector<int> findOthers(const std::function<bool(const fs::path& procDir)>& matches)
{
    std::vector<int> found;
    const int self = static_cast<int>(::getpid());
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc", ec)) {
        const std::string dir = entry.path().filename().string();
        if (dir.empty() || !std::all_of(dir.begin(), dir.end(), [](unsigned char c) { return std::isdigit(c); }))
            continue;
        const int pid = std::atoi(dir.c_str());
        if (pid == self || !isAlive(pid))
            continue;
        if (matches(entry.path()))
            found.push_back(pid);
    }
    std::sort(found.begin(), found.end());
    return found;
}

}  // namespace

std::vector<int> findByName(const std::string& name)
{
    const std::string wanted = lower(name);
    return findOthers(
        [&](const fs::path& procDir) { return lower(executableName(procDir)).find(wanted) != std::string::npos; });
}

std::vector<int> findByExecutable(const fs::path& program)
{
    std::error_code ec;
    const fs::path wanted = fs::weakly_canonical(program, ec);
    if (ec || wanted.empty())
        return {};
    return findOthers([&](const fs::path& procDir) {
        std::error_code linkError;
        const std::string exe = fs::read_symlink(procDir / "exe", linkError).string();
        if (linkError || exe.empty())
            return false;  // another user's process, or a kernel thread
        return fs::path(withoutDeletedMark(exe)) == wanted;
    });
}

bool isAlive(int pid)
{
    if (pid <= 0)
        return false;
    if (::kill(pid, 0) != 0 && errno != EPERM)
        return false;
    const char state = processState(pid);
    return state != 0 && state != 'Z' && state != 'X';
}

int startDetached(const fs::path& program, const std::vector<std::string>& args, const fs::path& workingFolder)
{
    QProcess p;
    p.setProgram(QString::fromStdString(program.string()));
    QStringList list;
    for (const auto& a : args)
        list << QString::fromStdString(a);
    p.setArguments(list);
    if (!workingFolder.empty())
        p.setWorkingDirectory(QString::fromStdString(workingFolder.string()));
    p.setStandardInputFile(QProcess::nullDevice());
    p.setStandardOutputFile(QProcess::nullDevice());
    p.setStandardErrorFile(QProcess::nullDevice());
    qint64 pid = -1;
    if (!p.startDetached(&pid))
        return -1;
    return static_cast<int>(pid);
}

bool stop(int pid, std::chrono::milliseconds grace)
{
    if (pid <= 0)
        return true;
    if (!isAlive(pid))
        return true;
    ::kill(pid, SIGTERM);
    const auto step = std::chrono::milliseconds(25);
    for (auto waited = std::chrono::milliseconds(0); waited < grace; waited += step) {
        if (!isAlive(pid))
            return true;
        std::this_thread::sleep_for(step);
    }
    ::kill(pid, SIGKILL);
    for (int i = 0; i < 80; ++i) {
        if (!isAlive(pid))
            return true;
        std::this_thread::sleep_for(step);
    }
    return !isAlive(pid);
}

SingleInstanceLock::SingleInstanceLock(const std::string& key, const fs::path& fallbackFolder, LockScope scope)
{
    fs::path folder = fallbackFolder.empty() ? corva::programFolder() : fallbackFolder;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (scope == LockScope::User && runtime && *runtime && ::access(runtime, W_OK) == 0)
        folder = runtime;
    // The key may hold a folder path: a hash keeps the lock file name short and safe.
    std::ostringstream name;
    name << "corvalight-";
    if (scope == LockScope::User)
        name << ::getuid() << '-';
    name << std::hex << std::hash<std::string>{}(key) << ".lock";
    file_ = folder / name.str();
    // Another user of the group must be able to open it to find it locked.
    const mode_t mode = scope == LockScope::User ? 0600 : 0660;
    // The holder removes the file when it ends: a lock taken on a file that was removed
    // meanwhile guards nothing, so it is taken again on the file now at the path.
    for (int attempt = 0; attempt < 5; ++attempt) {
        fd_ = ::open(file_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, mode);
        if (fd_ < 0)
            return;
        if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd_);
            fd_ = -1;
            return;
        }
        struct stat held {}, atPath {};
        if (::fstat(fd_, &held) == 0 && ::stat(file_.c_str(), &atPath) == 0 && held.st_dev == atPath.st_dev &&
            held.st_ino == atPath.st_ino) {
            if (scope == LockScope::Folder)
                (void)::fchmod(fd_, mode);  // whatever the umask took away from the group
            return;
        }
        ::close(fd_);
        fd_ = -1;
    }
}

SingleInstanceLock::~SingleInstanceLock()
{
    if (fd_ >= 0) {
        ::unlink(file_.c_str());  // while still holding the lock, so no one else's file goes
        ::close(fd_);             // closing releases the lock
    }
}

}  // namespace corva::process
