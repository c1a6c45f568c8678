#include "viewer/dicom_viewer.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QThreadPool>
#include <QWheelEvent>
#include <cmath>

#include "viewer/viewer_paging.h"

namespace corva::station {

namespace {

int virtualKey(int qtKey) {
    switch (qtKey) {
        case Qt::Key_PageUp: return 33;
        case Qt::Key_PageDown: return 34;
        case Qt::Key_End: return 35;
        case Qt::Key_Home: return 36;
        case Qt::Key_Left: return 37;
        case Qt::Key_Up: return 38;
        case Qt::Key_Right: return 39;
        case Qt::Key_Down: return 40;
        default: break;
    }
    if (qtKey >= Qt::Key_A && qtKey <= Qt::Key_Z) return qtKey;  // same codes
    if (qtKey >= Qt::Key_0 && qtKey <= Qt::Key_9) return qtKey;
    return 0;
}

}  // namespace

DicomViewer::DicomViewer(QWidget* parent) : QWidget(parent) {
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void DicomViewer::setGrid(int columns, int rows) {
    columns_ = std::max(1, columns);
    rows_ = std::max(1, rows);
    if (autoRedraw_) update();
}

void DicomViewer::setHanging(Hanging hanging) {
    hanging_ = std::move(hanging);
    update();
}

int DicomViewer::positionInCell(int cell) const {
    if (hanging_.active()) {
        if (cell < 0 || cell >= static_cast<int>(hanging_.cells.size())) return 0;
        const int position = hanging_.cells[cell].position;
        return position >= 1 && position <= count() ? position : 0;
    }
    const int position = top_ + cell;
    return position >= 1 && position <= count() ? position : 0;
}

void DicomViewer::setBackground(const QColor& c) {
    background_ = c;
    if (autoRedraw_) update();
}

void DicomViewer::add(std::shared_ptr<LoadedImage> image) {
    images_.push_back(std::move(image));
    if (autoRedraw_) update();
}

void DicomViewer::clear() {
    const bool wasSingle = single_ != 0;
    images_.clear();
    framed_.clear();
    captions_.clear();
    hanging_ = {};
    top_ = 1;
    single_ = 0;
    lookPicture_ = {};
    setToolTip({});
    update();
    if (wasSingle) emit singleShown(0);
}

void DicomViewer::setCaption(int position, const QString& caption) {
    if (position < 1) return;
    if (static_cast<int>(captions_.size()) < position) captions_.resize(static_cast<std::size_t>(position));
    captions_[static_cast<std::size_t>(position - 1)] = caption;
    update();
}

QString DicomViewer::caption(int position) const {
    return position >= 1 && position <= static_cast<int>(captions_.size()) ? captions_[static_cast<std::size_t>(position - 1)]
                                                                           : QString();
}

void DicomViewer::showSingle(int position) {
    if (position < 1 || position > count()) return;
    single_ = position;
    singleMirrored_ = false;
    for (const Hanging::Cell& cell : hanging_.cells)
        if (hanging_.active() && cell.position == position) singleMirrored_ = cell.mirrored;
    const auto& img = images_[static_cast<std::size_t>(position - 1)];
    std::optional<dicom::DisplayWindow> own;
    lookWindowPending_ = !img->knownDisplayWindow(own);
    look_.start(img->pixelSize(), size(), own);
    if (lookWindowPending_) findLookWindowLater();
    lookPicture_ = {};
    lookSize_ = {};
    lookWindow_.reset();
    lastPainted_ = 0;  // nothing of the look is painted yet
    setFocus();  // its keys: Esc, Page Up/Down, R, 1
    setToolTip(QStringLiteral("Mouse wheel: zoom up to 1:1\nLeft drag: window (right: wider, down: darker)\n"
                              "Right or middle drag: pan\nR: reset zoom and window\n1: 1:1 or fitted\n"
                              "Page Up / Page Down: previous / next image\nEsc or double click: all images"));
    update();
    emit singleShown(position);
}

void DicomViewer::showAll() {
    if (single_ == 0) return;
    single_ = 0;
    lookPicture_ = {};
    setToolTip({});
    update();
    emit singleShown(0);
}

void DicomViewer::setTopIndex(int top) {
    top_ = std::max(1, top);
    update();
}

void DicomViewer::setAutoRedraw(bool on) {
    autoRedraw_ = on;
    if (on) update();
}

QSize DicomViewer::cellSize() const {
    return cellSizeFor(shownColumns(), shownRows());
}

QSize DicomViewer::cellSizeFor(int columns, int rows) const {
    return {std::max(1, width() / std::max(1, columns)), std::max(1, height() / std::max(1, rows))};
}

QRect DicomViewer::cellRect(int cell) const {
    const QSize size = cellSize();
    const int columns = shownColumns();
    return {(cell % columns) * size.width(), (cell / columns) * size.height(), size.width(), size.height()};
}

int DicomViewer::positionAt(const QPoint& p) const {
    if (single_) return rect().contains(p) ? single_ : 0;
    const QSize size = cellSize();
    if (p.x() < 0 || p.y() < 0) return 0;
    const int col = p.x() / size.width();
    const int row = p.y() / size.height();
    if (col >= shownColumns() || row >= shownRows()) return 0;
    return positionInCell(row * shownColumns() + col);
}

void DicomViewer::setFrame(int position, int style, const QColor& colour) {
    if (style == 0) framed_.erase(position);
    else {
        framed_.insert(position);
        frameColour_ = colour;
    }
    update();
}

void DicomViewer::renderLater(const std::shared_ptr<LoadedImage>& image, QSize cell) {
    if (!pendingRenders_.insert(image.get()).second) return;
    QPointer<DicomViewer> self(this);
    std::weak_ptr<LoadedImage> weak = image;
    const LoadedImage* key = image.get();
    decodePool().start([self, weak, cell, key] {
        if (auto img = weak.lock()) img->rendered(cell);
        QMetaObject::invokeMethod(
            qApp,
            [self, key] {
                if (!self) return;
                self->pendingRenders_.erase(key);
                self->update();
            },
            Qt::QueuedConnection);
    });
}

void DicomViewer::renderLookLater() {
    if (lookPending_ || single_ == 0) return;
    lookPending_ = true;
    const std::shared_ptr<LoadedImage>& image = images_[static_cast<std::size_t>(single_ - 1)];
    QPointer<DicomViewer> self(this);
    std::weak_ptr<LoadedImage> weak = image;
    const LoadedImage* key = image.get();
    const QSize size = look_.renderSize();
    const std::optional<dicom::DisplayWindow> window = look_.window();
    decodePool().start([self, weak, key, size, window] {
        QImage picture;
        if (auto img = weak.lock()) picture = img->renderWith(size, window);
        QMetaObject::invokeMethod(
            qApp,
            [self, key, size, window, picture] {
                if (!self) return;
                self->lookPending_ = false;
                if (self->single_ && self->images_[static_cast<std::size_t>(self->single_ - 1)].get() == key) {
                    self->lookPicture_ = picture;
                    self->lookSize_ = size;
                    self->lookWindow_ = window;
                }
                self->update();  // a newer look asks again from the paint
            },
            Qt::QueuedConnection);
    });
}

void DicomViewer::findLookWindowLater() {
    const std::shared_ptr<LoadedImage>& image = images_[static_cast<std::size_t>(single_ - 1)];
    QPointer<DicomViewer> self(this);
    std::weak_ptr<LoadedImage> weak = image;
    const LoadedImage* key = image.get();
    decodePool().start([self, weak, key] {
        std::optional<dicom::DisplayWindow> own;
        if (auto img = weak.lock()) own = img->displayWindow();
        QMetaObject::invokeMethod(
            qApp,
            [self, key, own] {
                if (!self || !self->single_ || !self->lookWindowPending_) return;
                if (self->images_[static_cast<std::size_t>(self->single_ - 1)].get() != key) return;  // another image now
                self->lookWindowPending_ = false;
                self->look_.setOwnWindow(own);
                self->update();
            },
            Qt::QueuedConnection);
    });
}

QPointF DicomViewer::lookPoint(QPointF p) const {
    return singleMirrored_ ? QPointF(width() - p.x(), p.y()) : p;
}

void DicomViewer::drawCaption(QPainter& painter, const QRect& image, const QRect& cell, const QString& text,
                              bool atRight) const {
    if (text.isEmpty()) return;
    QFont font = painter.font();
    font.setBold(true);
    font.setPixelSize(std::clamp(cell.height() / 22, 11, 18));
    painter.setFont(font);
    const QFontMetrics metrics(font);
    const QRect box(0, 0, metrics.horizontalAdvance(text) + 8, metrics.height() + 2);
    // In the image's top corner away from the chest wall, inside the cell.
    const QRect area = image.intersected(cell);
    QRect place = box.translated(atRight ? area.right() - box.width() - 3 : area.left() + 3, area.top() + 3);
    painter.fillRect(place, QColor(0, 0, 0, 160));
    painter.setPen(QColor(255, 236, 120));
    painter.drawText(place, Qt::AlignCenter, text);
}

void DicomViewer::paintSingle(QPainter& painter) {
    const auto& img = images_[static_cast<std::size_t>(single_ - 1)];
    const QSize wanted = look_.renderSize();
    const bool current =
        !lookWindowPending_ && !lookPicture_.isNull() && lookSize_ == wanted && lookWindow_ == look_.window();
    // Rendered once the window is known: the rendering is made for the window it shows.
    if (!lookWindowPending_ && !(lookSize_ == wanted && lookWindow_ == look_.window())) renderLookLater();
    QImage picture = lookPicture_.isNull() ? img->anyCached() : lookPicture_;
    QRect shown;
    if (!picture.isNull() && !look_.imageSize().isEmpty()) {
        const double ratio = static_cast<double>(picture.width()) / look_.imageSize().width();
        const QRectF source = look_.sourceRect();
        const QRectF from(source.x() * ratio, source.y() * ratio, source.width() * ratio, source.height() * ratio);
        const QRectF to = look_.targetRect();
        painter.save();
        if (singleMirrored_) {
            painter.translate(width(), 0);
            painter.scale(-1, 1);
        }
        painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
        painter.drawImage(to, picture, from);
        painter.restore();
        shown = to.toAlignedRect();
        if (singleMirrored_) shown.moveLeft(width() - shown.right() - 1);
    }
    const QString side = caption(single_);
    drawCaption(painter, shown.isEmpty() ? rect() : shown, rect(), side, false);
    // What the look is, and how to work it.
    QString state = look_.scale() >= 1.0 - 1e-9 && look_.scale() <= 1.0 + 1e-9
                        ? QStringLiteral("1:1")
                        : QStringLiteral("%1 %").arg(std::lround(look_.scale() * 100));
    if (const auto w = look_.window())
        state += QStringLiteral("   W %1  C %2").arg(std::lround(w->width)).arg(std::lround(w->center));
    QFont font = this->font();
    font.setPixelSize(12);
    painter.setFont(font);
    const QFontMetrics metrics(font);
    const QRect bar(0, height() - metrics.height() - 6, width(), metrics.height() + 6);
    painter.fillRect(bar, QColor(0, 0, 0, 170));
    painter.setPen(QColor(230, 230, 230));
    const QString where = QStringLiteral("Image %1 of %2   %3").arg(single_).arg(count()).arg(state);
    painter.drawText(bar.adjusted(6, 0, -6, 0), Qt::AlignVCenter | Qt::AlignLeft, where);
    // How to work it, as much as the bar has room for (the tool tip tells it all).
    const int room = bar.width() - metrics.horizontalAdvance(where) - 36;
    if (room > 40)
        painter.drawText(bar.adjusted(6, 0, -6, 0), Qt::AlignVCenter | Qt::AlignRight,
                         metrics.elidedText(QStringLiteral("Esc: all   Wheel: zoom   Drag: window   Right drag: pan   "
                                                           "R: reset   1: 1:1   PgUp/PgDn: image"),
                                            Qt::ElideRight, room));
    lastPainted_ = current ? 1 : 0;
    emit painted(lastPainted_);
}

void DicomViewer::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), background_);
    if (single_) {
        paintSingle(painter);
        return;
    }
    const QSize cell = cellSize();
    int drawn = 0;
    const int perPage = shownColumns() * shownRows();
    for (int c = 0; c < perPage; ++c) {
        const int position = positionInCell(c);
        if (position == 0) {
            if (hanging_.active()) continue;  // an empty place of the hanging
            break;
        }
        const Hanging::Cell* hung =
            hanging_.active() && c < static_cast<int>(hanging_.cells.size()) ? &hanging_.cells[c] : nullptr;
        const auto& img = images_[position - 1];
        const QRect r = cellRect(c);
        QImage picture;
        const bool exact = img->renderedFor(cell, picture);
        if (exact && picture.isNull()) ++drawn;  // nothing to show for this image, and that is final
        if (!exact) {
            renderLater(img, cell);
            picture = img->anyCached();  // the old size, scaled, until the new one is ready
        }
        if (!picture.isNull()) {
            QSize target = picture.size().scaled(r.size(), Qt::KeepAspectRatio);
            if (exact && picture.width() <= r.width() && picture.height() <= r.height()) target = picture.size();
            const Qt::Alignment align = hung ? hung->align : Qt::Alignment(Qt::AlignCenter);
            int x = r.x() + (r.width() - target.width()) / 2;
            if (align & Qt::AlignLeft) x = r.x();
            if (align & Qt::AlignRight) x = r.right() + 1 - target.width();
            const QRect dest(x, r.y() + (r.height() - target.height()) / 2, target.width(), target.height());
            painter.setRenderHint(QPainter::SmoothPixmapTransform, !exact);
            painter.drawImage(dest, hung && hung->mirrored ? picture.mirrored(true, false) : picture);
            if (exact) ++drawn;
            drawCaption(painter, dest, r, caption(position), hung && (hung->align & Qt::AlignLeft));
        }
        if (framed_.count(position)) {
            QPen pen(frameColour_);
            pen.setWidth(3);
            painter.setPen(pen);
            painter.setBrush(Qt::NoBrush);
            painter.drawRect(r.adjusted(1, 1, -2, -2));
        }
    }
    lastPainted_ = drawn;
    emit painted(drawn);
}

