#pragma once
// "Errors ...": the error log as it stands, read-only, newest entries at the end.
#include <QDialog>
#include <filesystem>

class QPlainTextEdit;
class QPushButton;

namespace corva::station {

class ErrorLogForm : public QDialog {
    Q_OBJECT
public:
    ErrorLogForm(const std::filesystem::path& logFile, QWidget* parent = nullptr);
    QPlainTextEdit* txtLog() const { return text_; }
    QPushButton* cmdOK() const { return ok_; }

private:
    QPlainTextEdit* text_;
    QPushButton* ok_;
};

}  // namespace corva::station
