#pragma once
// Logs/Recvora.log: one line per event, the general date first. Shared by the
// association threads, so each line is written whole under a lock.
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

namespace corva::receiver {

class ReceiverLog {
public:
    // Creates the folder when missing; a log that cannot be opened drops its lines.
    explicit ReceiverLog(const std::filesystem::path& file);

    // Appends "<date> <text>" as one line (oneLine), so that a peer's text cannot forge lines.
    void write(const std::string& text);

    // Line breaks (with the blanks after them) become "; ", a tab a blank, any other
    // control character "\xNN".
    static std::string oneLine(const std::string& text);

private:
    struct FileCloser {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::mutex mutex_;
    std::unique_ptr<std::FILE, FileCloser> file_;
};

}  // namespace corva::receiver
