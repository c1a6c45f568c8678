#include "viewer/viewer_panel.h"

#include <QHBoxLayout>
#include <QScrollBar>

#include "common/station_context.h"
#include "settings/settings.h"
#include "viewer/dicom_viewer.h"

namespace corva::station {

ViewerPanel::ViewerPanel(QWidget* parent) : QWidget(parent) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    dv1_ = new DicomViewer(this);
    dv1_->setObjectName("dv1");
    dv1_->setMinimumSize(240, 240);
    dv1_vscroll_ = new QScrollBar(Qt::Vertical, this);
    dv1_vscroll_->setObjectName("dv1_vscroll");
    dv1_vscroll_->setEnabled(false);
    row->addWidget(dv1_, 1);
    row->addWidget(dv1_vscroll_);
    const auto scrolled = [this](int value) {
        paging_.scrolledTo(value);
        dv1_->setTopIndex(paging_.top());
    };
    connect(dv1_vscroll_, &QScrollBar::valueChanged, this, scrolled);
    connect(dv1_vscroll_, &QScrollBar::sliderMoved, this, scrolled);
    connect(dv1_, &DicomViewer::keyPressed, this, &ViewerPanel::keyDown);
}

void ViewerPanel::applySettingsAtLoad() {
    const auto& s = settings::current();
    dv1_->setGrid(s.viewerColumns, s.viewerRows);
    dv1_->setBackground(colourFromSetting(s.viewerBgColor));
    paging_.setGrid(s.viewerColumns, s.viewerRows);
}

void ViewerPanel::ApplyViewerSettings() {
    const auto& s = settings::current();
    if (dv1_->columns() != s.viewerColumns || dv1_->rows() != s.viewerRows) {
        if (dv1_->count() >= 2) dv1_->setTopIndex(1);
        dv1_->setGrid(s.viewerColumns, s.viewerRows);
        paging_.setGrid(s.viewerColumns, s.viewerRows);
        syncPaging();
        InitScrollbar();
    }
    dv1_->setBackground(colourFromSetting(s.viewerBgColor));
}

void ViewerPanel::InitScrollbar() {
    const auto& s = settings::current();
    ViewerPaging rules(s.viewerColumns, s.viewerRows);
    rules.setCount(dv1_->count());
    const ScrollBarSetup setup = rules.scrollBar();
    QSignalBlocker block(dv1_vscroll_);
    if (setup.enabled) {
        dv1_vscroll_->setMinimum(0);
        dv1_vscroll_->setMaximum(setup.maximum);
        dv1_vscroll_->setValue(0);
        dv1_vscroll_->setPageStep(1);
        dv1_vscroll_->setEnabled(true);
    } else {
        // A disabled bar shows nothing to scroll: its thumb at the top, not where the
        // previous study left it.
        dv1_vscroll_->setRange(0, 0);
        dv1_vscroll_->setValue(0);
        dv1_vscroll_->setEnabled(false);
    }
}

void ViewerPanel::keyDown(int virtualKey) {
    syncPaging();
    if (!paging_.key(virtualKey)) return;
    dv1_->setTopIndex(paging_.top());
    // The bar shows where the page is, whichever way it moved.
    QSignalBlocker block(dv1_vscroll_);
    dv1_vscroll_->setValue((paging_.top() - 1) / std::max(1, paging_.columns()));
}

void ViewerPanel::clear() {
    dv1_->clear();
    // An emptied viewer shows no current image: a later load must not leave commands
    // working on an image of the load before.
    forgetCurrentImage();
    syncPaging();
}

void ViewerPanel::add(std::shared_ptr<LoadedImage> image) {
    dv1_->add(std::move(image));
    syncPaging();
}

void ViewerPanel::setAutoRedraw(bool on) {
    dv1_->setAutoRedraw(on);
}

QSize ViewerPanel::cellSize() const {
    return dv1_->cellSize();
}

void ViewerPanel::syncPaging() {
    paging_.setCount(dv1_->count());
    paging_.setTop(dv1_->topIndex());
}

void ViewerPanel::selectImage(int position) {
    const QColor marker = colourFromSetting(settings::current().viewerFgColor);
    if (imageSelected_ && selectedImageIndex_ >= 1 && selectedImageIndex_ <= dv1_->count())
        dv1_->setFrame(selectedImageIndex_, 0, marker);
    currentImage_ = dv1_->image(position);
    selectedImageIndex_ = position;
    imageSelected_ = true;
    dv1_->setFrame(position, 2, marker);
}

void ViewerPanel::forgetCurrentImage() {
    currentImage_.reset();
    selectedImageIndex_ = 0;
    imageSelected_ = false;
}

int ViewerPanel::positionOf(const std::string& sopInstanceUid) const {
    for (int pos = 1; pos <= dv1_->count(); ++pos)
        if (dv1_->image(pos)->sopInstanceUid() == sopInstanceUid) return pos;
    return 0;
}

}  // namespace corva::station
