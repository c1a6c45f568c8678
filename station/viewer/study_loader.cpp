#include "viewer/study_loader.h"

#include <QFutureWatcher>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>
#include <atomic>
#include <vector>

#include "common/operator_seam.h"
#include "common/station_context.h"
#include "core/error.h"
#include "log/error_log.h"

namespace corva::station {

namespace {

int loadsRunning = 0;

struct ReadResult {
    std::shared_ptr<LoadedImage> image;
    int errorCode = 0;
    std::string errorText;
};

ReadResult readAndRender(const std::filesystem::path& file, const std::string& uid, QSize cell,
                         const std::shared_ptr<std::atomic_bool>& cancelled) {
    ReadResult r;
    if (*cancelled) return r;  // the load was cancelled before this decode started
    try {
        if (file.empty()) throw Error(errc::InvalidName, "Invalid image UID: " + uid);
        r.image = LoadedImage::read(file);
        r.image->rendered(cell);  // ready before the viewer paints it
    } catch (const Error& e) {
        r.image.reset();
        r.errorCode = e.code();
        r.errorText = e.message();
    } catch (const std::exception& e) {
        r.image.reset();
        r.errorCode = errc::Generic;
        r.errorText = e.what();
    }
    return r;
}

}  // namespace

// One running load: the decodes in display order and how far the viewer has taken them.
struct StudyLoader::Run {
    std::shared_ptr<std::atomic_bool> cancelled = std::make_shared<std::atomic_bool>(false);
    std::vector<QFuture<ReadResult>> pending;
    std::vector<std::unique_ptr<QFutureWatcher<ReadResult>>> watchers;
    std::size_t next = 0;
    int loaded = 0;
    int maximum = 0;
    bool scheduled = false;  // a turn to take the next result is queued
};

StudyLoader::StudyLoader(StationContext& g, StudyLoaderView& view, QObject* parent)
    : QObject(parent), g_(g), view_(view) {}

StudyLoader::~StudyLoader() {
    if (run_) {
        *run_->cancelled = true;
        run_.reset();
        --loadsRunning;
    }
}

int StudyLoader::runningLoads() {
    return loadsRunning;
}

void StudyLoader::stopRun() {
    if (!run_) return;
    *run_->cancelled = true;  // decodes not yet started are skipped
    run_.reset();             // the watchers go: no result of this load comes back
    --loadsRunning;
}

void StudyLoader::cancel() {
    if (!run_) return;
    stopRun();
    view_.setProgress(0, 0, false);
    g_.refreshLock = false;
    view_.setViewerAutoRedraw(true);
}

void StudyLoader::load(const ImageSetQuery& query, const std::string& studyUid) {
    stopRun();
    view_.clearViewer();
    view_.setViewerAutoRedraw(false);
    loadedImageSet().clear();
    g_.refreshLock = true;
    try {
        std::vector<std::string> uids;
        std::int64_t count = 0;
        {
            OpenedDb db(g_.dataDb);
            count = imageCount(db.db(), query);
            if (count > 0) uids = imageUids(db.db(), query);
        }
        if (count <= 0) {
            view_.clearViewer();
            op().message("No images found!", {}, MsgIcon::Critical, MsgButtons::OK);
            g_.refreshLock = false;
            view_.setViewerAutoRedraw(true);
            emit finished(0);
            return;
        }
        auto run = std::make_unique<Run>();
        run->maximum = static_cast<int>(count);
        view_.setProgress(0, run->maximum, true);
        const QSize cell = view_.viewerCellSize(run->maximum);
        for (const auto& uid : uids) {
            const auto file = imageFile(g_.paths, studyUid, uid);
            run->pending.push_back(QtConcurrent::run(&decodePool(), readAndRender, file, uid, cell, run->cancelled));
        }
        run_ = std::move(run);
        ++loadsRunning;
        for (auto& future : run_->pending) {
            auto watcher = std::make_unique<QFutureWatcher<ReadResult>>();
            connect(watcher.get(), &QFutureWatcherBase::finished, this, &StudyLoader::scheduleNextResult);
            watcher->setFuture(future);
            run_->watchers.push_back(std::move(watcher));
        }
        if (run_->pending.empty()) finish();
    } catch (const std::exception& e) {
        stopRun();
        op().message("An error occured during loading - please retry!", {}, MsgIcon::Critical, MsgButtons::OK);
        const auto* error = dynamic_cast<const Error*>(&e);
        log::LogError(error ? error->code() : errc::Generic, error ? error->message() : e.what(), "MainForm LoadStudy");
        view_.setImageCountText("0 image(s)");
        view_.setProgress(0, 0, false);
        g_.dataDb.closeIfOpen();
        g_.refreshLock = false;
        view_.setViewerAutoRedraw(true);
        emit finished(0);
    }
}

// Takes the next result in display order when it is ready; one image per turn.
void StudyLoader::takeNextResult() {
    if (!run_) return;
    run_->scheduled = false;
    Run& run = *run_;
    if (run.next >= run.pending.size() || !run.pending[run.next].isFinished()) return;
    ReadResult r = run.pending[run.next].result();
    run.pending[run.next] = {};
    ++run.next;
    if (!r.image) {
        log::LogError(r.errorCode, r.errorText, "MainForm LoadStudy (READ_ERROR)");
    } else {
        loadedImageSet().push_back(r.image);
        ++run.loaded;
        view_.setProgress(run.loaded, run.maximum, true);
        view_.addToViewer(r.image);
        emit imageLoaded(r.image, run.loaded, run.maximum);
        if (!run_) return;  // a handler of the signal started another load or cancelled
    }
    if (run_->next >= run_->pending.size()) {
        finish();
    } else if (run_->pending[run_->next].isFinished()) {
        scheduleNextResult();
    }
}

// The next result is taken on a timer turn of its own: the timers and posted clicks
// that were waiting run first, as between the images of a load they always did.
void StudyLoader::scheduleNextResult() {
    if (!run_ || run_->scheduled) return;
    run_->scheduled = true;
    QTimer::singleShot(0, this, &StudyLoader::takeNextResult);
}

void StudyLoader::finish() {
    const int loaded = run_ ? run_->loaded : 0;
    stopRun();
    view_.setImageCountText(QString::number(loaded) + " image(s)");
    view_.setProgress(0, 0, false);
    g_.dataDb.closeIfOpen();
    g_.refreshLock = false;
    view_.setViewerAutoRedraw(true);
    emit finished(loaded);
}

}  // namespace corva::station
