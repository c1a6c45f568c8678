#include "orthanc_peer.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace corva::test {

namespace {

constexpr const char* Program = "/usr/sbin/Orthanc";

}  // namespace

bool OrthancPeer::installed() {
    std::error_code ec;
    return fs::exists(Program, ec);
}

OrthancPeer::OrthancPeer(const std::string& modalityAe, int modalityPort, std::string aet,
                         const std::optional<Tls>& tls)
    : folder_("orthanc"), aet_(std::move(aet)), port_(freePort()), httpPort_(freePort()) {
    const fs::path storage = folder_.path() / "db";
    fs::create_directories(storage);
    const fs::path config = folder_.path() / "orthanc.json";
    std::ofstream(config) << "{ \"Name\": \"corva-test\", \"StorageDirectory\": \"" << storage.string()
                          << "\", \"IndexDirectory\": \"" << storage.string()
                          << "\", \"DicomServerEnabled\": true, \"DicomAet\": \"" << aet_ << "\", \"DicomPort\": "
                          << port_ << ", \"HttpPort\": " << httpPort_
                          << ", \"RemoteAccessAllowed\": false, \"Plugins\": [], \"DicomModalities\": { \"station\": "
                             "{ \"AET\": \""
                          << modalityAe << "\", \"Host\": \"127.0.0.1\", \"Port\": " << modalityPort
                          << ", \"AllowStorageCommitment\": true } }";
    if (tls)
        std::ofstream(config, std::ios::app)
            << ", \"DicomTlsEnabled\": true, \"DicomTlsCertificate\": \"" << tls->certificate.string()
            << "\", \"DicomTlsPrivateKey\": \"" << tls->key.string() << "\", \"DicomTlsTrustedCertificates\": \""
            << tls->trusted.string() << "\"";
    std::ofstream(config, std::ios::app) << " }\n";
    process_ = std::make_unique<ChildProcess>(std::vector<std::string>{Program, config.string()},
                                              std::vector<std::string>{}, folder_.path() / "orthanc.log");
    std::vector<std::string> echo{"echoscu", "-aec", aet_};
    if (tls) echo.insert(echo.end(), tls->echoOptions.begin(), tls->echoOptions.end());
    echo.insert(echo.end(), {"127.0.0.1", std::to_string(port_)});
    const bool up = waitUntil(
        [&] {
            return !process_->running() ||
                   runCommand(echo, 5s).code == 0;
        },
        60s, 200ms);
    if (!up || !process_->running()) throw std::runtime_error("Orthanc did not start: " + log());
}

OrthancPeer::~OrthancPeer() = default;

std::string OrthancPeer::destination() const { return aet_ + "@127.0.0.1:" + std::to_string(port_); }

std::string OrthancPeer::log() const {
    std::ifstream in(folder_.path() / "orthanc.log");
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace corva::test
