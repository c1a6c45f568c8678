#pragma once
// Starting and stopping the receiver Recvora and the ingest service Ingrado, found by
// executable name; the ids of the copies this program started are remembered.
#include <filesystem>
#include <string>

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
    // program folder/name); 0 when none. Copies from other folders do not count.
    int findService(const std::string& name) const;
    static int findServiceIn(const std::filesystem::path& programFolder, const std::string& name);

    // At load: each service is started when no copy from this program folder runs (a
    // running one is not remembered).
    void startServicesAtLoad();

private:
    int start(const std::string& name);
    StationContext& g_;
};

}  // namespace corva::station
