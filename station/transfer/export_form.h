#pragma once
// The export window (ExportForm): exports the loaded images as JPEG pictures or DICOM
// files into a chosen folder, optionally as a DICOMDIR medium and packed into a ZIP
// archive. The work runs on a worker thread; the window moves its progress bar per
// image and stays responsive. Questions go through the operator seam.
#include <QDialog>
#include <atomic>
#include <filesystem>
#include <future>
#include <vector>

#include "transfer/image_exporter.h"
#include "transfer/zip_packer.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSlider;

namespace corva::station::transfer {

class ExportForm : public QDialog {
    Q_OBJECT
public:
    ExportForm(ExportFormat mode, std::vector<std::filesystem::path> images, QWidget* parent = nullptr);
    // Stops a running export and waits for it: the worker never outlives the window.
    ~ExportForm() override;

    bool isRunning() const { return running_; }

    // The slider value for a combo entry ("Less" 3, "Middle" 5, "High" 8, "Max" 10), and
    // the entry for a slider value at window load (-1 for none).
    static int sliderValueFor(int comboIndex);
    static int comboIndexAtLoad(int sliderValue);

public slots:
    // Cancel, the title bar and Escape: a running export is stopped first, then the
    // settings are written and the window closes.
    void reject() override;

private:
    void cboQuality_Click(int index);
    void sldQuality_Change(int value);
    void cmdBrowse_Click();
    void cmdExport_Click();
    void exportFinished(const ExportResult& result);
    void zipFinished(ZipResult result);
    void tellOutcome();
    void finish();
    void setBusy(bool busy);
    void saveSettings();

    ExportFormat mode_;
    std::vector<std::filesystem::path> images_;
    std::filesystem::path folder_;
    std::atomic<bool> cancel_{false};
    std::future<void> worker_;
    bool running_ = false;
    bool closeWhenDone_ = false;
    ExportResult lastResult_;

    QGroupBox* frmImage_;
    QComboBox* cboQuality_;
    QSlider* sldQuality_;
    QLineEdit* txtQuality_;
    QLineEdit* txtExportDir_;
    QPushButton* cmdBrowse_;
    QCheckBox* chkCompress_;
    QCheckBox* chkDicomDir_;
    QGroupBox* frmExport_;
    QProgressBar* pbExport_;
    QLabel* lblCount_;
    QPushButton* cmdExport_;
    QPushButton* cmdCancel_;
};

}  // namespace corva::station::transfer
