#include "config/option_form.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QSerialPortInfo>
#include <QTabWidget>
#include <QVBoxLayout>

#include "common/config_state.h"
#include "common/input_box_form.h"
#include "common/list_view.h"
#include "common/operator_seam.h"
#include "common/service_control.h"
#include "common/station_context.h"
#include "common/window_messages.h"
#include "config/add_scp.h"
#include "config/destinations.h"
#include "config/filters.h"
#include "common/serial_lists.h"
#include "config/report.h"
#include "config/tag_dialogs.h"
#include "settings/settings.h"

namespace corva::config {

using station::ListView;
using station::MsgButtons;
using station::MsgIcon;
using station::MsgResult;
using station::op;

namespace {

constexpr const char* LoadLocation = "OptionForm Form_Load";

QLineEdit* lineEdit(QWidget* parent, const QString& name) {
    auto* e = new QLineEdit(parent);
    e->setObjectName(name);
    return e;
}

QPushButton* pushButton(QWidget* parent, const QString& name, const QString& caption) {
    auto* b = new QPushButton(caption, parent);
    b->setObjectName(name);
    return b;
}

QCheckBox* checkBox(QWidget* parent, const QString& name, const QString& caption) {
    auto* c = new QCheckBox(caption, parent);
    c->setObjectName(name);
    return c;
}

}  // namespace

void stepGridValue(QLineEdit& box, bool up) {
    bool ok = false;
    const int n = box.text().trimmed().toInt(&ok);
    if (!ok) return;
    if (up && n < 10) box.setText(QString::number(n + 1));
    if (!up && n > 1) box.setText(QString::number(n - 1));
}

QStringList availableSerialDevices() {
    QStringList devices;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) devices << info.systemLocation();
    return devices;
}

OptionForm::OptionForm(QWidget* parent, std::optional<QStringList> serialDevices)
    : QDialog(parent), devices_(std::move(serialDevices)) {
    setObjectName("OptionForm");
    setWindowTitle("Options");
    auto* layout = new QVBoxLayout(this);
    tabs_ = new QTabWidget(this);
    tabs_->setObjectName("SSTab1");
    tabs_->addTab(buildGeneral(), "General");
    tabs_->addTab(buildCommunication(), "Communication");
    tabs_->addTab(buildFilter(), "Filter");
    tabs_->addTab(buildCommPort(devices_ ? *devices_ : availableSerialDevices()), "Comm Port");
    layout->addWidget(tabs_);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    cmdOK_ = pushButton(this, "cmdOK", "OK");
    cmdCancel_ = pushButton(this, "cmdCancel", "Cancel");
    buttons->addWidget(cmdOK_);
    buttons->addWidget(cmdCancel_);
    layout->addLayout(buttons);
    // Enter in any box means OK, never one of the page's buttons (the grid's "-" changed
    // the viewer unnoticed).
    for (QPushButton* button : findChildren<QPushButton*>()) button->setAutoDefault(false);
    cmdOK_->setDefault(true);
    connect(cmdOK_, &QPushButton::clicked, this, &OptionForm::cmdOK_Click);
    connect(cmdCancel_, &QPushButton::clicked, this, &OptionForm::cmdCancel_Click);
    connect(tabs_, &QTabWidget::currentChanged, this, [this](int index) {
        if (index == 1) RefreshServiceStatus();
    });
    Form_Load();
}

OptionForm::~OptionForm() = default;

