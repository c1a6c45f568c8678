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
    };

    // Column titles of lvDosis, the hidden ID first.
    static const QStringList& columnTitles();

    DoseListPresenter(const DoseWidgets& widgets, const DoseStore& store, QObject* parent = nullptr);

    Hooks& hooks() { return hooks_; }
    const DoseWidgets& widgets() const { return w_; }

    // lvDosis_Fill: reloads the pending records. Errors are logged ("MainForm_lvDosis_Fill").
    void fill();
    // "Delete Dosislist": removes every record, reloads, switches the poll on (also after
    // a failure). Does nothing under the refresh lock.
    void deleteAll();
    // RefreshDosisList: marks the used records as assigned by forwarding mode and reloads.
    void refreshDosisList(station::ForwardingMode forwardingMode);
    // lvDosis_ItemClick: makes the record the current exposure and fills the fields.
    void itemClick(QTreeWidgetItem* item);
    // Selects row `row` (from 0) and runs itemClick, as the forwarding does; false when
    // there is no such row.
    bool selectRow(int row);
    int rowCount() const;
    // The ID of the selected row; 0 when none is selected.
    std::int64_t selectedId() const;
    // PopupDeleteDosis: the selected record becomes assigned and leaves the list.
    void popupDeleteDosis();
    // lvDosis_MouseUp with the right button at `pos` (viewport coordinates): selects the
    // row under the pointer and opens Popup_Dosis.
    void rightClick(const QPoint& pos);
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
    void markRows(station::ForwardingMode forwardingMode);

    DoseWidgets w_;
    const DoseStore& store_;
    Hooks hooks_;
    CurrentExposure current_;
    QMenu* popup_ = nullptr;
};

}  // namespace corva::dose
