#pragma once
// LoadStudy: reads the files of an image set into the loaded image set and the viewer,
// in display order, with the progress and messages the operator expects. Files are
// read and rendered on worker threads ahead of the user-interface thread; the results
// are taken in order, and window messages run while waiting.
#include <QSize>
#include <memory>
#include <string>

#include "main/browser_queries.h"
#include "main/loaded_image.h"

namespace corva::station {

struct StationGlobals;

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
    StudyLoader(StationGlobals& g, StudyLoaderView& view) : g_(g), view_(view) {}

    // Loads the images of `query` from the folder of `studyUid` in the image store.
    // Returns the number of images loaded. A load started while this one waits (the
    // operator clicked another study) supersedes it: this one then stops quietly.
    int load(const ImageSetQuery& query, const std::string& studyUid);

private:
    StationGlobals& g_;
    StudyLoaderView& view_;
};

}  // namespace corva::station