QWidget* OptionForm::buildGeneral() {
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    chkDebug_ = checkBox(page, "chkDebug", "Activate debug logging");
    layout->addWidget(chkDebug_);

    auto* images = new QGroupBox("Image handling", page);
    images->setObjectName("fraImages");
    auto* il = new QGridLayout(images);
    chkKeepImages_ = checkBox(images, "chkKeepImages", "Keep images in database after transfer");
    chkEditAndSend_ = checkBox(images, "chkEditAndSend", "Send active images after task execution");
    chkWindow_ = checkBox(images, "chkWindow", "Overwrite Window Width / Center values");
    chkAutoValue_ = checkBox(images, "chkAutoValue", "compute values");
    txtWidth_ = lineEdit(images, "txtWidth");
    txtCenter_ = lineEdit(images, "txtCenter");
    il->addWidget(chkKeepImages_, 0, 0, 1, 3);
    il->addWidget(chkEditAndSend_, 1, 0, 1, 3);
    il->addWidget(chkWindow_, 2, 0, 1, 3);
    il->addWidget(chkAutoValue_, 3, 0, 1, 3);
    il->addWidget(new QLabel("Width / Center", images), 4, 0);
    il->addWidget(txtWidth_, 4, 1);
    il->addWidget(txtCenter_, 4, 2);
    layout->addWidget(images);
    connect(chkWindow_, &QCheckBox::toggled, this, &OptionForm::applyWindowRules);
    connect(chkAutoValue_, &QCheckBox::toggled, this, &OptionForm::applyWindowRules);

    auto* preview = new QGroupBox("DICOM Preview Window", page);
    preview->setObjectName("fraPreview");
    auto* pl = new QGridLayout(preview);
    const char* captions[] = {"Rows:", "Columns:"};
    for (int i = 0; i < 2; ++i) {
        txtRC_[i] = lineEdit(preview, QString("txtRC_%1").arg(i));
        auto* down = pushButton(preview, QString("UpDown1_%1_down").arg(i), "-");
        auto* up = pushButton(preview, QString("UpDown1_%1_up").arg(i), "+");
        upDown_[i * 2] = down;
        upDown_[i * 2 + 1] = up;
        connect(down, &QPushButton::clicked, this, [this, i] { stepGridValue(*txtRC_[i], false); });
        connect(up, &QPushButton::clicked, this, [this, i] { stepGridValue(*txtRC_[i], true); });
        pl->addWidget(new QLabel(captions[i], preview), i, 0);
        pl->addWidget(txtRC_[i], i, 1);
        pl->addWidget(down, i, 2);
        pl->addWidget(up, i, 3);
    }
    txtBackground_ = lineEdit(preview, "txtBackground");
    txtMarker_ = lineEdit(preview, "txtMarker");
    for (QLineEdit* box : {txtBackground_, txtMarker_}) {
        // The box shows a colour, not a text: a click opens the colour dialog.
        box->setReadOnly(true);
        box->setCursor(Qt::PointingHandCursor);
        box->installEventFilter(this);
    }
    pl->addWidget(new QLabel("Background Colour:", preview), 2, 0);
    pl->addWidget(txtBackground_, 2, 1);
    pl->addWidget(new QLabel("Foreground Colour:", preview), 3, 0);
    pl->addWidget(txtMarker_, 3, 1);
    layout->addWidget(preview);
    layout->addStretch();
    return page;
}

