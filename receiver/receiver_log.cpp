#include "receiver_log.h"

#include <system_error>

#include "core/datefmt.h"

namespace corva::receiver {

ReceiverLog::ReceiverLog(const std::filesystem::path& file)
{
    std::error_code ec;
    std::filesystem::create_directories(file.parent_path(), ec);
    file_.reset(std::fopen(file.c_str(), "a"));
}

void ReceiverLog::write(const std::string& text)
{
    std::string clean;
    clean.reserve(text.size());
    for (char c : text)
        clean += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? '?' : c;
    // The date under the lock too: the C library's time zone state is not meant for
    // several threads at once.
    std::lock_guard lock(mutex_);
    if (!file_)
        return;
    const std::string line = corva::generalDate() + " " + clean + "\n";
    std::fputs(line.c_str(), file_.get());
    std::fflush(file_.get());
}

}  // namespace corva::receiver
