#include "app/main_form.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QSerialPort>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>
#include <filesystem>
#include <utility>

#include "app/about_form.h"
#include "app/main_menus.h"
#include "app/program_version.h"
#include "app/service_control.h"
#include "browser/patient_refresh.h"
#include "common/edge.h"
#include "common/list_view.h"
#include "common/operator_seam.h"
#include "common/station_context.h"
#include "common/window_messages.h"
#include "core/error.h"
#include "core/paths.h"
#include "header/header_panel.h"
#include "header/rewrite_handover.h"
#include "db/schema.h"
#include "dose/dose_capture.h"
#include "dose/projection_ini.h"
#include "settings/settings.h"
#include "viewer/dicom_viewer.h"

namespace corva::station {

namespace {

QString q(const std::string& s) {
    return QString::fromStdString(s);
}

std::int64_t keyOf(const QVariant& v) {
    bool ok = false;
    const qlonglong k = v.toLongLong(&ok);
    return ok ? k : 0;
}

}  // namespace

MainForm::MainForm(QWidget* parent) : QMainWindow(parent), g_(stationContext()) {
    setObjectName("MainForm");
    buildControls();
    menus_ = MainMenus::build(*this);
    connectMenus();
    attachDoseCapture();
    attachHeaderPanel();
    loader_ = new StudyLoader(g_, *this, this);
    connect(loader_, &StudyLoader::finished, this, [this] {
        if (auto then = std::exchange(afterLoad_, {})) then();
    });
}

MainForm::~MainForm() = default;

void MainForm::buildControls() {
    auto* central = new QWidget(this);
    setCentralWidget(central);
    auto* root = new QHBoxLayout(central);

    // Left: the browser, the image list and the dose frame.
    auto* left = new QVBoxLayout;
    browser_ = new BrowserPanel(central);
    left->addWidget(browser_, 5);
    lvImages_ = new ListView("lvImages", {"ID", "Date", "Time", "ImageUID"}, central);
    left->addWidget(lvImages_, 2);
    dosePanel_ = new dose::DosePanel(central);
    left->addWidget(dosePanel_, 2);
    root->addLayout(left, 2);

    // Middle: the viewer with its scroll bar, the projection and forwarding buttons.
    auto* middle = new QVBoxLayout;
    viewer_ = new ViewerPanel(central);
    middle->addWidget(viewer_, 1);
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
    right->addWidget(buildTaskFrame(central), 2);
    root->addLayout(right, 2);

    // The serial link and its poll timer are the dose capture's own; these named
    // objects only keep the window's set of control names whole.
    (new QSerialPort(this))->setObjectName("MSComm1");
    (new QTimer(this))->setObjectName("SerTimer");
    UpdateTimer_ = new QTimer(this);
    UpdateTimer_->setObjectName("UpdateTimer");
    UpdateTimer_->setInterval(10000);

    auto* statusBar = new QStatusBar(this);
    statusBar->setObjectName("StatusBar1");
    for (int i = 0; i < 5; ++i) {
        panels_[i] = new QLabel(statusBar);
        panels_[i]->setObjectName(QString("Panel%1").arg(i + 1));
        statusBar->addPermanentWidget(panels_[i], i < 4 ? 1 : 0);
    }
    panels_[4]->setText("ZKT Corvalight");
    pbLoad_ = new QProgressBar(statusBar);
    pbLoad_->setObjectName("pbLoad");
    pbLoad_->setVisible(false);
    statusBar->addWidget(pbLoad_, 1);
    setStatusBar(statusBar);

    ListView* patients = browser_->lvPatients();
    ListView* studies = browser_->lvStudien();
    ListView* series = browser_->lvSerien();
    connect(patients, &ListView::mouseUp, this, &MainForm::lvPatients_MouseUp);
    connect(studies, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* item) { lvStudien_ItemClick(item); });
    connect(studies, &ListView::keyboardItemChanged, this, [this](QTreeWidgetItem* item) { lvStudien_ItemClick(item); });
    connect(studies, &QTreeWidget::itemDoubleClicked, this, [this] { lvStudien_DblClick(); });
    connect(studies, &ListView::mouseUp, this, &MainForm::lvStudien_MouseUp);
    connect(series, &QTreeWidget::itemDoubleClicked, this, [this] { lvSerien_DblClick(); });
    connect(series, &ListView::mouseUp, this, &MainForm::lvSerien_MouseUp);
    connect(lvImages_, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* item) { lvImages_ItemClick(item); });
    connect(viewer_->dv1(), &DicomViewer::mouseReleased, this, &MainForm::dv1_MouseUp);
    connect(UpdateTimer_, &QTimer::timeout, this, &MainForm::UpdateTimer_Timer);
}

