#include "viewer/study_loader.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFutureWatcher>
#include <QtConcurrent/QtConcurrentRun>
#include <deque>

#include "core/error.h"
#include "log/error_log.h"
#include "common/operator_seam.h"
#include "common/station_context.h"

namespace corva::station {

namespace {

// Loads started so far; a load whose number is no longer the latest was superseded.
int latestLoad = 0;

struct ReadResult {
    std::shared_ptr<LoadedImage> image;
    int errorCode = 0;
    std::string errorText;
};

ReadResult readAndRender(const std::filesystem::path& file, const std::string& uid, QSize cell) {
    ReadResult r;
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

template <typename T>
void waitWithEvents(const QFuture<T>& future) {
    if (future.isFinished()) return;
    QFutureWatcher<T> watcher;
    QEventLoop loop;
    QObject::connect(&watcher, &QFutureWatcher<T>::finished, &loop, &QEventLoop::quit);
    watcher.setFuture(future);
    if (!future.isFinished()) loop.exec();
}

}  // namespace

void StudyLoader::cancelRunning() {
    ++latestLoad;
}

StudyLoader::Outcome StudyLoader::load(const ImageSetQuery& query, const std::string& studyUid) {
    const int myLoad = ++latestLoad;
    const auto superseded = [myLoad] { return myLoad != latestLoad; };
    int loaded = 0;
    // Loads nest (a newer one runs inside this one's wait), so when this one finds
    // itself superseded the newer one has ended; a cancelled load has no successor, so
    // the progress, the lock and the redraw are set back here in both cases.
    const auto stopQuietly = [&] {
        view_.setProgress(0, 0, false);
        g_.refreshLock = false;
        view_.setViewerAutoRedraw(true);
        return Outcome{loaded, true};
    };

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
            return {0, superseded()};  // the message box let another load run
        }
        const int maximum = static_cast<int>(count);
        view_.setProgress(0, maximum, true);

        const QSize cell = view_.viewerCellSize();
        std::deque<QFuture<ReadResult>> pending;
        for (const auto& uid : uids) {
            const auto file = imageFile(g_.paths, studyUid, uid);
            pending.push_back(QtConcurrent::run(&decodePool(), readAndRender, file, uid, cell));
        }
        for (auto& future : pending) {
            QCoreApplication::processEvents();
            waitWithEvents(future);
            if (superseded()) return stopQuietly();
            ReadResult r = future.result();
            future = {};
            if (!r.image) {
                log::LogError(r.errorCode, r.errorText, "MainForm LoadStudy (READ_ERROR)");
                continue;
            }
            loadedImageSet().push_back(r.image);
            ++loaded;
            view_.setProgress(loaded, maximum, true);
            QCoreApplication::processEvents();
            if (superseded()) return stopQuietly();
            view_.addToViewer(r.image);
        }
    } catch (const Error& e) {
        op().message("An error occured during loading - please retry!", {}, MsgIcon::Critical, MsgButtons::OK);
        log::LogError(e.code(), e.message(), "MainForm LoadStudy");
    } catch (const std::exception& e) {
        op().message("An error occured during loading - please retry!", {}, MsgIcon::Critical, MsgButtons::OK);
        log::LogError(errc::Generic, e.what(), "MainForm LoadStudy");
    }
    if (superseded()) return stopQuietly();
    view_.setImageCountText(QString::number(loaded) + " image(s)");
    view_.setProgress(0, 0, false);
    g_.dataDb.closeIfOpen();
    g_.refreshLock = false;
    view_.setViewerAutoRedraw(true);
    return {loaded, false};
}

}  // namespace corva::station
