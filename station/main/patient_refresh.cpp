#include "main/patient_refresh.h"

#include "core/error.h"
#include "log/error_log.h"
#include "main/station_globals.h"

namespace corva::station {

RefreshStep decideRefresh(bool locked, bool pollFlag, int receiveCount) {
    if (locked) return RefreshStep::Locked;
    if (receiveCount == 0 && pollFlag) return RefreshStep::Unchanged;
    return RefreshStep::Reload;
}

RefreshResult refreshPatients(StationGlobals& g) {
    RefreshResult result;
    if (g.refreshLock) {
        result.step = RefreshStep::Locked;
        return result;
    }
    try {
        OpenedDb db(g.dataDb);
        BrowserQueries q(db.db());
        result.step = decideRefresh(false, g.pollFlag, q.receiveCount());
        if (result.step == RefreshStep::Reload) {
            q.clearReceive();
            result.patients = q.patients();
        }
    } catch (const Error& e) {
        log::LogError(e.code(), e.message(), "MainForm_RefreshPatientList");
        result = {};
    } catch (const std::exception& e) {
        log::LogError(errc::Generic, e.what(), "MainForm_RefreshPatientList");
        result = {};
    }
    g.pollFlag = false;
    return result;
}

}  // namespace corva::station
