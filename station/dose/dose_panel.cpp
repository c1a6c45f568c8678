#include "dose/dose_panel.h"

#include <QGridLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>

#include "common/list_view.h"

namespace corva::dose {

DosePanel::DosePanel(QWidget* parent) : QGroupBox("Dose", parent) {
    setObjectName("fraDosis");
    auto* layout = new QGridLayout(this);
    lvDosis_ = new station::ListView("lvDosis", {"ID"}, this);
    layout->addWidget(lvDosis_, 0, 0, 1, 4);
    txtcInput_ = new QPlainTextEdit(this);
    txtcInput_->setObjectName("txtcInput");
    txtcInput_->hide();
    List1_ = new QListWidget(this);
    List1_->setObjectName("List1");
    List1_->hide();
    layout->addWidget(txtcInput_, 1, 0, 1, 2);
    layout->addWidget(List1_, 1, 2, 1, 2);
    Text1_ = new QLineEdit(this);
    Text1_->setObjectName("Text1");
    Text2_ = new QLineEdit(this);
    Text2_->setObjectName("Text2");
    txtID_ = new QLineEdit(this);
    txtID_->setObjectName("txtID");
    layout->addWidget(Text1_, 2, 0);
    layout->addWidget(Text2_, 2, 1);
    layout->addWidget(txtID_, 2, 2);
    for (int i = 0; i < 6; ++i) {
        Text3_[i] = new QLineEdit(this);
        Text3_[i]->setObjectName(QString("Text3_%1").arg(i));
        Text3_[i]->setReadOnly(true);
        layout->addWidget(Text3_[i], 3 + i / 3, i % 3);
    }
}

DoseView DosePanel::view() const {
    DoseView v;
    v.lvDosis = lvDosis_;
    v.text1 = Text1_;
    v.text2 = Text2_;
    for (std::size_t i = 0; i < Text3_.size(); ++i) v.text3[i] = Text3_[i];
    v.txtID = txtID_;
    v.txtcInput = txtcInput_;
    v.list1 = List1_;
    return v;
}

void DosePanel::clearExposureFields() {
    Text1_->clear();
    Text2_->clear();
    for (auto* t : Text3_) t->clear();
}

}  // namespace corva::dose
