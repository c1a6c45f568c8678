#include "browser/patient_refresh.h"

#include "common/edge.h"

#include "core/error.h"
#include "log/error_log.h"
#include "common/station_context.h"

namespace corva::station {

RefreshStep decideRefresh(bool locked, bool timerTick, int receiveCount) {
    if (locked) return RefreshStep::Locked;
    if (receiveCount == 0 && timerTick) return RefreshStep::Unchanged;
    return RefreshStep::Reload;
}

RefreshResult refreshPatients(StationContext& g, RefreshCause cause) {
    RefreshResult result;
    if (g.refreshLock) {
        result.step = RefreshStep::Locked;
        return result;
    }
    const bool ok = catchAtEdge("MainForm_RefreshPatientList", false, [&] {
        OpenedDb db(g.dataDb);
        BrowserQueries q(db.db());
        result.step = decideRefresh(false, cause == RefreshCause::TimerTick, q.receiveCount());
        if (result.step == RefreshStep::Reload) {
            q.clearReceive();
            result.patients = q.patients();
        }
    });
    if (!ok) result = {};
    return result;
}

}  // namespace corva::station
