#include "main/main_form.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSerialPort>
#include <QSplitter>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>
#include <filesystem>

#include "core/error.h"
#include "core/paths.h"
#include "db/schema.h"
#include "dose/projection_ini.h"
#include "log/error_log.h"
#include "main/about_form.h"
#include "main/dicom_viewer.h"
#include "main/list_view.h"
#include "main/operator_seam.h"
#include "main/patient_refresh.h"
#include "main/program_version.h"
#include "main/service_control.h"
#include "dose/dose_capture.h"
#include "main/station_globals.h"
#include "settings/settings.h"

namespace corva::station {

namespace {

QString q(const std::string& s) {
    return QString::fromStdString(s);
}

// Runs one handler with the error convention: show "Error #" & number & ": " &
// description with the critical icon (when `show`), then log under `location`.
template <typename F>
bool guarded(const char* location, bool show, F&& f) {
    int code = 0;
    std::string text;
    try {
        f();
        return true;
    } catch (const Error& e) {
        code = e.code();
        text = e.message();
    } catch (const std::exception& e) {
        code = errc::Generic;
        text = e.what();
    }
    if (show) showError(code, q(text));
    log::LogError(code, text, location);
    return false;
}

void letWindowMessagesRun() {
    QCoreApplication::processEvents();
}

std::int64_t keyOf(const QVariant& v) {
    bool ok = false;
    const qlonglong k = v.toLongLong(&ok);
    return ok ? k : 0;
}

}  // namespace

MainForm::MainForm(QWidget* parent) : QMainWindow(parent), g_(globals()) {
    setObjectName("MainForm");
    buildControls();
    buildMenus();
    attachDoseCapture();
}

MainForm::~MainForm() = default;

void MainForm::buildControls() {
    auto* central = new QWidget(this);
    setCentralWidget(central);
    auto* root = new QHBoxLayout(central);

    // Left: the browser, the image list and the dose list.
    auto* left = new QVBoxLayout;
    auto* fraPatients = new QGroupBox("Patient list", central);
    fraPatients->setObjectName("fraPatients");
    lvPatients_ = new ListView("lvPatients", {"ID", "Lastname, Firstname", "2nd Name", "Birthdate"}, fraPatients);
    (new QVBoxLayout(fraPatients))->addWidget(lvPatients_);
    left->addWidget(fraPatients, 3);

    // The series frame lies over the study list.
    auto* browserStack = new QWidget(central);
    auto* stack = new QGridLayout(browserStack);
    stack->setContentsMargins(0, 0, 0, 0);
    fraStudies_ = new QGroupBox("Study list", browserStack);
    fraStudies_->setObjectName("fraStudies");
    lvStudien_ = new ListView("lvStudien", {"ID", "Date", "Time", "Modality", "Bodypart"}, fraStudies_);
    (new QVBoxLayout(fraStudies_))->addWidget(lvStudien_);
    fraSeries_ = new QGroupBox("Series list", browserStack);
    fraSeries_->setObjectName("fraSeries");
    lvSerien_ = new ListView("lvSerien", {"Series"}, fraSeries_);
    lvSerien_->setIconSize(QSize(16, 16));
    (new QVBoxLayout(fraSeries_))->addWidget(lvSerien_);
    stack->addWidget(fraStudies_, 0, 0);
    stack->addWidget(fraSeries_, 0, 0);
    fraSeries_->hide();
    left->addWidget(browserStack, 2);

    lvImages_ = new ListView("lvImages", {"ID", "Date", "Time", "ImageUID"}, central);
    left->addWidget(lvImages_, 2);

    auto* dose = new QGroupBox("Dose", central);
    dose->setObjectName("fraDosis");
    auto* doseLayout = new QGridLayout(dose);
    lvDosis_ = new ListView("lvDosis", {"ID"}, dose);
    doseLayout->addWidget(lvDosis_, 0, 0, 1, 4);
    txtcInput_ = new QPlainTextEdit(dose);
    txtcInput_->setObjectName("txtcInput");
    txtcInput_->hide();
    List1_ = new QListWidget(dose);
    List1_->setObjectName("List1");
    List1_->hide();
    doseLayout->addWidget(txtcInput_, 1, 0, 1, 2);
    doseLayout->addWidget(List1_, 1, 2, 1, 2);
    Text1_ = new QLineEdit(dose);
    Text1_->setObjectName("Text1");
    Text2_ = new QLineEdit(dose);
    Text2_->setObjectName("Text2");
    txtID_ = new QLineEdit(dose);
    txtID_->setObjectName("txtID");
    doseLayout->addWidget(Text1_, 2, 0);
    doseLayout->addWidget(Text2_, 2, 1);
    doseLayout->addWidget(txtID_, 2, 2);
    for (int i = 0; i < 6; ++i) {
        Text3_[i] = new QLineEdit(dose);
        Text3_[i]->setObjectName(QString("Text3_%1").arg(i));
        Text3_[i]->setReadOnly(true);
        doseLayout->addWidget(Text3_[i], 3 + i / 3, i % 3);
    }
    left->addWidget(dose, 2);
    root->addLayout(left, 2);

    // Middle: the viewer with its scroll bar, the projection and forwarding buttons.
    auto* middle = new QVBoxLayout;
    auto* viewerRow = new QHBoxLayout;
    dv1_ = new DicomViewer(central);
    dv1_->setObjectName("dv1");
    dv1_->setMinimumSize(320, 320);
    dv1_vscroll_ = new QScrollBar(Qt::Vertical, central);
    dv1_vscroll_->setObjectName("dv1_vscroll");
    dv1_vscroll_->setEnabled(false);
    viewerRow->addWidget(dv1_, 1);
    viewerRow->addWidget(dv1_vscroll_);
    middle->addLayout(viewerRow, 1);
    auto* buttons = new QHBoxLayout;
    for (int i = 0; i < 8; ++i) {
        cmdProjection_[i] = new QPushButton(central);
        cmdProjection_[i]->setObjectName(QString("cmdProjection_%1").arg(i));
        buttons->addWidget(cmdProjection_[i]);
    }
    cmdAll_ = new QPushButton("Automatic", central);
    cmdAll_->setObjectName("cmdAll");
    cmdSelected_ = new QPushButton("Manually", central);
    cmdSelected_->setObjectName("cmdSelected");
    buttons->addWidget(cmdAll_);
    buttons->addWidget(cmdSelected_);
    middle->addLayout(buttons);
    root->addLayout(middle, 5);

    // Right: header view and task list.
    auto* right = new QVBoxLayout;
    lvHeader_ = new ListView("lvHeader", {"Tag", "Description", "Value"}, central);
    right->addWidget(lvHeader_, 3);
    auto* fraTasks = new QGroupBox("Task list", central);
    fraTasks->setObjectName("fraTasks");
    auto* taskLayout = new QGridLayout(fraTasks);
    lvTasks_ = new ListView("lvTasks", {"Level", "Source", "Old value", "Task", "Target"}, fraTasks);
    taskLayout->addWidget(lvTasks_, 0, 0, 1, 2);
    cboLevel_ = new QComboBox(fraTasks);
    cboLevel_->setObjectName("cboLevel");
    cboTask_ = new QComboBox(fraTasks);
    cboTask_->setObjectName("cboTask");
    cboTarget_ = new QComboBox(fraTasks);
    cboTarget_->setObjectName("cboTarget");
    txtNeu_ = new QLineEdit(fraTasks);
    txtNeu_->setObjectName("txtNeu");
    txtSelected_ = new QLineEdit(fraTasks);
    txtSelected_->setObjectName("txtSelected");
    cmdTask_[0] = new QPushButton("Add Task", fraTasks);
    cmdTask_[0]->setObjectName("cmdTask_0");
    cmdTask_[1] = new QPushButton("Delete Task", fraTasks);
    cmdTask_[1]->setObjectName("cmdTask_1");
    taskLayout->addWidget(cboLevel_, 1, 0);
    taskLayout->addWidget(cboTask_, 1, 1);
    taskLayout->addWidget(txtSelected_, 2, 0);
    taskLayout->addWidget(cboTarget_, 2, 1);
    taskLayout->addWidget(txtNeu_, 3, 0, 1, 2);
    taskLayout->addWidget(cmdTask_[0], 4, 0);
    taskLayout->addWidget(cmdTask_[1], 4, 1);
    right->addWidget(fraTasks, 2);
    root->addLayout(right, 2);

    // Serial link and timers. The serial link and its poll timer belong to the dose capture.
    MSComm1_ = new QSerialPort(this);
    MSComm1_->setObjectName("MSComm1");
    SerTimer_ = new QTimer(this);
    SerTimer_->setObjectName("SerTimer");
    SerTimer_->setInterval(1);
    UpdateTimer_ = new QTimer(this);
    UpdateTimer_->setObjectName("UpdateTimer");
    UpdateTimer_->setInterval(10000);

    StatusBar1_ = new QStatusBar(this);
    StatusBar1_->setObjectName("StatusBar1");
    for (int i = 0; i < 5; ++i) {
        panels_[i] = new QLabel(StatusBar1_);
        panels_[i]->setObjectName(QString("Panel%1").arg(i + 1));
        StatusBar1_->addPermanentWidget(panels_[i], i < 4 ? 1 : 0);
    }
    panels_[4]->setText("ZKT Corvalight");
    pbLoad_ = new QProgressBar(StatusBar1_);
    pbLoad_->setObjectName("pbLoad");
    pbLoad_->setVisible(false);
    StatusBar1_->addWidget(pbLoad_, 1);
    setStatusBar(StatusBar1_);

    connect(lvPatients_, &ListView::mouseUp, this, &MainForm::lvPatients_MouseUp);
    connect(lvStudien_, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* item) { lvStudien_ItemClick(item); });
    connect(lvStudien_, &ListView::keyboardItemChanged, this, [this](QTreeWidgetItem* item) { lvStudien_ItemClick(item); });
    connect(lvStudien_, &QTreeWidget::itemDoubleClicked, this, [this] { lvStudien_DblClick(); });
    connect(lvStudien_, &ListView::mouseUp, this, &MainForm::lvStudien_MouseUp);
    connect(lvSerien_, &QTreeWidget::itemDoubleClicked, this, [this] { lvSerien_DblClick(); });
    connect(lvSerien_, &ListView::mouseUp, this, &MainForm::lvSerien_MouseUp);
    connect(lvImages_, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* item) { lvImages_ItemClick(item); });
    connect(dv1_, &DicomViewer::mouseReleased, this, &MainForm::dv1_MouseUp);
    connect(dv1_, &DicomViewer::keyPressed, this, &MainForm::dv1_KeyDown);
    const auto scrolled = [this](int value) {
        paging_.scrolledTo(value);
        dv1_->setTopIndex(paging_.top());
    };
    connect(dv1_vscroll_, &QScrollBar::valueChanged, this, scrolled);
    connect(dv1_vscroll_, &QScrollBar::sliderMoved, this, scrolled);
    connect(UpdateTimer_, &QTimer::timeout, this, &MainForm::UpdateTimer_Timer);
}

