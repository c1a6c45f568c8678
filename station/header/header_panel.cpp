#include "header/header_panel.h"

#include <QComboBox>
#include <QCursor>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTreeWidgetItem>

#include "common/edge.h"
#include "common/list_view.h"
#include "common/operator_seam.h"
#include "common/station_context.h"
#include "core/error.h"
#include "db/schema.h"
#include "header/rule_store.h"
#include "header/task_builder.h"

namespace corva::station::header {

namespace {
QString q(const std::string& s) { return QString::fromStdString(s); }
}  // namespace

HeaderPanel::HeaderPanel(const HeaderControls& controls, QObject* parent) : QObject(parent), c_(controls)
{
    if (c_.popUpTaskList && c_.popUpRules) {
        popup_ = c_.popUpTaskList;
        rulesMenu_ = c_.popUpRules;
    } else {
        popup_ = new QMenu(c_.lvTasks);
        popup_->setObjectName("PopUpTaskList");
        connect(popup_->addAction("Clear entries"), &QAction::triggered, this, [this] { clearTasks(); });
        connect(popup_->addAction("Save as ..."), &QAction::triggered, this,
                [this] { catchAtEdge("Mainform PopUpTaskListSub", false, [&] { saveRule(); }); });
        rulesMenu_ = popup_->addMenu("Add fav. task");
        rulesMenu_->setObjectName("PopUpRules");
    }

    connect(c_.lvHeader, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* item) { headerRowClicked(item); });
    connect(c_.lvHeader->header(), &QHeaderView::sectionClicked, this, [this](int column) {
        if (column == 0)
            descending_ = !descending_;
    });
    connect(c_.cboTask, qOverload<int>(&QComboBox::activated), this, [this](int) { actionChosen(); });
    connect(c_.cmdAddTask, &QPushButton::clicked, this,
            [this] { catchAtEdge("MainForm cmdTask_Click", true, [&] { cmdAddTask_Click(); }); });
    connect(c_.cmdDeleteTask, &QPushButton::clicked, this, [this] { deleteTask(); });
    connect(c_.lvTasks, &ListView::mouseUp, this, [this](Qt::MouseButton button, QPoint) {
        if (button == Qt::RightButton)
            popup_->popup(QCursor::pos());
    });
}

void HeaderPanel::initialise()
{
    c_.cboLevel->clear();
    for (const char* level : LevelNames)
        c_.cboLevel->addItem(level);
    c_.cboLevel->setCurrentIndex(3);
    c_.cboTask->clear();
    for (const char* action : ActionNames)
        c_.cboTask->addItem(action);
    c_.cboTask->setCurrentIndex(0);
    UpdateRulesPopup();
    c_.lvHeader->setHeaderLabels({"DICOM Tag", "DICOM Description", "Value"});
    c_.lvTasks->setHeaderLabels({"Level", "Source", "Value", "Task", "Target"});
}

void HeaderPanel::LoadModFilter(const std::string& filter)
{
    catchAtEdge("MainForm LoadModFilter", false, [&] {
        if (filter.empty())
            return;
        OpenedDb db(stationContext().userDb);
        // A dictionary older than the default filter gains it when it is the active one.
        if (filter == db::DefaultFilterName)
            db::addDefaultFilter(db.db());
        header::loadModFilter(db.db(), filter, tagSet_);
    });
}

void HeaderPanel::LoadHeaderData(const dicom::DataSet* image)
{
    c_.lvHeader->setSorted(false);
    c_.lvHeader->clear();
    c_.lvHeader->setUpdatesEnabled(false);
    for (const auto& row : headerRows(tagSet_, image, descending_)) {
        QTreeWidgetItem* item = c_.lvHeader->addItem(q(row.tag), {}, {q(row.description), q(row.value)});
        item->setToolTip(2, q(row.value));  // the value column is often cut in the narrow view
    }
    c_.lvHeader->setUpdatesEnabled(true);
    if (hooks_.enableDoseList)
        hooks_.enableDoseList();
}

