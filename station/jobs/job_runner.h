#pragma once
// Runs one Job on a thread of its own and hands every report call to the thread that
// owns the runner as a queued signal, in the order the job made them. The operator's
// windows stay responsive meanwhile; nothing waits in a nested event loop.
//
// The runner outlives its job: destroying it asks the job to stop and waits for the
// thread, so a job never reports to a window that is gone.
#include <QObject>
#include <QString>
#include <atomic>
#include <memory>
#include <thread>

#include "common/job.h"

namespace corva::station::jobs {

class JobRunner : public QObject {
    Q_OBJECT
public:
    explicit JobRunner(std::shared_ptr<Job> job, QObject* parent = nullptr);
    ~JobRunner() override;

    // Starts the job once; later calls do nothing.
    void start();
    // Started and its finished() not yet delivered.
    bool running() const { return started_ && !done_; }
    bool done() const { return done_; }
    void requestCancel() { cancel_ = true; }
    const JobOutcome& outcome() const { return outcome_; }

signals:
    void captionSet(const QString& caption, const QString& label);
    void logAppended(const QString& text);
    void logScrolledToEnd();
    void progressMaximumSet(double maximum);
    void progressSet(double value);
    void unexpectedError(int number, const QString& description);
    void information(const QString& text);
    // The job returned; delivered after every report call it made.
    void finished();

private:
    class Forwarder;
    void deliverFinished(JobOutcome outcome);

    std::shared_ptr<Job> job_;
    std::unique_ptr<Forwarder> forwarder_;
    std::thread thread_;
    std::atomic<bool> cancel_{false};
    bool started_ = false;
    bool done_ = false;
    JobOutcome outcome_;
};

}  // namespace corva::station::jobs
