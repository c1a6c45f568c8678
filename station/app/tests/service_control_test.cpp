#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <fstream>

#include "app/service_status.h"
#include "common/service_control.h"
#include "common/station_context.h"
#include "process/process.h"
#include "settings/settings.h"
#include "station_test_support.h"
#include "temp_dir.h"

namespace corva::station::test {
namespace {

// A port some other program listens on.
class BusyPort {
public:
    BusyPort() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        socklen_t length = sizeof address;
        if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::listen(fd_, 1) == 0 && ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            port_ = ntohs(address.sin_port);
    }
    ~BusyPort() {
        if (fd_ >= 0) ::close(fd_);
    }
    BusyPort(const BusyPort&) = delete;
    BusyPort& operator=(const BusyPort&) = delete;
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

class ServiceControlTest : public StationTest {
protected:
    bool haveIngrado() const {
        std::error_code ec;
        return std::filesystem::exists(corva::test::buildProgramFolder() / "Ingrado", ec);
    }
};

TEST_F(ServiceControlTest, StopWithoutRememberedIdDoesNothing) {
    auto& g = stationContext();
    ServiceControl services(g);
    services.StopReceiver();
    services.StopIngestService();
    EXPECT_EQ(g.receiverPid, 0);
    EXPECT_EQ(g.ingestPid, 0);
}

TEST_F(ServiceControlTest, MissingProgramsOrEmptyPortStartNothing) {
    auto& g = stationContext();
    ServiceControl services(g);
    services.StartIngestService();  // the program folder holds no Ingrado
    EXPECT_EQ(g.ingestPid, 0);
    std::filesystem::copy_file(folder_->path() / "Data" / "QADef.dat", folder_->path() / "Recvora");
    settings::current().irPort.clear();
    services.StartReceiver();  // no port: not started
    EXPECT_EQ(g.receiverPid, 0);
}

TEST_F(ServiceControlTest, StartsAndStopsTheIngestService) {
    if (!haveIngrado()) GTEST_SKIP() << "Ingrado not built";
    folder_->copyExecutable("Ingrado");
    auto& g = stationContext();
    ServiceControl services(g);
    services.StartIngestService();
    ASSERT_GT(g.ingestPid, 0);
    const int pid = g.ingestPid;
    EXPECT_TRUE(ServiceControl::IsProcessAlive(pid));
    services.StopIngestService();
    EXPECT_EQ(g.ingestPid, 0);
    EXPECT_TRUE(waitFor([&] { return !ServiceControl::IsProcessAlive(pid); }));
}

TEST_F(ServiceControlTest, ARunningServiceIsNeitherStartedAgainNorRemembered) {
    if (!haveIngrado()) GTEST_SKIP() << "Ingrado not built";
    const auto program = folder_->copyExecutable("Ingrado");
    const int running = process::startDetached(program, {}, folder_->path());
    ASSERT_GT(running, 0);
    ASSERT_TRUE(waitFor([&] { return ServiceControl::findServiceIn(folder_->path(), "Ingrado") != 0; }));
    auto& g = stationContext();
    settings::current().irPort.clear();  // keeps the receiver out of this test
    ServiceControl(g).startServicesAtLoad();
    EXPECT_EQ(g.ingestPid, 0);  // a start would have remembered its id
    process::stop(running);
}

// The ingest service of another installation on this machine works for its own folder:
// ours is started all the same.
TEST_F(ServiceControlTest, AnotherFoldersServiceDoesNotKeepOursFromStarting) {
    if (!haveIngrado()) GTEST_SKIP() << "Ingrado not built";
    corva::test::ProgramFolder other;
    const auto otherProgram = other.copyExecutable("Ingrado");
    const int foreign = process::startDetached(otherProgram, {}, other.path());
    ASSERT_GT(foreign, 0);
    ASSERT_TRUE(waitFor([&] { return !process::findByExecutable(otherProgram).empty(); }));
    folder_->copyExecutable("Ingrado");
    auto& g = stationContext();
    settings::current().irPort.clear();
    ServiceControl services(g);
    EXPECT_EQ(services.findService(IngestServiceName), 0);
    services.startServicesAtLoad();
    EXPECT_GT(g.ingestPid, 0);
    EXPECT_TRUE(waitFor([&] { return services.findService(IngestServiceName) == g.ingestPid; }));
    EXPECT_TRUE(ServiceStatus::read(g).ingestRunning);
    services.StopIngestService();
    process::stop(foreign);
}

// Units of systemd that start this folder's programs (an installed package): systemd runs
// the services, so the station starts no copy of its own and asks systemctl instead. The
// machine's own systemctl answers; without a running systemd it refuses.
TEST_F(ServiceControlTest, AServiceWithAUnitIsLeftToSystemd) {
    const corva::test::TempDir units("corva-units");
    const auto lib = units.path() / "lib";
    const auto running = units.path() / "run-systemd";
    std::filesystem::create_directories(lib);
    std::filesystem::create_directories(running);
    for (const char* name : {"Recvora", "Ingrado"}) {
        const auto program = folder_->copyExecutable(name);
        std::string lower = name;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        corva::test::writeFile(lib / ("corvalight-" + lower + ".service"),
                               "[Service]\nExecStart=" + program.string() + "\nUser=corvalight\n");
    }
    auto& g = stationContext();
    g.units = process::UnitSearch{{lib}, running, "systemctl"};
    settings::current().irPort = std::to_string(corva::test::freePort());
    ServiceControl services(g);
    ASSERT_TRUE(services.unitOf(ReceiverName));
    ASSERT_TRUE(services.unitOf(IngestServiceName));

    services.startServicesAtLoad();
    EXPECT_EQ(g.receiverPid, 0);
    EXPECT_EQ(g.ingestPid, 0);
    EXPECT_EQ(services.findService(ReceiverName), 0);
    EXPECT_EQ(services.findService(IngestServiceName), 0);

    // Started by hand, a process of the folder's program is not the unit's service.
    const int stray = process::startDetached(folder_->executable("Ingrado"), {}, folder_->path());
    ASSERT_GT(stray, 0);
    ASSERT_TRUE(waitFor([&] { return services.findService(IngestServiceName) != 0; }));
    EXPECT_FALSE(services.isRunning(IngestServiceName));
    EXPECT_FALSE(ServiceStatus::read(g).ingestRunning);
    process::stop(stray);

    // A start goes to systemctl, whose refusal is told; no process is started or remembered.
    const std::string refused = services.startService(IngestServiceName);
    EXPECT_FALSE(refused.empty());
    EXPECT_EQ(g.ingestPid, 0);
    EXPECT_FALSE(services.stopService(ReceiverName).empty());

    // Without a running systemd the station runs the programs itself, as always.
    std::filesystem::remove(running);
    EXPECT_FALSE(services.unitOf(IngestServiceName));
    EXPECT_EQ(services.startService(IngestServiceName), "");
    EXPECT_GT(g.ingestPid, 0);
    EXPECT_TRUE(waitFor([&] { return services.isRunning(IngestServiceName); }));
    EXPECT_EQ(services.stopService(IngestServiceName), "");
    EXPECT_EQ(g.ingestPid, 0);
}

TEST_F(ServiceControlTest, NoteNamesTheServicesThatDoNotRun) {
    ServiceState state;
    EXPECT_EQ(ServiceStatus::note(state),
              "Recvora not running: nothing is received; Ingrado not running: images wait in Temp");
    state.receiverRunning = state.ingestRunning = true;
    EXPECT_EQ(ServiceStatus::note(state), "");
    // A running ingest service that cannot file says why.
    state.ingestProblem = "Ingrado cannot write the image database: disk full";
    EXPECT_EQ(ServiceStatus::note(state), "Ingrado cannot write the image database: disk full - images wait in Temp");
    state.ingestProblem.clear();
    state.receiverRunning = false;
    state.receiverFailure = "Recvora cannot start: port 105 ...";
    EXPECT_EQ(ServiceStatus::note(state),
              "Recvora not running, nothing is received - Recvora cannot start: port 105 ...");

    // Only a failure of the receiver's last start counts.
    const auto logs = folder_->logs();
    std::filesystem::create_directories(logs);
    const auto writeLog = [&](const std::string& text) { std::ofstream(logs / "Recvora.log") << text; };
    EXPECT_EQ(ServiceStatus::receiverFailure(logs), "");
    writeLog("2026-12-10 05:00:00 Recvora starting as CORVA on port 104\n"
             "2026-12-10 05:10:00 Recvora stopped\n"
             "2026-12-10 05:20:00 Recvora cannot start: cannot listen on port 105 (setcap)\r\n");
    EXPECT_EQ(ServiceStatus::receiverFailure(logs), "Recvora cannot start: cannot listen on port 105 (setcap)");
    writeLog("2026-12-10 05:20:00 Recvora cannot start: cannot listen on port 105\n"
             "2026-12-10 05:30:00 Recvora starting as CORVA on port 11112\n");
    EXPECT_EQ(ServiceStatus::receiverFailure(logs), "");
}

// The real receiver on a port it cannot listen on: it ends, and the operator is told why.
TEST_F(ServiceControlTest, ReceiverThatCannotListenIsShownWithItsReason) {
    std::error_code ec;
    if (!std::filesystem::exists(corva::test::buildProgramFolder() / "Recvora", ec)) GTEST_SKIP() << "Recvora not built";
    BusyPort busy;
    ASSERT_GT(busy.port(), 0);
    settings::current().irPort = std::to_string(busy.port());
    settings::SaveSettings(settings::current());
    const auto program = folder_->copyExecutable("Recvora");
    auto& g = stationContext();
    ServiceControl(g).StartReceiver();
    ASSERT_GT(g.receiverPid, 0);
    ASSERT_TRUE(waitFor([&] { return !ServiceStatus::receiverFailure(folder_->logs()).empty(); }))
        << "no reason in the receiver's log";
    ASSERT_TRUE(waitFor([&] { return !ServiceStatus::read(g).receiverRunning; }));
    const ServiceState state = ServiceStatus::read(g);
    EXPECT_EQ(state.receiverFailure.rfind("Recvora cannot start: ", 0), 0u) << state.receiverFailure;
    const QString note = ServiceStatus::note(state);
    EXPECT_TRUE(note.startsWith("Recvora not running, nothing is received - Recvora cannot start: ")) << note.toStdString();
    g.receiverPid = 0;
}

}  // namespace
}  // namespace corva::station::test
