// Latency of filing: the real Recvora and Ingrado on a fresh program folder, one
// single-image association after another; for each image the time from the C-STORE
// response until its row is in tblImages. Prints median and worst. Built, never run
// by CTest.
//
//   recvora_latency_bench [--images 50] [--work DIR] [--ingrado PATH] [--before PATH]
//
// --before names another Ingrado (e.g. a build of the version before) measured in the
// same run, on the same images, after ours.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "db/database.h"
#include "dicom/dicom.h"
#include "dicom_fixture.h"

extern char** environ;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

const fs::path BuildProgram = CORVA_BUILD_PROGRAM_DIR;

std::string arg(int argc, char** argv, const std::string& name, const std::string& fallback)
{
    for (int i = 1; i + 1 < argc; ++i)
        if (argv[i] == "--" + name)
            return argv[i + 1];
    return fallback;
}

// A started program, ended with SIGTERM at the end of its scope.
class Program {
public:
    explicit Program(const fs::path& exe)
    {
        char* argv[] = {const_cast<char*>(exe.c_str()), nullptr};
        if (::posix_spawn(&pid_, exe.c_str(), nullptr, nullptr, argv, environ) != 0)
            pid_ = -1;
    }
    ~Program()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
    }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

private:
    pid_t pid_ = -1;
};

// A port free now: the kernel's choice for a socket bound to port 0, then closed.
int freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    if (fd >= 0)
        ::close(fd);
    return port;
}

struct Figures {
    double median = 0;
    double worst = 0;
    double p90 = 0;
};

Figures measure(const fs::path& ingrado, const std::vector<fs::path>& images, const std::vector<std::string>& uids,
                const fs::path& work)
{
    const fs::path site = work / "site";
    fs::remove_all(site);
    const fs::path prog = site / "program";
    fs::create_directories(prog / "Data");
    fs::create_directories(site / "config" / "ZKT");
    fs::copy_file(BuildProgram / "Data" / "QADef.dat", prog / "Data" / "QADef.dat");
    fs::copy_file(BuildProgram / "Recvora", prog / "Recvora");
    fs::copy_file(ingrado, prog / "Ingrado");
    const int port = freePort();
    std::ofstream(site / "config" / "ZKT" / "Lumenpost.conf") << "[Com]\nIR_AET=BENCH\nIR_Port=" << port << "\n";
    ::setenv("XDG_CONFIG_HOME", (site / "config").c_str(), 1);

    Program ingest(prog / "Ingrado");
    Program receiver(prog / "Recvora");
    const fs::path dbFile = prog / "Data" / "QAData.dat";
    for (int i = 0; i < 1000; ++i) {
        try {
            corva::dicom::Association a;
            a.open("127.0.0.1", port, "LATSCU", "BENCH", {}, 1);
            a.echo();
            a.close();
            if (fs::exists(dbFile))
                break;
        } catch (const std::exception&) {
        }
        std::this_thread::sleep_for(20ms);
    }
    corva::db::Database db(dbFile);
    std::vector<double> ms;
    for (std::size_t i = 0; i < images.size(); ++i) {
        corva::dicom::Association a;
        a.open("127.0.0.1", port, "LATSCU", "BENCH");
        a.sendFile(images[i]);
        const auto answered = Clock::now();
        // The release comes after: the row may be there before the association is over.
        for (;;) {
            corva::db::Statement st(db, "SELECT 1 FROM tblImages WHERE ImageUID = ?");
            st.bind(1, uids[i]);
            if (st.step())
                break;
            if (Clock::now() - answered > 30s) {
                std::fprintf(stderr, "image %zu not filed after 30 s\n", i);
                std::exit(1);
            }
            std::this_thread::sleep_for(500us);
        }
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - answered).count());
        a.close();
        // Apart, as single images from a modality come; the phase to the tick varies.
        std::this_thread::sleep_for(std::chrono::milliseconds(37 + 13 * (i % 7)));
    }
    std::sort(ms.begin(), ms.end());
    const std::size_t n = ms.size();
    Figures f;
    f.median = n % 2 ? ms[n / 2] : (ms[n / 2 - 1] + ms[n / 2]) / 2;
    f.worst = ms.back();
    f.p90 = ms[std::min(n - 1, n * 9 / 10)];
    return f;
}

}  // namespace

int main(int argc, char** argv)
{
    const int count = std::stoi(arg(argc, argv, "images", "50"));
    const fs::path work = arg(argc, argv, "work", "/tmp/recvora-latency-bench");
    const fs::path ours = arg(argc, argv, "ingrado", (BuildProgram / "Ingrado").string());
    const std::string before = arg(argc, argv, "before", "");
    fs::remove_all(work);
    fs::create_directories(work / "images");
    std::vector<fs::path> images;
    std::vector<std::string> uids;
    for (int i = 0; i < count; ++i) {
        corva::test::DicomRecipe recipe;
        recipe.sopInstanceUid = corva::test::uniqueUid();
        recipe.patientId = "LAT" + std::to_string(i / 4);
        recipe.instanceNumber = i % 4 + 1;
        uids.push_back(recipe.sopInstanceUid);
        images.push_back(corva::test::writeDicom(work / "images" / (recipe.sopInstanceUid + ".dcm"), recipe));
    }
    const Figures now = measure(ours, images, uids, work);
    std::printf("C-STORE response to row in tblImages, %d single-image associations: median %.1f ms, 90th %.1f ms, "
                "worst %.1f ms (%s)\n",
                count, now.median, now.p90, now.worst, ours.c_str());
    if (!before.empty()) {
        const Figures old = measure(before, images, uids, work);
        std::printf("before: median %.1f ms, 90th %.1f ms, worst %.1f ms (%s)\n", old.median, old.p90, old.worst,
                    before.c_str());
    }
    fs::remove_all(work);
    return 0;
}
