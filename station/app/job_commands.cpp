#include "app/job_commands.h"
#include "header/header_panel.h"

#include <QAction>
#include <QApplication>
#include <QGroupBox>
#include <QMenu>
#include <QTreeWidgetItem>

#include "app/main_form.h"
#include "app/program_version.h"
#include "common/config_state.h"
#include "viewer/dicom_viewer.h"
#include "dose/dose_capture.h"
#include "dose/dose_report.h"
#include "dose/dose_report_job.h"
#include "dose/forwarding_plan.h"
#include "dose/planned_conversion.h"
#include "db/dose_use.h"
#include "db/image_index.h"
#include "jobs/forward_job.h"
#include "transfer/input_drop.h"
#include <map>
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
#include "common/storage_destinations.h"
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
        const std::vector<StorageDestination> destinations = storageDestinations(db.db());
        // A default that was deleted or unmarked in the options is no default any more.
        configState().defaultDestination = {};
        for (const StorageDestination& d : destinations) {
            if (d.isDefault) configState().defaultDestination = {d.aet, d.ip, d.port, d.tls.files()};
            rows.emplace_back(QString::fromStdString(d.alias),
                              QString::fromStdString(d.aet) + TagSeparator + QString::fromStdString(d.ip) +
                                  TagSeparator + QString::fromStdString(d.port) + TagSeparator +
                                  QString::number(d.id));
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
    bool hasId = false;
    const qlonglong id = part(3).toLongLong(&hasId);
    if (hasId) current_.tls = settings::readDestinationTls(id).files();
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
    return catchAtEdge("MainForm SCPOnline", true, [&] {
        {
            OpenedDb db(stationContext().userDb);
            current_.commitment = asksForCommitment(db.db(), current_.aet, current_.ip, current_.port);
        }
        association_ = jobs::openDestination(current_);
    });
}

// ---- send routines ---------------------------------------------------------------

bool JobCommands::confirmUndoneTasks() {
    if (!w_.headerPanel().holdsOperatorTasks()) {
        w_.lvTasks()->clear();  // only what the selected record would write: the forwarding writes it
        return true;
    }
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
    // The send removed what it sent, by ID; the patient is gone when nothing of it was left.
    if (job->patientRemoved()) clearRemovedPatient();
    w_.RefreshPatientList();
    w_.ClearStatus();
}

void JobCommands::clearRemovedPatient() {
    w_.ResetView(true);
    loadedImageSet().clear();
    w_.lvSerien()->clear();
    w_.lvStudien()->clear();
    w_.browser()->hideSeries();
    w_.lvImages()->clear();
    w_.lvPatients()->clearSelection();
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
    // A conversion killed half-way left its partial file here.
    transfer::removeAbandonedPartials(stationContext().paths.workFolder);
    for (const auto& e : std::filesystem::directory_iterator(stationContext().paths.workFolder, ec)) {
        if (!e.is_regular_file(ec) || e.path().extension() != ".dcm") continue;
        std::error_code rm;
        std::filesystem::remove(e.path(), rm);
    }
}

namespace {

constexpr const char* AllLocation = "MainForm cmdAll_Click";
constexpr const char* SelectedLocation = "MainForm cmdSelected_Click";

// Logs the failure and hands back its message for the operator.
QString logged(const Error& e, const char* location) {
    corva::log::LogError(e.code(), e.message(), location);
    return QString::fromStdString(e.message());
}

bool knownUnit(int xrayType) { return xrayType == dose::unit::Sophie || xrayType == dose::unit::Giotto; }

// Closes the association the destination check opened when the forwarding ends before
// its job took it over.
class AssociationRelease {
public:
    explicit AssociationRelease(std::unique_ptr<dicom::Association>& association) : association_(association) {}
    ~AssociationRelease() { jobs::releaseAssociation(association_); }
    AssociationRelease(const AssociationRelease&) = delete;
    AssociationRelease& operator=(const AssociationRelease&) = delete;

private:
    std::unique_ptr<dicom::Association>& association_;
};

}  // namespace

