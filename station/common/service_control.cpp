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
    const auto program = g_.paths.programFolder / name;
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

int ServiceControl::findServiceIn(const std::filesystem::path& programFolder, const std::string& name) {
    const auto ids = process::findByExecutable(programFolder / name);
    return ids.empty() ? 0 : ids.front();
}

int ServiceControl::findService(const std::string& name) const {
    return findServiceIn(g_.paths.programFolder, name);
}

void ServiceControl::startServicesAtLoad() {
    // Another installation's services on this machine work for their own folders.
    if (findService(ReceiverName) == 0) StartReceiver();
    if (findService(IngestServiceName) == 0) StartIngestService();
}

}  // namespace corva::station
