#pragma once
// What a running service wants the operator to know right now (Logs/<service>.note),
// e.g. "Ingrado cannot write the image database: disk full". The station's status bar
// and `corvactl services status` show it while the service runs. The file keeps a
// fixed size and is rewritten in place, so a note can still be set on a full disk.
#include <filesystem>
#include <string>

namespace corva::log {

class ServiceNote {
public:
    // The note file of `service` ("Ingrado") in `logsFolder`.
    ServiceNote(const std::filesystem::path& logsFolder, const std::string& service);

    // Creates the file at its full size with no note in it (at the service's start,
    // while there is room). False when it cannot be written.
    bool clear();
    // Sets the note (one line, cut to the file's size); an empty text clears it.
    bool set(const std::string& text);

    // The note in `logsFolder` of `service`; empty when there is none.
    static std::string read(const std::filesystem::path& logsFolder, const std::string& service);
    static std::filesystem::path file(const std::filesystem::path& logsFolder, const std::string& service);

    // Room for the text of a note.
    static constexpr std::size_t Size = 512;

private:
    std::filesystem::path file_;
};

}  // namespace corva::log