std::optional<JobLock> JobCommands::takeJobLockForForwarding() {
    JobLock lock = JobLock::tryAcquire(stationContext().paths.dataFolder);
    if (!lock.held()) {
        op().message(jobs::jobLockRefusal(lock), {}, MsgIcon::Information);
        return std::nullopt;
    }
    return lock;
}

bool JobCommands::destinationAnswers() {
    if (!defaultDestinationReady()) return false;
    // The check is done; the send opens its own association. One left open while the
    // operator reads the pairs would hold the archive's attention for nothing.
    const AssociationRelease release(association_);
    return true;
}

void JobCommands::cmdAll_Click() {
    const int xrayType = settings::current().xrayComm;
    if (!knownUnit(xrayType)) {
        op().message("No X-ray unit type is set in the options: exposure records cannot be paired.", {},
                     MsgIcon::Exclamation);
        return;
    }
    // From the images read to the records used, no other job works on them.
    std::optional<JobLock> jobLock = takeJobLockForForwarding();
    if (!jobLock) return;
    // The destination first: nothing is converted for a forwarding that cannot be sent.
    if (!destinationAnswers()) return;
    auto& ctx = stationContext();
    const std::string patientName = ctx.selection.patientName;
    std::vector<dose::ConvertedImage> converted;
    dose::ForwardingSource source;
    {
        // The patient-list refresh would empty the image list and viewer under the pairing.
        RefreshLockGuard lock;
        // The images of the list, read from their files as they are now.
        std::vector<dose::ListedImage> listed;
        ListView* list = w_.lvImages();
        for (int i = 1; i <= list->count(); ++i) {
            QTreeWidgetItem* entry = list->itemAtPosition(i);
            const std::string uid = entry->text(3).toStdString();
            const int position = w_.viewer()->positionOf(uid);
            if (position < 1) {
                op().message("Image " + QString::number(i) +
                                 " of the image list is not loaded in the viewer.\r\nPlease load the study again.",
                             {}, MsgIcon::Exclamation);
                return;
            }
            listed.push_back({uid, entry->text(0).toLongLong(), w_.dv1()->image(position)->file()});
        }
        source = dose::readForForwarding(listed);
        if (!source.unreadable.isEmpty()) {
            op().message("The study cannot be forwarded:\r\n" + source.unreadable.join("\r\n") +
                             "\r\nNothing was converted or sent.",
                         {}, MsgIcon::Exclamation);
            return;
        }
        std::vector<dose::PlanRecord> records;
        try {
            for (const dose::DoseRow& row : w_.dose().store().pending())
                records.push_back(dose::planRecord(row, xrayType));
        } catch (const Error& e) {
            op().message("The exposure records cannot be read: " + logged(e, AllLocation), {}, MsgIcon::Critical);
            return;
        }
        const dose::ForwardingPlan plan = dose::ForwardingPlan::make(source.planned, records);
        if (!plan.holds()) {
            op().message(plan.refusalMessage(), {}, MsgIcon::Exclamation);
            return;
        }
        if (op().message("Forward the study with these exposure records?\r\n" + plan.describePairs().join("\r\n"),
                         {}, MsgIcon::Question, MsgButtons::YesNo) != MsgResult::Yes)
            return;
        emptyWorkFolder();
        try {
            converted = dose::convertPlanned(
                plan, [&](const std::string& uid) { return source.image(uid); }, xrayType, ctx.paths.workFolder);
        } catch (const Error& e) {
            op().message(logged(e, "ModifyImage") + "\r\nNothing was sent.", {}, MsgIcon::Critical);
            return;
        }
    }
    forward(converted, source, patientName, std::move(*jobLock));
}

