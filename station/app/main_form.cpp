#include "app/main_form.h"

#include <QFutureWatcher>
#include <QtConcurrent/QtConcurrentRun>

#include "jobs/commitment.h"
#include "jobs/consistency_check.h"

#include "app/header_commands.h"
#include "app/job_commands.h"
#include "jobs/edit_form.h"

#include <QHeaderView>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QShowEvent>
#include <algorithm>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QScrollArea>
#include <QSplitter>
#include <QPushButton>
#include <QSerialPort>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>
#include <filesystem>
#include <utility>

#include "app/about_form.h"
#include "app/error_log_form.h"
#include "app/main_menus.h"
#include "app/program_version.h"
#include "app/service_status.h"
#include "app/window_layout.h"
#include "dose/exposure_values.h"
#include "common/service_control.h"
#include "browser/patient_refresh.h"
#include "common/config_state.h"
#include "common/edge.h"
#include "common/list_view.h"
#include "common/operator_seam.h"
#include "common/station_context.h"
#include "common/window_messages.h"
#include "config/filters.h"
#include "config/option_form.h"
#include "config/tag_dialogs.h"
#include "core/error.h"
#include "core/paths.h"
#include "header/header_panel.h"
#include "header/rewrite_handover.h"
#include "db/schema.h"
#include "dose/dose_capture.h"
#include "dose/projection.h"
#include "app/study_hanging.h"
#include "dose/projection_ini.h"
#include "settings/settings.h"
#include "transfer/transfer_commands.h"
#include "viewer/dicom_viewer.h"
#include "viewer/loaded_image.h"

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
    restoreLayout();
    jobs_ = new JobCommands(*this);  // deleting and sending through the job window
    headerCommands_ = new HeaderCommands(*this);  // the header view, "Execute tasks ..." and the rules
    loader_ = new StudyLoader(g_, *this, this);
    connect(loader_, &StudyLoader::finished, this, [this] {
        hangLoadedStudy();
        if (auto then = std::exchange(afterLoad_, {})) then();
        const std::string uid = std::exchange(reselectAfterLoad_, {});
        if (const int position = uid.empty() ? 0 : viewer_->positionOf(uid)) {
            selectViewerImage(position);
            markCurrentInImageList();
        }
    });
}

MainForm::~MainForm() = default;

std::vector<QSplitter*> MainForm::splitters() const {
    return {splMain_, splLeft_, browser_->splitter(), splMiddle_, splRight_};
}

void MainForm::restoreLayout() {
    layout_ = std::make_unique<WindowLayout>(*this, splitters(), LayoutKey);
    if (!layout_->restore()) {
        // First start: the whole screen (the window opens maximised).
        if (QScreen* screen = QGuiApplication::primaryScreen()) resize(screen->availableGeometry().size());
        setWindowState(windowState() | Qt::WindowMaximized);
    }
    columnsRestored_ = layout_->restoredSplitters() > 0;
    connect(splMain_, &QSplitter::splitterMoved, this, [this] { leftSizedByOperator_ = true; });
    // The left column grows until the patient list shows its columns (first start).
    connect(browser_->lvPatients(), &ListView::columnsFitted, this, &MainForm::widenLeftColumnForPatients);
}

void MainForm::saveLayout() const {
    if (layout_) layout_->save();
}

void MainForm::showEvent(QShowEvent* e) {
    QMainWindow::showEvent(e);
    if (!columnsSet_) {
        columnsSet_ = true;
        if (!columnsRestored_) setStartColumns();
    }
}

void MainForm::closeEvent(QCloseEvent* e) {
    saveLayout();
    QMainWindow::closeEvent(e);
}

// The first start divides the width: about a third for the browser and dose column, a
// quarter for the header view and tasks, the rest for the viewer.
void MainForm::setStartColumns() {
    const int total = std::max(splMain_->width(), width() - 8);
    const int left = std::clamp(total * 35 / 100, 340, 520);
    // The right column holds five task columns: at 1280 pixels about 330 of them.
    const int right = std::clamp(total * 26 / 100, 210, 380);
    splMain_->setSizes({left, std::max(260, total - left - right), right});
    const int height = std::max(splLeft_->height(), 400);
    splLeft_->setSizes({height * 58 / 100, height * 42 / 100});
    splMiddle_->setSizes({height - 190, 190});
    widenLeftColumnForPatients();
}