void MainForm::buildMenus() {
    const auto action = [this](QMenu* menu, const QString& name, const QString& caption) {
        QAction* a = menu->addAction(caption);
        a->setObjectName(name);
        return a;
    };
    const auto submenu = [this](QMenu* menu, const QString& name, const QString& caption) {
        QMenu* m = menu->addMenu(caption);
        m->setObjectName(name);
        m->menuAction()->setObjectName(name + "_action");
        return m;
    };
    QMenuBar* bar = menuBar();
    QMenu* mnuDatei = bar->addMenu("&File");
    mnuDatei->setObjectName("mnuDatei");
    QMenu* mnuImport = submenu(mnuDatei, "mnuImport", "Import");
    action(mnuImport, "mnuImportImages", "DICOM Image(s) ...");
    action(mnuImport, "mnuImportDir", "DICOM Dir ...");
    QMenu* mnuFileExport = submenu(mnuDatei, "mnuFileExport", "Export");
    mnuFileExport->menuAction()->setVisible(false);  // export is reached through the toolbar
    action(mnuFileExport, "mnuExportJPEG", "JPEG ...");
    action(mnuFileExport, "mnuExportDICOM", "DICOM ...");
    mnuDatei->addSeparator()->setObjectName("mnuFileTrenn");
    connect(action(mnuDatei, "mnuDateiBeenden", "E&xit"), &QAction::triggered, this,
            &MainForm::mnuDateiBeenden_Click);

    QMenu* mnuBearbeiten = bar->addMenu("&Edit");
    mnuBearbeiten->setObjectName("mnuBearbeiten");
    action(mnuBearbeiten, "mnuApplyTasks", "Execute tasks ...");
    connect(action(mnuBearbeiten, "mnuRefreshList", "Refresh list"), &QAction::triggered, this,
            &MainForm::RefreshPatientList);
    mnuBearbeiten->addSeparator()->setObjectName("mnuTrennE");
    action(mnuBearbeiten, "mnuEditDatabase", "DICOM Dictionary ...");

    QMenu* mnuAnsicht = bar->addMenu("&View");
    mnuAnsicht->setObjectName("mnuAnsicht");
    action(mnuAnsicht, "mnuAnsichtEinstellungen", "&Options ...");

    QMenu* mnuProtokoll = bar->addMenu("Protocols");
    mnuProtokoll->setObjectName("mnuProtokoll");
    action(mnuProtokoll, "mnuProtokollFehler", "Errors ...");
    action(mnuProtokoll, "mnuProtokollDebug", "Debug ...");

    QMenu* mnuInfo = bar->addMenu("?");
    mnuInfo->setObjectName("mnuInfo");
    action(mnuInfo, "mnuFill", "Fill");
    connect(action(mnuInfo, "mnuInfoAbout", "Abo&ut ..."), &QAction::triggered, this, &MainForm::mnuInfoAbout_Click);

    Toolbar1_ = addToolBar("Toolbar1");
    Toolbar1_->setObjectName("Toolbar1");
    const auto button = [this](const QString& text, const QString& key) {
        QAction* a = Toolbar1_->addAction(text);
        a->setObjectName("Toolbar1_" + key);
        a->setData(key);
        return a;
    };
    button("Send Patient", "send");
    button("Execute tasks", "exe");
    connect(button("Refresh Patlist", "refresh"), &QAction::triggered, this, &MainForm::RefreshPatientList);
    button("Refresh Dosislist", "refreshd");
    button("Reload Dosislist", "reldosis");
    Toolbar1_->addSeparator();
    button("Export JPEG", "eJPEG");
    button("Export DICOM", "eDICOM");
    Toolbar1_->addSeparator();
    button("Delete Dosislist", "delete");
    connect(button("Exit", "exit"), &QAction::triggered, this, &MainForm::mnuDateiBeenden_Click);

    // Popup menus: shown only as context menus.
    const auto popupMenu = [this](const QString& name) {
        auto* m = new QMenu(this);
        m->setObjectName(name);
        return m;
    };
    PopUpPatient_ = popupMenu("PopUpPatient");
    submenu(PopUpPatient_, "P_SendTo", "Send to");
    action(PopUpPatient_, "PopUpPatient_Delete", "Delete Patient");
    PopUpPatient_->addSeparator();
    action(PopUpPatient_, "PopUpPatient_DeleteAll", "Delete All Patients");

    PopUpStudie_ = popupMenu("PopUpStudie");
    connect(action(PopUpStudie_, "PopUpStudie_SeriesWindow", "View Series"), &QAction::triggered, this,
            &MainForm::PopUpStudie_SeriesWindow_Click);
    connect(action(PopUpStudie_, "PopUpStudie_Laden", "View Images"), &QAction::triggered, this,
            &MainForm::PopUpStudie_Laden_Click);
    submenu(PopUpStudie_, "St_SendTo", "Send to");
    PopUpStudie_->addSeparator();
    action(PopUpStudie_, "PopUpStudie_Delete", "Delete Images");

    PopUpSerie_ = popupMenu("PopUpSerie");
    connect(action(PopUpSerie_, "PopUpSerie_Laden", "View Images"), &QAction::triggered, this,
            &MainForm::PopUpSerie_Laden_Click);
    submenu(PopUpSerie_, "Se_SendTo", "Send to");
    PopUpSerie_->addSeparator();
    action(PopUpSerie_, "PopUpSerie_Delete", "Delete Images");

    PopUpTaskList_ = popupMenu("PopUpTaskList");
    action(PopUpTaskList_, "PopUpTaskListSub_0", "Clear entries");
    action(PopUpTaskList_, "PopUpTaskListSub_1", "Save as ...");
    QMenu* rules = submenu(PopUpTaskList_, "PopUpRules", "Add fav. task");
    action(rules, "PopUpRules_0", "No entries");

    Popup_Dicom_ = popupMenu("Popup_Dicom");
    action(Popup_Dicom_, "PopupDeleteImage", "Delete");
    Popup_Dosis_ = popupMenu("Popup_Dosis");
    action(Popup_Dosis_, "PopupDeleteDosis", "Delete");
}

