#include "dose/dose_panel.h"

#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QStyle>
#include <QTreeWidget>
#include <algorithm>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>

#include "common/list_view.h"

namespace corva::dose {

DosePanel::DosePanel(QWidget* parent) : QGroupBox("Dose", parent) {
    setObjectName("fraDosis");
    auto* layout = new QGridLayout(this);
    lvDosis_ = new station::ListView("lvDosis", {"ID"}, this);
    // At least five records in sight: the records of a whole examination.
    lvDosis_->setMinimumHeight(minimumListHeight(*lvDosis_, 5));
    layout->addWidget(lvDosis_, 0, 0, 1, 6);
    layout->setRowStretch(0, 1);
    txtcInput_ = new QPlainTextEdit(this);
    txtcInput_->setObjectName("txtcInput");
    txtcInput_->hide();
    List1_ = new QListWidget(this);
    List1_->setObjectName("List1");
    List1_->hide();
    layout->addWidget(txtcInput_, 1, 0, 1, 4);
    layout->addWidget(List1_, 1, 4, 1, 2);

    // The fields of the chosen exposure, three to a row, each with its short label.
    const auto field = [&](const char* objectName, const QString& label, int index, bool readOnly) {
        auto* edit = new QLineEdit(this);
        edit->setObjectName(objectName);
        edit->setReadOnly(readOnly);
        edit->setMinimumWidth(40);
        auto* caption = new QLabel(label, this);
        caption->setObjectName(QStringLiteral("lbl") + objectName);
        caption->setBuddy(edit);
        const int row = 2 + index / 3;
        const int column = (index % 3) * 2;
        layout->addWidget(caption, row, column);
        layout->addWidget(edit, row, column + 1);
        return edit;
    };
    Text1_ = field("Text1", "Date", 0, false);
    Text2_ = field("Text2", "Time", 1, false);
    txtID_ = field("txtID", "ID", 2, false);
    static const char* const names[6] = {"Text3_0", "Text3_1", "Text3_2", "Text3_3", "Text3_4", "Text3_5"};
    static const char* const labels[6] = {"kV", "mAs", "Thickness", "Force", "Dose", "Projection"};
    for (int i = 0; i < 6; ++i) Text3_[i] = field(names[i], labels[i], 3 + i, true);
    for (int column : {1, 3, 5}) layout->setColumnStretch(column, 1);
}

int DosePanel::minimumListHeight(const QTreeWidget& list, int rows) {
    const int rowHeight = std::max(list.fontMetrics().height() + 4, 18);
    const int headerHeight = list.header()->sizeHint().height();
    return headerHeight + rows * rowHeight + 2 * list.frameWidth() +
           list.style()->pixelMetric(QStyle::PM_ScrollBarExtent) + 4;
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
