#include "receiver_service.h"

#include <charconv>

#include "core/error.h"
#include "core/paths.h"
#include "dicom/dicom.h"
#include "dicom/storage_server.h"
#include "process/private_files.h"
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

// "any" for an empty list, else its entries.
std::string describe(const std::vector<std::string>& entries)
{
    if (entries.empty())
        return "any";
    std::string text;
    for (const auto& e : entries)
        text += (text.empty() ? "" : ", ") + e;
    return text;
}

}  // namespace

std::string readAccessSettings(corva::dicom::StorageServerConfig& config)
{
    const std::string titles = corva::settings::ReadRegistryValue(corva::settings::ReceiverAllowedAeTitles, "");
    for (const auto& title : corva::dicom::splitEntries(titles)) {
        if (!corva::dicom::isValidAeTitle(title))
            return "invalid calling AE title \"" + title + "\" (" + corva::settings::ReceiverAllowedAeTitles + ")";
        config.allowedCallingAeTitles.push_back(title);
    }
    const std::string hosts = corva::settings::ReadRegistryValue(corva::settings::ReceiverAllowedHosts, "");
    for (const auto& host : corva::dicom::splitEntries(hosts)) {
        if (!corva::dicom::isValidPeerEntry(host))
            return "invalid address \"" + host + "\" (" + corva::settings::ReceiverAllowedHosts + ")";
        config.allowedPeers.push_back(host);
    }
    config.listenAddress = trim(corva::settings::ReadRegistryValue(corva::settings::ReceiverListenAddress, ""));
    if (!config.listenAddress.empty() && (!corva::dicom::isValidPeerEntry(config.listenAddress) ||
                                          config.listenAddress.find('/') != std::string::npos))
        return "invalid listen address \"" + config.listenAddress + "\" (" + corva::settings::ReceiverListenAddress + ")";
    return {};
}

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
    if (const std::string why = readAccessSettings(config); !why.empty()) {
        log_.write("Recvora cannot start: " + why);
        return BadSettings;
    }

    corva::dicom::StorageEvents events;
    events.associationAccepted = [this](const std::string& ae, const std::string& peer) {
        log_.write("Association from " + ae + " (" + peer + ") accepted");
    };
    // A refused peer usually tries again and again: one line while it keeps being refused.
    events.associationRefused = [this](const std::string& ae, const std::string& peer, const std::string& why) {
        conditions_.problem("refused " + ae + " " + why + " @" + peer,
                            "Association from " + ae + " (" + peer + ") refused: " + why);
    };
    events.associationEnded = [this](const std::string& ae, const std::string& peer, int stored, int refused,
                                     bool aborted) {
        log_.write("Association from " + ae + " (" + peer + ")" + (aborted ? " aborted: " : " released: ") +
                   std::to_string(stored) + " stored, " + std::to_string(refused) + " refused");
    };
    events.objectStored = [this](const std::filesystem::path& file) {
        log_.write("Stored " + file.filename().string());
    };
    events.objectRefused = [this](const std::string& ae, const std::string& peer, const std::string& uid,
                                  const std::string& why) {
        log_.write("Refused object \"" + uid + "\": " + why + " (from " + ae + " (" + peer + "))");
    };
    events.contextRefused = [this](const std::string& ae, const std::string& peer, const std::string& sopClass,
                                   const std::string& why) {
        log_.write("Association from " + ae + " (" + peer + "): presentation context for " + sopClass +
                   " refused: " + why);
    };
    events.problem = [this](const std::string& condition, const std::string& text) {
        conditions_.problem(condition, "Error: " + text);
    };
    events.resolved = [this](const std::string& condition) { conditions_.resolved(condition); };

    try {
        corva::dicom::initNetwork();
        {
            std::lock_guard lock(mutex_);
            server_ = std::make_unique<corva::dicom::StorageServer>(config, std::move(events));
            if (stopRequested_)
                server_->stop();
        }
        // An input folder and log of an older version may still be open to every user.
        std::error_code ec;
        std::filesystem::create_directories(config.outputFolder, ec);
        corva::process::makePrivate(config.outputFolder);
        corva::process::makePrivate(programFolder_ / corva::folder::Logs / "Recvora.log");
        if (const int removed = server_->removeStalePartFiles(); removed > 0)
            log_.write("Removed " + std::to_string(removed) + " partial file(s) of an earlier run");
        log_.write("Recvora starting as " + config.aeTitle + " on port " + std::to_string(port) +
                   (config.listenAddress.empty() ? std::string() : " of " + config.listenAddress) +
                   "; calling AE titles: " + describe(config.allowedCallingAeTitles) +
                   "; peers: " + describe(config.allowedPeers));
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
    conditions_.flush();
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
    conditions_.flush();
    log_.write("Recvora stopped with associations still open");
}

}  // namespace corva::receiver