void HeaderPanel::headerRowClicked(QTreeWidgetItem* item)
{
    if (!item)
        return;
    const std::string tag = item->text(0).toStdString();
    c_.txtSelected->setText(item->text(0) + " - " + item->text(1));
    c_.txtNeu->setText(item->text(2));
    const auto parsed = dicom::Tag::parse(tag);
    const bool uid = parsed && isUidTag(*parsed);
    if (uid) {
        c_.txtNeu->setText(NewUidText);
        c_.cboTask->setCurrentIndex(0);
    }
    c_.txtNeu->setEnabled(!uid);
    c_.cboTask->setEnabled(!uid);
    if (c_.cboTask->currentIndex() != 0)
        actionChosen();
    // The boxes show the start of a longer text (the tag, the name's family part).
    c_.txtSelected->setCursorPosition(0);
    c_.txtNeu->setCursorPosition(0);
}

void HeaderPanel::actionChosen()
{
    c_.cboTarget->clear();
    if (c_.cboTask->currentIndex() == 0) {
        c_.txtNeu->setVisible(true);
        return;
    }
    c_.txtNeu->setVisible(false);
    for (const auto& choice : targetChoices(tagSet_, c_.txtSelected->text().toStdString()))
        c_.cboTarget->addItem(q(choice));
}

void HeaderPanel::addTask()
{
    clearTasks();
    recordTasks_.clear();
    std::vector<HeaderRow> rows;
    for (int i = 1; i <= c_.lvHeader->count(); ++i) {
        const QTreeWidgetItem* item = c_.lvHeader->itemAtPosition(i);
        rows.push_back({item->text(0).toStdString(), item->text(1).toStdString(), item->text(2).toStdString()});
    }
    AddTaskChoice choice;
    choice.level = c_.cboLevel->currentText().toStdString();
    choice.action = c_.cboTask->currentIndex();
    choice.selectedImageIndex = hooks_.selectedImageIndex ? hooks_.selectedImageIndex() : 0;
    choice.loadedLevel = hooks_.loadedLevel ? hooks_.loadedLevel() : std::string();
    const auto result = makeTasks(rows, choice, hooks_.exposureValues ? hooks_.exposureValues() : std::vector<ExposureValue>{});
    if (!result.refusal.empty()) {
        op().message(q(result.refusal), {}, MsgIcon::Information, MsgButtons::OK);
        return;
    }
    for (const auto& t : result.tasks)
        appendTask(t);
    if (!result.error.empty())
        throw Error(errc::Generic, result.error);
}

void HeaderPanel::addRecordTasks()
{
    // Her own tasks are not replaced unasked.
    if (holdsOperatorTasks() &&
        op().message("Replace the tasks in the list with the values of the selected exposure record?", {},
                     MsgIcon::Question, MsgButtons::YesNo) != MsgResult::Yes)
        return;
    addTask();
    recordTasks_ = tasks();
}

bool HeaderPanel::holdsOperatorTasks() const
{
    const std::vector<HeaderTask> listed = tasks();
    return !listed.empty() && listed != recordTasks_;
}

void HeaderPanel::cmdAddTask_Click()
{
    if (c_.txtSelected->text().trimmed().isEmpty())
        addTask();
    else
        addChosenTask();
}

