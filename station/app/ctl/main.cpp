// corvactl: a thin front over the station's jobs (ctl/corvactl.h).
#include <unistd.h>

#include <iostream>

#include "core/paths.h"
#include "app/ctl/console_report.h"
#include "app/ctl/corvactl.h"
#include "process/private_files.h"

int main(int argc, char** argv) {
    corva::process::usePrivateFileModes();  // patient data: for the station's user and group only
    corva::station::ctl::Invocation invocation;
    invocation.args.assign(argv + 1, argv + argc);
    invocation.executableFolder = corva::programFolder();
    invocation.serviceExecutables = corva::executableFolder();
    invocation.errIsTerminal = ::isatty(STDERR_FILENO) == 1;
    corva::station::ctl::ConsoleReport::installCancelSignals();
    return corva::station::ctl::runCorvactl(invocation, std::cout, std::cerr);
}
