#pragma once
// An operator for tests: answers every question from a queue and records what was
// shown, so a test can drive a window and read back the messages.
//
//   corva::station::ScriptedOperator script;
//   corva::station::OperatorSeamGuard guard(script);
//   script.answer(MsgResult::No);                       // the next message box
//   script.answerInput(std::nullopt);                   // the next input box: Cancel
//   script.answerWindow([](QDialog& d) { return QDialog::Accepted; });
//   ... drive the window ...
//   EXPECT_EQ(script.shown().at(0).text, "Cancel current changes?");
//
// A question with no queued answer, or whose next answer is of another kind, gets the
// "nobody there" answer (Cancel / No / the only button / nullopt / Rejected) and is
// listed in unexpected(), so a test can fail on it.
#include <QDialog>
#include <deque>
#include <functional>
#include <optional>
#include <variant>
#include <vector>

#include "common/operator_seam.h"

namespace corva::station {

class ScriptedOperator : public OperatorSeam {
public:
    enum class Kind { Message, Input, OpenFile, OpenFiles, SaveFile, Folder, Colour, Window };

    // One thing shown to the operator.
    struct Shown {
        Kind kind = Kind::Message;
        QString text;   // message text, input prompt; for a window its objectName
        QString title;  // as passed (empty = the program's title); for a window its windowTitle
        MsgIcon icon = MsgIcon::None;
        MsgButtons buttons = MsgButtons::OK;
        QString defaultAnswer;      // input box default
        FileDialogOptions file;     // file dialogs
        QColor colour;              // colour dialog's initial colour
        bool answered = true;       // false when no fitting answer was queued
    };

    // A window handler receives the window while it would be modal and returns the result.
    using WindowHandler = std::function<int(QDialog&)>;

    void answer(MsgResult button) { queue_.emplace_back(button); }
    // Answers the next message with `button` after `meanwhile` ran while it was open:
    // the world changing under a question (a record arriving, a peer going away).
    void answerAfter(MsgResult button, std::function<void()> meanwhile) {
        queue_.emplace_back(MessageAnswer{button, std::move(meanwhile)});
    }
    void answerInput(std::optional<QString> text) { queue_.emplace_back(InputAnswer{std::move(text)}); }
    void answerOpenFile(std::optional<QString> file) { queue_.emplace_back(OpenFileAnswer{std::move(file)}); }
    void answerOpenFiles(QStringList files) { queue_.emplace_back(OpenFilesAnswer{std::move(files)}); }
    void answerSaveFile(std::optional<QString> file) { queue_.emplace_back(SaveFileAnswer{std::move(file)}); }
    void answerFolder(std::optional<QString> folder) { queue_.emplace_back(FolderAnswer{std::move(folder)}); }
    void answerColour(std::optional<QColor> colour) { queue_.emplace_back(ColourAnswer{std::move(colour)}); }
    void answerWindow(WindowHandler handler) { queue_.emplace_back(std::move(handler)); }

    // A window handler that really runs the window modally (its timers fire), calls
    // `whileOpen` once it is shown, and returns its result. `whileOpen` may close it;
    // otherwise the window is rejected after `timeoutMs`.
    static WindowHandler runModal(std::function<void(QDialog&)> whileOpen = {}, int timeoutMs = 30000);

    const std::vector<Shown>& shown() const { return shown_; }
    std::vector<Shown> shownOf(Kind kind) const;
    // Message texts in the order shown.
    QStringList messages() const;
    // What was shown without a fitting queued answer.
    std::vector<Shown> unexpected() const;
    // Queued answers not used yet.
    std::size_t pending() const { return queue_.size(); }
    void clear() {
        queue_.clear();
        shown_.clear();
    }

    MsgResult message(const QString& text, const QString& title, MsgIcon icon, MsgButtons buttons,
                      MsgDefault defaultButton) override;
    std::optional<QString> inputBox(const QString& prompt, const QString& title, const QString& defaultAnswer) override;
    std::optional<QString> openFile(const FileDialogOptions& options) override;
    QStringList openFiles(const FileDialogOptions& options) override;
    std::optional<QString> saveFile(const FileDialogOptions& options) override;
    std::optional<QString> folder(const QString& title, const QString& initialFolder) override;
    std::optional<QColor> colour(const QColor& initial, const QString& title) override;
    int exec(QDialog& window) override;

private:
    struct MessageAnswer {
        MsgResult button;
        std::function<void()> meanwhile;
    };
    struct InputAnswer { std::optional<QString> text; };
    struct OpenFileAnswer { std::optional<QString> file; };
    struct OpenFilesAnswer { QStringList files; };
    struct SaveFileAnswer { std::optional<QString> file; };
    struct FolderAnswer { std::optional<QString> folder; };
    struct ColourAnswer { std::optional<QColor> colour; };
    using Answer = std::variant<MsgResult, MessageAnswer, InputAnswer, OpenFileAnswer, OpenFilesAnswer, SaveFileAnswer, FolderAnswer,
                                ColourAnswer, WindowHandler>;

    template <typename T>
    std::optional<T> take();

    std::deque<Answer> queue_;
    std::vector<Shown> shown_;
};

}  // namespace corva::station
