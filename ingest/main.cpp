// Ingrado: the windowless ingest service. No arguments; the program folder is the
// folder of the executable. A second copy for the same folder ends at once.
#include <signal.h>
#include <time.h>

#include <atomic>

#include "core/paths.h"
#include "crash_note.h"
#include "ingest_service.h"
#include "process/private_files.h"
#include "process/process.h"

namespace {

std::atomic<bool> g_stop{false};

void onTerminate(int)
{
    g_stop.store(true);
}

}  // namespace

int main()
{
    corva::process::usePrivateFileModes();  // patient data: for the station's user and group only
    const auto folder = corva::programFolder();
    // One ingest service per program folder, whichever user started it.
    corva::process::SingleInstanceLock lock("Ingrado " + folder.string(), folder, corva::process::LockScope::Folder);
    if (!lock.acquired())
        return 0;

    struct sigaction sa {};
    sa.sa_handler = onTerminate;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    ::signal(SIGHUP, SIG_IGN);
    ::signal(SIGPIPE, SIG_IGN);
    // A crash marks the file in hand, which the next start sets aside.
    corva::ingest::crash::installHandlers();

    corva::ingest::IngestService service(folder);
    service.start();
    service.watchInput();

    constexpr long PeriodNs = 500'000'000;
    timespec next {};
    ::clock_gettime(CLOCK_MONOTONIC, &next);
    while (!g_stop.load()) {
        service.tick(&g_stop);
        // Ticks never overlap: a tick that fell due while this one ran is skipped.
        timespec now {};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        do {
            next.tv_nsec += PeriodNs;
            if (next.tv_nsec >= 1'000'000'000) {
                next.tv_nsec -= 1'000'000'000;
                ++next.tv_sec;
            }
        } while (next.tv_sec < now.tv_sec || (next.tv_sec == now.tv_sec && next.tv_nsec <= now.tv_nsec));
        // Until the next tick, files renamed into Temp are filed as they arrive; a steady
        // stream of them never keeps the tick from its turn.
        while (!g_stop.load() && service.waitForArrivals(next, &g_stop)) {
            service.takeArrivals(&g_stop);
            ::clock_gettime(CLOCK_MONOTONIC, &now);
            if (now.tv_sec > next.tv_sec || (now.tv_sec == next.tv_sec && now.tv_nsec >= next.tv_nsec))
                break;
        }
    }
    return 0;
}