QWidget* OptionForm::buildCommunication() {
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    auto* receiver = new QGroupBox("DICOM Receiver", page);
    receiver->setObjectName("fraReceiver");
    auto* rl = new QGridLayout(receiver);
    const char* captions[] = {"AET:", "Port:"};
    for (int i = 0; i < 2; ++i) {
        txtIR_[i] = lineEdit(receiver, QString("txtIR_%1").arg(i));
        rl->addWidget(new QLabel(captions[i], receiver), i, 0);
        rl->addWidget(txtIR_[i], i, 1);
    }
    // Only digits reach the port box (backspace still works).
    txtIR_[1]->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), txtIR_[1]));
    txtAllowedAets_ = lineEdit(receiver, "txtAllowedAets");
    txtAllowedHosts_ = lineEdit(receiver, "txtAllowedHosts");
    txtListenAddress_ = lineEdit(receiver, "txtListenAddress");
    txtAllowedAets_->setPlaceholderText("every calling AE title");
    txtAllowedHosts_->setPlaceholderText("every address");
    txtListenAddress_->setPlaceholderText("every interface");
    rl->addWidget(new QLabel("Allowed calling AETs:", receiver), 2, 0);
    rl->addWidget(txtAllowedAets_, 2, 1);
    rl->addWidget(new QLabel("Allowed addresses:", receiver), 3, 0);
    rl->addWidget(txtAllowedHosts_, 3, 1);
    rl->addWidget(new QLabel("Listen address:", receiver), 4, 0);
    rl->addWidget(txtListenAddress_, 4, 1);
    const char* tlsCaptions[] = {"TLS port:", "TLS certificate:", "TLS private key:", "TLS CA for callers:"};
    const char* tlsPlaceholders[] = {"no TLS port", "PEM file", "PEM file, not readable by every user",
                                     "callers need no certificate"};
    for (int i = 0; i < 4; ++i) {
        txtTls_[i] = lineEdit(receiver, QString("txtTls_%1").arg(i));
        txtTls_[i]->setPlaceholderText(tlsPlaceholders[i]);
        rl->addWidget(new QLabel(tlsCaptions[i], receiver), 5 + i, 0);
        rl->addWidget(txtTls_[i], 5 + i, 1);
    }
    txtTls_[0]->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), txtTls_[0]));
    auto* accessNote = new QLabel(
        "Empty lists accept every calling AE title and every address, as before. Separate entries "
        "with commas; addresses as 10.1.2.3 or ranges as 10.1.2.0/24. A refused sender is named in "
        "Logs/Recvora.log. With a TLS port the receiver takes DICOM over TLS there as well, beside "
        "its plain port; with a CA file only callers whose certificate it signed. The receiver "
        "takes changes when it starts.",
        receiver);
    accessNote->setObjectName("lblReceiverAccess");
    accessNote->setWordWrap(true);
    rl->addWidget(accessNote, 9, 0, 1, 2);
    layout->addWidget(receiver);

    auto* scp = new QGroupBox("Storage Class Providers", page);
    scp->setObjectName("fraSCP");
    auto* sl = new QHBoxLayout(scp);
    lvSCP_ = new ListView("lvSCP", {"Alias", "AET", "IP", "Port"}, scp);
    sl->addWidget(lvSCP_, 1);
    // The same commands as the list's right-click menu, where an operator finds them.
    auto* scpButtons = new QVBoxLayout;
    cmdAddSCP_ = pushButton(scp, "cmdAddSCP", "Add ...");
    cmdEditSCP_ = pushButton(scp, "cmdEditSCP", "Edit ...");
    cmdDeleteSCP_ = pushButton(scp, "cmdDeleteSCP", "Delete");
    cmdDefaultSCP_ = pushButton(scp, "cmdDefaultSCP", "Set as default");
    for (QPushButton* b : {cmdAddSCP_, cmdEditSCP_, cmdDeleteSCP_, cmdDefaultSCP_}) scpButtons->addWidget(b);
    scpButtons->addStretch();
    sl->addLayout(scpButtons);
    layout->addWidget(scp);
    connect(cmdAddSCP_, &QPushButton::clicked, this, &OptionForm::PopAddNewSCP_Click);
    connect(cmdEditSCP_, &QPushButton::clicked, this, &OptionForm::PopEditSCP_Click);
    connect(cmdDeleteSCP_, &QPushButton::clicked, this, &OptionForm::PopDeleteSCP_Click);
    connect(cmdDefaultSCP_, &QPushButton::clicked, this, &OptionForm::PopDefault_Click);
    connect(lvSCP_, &QTreeWidget::itemSelectionChanged, this, &OptionForm::enableDestinationButtons);
    connect(lvSCP_, &QTreeWidget::itemDoubleClicked, this, &OptionForm::PopEditSCP_Click);
    connect(lvSCP_, &ListView::mouseUp, this, &OptionForm::lvSCP_MouseUp);
    popupAddScp_ = new QMenu(this);
    popupAddScp_->setObjectName("PopupAddSCP");
    QAction* addNew = popupAddScp_->addAction("Add New ...");
    addNew->setObjectName("PopAddNewSCP");
    popEdit_ = popupAddScp_->addAction("Edit ...");
    popEdit_->setObjectName("PopEditSCP");
    popDelete_ = popupAddScp_->addAction("Delete");
    popDelete_->setObjectName("PopDeleteSCP");
    popupAddScp_->addSeparator();
    popDefault_ = popupAddScp_->addAction("Set as default");
    popDefault_->setObjectName("PopDefault");
    connect(addNew, &QAction::triggered, this, &OptionForm::PopAddNewSCP_Click);
    connect(popEdit_, &QAction::triggered, this, &OptionForm::PopEditSCP_Click);
    connect(popDelete_, &QAction::triggered, this, &OptionForm::PopDeleteSCP_Click);
    connect(popDefault_, &QAction::triggered, this, &OptionForm::PopDefault_Click);

    const char* frames[] = {"DICOM Receiver (Recvora)", "Ingest Service (Ingrado)"};
    for (int i = 0; i < 2; ++i) {
        auto* frame = new QGroupBox(frames[i], page);
        frame->setObjectName(QString("fraService_%1").arg(i));
        auto* fl = new QHBoxLayout(frame);
        fl->addWidget(new QLabel("Status:", frame));
        txtStatus_[i] = lineEdit(frame, QString("txtStatus_%1").arg(i));
        txtStatus_[i]->setReadOnly(true);
        cmdStart_[i] = pushButton(frame, QString("cmdStart_%1").arg(i), "Start");
        cmdStop_[i] = pushButton(frame, QString("cmdStop_%1").arg(i), "Stop");
        fl->addWidget(txtStatus_[i]);
        fl->addWidget(cmdStart_[i]);
        fl->addWidget(cmdStop_[i]);
        if (i == 1) {
            chkStopSvr_ = checkBox(frame, "chkStopSvr", "stop services on exit");
            fl->addWidget(chkStopSvr_);
        }
        connect(cmdStart_[i], &QPushButton::clicked, this, [this, i] { cmdStart_Click(i); });
        connect(cmdStop_[i], &QPushButton::clicked, this, [this, i] { cmdStop_Click(i); });
        layout->addWidget(frame);
    }
    return page;
}

