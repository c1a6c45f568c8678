#pragma once
// The storage destinations, rows of tblSCP in the configuration database. Throws
// corva::Error on a database failure; callers report it at their edge.
#include <QString>
#include <cstdint>
#include <optional>
#include <vector>

#include "settings/tls_settings.h"

namespace corva::db {
class Database;
}

namespace corva::config {

struct Destination {
    std::int64_t id = 0;
    QString alias;
    QString aet;
    QString ip;
    QString port;
    bool isDefault = false;  // absolute value of Default is 1
    bool commitment = false;  // "Ask for storage commitment"
};

// What the destination dialog's four boxes hold.
struct DestinationInput {
    QString alias;
    QString aet;
    QString ip;
    QString port;
    bool commitment = false;  // the check box "Ask for storage commitment"
};

// The message the dialog shows for `input`, nullopt when it may be stored: an empty box
// gives "Please fill all text fields.", a port that is not a number "Not a valid port.",
// a port outside 1..65535 or an AE title the network refuses names the field.
std::optional<QString> destinationProblem(const DestinationInput& input);

// The message the dialog shows for the TLS choice, nullopt when it may be stored: TLS
// needs a CA file to check the destination; a client certificate needs its key, and the
// files must serve (a key open to every user is refused).
std::optional<QString> destinationTlsProblem(const settings::DestinationTls& tls);

// "SELECT * FROM tblSCP ORDER BY Alias", with the texts the window shows.
std::vector<Destination> listDestinations(db::Database& db);
// Adds a row (id empty; Default is left to the database) or changes the row `id`.
// Returns the row's ID.
std::int64_t storeDestination(db::Database& db, std::optional<std::int64_t> id, const DestinationInput& input);
// Deletes the row and forgets its TLS values.
void deleteDestination(db::Database& db, std::int64_t id);
// Makes `id` the one default row.
void setDefaultDestination(db::Database& db, std::int64_t id);

}  // namespace corva::config
