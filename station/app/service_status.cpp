#include "app/service_status.h"

#include <QStringList>

#include <fstream>
#include <string_view>
#include <vector>

#include "common/service_control.h"
#include "common/station_context.h"
#include "core/paths.h"
#include "log/service_note.h"

namespace corva::station {

namespace {

constexpr std::string_view CannotStart = "Recvora cannot start: ";
constexpr std::string_view Starting = "Recvora starting as ";
constexpr std::string_view Stopped = "Recvora stopped";
// Only the end of a long log is read: the last start is near it.
constexpr std::streamoff TailBytes = 64 * 1024;

}  // namespace

std::string ServiceStatus::receiverFailure(const std::filesystem::path& logsFolder) {
    std::ifstream log(logsFolder / "Recvora.log", std::ios::binary);
    if (!log) return {};
    log.seekg(0, std::ios::end);
    const std::streamoff size = log.tellg();
    log.seekg(size > TailBytes ? size - TailBytes : 0);
    std::string failure;
    std::string line;
    while (std::getline(log, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (const auto at = line.find(CannotStart); at != std::string::npos)
            failure = line.substr(at);
        else if (line.find(Starting) != std::string::npos || line.find(Stopped) != std::string::npos)
            failure.clear();
    }
    return failure;
}

ServiceState ServiceStatus::read(const StationContext& g) {
    ServiceState state;
    const auto& programFolder = g.paths.programFolder;
    state.receiverRunning = ServiceControl::isRunningIn(g.paths.executables, ReceiverName, g.units);
    state.ingestRunning = ServiceControl::isRunningIn(g.paths.executables, IngestServiceName, g.units);
    if (!state.receiverRunning) state.receiverFailure = receiverFailure(programFolder / folder::Logs);
    if (state.ingestRunning) state.ingestProblem = log::ServiceNote::read(programFolder / folder::Logs, IngestServiceName);
    return state;
}

QString ServiceStatus::note(const ServiceState& state) {
    QStringList parts;
    if (!state.receiverRunning) {
        parts << (state.receiverFailure.empty()
                      ? QStringLiteral("Recvora not running: nothing is received")
                      : QStringLiteral("Recvora not running, nothing is received - ") +
                            QString::fromStdString(state.receiverFailure));
    }
    if (!state.ingestRunning) parts << QStringLiteral("Ingrado not running: images wait in Temp");
    else if (!state.ingestProblem.empty())
        parts << QString::fromStdString(state.ingestProblem) + QStringLiteral(" - images wait in Temp");
    return parts.join(QStringLiteral("; "));
}

}  // namespace corva::station