void MainForm::widenLeftColumnForPatients() {
    if (columnsRestored_ || leftSizedByOperator_ || !columnsSet_) return;
    ListView* patients = browser_->lvPatients();
    int columns = 0;
    for (int c = 0; c < patients->columnCount(); ++c)
        if (!patients->isColumnHidden(c)) columns += patients->columnWidth(c);
    QList<int> sizes = splMain_->sizes();
    if (sizes.size() != 3) return;
    // What the column spends beside the list's own viewport: frames and margins.
    const int beside = sizes[0] - patients->viewport()->width();
    const int total = sizes[0] + sizes[1] + sizes[2];
    const int wanted = std::min(columns + beside + 2, total * 45 / 100);
    if (wanted <= sizes[0]) return;
    const int grow = wanted - sizes[0];
    const int fromMiddle = std::min(grow, std::max(0, sizes[1] - 260));
    sizes[1] -= fromMiddle;
    sizes[2] -= std::min(grow - fromMiddle, std::max(0, sizes[2] - 210));
    sizes[0] = total - sizes[1] - sizes[2];
    splMain_->setSizes(sizes);
}

namespace {

// A column of the main window: its content scrolls when the window is too small for it.
QScrollArea* scrolling(QWidget* content, const char* objectName, int minimumWidth) {
    auto* area = new QScrollArea;
    area->setObjectName(objectName);
    area->setWidget(content);
    area->setWidgetResizable(true);
    area->setFrameShape(QFrame::NoFrame);
    area->setMinimumWidth(minimumWidth);
    return area;
}

QSplitter* splitter(Qt::Orientation orientation, const char* objectName, QWidget* parent = nullptr) {
    auto* s = new QSplitter(orientation, parent);
    s->setObjectName(objectName);
    s->setChildrenCollapsible(false);
    return s;
}

}  // namespace

