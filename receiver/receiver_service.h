#pragma once
// The receiver program Recvora: receives DICOM objects under the title and port of the
// settings store (Com\IR_AET, Com\IR_Port) and drops each one into the input folder
// <program folder>/Temp, where the ingest service picks it up.
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "receiver_log.h"

namespace corva::dicom {
class StorageServer;
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
    std::mutex mutex_;
    bool stopRequested_ = false;
    std::unique_ptr<corva::dicom::StorageServer> server_;
};

// The port setting as a number; 0 when it is not a whole number from 1 to 65535.
int parsePort(const std::string& text);

}  // namespace corva::receiver