QWidget* OptionForm::buildFilter() {
    auto* page = new QWidget;
    auto* layout = new QGridLayout(page);
    cboModality_ = new QComboBox(page);
    cboModality_->setObjectName("cboModality");
    cmdNew_ = pushButton(page, "cmdNew", "New ...");
    cmdDelMod_ = pushButton(page, "cmdDelMod", "Delete");
    cmdAddTag_ = pushButton(page, "cmdAddTag", "add ...");
    cmdDelete_ = pushButton(page, "cmdDelete", "remove");
    cmdActivate_ = pushButton(page, "cmdActivate", "activate");
    lvTags_ = new ListView("lvTags", {"DICOM Tag", "DICOM Description"}, page);
    lvTags_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    layout->addWidget(new QLabel("Filter:", page), 0, 0);
    layout->addWidget(cboModality_, 0, 1);
    layout->addWidget(cmdNew_, 0, 2);
    layout->addWidget(cmdDelMod_, 0, 3);
    layout->addWidget(lvTags_, 1, 0, 1, 4);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(cmdAddTag_);
    buttons->addWidget(cmdDelete_);
    buttons->addStretch();
    buttons->addWidget(cmdActivate_);
    layout->addLayout(buttons, 2, 0, 1, 4);
    connect(cboModality_, &QComboBox::activated, this, [this] { cboModality_Click(); });
    connect(cmdNew_, &QPushButton::clicked, this, &OptionForm::cmdNew_Click);
    connect(cmdDelMod_, &QPushButton::clicked, this, &OptionForm::cmdDelMod_Click);
    connect(cmdAddTag_, &QPushButton::clicked, this, &OptionForm::cmdAddTag_Click);
    connect(cmdDelete_, &QPushButton::clicked, this, &OptionForm::cmdDelete_Click);
    connect(cmdActivate_, &QPushButton::clicked, this, &OptionForm::cmdActivate_Click);
    return page;
}

QWidget* OptionForm::buildCommPort(const QStringList& devices) {
    auto* page = new QWidget;
    auto* layout = new QHBoxLayout(page);
    auto* parameter = new QGroupBox("Parameter", page);
    parameter->setObjectName("fraParameter");
    auto* pl = new QGridLayout(parameter);
    const char* captions[] = {"Speed :", "Parity :", "Bits :", "Stop Bits :", "Event :"};
    for (int i = 0; i < 5; ++i) {
        combos_[i] = new QComboBox(parameter);
        combos_[i]->setObjectName(QString("Combo%1").arg(i + 1));
        pl->addWidget(new QLabel(captions[i], parameter), i, 0);
        pl->addWidget(combos_[i], i, 1);
    }
    layout->addWidget(parameter);

    auto* select = new QGroupBox("Select Port", page);
    select->setObjectName("fraPort");
    portLayout_ = new QVBoxLayout(select);
    portGroup_ = new QButtonGroup(this);
    for (int i = 0; i < 8; ++i) {
        options_[i] = new QRadioButton(QString("Comm%1").arg(i + 1), select);
        options_[i]->setObjectName(QString("Option%1").arg(i + 1));
        portGroup_->addButton(options_[i]);
        portLayout_->addWidget(options_[i]);
    }
    // The machine's own serial devices, beside the eight numbered ports.
    for (const QString& device : devices) {
        auto* b = new QRadioButton(device, select);
        b->setObjectName(QString("optDevice_%1").arg(deviceOptions_.size()));
        b->setProperty("device", device);
        portGroup_->addButton(b);
        portLayout_->addWidget(b);
        deviceOptions_.push_back(b);
    }
    layout->addWidget(select);

    auto* right = new QVBoxLayout;
    auto* timeOut = new QGroupBox("Time Out", page);
    timeOut->setObjectName("fraTimeOut");
    auto* tl = new QGridLayout(timeOut);
    text1_ = lineEdit(timeOut, "Text1");
    text2_ = lineEdit(timeOut, "Text2");
    tl->addWidget(new QLabel("Duration of the time out beginning in second :", timeOut), 0, 0);
    tl->addWidget(text1_, 0, 1);
    tl->addWidget(new QLabel("Duration of the end time out in second :", timeOut), 1, 0);
    tl->addWidget(text2_, 1, 1);
    right->addWidget(timeOut);
    auto* unit = new QGroupBox("X-ray unit", page);
    unit->setObjectName("fraXray");
    auto* ul = new QHBoxLayout(unit);
    optSophie_ = new QRadioButton("Sophie", unit);
    optSophie_->setObjectName("optSophie");
    optGiotto_ = new QRadioButton("Giotto", unit);
    optGiotto_->setObjectName("optGiotto");
    ul->addWidget(optSophie_);
    ul->addWidget(optGiotto_);
    right->addWidget(unit);
    // How the dose reports name the unit and which dose each unit type reports.
    auto* dose = new QGroupBox("Dose reports", page);
    dose->setObjectName("fraDoseReport");
    auto* dl = new QGridLayout(dose);
    txtDoseUnit_ = lineEdit(dose, "txtDoseUnit");
    dl->addWidget(new QLabel("X-ray unit name :", dose), 0, 0);
    dl->addWidget(txtDoseUnit_, 0, 1);
    chkAgdSophie_ = new QCheckBox("Sophie reports average glandular dose", dose);
    chkAgdSophie_->setObjectName("chkAgdSophie");
    chkAgdGiotto_ = new QCheckBox("Giotto reports average glandular dose", dose);
    chkAgdGiotto_->setObjectName("chkAgdGiotto");
    dl->addWidget(chkAgdSophie_, 1, 0, 1, 2);
    dl->addWidget(chkAgdGiotto_, 2, 0, 1, 2);
    right->addWidget(dose);
    right->addStretch();
    layout->addLayout(right);
    // The unit type changes in memory at once, whether the window ends with OK or not.
    connect(optSophie_, &QRadioButton::clicked, this, [] { settings::current().xrayComm = 1; });
    connect(optGiotto_, &QRadioButton::clicked, this, [] { settings::current().xrayComm = 2; });
    return page;
}

