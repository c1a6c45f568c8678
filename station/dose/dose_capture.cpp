#include "dose/dose_capture.h"

#include <QAbstractButton>
#include <QApplication>
#include <QColorDialog>
#include <QEvent>
#include <QFileDialog>
#include <QInputDialog>
#include <QListWidget>
#include <QMessageBox>
#include <QTreeWidget>
#include <QWidget>

#include "core/paths.h"
#include "dose/controls.h"
#include "dose/dosis_form.h"
#include "dose/modify_image.h"
#include "dose/projection_ini.h"
#include "common/operator_seam.h"
#include "common/station_context.h"

namespace corva::dose {

bool reinitialisesOnReturn(const QWidget* tookOver) {
    if (!tookOver) return false;  // another program
    return !(qobject_cast<const QMessageBox*>(tookOver) || qobject_cast<const QInputDialog*>(tookOver) ||
             qobject_cast<const QFileDialog*>(tookOver) || qobject_cast<const QColorDialog*>(tookOver));
}

DoseCapture::DoseCapture(const DoseView& view, settings::Settings& settings, std::filesystem::path programFolder)
    : QObject(view.window), view_(view), window_(view.window), settings_(settings),
      programFolder_(programFolder.empty() ? corva::programFolder() : std::move(programFolder)),
      store_(station::ProgramPaths::compute(programFolder_).imageDb) {
    link_ = std::make_unique<DoseLink>(settings_, programFolder_, store_);
    list_ = std::make_unique<DoseListPresenter>(view_, store_);

    DoseLink::Hooks& lh = link_->hooks();
    // Only a click counts: Text3(5) also shows the projection of a selected dose record.
    lh.projection = [this] { return currentProjection_; };
    lh.projectionUsed = [this] {
        currentProjection_.clear();
        setControlText(view_.text3[5], {});
    };
    lh.parsed = [this] { list_->fill(); };
    lh.waiting = [this] { updateForwardingButtons(); };

    DoseListPresenter::Hooks& ph = list_->hooks();
    ph.unitType = [this] { return settings_.xrayComm; };
    ph.refreshLocked = [this] { return hooks_.refreshLocked && hooks_.refreshLocked(); };
    ph.addTask = [this] {
        if (hooks_.addTask) hooks_.addTask();
    };
    ph.filled = [this] {
        if (hooks_.doseListFilled) hooks_.doseListFilled();
    };
    ph.pollOn = [this] { link_->pollOn(); };

    connect(link_.get(), &DoseLink::bufferChanged, this,
            [this](const QString& text) { setControlText(view_.txtcInput, text); });
    connect(link_.get(), &DoseLink::bufferAppended, this,
            [this](const QString& piece) { appendControlText(view_.txtcInput, piece); });
    connect(link_.get(), &DoseLink::stateChanged, this, &DoseCapture::stateChanged);
    connect(link_.get(), &DoseLink::tokensChanged, this, [this](const QStringList& tokens) {
        if (QListWidget* list1 = view_.list1) {
            list1->clear();
            list1->addItems(tokens);
        }
    });

    for (int i = 0; i < ProjectionButtonCount; ++i)
        if (QAbstractButton* button = view_.cmdProjection[static_cast<std::size_t>(i)])
            connect(button, &QAbstractButton::clicked, this, [this, i] { projectionClicked(i); });

    if (window_) window_->installEventFilter(this);
}

DoseCapture::~DoseCapture() {
    if (window_) window_->removeEventFilter(this);
}

bool DoseCapture::eventFilter(QObject* watched, QEvent* event) {
    if (watched == window_) {
        if (event->type() == QEvent::WindowDeactivate) {
            // The application's active window is already the one that took over.
            readSettingsOnActivation_ = reinitialisesOnReturn(QApplication::activeWindow());
        } else if (event->type() == QEvent::WindowActivate) {
            if (readSettingsOnActivation_)
                activate();
            else
                applyDebugMode();
        }
    }
    return QObject::eventFilter(watched, event);
}

void DoseCapture::applyDebugMode() {
    const bool debug = settings_.debug == 1;
    if (view_.txtcInput) view_.txtcInput->setVisible(debug);
    if (view_.list1) view_.list1->setVisible(debug);
    if (view_.lvDosis) view_.lvDosis->setVisible(!debug);
}

void DoseCapture::startLink() { link_->start(); }

void DoseCapture::applyLinkSettings() { link_->start(); }

QString DoseCapture::linkState() const { return link_->stateText(); }

void DoseCapture::activate() {
    applyDebugMode();
    link_->start();
}

void DoseCapture::loadProjectionCaptions() {
    ProjectionCaptions::load(programFolder_, settings_.xrayComm).apply(view_.cmdProjection);
}

void DoseCapture::projectionClicked(int index) {
    QAbstractButton* button =
        index >= 0 && index < ProjectionButtonCount ? view_.cmdProjection[static_cast<std::size_t>(index)] : nullptr;
    currentProjection_ = button ? button->text() : QString();
    setControlText(view_.text3[5], currentProjection_);
    link_->storeWaiting();
}

void DoseCapture::fill() { link_->dbFill(); }

void DoseCapture::refreshDoseList() { list_->fill(); }

void DoseCapture::deleteDoseList() { list_->deleteAll(); }

void DoseCapture::refreshDosisList(station::ForwardingMode forwardingMode) { list_->refreshDosisList(forwardingMode); }

void DoseCapture::openHistory() {
    DosisForm form(store_, window_);
    corva::station::op().exec(form);
}

int DoseCapture::doseRecordCount() const { return list_->rowCount(); }

bool DoseCapture::selectDoseRecord(int row) { return list_->selectRow(row); }

const CurrentExposure& DoseCapture::currentExposure() const { return list_->currentExposure(); }

bool DoseCapture::modifyImage(dicom::Image* image) {
    return ModifyImage(image, currentExposure(), settings_.xrayComm, programFolder_ / folder::Bin);
}

void DoseCapture::updateForwardingButtons() {
    QTreeWidget* images = view_.lvImages;
    if (!images || images->topLevelItemCount() == 0) return;
    // Whether the images and records pair is the forwarding plan's to say, with reasons;
    // a button greyed out for unequal counts would say nothing.
    if (view_.cmdAll) view_.cmdAll->setEnabled(true);
    if (view_.cmdSelected) view_.cmdSelected->setEnabled(true);
}

}  // namespace corva::dose
