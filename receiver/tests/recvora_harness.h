#pragma once
// Running Recvora (and Ingrado) for tests: a temporary program folder holding copies of
// the built executables, a settings folder of its own, child processes that are killed
// when the test ends, and DCMTK's storescu/echoscu as senders.
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "program_folder.h"
#include "temp_dir.h"

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

// A temporary program folder (corva::test::ProgramFolder, without an image database:
// Ingrado makes it from the template) with the executables asked for, and settings
// (ZKT/Lumenpost.conf below a private XDG_CONFIG_HOME) with [Com] IR_AET and IR_Port.
class ReceiverSite {
public:
    explicit ReceiverSite(std::string aeTitle = "LUMENTEST", int port = 0);

    const std::filesystem::path& folder() const { return program_.path(); }
    std::filesystem::path temp() const { return program_.temp(); }
    std::filesystem::path log() const { return program_.logs() / "Recvora.log"; }
    const std::string& aeTitle() const { return aeTitle_; }
    int port() const { return port_; }

    // Rewrites the settings file ([Com] IR_AET and IR_Port; an empty text leaves the key out).
    void writeSettings(const std::string& aeTitle, const std::string& port);

    // Copies an executable of the build tree's program folder.
    void install(const std::string& program);
    // Starts an installed program with this site's settings; its output goes to
    // <name>.out beside the settings. `prefix` runs it through a wrapper (e.g. prlimit),
    // extraEnv entries are "NAME=value".
    std::unique_ptr<ChildProcess> start(const std::string& program, const std::vector<std::string>& prefix = {},
                                        const std::vector<std::string>& extraEnv = {});
    // Starts Recvora and waits until it answers a C-ECHO; fails the test when it does not.
    std::unique_ptr<ChildProcess> startReceiver(const std::vector<std::string>& prefix = {},
                                                const std::vector<std::string>& extraEnv = {});

    CommandResult echo() const;
    // storescu to this site's receiver with the given files; extra options before the host.
    CommandResult send(const std::vector<std::filesystem::path>& files,
                       const std::vector<std::string>& options = {}) const;
    std::vector<std::string> storescuArgs(const std::vector<std::filesystem::path>& files,
                                          const std::vector<std::string>& options = {}, int port = 0) const;

    // The names of the files in Temp (not in subfolders), sorted.
    std::vector<std::string> tempFiles() const;
    std::string logText() const;
    std::vector<std::string> environment() const;

    // A folder outside the program folder for the test's own files.
    const std::filesystem::path& scratch() const { return scratch_.path(); }

private:
    static ProgramFolder::Options folderOptions();

    ProgramFolder program_;
    TempDir scratch_;
    std::filesystem::path configHome_;
    std::string aeTitle_;
    int port_;
};

}  // namespace corva::test
