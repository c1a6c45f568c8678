#pragma once
// The patient-list refresh without its widget: the lock, the poll flag and the
// receive table decide whether the list is reloaded.
#include <vector>

#include "browser/browser_queries.h"

namespace corva::station {

struct StationContext;

enum class RefreshStep {
    Locked,     // a study loads or the job window is open: nothing happens, the poll flag stays
    Unchanged,  // a timer tick with nothing received
    Reload,     // the receive table is emptied and the list reloaded
};

// Under the lock nothing; a timer tick with an empty receive table changes nothing; any
// other call reloads.
RefreshStep decideRefresh(bool locked, bool timerTick, int receiveCount);

// Who asks: the refresh timer reloads only when something arrived; the operator, a job
// that ended or the window itself always reload.
enum class RefreshCause { TimerTick, Explicit };

struct RefreshResult {
    RefreshStep step = RefreshStep::Unchanged;
    std::vector<PatientRow> patients;  // filled for Reload
};

// Runs the database side of RefreshPatientList: counts tblReceive, empties it and reads
// the patients when a reload is due, and closes the image database connection; a
// database error is logged ("MainForm_RefreshPatientList") and gives Unchanged.
RefreshResult refreshPatients(StationContext& g, RefreshCause cause);

}  // namespace corva::station
