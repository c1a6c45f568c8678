#include "jobs/edit_form.h"

#include <QCloseEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTextCursor>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "common/job_lock.h"
#include "common/operator_seam.h"
#include "jobs/job_runner.h"

namespace corva::station::jobs {

namespace {

struct KindEntry {
    const char* caption;
    int timer;  // index into TimerNames
};
constexpr const char* TimerNames[8] = {"SendSeriesTimer", "SendStudieTimer", "SendPatientTimer", "UpdateTimer",
                                       "DeleteAllTimer",  "DeleteTimer",     "ImportTimer",      "ImportDirTimer"};
constexpr KindEntry Kinds[10] = {
    {"Send images (Series)", 0}, {"Send images (Study)", 1}, {"Send Images (Patient)", 2}, {"Updating Study", 3},
    {"Delete Patient list", 4},  {"Delete images", 5},       {"Delete images", 5},         {"Delete images", 5},
    {"Import image(s)", 6},      {"Import DICOM-Dir", 7},
};

std::function<void()>& forwardingRefresh() {
    static std::function<void()> refresh;
    return refresh;
}

}  // namespace

QString jobCaption(int kind) {
    return kind >= 0 && kind < 10 ? QString::fromLatin1(Kinds[kind].caption) : QString();
}

QString jobTimerName(int kind) {
    return kind >= 0 && kind < 10 ? QString::fromLatin1(TimerNames[Kinds[kind].timer]) : QString();
}

void EditForm::setForwardingRefresh(std::function<void()> refresh) { forwardingRefresh() = std::move(refresh); }

EditForm::EditForm(int kind, std::shared_ptr<Job> job, QWidget* parent)
    : QDialog(parent), kind_(kind), job_(std::move(job)) {
    setObjectName(QStringLiteral("EditForm"));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    auto* layout = new QVBoxLayout(this);
    lblProgress_ = new QLabel(this);
    lblProgress_->setObjectName(QStringLiteral("lblProgress"));
    txtProgress_ = new QPlainTextEdit(this);
    txtProgress_->setObjectName(QStringLiteral("txtProgress"));
    txtProgress_->setReadOnly(true);
    pb1_ = new QProgressBar(this);
    pb1_->setObjectName(QStringLiteral("pb1"));
    pb1_->setTextVisible(false);
    cmdOK_ = new QPushButton(QStringLiteral("OK"), this);
    cmdOK_->setObjectName(QStringLiteral("cmdOK"));
    cmdOK_->setDefault(true);
    cmdOK_->setEnabled(false);
    layout->addWidget(lblProgress_);
    layout->addWidget(txtProgress_);
    layout->addWidget(pb1_);
    layout->addWidget(cmdOK_, 0, Qt::AlignRight);
    setFixedSize(520, 380);
    connect(cmdOK_, &QPushButton::clicked, this, &EditForm::okPressed);

    for (int i = 0; i < 8; ++i) {
        timers_[static_cast<std::size_t>(i)] = new QTimer(this);
        timers_[static_cast<std::size_t>(i)]->setObjectName(QString::fromLatin1(TimerNames[i]));
        timers_[static_cast<std::size_t>(i)]->setInterval(100);
        timers_[static_cast<std::size_t>(i)]->setSingleShot(true);
    }

    // Loading: the patient list stays as it is while the window is open.
    refreshLock_.emplace();
    stationContext().removedAfterSend = false;
    setWindowTitle(jobCaption(kind_));
    lblProgress_->setText(QStringLiteral("Progress:"));
    setProgressBar();
    if (kind_ >= 0 && kind_ < 10 && job_) {
        QTimer* t = timers_[static_cast<std::size_t>(Kinds[kind_].timer)];
        connect(t, &QTimer::timeout, this, &EditForm::startJob);
        t->start();
    }
}

EditForm::~EditForm() {
    runner_.reset();  // waits for a job still running (the program ends)
    if (!closed_ && job_) job_->windowClosed();
}

QTimer* EditForm::timer(const QString& name) const {
    for (QTimer* t : timers_)
        if (t->objectName() == name) return t;
    return nullptr;
}

bool EditForm::jobRunning() const { return runner_ && runner_->running(); }

void EditForm::startJob() {
    runner_ = std::make_unique<JobRunner>(job_);
    JobRunner* r = runner_.get();
    connect(r, &JobRunner::captionSet, this, [this](const QString& caption, const QString& label) {
        setWindowTitle(caption);
        lblProgress_->setText(label);
    });
    connect(r, &JobRunner::logAppended, this, [this](const QString& text) {
        QTextCursor c(txtProgress_->document());
        c.movePosition(QTextCursor::End);
        c.insertText(text);
    });
    connect(r, &JobRunner::logScrolledToEnd, this, [this] {
        txtProgress_->moveCursor(QTextCursor::End);
        txtProgress_->ensureCursorVisible();
    });
    connect(r, &JobRunner::progressMaximumSet, this, [this](double m) {
        maximum_ = m;
        setProgressBar();
    });
    connect(r, &JobRunner::progressSet, this, [this](double v) {
        progress_ = v;
        setProgressBar();
    });
    connect(r, &JobRunner::unexpectedError, this,
            [](int number, const QString& description) { showError(number, description); });
    connect(r, &JobRunner::information, this,
            [](const QString& text) { op().message(text, {}, MsgIcon::Information); });
    connect(r, &JobRunner::finished, this, &EditForm::jobFinished);
    r->start();
}

void EditForm::setProgressBar() {
    // The bar counts in whole steps of a fixed range, so fractional values still move it.
    constexpr int Steps = 10000;
    pb1_->setRange(0, Steps);
    const double fraction = maximum_ > 0 ? std::clamp(progress_ / maximum_, 0.0, 1.0) : 0.0;
    pb1_->setValue(static_cast<int>(std::lround(fraction * Steps)));
}

void EditForm::jobFinished() {
    if (runner_ && runner_->outcome().closeWindow) {
        done(QDialog::Rejected);
        return;
    }
    cmdOK_->setEnabled(true);
}

void EditForm::okPressed() {
    if (jobRunning()) return;
    auto& ctx = stationContext();
    if (ctx.forwardingMode != ForwardingMode::None) {
        if (forwardingRefresh()) forwardingRefresh()();
        // One forwarding, one clean-up: the next job starts without it.
        ctx.forwardingMode = ForwardingMode::None;
    }
    accept();
}

void EditForm::closeEvent(QCloseEvent* event) {
    if (jobRunning()) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void EditForm::reject() {
    if (jobRunning()) return;
    QDialog::reject();
}

void EditForm::done(int result) {
    if (jobRunning()) return;
    if (!closed_) {
        closed_ = true;
        refreshLock_.reset();
        if (job_) job_->windowClosed();  // errors of the release are the job's to swallow
    }
    QDialog::done(result);
}

void runJobWindow(int kind, std::shared_ptr<Job> job, QWidget* parent) {
    runJobWindow(kind, std::move(job), parent, JobLock::tryAcquire(stationContext().paths.dataFolder));
}

QString jobLockRefusal(const JobLock& lock) {
    if (lock.state() == JobLock::State::Busy) return JobBusyMessage;
    return "The job lock cannot be taken, so no job may change the images now: " +
           QString::fromStdString(lock.error());
}

void runJobWindow(int kind, std::shared_ptr<Job> job, QWidget* parent, JobLock lock) {
    // corvactl may be working on the images: the job waits for another time. Without
    // the lock (its file cannot be opened) no job may write either.
    if (!lock.held()) {
        op().message(jobLockRefusal(lock), {}, lock.state() == JobLock::State::Busy ? MsgIcon::Information
                                                                                    : MsgIcon::Exclamation);
        if (job) job->windowClosed();
        return;
    }
    EditForm form(kind, std::move(job), parent);
    op().exec(form);
}

}  // namespace corva::station::jobs