void JobCommands::cmdSelected_Click() {
    const int xrayType = settings::current().xrayComm;
    const std::shared_ptr<LoadedImage> image = w_.CurrentImage();
    if (!image) {
        op().message("Please select the image to forward first.", {}, MsgIcon::Exclamation);
        return;
    }
    dose::DoseListPresenter& doseList = w_.dose().doseList();
    const std::int64_t recordId = doseList.currentRecordId();
    if (recordId == 0) {
        op().message("Please select the exposure record of this image in the dose list first.", {},
                     MsgIcon::Exclamation);
        return;
    }
    std::optional<JobLock> jobLock = takeJobLockForForwarding();
    if (!jobLock) return;
    // Read under the lock: what another job did before it counts.
    std::optional<dose::DoseRow> record;
    try {
        for (const dose::DoseRow& row : w_.dose().store().pending())
            if (row.id == recordId) record = row;
    } catch (const Error& e) {
        op().message("The exposure records cannot be read: " + logged(e, SelectedLocation), {}, MsgIcon::Critical);
        return;
    }
    if (!record) {
        doseList.clearCurrentExposure();
        op().message("The selected exposure record has been used or deleted meanwhile.\r\nPlease select the record "
                     "of this image again.",
                     {}, MsgIcon::Exclamation);
        return;
    }
    auto& ctx = stationContext();
    const std::string patientName = ctx.selection.patientName;
    const std::string uid = image->sopInstanceUid();
    std::int64_t imageId = 0;
    int position = 0;
    for (int i = 1; i <= w_.lvImages()->count(); ++i)
        if (w_.lvImages()->itemAtPosition(i)->text(3).toStdString() == uid) {
            imageId = w_.lvImages()->itemAtPosition(i)->text(0).toLongLong();
            position = i;
        }
    dose::ForwardingSource source = dose::readForForwarding({{uid, imageId, image->file()}});
    if (!source.unreadable.isEmpty()) {
        op().message(source.unreadable.join("\r\n") + "\r\nNothing was converted or sent.", {},
                     MsgIcon::Exclamation);
        return;
    }
    // The operator chose the pair; she sees it, and a projection that differs, first.
    const dose::Projection imageProjection = source.planned.front().projection.projection;
    const dose::Projection recordProjection = dose::recordProjection(record->sonstiges, xrayType);
    QString question = QStringLiteral("Forward image %1 (%2) with the exposure record %3 %4, %5 kV, %6 mAs, %7?")
                           .arg(position)
                           .arg(imageProjection.key(), record->datum, record->zeit, record->kvp, record->ma,
                                dose::doseText(record->mGy));
    if (recordProjection.known() && imageProjection.known() && !(recordProjection == imageProjection))
        question += "\r\nThe record names " + recordProjection.key() + ", the image " + imageProjection.key() + ".";
    if (op().message(question, {}, MsgIcon::Question, MsgButtons::YesNo) != MsgResult::Yes) return;
    if (!destinationAnswers()) return;
    std::vector<dose::ConvertedImage> converted;
    {
        RefreshLockGuard lock;
        emptyWorkFolder();
        try {
            converted.push_back(
                dose::convertWithRecord(*source.image(uid), imageId, *record, xrayType, ctx.paths.workFolder));
        } catch (const Error& e) {
            op().message(logged(e, "ModifyImage") + "\r\nNothing was sent.", {}, MsgIcon::Critical);
            return;
        }
    }
    forward(converted, source, patientName, std::move(*jobLock));
}

dose::DoseReportSetup JobCommands::doseReportSetup(const std::string& studyUid, int xrayType,
                                                  const jobs::Destination& d, bool keep,
                                                  const std::string& patientId) const {
    dose::DoseReportSetup setup;
    setup.paths = stationContext().paths;
    setup.studyUid = studyUid;
    setup.patientId = patientId;
    setup.xrayType = xrayType;
    setup.settings = dose::doseReportSettings(xrayType);
    setup.settings.softwareVersions = CORVA_PROJECT_VERSION;
    try {
        setup.destination = {d.aet, d.ip, jobs::portNumber(d.port), d.callingAe, jobs::dimseTimeout(d), d.tls};
    } catch (const Error&) {
        // A port that is no number: the report's send fails and it stays in the station.
    }
    // Without its own commitment the report stays where the archive's word on it is not final.
    setup.keep = keep || d.commitment;
    return setup;
}