QWidget* MainForm::buildTaskFrame(QWidget* parent) {
    auto* fraTasks = new QGroupBox("Task list", parent);
    fraTasks->setObjectName("fraTasks");
    auto* taskLayout = new QGridLayout(fraTasks);
    lvTasks_ = new ListView("lvTasks", {"Level", "Source", "Old value", "Task", "Target"}, fraTasks);
    taskLayout->addWidget(lvTasks_, 0, 0, 1, 2);
    auto* cboLevel = new QComboBox(fraTasks);
    cboLevel->setObjectName("cboLevel");
    cboTask_ = new QComboBox(fraTasks);
    cboTask_->setObjectName("cboTask");
    auto* cboTarget = new QComboBox(fraTasks);
    cboTarget->setObjectName("cboTarget");
    txtNeu_ = new QLineEdit(fraTasks);
    txtNeu_->setObjectName("txtNeu");
    txtSelected_ = new QLineEdit(fraTasks);
    txtSelected_->setObjectName("txtSelected");
    cmdTask_[0] = new QPushButton("Add Task", fraTasks);
    cmdTask_[0]->setObjectName("cmdTask_0");
    cmdTask_[1] = new QPushButton("Delete Task", fraTasks);
    cmdTask_[1]->setObjectName("cmdTask_1");
    taskLayout->addWidget(cboLevel, 1, 0);
    taskLayout->addWidget(cboTask_, 1, 1);
    taskLayout->addWidget(txtSelected_, 2, 0);
    taskLayout->addWidget(cboTarget, 2, 1);
    taskLayout->addWidget(txtNeu_, 3, 0, 1, 2);
    taskLayout->addWidget(cmdTask_[0], 4, 0);
    taskLayout->addWidget(cmdTask_[1], 4, 1);
    return fraTasks;
}

void MainForm::connectMenus() {
    const auto on = [this](QAction* action, auto handler) { connect(action, &QAction::triggered, this, handler); };
    on(menus_.mnuDateiBeenden, &MainForm::mnuDateiBeenden_Click);
    on(menus_.exit, &MainForm::mnuDateiBeenden_Click);
    on(menus_.mnuRefreshList, &MainForm::RefreshPatientList);
    on(menus_.refresh, &MainForm::RefreshPatientList);
    on(menus_.mnuInfoAbout, &MainForm::mnuInfoAbout_Click);
    on(menus_.PopUpStudie_SeriesWindow, &MainForm::PopUpStudie_SeriesWindow_Click);
    on(menus_.PopUpStudie_Laden, &MainForm::PopUpStudie_Laden_Click);
    on(menus_.PopUpSerie_Laden, &MainForm::PopUpSerie_Laden_Click);
}

void MainForm::attachDoseCapture() {
    dose::DoseView view = dosePanel_->view();
    view.window = this;
    view.lvImages = lvImages_;
    for (std::size_t i = 0; i < cmdProjection_.size(); ++i) view.cmdProjection[i] = cmdProjection_[i];
    view.cmdAll = cmdAll_;
    view.cmdSelected = cmdSelected_;
    view.popupDosis = menus_.Popup_Dosis;
    dose_ = std::make_unique<dose::DoseCapture>(view);
    dose_->hooks().refreshLocked = [this] { return g_.refreshLock; };
    dose_->hooks().doseListFilled = [this] { g_.pollFlag = false; };
    connect(menus_.mnuFill, &QAction::triggered, this, [this] { dose_->fill(); });
    connect(menus_.refreshd, &QAction::triggered, this, [this] { dose_->refreshDoseList(); });
    connect(menus_.reldosis, &QAction::triggered, this, [this] { dose_->openHistory(); });
    connect(menus_.deleteDosis, &QAction::triggered, this, [this] { dose_->deleteDoseList(); });
}

void MainForm::attachHeaderPanel() {
    header::HeaderControls c;
    c.lvHeader = lvHeader_;
    c.lvTasks = lvTasks_;
    c.cboLevel = findChild<QComboBox*>("cboLevel");
    c.cboTask = cboTask_;
    c.cboTarget = findChild<QComboBox*>("cboTarget");
    c.txtNeu = txtNeu_;
    c.txtSelected = txtSelected_;
    c.cmdAddTask = cmdTask_[0];
    c.cmdDeleteTask = cmdTask_[1];
    header_ = std::make_unique<header::HeaderPanel>(c);
    header_->hooks().selectedImageIndex = [this] { return SelectedImageIndex(); };
    header_->hooks().loadedLevel = [this] { return g_.selection.loadedLevel; };
    header_->hooks().recordValues = [this] {
        std::vector<std::string> values;
        for (int i = 0; i < 6; ++i) values.push_back(dosePanel_->Text3(i)->text().toStdString());
        return values;
    };
    dose_->hooks().addTask = [this] { header_->addTask(); };
}

