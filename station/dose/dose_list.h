#pragma once
// The dose list of the main window (lvDosis) and the selected-record fields: filling,
// selecting a record (the current exposure), marking used records and deleting.
// Works on the widgets it is given; holds no widgets of its own.
#include <QObject>
#include <QString>
#include <array>
#include <functional>

#include "dose/dose_store.h"
#include "dose/exposure.h"

class QMenu;
class QPoint;
class QTreeWidget;
class QTreeWidgetItem;
class QWidget;

namespace corva::dose {

// The controls the dose list works on; any of them may be missing (nullptr).
struct DoseWidgets {
    QTreeWidget* lvDosis = nullptr;
    QWidget* text1 = nullptr;                 // Datum
    QWidget* text2 = nullptr;                 // Zeit
    std::array<QWidget*, 6> text3{};          // KVP, ma, Dicke, Druck, mGy, Sonstiges
    QWidget* txtID = nullptr;
    QTreeWidget* lvImages = nullptr;          // the image list whose selected entry is marked
    QMenu* popupDosis = nullptr;              // Popup_Dosis when the window has one

    // Looks the controls up by object name below the main window.
    static DoseWidgets find(const QWidget* mainWindow);
};

// Forwarding modes, shared with the forwarding commands and the job window.
namespace forwarding {
inline constexpr int None = 0;
inline constexpr int Automatic = 1;  // every record of the dose list was used
inline constexpr int Manual = 2;     // only the selected record was used
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
    void refreshDosisList(int forwardingMode);
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
    void markRows(int forwardingMode);

    DoseWidgets w_;
    const DoseStore& store_;
    Hooks hooks_;
    CurrentExposure current_;
    QMenu* popup_ = nullptr;
};

}  // namespace corva::dose
