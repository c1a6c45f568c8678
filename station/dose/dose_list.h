#pragma once
// The dose list of the main window (lvDosis) and the selected-record fields: filling,
// selecting a record (the current exposure), marking used records and deleting.
// Works on the widgets it is given; holds no widgets of its own.
#include <QObject>
#include <QString>
#include <array>
#include <functional>

#include "common/forwarding_mode.h"
#include "dose/dose_store.h"
#include "dose/dose_view.h"
#include "dose/exposure.h"

class QMenu;
class QPoint;
class QTreeWidget;
class QTreeWidgetItem;
class QWidget;

namespace corva::dose {

// The forwarding mode under its short names: Automatic used every record of the dose
// list, Manual only the selected one.
namespace forwarding {
using station::ForwardingMode;
inline constexpr ForwardingMode None = ForwardingMode::None;
inline constexpr ForwardingMode Automatic = ForwardingMode::Automatic;
inline constexpr ForwardingMode Manual = ForwardingMode::Manual;
}  // namespace forwarding

class DoseListPresenter : public QObject {
    Q_OBJECT
public:
    struct Hooks {
        // The refresh lock: while it holds, reloading and deleting all do nothing.
        std::function<bool()> refreshLocked;
        // "Add Task" of the task list, run after a record was selected.
        std::function<void()> addTask;
        // After each reload (the main window clears its poll flag).
        std::function<void()> filled;
        // After "Delete Dosislist": the link's poll goes on in any case.
        std::function<void()> pollOn;
        // The X-ray unit type, which tells how a record names its projection.
        std::function<int()> unitType;
    };

    // Column titles of lvDosis, the hidden ID first.
    static const QStringList& columnTitles();

    DoseListPresenter(const DoseWidgets& widgets, const DoseStore& store, QObject* parent = nullptr);

    Hooks& hooks() { return hooks_; }
    const DoseWidgets& widgets() const { return w_; }

    // lvDosis_Fill: reloads the pending records. Errors are logged ("MainForm_lvDosis_Fill").
    void fill();
    // "Delete Dosislist": asks, naming how many waiting records go, then removes the
    // waiting records (the history of used ones stays), reloads and switches the poll on
    // (also after a failure). Does nothing under the refresh lock.
    void deleteAll();
    // RefreshDosisList: reloads the list. Records are marked used by the forwarding that
    // applied them, by ID, once the destination stored their images; the mode no longer
    // marks anything.
    void refreshDosisList(station::ForwardingMode forwardingMode);
    // lvDosis_ItemClick: makes the record the current exposure and fills the fields.
    void itemClick(QTreeWidgetItem* item);
    // Selects row `row` (from 0) and runs itemClick, as the forwarding does; false when
    // there is no such row.
    bool selectRow(int row);
    int rowCount() const;
    // The ID of the selected row; 0 when none is selected.
    std::int64_t selectedId() const;
    // The ID of the record whose values are the current exposure; 0 when there is none.
    std::int64_t currentRecordId() const { return currentRecordId_; }
    // Forgets the current exposure: its fields empty, no row selected. Runs by itself
    // when its record leaves the waiting list; the window calls it when the patient or
    // study changes.
    void clearCurrentExposure();
    // PopupDeleteDosis: the record the popup was opened on becomes assigned and leaves
    // the list (the current exposure goes with it when it was that record).
    void popupDeleteDosis();
    // lvDosis_MouseUp with the right button at `pos` (viewport coordinates): opens
    // Popup_Dosis for the row under the pointer. The selection and the current exposure
    // stay as they are.
    void rightClick(const QPoint& pos);
    // The record the popup acts on; 0 when it was opened on no row.
    std::int64_t popupRecordId() const { return popupRecordId_; }
    // The popup menu Popup_Dosis with its one entry "Delete" (PopupDeleteDosis): the
    // window's own when it has one, else one made here.
    QMenu* popupMenu();

    const CurrentExposure& currentExposure() const { return current_; }

    // Shows every entry of the image list in normal black text and the selected one in
    // bold red: the image the exposure belongs to.
    void markSelectedImage();
    // Empties Text1, Text2 and Text3(0..5).
    void clearFields();

private:
    void reselectCurrent();

    DoseWidgets w_;
    const DoseStore& store_;
    Hooks hooks_;
    CurrentExposure current_;
    std::int64_t currentRecordId_ = 0;
    std::int64_t popupRecordId_ = 0;
    QMenu* popup_ = nullptr;
};

}  // namespace corva::dose
