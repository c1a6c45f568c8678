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

std::string ReceiverLog::oneLine(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\r' || c == '\n') {
            // The toolkit's messages span lines: the parts are joined by "; ".
            while (i + 1 < text.size() && (text[i + 1] == '\r' || text[i + 1] == '\n' || text[i + 1] == ' '))
                ++i;
            if (i + 1 < text.size() && !out.empty())
                out += "; ";
        } else if (c == '\t') {
            out += ' ';
        } else if (c < 0x20 || c == 0x7f) {
            static const char hex[] = "0123456789ABCDEF";
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

void ReceiverLog::write(const std::string& text)
{
    const std::string clean = oneLine(text);
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