void MainForm::attachDoseCapture() {
    dose_ = std::make_unique<dose::DoseCapture>(this);
    dose_->hooks().refreshLocked = [this] { return g_.refreshLock; };
    dose_->hooks().doseListFilled = [this] { g_.pollFlag = false; };
    const auto onAction = [this](const char* name, auto handler) {
        if (auto* a = findChild<QAction*>(QString::fromLatin1(name)))
            connect(a, &QAction::triggered, this, handler);
    };
    onAction("mnuFill", [this] { dose_->fill(); });
    onAction("Toolbar1_refreshd", [this] { dose_->refreshDoseList(); });
    onAction("Toolbar1_reldosis", [this] { dose_->openHistory(); });
    onAction("Toolbar1_delete", [this] { dose_->deleteDoseList(); });
}

// ---- loading and lifecycle -------------------------------------------------------

void MainForm::Form_Load() {
    cmdAll_->setEnabled(false);
    cmdSelected_->setEnabled(false);
    guarded("Mainform Form_Load", false, [&] {
        setWindowTitle("Corvalight Version " + versionText(CurrentVersion, false));
        g_.paths = ProgramPaths::compute(programFolder());
        g_.dataDb.setFile(g_.paths.imageDb);
        g_.userDb.setFile(g_.paths.userDb);
        // Copied under a temporary name and renamed, so Ingrado never opens half a file.
        db::ensureImageDatabase(g_.paths.dataFolder);
        for (const auto& folder : {g_.paths.transferFolder, g_.paths.inputFolder, g_.paths.workFolder}) {
            std::error_code ec;
            std::filesystem::create_directory(folder, ec);
        }
        settings::LoadSettings(settings::current());
        // A Giotto unit labels the projection buttons from projection.ini.
        dose::ProjectionCaptions::load(g_.paths.programFolder, settings::current().xrayComm).apply(this);
        RefreshPatientList();
        ServiceControl(g_).startServicesAtLoad();
    });
    initControls();
    UpdateTimer_->start();
}

