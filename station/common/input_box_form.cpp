#include "common/input_box_form.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace corva::station {

InputBoxForm::InputBoxForm(QWidget* parent) : QDialog(parent) {
    setObjectName("InputBoxForm");
    setWindowTitle("Add new filter");
    auto* layout = new QVBoxLayout(this);
    label_ = new QLabel("max. 2 chars (i.e. CT, MR or CR)", this);
    label_->setObjectName("Label1");
    txtValue_ = new QLineEdit(this);
    txtValue_->setObjectName("txtValue");
    txtValue_->setMaxLength(2);
    layout->addWidget(label_);
    layout->addWidget(txtValue_);
    auto* buttons = new QHBoxLayout;
    ok_ = new QPushButton("OK", this);
    ok_->setObjectName("OKButton");
    ok_->setDefault(true);
    ok_->setAutoDefault(true);
    cancel_ = new QPushButton("Cancel", this);
    cancel_->setObjectName("CancelButton");
    cancel_->setAutoDefault(false);
    buttons->addWidget(ok_);
    buttons->addWidget(cancel_);
    layout->addLayout(buttons);
    // Hidden, not destroyed: the caller reads the answer after the window closed.
    connect(ok_, &QPushButton::clicked, this, [this] { done(QDialog::Accepted); });
    connect(cancel_, &QPushButton::clicked, this, &InputBoxForm::reject);
    connect(txtValue_, &QLineEdit::returnPressed, ok_, &QPushButton::click);
}

QString InputBoxForm::value() const {
    return txtValue_->text();
}

void InputBoxForm::reject() {
    txtValue_->clear();
    QDialog::reject();
}

void InputBoxForm::showEvent(QShowEvent* e) {
    txtValue_->clear();
    txtValue_->setFocus();
    QDialog::showEvent(e);
}

bool InputBoxForm::event(QEvent* e) {
    if (e->type() == QEvent::WindowActivate) {
        txtValue_->clear();
        txtValue_->setFocus();
    }
    return QDialog::event(e);
}

}  // namespace corva::station
