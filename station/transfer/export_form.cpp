#include "transfer/export_form.h"

#include <QApplication>
#include <cstdlib>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QTime>
#include <QVBoxLayout>

#include "common/operator_seam.h"
#include "core/error.h"
#include "log/error_log.h"
#include "settings/settings.h"

namespace corva::station::transfer {

namespace fs = std::filesystem;

namespace {

constexpr int SliderValues[] = {3, 5, 8, 10};

}  // namespace

int ExportForm::sliderValueFor(int comboIndex)
{
    return comboIndex >= 0 && comboIndex < 4 ? SliderValues[comboIndex] : -1;
}

int ExportForm::comboIndexAtLoad(int value)
{
    if (value >= 1 && value <= 3)
        return 0;
    if (value >= 4 && value <= 7)
        return 1;
    if (value == 8 || value == 9)
        return 2;
    if (value == 10)
        return 3;
    return -1;
}

ExportForm::ExportForm(ExportFormat mode, std::vector<fs::path> images, QWidget* parent)
    : QDialog(parent), mode_(mode), images_(std::move(images))
{
    setObjectName("ExportForm");
    setModal(true);

    frmImage_ = new QGroupBox("Image properties", this);
    frmImage_->setObjectName("frmImage");
    cboQuality_ = new QComboBox(frmImage_);
    cboQuality_->setObjectName("cboQuality");
    sldQuality_ = new QSlider(Qt::Horizontal, frmImage_);
    sldQuality_->setObjectName("sldQuality");
    // Quality 0 gives banded pictures: the scale starts at 1.
    sldQuality_->setRange(1, 10);
    sldQuality_->setValue(SliderValues[2]);
    sldQuality_->setTickPosition(QSlider::TicksBelow);
    txtQuality_ = new QLineEdit("0", frmImage_);
    txtQuality_->setObjectName("txtQuality");
    txtQuality_->setReadOnly(true);
    txtQuality_->setMaximumWidth(40);
    auto* imageGrid = new QGridLayout(frmImage_);
    imageGrid->addWidget(new QLabel("Quality:", frmImage_), 0, 0);
    imageGrid->addWidget(cboQuality_, 0, 1);
    imageGrid->addWidget(txtQuality_, 0, 2);
    imageGrid->addWidget(new QLabel("Small file", frmImage_), 1, 0);
    imageGrid->addWidget(sldQuality_, 1, 1);
    imageGrid->addWidget(new QLabel("Big file", frmImage_), 1, 2);

    txtExportDir_ = new QLineEdit(this);
    txtExportDir_->setObjectName("txtExportDir");
    cmdBrowse_ = new QPushButton("...", this);
    cmdBrowse_->setObjectName("cmdBrowse");
    chkCompress_ = new QCheckBox("Compress to ZIP file", this);
    chkCompress_->setObjectName("chkCompress");
    chkDicomDir_ = new QCheckBox("Create DicomDir file", this);
    chkDicomDir_->setObjectName("chkDicomDir");

    frmExport_ = new QGroupBox("Exporting", this);
    frmExport_->setObjectName("frmExport");
    pbExport_ = new QProgressBar(frmExport_);
    pbExport_->setObjectName("pbExport");
    pbExport_->setRange(0, 1);
    pbExport_->setValue(0);
    lblCount_ = new QLabel(frmExport_);
    lblCount_->setObjectName("lblCount");
    auto* exportRow = new QHBoxLayout(frmExport_);
    exportRow->addWidget(new QLabel("Progress:", frmExport_));
    exportRow->addWidget(pbExport_, 1);
    exportRow->addWidget(lblCount_);

    cmdExport_ = new QPushButton("Export", this);
    cmdExport_->setObjectName("cmdExport");
    cmdExport_->setDefault(true);
    cmdCancel_ = new QPushButton("Cancel", this);
    cmdCancel_->setObjectName("cmdCancel");

    auto* dirRow = new QHBoxLayout;
    dirRow->addWidget(txtExportDir_, 1);
    dirRow->addWidget(cmdBrowse_);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(cmdExport_);
    buttons->addWidget(cmdCancel_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(frmImage_);
    layout->addWidget(new QLabel("Export Directory", this));
    layout->addLayout(dirRow);
    layout->addWidget(chkCompress_);
    layout->addWidget(chkDicomDir_);
    layout->addWidget(frmExport_);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    // Window load: the operator finds quality, folder and tick boxes as she last used
    // them; a new installation exports at "High".
    cboQuality_->addItems({"Less", "Middle", "High", "Max"});
    const int stored = std::atoi(settings::ReadRegistryValue("Export\\Quality", "").c_str());
    sldQuality_->setValue(stored >= 1 && stored <= 10 ? stored : SliderValues[2]);
    txtQuality_->setText(QString::number(sldQuality_->value()));
    cboQuality_->setCurrentIndex(comboIndexAtLoad(sldQuality_->value()));
    txtExportDir_->setText(QString::fromStdString(settings::ReadRegistryValue("Export\\Directory", "")));
    chkCompress_->setChecked(settings::ReadRegistryValue("Export\\Compress", "0") == "1");
    chkDicomDir_->setChecked(settings::ReadRegistryValue("Export\\DicomDir", "0") == "1");
    if (mode_ == ExportFormat::Jpeg) {
        setWindowTitle("Export JPEG");
        chkDicomDir_->hide();
        frmExport_->hide();
    } else {
        setWindowTitle("Export DICOM");
        frmImage_->hide();
    }

    connect(cboQuality_, &QComboBox::activated, this, &ExportForm::cboQuality_Click);
    connect(sldQuality_, &QSlider::valueChanged, this, &ExportForm::sldQuality_Change);
    connect(cmdBrowse_, &QPushButton::clicked, this, &ExportForm::cmdBrowse_Click);
    connect(cmdExport_, &QPushButton::clicked, this, &ExportForm::cmdExport_Click);
    connect(cmdCancel_, &QPushButton::clicked, this, &ExportForm::reject);
}

ExportForm::~ExportForm()
{
    cancel_ = true;
    if (worker_.valid())
        worker_.wait();
    if (running_)
        QApplication::restoreOverrideCursor();
}

void ExportForm::cboQuality_Click(int index)
{
    const int value = sliderValueFor(index);
    if (value < 0)
        return;
    sldQuality_->setValue(value);
    txtQuality_->setText(QString::number(sldQuality_->value()));
}

void ExportForm::sldQuality_Change(int value)
{
    txtQuality_->setText(QString::number(value));
    for (int i = 0; i < 4; ++i)
        if (SliderValues[i] == value)
            cboQuality_->setCurrentIndex(i);
}

void ExportForm::cmdBrowse_Click()
{
    // The folder box takes the answer also when the picker was cancelled (empty).
    txtExportDir_->setText(op().folder("Export Directory").value_or(QString()));
}

void ExportForm::setBusy(bool busy)
{
    running_ = busy;
    cmdExport_->setEnabled(!busy);
    cmdBrowse_->setEnabled(!busy);
    txtExportDir_->setReadOnly(busy);
    if (mode_ == ExportFormat::Jpeg) {
        frmImage_->setVisible(!busy);
        frmExport_->setVisible(busy);
    } else {
        chkDicomDir_->setEnabled(!busy);
    }
    if (busy)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QApplication::restoreOverrideCursor();
}

void ExportForm::cmdExport_Click()
{
    if (running_)
        return;
    folder_ = fs::path(txtExportDir_->text().toStdString());
    std::error_code ec;
    if (txtExportDir_->text().isEmpty() || !fs::is_directory(folder_, ec)) {
        op().message("Export directory does not exists!", {}, MsgIcon::Critical, MsgButtons::OK);
        return;
    }
    if (const fs::path station = protectedFolderHolding(folder_, protectedFolders(stationContext().paths));
        !station.empty()) {
        op().message(QString::fromStdString("The export directory lies in the station's folder " + station.string() +
                                            ": choose another directory."),
                     {}, MsgIcon::Critical, MsgButtons::OK);
        return;
    }
    const int total = static_cast<int>(images_.size());
    setBusy(true);
    pbExport_->setRange(0, std::max(total, 1));
    pbExport_->setValue(0);
    lblCount_->clear();
    cancel_ = false;

    ExportOptions options;
    options.format = mode_;
    options.folder = folder_;
    options.quality = sldQuality_->value();
    options.dicomDir = mode_ == ExportFormat::Dicom && chkDicomDir_->isChecked();
    options.protectedFolders = protectedFolders(stationContext().paths);
    // The worker reports each image back to this thread; the window keeps painting.
    worker_ = std::async(std::launch::async, [this, options, images = images_] {
        ExportResult result;
        try {
            result = ImageExporter(options).run(
                images,
                [this](int done, int all) {
                    QMetaObject::invokeMethod(
                        this,
                        [this, done, all] {
                            pbExport_->setValue(done);
                            lblCount_->setText(QString::number(done) + " of " + QString::number(all));
                        },
                        Qt::QueuedConnection);
                },
                [this] { return cancel_.load(); });
        } catch (const Error& e) {
            log::LogError(e.code(), e.message(),
                          options.format == ExportFormat::Jpeg ? "ExportForm ExportJPEG" : "ExportForm ExportDICOM");
            result.failed = static_cast<int>(images.size());
        } catch (const std::exception& e) {
            // The window must hear the end in any case, or it would stay busy.
            log::LogError(errc::Generic, e.what(),
                          options.format == ExportFormat::Jpeg ? "ExportForm ExportJPEG" : "ExportForm ExportDICOM");
            result.failed = static_cast<int>(images.size());
        }
        QMetaObject::invokeMethod(this, [this, result] { exportFinished(result); }, Qt::QueuedConnection);
    });
}

void ExportForm::exportFinished(const ExportResult& result)
{
    if (worker_.valid())
        worker_.get();
    setBusy(false);
    if (closeWhenDone_ || result.cancelled) {
        finish();
        return;
    }
    lastResult_ = result;
    // Nothing written: there is nothing to pack either.
    if (!chkCompress_->isChecked() || result.exported == 0) {
        tellOutcome();
        finish();
        return;
    }
    const QTime now = QTime::currentTime();
    const std::string proposal = ZipPacker::proposedName(now.hour(), now.minute(), now.second());
    const std::optional<QString> answer =
        op().inputBox("Please enter ZIP-Archive name:", "ZIP Archive", QString::fromStdString(proposal));
    const std::string name =
        ZipPacker::archiveName(answer ? std::optional<std::string>(answer->toStdString()) : std::nullopt, proposal);
    setBusy(true);
    pbExport_->setRange(0, 100);
    pbExport_->setValue(0);
    lblCount_->setText("ZIP");
    worker_ = std::async(std::launch::async, [this, name, files = result.files, folder = folder_] {
        ZipPacker packer;
        ZipResult zipped = ZipResult::Unexpected;
        try {
            zipped = packer.pack(
                folder, name, files,
                [this](double fraction) {
                    QMetaObject::invokeMethod(
                        this, [this, fraction] { pbExport_->setValue(static_cast<int>(fraction * 100)); },
                        Qt::QueuedConnection);
                },
                [this] { return cancel_.load(); });
            if (zipped == ZipResult::Failed)
                log::LogError(1, packer.error(), "ExportForm CreateZIP");
        } catch (const std::exception& e) {
            log::LogError(1, e.what(), "ExportForm CreateZIP");
        }
        QMetaObject::invokeMethod(this, [this, zipped] { zipFinished(zipped); }, Qt::QueuedConnection);
    });
}

void ExportForm::zipFinished(ZipResult result)
{
    if (worker_.valid())
        worker_.get();
    setBusy(false);
    if (!closeWhenDone_) {
        if (result == ZipResult::Ok)
            tellOutcome();
        else if (result == ZipResult::Failed)
            op().message(QString("An error occured during ZIP compression!") + "\r\n" + "Please try again.", {},
                         MsgIcon::Critical, MsgButtons::OK);
        else if (result == ZipResult::Unexpected)
            op().message(QString("An unspecified error occured during ZIP compression!") + "\r\n" +
                             "View log-files for information.",
                         {}, MsgIcon::Critical, MsgButtons::OK);
    }
    finish();
}

// The operator hears how many images were written; "Images exported!" only when all were.
void ExportForm::tellOutcome()
{
    const ExportResult& r = lastResult_;
    const QString seeLog = QString("\r\n") + "View log-files for information.";
    if (r.failed == 0 && r.exported > 0)
        op().message("Images exported!", {}, MsgIcon::Information, MsgButtons::OK);
    else if (r.exported == 0)
        op().message("Export failed: no image was written." + seeLog, {}, MsgIcon::Critical, MsgButtons::OK);
    else
        op().message(QString::number(r.exported) + " of " + QString::number(r.exported + r.failed) +
                         " images exported, " + QString::number(r.failed) + " failed." + seeLog,
                     {}, MsgIcon::Exclamation, MsgButtons::OK);
}

void ExportForm::saveSettings()
{
    settings::WriteRegistryValue("Export\\Quality", std::to_string(sldQuality_->value()));
    settings::WriteRegistryValue("Export\\Directory", txtExportDir_->text().toStdString());
    settings::WriteRegistryValue("Export\\DicomDir", chkDicomDir_->isChecked() ? "1" : "0");
    settings::WriteRegistryValue("Export\\Compress", chkCompress_->isChecked() ? "1" : "0");
}

void ExportForm::finish()
{
    saveSettings();
    QDialog::accept();
}

void ExportForm::reject()
{
    if (running_) {
        // Stops after the image in hand; exportFinished / zipFinished then close.
        closeWhenDone_ = true;
        cancel_ = true;
        return;
    }
    saveSettings();
    QDialog::reject();
}

}  // namespace corva::station::transfer
