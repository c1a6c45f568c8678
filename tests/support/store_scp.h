#pragma once
// DCMTK's storescp on a free port of 127.0.0.1 as a real storage destination, without Qt:
// the shared DICOM tests and the station's tests use the same one.
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "child_process.h"
#include "dicom/tls.h"

namespace corva::test {

class StoreScp {
public:
    // Starts storescp writing into `folder` and returns once it listens (generous: the
    // machine may be loaded). `extra`: further storescp options, e.g. "+xa" (accept
    // compressed transfer syntaxes) or "--refuse" (refuse every association; then it is
    // waited for until it refuses instead of until it answers an echo). `echoTls`: it
    // speaks TLS (its TLS options among `extra`), and the echo that waits for it uses these files.
    explicit StoreScp(const std::filesystem::path& folder, std::vector<std::string> extra = {},
                      std::string aet = "STORESCP", std::optional<dicom::TlsFiles> echoTls = std::nullopt);
    ~StoreScp();
    StoreScp(const StoreScp&) = delete;
    StoreScp& operator=(const StoreScp&) = delete;

    int port() const { return port_; }
    // Kills the destination at once (a destination that goes away).
    void stop();

private:
    void waitUntilListening() const;
    void waitUntilRefusing() const;

    std::string aet_;
    std::optional<dicom::TlsFiles> echoTls_;
    int port_;
    std::unique_ptr<ChildProcess> process_;
};

}  // namespace corva::test