void MainForm::initControls() {
    const auto& s = settings::current();
    dv1_->setGrid(s.viewerColumns, s.viewerRows);
    dv1_->setBackground(colourFromSetting(s.viewerBgColor));
    paging_.setGrid(s.viewerColumns, s.viewerRows);
}

void MainForm::UpdateTimer_Timer() {
    letWindowMessagesRun();
    g_.pollFlag = true;
    RefreshPatientList();
}

void MainForm::RefreshPatientList() {
    const RefreshResult result = refreshPatients(g_);
    if (result.step != RefreshStep::Reload) return;
    guarded("MainForm_RefreshPatientList", false, [&] {
        lvPatients_->setUpdatesEnabled(false);
        lvPatients_->clear();
        lvPatients_->setSorted(false);
        lvStudien_->clear();
        lvStudien_->setSorted(false);
        lvImages_->clear();
        lvImages_->setSorted(false);
        clearViewer();
        const int emptied = lvPatients_->emptiedCount();
        for (const auto& p : result.patients) {
            lvPatients_->addItem(q(p.id), QVariant::fromValue<qlonglong>(p.key),
                                 {q(p.name), q(p.secondName), q(p.birthDate)});
            letWindowMessagesRun();
            if (lvPatients_->emptiedCount() != emptied) return;  // a newer refresh filled the list
        }
        lvPatients_->setSorted(true);
    });
    lvPatients_->setUpdatesEnabled(true);
}

