#include "app/header_commands.h"

#include <QPushButton>
#include <QScrollBar>
#include <map>
#include <memory>
#include <set>

#include "app/main_form.h"
#include "common/edge.h"
#include "common/list_view.h"
#include "common/operator_seam.h"
#include "common/station_context.h"
#include "db/database.h"
#include "dose/dose_capture.h"
#include "header/header_panel.h"
#include "header/task_check.h"
#include "jobs/edit_form.h"
#include "settings/settings.h"
#include "viewer/dicom_viewer.h"
#include "viewer/loaded_image.h"
#include "viewer/study_loader.h"

namespace corva::station {

HeaderJobSetup headerJobSetup(db::Database& imageDb, std::vector<header::HeaderTask> tasks,
                              const std::string& loadedLevel, std::vector<header::LoadedImageRef> loaded,
                              const settings::Settings& settings) {
    HeaderJobSetup setup;
    if (tasks.empty()) {
        setup.refusal = "No tasks in list.";
        return setup;
    }
    if (loaded.empty() || loadedLevel.empty()) {
        setup.refusal = "No images loaded. Please load the study or series to change first.";
        return setup;
    }
    // A task for one image must name an image of the viewer: otherwise it would change
    // nothing while the job reports success.
    for (const auto& task : tasks) {
        const header::TaskReach reach = header::taskReach(task);
        if (reach.scope == header::TaskScope::Image &&
            (reach.imagePosition < 1 || reach.imagePosition > static_cast<int>(loaded.size()))) {
            setup.refusal = "The task list names " + task.level + ", which the viewer does not show.";
            return setup;
        }
    }
    // The patient and study of every loaded image that is registered.
    std::set<std::int64_t> patients;
    std::int64_t studyId = 0;
    auto st = imageDb.prepare(
        "SELECT tblStudies.FKeyPATID, tblStudies.StudyID FROM tblImages "
        "INNER JOIN tblSeries ON tblImages.FKeySeriesID = tblSeries.SeriesID "
        "INNER JOIN tblStudies ON tblSeries.FKeyStudyID = tblStudies.StudyID WHERE tblImages.ImageUID = ?");
    for (const auto& ref : loaded) {
        st.reset();
        st.bind(1, ref.imageUid);
        if (!st.step()) continue;
        patients.insert(st.getInt(0));
        if (studyId == 0) studyId = st.getInt(1);
    }
    if (patients.empty()) {
        setup.refusal = "The loaded images are no longer in the database. Please load them again.";
        return setup;
    }
    if (patients.size() > 1) {
        setup.refusal = "The loaded images belong to more than one patient. Please load one study or series.";
        return setup;
    }
    // Tasks that would leave undecodable images or file them under another patient.
    if (std::string refusal = header::taskListRefusal(imageDb, tasks, *patients.begin()); !refusal.empty()) {
        setup.refusal = std::move(refusal);
        return setup;
    }
    auto& in = setup.input;
    in.tasks = std::move(tasks);
    in.loadedLevel = loadedLevel;
    in.patientKey = *patients.begin();
    in.studyId = studyId;
    in.loaded = std::move(loaded);
    if (settings.autoWindow == 1) {
        if (settings.computeWindow == 1) {
            in.window.mode = header::WindowPolicy::Mode::Computed;
        } else {
            in.window.mode = header::WindowPolicy::Mode::Custom;
            in.window.customWidth = settings.customWidth;
            in.window.customCenter = settings.customCenter;
        }
    }
    return setup;
}

HeaderCommands::HeaderCommands(MainForm& window) : QObject(&window), w_(window) {
    auto& hooks = w_.headerPanel().hooks();
    hooks.viewerHasImages = [this] { return w_.dv1()->count() > 0; };
    hooks.executeTasks = [this] { mnuApplyTasks_Click(); };
    hooks.enableDoseList = [this] { w_.lvDosis()->setEnabled(true); };
    // The header view shows the image chosen in the viewer, and nothing once the viewer
    // was emptied.
    connect(&w_, &MainForm::currentImageChanged, this, [this] {
        if (w_.CurrentImage())
            LoadHeaderData();
        else
            w_.lvHeader()->clear();
    });
}

void HeaderCommands::LoadHeaderData() {
    const std::shared_ptr<LoadedImage>& image = w_.CurrentImage();
    if (!image) {
        w_.headerPanel().LoadHeaderData(nullptr);
        return;
    }
    const dicom::DataSet attributes = image->image().attributes();
    w_.headerPanel().LoadHeaderData(&attributes);
}

void HeaderCommands::mnuApplyTasks_Click() {
    auto& g = stationContext();
    if (w_.studyLoader().running()) {
        op().message("Please wait until the images are loaded.", {}, MsgIcon::Information, MsgButtons::OK);
        return;
    }
    // Another job (corvactl) works on the images: nothing changes, the task list and the
    // viewer stay as they are for another try.
    JobLock lock = JobLock::tryAcquire(g.paths.dataFolder);
    if (!lock.held()) {
        op().message(jobs::jobLockRefusal(lock), {}, MsgIcon::Information);
        return;
    }
    // The viewer's images in viewer order: "Image #n" tasks count positions in it.
    std::vector<header::LoadedImageRef> loaded;
    DicomViewer* viewer = w_.dv1();
    for (int pos = 1; pos <= viewer->count(); ++pos) {
        const auto& image = viewer->image(pos);
        if (!image) continue;
        loaded.push_back({image->sopInstanceUid(), image->image().studyInstanceUid(), image->image().windowWidth(),
                          image->image().windowCenter()});
    }
    HeaderJobSetup setup;
    const bool built = catchAtEdge("MainForm mnuApplyTasks_Click", true, [&] {
        OpenedDb db(g.dataDb);
        setup = headerJobSetup(db.db(), w_.headerPanel().tasks(), g.selection.loadedLevel, std::move(loaded),
                               settings::current());
    });
    if (!built) return;
    if (!setup.refusal.empty()) {
        op().message(QString::fromStdString(setup.refusal), {}, MsgIcon::Information, MsgButtons::OK);
        return;
    }

    w_.forgetCurrentImage();
    w_.dv1_vscroll()->setEnabled(false);
    auto job = std::make_shared<header::HeaderJob>(g.paths, std::move(setup.input));
    jobs::runJobWindow(jobs::JobKind::UpdateStudy, job, &w_, std::move(lock));

    // The changed images left the database; the ingest service brings them back.
    w_.ResetView(true);
    loadedImageSet().clear();
    g.selection.loadedLevel.clear();
    w_.lvStudien()->clear();
    w_.browser()->hideSeries();
    w_.lvSerien()->clear();
    w_.RefreshPatientList();
    w_.dose().refreshDosisList(g.forwardingMode);
    w_.lvDosis()->setEnabled(false);  // again by the next fill of the header view
    // Nothing is loaded to forward until the next study is chosen.
    w_.cmdAll()->setEnabled(false);
    w_.cmdSelected()->setEnabled(false);
}

}  // namespace corva::station
