#include "app/error_log_form.h"

#include <QFile>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace corva::station {

ErrorLogForm::ErrorLogForm(const std::filesystem::path& logFile, QWidget* parent) : QDialog(parent) {
    setObjectName("ErrorLogForm");
    setWindowTitle("Error log");
    resize(760, 480);
    text_ = new QPlainTextEdit(this);
    text_->setObjectName("txtLog");
    text_->setReadOnly(true);
    text_->setLineWrapMode(QPlainTextEdit::NoWrap);
    // The log's lines end in CR LF.
    QFile file(QString::fromStdString(logFile.string()));
    if (file.open(QIODevice::ReadOnly)) {
        QString content = QString::fromUtf8(file.readAll());
        content.replace("\r\n", "\n");
        text_->setPlainText(content);
    }
    if (text_->document()->isEmpty()) text_->setPlainText("No errors logged.");
    text_->moveCursor(QTextCursor::End);
    ok_ = new QPushButton("OK", this);
    ok_->setObjectName("cmdOK");
    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(text_);
    layout->addLayout(buttons);
}

}  // namespace corva::station
