#pragma once
// Study loading: reads the files of an image set into the loaded image set and the
// viewer, in display order, with the progress and messages the operator expects.
// Files are read and rendered on the decode pool; each result comes back to the
// user-interface thread as it is ready and is taken in display order, one image per
// turn of the event loop, so the window stays responsive and nothing waits.
//
// A load started while another runs cancels it: the decodes it had not started are
// skipped, and it reports nothing more (no finished()).
#include <QObject>
#include <QSize>
#include <memory>
#include <string>

#include "common/image_set.h"
#include "viewer/loaded_image.h"

namespace corva::station {

struct StationContext;

// What the loader drives in the window.
class StudyLoaderView {
public:
    virtual ~StudyLoaderView() = default;
    virtual void clearViewer() = 0;                 // remove all images from the viewer
    virtual void setViewerAutoRedraw(bool on) = 0;
    virtual void setProgress(int value, int maximum, bool visible) = 0;
    virtual void addToViewer(std::shared_ptr<LoadedImage> image) = 0;
    virtual void setImageCountText(const QString& text) = 0;  // status bar panel 4
    // The size the images are rendered for once `images` of them show (the hanging of
    // a loaded study may size the cells differently from the grid).
    virtual QSize viewerCellSize(int images) const = 0;
};

class StudyLoader : public QObject {
    Q_OBJECT
public:
    StudyLoader(StationContext& g, StudyLoaderView& view, QObject* parent = nullptr);
    ~StudyLoader() override;

    // Starts loading the images of `query` from the folder of `studyUid` in the image
    // store; a load still running is cancelled first. An empty set ("No images found!")
    // and a failing query finish at once.
    void load(const ImageSetQuery& query, const std::string& studyUid);
    // Stops the running load (the view was reset under it): it adds nothing more, hides
    // the progress and clears the refresh lock. Nothing happens without one.
    void cancel();
    bool running() const { return static_cast<bool>(run_); }

    // Loads running in the process (tests wait for none).
    static int runningLoads();

signals:
    // One image added to the viewer (after it joined the loaded image set).
    void imageLoaded(std::shared_ptr<LoadedImage> image, int loaded, int total);
    // The load ended and was not cancelled: `loaded` images are shown.
    void finished(int loaded);

private:
    struct Run;
    void scheduleNextResult();
    void takeNextResult();
    void finish();
    void stopRun();

    StationContext& g_;
    StudyLoaderView& view_;
    std::unique_ptr<Run> run_;
};

}  // namespace corva::station
