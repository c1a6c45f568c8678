// Recvora: the DICOM receiver. No arguments; SIGTERM or SIGINT ends it.
// Exit codes: 0 stopped, 1 cannot start (settings), 2 cannot listen on the port (in use,
// or below 1024 without the capability to bind it); the reason is in Logs/Recvora.log
// on a line beginning "Recvora cannot start: ".
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "core/paths.h"
#include "process/private_files.h"
#include "receiver_service.h"

namespace {

// How long a stop waits for running associations before it cuts them off: 10 seconds,
// or RECVORA_STOP_GRACE_MS milliseconds (tests shorten it).
std::chrono::milliseconds stopGrace()
{
    if (const char* text = std::getenv("RECVORA_STOP_GRACE_MS"); text && *text) {
        char* end = nullptr;
        const long ms = std::strtol(text, &end, 10);
        if (end && *end == '\0' && ms >= 0)
            return std::chrono::milliseconds(ms);
    }
    return std::chrono::seconds(10);
}

}  // namespace

int main()
{
    // Received images are patient data: what Recvora creates (Temp, its files, the log)
    // is for its own user and group only, folders 0770 and files 0660.
    corva::process::usePrivateFileModes();
    // Signals are taken by one watcher thread; every other thread (the association
    // threads inherit this mask) leaves them alone.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    // A peer that closes its socket must not kill the receiver.
    signal(SIGPIPE, SIG_IGN);
    // A file size limit must fail the write (answered as out of resources), not end the receiver.
    signal(SIGXFSZ, SIG_IGN);

    const auto grace = stopGrace();
    corva::receiver::ReceiverService service(corva::programFolder());
    std::atomic<bool> finished{false};

    std::thread watcher([&] {
        const timespec tick{0, 200'000'000};
        while (!finished) {
            if (sigtimedwait(&stopSignals, nullptr, &tick) < 0)
                continue;
            service.stop();
            const auto deadline = std::chrono::steady_clock::now() + grace;
            while (!finished && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (!finished) {
                service.abandon();
                std::_Exit(0);
            }
        }
    });

    const int code = service.run();
    finished = true;
    watcher.join();
    return code;
}
