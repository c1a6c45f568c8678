#include "app/ctl/console_report.h"

#include <csignal>
#include <algorithm>
#include <cmath>

namespace corva::station::ctl {

namespace {
volatile std::sig_atomic_t g_cancel = 0;
extern "C" void onCancelSignal(int) { g_cancel = 1; }
constexpr int BarWidth = 40;
}  // namespace

void ConsoleReport::installCancelSignals() {
    struct sigaction sa {};
    sa.sa_handler = onCancelSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

bool ConsoleReport::cancelSignalled() { return g_cancel != 0; }

ConsoleReport::ConsoleReport(std::ostream& out, std::ostream& err, bool terminal)
    : out_(out), err_(err), terminal_(terminal) {}

ConsoleReport::~ConsoleReport() { finish(); }

void ConsoleReport::setCaption(const std::string&, const std::string&) {
    // The window's caption has no place on a console; the log says what runs.
}

void ConsoleReport::appendLog(const std::string& text) {
    std::string plain;
    plain.reserve(text.size());
    for (char c : text) {
        if (pendingCr_) {
            pendingCr_ = false;
            if (c == '\n') continue;  // the "\n" of a "\r\n" split over two calls
        }
        if (c == '\r') {
            pendingCr_ = true;
            plain += '\n';  // "\r\n" and a lone CR both end their line
            continue;
        }
        plain += c;
    }
    if (plain.empty()) return;
    if (!terminal_) {
        out_ << plain << std::flush;
        lineOpen_ = plain.back() != '\n';
        return;
    }
    // Beside the bar, a line goes out once it is complete: the bar's line is cleared and
    // redrawn, which would take an open log line with it.
    held_ += plain;
    const auto end = held_.rfind('\n');
    if (end == std::string::npos) return;
    clearBar();
    out_ << held_.substr(0, end + 1) << std::flush;
    held_.erase(0, end + 1);
    // The next progress step draws the bar again.
}

void ConsoleReport::setProgressMaximum(double maximum) {
    maximum_ = maximum;
    drawBar();
}

void ConsoleReport::setProgress(double value) {
    value_ = value;
    drawBar();
}

void ConsoleReport::unexpectedError(int number, const std::string& description) {
    clearBar();
    err_ << "Error #" << number << ": " << description << '\n' << std::flush;
}

bool ConsoleReport::cancelRequested() const { return cancelSignalled(); }

void ConsoleReport::information(const std::string& text) {
    clearBar();
    std::string line = text;
    std::replace(line.begin(), line.end(), '\r', ' ');
    std::replace(line.begin(), line.end(), '\n', ' ');
    err_ << line << '\n' << std::flush;
}

void ConsoleReport::finish() {
    clearBar();
    if (!held_.empty()) {
        out_ << held_;
        lineOpen_ = true;
        held_.clear();
    }
    if (lineOpen_) out_ << '\n';
    out_ << std::flush;
    lineOpen_ = false;
}

void ConsoleReport::clearBar() {
    if (!barShown_) return;
    err_ << "\r\033[K" << std::flush;
    barShown_ = false;
    lastPercent_ = -1;
}

void ConsoleReport::drawBar() {
    if (!terminal_ || maximum_ <= 0) return;
    const double fraction = std::clamp(value_ / maximum_, 0.0, 1.0);
    const int percent = static_cast<int>(std::lround(fraction * 100));
    if (barShown_ && percent == lastPercent_) return;
    const int filled = static_cast<int>(std::lround(fraction * BarWidth));
    err_ << "\r[" << std::string(static_cast<std::size_t>(filled), '#')
         << std::string(static_cast<std::size_t>(BarWidth - filled), ' ') << "] " << percent << "%" << std::flush;
    barShown_ = true;
    lastPercent_ = percent;
}

}  // namespace corva::station::ctl
