#pragma once
// LoadStudy: reads the files of an image set into the loaded image set and the viewer,
// in display order, with the progress and messages the operator expects. Files are
// read and rendered on worker threads ahead of the user-interface thread; the results
// are taken in order, and window messages run while waiting.
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
    virtual QSize viewerCellSize() const = 0;                 // the size images are rendered for
};

class StudyLoader {
public:
    StudyLoader(StationContext& g, StudyLoaderView& view) : g_(g), view_(view) {}

    struct Outcome {
        int loaded = 0;           // images added to the viewer
        bool superseded = false;  // another load or cancelRunning() took over
    };

    // Loads the images of `query` from the folder of `studyUid` in the image store.
    // A load started while this one waits (the operator clicked another study)
    // supersedes it: this one then stops quietly and its caller should not go on.
    Outcome load(const ImageSetQuery& query, const std::string& studyUid);

    // Stops the load that is waiting for its files (the view was reset under it): it
    // adds nothing more, hides the progress and clears the refresh lock.
    static void cancelRunning();

private:
    StationContext& g_;
    StudyLoaderView& view_;
};

}  // namespace corva::station
