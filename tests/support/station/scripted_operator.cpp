#include "station/scripted_operator.h"

#include <QEventLoop>
#include <QPointer>
#include <QTimer>

namespace corva::station {

template <typename T>
std::optional<T> ScriptedOperator::take() {
    if (queue_.empty() || !std::holds_alternative<T>(queue_.front())) return std::nullopt;
    T value = std::get<T>(std::move(queue_.front()));
    queue_.pop_front();
    return value;
}

namespace {

MsgResult nobodyThere(MsgButtons buttons) {
    switch (buttons) {
        case MsgButtons::OK: return MsgResult::OK;
        case MsgButtons::YesNo: return MsgResult::No;
        case MsgButtons::AbortRetryIgnore: return MsgResult::Abort;
        default: return MsgResult::Cancel;
    }
}

}  // namespace

MsgResult ScriptedOperator::message(const QString& text, const QString& title, MsgIcon icon, MsgButtons buttons,
                                    MsgDefault) {
    Shown s;
    s.kind = Kind::Message;
    s.text = text;
    s.title = title;
    s.icon = icon;
    s.buttons = buttons;
    std::optional<MsgResult> answer = take<MsgResult>();
    if (!answer) {
        if (std::optional<MessageAnswer> withAction = take<MessageAnswer>()) {
            if (withAction->meanwhile) withAction->meanwhile();
            answer = withAction->button;
        }
    }
    s.answered = answer.has_value();
    shown_.push_back(s);
    return answer.value_or(nobodyThere(buttons));
}

std::optional<QString> ScriptedOperator::inputBox(const QString& prompt, const QString& title,
                                                  const QString& defaultAnswer) {
    Shown s;
    s.kind = Kind::Input;
    s.text = prompt;
    s.title = title;
    s.defaultAnswer = defaultAnswer;
    auto answer = take<InputAnswer>();
    s.answered = answer.has_value();
    shown_.push_back(s);
    if (!answer) return std::nullopt;
    if (answer->text && answer->text->isNull()) return QString("");
    return answer->text;
}

std::optional<QString> ScriptedOperator::openFile(const FileDialogOptions& options) {
    Shown s;
    s.kind = Kind::OpenFile;
    s.title = options.title;
    s.file = options;
    auto answer = take<OpenFileAnswer>();
    s.answered = answer.has_value();
    shown_.push_back(s);
    return answer ? answer->file : std::nullopt;
}

QStringList ScriptedOperator::openFiles(const FileDialogOptions& options) {
    Shown s;
    s.kind = Kind::OpenFiles;
    s.title = options.title;
    s.file = options;
    auto answer = take<OpenFilesAnswer>();
    s.answered = answer.has_value();
    shown_.push_back(s);
    return answer ? answer->files : QStringList();
}

std::optional<QString> ScriptedOperator::saveFile(const FileDialogOptions& options) {
    Shown s;
    s.kind = Kind::SaveFile;
    s.title = options.title;
    s.file = options;
    auto answer = take<SaveFileAnswer>();
    s.answered = answer.has_value();
    shown_.push_back(s);
    return answer ? answer->file : std::nullopt;
}

std::optional<QString> ScriptedOperator::folder(const QString& title, const QString& initialFolder) {
    Shown s;
    s.kind = Kind::Folder;
    s.title = title;
    s.file.folder = initialFolder;
    auto answer = take<FolderAnswer>();
    s.answered = answer.has_value();
    shown_.push_back(s);
    return answer ? answer->folder : std::nullopt;
}

std::optional<QColor> ScriptedOperator::colour(const QColor& initial, const QString& title) {
    Shown s;
    s.kind = Kind::Colour;
    s.title = title;
    s.colour = initial;
    auto answer = take<ColourAnswer>();
    s.answered = answer.has_value();
    shown_.push_back(s);
    return answer ? answer->colour : std::nullopt;
}

int ScriptedOperator::exec(QDialog& window) {
    Shown s;
    s.kind = Kind::Window;
    s.text = window.objectName();
    s.title = window.windowTitle();
    auto handler = take<WindowHandler>();
    s.answered = handler.has_value();
    shown_.push_back(s);
    if (!handler || !*handler) return QDialog::Rejected;
    return (*handler)(window);
}

ScriptedOperator::WindowHandler ScriptedOperator::runModal(std::function<void(QDialog&)> whileOpen, int timeoutMs) {
    return [whileOpen = std::move(whileOpen), timeoutMs](QDialog& window) {
        QPointer<QDialog> guard(&window);
        QTimer::singleShot(0, &window, [guard, whileOpen] {
            if (guard && whileOpen) whileOpen(*guard);
        });
        QTimer::singleShot(timeoutMs, &window, [guard] {
            if (guard && guard->isVisible()) guard->reject();
        });
        return window.exec();
    };
}

std::vector<ScriptedOperator::Shown> ScriptedOperator::shownOf(Kind kind) const {
    std::vector<Shown> out;
    for (const auto& s : shown_)
        if (s.kind == kind) out.push_back(s);
    return out;
}

QStringList ScriptedOperator::messages() const {
    QStringList out;
    for (const auto& s : shown_)
        if (s.kind == Kind::Message) out << s.text;
    return out;
}

std::vector<ScriptedOperator::Shown> ScriptedOperator::unexpected() const {
    std::vector<Shown> out;
    for (const auto& s : shown_)
        if (!s.answered) out.push_back(s);
    return out;
}

}  // namespace corva::station
