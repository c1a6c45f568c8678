#pragma once
// The main window MainForm: menus, toolbar and status bar, and the panels it connects:
// the browser (BrowserPanel), the viewer (ViewerPanel) with the image list, the dose
// frame (DosePanel, driven by DoseCapture), and the header view and task list.
// Controls carry their names as object names; members of a control array are named
// "<name>_<index>" (cmdProjection_0 .. _7, Text3_0 .. _5, cmdTask_0, cmdTask_1).
//
// The window collects what the operator did and hands the work to the panels and to
// plain classes: BrowserQueries, refreshPatients, StudyLoader, ServiceControl.
#include <QLabel>
#include <QMainWindow>
#include <QPointer>
#include <array>
#include <functional>
#include <memory>
#include <vector>

#include "app/main_menus.h"
#include "browser/browser_panel.h"
#include "browser/patient_refresh.h"
#include "common/image_set.h"
#include "dose/dose_panel.h"
#include "viewer/study_loader.h"
#include "viewer/viewer_panel.h"

class QAction;
class QComboBox;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QScrollBar;
class QSplitter;
#include <QMenu>
class QProgressBar;
class QPushButton;
class QStatusBar;
class QTimer;
class QToolBar;
class QTreeWidgetItem;

namespace corva::dose {
class DoseCapture;
}
namespace corva::station::header {
class HeaderPanel;
}

namespace corva::station {

class HeaderCommands;
class JobCommands;
class ListView;
class WindowLayout;
struct StationContext;

class MainForm : public QMainWindow, public StudyLoaderView {
    Q_OBJECT
public:
    explicit MainForm(QWidget* parent = nullptr);
    ~MainForm() override;

    // Loading (the window stays hidden): paths, database, folders, settings, patient
    // list, services, controls. A failure is logged ("Mainform Form_Load"); the
    // controls are set up in any case.
    void Form_Load();

    // Refresh and lifecycle. RefreshPatientList always reloads (unless a study loads or
    // a job runs); the timer's tick reloads only when something arrived.
    void RefreshPatientList();
    void refreshPatientList(RefreshCause cause);
    // Selects the current image's entry in the image list (the list keeps the focus it had).
    void markCurrentInImageList();
    // A few images, or a 4-view mammography study, use the viewer's space.
    void hangLoadedStudy();
    // "show them" in the note of arrived images: the open study loaded again with them,
    // the current image kept current.
    void showArrivedImages();
    // After a refresh that kept the operator's place: whether the open study has more
    // images than the viewer shows.
    void noteArrivedImages();
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
    // Everything the options window may have changed takes effect (from the menu and
    // at start-up alike); `activeBefore` is the filter that was active when it opened.
    void optionsClosed(const std::string& activeBefore);
    // Loads the selected study again (after a forwarding removed some of its images).
    void reloadLoadedStudy();

    // Viewer.
    // Starts loading the image set into the viewer; `then` runs once it is loaded. A
    // newer load or a reset of the view cancels it, and `then` with it: the image list
    // and the selection stay with the newer one.
    void LoadStudy(const ImageSetQuery& query, std::function<void()> then = {});
    void LoadImages(const std::vector<ImageListRow>& rows);
    void InitScrollbar() { viewer_->InitScrollbar(); }
    void ApplyViewerSettings() { viewer_->ApplyViewerSettings(); }
    void dv1_MouseUp(Qt::MouseButton button, QPoint position);
    void lvImages_ItemClick(QTreeWidgetItem* item);

    // Menu commands owned here.
    void mnuInfoAbout_Click();
    // "&Options ...": the options window, then its changes take effect.
    void mnuAnsichtEinstellungen_Click();
    // "DICOM Dictionary ...": the tag dictionary window.
    void mnuEditDatabase_Click();
    // A toolbar button, by its key; a key not listed does nothing. The toolbar's
    // actions reach their commands only through here.
    void Toolbar1_ButtonClick(const QString& key);

