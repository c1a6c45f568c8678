#pragma once
// Orthanc (the Debian package's /usr/sbin/Orthanc) as an archive peer on free ports of
// 127.0.0.1, with its own storage folder and one modality it knows: the station's AE
// title at the receiver's port, allowed to ask for storage commitment, to which Orthanc
// sends its commitment reports on a new association.
#include <filesystem>
#include <memory>
#include <string>

#include "child_process.h"
#include "temp_dir.h"

namespace corva::test {

class OrthancPeer {
public:
    // `modalityAe` and `modalityPort`: where Orthanc sends its reports.
    OrthancPeer(const std::string& modalityAe, int modalityPort, std::string aet = "ORTHANC");
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
