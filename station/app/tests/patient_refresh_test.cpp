#include "browser/patient_refresh.h"
#include "common/station_context.h"
#include "station_test_support.h"

namespace corva::station::test {
namespace {

struct DecideCase {
    bool locked, poll;
    int received;
    RefreshStep expected;
};

void PrintTo(const DecideCase& c, std::ostream* os) {
    *os << (c.locked ? "locked" : "unlocked") << (c.poll ? ", timer tick" : ", on demand") << ", " << c.received
        << " received";
}

class DecideRefresh : public ::testing::TestWithParam<DecideCase> {};

TEST_P(DecideRefresh, LockPollFlagAndReceiveTable) {
    const auto c = GetParam();
    EXPECT_EQ(decideRefresh(c.locked, c.poll, c.received), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, DecideRefresh,
                         ::testing::Values(DecideCase{true, true, 5, RefreshStep::Locked},
                                           DecideCase{true, false, 0, RefreshStep::Locked},
                                           DecideCase{false, true, 0, RefreshStep::Unchanged},
                                           DecideCase{false, true, 1, RefreshStep::Reload},
                                           DecideCase{false, false, 0, RefreshStep::Reload}));

class PatientRefreshTest : public StationTest {};

TEST_F(PatientRefreshTest, TicksReloadOnlyWhenFilesWereReceived) {
    addPatient("P1", "Muster", "Anna");
    auto& g = stationContext();
    for (int tick = 0; tick < 10; ++tick)
        EXPECT_EQ(refreshPatients(g, RefreshCause::TimerTick).step, RefreshStep::Unchanged);
    addReceiveRow();
    const auto result = refreshPatients(g, RefreshCause::TimerTick);
    EXPECT_EQ(result.step, RefreshStep::Reload);
    ASSERT_EQ(result.patients.size(), 1u);
    EXPECT_EQ(result.patients[0].id, "P1");
    EXPECT_EQ(countRows("tblReceive"), 0);
    EXPECT_FALSE(g.dataDb.isOpen());
}

TEST_F(PatientRefreshTest, NeverUnderTheRefreshLock) {
    addReceiveRow();
    auto& g = stationContext();
    {
        RefreshLockGuard lock;
        for (auto cause : {RefreshCause::TimerTick, RefreshCause::Explicit})
            EXPECT_EQ(refreshPatients(g, cause).step, RefreshStep::Locked);
        EXPECT_EQ(countRows("tblReceive"), 1);
    }
    EXPECT_FALSE(g.refreshLock);
    EXPECT_EQ(refreshPatients(g, RefreshCause::Explicit).step, RefreshStep::Reload);
    EXPECT_EQ(countRows("tblReceive"), 0);
}

// A timer tick while the job window was open must not turn the refresh the job asks for
// afterwards into "nothing arrived": deleted patients would stay listed.
TEST_F(PatientRefreshTest, TheRefreshAfterAJobReloadsAlthoughATickFellInTheJob) {
    addPatient("P1", "Muster", "Anna");
    auto& g = stationContext();
    {
        RefreshLockGuard job;
        EXPECT_EQ(refreshPatients(g, RefreshCause::TimerTick).step, RefreshStep::Locked);
    }
    const auto after = refreshPatients(g, RefreshCause::Explicit);
    EXPECT_EQ(after.step, RefreshStep::Reload);
    EXPECT_EQ(after.patients.size(), 1u);
}

TEST_F(PatientRefreshTest, DatabaseErrorIsLoggedAndChangesNothing) {
    auto db = openImageDb();
    db.exec("DROP TABLE tblReceive");
    db.close();
    auto& g = stationContext();
    EXPECT_EQ(refreshPatients(g, RefreshCause::Explicit).step, RefreshStep::Unchanged);
    EXPECT_NE(errorLog().find("MainForm_RefreshPatientList"), std::string::npos);
}

}  // namespace
}  // namespace corva::station::test