    // The menu commands of the other folders, connected here.
    void mnuImportImages_Click();
    void mnuImportDir_Click();
    void mnuExportJPEG_Click();
    void mnuExportDICOM_Click();
    void mnuApplyTasks_Click();
    // "Errors ...": the error log, read-only.
    void mnuProtokollFehler_Click();
    void PopUpTaskListSub_Click(int index);
    // Refills the header view for the selected image (none: empty values).
    void LoadHeaderData();
    // Deleting and sending (JobCommands).
    JobCommands& jobCommands() const { return *jobs_; }
    // The header view and "Execute tasks ..." (HeaderCommands).
    HeaderCommands& headerCommands() const { return *headerCommands_; }

    // The panels, for the commands that later features add.
    BrowserPanel* browser() const { return browser_; }
    ViewerPanel* viewer() const { return viewer_; }
    dose::DosePanel* dosePanel() const { return dosePanel_; }
    dose::DoseCapture& dose() const { return *dose_; }
    // The header view and the task list (header/header_panel.h).
    header::HeaderPanel& headerPanel() const { return *header_; }
    StudyLoader& studyLoader() const { return *loader_; }

    // Controls.
    ListView* lvPatients() const { return browser_->lvPatients(); }
    ListView* lvStudien() const { return browser_->lvStudien(); }
    ListView* lvSerien() const { return browser_->lvSerien(); }
    ListView* lvImages() const { return lvImages_; }
    ListView* lvHeader() const { return lvHeader_; }
    ListView* lvTasks() const { return lvTasks_; }
    ListView* lvDosis() const { return dosePanel_->lvDosis(); }
    QPlainTextEdit* txtcInput() const { return dosePanel_->txtcInput(); }
    QListWidget* List1() const { return dosePanel_->List1(); }
    QLineEdit* Text3(int i) const { return dosePanel_->Text3(i); }
    DicomViewer* dv1() const { return viewer_->dv1(); }
    QScrollBar* dv1_vscroll() const { return viewer_->dv1_vscroll(); }
    QPushButton* cmdProjection(int i) const { return cmdProjection_.at(static_cast<std::size_t>(i)); }
    QPushButton* cmdAll() const { return cmdAll_; }
    QPushButton* cmdSelected() const { return cmdSelected_; }
    QPushButton* cmdTask(int i) const { return cmdTask_.at(static_cast<std::size_t>(i)); }
    QTimer* UpdateTimer() const { return UpdateTimer_; }
    // The status bar note on services of this program folder that do not run (hidden
    // while both run); refreshed at load and with every tick of the refresh timer.
    QLabel* lblServices() const { return lblServices_; }
    void refreshServiceNote();
    // The status bar note of the image store check at start (hidden when all matches).
    QLabel* lblCheck() const { return lblCheck_; }
    QLabel* lblArrived() const { return lblArrived_; }
    // Compares image rows and files off the user-interface thread and shows what it found.
    void startConsistencyCheck();
    // The status bar note on the X-ray unit link ("X-ray unit: COM1 open").
    QLabel* lblLink() const { return lblLink_; }
    void showLinkState(const QString& text);
    QProgressBar* pbLoad() const { return pbLoad_; }
    bool seriesFrameShown() const { return browser_->seriesFrameShown(); }
    QMenu* PopUpStudie() const { return menus_.PopUpStudie; }
    QMenu* PopUpSerie() const { return menus_.PopUpSerie; }
    QMenu* Popup_Dicom() const { return menus_.Popup_Dicom; }
    // The menu bar, toolbar and popup menus, for the commands of later features.
    const MainMenus& menus() const { return menus_; }

    // Status bar panels 1 to 4 (and 5, the fixed text).
    QString panelText(int panel) const;
    void setPanelText(int panel, const QString& text);

    // The image selected in the viewer.
    const std::shared_ptr<LoadedImage>& CurrentImage() const { return viewer_->currentImage(); }
    int SelectedImageIndex() const { return viewer_->selectedIndex(); }
    void forgetCurrentImage() { viewer_->forgetCurrentImage(); }

    // The layout: three columns (splMain) of which each splits again (splLeft with the
    // browser's own splBrowser, splMiddle, splRight). Geometry and splitter positions
    // are saved when the window closes and restored by the next run; the first run
    // opens maximised.
    QSplitter* splMain() const { return splMain_; }
    std::vector<QSplitter*> splitters() const;
    void saveLayout() const;
    // The store key of the main window's layout.
    static constexpr const char* LayoutKey = "MainForm";

