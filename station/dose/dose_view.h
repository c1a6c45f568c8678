#pragma once
// DoseView: the controls of the main window that the dose capture drives, handed over
// by the window that owns them. Any of them may be missing (nullptr): the capture then
// leaves that part out.
#include <array>

class QAbstractButton;
class QListWidget;
class QMenu;
class QTreeWidget;
class QWidget;

namespace corva::dose {

inline constexpr int DoseProjectionButtons = 8;

struct DoseView {
    QWidget* window = nullptr;                // activation; parent of the dose history
    QTreeWidget* lvDosis = nullptr;
    QWidget* text1 = nullptr;                 // Datum
    QWidget* text2 = nullptr;                 // Zeit
    std::array<QWidget*, 6> text3{};          // KVP, ma, Dicke, Druck, mGy, Sonstiges (5: projection)
    QWidget* txtID = nullptr;
    QWidget* txtcInput = nullptr;             // debug mode: the raw record
    QListWidget* list1 = nullptr;             // debug mode: the record's fields
    QTreeWidget* lvImages = nullptr;          // the image list whose selected entry is marked
    std::array<QAbstractButton*, DoseProjectionButtons> cmdProjection{};
    QWidget* cmdAll = nullptr;
    QWidget* cmdSelected = nullptr;
    QMenu* popupDosis = nullptr;              // Popup_Dosis when the window has one
};

// The dose list's part of the view has been called this.
using DoseWidgets = DoseView;

}  // namespace corva::dose
