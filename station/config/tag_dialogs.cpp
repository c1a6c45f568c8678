#include "config/tag_dialogs.h"

#include <QCheckBox>
#include <QEvent>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QVBoxLayout>

#include "common/config_state.h"
#include "common/list_view.h"
#include "common/operator_seam.h"
#include "common/station_context.h"
#include "config/filters.h"
#include "config/report.h"

namespace corva::config {

using station::ListView;
using station::MsgButtons;
using station::MsgIcon;
using station::MsgResult;
using station::op;

namespace {

QPushButton* button(QWidget* parent, const char* name, const char* caption) {
    auto* b = new QPushButton(caption, parent);
    b->setObjectName(name);
    return b;
}

db::Database& userDb(station::OpenedDb& opened) { return opened.db(); }

}  // namespace

// ---- AddTagForm ------------------------------------------------------------------

AddTagForm::AddTagForm(const QString& filter, QWidget* parent) : QDialog(parent), filter_(filter) {
    setObjectName("AddTagForm");
    setWindowTitle("Add DicomTag ...");
    auto* layout = new QVBoxLayout(this);
    // Thousands of attributes: a search box, and room to read the descriptions.
    txtSearch_ = new QLineEdit(this);
    txtSearch_->setObjectName("txtSearch");
    txtSearch_->setPlaceholderText("Search tag or description");
    txtSearch_->setClearButtonEnabled(true);
    layout->addWidget(txtSearch_);
    lvDictionary_ = new ListView("lvDictionary", {"Tag", "Beschreibung"}, this);
    lvDictionary_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    layout->addWidget(lvDictionary_);
    resize(620, 560);
    connect(txtSearch_, &QLineEdit::textChanged, this, &AddTagForm::search);
    auto* buttons = new QHBoxLayout;
    cmdAdd_ = button(this, "cmdAdd", "Apply");
    auto* cancel = button(this, "cmdCancel", "Cancel");
    buttons->addWidget(cmdAdd_);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);
    connect(cmdAdd_, &QPushButton::clicked, this, &AddTagForm::cmdAdd_Click);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    Form_Load();
}

void AddTagForm::Form_Load() {
    guarded("AddTagForm Form_Load", shownAs("Error #", ": ", MsgIcon::None), [&] {
        std::vector<DictionaryEntry> rows;
        {
            station::OpenedDb db(station::stationContext().userDb);
            rows = tagsOfferedFor(userDb(db), filter_);
        }
        lvDictionary_->clear();
        lvDictionary_->setSorted(false);
        for (const auto& e : rows) lvDictionary_->addItem(e.tag, QVariant::fromValue<qlonglong>(e.index), {e.description});
        // A click on a column header sorts by it; a second click reverses the order.
        lvDictionary_->setSorted(true);
    });
}

void AddTagForm::search(const QString& text) {
    const QString wanted = text.trimmed();
    QString tagForm = wanted;
    tagForm.remove(QLatin1Char(',')).remove(QLatin1Char('(')).remove(QLatin1Char(')')).remove(QLatin1Char(' '));
    for (int i = 0; i < lvDictionary_->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = lvDictionary_->topLevelItem(i);
        QString tag = item->text(0);
        tag.remove(QLatin1Char(','));
        const bool shown = wanted.isEmpty() || item->text(1).contains(wanted, Qt::CaseInsensitive) ||
                           (!tagForm.isEmpty() && tag.contains(tagForm, Qt::CaseInsensitive));
        item->setHidden(!shown);
        if (!shown) item->setSelected(false);
    }
}

void AddTagForm::cmdAdd_Click() {
    station::configState().filterChanged = true;
    std::vector<QString> tags;
    for (auto* item : lvDictionary_->selectedItems()) tags.push_back(item->text(0));
    // A single attribute that fails is skipped; a filter that cannot be written at all
    // is said, not only logged.
    guarded("AddTagForm cmdAdd_Click", {}, [&] {
        station::OpenedDb db(station::stationContext().userDb);
        addTagsToFilter(userDb(db), filter_, tags);
    });
    accept();
}