void JobCommands::forward(const std::vector<dose::ConvertedImage>& converted, const dose::ForwardingSource& source,
                          const std::string& patientName, JobLock jobLock) {
    if (!confirmUndoneTasks()) {
        // Not sent: the converted copies must not wait to be sent some other way.
        for (const dose::ConvertedImage& c : converted) {
            std::error_code ec;
            std::filesystem::remove(c.file, ec);
        }
        return;
    }
    auto& ctx = stationContext();
    jobs::ForwardSetup setup;
    setup.paths = ctx.paths;
    setup.destination = current_;
    setup.keep = settings::current().sentAndKeep != 0;
    setup.patientName = patientName;
    for (const dose::ConvertedImage& c : converted)
        setup.images.push_back({c.sopInstanceUid, c.imageId, c.recordId, source.identity(c.sopInstanceUid), c.doseUse});
    // After the images: the study's dose report, from the records now used for them.
    if (!converted.empty()) {
        const int xrayType = settings::current().xrayComm;
        // Before them: the report a killed forwarding of the study owes, as the instance it was.
        setup.owedReportsFirst = [owed = doseReportSetup(converted.front().doseUse.studyUid, xrayType,
                                                         setup.destination, setup.keep, "")](jobs::JobReport& log) {
            std::vector<std::string> patients;
            try {
                db::Database db(owed.paths.imageDb);
                patients = db::patientsOwedDoseReport(db, owed.studyUid);
            } catch (const std::exception&) {
                logCaught("MainForm Forwarding");
            }
            for (const std::string& patientId : patients) {
                dose::DoseReportSetup one = owed;
                one.patientId = patientId;
                dose::DoseReportJob(std::move(one)).run(log);
            }
        };
        setup.afterRecordsUsed = [report = doseReportSetup(converted.front().doseUse.studyUid, xrayType, setup.destination,
                                                           setup.keep,
                                                           converted.front().doseUse.patientId)](jobs::JobReport& log) {
            return dose::DoseReportJob(report).run(log);
        };
    }
    auto job = std::make_shared<jobs::ForwardJob>(std::move(setup), nullptr);
    jobs::runJobWindow(JobKind::SendPatient, job, &w_, std::move(jobLock));
    ctx.removedAfterSend = job->patientRemoved();
    // The records the destination now holds leave the dose list (the current exposure with them).
    w_.dose().refreshDoseList();
    if (job->patientRemoved()) {
        // Its last images went with the send: the patient is gone from the database already.
        clearRemovedPatient();
        w_.RefreshPatientList();
    } else if (!job->removedImages().empty()) {
        w_.reloadLoadedStudy();
    }
}

void JobCommands::send_Click() {
    if (!w_.lvPatients()->selectedItem()) {
        op().message("Please select a patient from the list!", {}, MsgIcon::Information);
        return;
    }
    sendToDefaultDestination();
}

bool JobCommands::defaultDestinationReady() {
    UpdateSendToEntries();
    const DestinationAddress& target = configState().defaultDestination;
    if (target.empty()) {
        op().message("No default SCP configured!", {}, MsgIcon::Information);
        return false;
    }
    current_ = jobs::Destination{target.aet, target.ip, target.port, settings::current().irAet};
    current_.tls = target.tls;
    if (current_.aet.empty() || current_.ip.empty() || current_.port.empty()) {
        op().message(QString::fromStdString("Incomplete Storage Class Provider values!\r\nAET: " + current_.aet +
                                            "\r\nIP: " + current_.ip + "\r\nPort: " + current_.port));
        return false;
    }
    auto& s = settings::current();
    s.scpAet = current_.aet;
    s.scpIp = current_.ip;
    s.scpPort = current_.port;
    return SCPOnline();
}

