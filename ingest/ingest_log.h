#pragma once
// The ingest service's two logs: Logs/Ingrado.log (errors and clean-up counts) and
// Logs/IngradoDebug.log (step-by-step trace, written only while debugging is on).
#include <cstdint>
#include <filesystem>
#include <string>

namespace corva::ingest {

class IngestLog {
public:
    IngestLog(std::filesystem::path logsFolder, bool debug);

    // "<general date>[ ]<number> <text><tag>": the number gets a leading blank when it
    // is not negative. Never throws; a line that cannot be written is lost.
    void writeLog(std::int64_t number, const std::string& text, const std::string& tag);
    // "<general date><text>", only while debugging is on. A debug log past 1,000,000
    // bytes is first moved aside as IngradoDebug<hhmmss>.log.
    void writeDebugLog(const std::string& text);

    bool debugOn() const { return debug_; }
    const std::filesystem::path& logFile() const { return logFile_; }
    const std::filesystem::path& debugFile() const { return debugFile_; }

private:
    void append(const std::filesystem::path& file, const std::string& line);

    std::filesystem::path folder_;
    std::filesystem::path logFile_;
    std::filesystem::path debugFile_;
    bool debug_;
};

}  // namespace corva::ingest
