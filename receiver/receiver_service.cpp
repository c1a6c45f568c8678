#include "receiver_service.h"

#include <charconv>

#include "core/error.h"
#include "core/paths.h"
#include "dicom/dicom.h"
#include "dicom/storage_server.h"
#include "settings/settings.h"

namespace corva::receiver {
namespace {

std::string trim(const std::string& s)
{
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

}  // namespace

int parsePort(const std::string& text)
{
    const std::string t = trim(text);
    int port = 0;
    const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), port);
    if (t.empty() || ec != std::errc() || end != t.data() + t.size() || port < 1 || port > 65535)
        return 0;
    return port;
}

ReceiverService::ReceiverService(const std::filesystem::path& programFolder)
    : programFolder_(programFolder), log_(programFolder / corva::folder::Logs / "Recvora.log")
{
}

ReceiverService::~ReceiverService() = default;

int ReceiverService::run()
{
    const std::string aeTitle = trim(corva::settings::ReadRegistryValue("Com\\IR_AET", DefaultAeTitle));
    const std::string portText = corva::settings::ReadRegistryValue("Com\\IR_Port", DefaultPort);
    const int port = parsePort(portText);
    if (port == 0) {
        log_.write("Recvora cannot start: invalid port \"" + portText + "\" (Com\\IR_Port)");
        return BadSettings;
    }

    corva::dicom::StorageServerConfig config;
    config.aeTitle = aeTitle.empty() ? DefaultAeTitle : aeTitle;
    config.port = port;
    config.outputFolder = programFolder_ / corva::folder::Temp;

    corva::dicom::StorageEvents events;
    events.associationAccepted = [this](const std::string& ae, const std::string& peer) {
        log_.write("Association from " + ae + " (" + peer + ") accepted");
    };
    events.associationRefused = [this](const std::string& ae, const std::string& peer, const std::string& why) {
        log_.write("Association from " + ae + " (" + peer + ") refused: " + why);
    };
    events.associationEnded = [this](const std::string& ae, int stored, int refused, bool aborted) {
        log_.write("Association from " + ae + (aborted ? " aborted: " : " released: ") + std::to_string(stored) +
                   " stored, " + std::to_string(refused) + " refused");
    };
    events.objectStored = [this](const std::filesystem::path& file) {
        log_.write("Stored " + file.filename().string());
    };
    events.objectRefused = [this](const std::string& uid, const std::string& why) {
        log_.write("Refused object \"" + uid + "\": " + why);
    };
    events.contextRefused = [this](const std::string& ae, const std::string& peer, const std::string& sopClass,
                                   const std::string& why) {
        log_.write("Association from " + ae + " (" + peer + "): presentation context for " + sopClass +
                   " refused: " + why);
    };
    events.error = [this](const std::string& text) { log_.write("Error: " + text); };

    try {
        corva::dicom::initNetwork();
        {
            std::lock_guard lock(mutex_);
            server_ = std::make_unique<corva::dicom::StorageServer>(config, std::move(events));
            if (stopRequested_)
                server_->stop();
        }
        if (const int removed = server_->removeStalePartFiles(); removed > 0)
            log_.write("Removed " + std::to_string(removed) + " partial file(s) of an earlier run");
        log_.write("Recvora starting as " + config.aeTitle + " on port " + std::to_string(port));
        server_->run();
    } catch (const corva::Error& e) {
        std::string line = "Recvora cannot start: " + e.message();
        if (port < 1024)
            line += " (port " + std::to_string(port) +
                    " is below 1024: Recvora needs the capability to bind it, granted by the installation with "
                    "'setcap cap_net_bind_service=+ep Recvora', or a port of 1024 or above in Com\\IR_Port)";
        log_.write(line);
        return CannotListen;
    }
    log_.write("Recvora stopped");
    return Stopped;
}

void ReceiverService::stop()
{
    std::lock_guard lock(mutex_);
    stopRequested_ = true;
    if (server_)
        server_->stop();
}

void ReceiverService::abandon()
{
    std::lock_guard lock(mutex_);
    if (server_)
        server_->removeStalePartFiles();
    log_.write("Recvora stopped with associations still open");
}

}  // namespace corva::receiver
