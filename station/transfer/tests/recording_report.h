#pragma once
// A job report for tests: keeps the log, the progress calls and the errors.
#include <string>
#include <vector>

#include "common/job.h"

namespace corva::station::transfer::test {

class RecordingReport : public jobs::JobReport {
public:
    std::string caption, label, log;
    double maximum = -1;
    double value = -1;
    std::vector<std::string> progress;  // "max=<n>" / "value=<n>" in call order
    std::vector<std::pair<int, std::string>> errors;
    bool cancel = false;

    void setCaption(const std::string& c, const std::string& l) override
    {
        caption = c;
        label = l;
    }
    void appendLog(const std::string& text) override { log += text; }
    void setProgressMaximum(double m) override
    {
        maximum = m;
        progress.push_back("max=" + num(m));
    }
    void setProgress(double v) override
    {
        value = v;
        progress.push_back("value=" + num(v));
    }
    void unexpectedError(int number, const std::string& description) override { errors.emplace_back(number, description); }
    bool cancelRequested() const override { return cancel; }

private:
    static std::string num(double d) { return std::to_string(static_cast<long long>(d)); }
};

}  // namespace corva::station::transfer::test
