#include "input_watch.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "input_scanner.h"

namespace corva::ingest {

namespace {

// Writes themselves (IN_MODIFY) are not watched: a large file would wake the service for
// every block. A file created in the folder counts as being written until it is closed.
constexpr std::uint32_t WatchMask = IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_CLOSE_WRITE | IN_DELETE |
                                    IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

// Renames out of the folder are never paired; their cookies are dropped past this many.
constexpr std::size_t MaxOpenRenames = 1024;

}  // namespace

InputWatch::InputWatch(std::filesystem::path folder) : folder_(std::move(folder))
{
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    rearm();
}

InputWatch::~InputWatch()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool InputWatch::rearm()
{
    if (fd_ < 0)
        return false;
    if (wd_ < 0) {
        wd_ = ::inotify_add_watch(fd_, folder_.c_str(), WatchMask);
        // What the folder held meanwhile is the scan's to find.
        writing_.clear();
        renaming_.clear();
    }
    return wd_ >= 0;
}

bool InputWatch::wait(const timespec& deadline, const std::atomic<bool>* stop) const
{
    while (!(stop && stop->load())) {
        timespec now {};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        const long long leftMs = (static_cast<long long>(deadline.tv_sec) - now.tv_sec) * 1000 +
                                 (deadline.tv_nsec - now.tv_nsec + 999'999) / 1'000'000;
        if (fd_ < 0) {
            // No watch at all: a plain sleep, which a signal ends early.
            if (leftMs <= 0 || ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) != EINTR)
                return false;
            continue;
        }
        // Events there already are told also when the deadline has passed.
        pollfd p {fd_, POLLIN, 0};
        const int rc = ::poll(&p, 1, static_cast<int>(std::clamp<long long>(leftMs, 0, 60'000)));
        if (rc > 0)
            return true;
        if ((rc < 0 && errno != EINTR) || leftMs <= 0)
            return false;
    }
    return false;
}

void InputWatch::read()
{
    if (fd_ < 0)
        return;
    alignas(inotify_event) char buffer[16 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n <= 0)
            return;  // EAGAIN: nothing more waits
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
            inotify_event event {};
            std::memcpy(&event, buffer + at, sizeof event);
            const char* namePtr = buffer + at + sizeof(inotify_event);
            const std::string name = event.len ? std::string(namePtr, ::strnlen(namePtr, event.len)) : std::string();
            at += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
            if (event.mask & IN_Q_OVERFLOW) {
                // Lost events may have been writes: nothing known about writers holds.
                missed_ = true;
                writing_.clear();
                renaming_.clear();
                continue;
            }
            if (event.mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) {
                // The folder went or moved away: set again on the next tick.
                if (wd_ >= 0 && event.wd == wd_)
                    ::inotify_rm_watch(fd_, wd_);
                wd_ = -1;
                missed_ = true;
                continue;
            }
            if (event.wd == wd_ && !name.empty())
                handle(event.mask, event.cookie, name);
        }
    }
}

void InputWatch::handle(std::uint32_t mask, std::uint32_t cookie, const std::string& name)
{
    if (mask & IN_MOVED_FROM) {
        // Its old name is gone; the new one learns whether a writer still has the file.
        renaming_[cookie] = writing_.count(name) > 0;
        forget(name);
        if (renaming_.size() > MaxOpenRenames)
            renaming_.erase(renaming_.begin());
        return;
    }
    if (mask & IN_MOVED_TO) {
        forget(name);
        const auto from = renaming_.find(cookie);
        const bool stillWritten = from != renaming_.end() && from->second;
        if (from != renaming_.end())
            renaming_.erase(from);
        if (stillWritten)
            writing_.insert(name);
        else if (InputScanner::isInputName(name))
            arrived_.push_back(name);
        return;
    }
    if (mask & IN_CREATE) {
        // Made in place: the stability rule decides, also for a file renamed in before.
        forget(name);
        writing_.insert(name);
        return;
    }
    if (mask & IN_CLOSE_WRITE) {
        writing_.erase(name);
        return;
    }
    if (mask & IN_DELETE)
        forget(name);
}

void InputWatch::forget(const std::string& name)
{
    writing_.erase(name);
    arrived_.erase(std::remove(arrived_.begin(), arrived_.end(), name), arrived_.end());
}

std::vector<std::string> InputWatch::takeArrived()
{
    std::vector<std::string> names;
    names.swap(arrived_);
    return names;
}

bool InputWatch::takeMissed()
{
    return std::exchange(missed_, false);
}

}  // namespace corva::ingest
