#pragma once
// The main window MainForm: the browser (patients, studies, series), the viewer with
// its image list, and the controls of the dose list, projection buttons and task list
// that later parts of the program drive. Controls carry their names as object names;
// members of a control array are named "<name>_<index>" (cmdProjection_0 .. _7,
// Text3_0 .. _5, cmdTask_0, cmdTask_1).
//
// The window collects what the operator did and hands the work to plain classes:
// BrowserQueries, refreshPatients, ViewerPaging, StudyLoader, ServiceControl.
#include <QLabel>
#include <QMenu>
#include <QMainWindow>
#include <QPointer>
#include <array>
#include <memory>

#include "main/browser_queries.h"
#include "main/study_loader.h"
#include "main/viewer_paging.h"

class QComboBox;
class QGroupBox;
class QLineEdit;
class QListWidget;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QScrollBar;
class QSerialPort;
class QStatusBar;
class QTimer;
class QToolBar;
class QTreeWidgetItem;

namespace corva::dose {
class DoseCapture;
}

namespace corva::station {

class DicomViewer;
class ListView;
struct StationGlobals;

class MainForm : public QMainWindow, public StudyLoaderView {
    Q_OBJECT
public:
    explicit MainForm(QWidget* parent = nullptr);
    ~MainForm() override;

    // Loading (the window stays hidden): paths, database, folders, settings, patient
    // list, services, controls. A failure is logged ("Mainform Form_Load"); the
    // controls are set up in any case.
    void Form_Load();

    // Refresh and lifecycle.
    void RefreshPatientList();
    void UpdateTimer_Timer();
    void ClearStatus();
    void ResetView(bool alsoStatus);
    // The exit sequence ("E&xit" and the toolbar's "exit").
    void mnuDateiBeenden_Click();

    // Browser.
    void lvPatients_MouseUp(Qt::MouseButton button, QPoint position);
    void lvStudien_ItemClick(QTreeWidgetItem* item);
    void lvStudien_DblClick();
    void lvStudien_MouseUp(Qt::MouseButton button, QPoint position);
    void lvSerien_DblClick();
    void lvSerien_MouseUp(Qt::MouseButton button, QPoint position);
    void PopUpStudie_Laden_Click();
    void PopUpStudie_SeriesWindow_Click();
    void PopUpSerie_Laden_Click();
    void RefreshImageList();

    // Viewer.
    // False when another load (or a reset of the view) took over while this one ran:
    // the caller then leaves the image list and the selection to the newer one.
    bool LoadStudy(const ImageSetQuery& query);
    void LoadImages(const std::vector<ImageListRow>& rows);
    void InitScrollbar();
    void ApplyViewerSettings();
    void dv1_MouseUp(Qt::MouseButton button, QPoint position);
    void dv1_KeyDown(int virtualKey);
    void lvImages_ItemClick(QTreeWidgetItem* item);

    // Menu commands owned here.
    void mnuInfoAbout_Click();

    // Controls.
    ListView* lvPatients() const { return lvPatients_; }
    ListView* lvStudien() const { return lvStudien_; }
    ListView* lvSerien() const { return lvSerien_; }
    ListView* lvImages() const { return lvImages_; }
    ListView* lvHeader() const { return lvHeader_; }
    ListView* lvTasks() const { return lvTasks_; }
    ListView* lvDosis() const { return lvDosis_; }
    DicomViewer* dv1() const { return dv1_; }
    QScrollBar* dv1_vscroll() const { return dv1_vscroll_; }
    QPushButton* cmdProjection(int i) const { return cmdProjection_.at(static_cast<std::size_t>(i)); }
    QPushButton* cmdAll() const { return cmdAll_; }
    QPushButton* cmdSelected() const { return cmdSelected_; }
    QPushButton* cmdTask(int i) const { return cmdTask_.at(static_cast<std::size_t>(i)); }
    QComboBox* cboLevel() const { return cboLevel_; }
    QComboBox* cboTask() const { return cboTask_; }
    QComboBox* cboTarget() const { return cboTarget_; }
    QLineEdit* txtNeu() const { return txtNeu_; }
    QLineEdit* txtSelected() const { return txtSelected_; }
    QLineEdit* Text1() const { return Text1_; }
    QLineEdit* Text2() const { return Text2_; }
    QLineEdit* Text3(int i) const { return Text3_.at(static_cast<std::size_t>(i)); }
    QLineEdit* txtID() const { return txtID_; }
    QPlainTextEdit* txtcInput() const { return txtcInput_; }
    QListWidget* List1() const { return List1_; }
    QSerialPort* MSComm1() const { return MSComm1_; }
    QTimer* SerTimer() const { return SerTimer_; }
    QTimer* UpdateTimer() const { return UpdateTimer_; }
    QToolBar* Toolbar1() const { return Toolbar1_; }
    QStatusBar* StatusBar1() const { return StatusBar1_; }
    QProgressBar* pbLoad() const { return pbLoad_; }
    QGroupBox* seriesFrame() const { return fraSeries_; }
    bool seriesFrameShown() const;
    QMenu* PopUpPatient() const { return PopUpPatient_; }
    QMenu* PopUpStudie() const { return PopUpStudie_; }
    QMenu* PopUpSerie() const { return PopUpSerie_; }
    QMenu* PopUpTaskList() const { return PopUpTaskList_; }
    QMenu* Popup_Dicom() const { return Popup_Dicom_; }
    QMenu* Popup_Dosis() const { return Popup_Dosis_; }

