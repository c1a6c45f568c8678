#pragma once
// The ingest service's two logs: Logs/Ingrado.log (errors and clean-up counts, rotated
// at 10 MB, five generations) and Logs/IngradoDebug.log (step-by-step trace, written
// only while debugging is on; it holds patient IDs and UIDs and says so in its first line).
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

namespace corva::ingest {

// The first line of every debug log.
inline constexpr const char* DebugLogHeader =
    "This log holds patient data (patient IDs and UIDs): keep it private, delete it when debugging is done.\n";

class IngestLog {
public:
    IngestLog(std::filesystem::path logsFolder, bool debug);

    // "<general date>[ ]<number> <text><tag>": the number gets a leading blank when it
    // is not negative. Never throws; a line that cannot be written is lost.
    // Every line is one line: control characters of text and tag (a file name from
    // outside may hold a line break) are written as "\xNN". While a file is in hand
    // (setFile) a line that does not name it gets " - file <name>" added, and a line
    // repeating the file's previous line is not written again but counted (endFile).
    void writeLog(std::int64_t number, const std::string& text, const std::string& tag);
    // "<general date><text>", only while debugging is on. A debug log past 1,000,000
    // bytes is first moved aside as IngradoDebug<hhmmss>.log.
    void writeDebugLog(const std::string& text);

    // The input file the following lines are about; empty for none.
    void setFile(const std::string& name) { file_ = name; }
    // The file is done with (registered, set aside or gone): a line it repeated is
    // written once more with its count, " (N times in all)".
    void endFile(const std::string& name);
    // Ends every file whose name `present` does not confirm.
    template <typename Present>
    void endFilesNotPresent(Present present)
    {
        for (auto it = repeats_.begin(); it != repeats_.end();) {
            const auto next = std::next(it);
            if (!present(it->first))
                endFile(it->first);
            it = next;
        }
    }

    // The text with control characters written as "\xNN".
    static std::string oneLine(const std::string& text);

    bool debugOn() const { return debug_; }
    const std::filesystem::path& logFile() const { return logFile_; }
    const std::filesystem::path& debugFile() const { return debugFile_; }

private:
    void append(const std::filesystem::path& file, const std::string& line);
    void writeLine(std::int64_t number, const std::string& body);

    struct Repeat {
        std::int64_t number = 0;
        std::string body;  // text and tag of the file's last line
        int count = 0;     // how often it was logged in all
    };
    std::string file_;
    std::map<std::string, Repeat> repeats_;
    std::filesystem::path folder_;
    std::filesystem::path logFile_;
    std::filesystem::path debugFile_;
    bool debug_;
};

}  // namespace corva::ingest
