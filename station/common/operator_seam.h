#pragma once
// Everything that waits on the operator goes through one seam: message boxes, the
// plain input box, the file, folder and colour dialogs, and running a window modally.
// The program installs QtOperator (real dialogs); tests install ScriptedOperator
// (station/main/scripted_operator.h), which answers from a queue and records what
// was shown.
//
//   using namespace corva::station;
//   if (op().message("Cancel current changes?", {}, MsgIcon::Question, MsgButtons::YesNo) == MsgResult::No)
//       return;
//   std::optional<QString> name = op().inputBox("Please enter new name:", {}, {});
//   if (!name) { /* Cancel */ }
#include <QColor>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>

class QDialog;
class QWidget;

namespace corva::station {

// The program's title: the caption of every message box shown without a title.
inline constexpr const char* ProgramTitle = "Corvalight";

enum class MsgIcon { None, Critical, Question, Exclamation, Information };
enum class MsgButtons { OK, OKCancel, YesNo, YesNoCancel, RetryCancel, AbortRetryIgnore };
// The button the operator pressed (closing the box counts as Cancel, or as the only
// button of an OK box).
enum class MsgResult { OK, Cancel, Yes, No, Retry, Abort, Ignore };

// Which button is the default one (Enter): first, second or third, counting from the left.
enum class MsgDefault { First, Second, Third };

// A file dialog's settings. `filter` uses the pipe form of the common dialog:
// "DICOM Image (*.dcm)|*.dcm|All files (*.*)|*.*".
struct FileDialogOptions {
    QString title;
    QString folder;    // initial folder; empty = current
    QString fileName;  // initial file name
    QString filter;
    int filterIndex = 1;  // 1-based, as the common dialog counts
};

class OperatorSeam {
public:
    virtual ~OperatorSeam() = default;

    // A message box. An empty title shows ProgramTitle. Returns the button pressed.
    virtual MsgResult message(const QString& text, const QString& title = {}, MsgIcon icon = MsgIcon::None,
                              MsgButtons buttons = MsgButtons::OK, MsgDefault defaultButton = MsgDefault::First) = 0;

    // The plain input box: prompt, title (empty = ProgramTitle), default answer.
    // nullopt on Cancel; an empty QString when OK was pressed on an empty box.
    virtual std::optional<QString> inputBox(const QString& prompt, const QString& title = {},
                                            const QString& defaultAnswer = {}) = 0;

    // Open-file dialog for one file; nullopt on Cancel.
    virtual std::optional<QString> openFile(const FileDialogOptions& options) = 0;
    // Open-file dialog for several files; empty on Cancel. Full paths, in the order chosen.
    virtual QStringList openFiles(const FileDialogOptions& options) = 0;
    // Save-file dialog; nullopt on Cancel.
    virtual std::optional<QString> saveFile(const FileDialogOptions& options) = 0;
    // Folder browser; nullopt on Cancel.
    virtual std::optional<QString> folder(const QString& title, const QString& initialFolder = {}) = 0;
    // Colour dialog; nullopt on Cancel (the caller keeps its previous colour).
    virtual std::optional<QColor> colour(const QColor& initial, const QString& title = {}) = 0;

    // Runs a window modally and returns its result (QDialog::Accepted / Rejected or the
    // value passed to done()). Timers of other windows keep running meanwhile.
    virtual int exec(QDialog& window) = 0;
};

// The seam in use. Without an installed one, a QtOperator is created on first use.
OperatorSeam& op();

// Installs a seam for the life of the returned guard; the previous one comes back after.
// Installing is not thread-safe: do it from the user-interface thread.
class OperatorSeamGuard {
public:
    explicit OperatorSeamGuard(OperatorSeam& seam);
    ~OperatorSeamGuard();
    OperatorSeamGuard(const OperatorSeamGuard&) = delete;
    OperatorSeamGuard& operator=(const OperatorSeamGuard&) = delete;

private:
    OperatorSeam* previous_;
};

// The production seam: real Qt dialogs, parented to the active window.
class QtOperator : public OperatorSeam {
public:
    MsgResult message(const QString& text, const QString& title, MsgIcon icon, MsgButtons buttons,
                      MsgDefault defaultButton) override;
    std::optional<QString> inputBox(const QString& prompt, const QString& title, const QString& defaultAnswer) override;
    std::optional<QString> openFile(const FileDialogOptions& options) override;
    QStringList openFiles(const FileDialogOptions& options) override;
    std::optional<QString> saveFile(const FileDialogOptions& options) override;
    std::optional<QString> folder(const QString& title, const QString& initialFolder) override;
    std::optional<QColor> colour(const QColor& initial, const QString& title) override;
    int exec(QDialog& window) override;
};

// Converts the pipe filter form ("Text|*.txt|All|*.*") to Qt's (";;" separated
// "Text (*.txt)"); exposed for tests.
QString qtFileFilter(const QString& pipeFilter);

// "Error #" & number & ": " & description with the critical icon: the shown form of an
// unexpected error.
void showError(int number, const QString& description, const QString& prefix = QStringLiteral("Error #"));

}  // namespace corva::station
