#pragma once
// The header view and the task list of the main window: a thin layer over the plain
// classes (ActiveTagSet, headerRows, makeTasks, RuleStore). The main window creates
// the controls and hands them over; it connects the hooks to the viewer, the dose
// frame and the job window.
//
//   header_ = std::make_unique<header::HeaderPanel>(controls, this);
//   header_->hooks().selectedImageIndex = [this] { return SelectedImageIndex(); };
//   header_->initialise();                       // while the window loads
//   header_->LoadModFilter(settings.filterActive);
//   dose_->hooks().addTask = [this] { header_->addTask(); };   // throws on > 6 rows
//   header_->LoadHeaderData(&image.attributes());              // on image selection
#include <QObject>
#include <functional>
#include <string>
#include <vector>

#include "dicom/dicom.h"
#include "header/active_tag_set.h"
#include "header/header_task.h"
#include "header/task_builder.h"

class QComboBox;
class QLineEdit;
class QMenu;
class QPushButton;
class QTreeWidgetItem;

namespace corva::station {
class ListView;
}

namespace corva::station::header {

struct HeaderControls {
    ListView* lvHeader = nullptr;
    ListView* lvTasks = nullptr;
    QComboBox* cboLevel = nullptr;
    QComboBox* cboTask = nullptr;
    QComboBox* cboTarget = nullptr;
    QLineEdit* txtNeu = nullptr;
    QLineEdit* txtSelected = nullptr;
    QPushButton* cmdAddTask = nullptr;     // cmdTask(0)
    QPushButton* cmdDeleteTask = nullptr;  // cmdTask(1)
    // The window's popup of the task list and its rules submenu; the window then runs
    // "Clear entries" and "Save as ..." itself (clearTasks, saveRule). Without them the
    // panel makes its own popup with all three.
    QMenu* popUpTaskList = nullptr;
    QMenu* popUpRules = nullptr;
};

class HeaderPanel : public QObject {
    Q_OBJECT
public:
    struct Hooks {
        std::function<int()> selectedImageIndex;           // the viewer's SelectedImageIndex
        std::function<std::string()> loadedLevel;          // "Studie" / "Serie"
        // The selected record's values by attribute; empty when no record is selected.
        std::function<std::vector<ExposureValue>()> exposureValues;
        std::function<bool()> viewerHasImages;
        std::function<void()> executeTasks;                // "Execute tasks ..."
        std::function<void()> enableDoseList;              // after each fill of the header view
    };

    HeaderPanel(const HeaderControls& controls, QObject* parent = nullptr);
    Hooks& hooks() { return hooks_; }

    // Start-up: level and action choices, the rules menu, the header view's columns.
    void initialise();
    // Loads the active tag set of `filter` (empty: nothing). Errors are logged
    // ("MainForm LoadModFilter"); the set keeps the rows read before.
    void LoadModFilter(const std::string& filter);
    ActiveTagSet& tagSet() { return tagSet_; }
    // Refills the header view for an image (none: empty values).
    void LoadHeaderData(const dicom::DataSet* image);

    // "Add Task": the task list from the header view's exposure attributes and the
    // selected record's values.
    void addTask();
    // "Add Task" run by selecting an exposure record: the tasks show what the record
    // would write. They are no work of the operator's until she changes the list.
    void addRecordTasks();
    // The task list holds tasks the operator made or changed (not only those a record
    // selection made): leaving them asks first.
    bool holdsOperatorTasks() const;
    // The "Add Task" button: with a header row clicked, appends the one task of that
    // attribute (level, action, the typed value or the chosen target); without one it
    // is "Add Task" above.
    void cmdAddTask_Click();
    void deleteTask();
    void clearTasks();

    std::vector<HeaderTask> tasks() const;
    void appendTask(const HeaderTask& task);

    // The task list's popup (Clear entries, Save as ..., Add fav. task) and the rules.
    QMenu* popup() const { return popup_; }
    void UpdateRulesPopup();
    void saveRule();
    void replayRule(const std::string& name);

private:
    void headerRowClicked(QTreeWidgetItem* item);
    void actionChosen();
    void addChosenTask();

    HeaderControls c_;
    Hooks hooks_;
    ActiveTagSet tagSet_;
    std::vector<HeaderTask> recordTasks_;  // the list as the last record selection made it
    bool descending_ = false;
    QMenu* popup_ = nullptr;
    QMenu* rulesMenu_ = nullptr;
};

}  // namespace corva::station::header
