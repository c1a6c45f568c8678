#include "log/error_log.h"

#include <filesystem>

#include "core/datefmt.h"
#include "core/paths.h"
#include "log/rotating_file.h"

namespace corva::log {

namespace {

// An entry is one line: line breaks inside a text (database messages quote their
// statement) would split it, so they become blanks.
std::string oneLine(std::string text)
{
    for (char& c : text)
        if (c == '\r' || c == '\n')
            c = ' ';
    return text;
}
}  // namespace

void LogError(std::int32_t number, const std::string& description, const std::string& location)
{
    // Each step may fail on its own; a failure loses the entry, never the caller's work.
    try {
        const std::filesystem::path file = programFolder() / folder::Logs / "Error.log";
        appendRotating(file, generalDate() + '#' + std::to_string(number) + " - " + oneLine(description) + ' ' +
                                 oneLine(location) + "\r\n");
    } catch (...) {
    }
}

}  // namespace corva::log
