#include "app/job_commands.h"

#include <QAction>
#include <QApplication>
#include <QGroupBox>
#include <QMenu>
#include <QTreeWidgetItem>

#include "app/forwarding.h"
#include "app/main_form.h"
#include "common/config_state.h"
#include "viewer/dicom_viewer.h"
#include "dose/dose_capture.h"
#include <QLineEdit>
#include <QPushButton>
#include <algorithm>
#include <optional>
#include "common/config_state.h"
#include "common/edge.h"
#include "common/list_view.h"
#include "common/operator_seam.h"
#include "common/station_context.h"
#include "jobs/delete_jobs.h"
#include "jobs/edit_form.h"
#include "log/error_log.h"
#include "settings/settings.h"
#include "viewer/loaded_image.h"

namespace corva::station {

namespace JobKind = jobs::JobKind;

namespace {

const QString TagSeparator = QStringLiteral("!++!");

// Restores the normal cursor however the check ends.
class WaitCursor {
public:
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
};

}  // namespace

JobCommands::JobCommands(MainForm& window) : QObject(&window), w_(window) {
    const MainMenus& m = w_.menus();
    const auto on = [this](QAction* action, void (JobCommands::*handler)()) {
        if (action) connect(action, &QAction::triggered, this, handler);
    };
    on(m.PopUpPatient_Delete, &JobCommands::PopUpPatient_Delete_Click);
    on(m.PopUpPatient_DeleteAll, &JobCommands::PopUpPatient_DeleteAll_Click);
    on(m.PopUpStudie_Delete, &JobCommands::PopUpStudie_Delete_Click);
    on(m.PopUpSerie_Delete, &JobCommands::PopUpSerie_Delete_Click);
    on(m.PopupDeleteImage, &JobCommands::PopupDeleteImage_Click);
    connect(w_.cmdAll(), &QPushButton::clicked, this, &JobCommands::cmdAll_Click);
    connect(w_.cmdSelected(), &QPushButton::clicked, this, &JobCommands::cmdSelected_Click);
    // The menus show the destinations as the configuration holds them now.
    for (QMenu* popup : {m.PopUpPatient, m.PopUpStudie, m.PopUpSerie})
        if (popup) connect(popup, &QMenu::aboutToShow, this, &JobCommands::UpdateSendToEntries);
    const auto& s = settings::current();
    current_ = jobs::Destination{s.scpAet, s.scpIp, s.scpPort, s.irAet};
}

JobCommands::~JobCommands() = default;

// ---- send-to menus ---------------------------------------------------------------

void JobCommands::fillMenu(QMenu* menu, const QString& prefix, Level level,
                           const std::vector<std::pair<QString, QString>>& rows) {
    if (!menu) return;
    menu->clear();
    int i = 0;
    for (const auto& [alias, tag] : rows) {
        QAction* entry = menu->addAction(alias);
        entry->setObjectName(prefix + "_" + QString::number(i++));
        entry->setData(tag);
        connect(entry, &QAction::triggered, this, [this, level, tag] { sendToChosen(level, tag); });
    }
    menu->menuAction()->setVisible(!rows.empty());
}

void JobCommands::UpdateSendToEntries() {
    std::vector<std::pair<QString, QString>> rows;
    catchAtEdge("MainForm UpdateSendToEntries", false, [&] {
        OpenedDb db(stationContext().userDb);
        auto st = db.db().prepare("SELECT * FROM tblSCP ORDER BY Alias");
        while (st.step()) {
            const std::string aet = st.isNull("AET") ? "" : st.getText("AET");
            const std::string ip = st.isNull("IP") ? "" : st.getText("IP");
            const std::string port = st.isNull("Port") ? "" : st.getText("Port");
            if (!st.isNull("Default") && std::llabs(st.getInt("Default")) == 1)
                configState().defaultDestination = {aet, ip, port};
            rows.emplace_back(QString::fromStdString(st.isNull("Alias") ? "" : st.getText("Alias")),
                              QString::fromStdString(aet) + TagSeparator + QString::fromStdString(ip) + TagSeparator +
                                  QString::fromStdString(port));
        }
    });
    const MainMenus& m = w_.menus();
    fillMenu(m.P_SendTo, "P_SendTo", Level::Patient, rows);
    fillMenu(m.St_SendTo, "St_SendTo", Level::Study, rows);
    fillMenu(m.Se_SendTo, "Se_SendTo", Level::Series, rows);
}

void JobCommands::sendToChosen(Level level, const QString& tag) {
    const QStringList parts = tag.split(TagSeparator);
    const auto part = [&](int i) { return i < parts.size() ? parts.at(i) : QString(); };
    current_ = jobs::Destination{part(0).toStdString(), part(1).toStdString(), part(2).toStdString(),
                                 settings::current().irAet};
    if (part(0).isEmpty() || part(1).isEmpty() || part(2).isEmpty()) {
        op().message("Incomplete Storage Class Provider values!\r\nAET: " + part(0) + "\r\nIP: " + part(1) +
                      "\r\nPort: " + part(2));
        return;
    }
    if (!SCPOnline()) return;
    switch (level) {
        case Level::Patient: SendPatient(); break;
        case Level::Study: SendStudy(); break;
        case Level::Series: SendSeries(); break;
    }
}

bool JobCommands::SCPOnline() {
    WaitCursor cursor;
    association_.reset();
    current_.callingAe = settings::current().irAet;
    return catchAtEdge("MainForm SCPOnline", true, [&] { association_ = jobs::openDestination(current_); });
}

// ---- send routines ---------------------------------------------------------------

bool JobCommands::confirmUndoneTasks() {
    if (w_.lvTasks()->count() == 0) return true;
    if (op().message("Undone tasks in list!\r\nContinue?", {}, MsgIcon::None, MsgButtons::YesNo) == MsgResult::No) {
        if (association_) association_->close();
        association_.reset();
        return false;
    }
    w_.lvTasks()->clear();
    return true;
}

jobs::SendSetup JobCommands::sendSetup() const {
    jobs::SendSetup s;
    s.target = jobs::JobTarget::current();
    s.destination = current_;
    s.keep = settings::current().sentAndKeep != 0;
    return s;
}

void JobCommands::takeSelectedStudy() {
    ListView* studies = w_.lvStudien();
    if (QTreeWidgetItem* item = studies->selectedItem()) {
        auto& sel = stationContext().selection;
        sel.studyId = item->text(0).toStdString();
        sel.studyUid = ListView::tag(item).toString().toStdString();
        sel.studyIndex = studies->positionOf(item);
    }
}

void JobCommands::removeEntry(ListView* list, int position) {
    if (position < 1 || position > list->count()) return;
    list->clearSelection();
    std::unique_ptr<QTreeWidgetItem> gone(list->takeTopLevelItem(position - 1));
}

void JobCommands::SendPatient() {
    if (!confirmUndoneTasks()) return;
    w_.forgetCurrentImage();
    auto job = std::make_shared<jobs::SendJob>(jobs::SendJob::Level::Patient, sendSetup(), std::move(association_));
    jobs::runJobWindow(JobKind::SendPatient, job, &w_);
    stationContext().removedAfterSend = job->removedAfterSend();
    if (job->removedAfterSend()) PopUpPatient_Delete_Click();
    w_.RefreshPatientList();
    w_.ClearStatus();
}

void JobCommands::SendStudy() {
    takeSelectedStudy();
    if (!confirmUndoneTasks()) return;
    w_.forgetCurrentImage();
    auto job = std::make_shared<jobs::SendJob>(jobs::SendJob::Level::Study, sendSetup(), std::move(association_));
    jobs::runJobWindow(JobKind::SendStudy, job, &w_);
    auto& sel = stationContext().selection;
    stationContext().removedAfterSend = job->removedAfterSend();
    if (job->removedAfterSend()) {
        removeEntry(w_.lvStudien(), sel.studyIndex);
        if (job->patientRemoved()) removeEntry(w_.lvPatients(), sel.patientIndex);
        sel.studyId.clear();
        sel.studyUid.clear();
    }
    w_.RefreshPatientList();
}

void JobCommands::SendSeries() {
    if (!confirmUndoneTasks()) return;
    takeSelectedStudy();
    auto& sel = stationContext().selection;
    ListView* series = w_.lvSerien();
    if (QTreeWidgetItem* item = series->selectedItem()) {
        sel.seriesId = ListView::tag(item).toString().toStdString();
        sel.seriesCount = series->count();
        sel.seriesIndex = series->positionOf(item);
    }
    w_.clearViewer();
    w_.forgetCurrentImage();
    auto job = std::make_shared<jobs::SendJob>(jobs::SendJob::Level::Series, sendSetup(), std::move(association_));
    jobs::runJobWindow(JobKind::SendSeries, job, &w_);
    stationContext().removedAfterSend = job->removedAfterSend();
    if (job->removedAfterSend()) {
        removeEntry(series, sel.seriesIndex);
        sel.seriesId.clear();
        if (series->count() <= 1) {
            series->clear();
            w_.browser()->hideSeries();
        }
        if (job->studyRemoved()) removeEntry(w_.lvStudien(), sel.studyIndex);
        if (job->patientRemoved()) removeEntry(w_.lvPatients(), sel.patientIndex);
    }
}

// ---- forwarding ------------------------------------------------------------------

void JobCommands::emptyWorkFolder() {
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(stationContext().paths.workFolder, ec)) {
        if (!e.is_regular_file(ec) || e.path().extension() != ".dcm") continue;
        std::error_code rm;
        std::filesystem::remove(e.path(), rm);
    }
}

