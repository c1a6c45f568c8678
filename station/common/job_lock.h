#pragma once
// The job lock of a program folder: while a job works on the station's images (the job
// window, corvactl), no second job starts on them. One lock for the whole image store,
// an flock on Data/.joblock, so it holds across programs and ends with the process that
// held it, also when that process is killed.
//
//   auto lock = JobLock::tryAcquire(paths.dataFolder);
//   if (lock.state() == JobLock::State::Busy) ...   // another job runs: do not start
#include <filesystem>
#include <string>

namespace corva::station {

class JobLock {
public:
    enum class State {
        Held,         // this object holds the lock
        Busy,         // another job holds it
        Unavailable,  // the lock file could not be opened (no Data folder): nothing is locked
    };

    // Takes the lock if it is free; never waits.
    static JobLock tryAcquire(const std::filesystem::path& dataFolder);
    // Waits until the lock is free and takes it.
    static JobLock acquire(const std::filesystem::path& dataFolder);

    JobLock(JobLock&& other) noexcept;
    JobLock& operator=(JobLock&& other) noexcept;
    JobLock(const JobLock&) = delete;
    JobLock& operator=(const JobLock&) = delete;
    ~JobLock();

    State state() const { return state_; }
    bool held() const { return state_ == State::Held; }
    // Why the lock was unavailable.
    const std::string& error() const { return error_; }

    // The lock file of a Data folder.
    static std::filesystem::path lockFile(const std::filesystem::path& dataFolder);

private:
    JobLock() = default;
    static JobLock take(const std::filesystem::path& dataFolder, bool wait);
    void release();

    int fd_ = -1;
    State state_ = State::Unavailable;
    std::string error_;
};

}  // namespace corva::station
