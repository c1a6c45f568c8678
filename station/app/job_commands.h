#pragma once
// The main window's commands that run jobs in the job window: deleting a series, study,
// patient or everything from the browser's popups, the send-to menus built from
// tblSCP, the destination check and the send routines SendPatient, SendStudy and
// SendSeries with the list updates after them. Lives as a child of the main window.
#include <QObject>
#include <memory>
#include <optional>
#include <string>

#include "common/job_lock.h"
#include "dose/dose_report_job.h"
#include "dose/forwarding_source.h"
#include "dose/planned_conversion.h"
#include "jobs/delete_jobs.h"
#include "jobs/send_jobs.h"

class QMenu;

namespace corva::station {

class MainForm;

class JobCommands : public QObject {
    Q_OBJECT
public:
    explicit JobCommands(MainForm& window);
    ~JobCommands() override;

    // Rebuilds the three "Send to" menus and the default destination from tblSCP.
    void UpdateSendToEntries();
    // The destination the next check uses.
    jobs::Destination& currentDestination() { return current_; }

    // Opens the association to the current destination; false (message shown) when not.
    bool SCPOnline();
    void SendPatient();
    void SendStudy();
    void SendSeries();

    // The forwarding commands: "Automatic" pairs every image of the image list with the
    // waiting record of its projection (or refuses and says why), "Manually" takes the
    // current image and the record the operator chose; after the operator confirmed the
    // pairs, the images are converted into the work folder and sent to the default
    // destination. Records are used up and images removed only for what it stored.
    void cmdAll_Click();
    // The toolbar's "Send Patient": the work folder as it is, to the default destination.
    void send_Click();
    void cmdSelected_Click();

    // "Delete" on the viewer's current image; its last image takes its series or study.
    void PopupDeleteImage_Click();
    void PopUpPatient_Delete_Click();
    void PopUpPatient_DeleteAll_Click();
    void PopUpStudie_Delete_Click();
    void PopUpSerie_Delete_Click();

private:
    // The deletes themselves, once the operator has said yes to one question.
    void deletePatient();
    void deleteStudy();
    void deleteSeries();
    // The lists after a study or series delete, by what the job removed.
    void afterStudyRemoval(const jobs::DeleteJob& job);
    bool confirmDelete(const QString& what);
    QString patientText() const;
    QString studyText() const;

    enum class Level { Patient, Study, Series };
    void sendToChosen(Level level, const QString& tag);
    bool confirmUndoneTasks();
    void emptyWorkFolder();
    void sendToDefaultDestination();
    // Checks the default destination and opens the association; false (message shown) when not.
    bool defaultDestinationReady();
    // The default destination accepts an association (message shown when not).
    bool destinationAnswers();
    // The job lock for a forwarding; nullopt (message shown) while another job holds it.
    std::optional<JobLock> takeJobLockForForwarding();
    // The lists and the viewer after a send removed the patient's last images.
    void clearRemovedPatient();
    // The dose report's part of a forwarding or of writing it again.
    dose::DoseReportSetup doseReportSetup(const std::string& studyUid, int xrayType, const jobs::Destination& d,
                                          bool keep,
                                          const std::string& patientId) const;
    void forward(const std::vector<dose::ConvertedImage>& converted, const dose::ForwardingSource& source,
                 const std::string& patientName, JobLock jobLock);
    jobs::SendSetup sendSetup() const;
    void takeSelectedStudy();
    void removeEntry(class ListView* list, int position);
    void removeEntryByText(class ListView* list, const QString& text);
    void fillMenu(QMenu* menu, const QString& prefix, Level level, const std::vector<std::pair<QString, QString>>& rows);

    MainForm& w_;
    jobs::Destination current_;
    std::unique_ptr<dicom::Association> association_;  // opened by SCPOnline, handed to the job
};

}  // namespace corva::station
