#pragma once
// What the operator is told about the two services of this program folder: whether the
// receiver and the ingest service run, when the receiver could not start, the reason it
// wrote into its log (Logs/Recvora.log, a line with "Recvora cannot start: "), and what
// the running ingest service notes (Logs/Ingrado.note: why it cannot file).
#include <QString>
#include <filesystem>
#include <string>

namespace corva::station {

struct StationContext;

struct ServiceState {
    bool receiverRunning = false;
    bool ingestRunning = false;
    // The receiver's last start failure ("Recvora cannot start: ..."), when its log ends
    // its last start with one; empty otherwise.
    std::string receiverFailure;
    // The running ingest service's note ("Ingrado cannot write the image database: disk
    // full"); empty when it files as usual.
    std::string ingestProblem;
};

class ServiceStatus {
public:
    // Looks at the processes and the receiver's log of this program folder.
    static ServiceState read(const StationContext& g);
    // The receiver's last start failure from its log in `logsFolder`: the text from
    // "Recvora cannot start: " on, when no later line tells of a start or a stop.
    static std::string receiverFailure(const std::filesystem::path& logsFolder);
    // The status bar note: empty when both run.
    static QString note(const ServiceState& state);
};

}  // namespace corva::station
