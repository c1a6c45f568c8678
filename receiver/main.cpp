// Recvora: the DICOM receiver. No arguments; SIGTERM or SIGINT ends it.
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "core/paths.h"
#include "receiver_service.h"

namespace {

// How long a stop waits for running associations before it cuts them off.
constexpr auto StopGrace = std::chrono::seconds(10);

}  // namespace

int main()
{
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

    corva::receiver::ReceiverService service(corva::programFolder());
    std::atomic<bool> finished{false};

    std::thread watcher([&] {
        const timespec tick{0, 200'000'000};
        while (!finished) {
            if (sigtimedwait(&stopSignals, nullptr, &tick) < 0)
                continue;
            service.stop();
            const auto deadline = std::chrono::steady_clock::now() + StopGrace;
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