void MainForm::buildControls() {
    auto* central = new QWidget(this);
    setCentralWidget(central);
    auto* root = new QHBoxLayout(central);
    root->setContentsMargins(4, 4, 4, 0);

    // Three columns: browser and dose left, viewer middle, header view and tasks right.
    splMain_ = splitter(Qt::Horizontal, "splMain", central);
    root->addWidget(splMain_);

    // Left: patient and study lists above the dose frame.
    splLeft_ = splitter(Qt::Vertical, "splLeft");
    browser_ = new BrowserPanel(splLeft_);
    splLeft_->addWidget(browser_);
    dosePanel_ = new dose::DosePanel(splLeft_);
    splLeft_->addWidget(dosePanel_);
    splLeft_->setStretchFactor(0, 3);
    splLeft_->setStretchFactor(1, 2);
    splMain_->addWidget(scrolling(splLeft_, "scrLeft", 220));

    // Middle: the viewer with its scroll bar; below it the image list, the projection
    // buttons (four rows of two) and the forwarding buttons.
    splMiddle_ = splitter(Qt::Vertical, "splMiddle");
    viewer_ = new ViewerPanel(splMiddle_);
    splMiddle_->addWidget(viewer_);
    auto* lower = new QWidget(splMiddle_);
    lower->setObjectName("fraImages");
    auto* lowerRow = new QHBoxLayout(lower);
    lowerRow->setContentsMargins(0, 0, 0, 0);
    lvImages_ = new ListView("lvImages", {"ID", "Date", "Time", "ImageUID", "Projection"}, lower);
    // Side and view next to the ID: the operator compares them with the record's.
    lvImages_->header()->moveSection(4, 1);
    lvImages_->setMinimumWidth(100);
    lowerRow->addWidget(lvImages_, 1);
    auto* buttons = new QGridLayout;
    buttons->setSpacing(4);
    QFont projectionFont;
    // Times New Roman where installed, else a serif of the same metrics.
    projectionFont.setFamilies({"Times New Roman", "Liberation Serif", "Tinos", "serif"});
    projectionFont.setPointSizeF(14.25);
    projectionFont.setBold(true);
    for (int i = 0; i < 8; ++i) {
        cmdProjection_[i] = new QPushButton(lower);
        cmdProjection_[i]->setObjectName(QString("cmdProjection_%1").arg(i));
        cmdProjection_[i]->setFont(projectionFont);
        cmdProjection_[i]->setMinimumWidth(56);
        buttons->addWidget(cmdProjection_[i], i / 2, i % 2);
    }
    cmdAll_ = new QPushButton("Automatic", lower);
    cmdAll_->setObjectName("cmdAll");
    cmdSelected_ = new QPushButton("Manually", lower);
    cmdSelected_->setObjectName("cmdSelected");
    // On a small screen the buttons give way before the viewer's scroll bar does.
    cmdAll_->setMinimumWidth(56);
    cmdSelected_->setMinimumWidth(56);
    buttons->addWidget(cmdAll_, 4, 0);
    buttons->addWidget(cmdSelected_, 4, 1);
    lowerRow->addLayout(buttons);
    splMiddle_->addWidget(lower);
    splMiddle_->setStretchFactor(0, 1);
    splMiddle_->setStretchFactor(1, 0);
    splMain_->addWidget(scrolling(splMiddle_, "scrMiddle", 260));

    // Right: header view above the task list.
    splRight_ = splitter(Qt::Vertical, "splRight");
    lvHeader_ = new ListView("lvHeader", {"Tag", "Description", "Value"}, splRight_);
    // In the narrow column the description gives way first, so the value stays in sight.
    lvHeader_->setShareViewport(true, {1});
    splRight_->addWidget(lvHeader_);
    splRight_->addWidget(buildTaskFrame(splRight_));
    splRight_->setStretchFactor(0, 3);
    splRight_->setStretchFactor(1, 2);
    splMain_->addWidget(scrolling(splRight_, "scrRight", 200));
    splMain_->setStretchFactor(0, 0);
    splMain_->setStretchFactor(1, 1);
    splMain_->setStretchFactor(2, 0);

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
    // Why images may not arrive: a service of this program folder that does not run.
    lblServices_ = new QLabel(statusBar);
    lblServices_->setObjectName("lblServices");
    lblServices_->setStyleSheet("color: #b00000; font-weight: bold;");
    lblServices_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    lblServices_->setVisible(false);
    statusBar->insertPermanentWidget(4, lblServices_, 6);
    // What the check at start found: rows and files that do not match, interrupted work.
    lblCheck_ = new QLabel(statusBar);
    lblCheck_->setObjectName("lblCheck");
    lblCheck_->setStyleSheet("color: #b00000; font-weight: bold;");
    lblCheck_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    lblCheck_->setVisible(false);
    statusBar->insertPermanentWidget(5, lblCheck_, 4);
    lblArrived_ = new QLabel(statusBar);
    lblArrived_->setObjectName("lblArrived");
    lblArrived_->setStyleSheet("color: #0050a0; font-weight: bold;");
    lblArrived_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    lblArrived_->setVisible(false);
    lblArrived_->setTextFormat(Qt::RichText);
    connect(lblArrived_, &QLabel::linkActivated, this, [this] { showArrivedImages(); });
    statusBar->insertPermanentWidget(6, lblArrived_, 4);
    // The X-ray unit link: whether records can arrive, and a record it could not read.
    lblLink_ = new QLabel(statusBar);
    lblLink_->setObjectName("lblLink");
    lblLink_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    statusBar->insertPermanentWidget(6, lblLink_, 4);
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
    // Mouse, arrow keys or a program: whatever makes an entry current makes its image current.
    connect(lvImages_, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem* item) { lvImages_ItemClick(item); });
    connect(lvImages_, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* item) { lvImages_ItemClick(item); });
    connect(viewer_->dv1(), &DicomViewer::mouseReleased, this, &MainForm::dv1_MouseUp);
    // The image shown alone is the current one: what she looks at is what she pairs.
    connect(viewer_->dv1(), &DicomViewer::singleShown, this, [this](int position) {
        if (position > 0 && position != viewer_->selectedIndex()) {
            selectViewerImage(position);
            markCurrentInImageList();
        }
    });
    connect(UpdateTimer_, &QTimer::timeout, this, &MainForm::UpdateTimer_Timer);
}

