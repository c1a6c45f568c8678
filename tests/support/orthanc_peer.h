#pragma once
// Orthanc (the Debian package's /usr/sbin/Orthanc) as an archive peer on free ports of
// 127.0.0.1, with its own storage folder and one modality it knows: the station's AE
// title at the receiver's port, allowed to ask for storage commitment, to which Orthanc
// sends its commitment reports on a new association (plain DICOM).
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "child_process.h"
#include "temp_dir.h"

namespace corva::test {

class OrthancPeer {
public:
    // Its DICOM port over TLS only: its certificate and key, the certificates it trusts
    // for its callers, and echoscu's options to reach it (see TestCertificates).
    struct Tls {
        std::filesystem::path certificate;
        std::filesystem::path key;
        std::filesystem::path trusted;
        std::vector<std::string> echoOptions;
    };

    // `modalityAe` and `modalityPort`: where Orthanc sends its reports.
    OrthancPeer(const std::string& modalityAe, int modalityPort, std::string aet = "ORTHANC",
                const std::optional<Tls>& tls = std::nullopt);
    ~OrthancPeer();
    OrthancPeer(const OrthancPeer&) = delete;
    OrthancPeer& operator=(const OrthancPeer&) = delete;

    static bool installed();
    int port() const { return port_; }
    const std::string& aet() const { return aet_; }
    std::string destination() const;  // "<AET>@127.0.0.1:<port>"
    // Its log, for a failure message.
    std::string log() const;

private:
    TempDir folder_;
    std::string aet_;
    int port_;
    int httpPort_;
    std::unique_ptr<ChildProcess> process_;
};

}  // namespace corva::test
