#pragma once
// The dose history window "Reload Dosis": the assigned exposure records of the day
// chosen in the calendar; "Set Free" returns the selected one to the dose list.
#include <QDialog>

#include "dose/dose_store.h"

class QCalendarWidget;
class QPushButton;
class QTreeWidget;

namespace corva::dose {

// Told when a job holds the job lock: the dose list and history change nothing meanwhile.
QString recordsBusyMessage();

class DosisForm : public QDialog {
    Q_OBJECT
public:
    DosisForm(const DoseStore& store, QWidget* mainWindow = nullptr);

    // Fills the list for the calendar's date.
    void DosisListFill();
    // "Set Free": the selected record becomes pending again.
    void updateDosisDB();

    QCalendarWidget* calendar() const { return monthView_; }
    QTreeWidget* list() const { return list_; }

private:
    const DoseStore& store_;
    QCalendarWidget* monthView_;
    QTreeWidget* list_;
    QPushButton* cmdFree_;
    QPushButton* cmdClose_;
};

}  // namespace corva::dose
