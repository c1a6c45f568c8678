#pragma once
// Child processes for tests, without Qt: started with posix_spawn, killed and reaped when
// the object goes; a command run to its end with its output captured; a polling wait.
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace corva::test {

using namespace std::chrono_literals;

// Polls until the condition holds; false after the timeout.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
               std::chrono::milliseconds interval = 50ms);

// A child process; killed (SIGKILL) and reaped when the object goes.
class ChildProcess {
public:
    // argv[0] is a path or a name looked up in PATH. extraEnv entries are "NAME=value".
    // Standard output and error go to `output` (appended), or to /dev/null.
    ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv = {},
                 const std::filesystem::path& output = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    int pid() const { return pid_; }
    bool running();
    void signal(int sig);
    // Waits for the end: the exit code, 128 + signal number when killed by a signal,
    // nullopt when still running after the timeout.
    std::optional<int> wait(std::chrono::milliseconds timeout);

private:
    int pid_ = -1;
    std::optional<int> status_;
};

struct CommandResult {
    int code = -1;  // -1 when it did not end in time
    std::string output;
};

// Runs a command to its end, output captured.
CommandResult runCommand(const std::vector<std::string>& argv, std::chrono::milliseconds timeout = 120s,
                         const std::vector<std::string>& extraEnv = {});

}  // namespace corva::test
