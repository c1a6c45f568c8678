#include "config/destinations.h"

#include "common/storage_destinations.h"
#include "config/options_model.h"
#include "db/database.h"
#include "db/schema.h"

namespace corva::config {

std::optional<QString> destinationProblem(const DestinationInput& input) {
    for (const QString* box : {&input.alias, &input.aet, &input.ip, &input.port})
        if (box->isEmpty()) return QStringLiteral("Please fill all text fields.");
    bool isNumber = false;
    input.port.trimmed().toDouble(&isNumber);
    if (!isNumber) return QStringLiteral("Not a valid port.");
    if (auto p = aeTitleProblem("AET", input.aet)) return p;
    return portProblem("Port", input.port);
}

std::vector<Destination> listDestinations(db::Database& db) {
    std::vector<Destination> rows;
    for (const station::StorageDestination& d : station::storageDestinations(db))
        rows.push_back({d.id, QString::fromStdString(d.alias), QString::fromStdString(d.aet),
                        QString::fromStdString(d.ip), QString::fromStdString(d.port), d.isDefault, d.commitment});
    return rows;
}

std::optional<QString> destinationTlsProblem(const settings::DestinationTls& tls) {
    if (!tls.use) return std::nullopt;
    if (tls.caFile.empty()) return QStringLiteral("TLS: give the CA file that checks the destination's certificate.");
    if (const std::string why = dicom::tlsClientProblem(*tls.files()); !why.empty())
        return QString("TLS: %1").arg(QString::fromStdString(why));
    return std::nullopt;
}

std::int64_t storeDestination(db::Database& db, std::optional<std::int64_t> id, const DestinationInput& input) {
    const std::string port = input.port.trimmed().toStdString();
    db::ensureDestinationCommitmentColumn(db);
    db::Transaction t(db);
    if (!id) {
        auto s = db.prepare("INSERT INTO tblSCP (Alias, AET, IP, Port) VALUES (?, ?, ?, ?)");
        s.bind(1, input.alias.toStdString()).bind(2, input.aet.toStdString()).bind(3, input.ip.toStdString());
        s.bind(4, static_cast<std::int64_t>(std::stoll(port)));
        s.run();
        id = db.lastInsertRowId();
    } else {
        auto s = db.prepare("UPDATE tblSCP SET Alias = ?, AET = ?, IP = ?, Port = ? WHERE ID = ?");
        s.bind(1, input.alias.toStdString()).bind(2, input.aet.toStdString()).bind(3, input.ip.toStdString());
        s.bind(4, static_cast<std::int64_t>(std::stoll(port))).bind(5, *id);
        s.run();
    }
    db.prepare("UPDATE tblSCP SET \"Commitment\" = ? WHERE ID = ?")
        .bind(1, input.commitment ? db::Yes : db::No)
        .bind(2, *id)
        .run();
    t.commit();
    return *id;
}

void deleteDestination(db::Database& db, std::int64_t id) {
    db.prepare("DELETE FROM tblSCP WHERE ID = ?").bind(1, id).run();
    settings::removeDestinationTls(id);
}

void setDefaultDestination(db::Database& db, std::int64_t id) {
    db::Transaction t(db);
    db.exec("UPDATE tblSCP SET \"Default\" = 0");
    db.prepare("UPDATE tblSCP SET \"Default\" = 1 WHERE ID = ?").bind(1, id).run();
    t.commit();
}

}  // namespace corva::config
