#pragma once
// The job window EditForm: one view of a running Job. It shows the job's caption, log
// (txtProgress) and progress (pb1), starts the job from the timer of its kind and
// enables cmdOK when the job has finished. While the job runs the window cannot be
// closed, neither by OK nor from its title bar.
//
//   auto job = std::make_shared<DeleteStudyJob>(setup);
//   runJobWindow(JobKind::DeleteStudy, job);   // returns once the operator pressed OK
//   if (job->removed()) ...
//
// Any job can run here: app/ creates the job of another folder (header tasks, import)
// and hands it over with its kind.
#include <QDialog>
#include <array>
#include <functional>
#include <memory>
#include <optional>

#include "common/station_context.h"
#include "common/job.h"
#include "common/job_lock.h"

class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTimer;

namespace corva::station::jobs {

class JobRunner;

// The job kinds of the window; each has its caption and its timer.
namespace JobKind {
inline constexpr int SendSeries = 0;
inline constexpr int SendStudy = 1;
inline constexpr int SendPatient = 2;
inline constexpr int UpdateStudy = 3;
inline constexpr int DeleteAll = 4;
inline constexpr int DeleteStudy = 5;
inline constexpr int DeletePatient = 6;
inline constexpr int DeleteSeries = 7;
inline constexpr int ImportImages = 8;
inline constexpr int ImportDir = 9;
}  // namespace JobKind

// The window caption of a kind; empty for a kind outside 0..9.
QString jobCaption(int kind);
// The object name of the timer that starts a kind ("DeleteTimer"); empty outside 0..9.
QString jobTimerName(int kind);

class EditForm : public QDialog {
    Q_OBJECT
public:
    // `job` may be null (or the kind unknown): the window stays idle, OK disabled.
    EditForm(int kind, std::shared_ptr<Job> job, QWidget* parent = nullptr);
    ~EditForm() override;

    QLabel* lblProgress() const { return lblProgress_; }
    QPlainTextEdit* txtProgress() const { return txtProgress_; }
    QProgressBar* pb1() const { return pb1_; }
    QPushButton* cmdOK() const { return cmdOK_; }
    QTimer* timer(const QString& name) const;
    bool jobRunning() const;
    // The progress bar's values as the job set them.
    double progressValue() const { return progress_; }
    double progressMaximum() const { return maximum_; }

    // What OK does with a forwarding mode set: refresh the dose list, then the image
    // list. app/ installs it for the program's life.
    static void setForwardingRefresh(std::function<void()> refresh);

protected:
    void closeEvent(QCloseEvent* event) override;
    void reject() override;
    void done(int result) override;

private:
    void startJob();
    void jobFinished();
    void okPressed();
    void setProgressBar();

    int kind_;
    std::shared_ptr<Job> job_;
    std::unique_ptr<JobRunner> runner_;
    std::optional<RefreshLockGuard> refreshLock_;
    QLabel* lblProgress_ = nullptr;
    QPlainTextEdit* txtProgress_ = nullptr;
    QProgressBar* pb1_ = nullptr;
    QPushButton* cmdOK_ = nullptr;
    std::array<QTimer*, 8> timers_{};
    double progress_ = 0;
    double maximum_ = 100;
    bool closed_ = false;
};

// What the operator is told when another program's job holds the job lock.
inline constexpr const char* JobBusyMessage =
    "Another job is working on the images (corvactl).\r\nPlease try again when it has finished.";
// What the operator is told when a job cannot take the job lock: busy (another job
// runs) or unavailable (the lock file cannot be opened). Without the lock no job writes.
QString jobLockRefusal(const JobLock& lock);

// Opens the job window for `job` modally (through the operator seam) and returns once
// it has closed: the job has then finished. While another job holds the job lock the
// window does not open and the job does not run.
void runJobWindow(int kind, std::shared_ptr<Job> job, QWidget* parent = nullptr);
// The same with the job lock the caller took before the job's first step (a forwarding
// converts under it before its send runs here).
void runJobWindow(int kind, std::shared_ptr<Job> job, QWidget* parent, JobLock lock);

}  // namespace corva::station::jobs
