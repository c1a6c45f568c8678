#include "common/service_control.h"

#include <filesystem>

#include "common/station_context.h"
#include "process/process.h"
#include "settings/settings.h"

namespace corva::station {

int ServiceControl::FindProcessId(const std::string& name) {
    const auto ids = process::findByName(name);
    return ids.empty() ? 0 : ids.front();
}

bool ServiceControl::IsProcessAlive(int pid) {
    return pid > 0 && process::isAlive(pid);
}

int ServiceControl::start(const std::string& name) {
    const auto program = g_.paths.executables / name;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(program, ec)) return 0;
    const int pid = process::startDetached(program, {}, g_.paths.programFolder);
    return pid > 0 ? pid : 0;
}

void ServiceControl::StartReceiver() {
    if (settings::current().irPort.empty()) return;
    if (const int pid = start(ReceiverName)) g_.receiverPid = pid;
}

void ServiceControl::StartIngestService() {
    if (const int pid = start(IngestServiceName)) g_.ingestPid = pid;
}

void ServiceControl::StopReceiver() {
    if (g_.receiverPid == 0) return;
    process::stop(g_.receiverPid);
    g_.receiverPid = 0;
}

void ServiceControl::StopIngestService() {
    if (g_.ingestPid == 0) return;
    process::stop(g_.ingestPid);
    g_.ingestPid = 0;
}

int ServiceControl::findServiceIn(const std::filesystem::path& executables, const std::string& name) {
    const auto ids = process::findByExecutable(executables / name);
    return ids.empty() ? 0 : ids.front();
}

int ServiceControl::findService(const std::string& name) const {
    return findServiceIn(g_.paths.executables, name);
}

void ServiceControl::startServicesAtLoad() {
    // Another installation's services on this machine work for their own folders; a
    // unit's service runs, or was stopped, by the administrator's will.
    if (!unitOf(ReceiverName) && findService(ReceiverName) == 0) StartReceiver();
    if (!unitOf(IngestServiceName) && findService(IngestServiceName) == 0) StartIngestService();
}

std::optional<process::ServiceUnit> ServiceControl::unitOf(const std::string& name) const {
    return process::ServiceUnit::forProgram(g_.paths.executables / name, g_.units);
}

bool ServiceControl::isRunningIn(const std::filesystem::path& executables, const std::string& name,
                                 const process::UnitSearch& units) {
    if (const auto unit = process::ServiceUnit::forProgram(executables / name, units)) return unit->state().running();
    return findServiceIn(executables, name) != 0;
}

bool ServiceControl::isRunning(const std::string& name) const {
    return isRunningIn(g_.paths.executables, name, g_.units);
}

std::string ServiceControl::startService(const std::string& name) {
    if (const auto unit = unitOf(name)) {
        std::string error;
        return unit->start(&error) ? std::string() : error;
    }
    if (name == ReceiverName) {
        if (settings::current().irPort.empty()) return "Recvora not started: no port set";
        StartReceiver();
        return g_.receiverPid ? std::string() : "Recvora could not be started";
    }
    StartIngestService();
    return g_.ingestPid ? std::string() : "Ingrado could not be started";
}

std::string ServiceControl::stopService(const std::string& name) {
    if (const auto unit = unitOf(name)) {
        std::string error;
        return unit->stop(&error) ? std::string() : error;
    }
    if (name == ReceiverName) StopReceiver();
    else StopIngestService();
    return {};
}

}  // namespace corva::station
