#pragma once
// corvactl: the station's jobs from the command line. main() hands its arguments here.
//
//   corvactl [--program-folder <dir>] [--no-wait] <command> [options]
//
// Exit status 0 when the job did everything it was asked, 1 when it ran but something
// failed (or what it names is not there), 2 for a usage error.
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

namespace corva::station::ctl {

struct Invocation {
    std::vector<std::string> args;          // without the program name
    std::filesystem::path executableFolder;  // the program folder unless --program-folder
    // Where Recvora and Ingrado are, when not in the program folder (an installed package);
    // used without --program-folder only.
    std::filesystem::path serviceExecutables;
    bool errIsTerminal = false;
};

int runCorvactl(const Invocation& invocation, std::ostream& out, std::ostream& err);

}  // namespace corva::station::ctl