void JobCommands::cmdAll_Click() {
    auto& ctx = stationContext();
    const int xrayType = settings::current().xrayComm;
    {
        // The patient-list refresh would empty the image list and viewer under the pairing.
        RefreshLockGuard lock;
        emptyWorkFolder();
        ctx.forwardingMode = ForwardingMode::Automatic;
        dose::DoseCapture& dose = w_.dose();
        std::string projectionKey;
        const int n = w_.dv1()->count();
        for (int i = 1; i <= n; ++i) {
            catchAtEdge("MainForm cmdAll_Click", false, [&] {
                QTreeWidgetItem* entry = w_.lvImages()->itemAtPosition(i);
                if (!entry) throw Error(errc::NotFound, "No entry " + std::to_string(i) + " in the image list");
                w_.lvImages()->setCurrentItem(entry);
                w_.lvImages_ItemClick(entry);
            });
            const std::shared_ptr<LoadedImage> image = w_.CurrentImage();
            if (!image) continue;
            if (xrayType != forwarding::Sophie && xrayType != forwarding::Giotto) continue;
            if (const auto key = forwarding::projectionKey(forwarding::imageKey(image->image(), xrayType), xrayType))
                projectionKey = *key;
            const int records = dose.doseRecordCount();
            for (int j = 0; j < records; ++j) {
                dose.selectDoseRecord(j);
                const std::string projection = w_.Text3(5)->text().toStdString();
                if (xrayType == forwarding::Giotto && projection.empty()) {
                    op().message(
                        "You have not set the projection, please click on the correct projection button!\r\n"
                        "If you have set the projection please click on Manually button!",
                        {}, MsgIcon::Critical);
                    ctx.forwardingMode = ForwardingMode::None;
                    return;
                }
                bool match = true;  // a record whose projection cannot be compared is taken
                catchAtEdge("MainForm cmdAll_Click", false,
                            [&] { match = forwarding::recordMatches(projection, projectionKey, xrayType); });
                if (match) break;
            }
            dose.modifyImage(&image->image());
        }
    }
    sendToDefaultDestination();
    // Used by the job window's OK, or the forwarding ended before its send.
    ctx.forwardingMode = ForwardingMode::None;
}