// ---- DatabaseForm ----------------------------------------------------------------

DatabaseForm::DatabaseForm(QWidget* parent) : QDialog(parent) {
    setObjectName("DatabaseForm");
    setWindowTitle("Dicom Dictionary");
    auto* layout = new QVBoxLayout(this);
    lvDatabase_ = new ListView("lvDatabase", {"Visible", "DICOM Tag", "VR", "DICOM Description"}, this);
    layout->addWidget(lvDatabase_);
    auto* buttons = new QHBoxLayout;
    cmdAddNew_ = button(this, "cmdAddNew", "Add New");
    cmdAllVisible_ = button(this, "cmdAllVisible", "Set all visible");
    cmdApply_ = button(this, "cmdApply", "Apply");
    cmdCancel_ = button(this, "cmdCancel", "Cancel");
    for (auto* b : {cmdAddNew_, cmdAllVisible_, cmdApply_, cmdCancel_}) buttons->addWidget(b);
    layout->addLayout(buttons);
    popup_ = new QMenu(this);
    popup_->setObjectName("PopupDatabase");
    QAction* del = popup_->addAction("Delete");
    del->setObjectName("PopDelete");
    connect(del, &QAction::triggered, this, &DatabaseForm::PopDelete_Click);
    connect(cmdAddNew_, &QPushButton::clicked, this, &DatabaseForm::cmdAddNew_Click);
    connect(cmdAllVisible_, &QPushButton::clicked, this, &DatabaseForm::cmdAllVisible_Click);
    connect(cmdApply_, &QPushButton::clicked, this, &DatabaseForm::cmdApply_Click);
    connect(cmdCancel_, &QPushButton::clicked, this, &QDialog::reject);
    connect(lvDatabase_, &ListView::mouseUp, this, &DatabaseForm::lvDatabase_MouseUp);
    UpdateDictionary();
}

void DatabaseForm::UpdateDictionary() {
    guarded("DatabaseForm UpdateDictionary", shownAs("Fehler #", ": ", MsgIcon::Critical), [&] {
        std::vector<DictionaryEntry> rows;
        {
            station::OpenedDb db(station::stationContext().userDb);
            rows = dictionary(userDb(db));
        }
        lvDatabase_->clear();
        for (const auto& e : rows) {
            QTreeWidgetItem* item = lvDatabase_->addItem(e.visible ? "1" : "0", QVariant::fromValue<qlonglong>(e.index),
                                                         {e.tag, e.type, e.description});
            item->setCheckState(0, e.visible ? Qt::Checked : Qt::Unchecked);
        }
    });
}

void DatabaseForm::cmdAddNew_Click() {
    AddTagToDB dialog(this);
    op().exec(dialog);
    if (dialog.added()) UpdateDictionary();
}

void DatabaseForm::cmdAllVisible_Click() {
    for (int i = 1; i <= lvDatabase_->count(); ++i) lvDatabase_->itemAtPosition(i)->setCheckState(0, Qt::Checked);
}

void DatabaseForm::cmdApply_Click() {
    if (op().message("Apply changes?", {}, MsgIcon::Question, MsgButtons::YesNo) != MsgResult::Yes) {
        reject();
        return;
    }
    const bool stored = guarded("DatabaseForm cmdApply_Click", shownAs("Error #", ": ", MsgIcon::None), [&] {
        station::OpenedDb db(station::stationContext().userDb);
        db::Transaction t(userDb(db));
        for (int i = 1; i <= lvDatabase_->count(); ++i) {
            QTreeWidgetItem* item = lvDatabase_->itemAtPosition(i);
            const bool ticked = item->checkState(0) == Qt::Checked;
            if (ticked || item->text(0) == "1")
                config::setVisible(userDb(db), ListView::tag(item).toLongLong(), ticked);
        }
        t.commit();
    });
    // A failed write leaves the window open, so the ticks are not lost.
    if (stored) accept();
}

