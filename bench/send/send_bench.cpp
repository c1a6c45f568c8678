// Sending speed (not a test): the study send job against storescp, and DCMTK's storescu
// sending the same files to the same storescp, for many small and a few large files.
//   send_bench [small-count] [large-count] [rounds]     (defaults 500, 20 and 5)
//
// Each round times both senders, in alternating order, each into an emptied inbox after
// the disk has caught up (sync): otherwise whoever runs first pays for the write-back of
// the freshly generated files. An untimed send comes before the first round. The job's time includes the destination check (the
// association the operator's command opens before the job), as storescu's includes its
// own association. Both processes see TCP_NODELAY=1 (storescp inherits it from here).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/error.h"
#include "db/database.h"
#include "db/schema.h"
#include "dicom/dicom.h"
#include "dicom_fixture.h"
#include "jobs/send_jobs.h"
#include "temp_dir.h"

using namespace corva;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

extern char** environ;

namespace {

pid_t spawn(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        std::perror(argv[0]);
        std::exit(1);
    }
    return pid;
}

double seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

// Processor time (user + system) of this process so far.
double cpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return seconds(u.ru_utime) + seconds(u.ru_stime);
}

// Starts a new peak of this process's resident memory (Linux: "5" to clear_refs).
void resetPeakMemory() {
    if (FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
        std::fputs("5", f);
        std::fclose(f);
    }
}

// The peak resident memory since the last reset, in MB (VmHWM).
double peakMemoryMb() {
    double kb = 0;
    if (FILE* f = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, f))
            if (std::sscanf(line, "VmHWM: %lf kB", &kb) == 1) break;
        std::fclose(f);
    }
    return kb / 1024;
}

