#pragma once
// The options window OptionForm ("Options"): the operator settings on four tabs, the
// storage destinations, start and stop of Recvora and Ingrado, and the modality
// filters. The window shows an OptionsModel; OK checks it, writes it into the settings
// and saves them; a refused value keeps the window open with everything as typed.
// Control arrays are named "<name>_<index>" (txtRC_0, txtIR_1, cmdStart_0 ...).
#include <QDialog>
#include <QStringList>
#include <array>
#include <optional>

#include "config/options_model.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QMenu;
class QAction;
class QPushButton;
class QRadioButton;
class QTabWidget;
class QTreeWidgetItem;
class QVBoxLayout;

namespace corva::station {
class ListView;
}

namespace corva::config {

// The up-down button beside a rows/columns box: down lowers the number while it is
// above 1, up raises it while it is below 10.
void stepGridValue(QLineEdit& box, bool up);

// The machine's serial devices (their paths), as QSerialPortInfo lists them.
QStringList availableSerialDevices();

class OptionForm : public QDialog {
    Q_OBJECT
public:
    // `serialDevices` replaces the machine's device list (tests).
    explicit OptionForm(QWidget* parent = nullptr, std::optional<QStringList> serialDevices = std::nullopt);
    ~OptionForm() override;

    // The values the controls hold now.
    OptionsModel model() const;
    void showModel(const OptionsModel& m);

    // Handlers.
    void Form_Load();
    void cmdOK_Click();
    void cmdCancel_Click();
    void UpdateSCP();
    void RefreshServiceStatus();
    void cmdStart_Click(int index);
    void cmdStop_Click(int index);
    void lvSCP_MouseUp(Qt::MouseButton button, QPoint position);
    void enableDestinationButtons();
    void PopAddNewSCP_Click();
    void PopEditSCP_Click();
    void PopDeleteSCP_Click();
    void PopDefault_Click();
    void pickColour(QLineEdit* box);
    // Filter page.
    void cboModality_Click();
    void cmdNew_Click();
    void cmdDelMod_Click();
    void cmdAddTag_Click();
    void cmdDelete_Click();
    void cmdActivate_Click();

    // Controls.
    QTabWidget* tabs() const { return tabs_; }
    QCheckBox* chkDebug() const { return chkDebug_; }
    QCheckBox* chkKeepImages() const { return chkKeepImages_; }
    QCheckBox* chkEditAndSend() const { return chkEditAndSend_; }
    QCheckBox* chkWindow() const { return chkWindow_; }
    QCheckBox* chkAutoValue() const { return chkAutoValue_; }
    QCheckBox* chkStopSvr() const { return chkStopSvr_; }
    QLineEdit* txtWidth() const { return txtWidth_; }
    QLineEdit* txtCenter() const { return txtCenter_; }
    QLineEdit* txtRC(int i) const { return txtRC_.at(static_cast<std::size_t>(i)); }
    QPushButton* upDown(int i, bool up) const { return upDown_.at(static_cast<std::size_t>(i * 2 + (up ? 1 : 0))); }
    QLineEdit* txtBackground() const { return txtBackground_; }
    QLineEdit* txtMarker() const { return txtMarker_; }
    QLineEdit* txtIR(int i) const { return txtIR_.at(static_cast<std::size_t>(i)); }
    QLineEdit* txtAllowedAets() const { return txtAllowedAets_; }
    QLineEdit* txtAllowedHosts() const { return txtAllowedHosts_; }
    QLineEdit* txtListenAddress() const { return txtListenAddress_; }
    // The receiver's TLS port and files: txtTls_0..3 (port, certificate, key, CA).
    QLineEdit* txtTls(int i) const { return txtTls_.at(static_cast<std::size_t>(i)); }
    QLineEdit* txtStatus(int i) const { return txtStatus_.at(static_cast<std::size_t>(i)); }
    QPushButton* cmdStart(int i) const { return cmdStart_.at(static_cast<std::size_t>(i)); }
    QPushButton* cmdStop(int i) const { return cmdStop_.at(static_cast<std::size_t>(i)); }
    station::ListView* lvSCP() const { return lvSCP_; }
    QPushButton* cmdAddSCP() const { return cmdAddSCP_; }
    QPushButton* cmdEditSCP() const { return cmdEditSCP_; }
    QPushButton* cmdDeleteSCP() const { return cmdDeleteSCP_; }
    QPushButton* cmdDefaultSCP() const { return cmdDefaultSCP_; }
    QMenu* PopupAddSCP() const { return popupAddScp_; }
    QComboBox* Combo(int i) const { return combos_.at(static_cast<std::size_t>(i - 1)); }  // 1..5
    QRadioButton* Option(int i) const { return options_.at(static_cast<std::size_t>(i - 1)); }  // 1..8
    const std::vector<QRadioButton*>& deviceOptions() const { return deviceOptions_; }
    QLineEdit* Text1() const { return text1_; }
    QLineEdit* Text2() const { return text2_; }
    QRadioButton* optSophie() const { return optSophie_; }
    QRadioButton* optGiotto() const { return optGiotto_; }
    QPushButton* cmdOK() const { return cmdOK_; }
    QPushButton* cmdCancel() const { return cmdCancel_; }
    QComboBox* cboModality() const { return cboModality_; }
    station::ListView* lvTags() const { return lvTags_; }
    QPushButton* cmdNew() const { return cmdNew_; }
    QPushButton* cmdDelMod() const { return cmdDelMod_; }
    QPushButton* cmdAddTag() const { return cmdAddTag_; }
    QPushButton* cmdDelete() const { return cmdDelete_; }
    QPushButton* cmdActivate() const { return cmdActivate_; }

private:
    QWidget* buildGeneral();
    QWidget* buildCommunication();
    QWidget* buildFilter();
    QWidget* buildCommPort(const QStringList& devices);
    void applyWindowRules();
    void setBoxColour(QLineEdit* box, std::int32_t colour);
    std::int32_t boxColour(const QLineEdit* box) const;
    void showDestination(QTreeWidgetItem* item, bool bold);
    void openDestinationDialog(QTreeWidgetItem* editing);
    void fillFilterBox();

