#pragma once
// The storage destinations of the configuration database (tblSCP), as the send-to menus,
// the options window and corvactl's --to read them.
#include <cstdint>
#include <string>
#include <vector>

#include "settings/tls_settings.h"

namespace corva::db {
class Database;
}

namespace corva::station {

struct StorageDestination {
    std::int64_t id = 0;
    std::string alias;
    std::string aet;
    std::string ip;
    std::string port;
    bool isDefault = false;  // |Default| = 1
    settings::DestinationTls tls;  // from the settings store, by the row's ID
    bool commitment = false;  // ask for storage commitment after a send
};

// "SELECT * FROM tblSCP ORDER BY Alias"; absent values are empty texts.
std::vector<StorageDestination> storageDestinations(db::Database& userDb);

// Whether the destination list asks this AE title, address and port for storage
// commitment (a destination not in the list does not).
bool asksForCommitment(db::Database& userDb, const std::string& aet, const std::string& ip, const std::string& port);

}  // namespace corva::station
