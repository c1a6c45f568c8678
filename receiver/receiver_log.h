#pragma once
// Logs/Recvora.log: one line per event, the general date first. Shared by the
// association threads, so each line is written whole under a lock. Rotated by size as
// the other logs (10 MB, five generations Recvora.log.1 to .5).
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace corva::receiver {

class ReceiverLog {
public:
    // Creates the folder when missing; a log that cannot be written drops its lines.
    explicit ReceiverLog(std::filesystem::path file);

    // Appends "<date> <text>" as one line (oneLine), so that a peer's text cannot forge lines.
    void write(const std::string& text);

    // Line breaks (with the blanks after them) become "; ", a tab a blank, any other
    // control character "\xNN".
    static std::string oneLine(const std::string& text);

private:
    std::mutex mutex_;
    std::filesystem::path file_;
};

// A fault that repeats while it lasts (a full disk, a host that keeps connecting without
// a word) is written once, when it begins; how often it came again is written when it
// is over or at the end, so that an outage cannot fill the log.
class ConditionLog {
public:
    explicit ConditionLog(ReceiverLog& log) : log_(log) {}

    // Writes `text` when `condition` is not already going on; else counts it.
    void problem(const std::string& condition, const std::string& text);
    // Ends the conditions named by `which`: those ending with it when it begins with
    // "@" (a peer's address), else those beginning with it.
    void resolved(const std::string& which);
    // Ends every condition (the receiver stops).
    void flush();

private:
    struct Ongoing {
        std::string text;
        long repeats = 0;
    };
    void end(const Ongoing& ongoing, const char* how);
    static constexpr std::size_t MaxOngoing = 1024;

    ReceiverLog& log_;
    std::mutex mutex_;
    std::map<std::string, Ongoing> ongoing_;
};

}  // namespace corva::receiver
