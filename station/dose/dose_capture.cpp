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
#include "main/operator_seam.h"

namespace corva::dose {

bool reinitialisesOnReturn(const QWidget* tookOver) {
    if (!tookOver) return false;  // another program
    return !(qobject_cast<const QMessageBox*>(tookOver) || qobject_cast<const QInputDialog*>(tookOver) ||
             qobject_cast<const QFileDialog*>(tookOver) || qobject_cast<const QColorDialog*>(tookOver));
}

DoseCapture::DoseCapture(QWidget* mainWindow, settings::Settings& settings, std::filesystem::path programFolder)
    : QObject(mainWindow), window_(mainWindow), settings_(settings),
      programFolder_(programFolder.empty() ? corva::programFolder() : std::move(programFolder)),
      store_(programFolder_ / "Data" / "QAData.dat") {
    link_ = std::make_unique<DoseLink>(settings_, programFolder_, store_);
    list_ = std::make_unique<DoseListPresenter>(DoseWidgets::find(window_), store_);

    DoseLink::Hooks& lh = link_->hooks();
    lh.projectionField = [this] { return controlText(control(QStringLiteral("Text3"), 5)); };
    lh.clearProjectionField = [this] { setControlText(control(QStringLiteral("Text3"), 5), {}); };
    lh.currentProjection = [this] { return currentProjection_; };
    lh.parsed = [this] { list_->fill(); };
    lh.waiting = [this] { updateForwardingButtons(); };

    DoseListPresenter::Hooks& ph = list_->hooks();
    ph.refreshLocked = [this] { return hooks_.refreshLocked && hooks_.refreshLocked(); };
    ph.addTask = [this] {
        if (hooks_.addTask) hooks_.addTask();
    };
    ph.filled = [this] {
        if (hooks_.doseListFilled) hooks_.doseListFilled();
    };
    ph.pollOn = [this] { link_->pollOn(); };

    connect(link_.get(), &DoseLink::bufferChanged, this,
            [this](const QString& text) { setControlText(control(QStringLiteral("txtcInput")), text); });
    connect(link_.get(), &DoseLink::tokensChanged, this, [this](const QStringList& tokens) {
        if (auto* list1 = qobject_cast<QListWidget*>(control(QStringLiteral("List1")))) {
            list1->clear();
            list1->addItems(tokens);
        }
    });

    for (int i = 0; i < ProjectionButtonCount; ++i)
        if (auto* button = qobject_cast<QAbstractButton*>(control(QStringLiteral("cmdProjection"), i)))
            connect(button, &QAbstractButton::clicked, this, [this, i] { projectionClicked(i); });

    if (window_) window_->installEventFilter(this);
}

DoseCapture::~DoseCapture() {
    if (window_) window_->removeEventFilter(this);
}

QWidget* DoseCapture::control(const QString& name, int index) const { return findControl(window_, name, index); }

bool DoseCapture::eventFilter(QObject* watched, QEvent* event) {
    if (watched == window_) {
        if (event->type() == QEvent::WindowDeactivate) {
            // The application's active window is already the one that took over.
            initialiseOnActivation_ = reinitialisesOnReturn(QApplication::activeWindow());
        } else if (event->type() == QEvent::WindowActivate) {
            if (initialiseOnActivation_)
                activate();
            else
                applyDebugMode();
        }
    }
    return QObject::eventFilter(watched, event);
}

void DoseCapture::applyDebugMode() {
    const bool debug = settings_.debug == 1;
    if (QWidget* w = control(QStringLiteral("txtcInput"))) w->setVisible(debug);
    if (QWidget* w = control(QStringLiteral("List1"))) w->setVisible(debug);
    if (QWidget* w = control(QStringLiteral("lvDosis"))) w->setVisible(!debug);
}

void DoseCapture::activate() {
    applyDebugMode();
    link_->initialise();
}

void DoseCapture::loadProjectionCaptions() {
    ProjectionCaptions::load(programFolder_, settings_.xrayComm).apply(window_);
}

void DoseCapture::projectionClicked(int index) {
    auto* button = qobject_cast<QAbstractButton*>(control(QStringLiteral("cmdProjection"), index));
    currentProjection_ = button ? button->text() : QString();
    setControlText(control(QStringLiteral("Text3"), 5), currentProjection_);
    if (!link_->buffer().isEmpty()) link_->dbFill();
}

void DoseCapture::fill() { link_->dbFill(); }

void DoseCapture::refreshDoseList() { list_->fill(); }

void DoseCapture::deleteDoseList() { list_->deleteAll(); }

void DoseCapture::refreshDosisList(int forwardingMode) { list_->refreshDosisList(forwardingMode); }

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
    auto* images = qobject_cast<QTreeWidget*>(control(QStringLiteral("lvImages")));
    if (!images || images->topLevelItemCount() == 0) return;
    if (QWidget* all = control(QStringLiteral("cmdAll")))
        all->setEnabled(images->topLevelItemCount() == list_->rowCount());
    if (QWidget* selected = control(QStringLiteral("cmdSelected"))) selected->setEnabled(true);
}

}  // namespace corva::dose
