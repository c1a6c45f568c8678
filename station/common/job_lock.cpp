#include "common/job_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace corva::station {

std::filesystem::path JobLock::lockFile(const std::filesystem::path& dataFolder) { return dataFolder / ".joblock"; }

JobLock JobLock::tryAcquire(const std::filesystem::path& dataFolder) { return take(dataFolder, false); }

JobLock JobLock::acquire(const std::filesystem::path& dataFolder) { return take(dataFolder, true); }

JobLock JobLock::take(const std::filesystem::path& dataFolder, bool wait) {
    JobLock lock;
    if (dataFolder.empty()) {
        lock.error_ = "no Data folder";
        return lock;
    }
    // The file stays: removing it would let a waiter lock an unlinked file while a
    // newcomer locks a fresh one.
    const std::string file = lockFile(dataFolder).string();
    lock.fd_ = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (lock.fd_ < 0) {
        lock.error_ = file + ": " + std::strerror(errno);
        return lock;
    }
    int rc;
    do {
        rc = ::flock(lock.fd_, wait ? LOCK_EX : LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) {
        lock.state_ = State::Held;
        return lock;
    }
    const int error = errno;
    ::close(lock.fd_);
    lock.fd_ = -1;
    if (error == EWOULDBLOCK) {
        lock.state_ = State::Busy;
    } else {
        lock.error_ = file + ": " + std::strerror(error);
    }
    return lock;
}

JobLock::JobLock(JobLock&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      state_(std::exchange(other.state_, State::Unavailable)),
      error_(std::move(other.error_)) {}

JobLock& JobLock::operator=(JobLock&& other) noexcept {
    if (this != &other) {
        release();
        fd_ = std::exchange(other.fd_, -1);
        state_ = std::exchange(other.state_, State::Unavailable);
        error_ = std::move(other.error_);
    }
    return *this;
}

JobLock::~JobLock() { release(); }

void JobLock::release() {
    if (fd_ >= 0) ::close(fd_);  // closing the descriptor ends the flock
    fd_ = -1;
}

}  // namespace corva::station
