#pragma once
// The main window's header editing commands: the header view follows the image chosen
// in the viewer, and "Execute tasks ..." runs the header job in the job window and resets
// the window after it. Connects the header panel's hooks (viewer images, execute, dose
// list). Lives as a child of the main window; the header view, the task list and the
// rules menu themselves are header::HeaderPanel.
#include <QObject>
#include <string>
#include <vector>

#include "header/header_job.h"

namespace corva::db {
class Database;
}
namespace corva::settings {
struct Settings;
}

namespace corva::station {

class MainForm;

// The header job's input, or why it cannot run.
struct HeaderJobSetup {
    header::HeaderJobInput input;
    std::string refusal;  // shown to the operator instead of running when set
};

// Builds the header job's input from the task list and the viewer's images (in viewer
// order). The patient and the study come from the image database rows of the loaded
// images, not from the browser: a stale selection must never send patient tasks to
// another patient's images. Tasks the job would refuse (header::taskListRefusal) are
// refused here, before anything changes.
HeaderJobSetup headerJobSetup(db::Database& imageDb, std::vector<header::HeaderTask> tasks,
                              const std::string& loadedLevel, std::vector<header::LoadedImageRef> loaded,
                              const settings::Settings& settings);

class HeaderCommands : public QObject {
    Q_OBJECT
public:
    explicit HeaderCommands(MainForm& window);

    // Refills the header view for the viewer's current image (without one: the rows of
    // the active filter without values).
    void LoadHeaderData();
    // "Execute tasks ..." (the window's menu entry and toolbar key "exe" reach it through
    // MainForm::mnuApplyTasks_Click): the header job over the task list, then the window
    // is reset and the lists are reloaded. While another job holds the job lock, or the
    // tasks are refused, nothing is reset: the task list stays for another try.
    void mnuApplyTasks_Click();

private:
    MainForm& w_;
};

}  // namespace corva::station
