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

#include "child_process.h"
#include "program_folder.h"
#include "temp_dir.h"

namespace corva::test {

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

    // Rewrites the settings file ([Com] IR_AET and IR_Port; an empty text leaves the key
    // out), with further [Com] lines ("IR_AllowedAETs=A, B").
    void writeSettings(const std::string& aeTitle, const std::string& port,
                       const std::vector<std::string>& moreComLines = {});

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

    // echoscu to this site's receiver; callingAe and host replace TESTSCU and 127.0.0.1.
    CommandResult echo(const std::string& callingAe = "TESTSCU", const std::string& host = "127.0.0.1") const;
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
