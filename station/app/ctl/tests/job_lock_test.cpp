// The job lock in one process (each tryAcquire opens the file anew, so two objects
// exclude each other as two programs do) and the station's job window honouring it.
#include <gtest/gtest.h>

#include <QPushButton>
#include <memory>

#include "common/job_lock.h"
#include "jobs/edit_form.h"
#include "station_test_support.h"
#include "temp_dir.h"

namespace corva::station {
namespace {

TEST(JobLock, OneHolderAtATimeAndNoneWithoutAFolder) {
    corva::test::TempDir dir;
    {
        JobLock first = JobLock::tryAcquire(dir.path());
        EXPECT_EQ(first.state(), JobLock::State::Held);
        EXPECT_EQ(JobLock::tryAcquire(dir.path()).state(), JobLock::State::Busy);
        JobLock moved = std::move(first);  // the lock goes with the object
        EXPECT_EQ(first.state(), JobLock::State::Unavailable);
        EXPECT_EQ(JobLock::tryAcquire(dir.path()).state(), JobLock::State::Busy);
    }
    EXPECT_EQ(JobLock::acquire(dir.path()).state(), JobLock::State::Held);
    EXPECT_EQ(JobLock::tryAcquire(dir.path() / "missing").state(), JobLock::State::Unavailable);
    EXPECT_EQ(JobLock::tryAcquire({}).state(), JobLock::State::Unavailable);
}

// A job that only counts what the window did with it.
class CountingJob : public jobs::Job {
public:
    std::string caption() const override { return "Delete images"; }
    jobs::JobOutcome run(jobs::JobReport& report) override {
        ++runs;
        report.appendLog("Tasks done.");
        return {};
    }
    void windowClosed() override { ++closed; }
    int runs = 0;
    int closed = 0;
};

class JobWindowLockTest : public test::StationTest {};

TEST_F(JobWindowLockTest, ABusyLockKeepsTheWindowShutAndTellsTheOperator) {
    auto job = std::make_shared<CountingJob>();
    {
        const JobLock held = JobLock::tryAcquire(stationContext().paths.dataFolder);
        ASSERT_TRUE(held.held());
        jobs::runJobWindow(jobs::JobKind::DeleteStudy, job);
    }
    EXPECT_EQ(job->runs, 0);
    EXPECT_EQ(job->closed, 1);  // a send job's association is released
    EXPECT_TRUE(op_.shownOf(ScriptedOperator::Kind::Window).empty());
    EXPECT_EQ(op_.messages(), QStringList{QString::fromLatin1(jobs::JobBusyMessage)});

    // Free again: the window runs the job.
    op_.clear();
    op_.answerWindow(ScriptedOperator::runModal([](QDialog& d) {
        auto& form = static_cast<jobs::EditForm&>(d);
        if (test::waitFor([&] { return form.cmdOK()->isEnabled(); })) form.cmdOK()->click();
    }));
    jobs::runJobWindow(jobs::JobKind::DeleteStudy, job);
    EXPECT_EQ(job->runs, 1);
    EXPECT_TRUE(op_.messages().isEmpty());
}

}  // namespace
}  // namespace corva::station
