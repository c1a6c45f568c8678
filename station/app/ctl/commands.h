#pragma once
// The commands of corvactl, each a plain function over the station's jobs.
#include <string>
#include <vector>

#include "app/ctl/command_support.h"

namespace corva::station::ctl {

using CommandFunction = int (*)(CtlEnvironment& env, const std::vector<std::string>& args);

struct CommandInfo {
    const char* name;
    const char* summary;  // one line for the overview
    const char* help;     // the text of "corvactl <name> --help"
    CommandFunction run;
    bool needsImageDb;    // services work without one
};

const std::vector<CommandInfo>& commands();

int listCommand(CtlEnvironment& env, const std::vector<std::string>& args);
int sendCommand(CtlEnvironment& env, const std::vector<std::string>& args);
int forwardCommand(CtlEnvironment& env, const std::vector<std::string>& args);
int doseReportCommand(CtlEnvironment& env, const std::vector<std::string>& args);
int deleteCommand(CtlEnvironment& env, const std::vector<std::string>& args);
int importCommand(CtlEnvironment& env, const std::vector<std::string>& args);
int exportCommand(CtlEnvironment& env, const std::vector<std::string>& args);
int editCommand(CtlEnvironment& env, const std::vector<std::string>& args);
int servicesCommand(CtlEnvironment& env, const std::vector<std::string>& args);
int checkCommand(CtlEnvironment& env, const std::vector<std::string>& args);
int commitmentsCommand(CtlEnvironment& env, const std::vector<std::string>& args);

}  // namespace corva::station::ctl