void JobCommands::cmdSelected_Click() {
    auto& ctx = stationContext();
    {
        RefreshLockGuard lock;
        emptyWorkFolder();
        ctx.forwardingMode = ForwardingMode::Manual;
        const std::shared_ptr<LoadedImage> image = w_.CurrentImage();
        w_.dose().modifyImage(image ? &image->image() : nullptr);
    }
    sendToDefaultDestination();
    ctx.forwardingMode = ForwardingMode::None;
}

void JobCommands::send_Click() {
    if (!w_.lvPatients()->selectedItem()) {
        op().message("Please select a patient from the list!", {}, MsgIcon::Information);
        return;
    }
    sendToDefaultDestination();
}

void JobCommands::sendToDefaultDestination() {
    UpdateSendToEntries();
    const DestinationAddress& target = configState().defaultDestination;
    if (target.empty()) {
        op().message("No default SCP configured!", {}, MsgIcon::Information);
        return;
    }
    current_ = jobs::Destination{target.aet, target.ip, target.port, settings::current().irAet};
    if (current_.aet.empty() || current_.ip.empty() || current_.port.empty()) {
        op().message(QString::fromStdString("Incomplete Storage Class Provider values!\r\nAET: " + current_.aet +
                                            "\r\nIP: " + current_.ip + "\r\nPort: " + current_.port));
        return;
    }
    auto& s = settings::current();
    s.scpAet = current_.aet;
    s.scpIp = current_.ip;
    s.scpPort = current_.port;
    if (!SCPOnline()) return;
    SendPatient();
}

