#pragma once
// Finding the main window's controls by object name and reading and writing their
// text whatever kind of text control the window uses.
#include <QString>

class QWidget;

namespace corva::dose {

// The control named `name` below `parent`; for a control array element `index` >= 0
// the names "name_index", "name(index)" and "nameindex" are tried in turn.
// nullptr when there is none.
QWidget* findControl(const QWidget* parent, const QString& name, int index = -1);

// Text of a line edit, text edit, plain text edit, label, button or combo box;
// empty for anything else (and for nullptr).
QString controlText(const QWidget* control);
void setControlText(QWidget* control, const QString& text);

}  // namespace corva::dose