QWidget* MainForm::buildTaskFrame(QWidget* parent) {
    auto* fraTasks = new QGroupBox("Task list", parent);
    fraTasks->setObjectName("fraTasks");
    auto* taskLayout = new QGridLayout(fraTasks);
    lvTasks_ = new ListView("lvTasks", {"Level", "Source", "Old value", "Task", "Target"}, fraTasks);
    lvTasks_->setShareViewport(true, {1, 2, 4});  // source, old value and target give way first
    taskLayout->addWidget(lvTasks_, 0, 0, 1, 4);
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
    // Two rows of label and control pairs; the value box and the buttons below them.
    const auto labelled = [&](const char* caption, const char* name, QWidget* control, int row, int column) {
        auto* label = new QLabel(caption, fraTasks);
        label->setObjectName(name);
        label->setBuddy(control);
        taskLayout->addWidget(label, row, column);
        taskLayout->addWidget(control, row, column + 1);
    };
    // The combo boxes may shrink below their longest entry in a narrow column.
    for (QComboBox* box : {cboLevel, cboTask_, cboTarget}) {
        box->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        box->setMinimumContentsLength(2);
    }
    for (QPushButton* button : cmdTask_) button->setMinimumWidth(40);
    taskLayout->setContentsMargins(4, 4, 4, 4);
    taskLayout->setHorizontalSpacing(4);
    labelled("Level:", "lblLevel", cboLevel, 1, 0);
    labelled("Task:", "lblTask", cboTask_, 1, 2);
    labelled("Tag:", "lblSelected", txtSelected_, 2, 0);
    labelled("to:", "lblTarget", cboTarget, 2, 2);
    taskLayout->addWidget(txtNeu_, 3, 1, 1, 3);
    taskLayout->addWidget(cmdTask_[0], 4, 0, 1, 2);
    taskLayout->addWidget(cmdTask_[1], 4, 2, 1, 2);
    // The right pair holds the longer texts ("Change entry", "0018,0060 - KVP").
    taskLayout->setColumnStretch(1, 2);
    taskLayout->setColumnStretch(3, 3);
    return fraTasks;
}

void MainForm::connectMenus() {
    const auto on = [this](QAction* action, auto handler) { connect(action, &QAction::triggered, this, handler); };
    on(menus_.mnuDateiBeenden, &MainForm::mnuDateiBeenden_Click);
    on(menus_.mnuRefreshList, &MainForm::RefreshPatientList);
    on(menus_.mnuInfoAbout, &MainForm::mnuInfoAbout_Click);
    on(menus_.mnuAnsichtEinstellungen, &MainForm::mnuAnsichtEinstellungen_Click);
    on(menus_.mnuEditDatabase, &MainForm::mnuEditDatabase_Click);
    on(menus_.mnuImportImages, &MainForm::mnuImportImages_Click);
    on(menus_.mnuImportDir, &MainForm::mnuImportDir_Click);
    on(menus_.mnuExportJPEG, &MainForm::mnuExportJPEG_Click);
    on(menus_.mnuExportDICOM, &MainForm::mnuExportDICOM_Click);
    on(menus_.mnuApplyTasks, &MainForm::mnuApplyTasks_Click);
    on(menus_.mnuProtokollFehler, &MainForm::mnuProtokollFehler_Click);
    // "Debug ..." has no command.
    connect(menus_.PopUpTaskListSub_0, &QAction::triggered, this, [this] { PopUpTaskListSub_Click(0); });
    connect(menus_.PopUpTaskListSub_1, &QAction::triggered, this, [this] { PopUpTaskListSub_Click(1); });
    // Every toolbar button goes through the one dispatch by key.
    connect(menus_.Toolbar1, &QToolBar::actionTriggered, this,
            [this](QAction* a) { Toolbar1_ButtonClick(a->data().toString()); });
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
    connect(menus_.mnuFill, &QAction::triggered, this, [this] { dose_->fill(); });
    connect(dose_.get(), &dose::DoseCapture::stateChanged, this, &MainForm::showLinkState);
    showLinkState(dose_->linkState());
}

