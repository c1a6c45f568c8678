#pragma once
// A closer look at one image: the view's scale (from "fit in the viewer" up to 1:1
// pixels), which part of the image shows, and the display window the operator dragged.
// Plain geometry, no widget: the viewer draws what it says.
#include <QPointF>
#include <QRectF>
#include <QSize>
#include <optional>

#include "dicom/dicom.h"

namespace corva::station {

class CloseLook {
public:
    // A new look: the whole image fitted into the view, with the image's own window.
    void start(QSize imageSize, QSize viewSize, std::optional<dicom::DisplayWindow> ownWindow);
    void resize(QSize viewSize);
    // The image's own window once it is known (found on a decode thread after start()).
    void setOwnWindow(std::optional<dicom::DisplayWindow> ownWindow) { own_ = ownWindow; }

    QSize imageSize() const { return image_; }
    // Display pixels per image pixel.
    double scale() const;
    double fitScale() const;
    // The largest scale: 1:1, or the fitted scale of an image smaller than the view.
    double maxScale() const;
    bool fitted() const { return scale_ <= fitScale(); }

    // Scales by `factor` (clamped between fitted and 1:1), keeping the image point under
    // `anchor` (view coordinates) where it is.
    void zoomBy(double factor, QPointF anchor);
    // 1:1 around `anchor`, or back to fitted when already there.
    void toggleOneToOne(QPointF anchor);
    // Moves the image with the pointer (view coordinates); stops at the image's edges.
    void panBy(QPointF delta);

    // Window drag: from the window at the drag's start, right widens, down raises the
    // centre, both by the window's width per 256 pixels of movement.
    void beginWindowDrag();
    void windowDrag(QPointF moved);
    // The window to render with; the image's own until the operator changed it.
    std::optional<dicom::DisplayWindow> window() const { return window_ ? window_ : own_; }
    bool windowChanged() const { return window_.has_value() && window_ != own_; }

    // Fitted again, with the image's own window.
    void reset();

    // The part of the image that shows (image pixels) and where it is drawn (view pixels).
    QRectF sourceRect() const;
    QRectF targetRect() const;
    // The size to render the whole image at for the current scale.
    QSize renderSize() const;

private:
    void clampCentre();

    QSize image_;
    QSize view_;
    double scale_ = 0;      // 0: fitted
    QPointF centre_;        // image point at the view's centre
    std::optional<dicom::DisplayWindow> own_;
    std::optional<dicom::DisplayWindow> window_;
    dicom::DisplayWindow dragStart_;
};

}  // namespace corva::station
