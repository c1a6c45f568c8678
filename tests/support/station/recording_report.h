#pragma once
// A job report for tests that run jobs without a window: it keeps everything the job
// reported, in order. Calls may come from the job's own thread.
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "common/job.h"

namespace corva::station::test {

class RecordingReport : public jobs::JobReport {
public:
    void setCaption(const std::string& caption, const std::string& label) override;
    void appendLog(const std::string& text) override;
    void setProgressMaximum(double maximum) override;
    void setProgress(double value) override;
    void unexpectedError(int number, const std::string& description) override;
    void information(const std::string& text) override;
    bool cancelRequested() const override { return cancel_; }

    // Makes cancelRequested() true from now on (the operator's Cancel).
    void requestCancel() { cancel_ = true; }

    std::string caption() const;
    std::string label() const;
    std::string log() const;
    // The log split at CR LF (the last line may have no line end).
    std::vector<std::string> lines() const;
    // The progress calls in order: "max=<n>" and "value=<n>".
    std::vector<std::string> progressCalls() const;
    double maximum() const;   // the last maximum set, 0 before any
    double progress() const;  // the last value set, 0 before any
    // "Error #<number>: <description>", in order.
    std::vector<std::string> errors() const;
    std::vector<std::string> notices() const;

private:
    mutable std::mutex m_;
    std::string caption_, label_, log_;
    std::vector<std::string> progressCalls_, errors_, notices_;
    double maximum_ = 0, progress_ = 0;
    std::atomic<bool> cancel_{false};
};

}  // namespace corva::station::test
