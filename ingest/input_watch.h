#pragma once
// Watches the input folder (inotify) so that the service wakes as soon as a file
// arrives. A file renamed into the folder is complete by construction (the receiver
// writes it under another name first and renames it once it is on disk) and is taken at
// once. A file created or written in place, or renamed while a writer still had it open,
// is left to the scan's stability rule. Whatever the watch misses (a full event queue,
// a watch that could not be set, files there before the start) the periodic scan finds.
#include <time.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace corva::ingest {

class InputWatch {
public:
    // Sets the watch; when it cannot be set, active() is false and wait() only sleeps.
    explicit InputWatch(std::filesystem::path folder);
    ~InputWatch();
    InputWatch(const InputWatch&) = delete;
    InputWatch& operator=(const InputWatch&) = delete;

    bool active() const { return wd_ >= 0; }
    // Sets the watch again when the folder was removed or replaced; true when it is set.
    bool rearm();

    // Waits until events are there, `deadline` (CLOCK_MONOTONIC) has passed or `stop`
    // became true (a signal ends the wait early). True when events are there, also
    // when the deadline has passed already.
    bool wait(const timespec& deadline, const std::atomic<bool>* stop) const;

    // Reads the events there are, without waiting.
    void read();
    // The input names renamed in since the last call and not written, removed or
    // renamed away since, in order of arrival, each once.
    std::vector<std::string> takeArrived();
    // True once after events were lost (the kernel's queue overflowed) or the watch
    // ended: what arrived meanwhile is left to the scan.
    bool takeMissed();

private:
    void handle(std::uint32_t mask, std::uint32_t cookie, const std::string& name);
    void forget(const std::string& name);

    std::filesystem::path folder_;
    int fd_ = -1;
    int wd_ = -1;
    std::vector<std::string> arrived_;
    std::set<std::string> writing_;           // created here and not closed for writing since
    std::map<std::uint32_t, bool> renaming_;  // a rename within the folder: was the old name being written
    bool missed_ = false;
};

}  // namespace corva::ingest
