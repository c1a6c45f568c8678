// Sending speed (not a test): the study send job against storescp, and DCMTK's storescu
// sending the same files to the same storescp, for many small and a few large files.
//   send_bench [small-count] [large-count]     (defaults 500 and 20)
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
#include <sys/wait.h>

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

int waitFor(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
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

struct Run {
    double jobSeconds = 0;
    double storescuSeconds = 0;
    int sent = 0;
};

Run measure(const char* name, int count, int rows, int columns) {
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

    const int port = test::freePort();
    const pid_t scp = spawn({"storescp", "-aet", "STORESCP", "-od", (program / "inbox").string(), std::to_string(port)});
    waitUntilListening(port);

    Run run;
    {
        station::jobs::SendSetup setup;
        setup.target.paths = station::ProgramPaths::compute(program);
        setup.target.selection.studyUid = studyUid;
        setup.target.selection.studyId = "1";
        setup.destination = {"STORESCP", "127.0.0.1", std::to_string(port), "LUMENPOST"};
        setup.keep = true;
        struct Quiet : station::jobs::JobReport {
            void setCaption(const std::string&, const std::string&) override {}
            void appendLog(const std::string&) override {}
            void setProgressMaximum(double) override {}
            void setProgress(double) override {}
            void unexpectedError(int, const std::string& d) override { std::fprintf(stderr, "%s\n", d.c_str()); }
        } report;
        station::jobs::SendJob job(station::jobs::SendJob::Level::Study, setup,
                                   station::jobs::openDestination(setup.destination));
        const auto t0 = Clock::now();
        job.run(report);
        job.windowClosed();
        run.jobSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
        run.sent = job.imagesSent();
    }
    {
        const auto t0 = Clock::now();
        // storescu proposes the files' own SOP classes and syntaxes (+sd scans the folder).
        const pid_t scu = spawn({"storescu", "-aet", "LUMENPOST", "-aec", "STORESCP", "+sd", "-nh", "127.0.0.1",
                                 std::to_string(port), (program / "bin").string()});
        if (waitFor(scu) != 0) std::fprintf(stderr, "storescu failed\n");
        run.storescuSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
    }
    ::kill(scp, SIGTERM);
    waitFor(scp);
    const double mb = static_cast<double>(bytes) / 1e6;
    std::printf("%-28s %4d files %8.1f MB | send job %7.2f s (%6.1f MB/s, %d sent) | storescu %7.2f s (%6.1f MB/s)\n",
                name, count, mb, run.jobSeconds, mb / run.jobSeconds, run.sent, run.storescuSeconds,
                mb / run.storescuSeconds);
    return run;
}

}  // namespace

int main(int argc, char** argv) {
    const int small = argc > 1 ? std::atoi(argv[1]) : 500;
    const int large = argc > 2 ? std::atoi(argv[2]) : 20;
    measure("small (64 x 64)", small, 64, 64);
    measure("large (4096 x 3328, 27 MB)", large, 4096, 3328);
    return 0;
}
