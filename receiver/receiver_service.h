#pragma once
// The receiver program Recvora: receives DICOM objects under the title and port of the
// settings store (Com\IR_AET, Com\IR_Port) and drops each one into the input folder
// <program folder>/Temp, where the ingest service picks it up. Optional settings limit
// who may store: Com\IR_AllowedAETs (calling AE titles) and Com\IR_AllowedHosts (IPv4
// addresses or address/prefix ranges), lists separated by commas, empty for everyone;
// Com\IR_ListenAddress the one local address to listen on, empty for every interface.
// With Com\IR_TLSPort (settings/tls_settings.h) it takes DICOM over TLS on that port too,
// under the same title and limits.
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "receiver_log.h"
#include "settings/receiver_access.h"

namespace corva::dicom {
class StorageServer;
struct StorageServerConfig;
struct CommitmentReport;
}

namespace corva::receiver {

inline constexpr const char* DefaultAeTitle = "Lumenpost";
inline constexpr const char* DefaultPort = "105";

class ReceiverService {
public:
    explicit ReceiverService(const std::filesystem::path& programFolder);
    ~ReceiverService();

    // Exit codes of run().
    static constexpr int Stopped = 0;
    static constexpr int BadSettings = 1;
    static constexpr int CannotListen = 2;  // port in use, or below 1024 without cap_net_bind_service

    // Serves until stop(). Returns the exit code: Stopped after a stop, BadSettings or
    // CannotListen when the receiver cannot start; the log line says why.
    int run();

    // Ends run() once the running associations are over. Any thread.
    void stop();

    // For a stop the associations did not let happen in time: removes this process's
    // partial files so that nothing half-received stays behind.
    void abandon();

private:
    std::filesystem::path programFolder_;
    ReceiverLog log_;
    ConditionLog conditions_{log_};
    std::mutex mutex_;
    bool stopRequested_ = false;
    std::unique_ptr<corva::dicom::StorageServer> server_;
    std::unique_ptr<corva::dicom::StorageServer> tlsServer_;  // with a TLS port
};

// Reads the optional access settings into config. Empty when they are sound, else why not.
std::string readAccessSettings(corva::dicom::StorageServerConfig& config);

// Reads the optional TLS port into tls (a copy of plain on that port with the TLS files).
// Empty when the settings are sound (tls stays empty without a TLS port), else why not.
std::string readTlsSettings(const corva::dicom::StorageServerConfig& plain,
                            std::optional<corva::dicom::StorageServerConfig>& tls);
// Records an archive's storage commitment report in the image database of the program
// folder; `outcome` says what it did. False when it could not be kept; throws on a
// database failure.
bool recordCommitmentReport(const std::filesystem::path& programFolder, const corva::dicom::CommitmentReport& report,
                            std::string& outcome);

// The port setting as a number; 0 when it is not a whole number from 1 to 65535.
int parsePort(const std::string& text);

}  // namespace corva::receiver
