#include "app/service_control.h"
#include "common/station_context.h"
#include "process/process.h"
#include "settings/settings.h"
#include "station_test_support.h"

namespace corva::station::test {
namespace {

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
    ASSERT_TRUE(waitFor([] { return ServiceControl::FindProcessId("ingrado") != 0; }));
    auto& g = stationContext();
    settings::current().irPort.clear();  // keeps the receiver out of this test
    ServiceControl(g).startServicesAtLoad();
    EXPECT_EQ(g.ingestPid, 0);  // a start would have remembered its id
    process::stop(running);
}

}  // namespace
}  // namespace corva::station::test
