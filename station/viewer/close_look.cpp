#include "viewer/close_look.h"

#include <algorithm>
#include <cmath>

namespace corva::station {

void CloseLook::start(QSize imageSize, QSize viewSize, std::optional<dicom::DisplayWindow> ownWindow) {
    image_ = imageSize;
    view_ = viewSize;
    own_ = ownWindow;
    reset();
}

void CloseLook::resize(QSize viewSize) {
    view_ = viewSize;
    if (scale_ != 0 && scale_ < fitScale()) scale_ = 0;
    clampCentre();
}

double CloseLook::fitScale() const {
    if (image_.isEmpty() || view_.isEmpty()) return 1.0;
    return std::min(static_cast<double>(view_.width()) / image_.width(),
                    static_cast<double>(view_.height()) / image_.height());
}

double CloseLook::maxScale() const { return std::max(1.0, fitScale()); }

double CloseLook::scale() const { return scale_ == 0 ? fitScale() : scale_; }

void CloseLook::zoomBy(double factor, QPointF anchor) {
    const double before = scale();
    const double after = std::clamp(before * factor, fitScale(), maxScale());
    if (after == before) return;
    // The image point under the anchor stays under it.
    const QPointF viewCentre(view_.width() / 2.0, view_.height() / 2.0);
    const QPointF underAnchor = centre_ + (anchor - viewCentre) / before;
    scale_ = after <= fitScale() ? 0 : after;
    centre_ = underAnchor - (anchor - viewCentre) / scale();
    clampCentre();
}

void CloseLook::toggleOneToOne(QPointF anchor) {
    if (scale() >= maxScale()) {
        scale_ = 0;
        clampCentre();
        return;
    }
    zoomBy(maxScale() / scale(), anchor);
}

void CloseLook::panBy(QPointF delta) {
    centre_ -= delta / scale();
    clampCentre();
}

void CloseLook::beginWindowDrag() {
    if (const auto w = window()) dragStart_ = *w;
}

void CloseLook::windowDrag(QPointF moved) {
    if (!own_) return;  // colour: no window
    const double step = std::max(1.0, dragStart_.width) / 256.0;
    dicom::DisplayWindow w;
    w.width = std::max(1.0, std::round(dragStart_.width + moved.x() * step));
    w.center = std::round(dragStart_.center + moved.y() * step);
    window_ = w;
}

void CloseLook::reset() {
    scale_ = 0;
    window_.reset();
    centre_ = QPointF(image_.width() / 2.0, image_.height() / 2.0);
}

void CloseLook::clampCentre() {
    const double s = scale();
    const double halfW = view_.width() / 2.0 / s, halfH = view_.height() / 2.0 / s;
    // Along an axis the image does not fill, it stays in the middle.
    if (2 * halfW >= image_.width())
        centre_.setX(image_.width() / 2.0);
    else
        centre_.setX(std::clamp(centre_.x(), halfW, image_.width() - halfW));
    if (2 * halfH >= image_.height())
        centre_.setY(image_.height() / 2.0);
    else
        centre_.setY(std::clamp(centre_.y(), halfH, image_.height() - halfH));
}

QRectF CloseLook::sourceRect() const {
    const double s = scale();
    const double w = std::min<double>(image_.width(), view_.width() / s);
    const double h = std::min<double>(image_.height(), view_.height() / s);
    return {centre_.x() - w / 2, centre_.y() - h / 2, w, h};
}

QRectF CloseLook::targetRect() const {
    const QRectF source = sourceRect();
    const double s = scale();
    const double w = source.width() * s, h = source.height() * s;
    return {(view_.width() - w) / 2, (view_.height() - h) / 2, w, h};
}

QSize CloseLook::renderSize() const {
    const double s = std::min(scale(), 1.0);  // beyond 1:1 the painter enlarges
    return {std::max(1, static_cast<int>(std::lround(image_.width() * s))),
            std::max(1, static_cast<int>(std::lround(image_.height() * s)))};
}

}  // namespace corva::station
