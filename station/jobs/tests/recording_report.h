#pragma once
// A report that keeps what a job wrote, for tests that run jobs without a window.
#include <mutex>
#include <string>
#include <vector>

#include "common/job.h"

namespace corva::station::jobs::test {

class RecordingReport : public JobReport {
public:
    void setCaption(const std::string& caption, const std::string&) override { lock([&] { caption_ = caption; }); }
    void appendLog(const std::string& text) override { lock([&] { log_ += text; }); }
    void setProgressMaximum(double m) override { lock([&] { maximum_ = m; }); }
    void setProgress(double v) override { lock([&] { progress_ = v; }); }
    void unexpectedError(int number, const std::string& d) override {
        lock([&] { errors_.push_back("Error #" + std::to_string(number) + ": " + d); });
    }
    void information(const std::string& text) override { lock([&] { notices_.push_back(text); }); }

    std::string log() const { return log_; }
    // The log split at CR LF (the last line may have no line end).
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        std::size_t from = 0;
        for (std::size_t at; (at = log_.find("\r\n", from)) != std::string::npos; from = at + 2)
            out.push_back(log_.substr(from, at - from));
        if (from < log_.size()) out.push_back(log_.substr(from));
        return out;
    }
    const std::vector<std::string>& errors() const { return errors_; }
    const std::vector<std::string>& notices() const { return notices_; }
    double progress() const { return progress_; }
    double maximum() const { return maximum_; }

private:
    template <typename F>
    void lock(F f) {
        std::lock_guard<std::mutex> g(m_);
        f();
    }
    std::mutex m_;
    std::string caption_, log_;
    std::vector<std::string> errors_, notices_;
    double maximum_ = 0, progress_ = 0;
};

}  // namespace corva::station::jobs::test