void MainForm::ClearStatus() {
    for (int i = 0; i < 4; ++i) panels_[i]->clear();
    txtSelected_->clear();
    txtNeu_->clear();
}

void MainForm::emptyTaskAndHeader() {
    lvTasks_->clear();
    lvHeader_->clear();
}

void MainForm::ResetView(bool alsoStatus) {
    emptyTaskAndHeader();
    Text1_->clear();
    Text2_->clear();
    for (auto* t : Text3_) t->clear();
    StudyLoader::cancelRunning();  // a load still reading files must not refill the viewer
    clearViewer();
    forgetCurrentImage();
    if (alsoStatus) ClearStatus();
}

void MainForm::forgetCurrentImage() {
    currentImage_.reset();
    imageSelected_ = false;
}

void MainForm::mnuDateiBeenden_Click() {
    clearViewer();
    forgetCurrentImage();
    CloseUserDB();
    CloseDataDB();
    if (settings::current().stopService == 1) {
        ServiceControl services(g_);
        services.StopReceiver();
        services.StopIngestService();
    }
    UpdateTimer_->stop();
    const auto windows = QApplication::topLevelWidgets();
    for (QWidget* w : windows) {
        letWindowMessagesRun();
        if (w && w != this) w->close();
    }
    letWindowMessagesRun();
    close();
    emit programEnds();
}

bool MainForm::event(QEvent* e) {
    if (e->type() == QEvent::WindowActivate) {
        const bool debug = settings::current().debug == 1;
        txtcInput_->setVisible(debug);
        List1_->setVisible(debug);
        lvDosis_->setVisible(!debug);
        emit activated();
    }
    return QMainWindow::event(e);
}

void MainForm::resizeEvent(QResizeEvent* e) {
    QMainWindow::resizeEvent(e);
    for (auto* b : cmdProjection_)
        if (b->text().isEmpty()) b->setEnabled(false);
}

void MainForm::mnuInfoAbout_Click() {
    AboutForm about(this);
    op().exec(about);
}

QString MainForm::panelText(int panel) const {
    return panels_.at(static_cast<std::size_t>(panel - 1))->text();
}

void MainForm::setPanelText(int panel, const QString& text) {
    panels_.at(static_cast<std::size_t>(panel - 1))->setText(text);
}

bool MainForm::seriesFrameShown() const {
    return !fraSeries_->isHidden();
}

void MainForm::popup(QMenu* menu, const QPoint& globalPos) {
    lastPopup_ = menu;
    menu->popup(globalPos);
}

// ---- browser ---------------------------------------------------------------------

bool MainForm::askCancelChanges() {
    return op().message("Cancel current changes?", {}, MsgIcon::Question, MsgButtons::YesNo) == MsgResult::Yes;
}

