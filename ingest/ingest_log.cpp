#include "ingest_log.h"

#include <QTime>
#include <cstdio>
#include <system_error>

#include "core/datefmt.h"
#include "log/log_text.h"
#include "log/rotating_file.h"

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
    if (file == logFile_) {
        log::appendRotating(file, line);
        return;
    }
    std::error_code ec;
    fs::create_directories(folder_, ec);
    // A new debug log says first what it holds.
    const bool fresh = !fs::exists(file, ec);
    if (std::FILE* f = std::fopen(file.c_str(), "ab")) {
        if (fresh)
            std::fputs(DebugLogHeader, f);
        std::fwrite(line.data(), 1, line.size(), f);
        std::fclose(f);
    }
}

std::string IngestLog::oneLine(const std::string& text)
{
    return corva::log::escapedControls(text);
}

void IngestLog::writeLine(std::int64_t number, const std::string& body)
{
    std::string line = corva::generalDate();
    if (number >= 0)
        line += ' ';
    line += std::to_string(number);
    line += ' ';
    line += body;
    line += '\n';
    append(logFile_, line);
}

void IngestLog::writeLog(std::int64_t number, const std::string& text, const std::string& tag)
{
    std::string body = text;
    if (!file_.empty() && text.find(file_) == std::string::npos)
        body += " - file " + file_;
    body = oneLine(body) + oneLine(tag);
    if (file_.empty()) {
        writeLine(number, body);
        return;
    }
    // A file that fails on every tick would write the same line each time.
    Repeat& last = repeats_[file_];
    if (last.count > 0 && last.number == number && last.body == body) {
        ++last.count;
        return;
    }
    endFile(file_);
    Repeat& fresh = repeats_[file_];
    fresh = Repeat{number, body, 1};
    writeLine(number, body);
}

void IngestLog::endFile(const std::string& name)
{
    const auto it = repeats_.find(name);
    if (it == repeats_.end())
        return;
    const Repeat r = it->second;
    repeats_.erase(it);
    if (r.count > 1)
        writeLine(r.number, r.body + " (" + std::to_string(r.count) + " times in all)");
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
    append(debugFile_, corva::generalDate() + oneLine(text) + '\n');
}

}  // namespace corva::ingest
