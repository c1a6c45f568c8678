#pragma once
// A job of the job window: a plain class that runs against a report. The job window
// is one view of the report, the command line another, a test a third; the job
// itself never touches a widget, so it runs the same in all three.
#include <string>

namespace corva::station::jobs {

// Where a running job reports. A job may run off the user-interface thread: a
// report that drives widgets forwards each call to its thread, in order.
class JobReport {
public:
    virtual ~JobReport() = default;
    // The window caption and the text of lblProgress.
    virtual void setCaption(const std::string& caption, const std::string& label) = 0;
    // Appends text to the job log as it stands: jobs write their own " ... ", "OK"
    // and "\r\n", so a phase and its result land on one line.
    virtual void appendLog(const std::string& text) = 0;
    // Makes the end of the log visible (the send jobs call it after their summary).
    virtual void scrollLogToEnd() {}
    virtual void setProgressMaximum(double maximum) = 0;
    virtual void setProgress(double value) = 0;
    // An unexpected error of the job: shown as "Error #<number>: <description>" with
    // the critical icon. The job has written the error log line itself.
    virtual void unexpectedError(int number, const std::string& description) = 0;
    // Set when the operator or the program asks the job to stop early (the program
    // ends); a job checks it between items and stops cleanly.
    virtual bool cancelRequested() const { return false; }
    // A notice for the operator (information icon); the job does not wait for it.
    virtual void information(const std::string& /*text*/) {}
};

// How a job ended: complete when it did everything it was asked (every image sent,
// every file imported). The command line turns it into its exit status.
struct JobOutcome {
    bool complete = true;
    int failures = 0;
    // The job found nothing to work on and asks its window to close at once.
    bool closeWindow = false;
};

class Job {
public:
    virtual ~Job() = default;
    // The job window's caption for this job (e.g. "Send images (Study)").
    virtual std::string caption() const = 0;
    // Runs the whole job; returns when it has written its last log line.
    virtual JobOutcome run(JobReport& report) = 0;
    // The window that ran the job closes: a send job releases its association here.
    virtual void windowClosed() {}
};

}  // namespace corva::station::jobs
