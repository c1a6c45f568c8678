#pragma once
// DCMTK's storescp on a free port of 127.0.0.1 as a real storage destination.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/error.h"
#include "dicom/dicom.h"
#include "temp_dir.h"

extern char** environ;

namespace corva::station::jobs::test {

class StoreScp {
public:
    // `extra`: further storescp options, e.g. "+xa" (accept compressed transfer syntaxes) or
    // "--refuse" (refuse every association; then it is not waited for).
    explicit StoreScp(const std::filesystem::path& folder, std::vector<std::string> extra = {},
                      std::string aet = "STORESCP")
        : port_(corva::test::freePort()) {
        std::vector<std::string> args{"storescp", "-aet", aet, "-od", folder.string()};
        bool refusing = false;
        for (const auto& e : extra) {
            args.push_back(e);
            refusing = refusing || e == "--refuse";
        }
        args.push_back(std::to_string(port_));
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawnp(&pid_, "storescp", nullptr, nullptr, argv.data(), environ) != 0)
            throw std::runtime_error("cannot start storescp");
        if (refusing)
            waitUntilRefusing(aet);
        else
            waitUntilListening(aet);
    }
    ~StoreScp() { stop(); }
    int port() const { return port_; }
    // Kills the destination at once (a destination that goes away).
    void stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = 0;
    }

private:
    void waitUntilListening(const std::string& aet) const {
        using namespace std::chrono_literals;
        const auto until = std::chrono::steady_clock::now() + 20s;
        while (true) {
            try {
                dicom::Association a;
                a.open("127.0.0.1", port_, "CORVATEST", aet, {}, 2);
                a.echo();
                return;
            } catch (const Error&) {
                if (std::chrono::steady_clock::now() > until) throw;
                std::this_thread::sleep_for(50ms);
            }
        }
    }
    // A refusing peer never answers an echo: wait until it refuses instead of not listening.
    void waitUntilRefusing(const std::string& aet) const {
        using namespace std::chrono_literals;
        const auto until = std::chrono::steady_clock::now() + 20s;
        while (std::chrono::steady_clock::now() < until) {
            try {
                dicom::Association a;
                a.open("127.0.0.1", port_, "CORVATEST", aet, {}, 2);
            } catch (const Error& e) {
                if (e.message().find("Connection refused") == std::string::npos) return;  // listening, refusing
            }
            std::this_thread::sleep_for(50ms);
        }
    }
    int port_;
    pid_t pid_ = 0;
};

}  // namespace corva::station::jobs::test