void DicomViewer::mousePressEvent(QMouseEvent* event) {
    dragButton_ = event->button();
    dragFrom_ = dragLast_ = event->position().toPoint();
    dragged_ = false;
    if (single_ && dragButton_ == Qt::LeftButton) look_.beginWindowDrag();
}

void DicomViewer::mouseMoveEvent(QMouseEvent* event) {
    if (!single_ || dragButton_ == Qt::NoButton) return;
    const QPoint at = event->position().toPoint();
    if ((at - dragFrom_).manhattanLength() > 3) dragged_ = true;
    if (dragged_) {
        if (dragButton_ == Qt::LeftButton) {
            look_.windowDrag(at - dragFrom_);
        } else {
            const QPoint step = at - dragLast_;
            look_.panBy(QPointF(singleMirrored_ ? -step.x() : step.x(), step.y()));
        }
        update();
    }
    dragLast_ = at;
}

void DicomViewer::mouseReleaseEvent(QMouseEvent* event) {
    const bool wasDrag = dragged_ && event->button() == dragButton_;
    dragButton_ = Qt::NoButton;
    dragged_ = false;
    if (wasDrag) return;  // a drag in the closer look is no click
    emit mouseReleased(event->button(), event->position().toPoint());
}

void DicomViewer::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    if (single_) {
        showAll();
        return;
    }
    if (const int position = positionAt(event->position().toPoint())) showSingle(position);
}