// ---- deleting --------------------------------------------------------------------

void JobCommands::PopupDeleteImage_Click() {
    if (op().message("Delete image?", {}, MsgIcon::None, MsgButtons::YesNo) != MsgResult::Yes) return;
    catchAtEdge("MainForm PopupDeleteImage_Click", true, [&] {
        const std::shared_ptr<LoadedImage> current = w_.CurrentImage();
        if (!current) throw Error(errc::NotFound, "No image selected");
        const std::string uid = current->sopInstanceUid();
        w_.forgetCurrentImage();
        // The viewer and the loaded set keep every other image, in their order.
        std::vector<std::shared_ptr<LoadedImage>> others;
        for (int pos = 1; pos <= w_.dv1()->count(); ++pos)
            if (w_.dv1()->image(pos)->sopInstanceUid() != uid) others.push_back(w_.dv1()->image(pos));
        w_.clearViewer();
        for (const auto& image : others) w_.addToViewer(image);
        auto& set = loadedImageSet();
        set.erase(std::remove_if(set.begin(), set.end(), [&](const auto& i) { return i && i->sopInstanceUid() == uid; }),
                  set.end());
        w_.InitScrollbar();
        auto& ctx = stationContext();
        if (!others.empty()) {
            w_.lvHeader()->clear();
            {
                OpenedDb db(ctx.dataDb);
                auto st = db.db().prepare("DELETE FROM tblImages WHERE ImageUID = ?");
                st.bind(1, uid);
                st.run();
            }
            w_.setPanelText(3, {});
            w_.setPanelText(4, QString::number(w_.dv1()->count()) + " image(s)");
            const std::filesystem::path file = imageFile(ctx.paths, ctx.selection.studyUid, uid);
            std::error_code ec;
            if (!file.empty()) std::filesystem::remove(file, ec);
            return;
        }
        // The last image: its container goes, through the job window.
        if (ctx.selection.loadedLevel == "Serie") {
            ListView* series = w_.lvSerien();
            if (QTreeWidgetItem* item = series->selectedItem()) ctx.selection.seriesIndex = series->positionOf(item);
            removeEntry(series, ctx.selection.seriesIndex);
            const bool seriesLeft = series->count() > 0;
            auto job = std::make_shared<jobs::DeleteJob>(
                seriesLeft ? jobs::DeleteJob::Level::Series : jobs::DeleteJob::Level::Study, jobs::JobTarget::current());
            jobs::runJobWindow(seriesLeft ? JobKind::DeleteSeries : JobKind::DeleteStudy, job, &w_);
            if (job->studyRemoved()) removeEntry(w_.lvStudien(), ctx.selection.studyIndex);
            if (job->patientRemoved()) removeEntry(w_.lvPatients(), ctx.selection.patientIndex);
        } else {
            takeSelectedStudy();
            removeEntry(w_.lvStudien(), ctx.selection.studyIndex);
            const bool studiesLeft = w_.lvStudien()->count() > 0;
            auto job = std::make_shared<jobs::DeleteJob>(
                studiesLeft ? jobs::DeleteJob::Level::Study : jobs::DeleteJob::Level::Patient,
                jobs::JobTarget::current());
            jobs::runJobWindow(studiesLeft ? JobKind::DeleteStudy : JobKind::DeletePatient, job, &w_);
            if (job->patientRemoved()) removeEntry(w_.lvPatients(), ctx.selection.patientIndex);
        }
    });
}

