#include "dose/controls.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextCursor>
#include <QTextEdit>
#include <QWidget>

namespace corva::dose {

QString controlText(const QWidget* control) {
    if (auto* e = qobject_cast<const QLineEdit*>(control)) return e->text();
    if (auto* e = qobject_cast<const QPlainTextEdit*>(control)) return e->toPlainText();
    if (auto* e = qobject_cast<const QTextEdit*>(control)) return e->toPlainText();
    if (auto* e = qobject_cast<const QLabel*>(control)) return e->text();
    if (auto* e = qobject_cast<const QAbstractButton*>(control)) return e->text();
    if (auto* e = qobject_cast<const QComboBox*>(control)) return e->currentText();
    return {};
}

void setControlText(QWidget* control, const QString& text) {
    if (auto* e = qobject_cast<QLineEdit*>(control)) {
        e->setText(text);
        // A value longer than its field shows its beginning, where the operator reads it.
        e->setCursorPosition(0);
    } else if (auto* e = qobject_cast<QPlainTextEdit*>(control)) {
        e->setPlainText(text);
        e->moveCursor(QTextCursor::End);
    } else if (auto* e = qobject_cast<QTextEdit*>(control)) {
        e->setPlainText(text);
        e->moveCursor(QTextCursor::End);
    } else if (auto* e = qobject_cast<QLabel*>(control)) {
        e->setText(text);
    } else if (auto* e = qobject_cast<QAbstractButton*>(control)) {
        e->setText(text);
    } else if (auto* e = qobject_cast<QComboBox*>(control)) {
        e->setEditText(text);
    }
}

void appendControlText(QWidget* control, const QString& text) {
    if (text.isEmpty()) return;
    QTextDocument* document = nullptr;
    if (auto* e = qobject_cast<QPlainTextEdit*>(control))
        document = e->document();
    else if (auto* e = qobject_cast<QTextEdit*>(control))
        document = e->document();
    if (!document) {
        setControlText(control, controlText(control) + text);
        return;
    }
    QTextCursor end(document);
    end.movePosition(QTextCursor::End);
    end.insertText(text);
    // The caret follows the received text, as after a replacement.
    if (auto* e = qobject_cast<QPlainTextEdit*>(control))
        e->moveCursor(QTextCursor::End);
    else if (auto* e = qobject_cast<QTextEdit*>(control))
        e->moveCursor(QTextCursor::End);
}

}  // namespace corva::dose
