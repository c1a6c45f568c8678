#include "log/error_log.h"

#include <filesystem>
#include <fstream>

#include "core/datefmt.h"
#include "core/paths.h"

namespace corva::log {

namespace {
constexpr std::uintmax_t MaxLogBytes = 1'000'000;

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
        namespace fs = std::filesystem;
        const fs::path folder = programFolder() / folder::Logs;
        const fs::path file = folder / "Error.log";
        std::error_code ec;
        const auto size = fs::file_size(file, ec);
        if (!ec && size > MaxLogBytes)
            fs::remove(file, ec);
        if (!fs::exists(folder, ec))
            fs::create_directory(folder, ec);
        std::ofstream out(file, std::ios::binary | std::ios::app);
        if (!out)
            return;
        out << generalDate() << '#' << number << " - " << oneLine(description) << ' ' << oneLine(location) << "\r\n";
    } catch (...) {
    }
}

}  // namespace corva::log
