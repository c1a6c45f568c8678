#include "viewer/dicom_viewer.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QThreadPool>

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
    images_.clear();
    framed_.clear();
    hanging_ = {};
    top_ = 1;
    update();
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
    return {std::max(1, width() / shownColumns()), std::max(1, height() / shownRows())};
}

QRect DicomViewer::cellRect(int cell) const {
    const QSize size = cellSize();
    const int columns = shownColumns();
    return {(cell % columns) * size.width(), (cell / columns) * size.height(), size.width(), size.height()};
}

int DicomViewer::positionAt(const QPoint& p) const {
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

void DicomViewer::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), background_);
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

void DicomViewer::mouseReleaseEvent(QMouseEvent* event) {
    emit mouseReleased(event->button(), event->position().toPoint());
}

void DicomViewer::keyPressEvent(QKeyEvent* event) {
    const int code = virtualKey(event->key());
    if (code) emit keyPressed(code);
    else QWidget::keyPressEvent(event);
}

}  // namespace corva::station
