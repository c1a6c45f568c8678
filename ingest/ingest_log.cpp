#include "ingest_log.h"

#include <QTime>
#include <cstdio>
#include <system_error>

#include "core/datefmt.h"

namespace corva::ingest {

namespace fs = std::filesystem;

IngestLog::IngestLog(fs::path logsFolder, bool debug)
    : folder_(std::move(logsFolder)),
      logFile_(folder_ / "Ingrado.log"),
      debugFile_(folder_ / "IngradoDebug.log"),
      debug_(debug)
{
}

void IngestLog::append(const fs::path& file, const std::string& line)
{
    std::error_code ec;
    fs::create_directories(folder_, ec);
    if (std::FILE* f = std::fopen(file.c_str(), "ab")) {
        std::fwrite(line.data(), 1, line.size(), f);
        std::fclose(f);
    }
}

void IngestLog::writeLog(std::int64_t number, const std::string& text, const std::string& tag)
{
    std::string line = corva::generalDate();
    if (number >= 0)
        line += ' ';
    line += std::to_string(number);
    line += ' ';
    line += text;
    line += tag;
    line += '\n';
    append(logFile_, line);
}

void IngestLog::writeDebugLog(const std::string& text)
{
    if (!debug_)
        return;
    std::error_code ec;
    auto size = fs::file_size(debugFile_, ec);
    if (!ec && size > 1'000'000) {
        // A second move within the same second would overwrite the first: it fails
        // instead and the line goes to the old file.
        const auto aside =
            folder_ / ("IngradoDebug" + QTime::currentTime().toString(QStringLiteral("HHmmss")).toStdString() + ".log");
        if (!fs::exists(aside, ec))
            fs::rename(debugFile_, aside, ec);
    }
    append(debugFile_, corva::generalDate() + text + '\n');
}

}  // namespace corva::ingest