void JobCommands::sendToDefaultDestination() {
    if (defaultDestinationReady()) SendPatient();
}

// ---- deleting --------------------------------------------------------------------

void JobCommands::PopupDeleteImage_Click() {
    if (op().message("Delete image?", {}, MsgIcon::None, MsgButtons::YesNo) != MsgResult::Yes) return;
    catchAtEdge("MainForm PopupDeleteImage_Click", true, [&] {
        const std::shared_ptr<LoadedImage> current = w_.CurrentImage();
        if (!current) throw Error(errc::NotFound, "No image selected");
        // The image on screen, by its row: never what a list happens to have selected.
        const std::string uid = current->sopInstanceUid();
        std::int64_t imageId = 0;
        for (int i = 1; i <= w_.lvImages()->count(); ++i)
            if (w_.lvImages()->itemAtPosition(i)->text(3).toStdString() == uid)
                imageId = w_.lvImages()->itemAtPosition(i)->text(0).toLongLong();
        if (imageId == 0) throw Error(errc::NotFound, "The image " + uid + " is not in the image list");
        auto& ctx = stationContext();
        const JobLock lock = JobLock::tryAcquire(ctx.paths.dataFolder);
        if (!lock.held()) {
            op().message(jobs::jobLockRefusal(lock), {}, MsgIcon::Information);
            return;
        }
        db::Removal removal;
        {
            OpenedDb db(ctx.dataDb);
            db::ImageIndex index(db.db(), ctx.paths.imageStore);
            removal = index.removeImages({imageId});
            for (const std::filesystem::path& left : index.removeFiles(removal))
                corva::log::LogError(errc::Generic, "Could not remove " + left.string(),
                                     "MainForm PopupDeleteImage_Click");
        }
        w_.forgetCurrentImage();
        if (!removal.studies.empty()) {
            // Its last image: the study (and a patient left empty) went with it.
            for (const std::int64_t study : removal.studies) removeEntryByText(w_.lvStudien(), QString::number(study));
            w_.ResetView(false);
            loadedImageSet().clear();
            w_.lvImages()->clear();
            w_.lvSerien()->clear();
            w_.browser()->hideSeries();
            if (!removal.patients.empty()) {
                clearRemovedPatient();
                for (int i = w_.lvPatients()->count(); i >= 1; --i) {
                    const auto key = ListView::tag(w_.lvPatients()->itemAtPosition(i)).toLongLong();
                    if (std::find(removal.patients.begin(), removal.patients.end(), key) != removal.patients.end())
                        removeEntry(w_.lvPatients(), i);
                }
            }
            return;
        }
        // The viewer and the loaded set keep every other image, in their order.
        std::vector<std::shared_ptr<LoadedImage>> others;
        for (int pos = 1; pos <= w_.dv1()->count(); ++pos)
            if (w_.dv1()->image(pos)->sopInstanceUid() != uid) others.push_back(w_.dv1()->image(pos));
        w_.clearViewer();
        for (const auto& image : others) w_.addToViewer(image);
        auto& set = loadedImageSet();
        set.erase(std::remove_if(set.begin(), set.end(), [&](const auto& i) { return i && i->sopInstanceUid() == uid; }),
                  set.end());
        for (int i = w_.lvImages()->count(); i >= 1; --i)
            if (w_.lvImages()->itemAtPosition(i)->text(3).toStdString() == uid) removeEntry(w_.lvImages(), i);
        w_.InitScrollbar();
        w_.lvHeader()->clear();
        w_.setPanelText(3, {});
        w_.setPanelText(4, QString::number(w_.dv1()->count()) + " image(s)");
        if (!removal.series.empty()) {
            // The last image of a series: the series list loses it.
            for (int i = w_.lvSerien()->count(); i >= 1; --i) {
                const auto key = ListView::tag(w_.lvSerien()->itemAtPosition(i)).toLongLong();
                if (std::find(removal.series.begin(), removal.series.end(), key) != removal.series.end())
                    removeEntry(w_.lvSerien(), i);
            }
        }
    });
}