void MainForm::lvPatients_MouseUp(Qt::MouseButton button, QPoint position) {
    if (lvPatients_->count() == 0) return;
    guarded("lvPatients_MouseUp", true, [&] {
        const auto takeCurrentPatient = [this](QTreeWidgetItem* item) {
            auto& sel = g_.selection;
            sel.patientKey = keyOf(ListView::tag(item));
            sel.patientId = item->text(0).toStdString();
            sel.patientName = item->text(1).toStdString();
            sel.patientIndex = lvPatients_->positionOf(item);
            setPanelText(1, "Patient: " + item->text(1));
            setPanelText(2, "ID: " + item->text(0));
        };
        QTreeWidgetItem* selected = lvPatients_->selectedItem();
        if (button == Qt::RightButton) {
            if (selected) takeCurrentPatient(selected);
            if (QTreeWidgetItem* under = lvPatients_->itemAt(position)) {
                lvPatients_->setCurrentItem(under);
                popup(PopUpPatient_, lvPatients_->viewport()->mapToGlobal(position));
            }
            lvImages_->clear();
            return;
        }
        if (!selected) return;  // a click beside the entries chooses no patient
        if (lvTasks_->count() > 0 && !askCancelChanges()) return;
        if (keyOf(ListView::tag(selected)) != g_.selection.patientKey) ResetView(true);
        takeCurrentPatient(selected);
        lvStudien_->clear();
        lvStudien_->setSorted(false);
        if (seriesFrameShown()) {
            fraSeries_->hide();
            lvSerien_->clear();
        }
        fillStudyList();
        lvImages_->clear();
    });
    lvPatients_->setUpdatesEnabled(true);
}

void MainForm::fillStudyList() {
    std::vector<StudyRow> rows;
    {
        OpenedDb db(g_.dataDb);
        rows = BrowserQueries(db.db()).studiesOf(g_.selection.patientId);
    }
    lvStudien_->setUpdatesEnabled(false);
    const int emptied = lvStudien_->emptiedCount();
    for (const auto& s : rows) {
        lvStudien_->addItem(q(s.studyId), q(s.studyUid), {q(s.date), q(s.time), q(s.modality), q(s.bodypart)});
        letWindowMessagesRun();
        if (lvStudien_->emptiedCount() != emptied) break;  // another click or a refresh took the list over
    }
    if (lvStudien_->emptiedCount() == emptied) lvStudien_->setSorted(true);
    lvStudien_->setUpdatesEnabled(true);
}

void MainForm::takeCurrentStudyFromSelection() {
    QTreeWidgetItem* item = lvStudien_->selectedItem();
    if (!item) throw Error(errc::NotFound, "No study selected");
    g_.selection.studyId = item->text(0).toStdString();
    g_.selection.studyUid = ListView::tag(item).toString().toStdString();
    g_.selection.studyIndex = lvStudien_->positionOf(item);
}

void MainForm::lvStudien_ItemClick(QTreeWidgetItem* item) {
    if (!item) return;
    // Each step that fails is skipped; the next one still runs.
    const bool haveImages = dv1_->count() > 0;
    cmdAll_->setEnabled(haveImages);
    cmdSelected_->setEnabled(haveImages);
    lvStudien_DblClick();
}

void MainForm::lvStudien_DblClick() {
    QTreeWidgetItem* item = lvStudien_->selectedItem();
    if (!item) return;
    // Taken now: a click on the patient during the load refills the study list.
    const std::string studyUid = ListView::tag(item).toString().toStdString();
    if (!loadSelectedStudy()) return;  // a newer load owns the viewer, list and selection now
    g_.selection.loadedLevel = "Studie";
    g_.selection.studyUid = studyUid;
    std::vector<ImageListRow> rows;
    const bool ok = guarded("LoadImages", true, [&] {
        OpenedDb db(g_.dataDb);
        rows = BrowserQueries(db.db()).imagesOfStudy(g_.selection.studyUid);
    });
    if (ok) LoadImages(rows);
}

void MainForm::lvStudien_MouseUp(Qt::MouseButton button, QPoint position) {
    if (button != Qt::RightButton) return;
    if (lvTasks_->count() > 0 && askCancelChanges()) {
        ResetView(true);
        return;
    }
    if (QTreeWidgetItem* under = lvStudien_->itemAt(position)) {
        lvStudien_->setCurrentItem(under);
        popup(PopUpStudie_, lvStudien_->viewport()->mapToGlobal(position));
    }
}

void MainForm::PopUpStudie_Laden_Click() {
    loadSelectedStudy();
}

bool MainForm::loadSelectedStudy() {
    ImageSetQuery query = BrowserQueries::studyImageQuery({});
    const bool ok = guarded("PopUpStudie_Laden", true, [&] {
        g_.selection.loadedLevel = "Studie";
        takeCurrentStudyFromSelection();
        emptyTaskAndHeader();
        txtSelected_->clear();
        if (cboTask_->count() > 0) cboTask_->setCurrentIndex(0);
        RefreshLockGuard lock;
        OpenedDb db(g_.dataDb);
        bool isNumber = false;
        const qlonglong studyKey = QString::fromStdString(g_.selection.studyId).toLongLong(&isNumber);
        if (!isNumber) throw Error(errc::TypeMismatch, "Type mismatch");
        query = BrowserQueries::studyImageQuery(BrowserQueries(db.db()).seriesKeysOf(studyKey));
    });
    (void)ok;  // the queries built so far still go to the viewer
    if (!LoadStudy(query)) return false;
    InitScrollbar();
    return true;
}