void HeaderPanel::addChosenTask()
{
    ChosenAttribute chosen;
    chosen.selected = c_.txtSelected->text().toStdString();
    // The value the current image holds, as the header view shows it.
    const QString tag = c_.txtSelected->text().left(9);
    for (int i = 1; i <= c_.lvHeader->count(); ++i)
        if (const QTreeWidgetItem* item = c_.lvHeader->itemAtPosition(i); item->text(0) == tag)
            chosen.oldValue = item->text(2).toStdString();
    chosen.newValue = c_.txtNeu->text().toStdString();
    chosen.target = c_.cboTarget->currentText().toStdString();
    AddTaskChoice choice;
    choice.level = c_.cboLevel->currentText().toStdString();
    choice.action = c_.cboTask->currentIndex();
    choice.selectedImageIndex = hooks_.selectedImageIndex ? hooks_.selectedImageIndex() : 0;
    choice.loadedLevel = hooks_.loadedLevel ? hooks_.loadedLevel() : std::string();
    const auto result = makeChosenTask(chosen, choice);
    if (!result.refusal.empty()) {
        op().message(q(result.refusal), {}, MsgIcon::Information, MsgButtons::OK);
        return;
    }
    for (const auto& t : result.tasks)
        appendTask(t);
}

void HeaderPanel::deleteTask()
{
    if (QTreeWidgetItem* item = c_.lvTasks->selectedItem())
        delete item;
    c_.lvTasks->clearSelection();
}

void HeaderPanel::clearTasks() { c_.lvTasks->clear(); }

void HeaderPanel::appendTask(const HeaderTask& t)
{
    c_.lvTasks->addItem(q(t.level), q(t.actionNumber), {q(t.source), q(t.oldValue), q(t.actionName), q(t.target)});
}

std::vector<HeaderTask> HeaderPanel::tasks() const
{
    std::vector<HeaderTask> out;
    for (int i = 1; i <= c_.lvTasks->count(); ++i) {
        const QTreeWidgetItem* item = c_.lvTasks->itemAtPosition(i);
        HeaderTask t{item->text(0).toStdString(), item->text(1).toStdString(), item->text(2).toStdString(),
                     item->text(3).toStdString(), item->text(4).toStdString(),
                     ListView::tag(item).toString().toStdString()};
        if (t.actionNumber.empty())
            for (int a = 0; a < 3; ++a)
                if (t.actionName == ActionNames[a])
                    t.actionNumber = std::to_string(a);
        out.push_back(std::move(t));
    }
    return out;
}

void HeaderPanel::UpdateRulesPopup()
{
    catchAtEdge("MainForm UpdateRulesPopup", false, [&] {
        OpenedDb db(stationContext().userDb);
        RuleStore store(db.db());
        const auto names = store.names();
        rulesMenu_->clear();
        if (names.empty()) {
            QAction* none = rulesMenu_->addAction("No entries");
            none->setObjectName("PopUpRules_0");
            none->setEnabled(false);
            return;
        }
        int index = 0;
        for (const auto& name : names) {
            QAction* entry = rulesMenu_->addAction(q(name));
            entry->setObjectName("PopUpRules_" + QString::number(index++));
            connect(entry, &QAction::triggered, this, [this, name] {
                catchAtEdge("MainForm PopUpRules_Click", false, [&] { replayRule(name); });
            });
        }
    });
}

void HeaderPanel::saveRule()
{
    const auto current = tasks();
    if (current.empty())
        return;
    bool stored = false;
    const bool ran = catchAtEdge("MainForm PopUpTaskListSub", false, [&] {
        OpenedDb db(stationContext().userDb);
        RuleStore store(db.db());
        stored = saveRuleAsked(store, current);
    });
    if (!ran) {
        op().message("Database error, task not saved!", {}, MsgIcon::Critical, MsgButtons::OK);
        return;
    }
    (void)stored;
    UpdateRulesPopup();
}

void HeaderPanel::replayRule(const std::string& name)
{
    if (hooks_.viewerHasImages && !hooks_.viewerHasImages())
        return;
    {
        OpenedDb db(stationContext().userDb);
        RuleStore store(db.db());
        for (const auto& t : replayRuleAsked(store, name))
            appendTask(t);
    }
    if (op().message("Execute tasks now?", {}, MsgIcon::None, MsgButtons::YesNo) == MsgResult::Yes &&
        hooks_.executeTasks)
        hooks_.executeTasks();
}

}  // namespace corva::station::header