// ---- the model ---------------------------------------------------------------------

void OptionForm::setBoxColour(QLineEdit* box, std::int32_t colour) {
    box->setProperty("colour", colour);
    const QColor c = station::colourFromSetting(colour);
    box->setStyleSheet(QString("QLineEdit { background-color: %1; }").arg(c.name()));
}

std::int32_t OptionForm::boxColour(const QLineEdit* box) const {
    return box->property("colour").toInt();
}

void OptionForm::applyWindowRules() {
    const bool window = chkWindow_->isChecked();
    chkAutoValue_->setEnabled(window);
    const bool typed = window && !chkAutoValue_->isChecked();
    txtWidth_->setEnabled(typed);
    txtCenter_->setEnabled(typed);
}

void OptionForm::showModel(const OptionsModel& m) {
    txtIR_[0]->setText(m.irAet);
    txtIR_[1]->setText(m.irPort);
    txtAllowedAets_->setText(m.allowedAets);
    txtAllowedHosts_->setText(m.allowedHosts);
    txtListenAddress_->setText(m.listenAddress);
    txtTls_[0]->setText(m.tlsPort);
    txtTls_[1]->setText(m.tlsCertificate);
    txtTls_[2]->setText(m.tlsKey);
    txtTls_[3]->setText(m.tlsCa);
    txtRC_[0]->setText(m.rows);
    txtRC_[1]->setText(m.columns);
    chkEditAndSend_->setChecked(m.editAndSend);
    chkKeepImages_->setChecked(m.keepImages);
    chkWindow_->setChecked(m.autoWindow);
    chkAutoValue_->setChecked(m.computeWindow);
    applyWindowRules();
    txtWidth_->setText(m.width);
    txtCenter_->setText(m.center);
    setBoxColour(txtBackground_, m.bgColor);
    setBoxColour(txtMarker_, m.fgColor);
    chkStopSvr_->setChecked(m.stopService);
    chkDebug_->setChecked(m.debug);
    const int positions[] = {m.speed, m.parity, m.bitGet, m.bitPut, m.flux};
    for (int i = 0; i < 5; ++i)
        combos_[i]->setCurrentIndex(positions[i] >= 0 && positions[i] < combos_[i]->count() ? positions[i] : -1);
    if (!m.device.isEmpty()) {
        QRadioButton* chosen = nullptr;
        for (auto* b : deviceOptions_)
            if (b->property("device").toString() == m.device) chosen = b;
        if (!chosen) {  // a device not plugged in now stays the choice until changed
            chosen = new QRadioButton(m.device, options_[0]->parentWidget());
            chosen->setObjectName(QString("optDevice_%1").arg(deviceOptions_.size()));
            chosen->setProperty("device", m.device);
            portGroup_->addButton(chosen);
            portLayout_->addWidget(chosen);
            deviceOptions_.push_back(chosen);
        }
        chosen->setChecked(true);
    } else if (m.port >= 1 && m.port <= 8) {
        options_[m.port - 1]->setChecked(true);
    }
    text1_->setText(m.timeOutStart);
    text2_->setText(m.timeOutEnd);
    if (m.xrayComm == 1) optSophie_->setChecked(true);
    if (m.xrayComm == 2) optGiotto_->setChecked(true);
    txtDoseUnit_->setText(m.doseUnitName);
    chkAgdSophie_->setChecked(m.agdSophie);
    chkAgdGiotto_->setChecked(m.agdGiotto);
}