// ---- loading and lifecycle -------------------------------------------------------

void MainForm::Form_Load() {
    cmdAll_->setEnabled(false);
    cmdSelected_->setEnabled(false);
    catchAtEdge("Mainform Form_Load", false, [&] {
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
        // Rewritten images a stopped header job left staged go to the ingest service now.
        header::handOverPendingRewrites(g_.paths);
        // A Giotto unit labels the projection buttons from projection.ini.
        dose_->loadProjectionCaptions();
        RefreshPatientList();
        ServiceControl(g_).startServicesAtLoad();
    });
    header_->initialise();
    header_->LoadModFilter(settings::current().filterActive);
    viewer_->applySettingsAtLoad();
    UpdateTimer_->start();
}

void MainForm::UpdateTimer_Timer() {
    g_.pollFlag = true;
    RefreshPatientList();
}

void MainForm::RefreshPatientList() {
    const RefreshResult result = refreshPatients(g_);
    if (result.step != RefreshStep::Reload) return;
    ListView* patients = browser_->lvPatients();
    catchAtEdge("MainForm_RefreshPatientList", false, [&] {
        patients->setUpdatesEnabled(false);
        patients->clear();
        patients->setSorted(false);
        browser_->lvStudien()->clear();
        browser_->lvStudien()->setSorted(false);
        lvImages_->clear();
        lvImages_->setSorted(false);
        clearViewer();
        browser_->fillPatients(result.patients);
    });
    patients->setUpdatesEnabled(true);
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

void MainForm::clearTaskInput() {
    txtSelected_->clear();
    if (cboTask_->count() > 0) cboTask_->setCurrentIndex(0);
}

void MainForm::ResetView(bool alsoStatus) {
    emptyTaskAndHeader();
    dosePanel_->clearExposureFields();
    afterLoad_ = {};
    loader_->cancel();  // a load still reading files must not refill the viewer
    clearViewer();
    forgetCurrentImage();
    if (alsoStatus) ClearStatus();
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
    for (QWidget* w : windows)
        if (w && w != this) w->close();
    close();
    emit programEnds();
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

void MainForm::popup(QMenu* menu, const QPoint& globalPos) {
    lastPopup_ = menu;
    menu->popup(globalPos);
}

// ---- browser ---------------------------------------------------------------------

bool MainForm::askCancelChanges() {
    return op().message("Cancel current changes?", {}, MsgIcon::Question, MsgButtons::YesNo) == MsgResult::Yes;
}

void MainForm::lvPatients_MouseUp(Qt::MouseButton button, QPoint position) {
    ListView* patients = browser_->lvPatients();
    if (patients->count() == 0) return;
    catchAtEdge("lvPatients_MouseUp", true, [&] {
        const auto takeCurrentPatient = [this, patients](QTreeWidgetItem* item) {
            auto& sel = g_.selection;
            sel.patientKey = keyOf(ListView::tag(item));
            sel.patientId = item->text(0).toStdString();
            sel.patientName = item->text(1).toStdString();
            sel.patientIndex = patients->positionOf(item);
            setPanelText(1, "Patient: " + item->text(1));
            setPanelText(2, "ID: " + item->text(0));
        };
        QTreeWidgetItem* selected = patients->selectedItem();
        if (button == Qt::RightButton) {
            if (selected) takeCurrentPatient(selected);
            if (QTreeWidgetItem* under = patients->itemAt(position)) {
                patients->setCurrentItem(under);
                popup(menus_.PopUpPatient, patients->viewport()->mapToGlobal(position));
            }
            lvImages_->clear();
            return;
        }
        if (!selected) return;  // a click beside the entries chooses no patient
        if (lvTasks_->count() > 0 && !askCancelChanges()) return;
        if (keyOf(ListView::tag(selected)) != g_.selection.patientKey) ResetView(true);
        takeCurrentPatient(selected);
        browser_->lvStudien()->clear();
        browser_->lvStudien()->setSorted(false);
        if (browser_->seriesFrameShown()) browser_->hideSeries();
        fillStudyList();
        lvImages_->clear();
    });
    patients->setUpdatesEnabled(true);
}

void MainForm::fillStudyList() {
    std::vector<StudyRow> rows;
    {
        OpenedDb db(g_.dataDb);
        rows = BrowserQueries(db.db()).studiesOf(g_.selection.patientId);
    }
    browser_->fillStudies(rows);
}

void MainForm::takeCurrentStudyFromSelection() {
    ListView* studies = browser_->lvStudien();
    QTreeWidgetItem* item = studies->selectedItem();
    if (!item) throw Error(errc::NotFound, "No study selected");
    g_.selection.studyId = item->text(0).toStdString();
    g_.selection.studyUid = ListView::tag(item).toString().toStdString();
    g_.selection.studyIndex = studies->positionOf(item);
}

void MainForm::lvStudien_ItemClick(QTreeWidgetItem* item) {
    if (!item) return;
    const bool haveImages = dv1()->count() > 0;
    cmdAll_->setEnabled(haveImages);
    cmdSelected_->setEnabled(haveImages);
    lvStudien_DblClick();
}

void MainForm::lvStudien_DblClick() {
    QTreeWidgetItem* item = browser_->lvStudien()->selectedItem();
    if (!item) return;
    // Taken now: a click on the patient during the load refills the study list.
    const std::string studyUid = ListView::tag(item).toString().toStdString();
    loadSelectedStudy([this, studyUid] {
        g_.selection.loadedLevel = "Studie";
        g_.selection.studyUid = studyUid;
        std::vector<ImageListRow> rows;
        const bool ok = catchAtEdge("LoadImages", true, [&] {
            OpenedDb db(g_.dataDb);
            rows = BrowserQueries(db.db()).imagesOfStudy(g_.selection.studyUid);
        });
        if (ok) LoadImages(rows);
    });
}

void MainForm::lvStudien_MouseUp(Qt::MouseButton button, QPoint position) {
    if (button != Qt::RightButton) return;
    if (lvTasks_->count() > 0 && askCancelChanges()) {
        ResetView(true);
        return;
    }
    ListView* studies = browser_->lvStudien();
    if (QTreeWidgetItem* under = studies->itemAt(position)) {
        studies->setCurrentItem(under);
        popup(menus_.PopUpStudie, studies->viewport()->mapToGlobal(position));
    }
}

void MainForm::PopUpStudie_Laden_Click() {
    loadSelectedStudy({});
}

void MainForm::loadSelectedStudy(std::function<void()> then) {
    ImageSetQuery query = ImageSetQuery::ofStudy({});
    catchAtEdge("PopUpStudie_Laden", true, [&] {
        g_.selection.loadedLevel = "Studie";
        takeCurrentStudyFromSelection();
        emptyTaskAndHeader();
        clearTaskInput();
        RefreshLockGuard lock;
        OpenedDb db(g_.dataDb);
        bool isNumber = false;
        const qlonglong studyKey = QString::fromStdString(g_.selection.studyId).toLongLong(&isNumber);
        if (!isNumber) throw Error(errc::TypeMismatch, "Type mismatch");
        query = ImageSetQuery::ofStudy(BrowserQueries(db.db()).seriesKeysOf(studyKey));
    });
    // After a failure the query built so far still goes to the viewer.
    LoadStudy(query, [this, then = std::move(then)] {
        InitScrollbar();
        if (then) then();
    });
}

void MainForm::PopUpStudie_SeriesWindow_Click() {
    catchAtEdge("MainForm PopUpStudie_SeriesWindow", false, [&] {
        takeCurrentStudyFromSelection();
        emptyTaskAndHeader();
        clearTaskInput();
        bool isNumber = false;
        const qlonglong studyKey = QString::fromStdString(g_.selection.studyId).toLongLong(&isNumber);
        if (!isNumber) throw Error(errc::TypeMismatch, "Type mismatch");
        std::vector<SeriesRow> rows;
        {
            OpenedDb db(g_.dataDb);
            rows = BrowserQueries(db.db()).seriesOf(studyKey);
        }
        browser_->showSeries(rows);
    });
    browser_->lvSerien()->setUpdatesEnabled(true);
}

void MainForm::lvSerien_DblClick() {
    ListView* series = browser_->lvSerien();
    QTreeWidgetItem* item = series->selectedItem();
    if (!item) return;
    if (ListView::tag(item).toString() == "back") {
        browser_->hideSeries();
        return;
    }
    const qlonglong seriesKey = keyOf(ListView::tag(item));
    auto& sel = g_.selection;
    sel.loadedLevel = "Serie";
    sel.seriesId = std::to_string(seriesKey);
    sel.seriesCount = series->count();
    sel.seriesIndex = series->positionOf(item);
    emptyTaskAndHeader();
    clearTaskInput();
    LoadStudy(ImageSetQuery::ofSeries(seriesKey), [this, seriesKey] {
        InitScrollbar();
        std::vector<ImageListRow> rows;
        const bool ok = catchAtEdge("LoadImages", true, [&] {
            OpenedDb db(g_.dataDb);
            rows = BrowserQueries(db.db()).imagesOfSeries(seriesKey);
        });
        if (ok) LoadImages(rows);
    });
}

void MainForm::lvSerien_MouseUp(Qt::MouseButton button, QPoint position) {
    if (button != Qt::RightButton) return;
    ListView* series = browser_->lvSerien();
    QTreeWidgetItem* selected = series->selectedItem();
    if (!selected || series->positionOf(selected) == 1) return;
    if (lvTasks_->count() > 0 && askCancelChanges()) {
        ResetView(true);
        return;
    }
    if (QTreeWidgetItem* under = series->itemAt(position)) {
        series->setCurrentItem(under);
        popup(menus_.PopUpSerie, series->viewport()->mapToGlobal(position));
    }
}

void MainForm::PopUpSerie_Laden_Click() {
    lvSerien_DblClick();
}

void MainForm::RefreshImageList() {
    catchAtEdge("MainForm_RefreshImageList", false, [&] {
        OpenedDb db(g_.dataDb);
        BrowserQueries queries(db.db());
        const auto imageKey = [](const QTreeWidgetItem* item) {
            bool ok = false;
            const qlonglong key = item ? item->text(0).toLongLong(&ok) : 0;
            if (!ok) throw Error(errc::TypeMismatch, "Type mismatch");
            return key;
        };
        if (g_.forwardingMode == ForwardingMode::Automatic) {
            for (int i = 1; i <= lvImages_->count(); ++i) queries.deleteImage(imageKey(lvImages_->itemAtPosition(i)));
            lvImages_->clear();
        } else if (g_.forwardingMode == ForwardingMode::Manual) {
            QTreeWidgetItem* selected = lvImages_->selectedItem();
            if (!selected) throw Error(errc::NotFound, "No image selected");
            queries.deleteImage(imageKey(selected));
            lvImages_->clear();
            QTreeWidgetItem* study = browser_->lvStudien()->selectedItem();
            if (!study) throw Error(errc::NotFound, "No study selected");
            g_.dataDb.closeIfOpen();
            lvStudien_ItemClick(study);
        }
    });
}

// ---- viewer ----------------------------------------------------------------------

void MainForm::setProgress(int value, int maximum, bool visible) {
    if (visible) {
        pbLoad_->setMaximum(std::max(1, maximum));
        pbLoad_->setValue(value);
    }
    pbLoad_->setVisible(visible);
}

void MainForm::LoadStudy(const ImageSetQuery& query, std::function<void()> then) {
    afterLoad_ = std::move(then);  // a command of a load it cancels no longer runs
    loader_->load(query, g_.selection.studyUid);
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

void MainForm::selectViewerImage(int position) {
    viewer_->selectImage(position);
    setPanelText(3, "Sel. image #: " + QString::number(position));
}

void MainForm::dv1_MouseUp(Qt::MouseButton button, QPoint position) {
    DicomViewer* view = dv1();
    const int pos = view->positionAt(position);
    const auto& current = CurrentImage();
    const bool same = current && pos >= 1 && pos <= view->count() &&
                      view->image(pos)->sopInstanceUid() == current->sopInstanceUid();
    switch (decideViewerClick(pos, view->count(), same)) {
        case ViewerClick::Nothing: return;
        case ViewerClick::CurrentAgain:
            if (button == Qt::RightButton) popup(menus_.Popup_Dicom, view->mapToGlobal(position));
            return;
        case ViewerClick::Select: break;
    }
    selectViewerImage(pos);
    const QString uid = q(CurrentImage()->sopInstanceUid());
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
    if (button == Qt::RightButton) popup(menus_.Popup_Dicom, view->mapToGlobal(position));
}

void MainForm::lvImages_ItemClick(QTreeWidgetItem* item) {
    if (!item) return;
    if (const int pos = viewer_->positionOf(item->text(3).toStdString())) selectViewerImage(pos);
}

}  // namespace corva::station
