#include "config/destinations.h"

#include "config/options_model.h"
#include "db/database.h"

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
    auto s = db.prepare("SELECT * FROM tblSCP ORDER BY Alias");
    while (s.step()) {
        try {
            Destination d;
            d.id = s.getInt("ID");
            d.alias = QString::fromStdString(s.getText("Alias"));
            d.aet = QString::fromStdString(s.getText("AET"));
            d.ip = QString::fromStdString(s.getText("IP"));
            d.port = QString::fromStdString(s.getText("Port"));
            d.isDefault = !s.isNull("Default") && (s.getInt("Default") == 1 || s.getInt("Default") == -1);
            rows.push_back(std::move(d));
        } catch (...) {
            // a row that cannot be read is skipped; the next one follows
        }
    }
    return rows;
}

void storeDestination(db::Database& db, std::optional<std::int64_t> id, const DestinationInput& input) {
    const std::string port = input.port.trimmed().toStdString();
    if (!id) {
        auto s = db.prepare("INSERT INTO tblSCP (Alias, AET, IP, Port) VALUES (?, ?, ?, ?)");
        s.bind(1, input.alias.toStdString()).bind(2, input.aet.toStdString()).bind(3, input.ip.toStdString());
        s.bind(4, static_cast<std::int64_t>(std::stoll(port)));
        s.run();
        return;
    }
    auto s = db.prepare("UPDATE tblSCP SET Alias = ?, AET = ?, IP = ?, Port = ? WHERE ID = ?");
    s.bind(1, input.alias.toStdString()).bind(2, input.aet.toStdString()).bind(3, input.ip.toStdString());
    s.bind(4, static_cast<std::int64_t>(std::stoll(port))).bind(5, *id);
    s.run();
}

void deleteDestination(db::Database& db, std::int64_t id) {
    db.prepare("DELETE FROM tblSCP WHERE ID = ?").bind(1, id).run();
}

void setDefaultDestination(db::Database& db, std::int64_t id) {
    db::Transaction t(db);
    db.exec("UPDATE tblSCP SET \"Default\" = 0");
    db.prepare("UPDATE tblSCP SET \"Default\" = 1 WHERE ID = ?").bind(1, id).run();
    t.commit();
}

}  // namespace corva::config
