#pragma once
// The main window's commands that run jobs in the job window: deleting a series, study,
// patient or everything from the browser's popups, the send-to menus built from
// tblSCP, the destination check and the send routines SendPatient, SendStudy and
// SendSeries with the list updates after them. Lives as a child of the main window.
#include <QObject>
#include <memory>
#include <string>

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

    // The forwarding commands: convert the image list's images ("Automatic") or the
    // current image ("Manually") into the work folder and send the patient to the default
    // destination. The forwarding mode they set lasts for this one forwarding.
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
    enum class Level { Patient, Study, Series };
    void sendToChosen(Level level, const QString& tag);
    bool confirmUndoneTasks();
    void emptyWorkFolder();
    void sendToDefaultDestination();
    jobs::SendSetup sendSetup() const;
    void takeSelectedStudy();
    void removeEntry(class ListView* list, int position);
    void fillMenu(QMenu* menu, const QString& prefix, Level level, const std::vector<std::pair<QString, QString>>& rows);

    MainForm& w_;
    jobs::Destination current_;
    std::unique_ptr<dicom::Association> association_;  // opened by SCPOnline, handed to the job
};

}  // namespace corva::station
