#pragma once
// Dose capture in the main window: the X-ray unit link, the dose list, the dose history,
// the projection buttons and the mammography conversion, working on the controls the
// main window hands over as a DoseView. Construct it once the window's controls and
// popup menus exist; the window owns it (Qt parent) unless a member holds it first:
//
//   dose_ = std::make_unique<corva::dose::DoseCapture>(view);
//   dose_->hooks().refreshLocked = [this] { return g_.refreshLock; };
//   dose_->hooks().addTask = [this] { /* task list: later */ };
//   dose_->loadProjectionCaptions();   // Form_Load, after LoadSettings; throws on a bad file
//   connect(dose_.get(), &DoseCapture::stateChanged, statusLabel, &QLabel::setText);
//   dose_->startLink();                // Form_Load, once the settings are loaded
//
// Then the window's commands call: fill() for "Fill", refreshDoseList() for "refreshd",
// openHistory() for "reldosis", deleteDoseList() for "delete", refreshDosisList(mode)
// at the job window's OK, doseRecordCount() / selectDoseRecord(j) / currentExposure() /
// modifyImage() from the forwarding commands, applyLinkSettings() when the options
// window closes.
//
// Wired by itself: window activation (QEvent::WindowActivate: debug mode, and when the
// window returns from another window of this program that is not a message, input or
// file box, the link's settings are read again; do not call activate() from the window's
// own activation too), the clicks of cmdProjection(0..7), clicks, keyboard selection and
// right clicks on lvDosis, and "Delete" of Popup_Dosis. The link has its own port and
// timers: it opens at startLink() whatever the window's focus, and reopens the port by
// itself after a failure.
//
// The view's controls (a missing one leaves its part out): lvDosis, Text1, Text2,
// Text3(0..5), txtID, txtcInput, List1, lvImages, cmdProjection(0..7), cmdAll,
// cmdSelected and the menu Popup_Dosis.
#include <QObject>
#include <QString>
#include <filesystem>
#include <functional>
#include <memory>

#include "dicom/dicom.h"
#include "dose/dose_link.h"
#include "dose/dose_list.h"
#include "dose/dose_store.h"
#include "dose/dose_view.h"
#include "dose/exposure.h"
#include "settings/settings.h"

class QWidget;

namespace corva::dose {

// Whether the main window, activated again after `tookOver` had become the active
// window, reads the link's settings again: after another window of this program (the
// options window among them), yes; after a message, input, file or colour box, or
// another program (nullptr), no. Reading them reopens the port only when they changed.
bool reinitialisesOnReturn(const QWidget* tookOver);

class DoseCapture : public QObject {
    Q_OBJECT
public:
    struct Hooks {
        // The refresh lock of the main window (a study loading, a job window open).
        std::function<bool()> refreshLocked;
        // "Add Task" of the task list: rebuilds the task list from the header view with
        // the values of Text3(0..5). Empty until the task list exists.
        std::function<void()> addTask;
        // After each reload of the dose list (the main window clears its poll flag).
        std::function<void()> doseListFilled;
    };

    // `programFolder` holds cInput.txt, done.txt, projection.ini, Data/QAData.dat and bin/.
    // The main window hands over its controls as a DoseView.
    explicit DoseCapture(const DoseView& view, settings::Settings& settings = settings::current(),
                         std::filesystem::path programFolder = {});
    ~DoseCapture() override;

    Hooks& hooks() { return hooks_; }

    // Opens the X-ray unit's port with the current settings and starts the link. Call it
    // once when the main window has loaded; the window's focus plays no part.
    void startLink();
    // Reads the link's settings again and reopens the port only when they changed (the
    // options window closed). Starts the link when it has not started yet.
    void applyLinkSettings();
    // The link's state for the operator ("X-ray unit: COM1 open", ...), as stateChanged
    // last reported it.
    QString linkState() const;

    // Form_Activate: debug mode (txtcInput and List1 instead of lvDosis), then the same as
    // applyLinkSettings(): with the settings unchanged nothing received is thrown away.
    // Runs by itself on window activation (the link part only as reinitialisesOnReturn()
    // says); until the window calls startLink(), the first activation starts the link.
    void activate();
    // LoadProjectionCaptions: captions from projection.ini for a Giotto unit.
    // Throws corva::Error when the file cannot be read (the window's loading logs it).
    void loadProjectionCaptions();
    // cmdProjection_Click(index): the projection of the next Giotto record, shown in
    // Text3(5); a record waiting for it is stored with it. Only a click sets it (not
    // selecting a dose record), and each stored record uses it up. Connected to the
    // buttons by itself.
    void projectionClicked(int index);
    // mnuFill: store the records of cInput.txt (placed there by hand, say) or what waits
    // in the raw input, now.
    void fill();
    // lvDosis_Fill ("Refresh Dosislist").
    void refreshDoseList();
    // "Delete Dosislist".
    void deleteDoseList();
    // RefreshDosisList at the job window's OK (mode 1 after "Automatic", 2 after "Manually").
    void refreshDosisList(station::ForwardingMode forwardingMode);
    // "Reload Dosislist": the dose history window, modally.
    void openHistory();

    // For the forwarding: the dose list's rows, selecting row j (from 0) as a click does.
    int doseRecordCount() const;
    bool selectDoseRecord(int row);
    const CurrentExposure& currentExposure() const;
    // The clicked projection waiting for the next Giotto record; empty once used.
    QString currentProjection() const { return currentProjection_; }
    // ModifyImage with the current exposure into <program folder>/bin; false on failure
    // (logged under "ModifyImage").
    bool modifyImage(dicom::Image* image);

    DoseLink& link() { return *link_; }
    DoseListPresenter& doseList() { return *list_; }
    const DoseStore& store() const { return store_; }

signals:
    // The link's state changed: the text for the status bar.
    void stateChanged(const QString& text);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void applyDebugMode();
    void updateForwardingButtons();

    DoseView view_;
    QWidget* window_;
    settings::Settings& settings_;
    std::filesystem::path programFolder_;
    DoseStore store_;
    Hooks hooks_;
    std::unique_ptr<DoseLink> link_;
    std::unique_ptr<DoseListPresenter> list_;
    QString currentProjection_;
    // Set when the window lost activation, from the window that took it over.
    bool readSettingsOnActivation_ = true;
};

}  // namespace corva::dose
