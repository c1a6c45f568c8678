#include "recording_report.h"

#include "shell.h"

namespace corva::station::test {

namespace {

std::string whole(double d) { return std::to_string(static_cast<long long>(d)); }

}  // namespace

void RecordingReport::setCaption(const std::string& caption, const std::string& label) {
    std::lock_guard<std::mutex> g(m_);
    caption_ = caption;
    label_ = label;
}

void RecordingReport::appendLog(const std::string& text) {
    std::lock_guard<std::mutex> g(m_);
    log_ += text;
}

void RecordingReport::setProgressMaximum(double maximum) {
    std::lock_guard<std::mutex> g(m_);
    maximum_ = maximum;
    progressCalls_.push_back("max=" + whole(maximum));
}

void RecordingReport::setProgress(double value) {
    std::lock_guard<std::mutex> g(m_);
    progress_ = value;
    progressCalls_.push_back("value=" + whole(value));
}

void RecordingReport::unexpectedError(int number, const std::string& description) {
    std::lock_guard<std::mutex> g(m_);
    errors_.push_back("Error #" + std::to_string(number) + ": " + description);
}

void RecordingReport::information(const std::string& text) {
    std::lock_guard<std::mutex> g(m_);
    notices_.push_back(text);
}

std::string RecordingReport::caption() const {
    std::lock_guard<std::mutex> g(m_);
    return caption_;
}

std::string RecordingReport::label() const {
    std::lock_guard<std::mutex> g(m_);
    return label_;
}

std::string RecordingReport::log() const {
    std::lock_guard<std::mutex> g(m_);
    return log_;
}

std::vector<std::string> RecordingReport::lines() const {
    return corva::test::splitLines(log(), "\r\n");
}

std::vector<std::string> RecordingReport::progressCalls() const {
    std::lock_guard<std::mutex> g(m_);
    return progressCalls_;
}

double RecordingReport::maximum() const {
    std::lock_guard<std::mutex> g(m_);
    return maximum_;
}

double RecordingReport::progress() const {
    std::lock_guard<std::mutex> g(m_);
    return progress_;
}

std::vector<std::string> RecordingReport::errors() const {
    std::lock_guard<std::mutex> g(m_);
    return errors_;
}

std::vector<std::string> RecordingReport::notices() const {
    std::lock_guard<std::mutex> g(m_);
    return notices_;
}

}  // namespace corva::station::test