OptionsModel OptionForm::model() const {
    OptionsModel m;
    m.debug = chkDebug_->isChecked();
    m.irAet = txtIR_[0]->text();
    m.irPort = txtIR_[1]->text();
    m.allowedAets = txtAllowedAets_->text();
    m.allowedHosts = txtAllowedHosts_->text();
    m.listenAddress = txtListenAddress_->text();
    m.tlsPort = txtTls_[0]->text();
    m.tlsCertificate = txtTls_[1]->text();
    m.tlsKey = txtTls_[2]->text();
    m.tlsCa = txtTls_[3]->text();
    m.rows = txtRC_[0]->text();
    m.columns = txtRC_[1]->text();
    m.editAndSend = chkEditAndSend_->isChecked();
    m.keepImages = chkKeepImages_->isChecked();
    m.autoWindow = chkWindow_->isChecked();
    m.computeWindow = chkAutoValue_->isChecked();
    m.width = txtWidth_->text();
    m.center = txtCenter_->text();
    m.bgColor = boxColour(txtBackground_);
    m.fgColor = boxColour(txtMarker_);
    m.stopService = chkStopSvr_->isChecked();
    m.speed = combos_[0]->currentIndex();
    m.parity = combos_[1]->currentIndex();
    m.bitGet = combos_[2]->currentIndex();
    m.bitPut = combos_[3]->currentIndex();
    m.flux = combos_[4]->currentIndex();
    for (int i = 0; i < 8 && m.port == 0; ++i)
        if (options_[i]->isChecked()) m.port = i + 1;
    for (auto* b : deviceOptions_)
        if (b->isChecked()) m.device = b->property("device").toString();
    m.timeOutStart = text1_->text();
    m.timeOutEnd = text2_->text();
    m.xrayComm = optSophie_->isChecked() ? 1 : optGiotto_->isChecked() ? 2 : 0;
    m.doseUnitName = txtDoseUnit_->text();
    m.agdSophie = chkAgdSophie_->isChecked();
    m.agdGiotto = chkAgdGiotto_->isChecked();
    return m;
}

// ---- loading, OK and Cancel ------------------------------------------------------------

void OptionForm::Form_Load() {
    const OptionsModel m = OptionsModel::fromSettings(settings::current());
    guarded(LoadLocation, logOnly(), [&] {
        txtIR_[0]->setText(m.irAet);
        txtIR_[1]->setText(m.irPort);
        txtRC_[0]->setText(m.rows);
        txtRC_[1]->setText(m.columns);
    });
    guarded(LoadLocation, logOnly(), [&] { fillFilterBox(); });
    const std::pair<QComboBox*, const QStringList*> lists[] = {
        {combos_[0], &station::speedList()}, {combos_[1], &station::parityList()},
        {combos_[2], &station::dataBitsList()}, {combos_[3], &station::stopBitsList()},
        {combos_[4], &station::handshakeList()}};
    for (const auto& [combo, list] : lists) {
        combo->clear();
        combo->addItems(*list);
    }
    // The remaining controls take their values from the model.
    guarded(LoadLocation, logOnly(), [&] { showModel(m); });
    guarded(LoadLocation, logOnly(), [&] { UpdateSCP(); });
    guarded(LoadLocation, logOnly(), [&] { RefreshServiceStatus(); });
}

void OptionForm::cmdOK_Click() {
    const OptionsModel m = model();
    if (const auto problem = m.problem()) {
        // Nothing is taken over: the window stays open with the values as typed.
        op().message(*problem, "Options", MsgIcon::Exclamation);
        return;
    }
    m.applyTo(settings::current());
    settings::SaveSettings(settings::current());
    if (!m.saveReceiverAccess())
        op().message("Who may store at the receiver could not be saved in the settings.", "Options",
                     MsgIcon::Exclamation);
    accept();
}

void OptionForm::cmdCancel_Click() {
    reject();
}

bool OptionForm::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonRelease && (watched == txtBackground_ || watched == txtMarker_))
        pickColour(static_cast<QLineEdit*>(watched));
    return QDialog::eventFilter(watched, event);
}

void OptionForm::pickColour(QLineEdit* box) {
    const auto chosen = op().colour(station::colourFromSetting(boxColour(box)));
    if (chosen && chosen->isValid()) setBoxColour(box, station::colourToSetting(*chosen));  // Cancel keeps the colour
}

// ---- services ------------------------------------------------------------------------

void OptionForm::RefreshServiceStatus() {
    auto& g = station::stationContext();
    // Only this program folder's services: another installation's copies are not ours to stop.
    const station::ServiceControl services(g);
    const char* names[] = {station::ReceiverName, station::IngestServiceName};
    int* ids[] = {&g.receiverPid, &g.ingestPid};
    for (int i = 0; i < 2; ++i) {
        // A unit's service belongs to systemd: its state is asked, its id never remembered.
        const auto unit = services.unitOf(names[i]);
        if (!unit && *ids[i] == 0) *ids[i] = services.findService(names[i]);
        const bool running = unit ? unit->state().running() : station::ServiceControl::IsProcessAlive(*ids[i]);
        const QString by = unit ? QStringLiteral(" (systemd)") : QString();
        txtStatus_[i]->setText((running ? "- started" : "- stopped") + by);
        cmdStop_[i]->setEnabled(running);
        cmdStart_[i]->setEnabled(!running);
    }
}

