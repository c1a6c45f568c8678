#pragma once
// Reading and writing the text of a control whatever kind of text control it is.
#include <QString>

class QWidget;

namespace corva::dose {

// Text of a line edit, text edit, plain text edit, label, button or combo box;
// empty for anything else (and for nullptr).
QString controlText(const QWidget* control);
void setControlText(QWidget* control, const QString& text);
// Adds `text` at the end of the control's text; a text box only lays out what was added.
void appendControlText(QWidget* control, const QString& text);

}  // namespace corva::dose
