#include "store_scp.h"

#include <thread>

#include "core/error.h"
#include "dicom/dicom.h"
#include "temp_dir.h"

namespace corva::test {

StoreScp::StoreScp(const std::filesystem::path& folder, std::vector<std::string> extra, std::string aet,
                   std::optional<dicom::TlsFiles> echoTls)
    : aet_(std::move(aet)), echoTls_(std::move(echoTls)), port_(freePort())
{
    std::vector<std::string> args{"storescp", "-aet", aet_, "-od", folder.string()};
    bool refusing = false;
    for (const auto& e : extra) {
        args.push_back(e);
        refusing = refusing || e == "--refuse";
    }
    args.push_back(std::to_string(port_));
    process_ = std::make_unique<ChildProcess>(args);
    if (refusing)
        waitUntilRefusing();
    else
        waitUntilListening();
}

StoreScp::~StoreScp() = default;

void StoreScp::stop()
{
    process_.reset();  // SIGKILL and reaped
}

void StoreScp::waitUntilListening() const
{
    const auto until = std::chrono::steady_clock::now() + 20s;
    while (true) {
        try {
            dicom::Association a;
            a.open("127.0.0.1", port_, "CORVATEST", aet_, {}, 2, 60, echoTls_);
            a.echo();
            return;
        } catch (const Error&) {
            if (std::chrono::steady_clock::now() > until)
                throw;
            std::this_thread::sleep_for(50ms);
        }
    }
}

// A refusing peer never answers an echo: wait until it refuses instead of not listening.
void StoreScp::waitUntilRefusing() const
{
    waitUntil(
        [&] {
            try {
                dicom::Association a;
                a.open("127.0.0.1", port_, "CORVATEST", aet_, {}, 2);
            } catch (const Error& e) {
                return e.message().find("Connection refused") == std::string::npos;  // listening, refusing
            }
            return false;
        },
        20s);
}

}  // namespace corva::test