void DatabaseForm::lvDatabase_MouseUp(Qt::MouseButton button, QPoint position) {
    if (button != Qt::RightButton) return;
    QTreeWidgetItem* under = lvDatabase_->itemAt(position);
    if (!under) return;
    lvDatabase_->setCurrentItem(under);
    under->setSelected(true);
    popup_->popup(lvDatabase_->viewport()->mapToGlobal(position));
}

void DatabaseForm::PopDelete_Click() {
    QTreeWidgetItem* item = lvDatabase_->selectedItem();
    if (!item) return;
    const bool deleted = guarded("DatabaseForm PopDelete_Click", shownAs("Error #", ": ", MsgIcon::None), [&] {
        station::OpenedDb db(station::stationContext().userDb);
        deleteDictionaryEntry(userDb(db), ListView::tag(item).toLongLong());
    });
    if (deleted) delete item;
}

// ---- AddTagToDB ------------------------------------------------------------------

AddTagToDB::AddTagToDB(QWidget* parent) : QDialog(parent) {
    setObjectName("AddTagToDB");
    setWindowTitle("Add new");
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    const auto box = [this](const char* name) {
        auto* b = new QLineEdit(this);
        b->setObjectName(name);
        return b;
    };
    txtGroup_ = box("txtGroup");
    txtElement_ = box("txtElement");
    txtDescription_ = box("txtDescription");
    txtVR_ = box("txtVR");
    form->addRow("Group:", txtGroup_);
    form->addRow("Element:", txtElement_);
    form->addRow("Description:", txtDescription_);
    form->addRow("VR Type:", txtVR_);
    layout->addLayout(form);
    chkVisible_ = new QCheckBox("visible", this);
    chkVisible_->setObjectName("chkVisible");
    layout->addWidget(chkVisible_);
    auto* buttons = new QHBoxLayout;
    cmdOK_ = button(this, "cmdOK", "OK");
    auto* cancel = button(this, "cmdCancel", "Cancel");
    buttons->addWidget(cmdOK_);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);
    txtGroup_->installEventFilter(this);
    txtElement_->installEventFilter(this);
    connect(cmdOK_, &QPushButton::clicked, this, &AddTagToDB::cmdOK_Click);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

bool AddTagToDB::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::FocusOut)
        if (auto* box = qobject_cast<QLineEdit*>(watched)) box->setText(tagPart(box->text()));
    return QDialog::eventFilter(watched, event);
}

void AddTagToDB::cmdOK_Click() {
    // The boxes are padded when they lose the focus; a click that did not move it pads here.
    txtGroup_->setText(tagPart(txtGroup_->text()));
    txtElement_->setText(tagPart(txtElement_->text()));
    AddTagResult result = AddTagResult::BadVrType;
    const bool ran = guarded("AddTagToDB cmdOK_Click", {}, [&] {
        station::OpenedDb db(station::stationContext().userDb);
        result = addDictionaryEntry(userDb(db), txtGroup_->text(), txtElement_->text(), txtVR_->text(),
                                    txtDescription_->text(), chkVisible_->isChecked());
    });
    if (!ran) return;
    // A refusal keeps what was typed: the operator corrects it and presses OK again.
    switch (result) {
        case AddTagResult::BadTag:
            op().message("Group and element must be four hexadecimal digits each (e.g. 0010, 0020).", {},
                         MsgIcon::Information);
            return;
        case AddTagResult::BadVrType: op().message("Not a valid VR type!", {}, MsgIcon::Information); return;
        case AddTagResult::TagExists: op().message("Tag already exists.", {}, MsgIcon::Information); return;
        case AddTagResult::Added: break;
    }
    added_ = true;
    accept();
}

}  // namespace corva::config