    // The menu that opened last by a right click (nullptr when none).
    QMenu* lastPopup() const { return lastPopup_; }

    // StudyLoaderView
    // Every load, reset and refresh empties the viewer; the current image, its mark and
    // the status text naming it go with the images.
    void clearViewer() override;
    void setViewerAutoRedraw(bool on) override { viewer_->setAutoRedraw(on); }
    void setProgress(int value, int maximum, bool visible) override;
    void addToViewer(std::shared_ptr<LoadedImage> image) override { viewer_->add(std::move(image)); }
    void setImageCountText(const QString& text) override { setPanelText(4, text); }
    QSize viewerCellSize(int images) const override;

signals:
    // The exit sequence has closed every window: the program ends.
    void programEnds();
    // An image was chosen in the viewer, or the viewer was emptied (the header view follows).
    void currentImageChanged();
    // A command whose folder has not connected it yet was asked for (its name).
    void commandPending(const QString& command);

protected:
    void resizeEvent(QResizeEvent* e) override;
    void showEvent(QShowEvent* e) override;
    void closeEvent(QCloseEvent* e) override;

private:
    void buildControls();
    void restoreLayout();
    void setStartColumns();
    void widenLeftColumnForPatients();
    QWidget* buildTaskFrame(QWidget* parent);
    void connectMenus();
    void attachDoseCapture();
    void attachHeaderPanel();
    void fillStudyList();
    void selectViewerImage(int position);
    void popup(QMenu* menu, const QPoint& globalPos);
    void takeCurrentStudyFromSelection();
    void loadSelectedStudy(std::function<void()> then);
    bool askCancelChanges();
    void emptyTaskAndHeader();
    void clearTaskInput();

    StationContext& g_;
    QSplitter* splMain_ = nullptr;
    QSplitter* splLeft_ = nullptr;
    QSplitter* splMiddle_ = nullptr;
    QSplitter* splRight_ = nullptr;
    std::unique_ptr<WindowLayout> layout_;
    bool columnsRestored_ = false;      // the column widths came from an earlier run
    bool columnsSet_ = false;           // set once at the first show
    bool leftSizedByOperator_ = false;  // the operator moved the column edges
    // The X-ray unit link, dose list and projection buttons, on the controls of its view.
    std::unique_ptr<dose::DoseCapture> dose_;
    std::unique_ptr<header::HeaderPanel> header_;
    JobCommands* jobs_ = nullptr;  // a child of the window
    HeaderCommands* headerCommands_ = nullptr;  // a child of the window
    StudyLoader* loader_ = nullptr;
    std::function<void()> afterLoad_;  // what the running load's command does once it is loaded
    BrowserPanel* browser_ = nullptr;
    ViewerPanel* viewer_ = nullptr;
    dose::DosePanel* dosePanel_ = nullptr;
    ListView* lvImages_ = nullptr;
    ListView* lvHeader_ = nullptr;
    ListView* lvTasks_ = nullptr;
    std::array<QPushButton*, 8> cmdProjection_{};
    QPushButton* cmdAll_ = nullptr;
    QPushButton* cmdSelected_ = nullptr;
    std::array<QPushButton*, 2> cmdTask_{};
    QComboBox* cboTask_ = nullptr;
    QLineEdit* txtNeu_ = nullptr;
    QLineEdit* txtSelected_ = nullptr;
    QTimer* UpdateTimer_ = nullptr;
    std::array<QLabel*, 5> panels_{};
    QLabel* lblLink_ = nullptr;
    QLabel* lblCheck_ = nullptr;
    QLabel* lblArrived_ = nullptr;  // images of the open study that arrived since it was loaded
    std::string reselectAfterLoad_;  // the image made current again after "show them"
    QLabel* lblServices_ = nullptr;
    QProgressBar* pbLoad_ = nullptr;
    MainMenus menus_;
    QPointer<QMenu> lastPopup_;
};

}  // namespace corva::station