void JobCommands::PopUpPatient_Delete_Click() {
    w_.ResetView(true);
    loadedImageSet().clear();
    auto job = std::make_shared<jobs::DeleteJob>(jobs::DeleteJob::Level::Patient, jobs::JobTarget::current());
    jobs::runJobWindow(JobKind::DeletePatient, job, &w_);
    w_.lvSerien()->clear();
    w_.lvStudien()->clear();
    w_.browser()->hideSeries();
    if (job->patientRemoved()) removeEntry(w_.lvPatients(), stationContext().selection.patientIndex);
    w_.lvPatients()->clearSelection();
    w_.lvImages()->clear();
    w_.lvDosis()->clear();
}

void JobCommands::PopUpPatient_DeleteAll_Click() {
    if (op().message("Delete all database entries and images?", {}, MsgIcon::None, MsgButtons::YesNo) !=
        MsgResult::Yes)
        return;
    w_.forgetCurrentImage();
    w_.clearViewer();
    w_.lvHeader()->clear();
    loadedImageSet().clear();
    jobs::runJobWindow(JobKind::DeleteAll, std::make_shared<jobs::DeleteAllJob>(stationContext().paths), &w_);
    w_.RefreshPatientList();
    w_.lvStudien()->clear();
    w_.ClearStatus();
}

void JobCommands::PopUpStudie_Delete_Click() {
    ListView* studies = w_.lvStudien();
    if (studies->count() == 1) {
        PopUpPatient_Delete_Click();
        return;
    }
    takeSelectedStudy();
    w_.ResetView(false);
    loadedImageSet().clear();
    auto job = std::make_shared<jobs::DeleteJob>(jobs::DeleteJob::Level::Study, jobs::JobTarget::current());
    jobs::runJobWindow(JobKind::DeleteStudy, job, &w_);
    if (job->studyRemoved()) removeEntry(studies, stationContext().selection.studyIndex);
    studies->clearSelection();
}

void JobCommands::PopUpSerie_Delete_Click() {
    ListView* series = w_.lvSerien();
    if (series->count() == 2) {
        PopUpStudie_Delete_Click();
        return;
    }
    takeSelectedStudy();
    auto& sel = stationContext().selection;
    if (QTreeWidgetItem* item = series->selectedItem()) {
        sel.seriesId = ListView::tag(item).toString().toStdString();
        sel.seriesCount = series->count();
        sel.seriesIndex = series->positionOf(item);
    }
    w_.ResetView(false);
    loadedImageSet().clear();
    auto job = std::make_shared<jobs::DeleteJob>(jobs::DeleteJob::Level::Series, jobs::JobTarget::current());
    jobs::runJobWindow(JobKind::DeleteSeries, job, &w_);
    series->clearSelection();
    if (job->succeeded()) removeEntry(series, sel.seriesIndex);
    if (job->studyRemoved()) removeEntry(w_.lvStudien(), sel.studyIndex);
    if (job->patientRemoved()) removeEntry(w_.lvPatients(), sel.patientIndex);
}

}  // namespace corva::station