void OptionForm::cmdStart_Click(int index) {
    // The receiver reads its title, port and access lists from the settings keys: they
    // go there now; the settings in memory change only with OK. Access lists it would
    // refuse to start with are not written, and it is not started.
    if (index == 0) {
        const OptionsModel m = model();
        if (const auto problem = m.receiverAccessProblem()) {
            op().message(*problem, "Options", MsgIcon::Exclamation);
            return;
        }
        m.saveReceiverAccess();
    }
    settings::WriteRegistryValue("Com\\IR_AET", txtIR_[0]->text().toStdString());
    settings::WriteRegistryValue("Com\\IR_Port", txtIR_[1]->text().toStdString());
    cmdStart_[index]->setEnabled(false);
    txtStatus_[index]->setText("- starting");
    station::ServiceControl services(station::stationContext());
    const char* name = index == 0 ? station::ReceiverName : station::IngestServiceName;
    const std::string problem = services.startService(name);
    // Without a unit a start that did nothing shows as stopped, as always; a unit's
    // refusal (no right to start it, a failed start) is told in systemctl's words.
    if (!problem.empty() && services.unitOf(name))
        op().message(QString::fromStdString(std::string(name) + " was not started: " + problem), "Options", MsgIcon::Exclamation);
    RefreshServiceStatus();
}

void OptionForm::cmdStop_Click(int index) {
    cmdStop_[index]->setEnabled(false);
    txtStatus_[index]->setText("- stopping");
    station::ServiceControl services(station::stationContext());
    const char* name = index == 0 ? station::ReceiverName : station::IngestServiceName;
    if (const std::string problem = services.stopService(name); !problem.empty())
        op().message(QString::fromStdString(std::string(name) + " was not stopped: " + problem), "Options", MsgIcon::Exclamation);
    RefreshServiceStatus();
}

// ---- destinations --------------------------------------------------------------------

void OptionForm::showDestination(QTreeWidgetItem* item, bool bold) {
    for (int c = 0; c < lvSCP_->columnCount(); ++c) {
        QFont f = item->font(c);
        f.setBold(bold);
        item->setFont(c, f);
    }
}

void OptionForm::UpdateSCP() {
    lvSCP_->setUpdatesEnabled(false);
    lvSCP_->clear();
    guarded("OptionForm UpdateSCP", logOnly(), [&] {
        std::vector<Destination> rows;
        {
            station::OpenedDb db(station::stationContext().userDb);
            rows = listDestinations(db.db());
        }
        for (const auto& d : rows) {
            QTreeWidgetItem* item = lvSCP_->addItem(d.alias, QVariant::fromValue<qlonglong>(d.id), {d.aet, d.ip, d.port});
            showDestination(item, d.isDefault);
        }
    });
    lvSCP_->setUpdatesEnabled(true);
    enableDestinationButtons();
}

void OptionForm::enableDestinationButtons() {
    const bool chosen = lvSCP_->selectedItem() != nullptr;
    for (QPushButton* b : {cmdEditSCP_, cmdDeleteSCP_, cmdDefaultSCP_}) b->setEnabled(chosen);
}

void OptionForm::lvSCP_MouseUp(Qt::MouseButton button, QPoint position) {
    if (button != Qt::RightButton) return;
    QTreeWidgetItem* under = lvSCP_->itemAt(position);
    if (under) lvSCP_->setCurrentItem(under);
    for (QAction* a : {popEdit_, popDelete_, popDefault_}) a->setEnabled(under != nullptr);
    popupAddScp_->popup(lvSCP_->viewport()->mapToGlobal(position));
}

void OptionForm::openDestinationDialog(QTreeWidgetItem* editing) {
    AddSCP dialog(this);
    if (editing)
        dialog.editRow({ListView::tag(editing).toLongLong(), editing->text(0), editing->text(1), editing->text(2),
                        editing->text(3), false});
    op().exec(dialog);
    if (dialog.listChanged()) UpdateSCP();
}

void OptionForm::PopAddNewSCP_Click() {
    openDestinationDialog(nullptr);
}

void OptionForm::PopEditSCP_Click() {
    if (QTreeWidgetItem* item = lvSCP_->selectedItem()) openDestinationDialog(item);
}

void OptionForm::PopDeleteSCP_Click() {
    QTreeWidgetItem* item = lvSCP_->selectedItem();
    if (!item) return;
    // A row the database keeps stays in the list; the message says why.
    const bool deleted = guarded("OptionForm PopDeleteSCP_Click", {}, [&] {
        station::OpenedDb db(station::stationContext().userDb);
        deleteDestination(db.db(), ListView::tag(item).toLongLong());
    });
    if (!deleted) return;
    delete item;
    // Nothing is chosen afterwards: a second press of Delete must not take the next entry.
    lvSCP_->setCurrentItem(nullptr);
    lvSCP_->clearSelection();
    enableDestinationButtons();
    station::configState().destinationsChanged = true;
}

void OptionForm::PopDefault_Click() {
    QTreeWidgetItem* item = lvSCP_->selectedItem();
    if (!item) return;
    const bool stored = guarded("OptionForm PopDefault_Click", {}, [&] {
        station::OpenedDb db(station::stationContext().userDb);
        setDefaultDestination(db.db(), ListView::tag(item).toLongLong());
    });
    if (!stored) return;
    station::configState().defaultDestination = {
        item->text(1).toStdString(), item->text(2).toStdString(), item->text(3).toStdString(),
        settings::readDestinationTls(ListView::tag(item).toLongLong()).files()};
    for (int i = 1; i <= lvSCP_->count(); ++i) showDestination(lvSCP_->itemAtPosition(i), false);
    showDestination(item, true);
}