// Waits for the child; its processor time goes to `cpu` when given.
int waitFor(pid_t pid, double* cpu = nullptr) {
    int status = 0;
    rusage u{};
    ::wait4(pid, &status, 0, &u);
    if (cpu) *cpu = seconds(u.ru_utime) + seconds(u.ru_stime);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void waitUntilListening(int port) {
    for (int i = 0; i < 400; ++i) {
        try {
            dicom::Association a;
            a.open("127.0.0.1", port, "BENCH", "STORESCP", {}, 2);
            a.echo();
            return;
        } catch (const Error&) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    std::fprintf(stderr, "storescp does not answer\n");
    std::exit(1);
}

// Files of one study in `folder`: `count` images of rows x columns, 16 bits, noisy.
void writeStudy(const fs::path& folder, const std::string& studyUid, int count, int rows, int columns) {
    std::mt19937 rng(7);
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(rows) * columns * 2);
    for (auto& b : pixels) b = static_cast<std::uint8_t>(rng() & 0x0F);
    for (int i = 0; i < count; ++i) {
        test::DicomRecipe recipe;
        recipe.studyUid = studyUid;
        recipe.rows = rows;
        recipe.columns = columns;
        recipe.sopClassUid = dicom::uid::DigitalMammographyForPresentation;
        recipe.modality = "MG";
        dicom::Image image = test::makeImage(recipe);
        image.setPixelData(rows, columns, 16, pixels);
        image.write(folder / (image.sopInstanceUid() + ".dcm"));
    }
}

// Empties the inbox and lets the disk catch up, so that every sender starts alike.
void settle(const fs::path& inbox) {
    for (const auto& e : fs::directory_iterator(inbox)) fs::remove(e.path());
    ::sync();
}

int filesIn(const fs::path& folder) {
    int n = 0;
    for (const auto& e : fs::directory_iterator(folder)) n += e.is_regular_file() ? 1 : 0;
    return n;
}

struct Quiet : station::jobs::JobReport {
    void setCaption(const std::string&, const std::string&) override {}
    void appendLog(const std::string&) override {}
    void setProgressMaximum(double) override {}
    void setProgress(double) override {}
    void unexpectedError(int, const std::string& d) override { std::fprintf(stderr, "%s\n", d.c_str()); }
};

struct Timing {
    double wall = 0;
    double cpu = 0;     // processor time of the sender itself (not of storescp)
    double peakMb = 0;  // the job's peak resident memory (the whole bench process)
};

Timing timeJob(const fs::path& program, const std::string& studyUid, int port, int& sent) {
    station::jobs::SendSetup setup;
    setup.target.paths = station::ProgramPaths::compute(program);
    setup.target.selection.studyUid = studyUid;
    setup.target.selection.studyId = "1";
    setup.destination = {"STORESCP", "127.0.0.1", std::to_string(port), "LUMENPOST"};
    setup.keep = true;
    Quiet report;
    resetPeakMemory();
    const double cpu0 = cpuSeconds();
    const auto t0 = Clock::now();
    station::jobs::SendJob job(station::jobs::SendJob::Level::Study, setup,
                               station::jobs::openDestination(setup.destination));
    job.run(report);
    job.windowClosed();
    Timing t;
    t.wall = std::chrono::duration<double>(Clock::now() - t0).count();
    t.cpu = cpuSeconds() - cpu0;
    t.peakMb = peakMemoryMb();
    sent = job.imagesSent();
    return t;
}

Timing timeStorescu(const fs::path& folder, int port) {
    const auto t0 = Clock::now();
    // storescu proposes the files' own SOP classes and syntaxes (+sd scans the folder).
    const pid_t scu = spawn({"storescu", "-aet", "LUMENPOST", "-aec", "STORESCP", "+sd", "-nh", "127.0.0.1",
                             std::to_string(port), folder.string()});
    Timing t;
    if (waitFor(scu, &t.cpu) != 0) std::fprintf(stderr, "storescu failed\n");
    t.wall = std::chrono::duration<double>(Clock::now() - t0).count();
    return t;
}

double minimum(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void measure(const char* name, int count, int rows, int columns, int rounds) {
    if (count <= 0 || rounds <= 0) return;
    test::TempDir dir("send-bench");
    const fs::path program = dir.path();
    for (const char* f : {"bin", "Images", "Data", "inbox"}) fs::create_directories(program / f);
    {
        db::Database db(program / "Data" / "QAData.dat", true);
        db::createImageSchema(db);
    }
    const std::string studyUid = test::uniqueUid();
    writeStudy(program / "bin", studyUid, count, rows, columns);
    std::uintmax_t bytes = 0;
    for (const auto& e : fs::directory_iterator(program / "bin")) bytes += e.file_size();
    const double mb = static_cast<double>(bytes) / 1e6;

    const int port = test::freePort();
    const pid_t scp = spawn({"storescp", "-aet", "STORESCP", "-od", (program / "inbox").string(), std::to_string(port)});
    waitUntilListening(port);

    // One send nobody is timed by: the first files written into a fresh inbox are slower.
    timeStorescu(program / "bin", port);
    std::vector<double> job, scu, jobCpu, scuCpu;
    double jobPeakMb = 0;
    for (int r = 0; r < rounds; ++r) {
        for (int k = 0; k < 2; ++k) {
            settle(program / "inbox");
            if ((k == 0) == (r % 2 == 0)) {
                int sent = 0;
                const Timing t = timeJob(program, studyUid, port, sent);
                job.push_back(t.wall);
                jobCpu.push_back(t.cpu);
                jobPeakMb = std::max(jobPeakMb, t.peakMb);
                if (sent != count) std::fprintf(stderr, "the job sent %d of %d\n", sent, count);
            } else {
                const Timing t = timeStorescu(program / "bin", port);
                scu.push_back(t.wall);
                scuCpu.push_back(t.cpu);
            }
            const int arrived = filesIn(program / "inbox");
            if (arrived != count) std::fprintf(stderr, "%d of %d files arrived\n", arrived, count);
        }
        std::printf("  %-28s round %d: send job %6.3f s (cpu %6.3f) | storescu %6.3f s (cpu %6.3f)\n", name, r + 1,
                    job.back(), jobCpu.back(), scu.back(), scuCpu.back());
    }
    ::kill(scp, SIGTERM);
    waitFor(scp);
    std::printf("%-28s %4d files %7.1f MB | send job min %6.3f med %6.3f s | storescu min %6.3f med %6.3f s"
                " | rate vs storescu: min %.2f, median %.2f | cpu median: job %.3f s, storescu %.3f s"
                " | job peak memory %.0f MB\n",
                name, count, mb, minimum(job), median(job), minimum(scu), median(scu), minimum(scu) / minimum(job),
                median(scu) / median(job), median(jobCpu), median(scuCpu), jobPeakMb);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const int small = argc > 1 ? std::atoi(argv[1]) : 500;
    const int large = argc > 2 ? std::atoi(argv[2]) : 20;
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 5;
    dicom::initNetwork();  // sets TCP_NODELAY=1, which the storescp and storescu started here inherit
    measure("small (64 x 64)", small, 64, 64, rounds);
    measure("large (4096 x 3328, 27 MB)", large, 4096, 3328, rounds);
    return 0;
}
