#pragma once
// The job report of the command line: the job log on standard output, line by line as
// the job window shows it ("\r\n" of the jobs becomes "\n"), notices, errors and the
// progress on standard error. The progress is a bar only when standard error is a
// terminal; scripts and their log files get the log alone.
#include <atomic>
#include <ostream>
#include <string>

#include "common/job.h"

namespace corva::station::ctl {

class ConsoleReport : public jobs::JobReport {
public:
    // `terminal`: draw the progress bar on `err`.
    ConsoleReport(std::ostream& out, std::ostream& err, bool terminal);
    ~ConsoleReport() override;

    void setCaption(const std::string& caption, const std::string& label) override;
    void appendLog(const std::string& text) override;
    void setProgressMaximum(double maximum) override;
    void setProgress(double value) override;
    void unexpectedError(int number, const std::string& description) override;
    bool cancelRequested() const override;
    void information(const std::string& text) override;

    // Ends a last log line that the job left open ("Tasks done.") and clears the bar.
    void finish();

    // Ctrl+C and SIGTERM ask the running job to stop after its current item.
    static void installCancelSignals();
    static bool cancelSignalled();

private:
    void clearBar();
    void drawBar();

    std::ostream& out_;
    std::ostream& err_;
    bool terminal_;
    bool lineOpen_ = false;
    std::string held_;  // the open log line while the bar is shown
    bool pendingCr_ = false;
    bool barShown_ = false;
    double maximum_ = 100;
    double value_ = 0;
    int lastPercent_ = -1;
};

}  // namespace corva::station::ctl
