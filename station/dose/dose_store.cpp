#include "dose/dose_store.h"

#include <array>
#include <optional>
#include <string>

#include "core/error.h"
#include "db/database.h"

namespace corva::dose {
namespace {

// Positions of the columns in tblDosis; the table's column order is part of its format.
enum Column { ID = 0, KVP, Ma, Zeit, Dicke, MGy, Druck, Datum, Sonstiges, Status, ExpZeit, ColumnCount };

db::Database open(const std::filesystem::path& file) {
    std::error_code ec;
    if (!std::filesystem::exists(file, ec))
        throw Error(errc::NotFound, "Image database not found: " + file.string(), "DoseStore");
    return db::Database(file);
}

QString text(const db::Statement& st, int col) {
    return st.isNull(col) ? QString() : QString::fromStdString(st.getText(col));
}

QString quotedName(const std::string& name) {
    QString q = QString::fromStdString(name);
    q.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + q + QLatin1Char('"');
}

}  // namespace

namespace {

constexpr const char* NameColumn = "PatientName";

// The unit's name for the patient is kept beside the record's own columns, added to
// databases made before it was kept.
void ensureNameColumn(db::Database& db) {
    if (db.hasColumn("tblDosis", NameColumn)) return;
    try {
        db.exec(std::string("ALTER TABLE tblDosis ADD ") + NameColumn + " TEXT COLLATE NOCASE");
    } catch (const Error&) {
        if (!db.hasColumn("tblDosis", NameColumn)) throw;  // another program added it first
    }
}

}  // namespace

std::int64_t DoseStore::insert(const ExposureRecord& r) const {
    db::Database db = open(file_);
    if (!r.patientName.isEmpty()) ensureNameColumn(db);
    // The names of the columns at their positions, as the table itself has them.
    std::array<std::string, ColumnCount> names;
    {
        db::Statement probe = db.prepare("SELECT * FROM tblDosis LIMIT 0");
        if (probe.columnCount() < ColumnCount)
            throw Error(errc::Database, "tblDosis has fewer than 11 columns", "DoseStore");
        for (int i = 0; i < ColumnCount; ++i) names[static_cast<std::size_t>(i)] = probe.columnName(i);
    }
    // The columns the record sets, with a text or a whole number each.
    struct Bound {
        int column;
        std::string text;
        std::optional<std::int64_t> number;
    };
    std::vector<Bound> values{{KVP, r.kvp.toStdString(), {}},
                              {Ma, r.ma.toStdString(), {}},
                              {Zeit, r.zeit.toStdString(), {}}};
    if (r.dicke) values.push_back({Dicke, {}, *r.dicke});
    values.push_back({MGy, r.mGy.toStdString(), {}});
    if (r.druck) values.push_back({Druck, {}, *r.druck});
    values.push_back({Datum, r.datum.toStdString(), {}});
    values.push_back({Sonstiges, r.sonstiges.toStdString(), {}});
    values.push_back({Status, StatusPending, {}});
    if (r.expZeit) values.push_back({ExpZeit, r.expZeit->toStdString(), {}});
    const bool withName = !r.patientName.isEmpty();

    QString columns, marks;
    for (const Bound& b : values) {
        if (!columns.isEmpty()) {
            columns += QStringLiteral(", ");
            marks += QStringLiteral(", ");
        }
        columns += quotedName(names[static_cast<std::size_t>(b.column)]);
        marks += QLatin1Char('?');
    }
    if (withName) {
        columns += QStringLiteral(", ") + QLatin1String(NameColumn);
        marks += QStringLiteral(", ?");
    }
    db::Statement st = db.prepare(("INSERT INTO tblDosis (" + columns + ") VALUES (" + marks + ")").toStdString());
    int index = 1;
    for (const Bound& b : values) {
        if (b.number)
            st.bind(index++, *b.number);
        else
            st.bind(index++, b.text);
    }
    if (withName) st.bind(index++, r.patientName.toStdString());
    st.run();
    return db.lastInsertRowId();
}

namespace {

std::vector<DoseRow> readRows(db::Statement& st) {
    const int nameColumn = st.columnIndex(NameColumn);
    std::vector<DoseRow> rows;
    while (st.step()) {
        DoseRow row;
        row.id = st.getInt(ID);
        row.kvp = text(st, KVP);
        row.ma = text(st, Ma);
        row.zeit = text(st, Zeit);
        row.dicke = text(st, Dicke);
        row.mGy = text(st, MGy);
        row.druck = text(st, Druck);
        row.datum = text(st, Datum);
        row.sonstiges = text(st, Sonstiges);
        row.expZeit = text(st, ExpZeit);
        if (nameColumn >= 0) row.patientName = text(st, nameColumn);
        rows.push_back(std::move(row));
    }
    return rows;
}

}  // namespace

std::vector<DoseRow> DoseStore::pending() const {
    db::Database db = open(file_);
    db::Statement st = db.prepare("SELECT * FROM tblDosis where Status <> '1'");
    return readRows(st);
}

std::vector<DoseRow> DoseStore::records(const std::vector<std::int64_t>& ids) const {
    db::Database db = open(file_);
    db::Statement st = db.prepare("SELECT * FROM tblDosis WHERE ID = ?");
    std::vector<DoseRow> rows;
    for (std::int64_t id : ids) {
        st.reset();
        st.bind(1, id);
        for (DoseRow& row : readRows(st)) rows.push_back(std::move(row));
    }
    return rows;
}

void DoseStore::markAssigned(std::int64_t id) const {
    db::Database db = open(file_);
    db.prepare("Update tblDosis Set Status = '1' Where ID = ?").bind(1, id).run();
}

bool DoseStore::setFree(std::int64_t id) const {
    db::Database db = open(file_);
    return db.prepare("Update tblDosis Set Status = '0' Where ID = ?").bind(1, id).run() > 0;
}

void DoseStore::deleteAll() const {
    db::Database db = open(file_);
    db.exec("Delete FROM tblDosis");
}

void DoseStore::deletePending(const std::vector<std::int64_t>& ids) const {
    db::Database db = open(file_);
    db::Transaction tx(db);
    // A record used meanwhile has become history: it stays.
    db::Statement st = db.prepare("DELETE FROM tblDosis WHERE ID = ? AND Status <> '1'");
    for (std::int64_t id : ids) {
        st.reset();
        st.bind(1, id);
        st.run();
    }
    tx.commit();
}

std::vector<HistoryRow> DoseStore::assignedOn(const QString& datum) const {
    db::Database db = open(file_);
    db::Statement st = db.prepare("Select ID, Datum, Zeit, Sonstiges from tblDosis where Datum = ? and Status = '1'");
    st.bind(1, datum.toStdString());
    std::vector<HistoryRow> rows;
    while (st.step()) rows.push_back({st.getInt(0), text(st, 1), text(st, 2), text(st, 3)});
    return rows;
}

}  // namespace corva::dose
