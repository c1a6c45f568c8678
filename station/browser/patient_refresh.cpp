#include "browser/patient_refresh.h"

#include "common/edge.h"

#include "core/error.h"
#include "log/error_log.h"
#include "common/station_context.h"

namespace corva::station {

RefreshStep decideRefresh(bool locked, bool pollFlag, int receiveCount) {
    if (locked) return RefreshStep::Locked;
    if (receiveCount == 0 && pollFlag) return RefreshStep::Unchanged;
    return RefreshStep::Reload;
}

RefreshResult refreshPatients(StationContext& g) {
    RefreshResult result;
    if (g.refreshLock) {
        result.step = RefreshStep::Locked;
        return result;
    }
    const bool ok = catchAtEdge("MainForm_RefreshPatientList", false, [&] {
        OpenedDb db(g.dataDb);
        BrowserQueries q(db.db());
        result.step = decideRefresh(false, g.pollFlag, q.receiveCount());
        if (result.step == RefreshStep::Reload) {
            q.clearReceive();
            result.patients = q.patients();
        }
    });
    if (!ok) result = {};
    g.pollFlag = false;
    return result;
}

}  // namespace corva::station
