#include "jobs/job_runner.h"

#include <QMetaObject>

#include "core/error.h"
#include "log/error_log.h"

namespace corva::station::jobs {

// The report the job sees on its thread: each call becomes a signal of the runner,
// queued to the runner's thread (the connections are made with QueuedConnection).
class JobRunner::Forwarder : public JobReport {
public:
    explicit Forwarder(JobRunner& runner) : r_(runner) {}
    void setCaption(const std::string& caption, const std::string& label) override {
        emit r_.captionSet(QString::fromStdString(caption), QString::fromStdString(label));
    }
    void appendLog(const std::string& text) override { emit r_.logAppended(QString::fromStdString(text)); }
    void scrollLogToEnd() override { emit r_.logScrolledToEnd(); }
    void setProgressMaximum(double maximum) override { emit r_.progressMaximumSet(maximum); }
    void setProgress(double value) override { emit r_.progressSet(value); }
    void unexpectedError(int number, const std::string& description) override {
        emit r_.unexpectedError(number, QString::fromStdString(description));
    }
    void information(const std::string& text) override { emit r_.information(QString::fromStdString(text)); }
    bool cancelRequested() const override { return r_.cancel_; }

private:
    JobRunner& r_;
};

JobRunner::JobRunner(std::shared_ptr<Job> job, QObject* parent)
    : QObject(parent), job_(std::move(job)), forwarder_(std::make_unique<Forwarder>(*this)) {}

JobRunner::~JobRunner() {
    cancel_ = true;
    if (thread_.joinable()) thread_.join();
}

void JobRunner::start() {
    if (started_ || !job_) return;
    started_ = true;
    thread_ = std::thread([this] {
        JobOutcome outcome;
        try {
            outcome = job_->run(*forwarder_);
        } catch (const Error& e) {
            corva::log::LogError(e.code(), e.message(), "EditForm " + job_->caption());
            forwarder_->unexpectedError(e.code(), e.message());
            outcome.complete = false;
        } catch (const std::exception& e) {
            corva::log::LogError(errc::Generic, e.what(), "EditForm " + job_->caption());
            forwarder_->unexpectedError(errc::Generic, e.what());
            outcome.complete = false;
        }
        // Queued like the report calls, so it arrives after all of them.
        QMetaObject::invokeMethod(this, [this, outcome] { deliverFinished(outcome); }, Qt::QueuedConnection);
    });
}

void JobRunner::deliverFinished(JobOutcome outcome) {
    if (thread_.joinable()) thread_.join();
    outcome_ = outcome;
    done_ = true;
    emit finished();
}

}  // namespace corva::station::jobs
