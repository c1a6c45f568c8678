#include "receiver_log.h"

#include <system_error>

#include "core/datefmt.h"
#include "log/rotating_file.h"

namespace corva::receiver {

ReceiverLog::ReceiverLog(std::filesystem::path file) : file_(std::move(file))
{
    std::error_code ec;
    std::filesystem::create_directories(file_.parent_path(), ec);
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
    corva::log::appendRotating(file_, corva::generalDate() + " " + clean + "\n");
}

void ConditionLog::problem(const std::string& condition, const std::string& text)
{
    std::lock_guard lock(mutex_);
    if (auto it = ongoing_.find(condition); it != ongoing_.end()) {
        ++it->second.repeats;
        return;
    }
    log_.write(text);
    // Conditions are kept per peer: a sweep over many addresses must not grow this without bound.
    if (ongoing_.size() < MaxOngoing)
        ongoing_.emplace(condition, Ongoing{text, 0});
}

void ConditionLog::end(const Ongoing& ongoing, const char* how)
{
    if (ongoing.repeats > 0)
        log_.write("Repeated " + std::to_string(ongoing.repeats) + " more time(s) " + how + ": " + ongoing.text);
}

void ConditionLog::resolved(const std::string& which)
{
    std::lock_guard lock(mutex_);
    const bool byPeer = !which.empty() && which.front() == '@';
    for (auto it = ongoing_.begin(); it != ongoing_.end();) {
        const std::string& name = it->first;
        const bool match = byPeer ? name.size() >= which.size() &&
                                        name.compare(name.size() - which.size(), which.size(), which) == 0
                                  : name.rfind(which, 0) == 0;
        if (match) {
            end(it->second, "until it was over");
            it = ongoing_.erase(it);
        } else {
            ++it;
        }
    }
}

void ConditionLog::flush()
{
    std::lock_guard lock(mutex_);
    for (const auto& [name, ongoing] : ongoing_)
        end(ongoing, "until the stop");
    ongoing_.clear();
}

}  // namespace corva::receiver