void MainForm::PopUpStudie_SeriesWindow_Click() {
    guarded("MainForm PopUpStudie_SeriesWindow", false, [&] {
        takeCurrentStudyFromSelection();
        emptyTaskAndHeader();
        txtSelected_->clear();
        if (cboTask_->count() > 0) cboTask_->setCurrentIndex(0);
        bool isNumber = false;
        const qlonglong studyKey = QString::fromStdString(g_.selection.studyId).toLongLong(&isNumber);
        if (!isNumber) throw Error(errc::TypeMismatch, "Type mismatch");
        std::vector<SeriesRow> rows;
        {
            OpenedDb db(g_.dataDb);
            rows = BrowserQueries(db.db()).seriesOf(studyKey);
        }
        lvSerien_->setUpdatesEnabled(false);
        lvSerien_->setSorted(false);
        lvSerien_->clear();
        const QIcon icon = style()->standardIcon(QStyle::SP_DirIcon);
        lvSerien_->addItem("..", "back")->setIcon(0, icon);
        for (const auto& s : rows) {
            letWindowMessagesRun();
            lvSerien_->addItem("# " + q(s.seriesNr), QVariant::fromValue<qlonglong>(s.seriesId))->setIcon(0, icon);
        }
        lvSerien_->clearSelection();
        lvSerien_->setCurrentItem(nullptr);
        fraSeries_->show();
        fraSeries_->raise();
    });
    lvSerien_->setUpdatesEnabled(true);
}

void MainForm::lvSerien_DblClick() {
    QTreeWidgetItem* item = lvSerien_->selectedItem();
    if (!item) return;
    if (ListView::tag(item).toString() == "back") {
        fraSeries_->hide();
        lvSerien_->clear();
        return;
    }
    const qlonglong seriesKey = keyOf(ListView::tag(item));
    auto& sel = g_.selection;
    sel.loadedLevel = "Serie";
    sel.seriesId = std::to_string(seriesKey);
    sel.seriesCount = lvSerien_->count();
    sel.seriesIndex = lvSerien_->positionOf(item);
    emptyTaskAndHeader();
    txtSelected_->clear();
    if (cboTask_->count() > 0) cboTask_->setCurrentIndex(0);
    if (!LoadStudy(BrowserQueries::seriesImageQuery(seriesKey))) return;
    InitScrollbar();
    std::vector<ImageListRow> rows;
    const bool ok = guarded("LoadImages", true, [&] {
        OpenedDb db(g_.dataDb);
        rows = BrowserQueries(db.db()).imagesOfSeries(seriesKey);
    });
    if (ok) LoadImages(rows);
}

void MainForm::lvSerien_MouseUp(Qt::MouseButton button, QPoint position) {
    if (button != Qt::RightButton) return;
    QTreeWidgetItem* selected = lvSerien_->selectedItem();
    if (!selected || lvSerien_->positionOf(selected) == 1) return;
    if (lvTasks_->count() > 0 && askCancelChanges()) {
        ResetView(true);
        return;
    }
    if (QTreeWidgetItem* under = lvSerien_->itemAt(position)) {
        lvSerien_->setCurrentItem(under);
        popup(PopUpSerie_, lvSerien_->viewport()->mapToGlobal(position));
    }
}

void MainForm::PopUpSerie_Laden_Click() {
    lvSerien_DblClick();
    InitScrollbar();
}

void MainForm::RefreshImageList() {
    guarded("MainForm_RefreshImageList", false, [&] {
        OpenedDb db(g_.dataDb);
        BrowserQueries queries(db.db());
        const auto imageKey = [](const QTreeWidgetItem* item) {
            bool ok = false;
            const qlonglong key = item ? item->text(0).toLongLong(&ok) : 0;
            if (!ok) throw Error(errc::TypeMismatch, "Type mismatch");
            return key;
        };
        if (g_.forwardingMode == 1) {
            for (int i = 1; i <= lvImages_->count(); ++i) queries.deleteImage(imageKey(lvImages_->itemAtPosition(i)));
            lvImages_->clear();
        } else if (g_.forwardingMode == 2) {
            QTreeWidgetItem* selected = lvImages_->selectedItem();
            if (!selected) throw Error(errc::NotFound, "No image selected");
            queries.deleteImage(imageKey(selected));
            lvImages_->clear();
            QTreeWidgetItem* study = lvStudien_->selectedItem();
            if (!study) throw Error(errc::NotFound, "No study selected");
            g_.dataDb.closeIfOpen();
            lvStudien_ItemClick(study);
        }
    });
}

