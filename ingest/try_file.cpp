#include "try_file.h"

#include <charconv>
#include <cstdio>
#include <fstream>
#include <string>

#include "core/error.h"
#include "ingest_log.h"

namespace corva::ingest {

int readTry(const std::filesystem::path& file, IngestLog& log)
{
    std::ifstream in(file, std::ios::binary);
    std::string line;
    if (!in || !std::getline(in, line)) {
        log.writeLog(62, "Input past end of file", "ReadTry");
        return 0;
    }
    const auto first = line.find_first_not_of(" \t\r");
    const auto last = line.find_last_not_of(" \t\r");
    if (first == std::string::npos) {
        log.writeLog(errc::TypeMismatch, "Type mismatch", "ReadTry");
        return 0;
    }
    const char* begin = line.data() + first;
    const char* end = line.data() + last + 1;
    int count = 0;
    auto [ptr, ec] = std::from_chars(begin, end, count);
    if (ec == std::errc::result_out_of_range || (ec == std::errc() && (count > 32767 || count < -32768))) {
        log.writeLog(6, "Overflow", "ReadTry");
        return 0;
    }
    if (ec != std::errc() || ptr != end) {
        log.writeLog(errc::TypeMismatch, "Type mismatch", "ReadTry");
        return 0;
    }
    return count;
}

std::string readTryMarker(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    std::string line;
    if (!in || !std::getline(in, line) || !std::getline(in, line))
        return {};
    while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    return line;
}

bool writeTry(const std::filesystem::path& file, int count, IngestLog& log, const std::string& marker)
{
    std::string text = " " + std::to_string(count) + " \n";
    if (!marker.empty())
        text += marker + "\n";
    std::FILE* f = std::fopen(file.c_str(), "wb");
    if (!f) {
        log.writeLog(75, "Path/File access error: " + file.filename().string(), "WriteTry");
        return false;
    }
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (std::fclose(f) != 0 || !ok) {
        log.writeLog(57, "Device I/O error: " + file.filename().string(), "WriteTry");
        return false;
    }
    return true;
}

}  // namespace corva::ingest