void MainForm::startConsistencyCheck() {
    // Off the user-interface thread: a large store takes a while to compare.
    auto* watcher = new QFutureWatcher<QString>(this);  // owned by the window
    connect(watcher, &QFutureWatcher<QString>::finished, this, [this, watcher] {
        const QString note = watcher->result();
        lblCheck_->setText(note);
        lblCheck_->setToolTip(note);
        lblCheck_->setVisible(!note.isEmpty());
        watcher->deleteLater();
    });
    watcher->setFuture(QtConcurrent::run([paths = g_.paths]() -> QString {
        try {
            jobs::CheckReport report = jobs::checkConsistency(paths);
            // Images passing through Temp while the ingest service starts are no finding here.
            std::erase_if(report.findings, [](const jobs::CheckFinding& f) {
                return f.kind == jobs::CheckFinding::Kind::WaitingInInput;
            });
            if (!report.consistent())
                return QString::fromStdString("Image store: " + report.summary() + " (see corvactl check)");
            QStringList notes;
            // Images kept until their archive answers: the operator knows why they stay.
            if (const std::size_t pending = report.count(jobs::CheckFinding::Kind::CommitmentPending))
                notes << QString::fromStdString(std::to_string(pending) +
                                                " sent image(s) wait for the archive's storage commitment "
                                                "(see corvactl commitments)");
            // A report an interrupted forwarding owes the archive, maybe of a study gone from the lists.
            if (const std::size_t owed = report.count(jobs::CheckFinding::Kind::DoseReportOwed))
                notes << QString::fromStdString(std::to_string(owed) +
                                                " dose report(s) not delivered by an interrupted forwarding "
                                                "(see corvactl check)");
            return notes.join(QStringLiteral("; "));
        } catch (const std::exception& e) {
            return QString::fromStdString(std::string("Image store not checked: ") + e.what());
        }
    }));
}

void MainForm::showLinkState(const QString& text) {
    lblLink_->setText(text);
    lblLink_->setToolTip(text);
    // Anything but an open port with nothing waiting wants the operator's eye.
    const bool fine = text.endsWith(QLatin1String(" open"));
    lblLink_->setStyleSheet(fine ? QString() : QStringLiteral("color: #b00000; font-weight: bold;"));
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
    c.popUpTaskList = menus_.PopUpTaskList;
    c.popUpRules = menus_.PopUpRules;
    header_ = std::make_unique<header::HeaderPanel>(c);
    header_->hooks().selectedImageIndex = [this] { return SelectedImageIndex(); };
    header_->hooks().loadedLevel = [this] { return g_.selection.loadedLevel; };
    // The values the conversion would write, by attribute and in the attributes' units.
    header_->hooks().exposureValues = [this] {
        std::vector<header::ExposureValue> values;
        if (dose_->doseList().currentRecordId() == 0)
            return values;
        const dose::CurrentExposure& exposure = dose_->doseList().currentExposure();
        for (const auto& change : dose::exposureValues(exposure, settings::current().xrayComm).changes)
            if (change.value)
                values.push_back({change.tag.text(), *change.value});
        return values;
    };
    dose_->hooks().addTask = [this] { header_->addRecordTasks(); };
}

// ---- loading and lifecycle -------------------------------------------------------

void MainForm::Form_Load() {
    cmdAll_->setEnabled(false);
    cmdSelected_->setEnabled(false);
    catchAtEdge("Mainform Form_Load", false, [&] {
        setWindowTitle("Corvalight Version " + versionText(CurrentVersion, false));
        g_.paths = ProgramPaths::compute(programFolder(), executableFolder());
        g_.dataDb.setFile(g_.paths.imageDb);
        g_.userDb.setFile(g_.paths.userDb);
        // Copied under a temporary name and renamed, so Ingrado never opens half a file.
        db::ensureImageDatabase(g_.paths.dataFolder);
        jobs::recoverInterruptedDeleteAll(g_.paths);  // a "delete all" killed half-way: finished or undone
        for (const auto& folder : {g_.paths.transferFolder, g_.paths.inputFolder, g_.paths.workFolder}) {
            std::error_code ec;
            std::filesystem::create_directory(folder, ec);
        }
        settings::LoadSettings(settings::current());
        // Rewritten images a stopped header job left staged go to the ingest service now.
        header::handOverPendingRewrites(g_.paths);
        // Files a killed job's committed removal left go now, before the check looks.
        jobs::finishInterruptedRemovalsAtStart(g_.paths);
        // Images an archive committed to while the station was stopped leave now.
        jobs::settleCommitmentsAtStart(g_.paths);
        // A Giotto unit labels the projection buttons from projection.ini.
        dose_->loadProjectionCaptions();
        RefreshPatientList();
        // Records the unit sent while the program was not running wait in the list.
        dose_->refreshDoseList();
        // The X-ray unit's port opens now, whichever window has the focus.
        dose_->startLink();
        ServiceControl(g_).startServicesAtLoad();
        startConsistencyCheck();
    });
    header_->initialise();
    header_->LoadModFilter(settings::current().filterActive);
    viewer_->applySettingsAtLoad();
    refreshServiceNote();
    UpdateTimer_->start();
}