    // Status bar panels 1 to 4 (and 5, the fixed text).
    QString panelText(int panel) const;
    void setPanelText(int panel, const QString& text);

    // The image selected in the viewer.
    const std::shared_ptr<LoadedImage>& CurrentImage() const { return currentImage_; }
    int SelectedImageIndex() const { return selectedImageIndex_; }
    bool imageSelectedMark() const { return imageSelected_; }
    void forgetCurrentImage();

    const ViewerPaging& paging() const { return paging_; }
    // The menu that opened last by a right click (nullptr when none).
    QMenu* lastPopup() const { return lastPopup_; }

    // StudyLoaderView
    void clearViewer() override;
    void setViewerAutoRedraw(bool on) override;
    void setProgress(int value, int maximum, bool visible) override;
    void addToViewer(std::shared_ptr<LoadedImage> image) override;
    void setImageCountText(const QString& text) override;
    QSize viewerCellSize() const override;

signals:
    // Each time the window is activated (the serial link re-initialises on it).
    void activated();
    // The exit sequence has closed every window: the program ends.
    void programEnds();

protected:
    bool event(QEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;

private:
    void buildControls();
    void buildMenus();
    void attachDoseCapture();
    void initControls();
    void fillStudyList();
    void selectViewerImage(int position);
    void popup(QMenu* menu, const QPoint& globalPos);
    void takeCurrentStudyFromSelection();
    bool loadSelectedStudy();
    bool askCancelChanges();
    void emptyTaskAndHeader();
    void syncPaging();

    StationGlobals& g_;
    // The X-ray unit link, dose list and projection buttons, tied to our controls by name.
    std::unique_ptr<dose::DoseCapture> dose_;
    ListView* lvPatients_ = nullptr;
    ListView* lvStudien_ = nullptr;
    ListView* lvSerien_ = nullptr;
    ListView* lvImages_ = nullptr;
    ListView* lvHeader_ = nullptr;
    ListView* lvTasks_ = nullptr;
    ListView* lvDosis_ = nullptr;
    QGroupBox* fraStudies_ = nullptr;
    QGroupBox* fraSeries_ = nullptr;
    DicomViewer* dv1_ = nullptr;
    QScrollBar* dv1_vscroll_ = nullptr;
    std::array<QPushButton*, 8> cmdProjection_{};
    QPushButton* cmdAll_ = nullptr;
    QPushButton* cmdSelected_ = nullptr;
    std::array<QPushButton*, 2> cmdTask_{};
    QComboBox* cboLevel_ = nullptr;
    QComboBox* cboTask_ = nullptr;
    QComboBox* cboTarget_ = nullptr;
    QLineEdit* txtNeu_ = nullptr;
    QLineEdit* txtSelected_ = nullptr;
    QLineEdit* Text1_ = nullptr;
    QLineEdit* Text2_ = nullptr;
    std::array<QLineEdit*, 6> Text3_{};
    QLineEdit* txtID_ = nullptr;
    QPlainTextEdit* txtcInput_ = nullptr;
    QListWidget* List1_ = nullptr;
    QSerialPort* MSComm1_ = nullptr;
    QTimer* SerTimer_ = nullptr;
    QTimer* UpdateTimer_ = nullptr;
    QToolBar* Toolbar1_ = nullptr;
    QStatusBar* StatusBar1_ = nullptr;
    std::array<QLabel*, 5> panels_{};
    QProgressBar* pbLoad_ = nullptr;
    QMenu* PopUpPatient_ = nullptr;
    QMenu* PopUpStudie_ = nullptr;
    QMenu* PopUpSerie_ = nullptr;
    QMenu* PopUpTaskList_ = nullptr;
    QMenu* Popup_Dicom_ = nullptr;
    QMenu* Popup_Dosis_ = nullptr;
    QPointer<QMenu> lastPopup_;

    ViewerPaging paging_{3, 7};
    std::shared_ptr<LoadedImage> currentImage_;
    int selectedImageIndex_ = 0;
    bool imageSelected_ = false;
};

}  // namespace corva::station