void DicomViewer::wheelEvent(QWheelEvent* event) {
    wheelRest_ += event->angleDelta().y();
    const int steps = wheelRest_ / 120;
    wheelRest_ -= steps * 120;
    if (steps == 0) return;
    if (single_) {
        look_.zoomBy(std::pow(1.25, steps), lookPoint(event->position()));
        update();
        return;
    }
    // Down the images a row per step, as the scroll bar moves.
    for (int i = 0; i < std::abs(steps); ++i) emit keyPressed(steps > 0 ? vk::Up : vk::Down);
}

bool DicomViewer::singleKey(int key) {
    switch (key) {
        case Qt::Key_Escape:
        case Qt::Key_Return:
        case Qt::Key_Enter: showAll(); return true;
        case Qt::Key_PageDown:
        case Qt::Key_Down:
        case Qt::Key_Right:
        case Qt::Key_Space:
            if (single_ < count()) showSingle(single_ + 1);
            return true;
        case Qt::Key_PageUp:
        case Qt::Key_Up:
        case Qt::Key_Left:
            if (single_ > 1) showSingle(single_ - 1);
            return true;
        case Qt::Key_R: look_.reset(); update(); return true;
        case Qt::Key_1: look_.toggleOneToOne(QPointF(width() / 2.0, height() / 2.0)); update(); return true;
        default: return false;
    }
}

void DicomViewer::keyPressEvent(QKeyEvent* event) {
    if (single_ && singleKey(event->key())) return;
    const int code = virtualKey(event->key());
    if (code) emit keyPressed(code);
    else QWidget::keyPressEvent(event);
}

void DicomViewer::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    look_.resize(size());
}

}  // namespace corva::station