void MainForm::UpdateTimer_Timer() {
    refreshServiceNote();
    refreshPatientList(RefreshCause::TimerTick);
    // Records used or deleted elsewhere (corvactl, another forwarding) leave the list.
    dose_->refreshDoseList();
}

void MainForm::refreshServiceNote() {
    const QString note = ServiceStatus::note(ServiceStatus::read(g_));
    lblServices_->setText(note);
    lblServices_->setToolTip(note);
    lblServices_->setVisible(!note.isEmpty());
}

void MainForm::RefreshPatientList() { refreshPatientList(RefreshCause::Explicit); }

void MainForm::refreshPatientList(RefreshCause cause) {
    const RefreshResult result = refreshPatients(g_, cause);
    if (result.step != RefreshStep::Reload) return;
    ListView* patients = browser_->lvPatients();
    // Plates arrive all day: a timer tick while the operator works on a patient only
    // adds what arrived. Her patient stays chosen, and the study list, the viewer, the
    // current image and the header view stay as they are.
    if (QTreeWidgetItem* chosen = patients->selectedItem(); chosen && cause == RefreshCause::TimerTick) {
        const std::int64_t key = keyOf(ListView::tag(chosen));
        catchAtEdge("MainForm_RefreshPatientList", false, [&] {
            const QSignalBlocker quiet(patients);
            patients->setUpdatesEnabled(false);
            patients->clear();
            patients->setSorted(false);
            browser_->fillPatients(result.patients);
            for (int i = 1; i <= patients->count(); ++i) {
                QTreeWidgetItem* item = patients->itemAtPosition(i);
                if (keyOf(ListView::tag(item)) != key) continue;
                patients->setCurrentItem(item);
                item->setSelected(true);
                g_.selection.patientIndex = i;  // the jobs find her entry by its place
            }
        });
        patients->setUpdatesEnabled(true);
        noteArrivedImages();
        return;
    }
    lblArrived_->setVisible(false);
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
    dose_->doseList().clearCurrentExposure();
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

// ---- toolbar and menu dispatch -------------------------------------------------------

void MainForm::Toolbar1_ButtonClick(const QString& key) {
    if (key == "send") jobs_->send_Click();
    else if (key == "exe") mnuApplyTasks_Click();
    else if (key == "refresh") RefreshPatientList();
    else if (key == "refreshd") dose_->refreshDoseList();
    else if (key == "reldosis") dose_->openHistory();
    else if (key == "eJPEG") mnuExportJPEG_Click();
    else if (key == "eDICOM") mnuExportDICOM_Click();
    else if (key == "delete") dose_->deleteDoseList();
    else if (key == "exit") mnuDateiBeenden_Click();
}

void MainForm::mnuAnsichtEinstellungen_Click() {
    const std::string activeBefore = settings::current().filterActive;
    {
        config::OptionForm options(this);
        op().exec(options);
    }
    optionsClosed(activeBefore);
}

void MainForm::optionsClosed(const std::string& activeBefore) {
    ApplyViewerSettings();
    // A changed port or line setting takes effect now; an unchanged one keeps what is
    // half received.
    dose_->applyLinkSettings();
    auto& state = configState();
    // Another active filter, or attributes added to it, show in the header view at once.
    const bool otherFilter = settings::current().filterActive != activeBefore;
    if (state.filterChanged || otherFilter) {
        header::ActiveTagSet& set = header_->tagSet();
        set.clear();
        for (const auto& [tag, description] : state.activeTagSet) set.add(tag, description);
        if (lvHeader_->count() > 0) LoadHeaderData();
        state.filterChanged = false;
    }
    if (state.destinationsChanged) {
        state.destinationsChanged = false;
        jobs_->UpdateSendToEntries();
    }
    header_->UpdateRulesPopup();
}

void MainForm::mnuEditDatabase_Click() {
    config::DatabaseForm dictionary(this);
    op().exec(dictionary);
}

// Imports only write into the input folder; the ingest service files them and the
// patient list shows them at its next refresh.
void MainForm::mnuImportImages_Click() {
    catchAtEdge("MainForm mnuImportImages_Click", true, [this] {
        std::shared_ptr<jobs::Job> job = transfer::chooseImageImport(g_.paths.inputFolder);
        if (job) jobs::runJobWindow(jobs::JobKind::ImportImages, job, this);
    });
}

void MainForm::mnuImportDir_Click() {
    catchAtEdge("MainForm mnuImportDir_Click", true, [this] {
        std::shared_ptr<jobs::Job> job = transfer::chooseDicomDirImport(g_.paths.inputFolder);
        if (job) jobs::runJobWindow(jobs::JobKind::ImportDir, job, this);
    });
}

namespace {
// Export works on the files of the images the viewer holds.
// Exports the images the viewer shows: what the operator sees is what she exports,
// not a set loaded for a patient she has left since.
void exportShown(const DicomViewer& viewer, transfer::ExportFormat format, const char* location) {
    catchAtEdge(location, true, [&] {
        std::vector<std::filesystem::path> files;
        for (int pos = 1; pos <= viewer.count(); ++pos) files.push_back(viewer.image(pos)->file());
        transfer::runExport(format, files);
    });
}
}  // namespace

void MainForm::mnuExportJPEG_Click() {
    exportShown(*dv1(), transfer::ExportFormat::Jpeg, "MainForm mnuExportJPEG_Click");
}
void MainForm::mnuExportDICOM_Click() {
    exportShown(*dv1(), transfer::ExportFormat::Dicom, "MainForm mnuExportDICOM_Click");
}
void MainForm::mnuApplyTasks_Click() { headerCommands_->mnuApplyTasks_Click(); }

void MainForm::mnuProtokollFehler_Click() {
    ErrorLogForm log(g_.paths.programFolder / folder::Logs / "Error.log", this);
    op().exec(log);
}

void MainForm::PopUpTaskListSub_Click(int index) {
    if (index == 0) header_->clearTasks();
    else if (index == 1) catchAtEdge("Mainform PopUpTaskListSub", false, [this] { header_->saveRule(); });
}

void MainForm::LoadHeaderData() { headerCommands_->LoadHeaderData(); }

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
        if (header_->holdsOperatorTasks() && !askCancelChanges()) return;
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
    if (header_->holdsOperatorTasks() && askCancelChanges()) {
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
    if (header_->holdsOperatorTasks() && askCancelChanges()) {
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

void MainForm::reloadLoadedStudy() {
    QTreeWidgetItem* study = browser_->lvStudien()->selectedItem();
    if (!study) return;
    ResetView(false);
    // A job that took the study's last images leaves nothing to load: that is no fault
    // to report ("No images found!"), the study simply leaves the list.
    bool empty = false;
    catchAtEdge("MainForm reloadLoadedStudy", false, [&] {
        OpenedDb db(g_.dataDb);
        empty = BrowserQueries(db.db()).imagesOfStudy(ListView::tag(study).toString().toStdString()).empty();
    });
    if (empty) {
        std::unique_ptr<QTreeWidgetItem> gone(
            browser_->lvStudien()->takeTopLevelItem(browser_->lvStudien()->indexOfTopLevelItem(study)));
        lvImages_->clear();
        return;
    }
    lvStudien_ItemClick(study);
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
    // An exposure chosen for the images shown before belongs to none of these.
    dose_->doseList().clearCurrentExposure();
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
        QString projection;
        if (const int position = viewer_->positionOf(r.imageUid); position > 0)
            if (const auto image = dv1()->image(position)) {
                const dose::Projection p = dose::projectionOf(image->image().attributes()).projection;
                if (p.side != dose::Side::Unknown || p.view != dose::View::Unknown) projection = p.key();
            }
        lvImages_->addItem(q(r.imageId), {}, {q(r.date), q(r.time), q(r.imageUid), projection});
        letWindowMessagesRun();
        if (lvImages_->emptiedCount() != emptied) break;  // another load or click took the list over
    }
    if (lvImages_->emptiedCount() == emptied) lvImages_->setSorted(true);
    lvImages_->setUpdatesEnabled(true);
}

void MainForm::noteArrivedImages() {
    const int shown = dv1()->count();
    if (shown == 0 || g_.selection.loadedLevel != "Studie" || g_.selection.studyUid.empty()) return;
    std::size_t stored = 0;
    const bool ok = catchAtEdge("MainForm noteArrivedImages", false, [&] {
        OpenedDb db(g_.dataDb);
        stored = BrowserQueries(db.db()).imagesOfStudy(g_.selection.studyUid).size();
    });
    if (!ok || stored <= static_cast<std::size_t>(shown)) return;
    const QString note = QString::number(stored - static_cast<std::size_t>(shown)) +
                         " new image(s) of the open study arrived: ";
    lblArrived_->setText(note.toHtmlEscaped() + "<a href=\"show\">show them</a>");
    lblArrived_->setToolTip(note + "a click on \"show them\" opens the study again, the current image stays current.");
    lblArrived_->setVisible(true);
}

void MainForm::showArrivedImages() {
    QTreeWidgetItem* study = browser_->lvStudien()->selectedItem();
    if (!study || ListView::tag(study).toString().toStdString() != g_.selection.studyUid) return;
    if (header_->holdsOperatorTasks() && !askCancelChanges()) return;
    // Reloaded as a click on the study would, then her image made current again.
    reselectAfterLoad_ = CurrentImage() ? CurrentImage()->sopInstanceUid() : std::string();
    lvStudien_DblClick();
}

QSize MainForm::viewerCellSize(int images) const {
    const QSize shape = hangingShape(static_cast<std::size_t>(std::max(0, images)));
    return shape.isEmpty() ? dv1()->cellSize() : dv1()->cellSizeFor(shape.width(), shape.height());
}

void MainForm::hangLoadedStudy() {
    lblArrived_->setVisible(false);  // the viewer shows what is stored now
    std::vector<HungImage> images;
    for (int position = 1; position <= dv1()->count(); ++position) {
        const dicom::DataSet header = dv1()->image(position)->image().attributes();
        const QString orientation = QString::fromStdString(header.get(dicom::Tag{0x0020, 0x0020}).text);
        const dose::Projection projection = dose::projectionOf(header).projection;
        images.push_back({projection, orientation.section(QLatin1Char('\\'), 0, 0)});
        // Side and view in the image's corner, as far as the header tells them.
        const QString side = dose::sideLetter(projection.side), view = dose::viewTerm(projection.view);
        if (!side.isEmpty() || !view.isEmpty())
            dv1()->setCaption(position, (side.isEmpty() ? QStringLiteral("?") : side) + QLatin1Char(' ') +
                                            (view.isEmpty() ? QStringLiteral("?") : view));
    }
    dv1()->setHanging(planStudyHanging(images));
}

void MainForm::clearViewer() {
    viewer_->clear();
    setPanelText(3, {});
    emit currentImageChanged();
}

void MainForm::selectViewerImage(int position) {
    viewer_->selectImage(position);
    setPanelText(3, "Sel. image #: " + QString::number(position));
    // An image shown alone is always the current one: the chosen image takes its place.
    if (const int single = dv1()->singlePosition(); single > 0 && single != position) dv1()->showSingle(position);
    emit currentImageChanged();
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
    markCurrentInImageList();
    lvImages_->setFocus();
    if (button == Qt::RightButton) popup(menus_.Popup_Dicom, view->mapToGlobal(position));
}

void MainForm::markCurrentInImageList() {
    if (!CurrentImage()) return;
    const QString uid = q(CurrentImage()->sopInstanceUid());
    for (int i = 1; i <= lvImages_->count(); ++i) {
        QTreeWidgetItem* item = lvImages_->itemAtPosition(i);
        if (item->text(3) == uid) {
            lvImages_->clearSelection();
            item->setSelected(true);
            lvImages_->setCurrentItem(item);
            break;
        }
    }
}

void MainForm::lvImages_ItemClick(QTreeWidgetItem* item) {
    if (!item) return;
    const std::string uid = item->text(3).toStdString();
    if (CurrentImage() && CurrentImage()->sopInstanceUid() == uid) return;  // already current
    if (const int pos = viewer_->positionOf(uid)) selectViewerImage(pos);
}

}  // namespace corva::station