void JobCommands::removeEntryByText(ListView* list, const QString& text) {
    for (int i = list->count(); i >= 1; --i)
        if (list->itemAtPosition(i)->text(0) == text) removeEntry(list, i);
}

// One question naming what goes, before anything changes; "No" changes nothing.
bool JobCommands::confirmDelete(const QString& what) {
    return op().message("Delete " + what + "?\r\nIts images are removed from this station.", {}, MsgIcon::Question,
                        MsgButtons::YesNo) == MsgResult::Yes;
}

QString JobCommands::patientText() const {
    QTreeWidgetItem* patient = w_.lvPatients()->selectedItem();
    if (!patient) return "the patient";
    return "patient " + patient->text(1) + " (ID " + patient->text(0) + ")";
}

QString JobCommands::studyText() const {
    QTreeWidgetItem* study = w_.lvStudien()->selectedItem();
    if (!study) return "the study";
    return "the study of " + study->text(1) + " " + study->text(2) + " (" + study->text(3) + ")";
}

void JobCommands::PopUpPatient_Delete_Click() {
    if (!w_.lvPatients()->selectedItem()) {
        op().message("Please select a patient from the list!", {}, MsgIcon::Information);
        return;
    }
    if (!confirmDelete(patientText() + " with all studies")) return;
    deletePatient();
}

void JobCommands::deletePatient() {
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
    if (!studies->selectedItem()) return;
    const bool lastStudy = studies->count() == 1;
    if (!confirmDelete(studyText() + " of " + patientText() +
                       (lastStudy ? ", the patient's only study: the patient goes with it" : QString())))
        return;
    deleteStudy();
}

void JobCommands::deleteStudy() {
    ListView* studies = w_.lvStudien();
    // The list may be older than the database: its only study takes the patient along
    // only when, once the study is gone, nothing else of the patient is left.
    const bool onlyStudy = studies->count() == 1;
    takeSelectedStudy();
    w_.ResetView(onlyStudy);
    loadedImageSet().clear();
    auto job = std::make_shared<jobs::DeleteJob>(
        onlyStudy ? jobs::DeleteJob::Level::StudyAndEmptyPatient : jobs::DeleteJob::Level::Study,
        jobs::JobTarget::current());
    jobs::runJobWindow(onlyStudy ? JobKind::DeletePatient : JobKind::DeleteStudy, job, &w_);
    afterStudyRemoval(*job);
}

void JobCommands::afterStudyRemoval(const jobs::DeleteJob& job) {
    const auto& sel = stationContext().selection;
    if (job.patientRemoved()) {
        clearRemovedPatient();
        removeEntry(w_.lvPatients(), sel.patientIndex);
        w_.lvDosis()->clear();
        return;
    }
    if (job.studyRemoved()) {
        removeEntry(w_.lvStudien(), sel.studyIndex);
        w_.lvSerien()->clear();
        w_.browser()->hideSeries();
    }
    w_.lvStudien()->clearSelection();
}

void JobCommands::PopUpSerie_Delete_Click() {
    ListView* series = w_.lvSerien();
    QTreeWidgetItem* chosen = series->selectedItem();
    if (!chosen || ListView::tag(chosen).toString() == "back") return;
    const bool lastSeries = series->count() == 2;  // ".." and this one
    if (!confirmDelete("series " + chosen->text(0) + " of " + studyText() + " of " + patientText() +
                       (lastSeries ? ", the study's only series: the study goes with it" : QString())))
        return;
    deleteSeries();
}

void JobCommands::deleteSeries() {
    ListView* series = w_.lvSerien();
    // Also the list's only series is deleted as a series: its study and patient go along
    // only when nothing else is left in them, whatever was filed since the list was shown.
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
    afterStudyRemoval(*job);
}

}  // namespace corva::station
