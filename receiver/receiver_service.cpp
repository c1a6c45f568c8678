#include "receiver_service.h"

#include <charconv>
#include <optional>
#include <chrono>
#include <thread>

#include "core/error.h"
#include "core/paths.h"
#include "db/commitments.h"
#include "db/database.h"
#include "db/schema.h"
#include "dicom/dicom.h"
#include "dicom/storage_server.h"
#include "process/private_files.h"
#include "settings/settings.h"
#include "settings/tls_settings.h"

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

bool recordCommitmentReport(const std::filesystem::path& programFolder, const corva::dicom::CommitmentReport& report,
                            std::string& outcome)
{
    const auto file = programFolder / corva::folder::Data / corva::db::ImageDatabaseFile;
    if (!std::filesystem::exists(file)) {
        outcome = "no image database";
        return false;
    }
    corva::db::Database db(file);
    corva::db::CommitmentStore store(db);
    std::vector<corva::db::CommitmentReportItem> items;
    for (const auto& r : report.committed)
        items.push_back({r.sopClassUid, r.sopInstanceUid, true, 0});
    for (const auto& r : report.failed)
        items.push_back({r.sopClassUid, r.sopInstanceUid, false, r.failureReason});
    if (!store.record(report.transactionUid, items)) {
        // Not asked by this station (or its database was emptied since): nothing to keep.
        outcome = "unknown transaction, ignored";
        return true;
    }
    outcome = std::to_string(report.committed.size()) + " committed, " + std::to_string(report.failed.size()) +
              " failed";
    return true;
}

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

std::string readTlsSettings(const corva::dicom::StorageServerConfig& plain,
                            std::optional<corva::dicom::StorageServerConfig>& tls)
{
    namespace keys = corva::settings;
    const keys::ReceiverTls values = keys::readReceiverTls();
    if (trim(values.port).empty())
        return {};
    const int port = parsePort(values.port);
    if (port == 0)
        return "invalid TLS port \"" + values.port + "\" (" + keys::ReceiverTlsPort + ")";
    if (port == plain.port)
        return "the TLS port " + std::to_string(port) + " is the plain port too (" + keys::ReceiverTlsPort + ")";
    corva::dicom::TlsFiles files{trim(values.caFile), trim(values.certificateFile), trim(values.keyFile)};
    if (files.certificateFile.empty() || files.keyFile.empty())
        return std::string("a TLS port needs a certificate and a private key (") + keys::ReceiverTlsCertificate +
               ", " + keys::ReceiverTlsKey + ")";
    if (const std::string why = corva::dicom::tlsServerProblem(files); !why.empty())
        return "TLS on port " + std::to_string(port) + ": " + why;
    tls = plain;
    tls->port = port;
    tls->tls = std::move(files);
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
    const std::string portText = corva::settings::ReadRegistryText("Com\\IR_Port", DefaultPort);
    if (trim(portText).empty()) {  // the site chose not to receive
        log_.write("Recvora does not listen: no port is set (Com\\IR_Port)");
        return BadSettings;
    }
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

    std::optional<corva::dicom::StorageServerConfig> tlsConfig;
    if (const std::string why = readTlsSettings(config, tlsConfig); !why.empty()) {
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
    // Recording an archive's answer removes nothing: the station's jobs remove what it
    // committed, under the job lock. A busy or failing database is waited out a while
    // before the archive is told the report was not kept.
    events.commitmentReported = [this](const corva::dicom::CommitmentReport& report, const std::string& ae,
                                       const std::string& peer) {
        std::string outcome, error;
        for (int attempt = 0; attempt < 5; ++attempt) {
            try {
                const bool kept = recordCommitmentReport(programFolder_, report, outcome);
                log_.write("Storage commitment " + report.transactionUid + " from " + ae + " (" + peer +
                           "): " + outcome);
                return kept;
            } catch (const std::exception& e) {
                error = e.what();
            }
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
        log_.write("Storage commitment " + report.transactionUid + " from " + ae + " (" + peer +
                   ") not recorded: " + error);
        return false;
    };

    int listening = port;  // the port a failure to listen names
    try {
        corva::dicom::initNetwork();
        {
            std::lock_guard lock(mutex_);
            if (tlsConfig) {
                listening = tlsConfig->port;
                tlsServer_ = std::make_unique<corva::dicom::StorageServer>(*tlsConfig, events);
                listening = port;
            }
            server_ = std::make_unique<corva::dicom::StorageServer>(config, std::move(events));
            if (stopRequested_) {
                server_->stop();
                if (tlsServer_)
                    tlsServer_->stop();
            }
        }
        // An input folder and log of an older version may still be open to every user.
        std::error_code ec;
        std::filesystem::create_directories(config.outputFolder, ec);
        corva::process::makePrivate(config.outputFolder);
        corva::process::makePrivate(programFolder_ / corva::folder::Logs / "Recvora.log");
        if (const int removed = server_->removeStalePartFiles(); removed > 0)
            log_.write("Removed " + std::to_string(removed) + " partial file(s) of an earlier run");
        std::string tlsText;
        if (tlsConfig)
            tlsText = "; TLS on port " + std::to_string(tlsConfig->port) +
                      (tlsConfig->tls->caFile.empty()
                           ? std::string(", callers' certificates not asked for")
                           : ", callers' certificates checked against " + tlsConfig->tls->caFile.string());
        log_.write("Recvora starting as " + config.aeTitle + " on port " + std::to_string(port) +
                   (config.listenAddress.empty() ? std::string() : " of " + config.listenAddress) + tlsText +
                   "; calling AE titles: " + describe(config.allowedCallingAeTitles) +
                   "; peers: " + describe(config.allowedPeers));
        // Both ports serve until a stop; a port that cannot listen stops the other too.
        std::optional<corva::Error> tlsFailure;
        std::thread tlsThread;
        if (tlsServer_)
            tlsThread = std::thread([&] {
                try {
                    tlsServer_->run();
                } catch (const corva::Error& e) {
                    tlsFailure = e;
                    stop();
                }
            });
        std::optional<corva::Error> plainFailure;
        try {
            server_->run();
        } catch (const corva::Error& e) {
            plainFailure = e;
            stop();
        }
        if (tlsThread.joinable())
            tlsThread.join();
        if (plainFailure)
            throw *plainFailure;
        if (tlsFailure) {
            listening = tlsConfig->port;
            throw *tlsFailure;
        }
    } catch (const corva::Error& e) {
        std::string line = "Recvora cannot start: " + e.message();
        if (listening < 1024)
            line += " (port " + std::to_string(listening) +
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
    if (tlsServer_)
        tlsServer_->stop();
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
