#include "common/storage_destinations.h"

#include <cstdlib>

#include "db/database.h"

namespace corva::station {

std::vector<StorageDestination> storageDestinations(db::Database& userDb) {
    std::vector<StorageDestination> rows;
    // A configuration database of an earlier version has no commitment column: off.
    const bool hasCommitment = userDb.hasColumn("tblSCP", "Commitment");
    auto st = userDb.prepare("SELECT * FROM tblSCP ORDER BY Alias");
    const auto text = [&](const char* column) { return st.isNull(column) ? std::string() : st.getText(column); };
    while (st.step()) {
        StorageDestination d;
        d.id = st.getInt("ID");
        d.alias = text("Alias");
        d.aet = text("AET");
        d.ip = text("IP");
        d.port = text("Port");
        d.isDefault = !st.isNull("Default") && std::llabs(st.getInt("Default")) == 1;
        d.tls = settings::readDestinationTls(d.id);
        d.commitment = hasCommitment && !st.isNull("Commitment") && st.getInt("Commitment") != 0;
        rows.push_back(std::move(d));
    }
    return rows;
}

bool asksForCommitment(db::Database& userDb, const std::string& aet, const std::string& ip, const std::string& port) {
    for (const StorageDestination& d : storageDestinations(userDb))
        if (d.commitment && d.aet == aet && d.ip == ip && d.port == port) return true;
    return false;
}

}  // namespace corva::station
