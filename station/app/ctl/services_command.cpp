// corvactl services status|start|stop: the receiver and the ingest service of this
// program folder. Copies of the same programs in other folders are never touched. What a
// running service notes (why it cannot file) goes to standard error. A service that
// systemd runs from its unit is started and stopped through systemctl.
#include <filesystem>

#include "app/ctl/arguments.h"
#include "app/ctl/commands.h"
#include "log/service_note.h"
#include "process/process.h"
#include "process/service_unit.h"
#include "settings/settings.h"

namespace corva::station::ctl {

namespace fs = std::filesystem;

namespace {
constexpr const char* ServiceNames[] = {"Recvora", "Ingrado"};
}  // namespace

int servicesCommand(CtlEnvironment& env, const std::vector<std::string>& args) {
    const Arguments a(args, {});
    const auto& ops = a.operands();
    if (ops.size() != 1) throw UsageError("services takes one of status, start, stop");
    const std::string what = ops[0];
    if (what != "status" && what != "start" && what != "stop")
        throw UsageError("services takes one of status, start, stop, not '" + what + "'");
    int status = ExitComplete;
    for (const std::string name : ServiceNames) {
        const fs::path program = env.paths.executables / name;
        if (const auto unit = process::ServiceUnit::forProgram(program)) {
            std::string error;
            if (what == "start" && !unit->start(&error)) {
                env.err << "corvactl: " << name << " not started: " << error << std::endl;
                status = ExitFailed;
            } else if (what == "stop" && !unit->stop(&error)) {
                env.err << "corvactl: " << name << " not stopped: " << error << std::endl;
                status = ExitFailed;
            }
            const process::UnitState state = unit->state();
            env.out << name << '\t' << (state.running() ? "running" : "stopped");
            if (state.running() && state.mainPid > 0) env.out << '\t' << state.mainPid;
            env.out << '\n';
            if (state.running())
                if (const std::string note = log::ServiceNote::read(env.paths.programFolder / "Logs", name); !note.empty())
                    env.err << "corvactl: " << note << std::endl;
            continue;
        }
        std::vector<int> running = process::findByExecutable(program);
        if (what == "start" && running.empty()) {
            std::error_code ec;
            if (!fs::is_regular_file(program, ec)) {
                env.err << "corvactl: " << program.string() << " is missing" << std::endl;
                status = ExitFailed;
            } else if (name == std::string("Recvora") && settings::current().irPort.empty()) {
                // As at the station's start: no receiver without its port.
                env.err << "corvactl: Recvora not started: no port set (Com\\IR_Port)" << std::endl;
                status = ExitFailed;
            } else if (const int pid = process::startDetached(program, {}, env.paths.programFolder); pid > 0) {
                running = {pid};
            } else {
                env.err << "corvactl: " << name << " could not be started" << std::endl;
                status = ExitFailed;
            }
        } else if (what == "stop") {
            for (int pid : running)
                if (!process::stop(pid)) {
                    env.err << "corvactl: " << name << " (" << pid << ") did not end" << std::endl;
                    status = ExitFailed;
                }
            running = process::findByExecutable(program);
        }
        env.out << name << '\t' << (running.empty() ? "stopped" : "running");
        for (int pid : running) env.out << '\t' << pid;
        env.out << '\n';
        // What a running service cannot do, in its own words ("Ingrado cannot write ...").
        if (!running.empty())
            if (const std::string note = log::ServiceNote::read(env.paths.programFolder / "Logs", name); !note.empty())
                env.err << "corvactl: " << note << std::endl;
    }
    env.out << std::flush;
    return status;
}

}  // namespace corva::station::ctl
