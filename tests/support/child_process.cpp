#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <thread>

#include "temp_dir.h"

extern char** environ;

namespace corva::test {
namespace fs = std::filesystem;

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
               std::chrono::milliseconds interval)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        if (condition())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(interval);
    }
}

namespace {

std::vector<std::string> mergedEnvironment(const std::vector<std::string>& extra)
{
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        const bool replaced = std::any_of(extra.begin(), extra.end(), [&](const std::string& x) {
            return x.compare(0, name.size() + 1, name + "=") == 0;
        });
        if (!replaced)
            env.push_back(entry);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings)
{
    std::vector<char*> out;
    for (auto& s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

int decodeStatus(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

std::atomic<int> g_outputCounter{0};

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
                           const fs::path& output)
{
    std::vector<std::string> args = argv;
    std::vector<std::string> env = mergedEnvironment(extraEnv);
    auto argp = pointers(args);
    auto envp = pointers(env);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string out = output.empty() ? std::string("/dev/null") : output.string();
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    // The test may block signals in its threads; the child starts with none blocked.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    const int rc = posix_spawnp(&pid_, args[0].c_str(), &actions, &attr, argp.data(), envp.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        pid_ = -1;
        throw std::runtime_error("cannot start " + args[0]);
    }
}

ChildProcess::~ChildProcess()
{
    if (pid_ > 0 && !status_) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
}

bool ChildProcess::running()
{
    return !wait(0ms).has_value();
}

void ChildProcess::signal(int sig)
{
    if (pid_ > 0 && !status_)
        ::kill(pid_, sig);
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout)
{
    if (status_)
        return status_;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        int status = 0;
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            status_ = decodeStatus(status);
            return status_;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(10ms);
    }
}

CommandResult runCommand(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                         const std::vector<std::string>& extraEnv)
{
    const fs::path out = fs::temp_directory_path() /
                         ("corva-cmd-" + std::to_string(::getpid()) + "-" + std::to_string(++g_outputCounter) + ".out");
    CommandResult result;
    {
        ChildProcess child(argv, extraEnv, out);
        const auto code = child.wait(timeout);
        result.code = code ? *code : -1;
    }
    result.output = readFile(out);
    std::error_code ec;
    fs::remove(out, ec);
    return result;
}

}  // namespace corva::test