// ---- filters ---------------------------------------------------------------------------

void OptionForm::fillFilterBox() {
    std::vector<QString> names;
    {
        station::OpenedDb db(station::stationContext().userDb);
        names = filterNames(db.db());
    }
    cboModality_->clear();
    for (const QString& n : names) cboModality_->addItem(n);
    const QString selected = QString::fromStdString(station::configState().selectedFilter);
    cboModality_->setCurrentIndex(cboModality_->findText(selected));
    if (!selected.isEmpty() && cboModality_->currentIndex() >= 0) cboModality_Click();
    else cmdActivate_->setEnabled(false);
}

void OptionForm::cboModality_Click() {
    auto& state = station::configState();
    state.selectedFilter = cboModality_->currentText().toStdString();
    cmdActivate_->setEnabled(state.selectedFilter != settings::current().filterActive);
    lvTags_->clear();
    lvTags_->setSorted(false);
    guarded("OptionForm cboModality_Click", shownAs("Fehler #", " ", MsgIcon::None), [&] {
        std::vector<DictionaryEntry> rows;
        {
            station::OpenedDb db(station::stationContext().userDb);
            rows = tagsOfFilter(db.db(), cboModality_->currentText());
        }
        for (const auto& e : rows) lvTags_->addItem(e.tag, QVariant::fromValue<qlonglong>(e.index), {e.description});
    });
    lvTags_->setSorted(true);
    lvTags_->clearSelection();
}

void OptionForm::cmdNew_Click() {
    station::InputBoxForm prompt(this);
    op().exec(prompt);
    const QString name = prompt.value().trimmed().toUpper();
    if (name.isEmpty()) return;
    // A name that cannot be a column, or is one already, is refused with its reason.
    const bool ok = guarded("cmdNew_Click", {}, [&] {
        station::OpenedDb db(station::stationContext().userDb);
        if (createFilter(db.db(), name)) cboModality_->addItem(name);
    });
    if (!ok) return;
    cboModality_->setCurrentIndex(cboModality_->findText(name));
    cboModality_Click();
}

void OptionForm::cmdDelMod_Click() {
    const QString name = cboModality_->currentText();
    if (name.isEmpty()) return;
    if (op().message("Delete filter \"" + name + "\"?", {}, MsgIcon::Question, MsgButtons::YesNo) != MsgResult::Yes)
        return;
    const bool deleted = guarded("OptionForm cmdDelMod_Click", {}, [&] {
        station::OpenedDb db(station::stationContext().userDb);
        deleteFilter(db.db(), name);
    });
    if (!deleted) return;
    if (QString::fromStdString(settings::current().filterActive) == name) {
        settings::current().filterActive.clear();
        station::configState().activeTagSet.clear();
        settings::WriteRegistryValue("Filter\\Active", "");
    }
    cboModality_->removeItem(cboModality_->findText(name));
    cboModality_->setCurrentIndex(-1);
    lvTags_->clear();
    station::configState().selectedFilter.clear();
}

void OptionForm::cmdAddTag_Click() {
    auto& state = station::configState();
    if (state.selectedFilter.empty() || cboModality_->currentText().isEmpty()) {
        op().message("No filter selected!", {}, MsgIcon::Information);
        return;
    }
    AddTagForm dialog(QString::fromStdString(state.selectedFilter), this);
    op().exec(dialog);
    cboModality_Click();
    if (state.filterChanged) cmdActivate_Click();
}

void OptionForm::cmdDelete_Click() {
    const auto selected = lvTags_->selectedItems();
    if (selected.isEmpty()) return;
    guarded("OptionForm cmdDelete_Click", shownAs("Error #", ": ", MsgIcon::Critical, "Failed to delete all entries correctly!"),
            [&] {
                station::OpenedDb db(station::stationContext().userDb);
                for (QTreeWidgetItem* item : selected) {
                    removeTagsFromFilter(db.db(), cboModality_->currentText(), {ListView::tag(item).toLongLong()});
                    delete item;
                }
            });
}

void OptionForm::cmdActivate_Click() {
    const QString name = cboModality_->currentText();
    if (name.isEmpty()) op().message("No filter selected!", {}, MsgIcon::Information);
    else settings::current().filterActive = name.toStdString();
    cmdActivate_->setEnabled(false);
    auto& set = station::configState().activeTagSet;
    set.clear();
    for (int i = 1; i <= lvTags_->count(); ++i) {
        QTreeWidgetItem* item = lvTags_->itemAtPosition(i);
        set[item->text(0).toStdString()] = item->text(1).toStdString();
    }
    settings::WriteRegistryValue("Filter\\Active", settings::current().filterActive);
}

}  // namespace corva::config
