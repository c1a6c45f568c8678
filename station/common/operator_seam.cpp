#include "common/operator_seam.h"

#include <QApplication>
#include <QColorDialog>
#include <QDialog>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>

namespace corva::station {

namespace {

OperatorSeam* installed = nullptr;

QString titleOr(const QString& title) {
    return title.isEmpty() ? QString::fromLatin1(ProgramTitle) : title;
}

QWidget* parentWindow() {
    return QApplication::activeWindow();
}

QMessageBox::Icon qtIcon(MsgIcon icon) {
    switch (icon) {
        case MsgIcon::Critical: return QMessageBox::Critical;
        case MsgIcon::Question: return QMessageBox::Question;
        case MsgIcon::Exclamation: return QMessageBox::Warning;
        case MsgIcon::Information: return QMessageBox::Information;
        case MsgIcon::None: break;
    }
    return QMessageBox::NoIcon;
}

struct ButtonSet {
    std::vector<std::pair<QMessageBox::StandardButton, MsgResult>> buttons;
    MsgResult onClose;  // the answer when the box is closed without a button
};

ButtonSet buttonSet(MsgButtons buttons) {
    using B = QMessageBox;
    switch (buttons) {
        case MsgButtons::OK: return {{{B::Ok, MsgResult::OK}}, MsgResult::OK};
        case MsgButtons::OKCancel: return {{{B::Ok, MsgResult::OK}, {B::Cancel, MsgResult::Cancel}}, MsgResult::Cancel};
        case MsgButtons::YesNo: return {{{B::Yes, MsgResult::Yes}, {B::No, MsgResult::No}}, MsgResult::No};
        case MsgButtons::YesNoCancel:
            return {{{B::Yes, MsgResult::Yes}, {B::No, MsgResult::No}, {B::Cancel, MsgResult::Cancel}}, MsgResult::Cancel};
        case MsgButtons::RetryCancel:
            return {{{B::Retry, MsgResult::Retry}, {B::Cancel, MsgResult::Cancel}}, MsgResult::Cancel};
        case MsgButtons::AbortRetryIgnore:
            return {{{B::Abort, MsgResult::Abort}, {B::Retry, MsgResult::Retry}, {B::Ignore, MsgResult::Ignore}},
                    MsgResult::Abort};
    }
    return {{{B::Ok, MsgResult::OK}}, MsgResult::OK};
}

}  // namespace

OperatorSeam& op() {
    if (!installed) {
        static QtOperator production;
        installed = &production;
    }
    return *installed;
}

OperatorSeamGuard::OperatorSeamGuard(OperatorSeam& seam) : previous_(installed) {
    installed = &seam;
}

OperatorSeamGuard::~OperatorSeamGuard() {
    installed = previous_;
}

MsgResult QtOperator::message(const QString& text, const QString& title, MsgIcon icon, MsgButtons buttons,
                              MsgDefault defaultButton) {
    QMessageBox box(qtIcon(icon), titleOr(title), text, QMessageBox::NoButton, parentWindow());
    const ButtonSet set = buttonSet(buttons);
    QMessageBox::StandardButtons all;
    for (const auto& [b, r] : set.buttons) all |= b;
    box.setStandardButtons(all);
    const auto index = static_cast<std::size_t>(defaultButton);
    if (index < set.buttons.size()) box.setDefaultButton(set.buttons[index].first);
    box.exec();
    const auto pressed = box.standardButton(box.clickedButton());
    for (const auto& [b, r] : set.buttons)
        if (b == pressed) return r;
    return set.onClose;
}

std::optional<QString> QtOperator::inputBox(const QString& prompt, const QString& title, const QString& defaultAnswer) {
    bool ok = false;
    const QString text =
        QInputDialog::getText(parentWindow(), titleOr(title), prompt, QLineEdit::Normal, defaultAnswer, &ok);
    if (!ok) return std::nullopt;
    return text.isNull() ? QString("") : text;
}

QString qtFileFilter(const QString& pipeFilter) {
    const QStringList parts = pipeFilter.split('|');
    QStringList out;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString name = parts[i];
        const QString patterns = QString(parts[i + 1]).replace(';', ' ');
        if (!name.contains('(')) name += " (" + patterns + ")";
        else if (!name.contains(patterns)) name = name.left(name.indexOf('(')).trimmed() + " (" + patterns + ")";
        out << name;
    }
    return out.join(";;");
}

namespace {

QString selectedFilter(const FileDialogOptions& o) {
    const QStringList filters = qtFileFilter(o.filter).split(";;");
    const int i = o.filterIndex - 1;
    return (i >= 0 && i < filters.size()) ? filters[i] : QString();
}

QString startPath(const FileDialogOptions& o) {
    if (o.fileName.isEmpty()) return o.folder;
    if (o.folder.isEmpty()) return o.fileName;
    return o.folder + '/' + o.fileName;
}

}  // namespace

std::optional<QString> QtOperator::openFile(const FileDialogOptions& o) {
    QString filter = selectedFilter(o);
    const QString file =
        QFileDialog::getOpenFileName(parentWindow(), o.title, startPath(o), qtFileFilter(o.filter), &filter);
    if (file.isEmpty()) return std::nullopt;
    return file;
}

QStringList QtOperator::openFiles(const FileDialogOptions& o) {
    QString filter = selectedFilter(o);
    return QFileDialog::getOpenFileNames(parentWindow(), o.title, startPath(o), qtFileFilter(o.filter), &filter);
}

std::optional<QString> QtOperator::saveFile(const FileDialogOptions& o) {
    QString filter = selectedFilter(o);
    const QString file =
        QFileDialog::getSaveFileName(parentWindow(), o.title, startPath(o), qtFileFilter(o.filter), &filter);
    if (file.isEmpty()) return std::nullopt;
    return file;
}

std::optional<QString> QtOperator::folder(const QString& title, const QString& initialFolder) {
    const QString dir = QFileDialog::getExistingDirectory(parentWindow(), title, initialFolder);
    if (dir.isEmpty()) return std::nullopt;
    return dir;
}

std::optional<QColor> QtOperator::colour(const QColor& initial, const QString& title) {
    const QColor c = QColorDialog::getColor(initial, parentWindow(), title);
    if (!c.isValid()) return std::nullopt;
    return c;
}

int QtOperator::exec(QDialog& window) {
    return window.exec();
}

void showError(int number, const QString& description, const QString& prefix) {
    op().message(prefix + QString::number(number) + ": " + description, {}, MsgIcon::Critical, MsgButtons::OK);
}

}  // namespace corva::station