// ---- viewer ----------------------------------------------------------------------

void MainForm::clearViewer() {
    dv1_->clear();
    syncPaging();
}

void MainForm::setViewerAutoRedraw(bool on) {
    dv1_->setAutoRedraw(on);
}

void MainForm::setProgress(int value, int maximum, bool visible) {
    if (visible) {
        pbLoad_->setMaximum(std::max(1, maximum));
        pbLoad_->setValue(value);
    }
    pbLoad_->setVisible(visible);
}

void MainForm::addToViewer(std::shared_ptr<LoadedImage> image) {
    dv1_->add(std::move(image));
    syncPaging();
}

void MainForm::setImageCountText(const QString& text) {
    setPanelText(4, text);
}

QSize MainForm::viewerCellSize() const {
    return dv1_->cellSize();
}

void MainForm::syncPaging() {
    paging_.setCount(dv1_->count());
    paging_.setTop(dv1_->topIndex());
}

bool MainForm::LoadStudy(const ImageSetQuery& query) {
    QPointer<MainForm> self(this);
    StudyLoader loader(g_, *this);
    const StudyLoader::Outcome outcome = loader.load(query, g_.selection.studyUid);
    if (self) syncPaging();
    return !outcome.superseded;
}

void MainForm::LoadImages(const std::vector<ImageListRow>& rows) {
    lvImages_->clear();
    lvImages_->setSorted(false);
    lvImages_->setUpdatesEnabled(false);
    // The list names the rows a forwarding clean-up deletes: it must never mix two fills.
    const int emptied = lvImages_->emptiedCount();
    for (const auto& r : rows) {
        lvImages_->addItem(q(r.imageId), {}, {q(r.date), q(r.time), q(r.imageUid)});
        letWindowMessagesRun();
        if (lvImages_->emptiedCount() != emptied) break;  // another load or click took the list over
    }
    if (lvImages_->emptiedCount() == emptied) lvImages_->setSorted(true);
    lvImages_->setUpdatesEnabled(true);
}

void MainForm::InitScrollbar() {
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
        dv1_vscroll_->setEnabled(false);
    }
}

void MainForm::ApplyViewerSettings() {
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

void MainForm::dv1_KeyDown(int virtualKey) {
    syncPaging();
    if (paging_.key(virtualKey)) dv1_->setTopIndex(paging_.top());
}

void MainForm::selectViewerImage(int position) {
    const QColor marker = colourFromSetting(settings::current().viewerFgColor);
    if (imageSelected_ && selectedImageIndex_ >= 1 && selectedImageIndex_ <= dv1_->count())
        dv1_->setFrame(selectedImageIndex_, 0, marker);
    currentImage_ = dv1_->image(position);
    selectedImageIndex_ = position;
    imageSelected_ = true;
    dv1_->setFrame(position, 2, marker);
    setPanelText(3, "Sel. image #: " + QString::number(position));
}

void MainForm::dv1_MouseUp(Qt::MouseButton button, QPoint position) {
    const int pos = dv1_->positionAt(position);
    const bool same = currentImage_ && pos >= 1 && pos <= dv1_->count() &&
                      dv1_->image(pos)->sopInstanceUid() == currentImage_->sopInstanceUid();
    switch (decideViewerClick(pos, dv1_->count(), same)) {
        case ViewerClick::Nothing: return;
        case ViewerClick::CurrentAgain:
            if (button == Qt::RightButton) popup(Popup_Dicom_, dv1_->mapToGlobal(position));
            return;
        case ViewerClick::Select: break;
    }
    selectViewerImage(pos);
    const QString uid = q(currentImage_->sopInstanceUid());
    for (int i = 1; i <= lvImages_->count(); ++i) {
        QTreeWidgetItem* item = lvImages_->itemAtPosition(i);
        if (item->text(3) == uid) {
            lvImages_->clearSelection();
            item->setSelected(true);
            lvImages_->setCurrentItem(item);
            lvImages_->setFocus();
            break;
        }
    }
    // With an active modality filter the header view follows the current image; the
    // header view belongs to the header editing.
    if (button == Qt::RightButton) popup(Popup_Dicom_, dv1_->mapToGlobal(position));
}

void MainForm::lvImages_ItemClick(QTreeWidgetItem* item) {
    if (!item) return;
    const std::string uid = item->text(3).toStdString();
    for (int pos = 1; pos <= dv1_->count(); ++pos) {
        if (dv1_->image(pos)->sopInstanceUid() == uid) {
            selectViewerImage(pos);
            return;
        }
    }
}

}  // namespace corva::station
