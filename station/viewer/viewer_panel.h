#pragma once
// The viewer of the main window: the image grid dv1 with its scroll bar, the paging
// rules and the image the operator selected in it.
#include <QWidget>
#include <memory>
#include <string>

#include "viewer/loaded_image.h"
#include "viewer/viewer_paging.h"

class QScrollBar;

namespace corva::station {

class DicomViewer;

class ViewerPanel : public QWidget {
    Q_OBJECT
public:
    explicit ViewerPanel(QWidget* parent = nullptr);

    DicomViewer* dv1() const { return dv1_; }
    QScrollBar* dv1_vscroll() const { return dv1_vscroll_; }
    const ViewerPaging& paging() const { return paging_; }

    // The grid and background from the settings, at the window's loading.
    void applySettingsAtLoad();
    // After the options: a changed grid starts again at the top; the background follows.
    void ApplyViewerSettings();
    void InitScrollbar();
    // A key on the viewer: the paging keys move the top row.
    void keyDown(int virtualKey);

    // Removes every image; the current image and its mark go with them.
    void clear();
    void add(std::shared_ptr<LoadedImage> image);
    void setAutoRedraw(bool on);
    QSize cellSize() const;

    // Marks the image at `position` (1-based) as the current one (the frame moves to it).
    void selectImage(int position);
    void forgetCurrentImage();
    const std::shared_ptr<LoadedImage>& currentImage() const { return currentImage_; }
    int selectedIndex() const { return selectedImageIndex_; }
    bool imageSelectedMark() const { return imageSelected_; }
    // The position of the image with this SOP instance UID; 0 when none shows it.
    int positionOf(const std::string& sopInstanceUid) const;

private:
    void syncPaging();

    DicomViewer* dv1_ = nullptr;
    QScrollBar* dv1_vscroll_ = nullptr;
    ViewerPaging paging_{3, 7};
    std::shared_ptr<LoadedImage> currentImage_;
    int selectedImageIndex_ = 0;
    bool imageSelected_ = false;
};

}  // namespace corva::station
