#pragma once
// Starting and stopping the receiver Recvora and the ingest service Ingrado, found by
// executable name; the ids of the copies this program started are remembered. When
// systemd runs a service from its unit (an installed package), the unit is asked and
// told instead: the station never starts a second copy beside it.
#include <filesystem>
#include <optional>
#include <string>

#include "process/service_unit.h"

namespace corva::station {

struct StationContext;

inline constexpr const char* ReceiverName = "Recvora";
inline constexpr const char* IngestServiceName = "Ingrado";

class ServiceControl {
public:
    explicit ServiceControl(StationContext& g) : g_(g) {}

    // The id of the first process whose executable name contains `name` (without regard
    // to case); 0 when none.
    static int FindProcessId(const std::string& name);
    static bool IsProcessAlive(int pid);

    // Starts program folder/Recvora when it exists and Com\IR_Port is not empty.
    void StartReceiver();
    // Starts program folder/Ingrado when it exists.
    void StartIngestService();
    // Ends the remembered process (SIGTERM, then SIGKILL) and forgets its id; no id, nothing.
    void StopReceiver();
    void StopIngestService();

    // The id of a running copy of `name` from this program folder (its executable is
    // executables/name); 0 when none. Copies from other folders do not count, and neither
    // do copies of other users (a unit's): ask isRunning for those.
    int findService(const std::string& name) const;
    static int findServiceIn(const std::filesystem::path& executables, const std::string& name);

    // At load: each service is started when no copy from this program folder runs (a
    // running one is not remembered). A service with a unit is left to systemd.
    void startServicesAtLoad();

    // The unit that runs this folder's `name`, when systemd runs one.
    std::optional<process::ServiceUnit> unitOf(const std::string& name) const;
    // Whether this folder's `name` runs: its unit's state, else a process of its executable.
    bool isRunning(const std::string& name) const;
    static bool isRunningIn(const std::filesystem::path& executables, const std::string& name,
                            const process::UnitSearch& units = {});
    // Starts or stops `name` through its unit when it has one, else as StartReceiver,
    // StartIngestService, StopReceiver, StopIngestService do. Empty when done, else why not.
    std::string startService(const std::string& name);
    std::string stopService(const std::string& name);

private:
    int start(const std::string& name);
    StationContext& g_;
};

}  // namespace corva::station