    QTabWidget* tabs_ = nullptr;
    QCheckBox* chkDebug_ = nullptr;
    QCheckBox* chkKeepImages_ = nullptr;
    QCheckBox* chkEditAndSend_ = nullptr;
    QCheckBox* chkWindow_ = nullptr;
    QCheckBox* chkAutoValue_ = nullptr;
    QCheckBox* chkStopSvr_ = nullptr;
    QLineEdit* txtWidth_ = nullptr;
    QLineEdit* txtCenter_ = nullptr;
    std::array<QLineEdit*, 2> txtRC_{};
    std::array<QPushButton*, 4> upDown_{};
    QLineEdit* txtBackground_ = nullptr;
    QLineEdit* txtMarker_ = nullptr;
    std::array<QLineEdit*, 2> txtIR_{};
    QLineEdit* txtAllowedAets_ = nullptr;
    QLineEdit* txtAllowedHosts_ = nullptr;
    QLineEdit* txtListenAddress_ = nullptr;
    std::array<QLineEdit*, 4> txtTls_{};
    std::array<QLineEdit*, 2> txtStatus_{};
    std::array<QPushButton*, 2> cmdStart_{};
    std::array<QPushButton*, 2> cmdStop_{};
    station::ListView* lvSCP_ = nullptr;
    QMenu* popupAddScp_ = nullptr;
    QAction* popEdit_ = nullptr;
    QPushButton* cmdAddSCP_ = nullptr;
    QPushButton* cmdEditSCP_ = nullptr;
    QPushButton* cmdDeleteSCP_ = nullptr;
    QPushButton* cmdDefaultSCP_ = nullptr;
    QAction* popDelete_ = nullptr;
    QAction* popDefault_ = nullptr;
    std::array<QComboBox*, 5> combos_{};
    std::array<QRadioButton*, 8> options_{};
    std::vector<QRadioButton*> deviceOptions_;
    QVBoxLayout* portLayout_ = nullptr;
    QButtonGroup* portGroup_ = nullptr;
    QLineEdit* text1_ = nullptr;
    QLineEdit* text2_ = nullptr;
    QRadioButton* optSophie_ = nullptr;
    QRadioButton* optGiotto_ = nullptr;
    QLineEdit* txtDoseUnit_ = nullptr;
    QCheckBox* chkAgdSophie_ = nullptr;
    QCheckBox* chkAgdGiotto_ = nullptr;
    QPushButton* cmdOK_ = nullptr;
    QPushButton* cmdCancel_ = nullptr;
    QComboBox* cboModality_ = nullptr;
    station::ListView* lvTags_ = nullptr;
    QPushButton* cmdNew_ = nullptr;
    QPushButton* cmdDelMod_ = nullptr;
    QPushButton* cmdAddTag_ = nullptr;
    QPushButton* cmdDelete_ = nullptr;
    QPushButton* cmdActivate_ = nullptr;
    std::optional<QStringList> devices_;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};

}  // namespace corva::config
