#include "config/filters.h"

#include <QRegularExpression>

#include "core/error.h"
#include "db/database.h"
#include "db/schema.h"

namespace corva::config {

namespace {

// The filter's column, quoted, after the name was found usable as a column name.
std::string column(const QString& filter) {
    const std::string name = filter.toStdString();
    if (!db::isValidIdentifier(name))
        throw Error(errc::InvalidName, "\"" + name + "\" cannot be used as a filter name.", "filter column");
    return "\"" + name + "\"";
}

std::vector<DictionaryEntry> entries(db::Statement& s) {
    std::vector<DictionaryEntry> rows;
    while (s.step()) {
        DictionaryEntry e;
        e.index = s.getInt(0);
        e.tag = QString::fromStdString(s.getText(1));
        e.description = QString::fromStdString(s.getText(2));
        rows.push_back(std::move(e));
    }
    return rows;
}

}  // namespace

std::vector<QString> filterNames(db::Database& db) {
    std::vector<QString> names;
    auto s = db.prepare("SELECT Modality FROM tblModality ORDER BY Modality");
    while (s.step()) names.push_back(QString::fromStdString(s.getText(0)));
    return names;
}

std::vector<DictionaryEntry> tagsOfFilter(db::Database& db, const QString& filter) {
    auto s = db.prepare("SELECT \"Index\", Tag, Description FROM tblDictionary WHERE " + column(filter) + " = -1");
    return entries(s);
}

std::vector<DictionaryEntry> tagsOfferedFor(db::Database& db, const QString& filter) {
    auto s = db.prepare("SELECT \"Index\", Tag, Description FROM tblDictionary WHERE " + column(filter) +
                        " = 0 AND Visible = -1");
    return entries(s);
}

bool createFilter(db::Database& db, const QString& name) {
    auto count = db.prepare("SELECT COUNT(Modality) AS ModCount FROM tblModality WHERE Modality = ?");
    count.bind(1, name.toStdString());
    if (count.step() && count.getInt(0) != 0) return false;
    count.reset();
    // The column first: a name it refuses leaves no tblModality row behind.
    db::addFilterColumn(db, name.toStdString());
    try {
        db.prepare("INSERT INTO tblModality (Modality) VALUES (?)").bind(1, name.toStdString()).run();
    } catch (...) {
        db::dropFilterColumn(db, name.toStdString());
        throw;
    }
    return true;
}

void deleteFilter(db::Database& db, const QString& name) {
    const std::string n = name.toStdString();
    db.prepare("DELETE FROM tblModality WHERE Modality = ?").bind(1, n).run();
    if (db::isValidIdentifier(n) && db.hasColumn("tblDictionary", n)) db::dropFilterColumn(db, n);
}

void addTagsToFilter(db::Database& db, const QString& filter, const std::vector<QString>& tags) {
    auto s = db.prepare("UPDATE tblDictionary SET " + column(filter) + " = -1 WHERE Tag = ?");
    for (const QString& tag : tags) {
        try {
            s.reset();
            s.bind(1, tag.toStdString());
            s.run();
        } catch (...) {
            // one attribute that cannot be set does not keep the others out
        }
    }
}

void removeTagsFromFilter(db::Database& db, const QString& filter, const std::vector<std::int64_t>& indexes) {
    auto s = db.prepare("UPDATE tblDictionary SET " + column(filter) + " = 0 WHERE \"Index\" = ?");
    for (const std::int64_t index : indexes) {
        s.reset();
        s.bind(1, index);
        s.run();
    }
}

std::vector<DictionaryEntry> dictionary(db::Database& db) {
    std::vector<DictionaryEntry> rows;
    auto s = db.prepare("SELECT \"Index\", Tag, Type, Description, Visible FROM tblDictionary ORDER BY Tag");
    while (s.step()) {
        DictionaryEntry e;
        e.index = s.getInt(0);
        e.tag = QString::fromStdString(s.getText(1));
        e.type = QString::fromStdString(s.getText(2));
        e.description = QString::fromStdString(s.getText(3));
        e.visible = !s.isNull(4) && s.getInt(4) != 0;
        rows.push_back(std::move(e));
    }
    return rows;
}

void setVisible(db::Database& db, std::int64_t index, bool visible) {
    db.prepare("UPDATE tblDictionary SET Visible = ? WHERE \"Index\" = ?").bind(1, visible ? db::Yes : db::No).bind(2, index).run();
}

void deleteDictionaryEntry(db::Database& db, std::int64_t index) {
    db.prepare("DELETE FROM tblDictionary WHERE \"Index\" = ?").bind(1, index).run();
}

QString tagPart(const QString& text) {
    return text.trimmed().toUpper().rightJustified(4, QLatin1Char('0'));
}

AddTagResult addDictionaryEntry(db::Database& db, const QString& group, const QString& element, const QString& vrType,
                                const QString& description, bool visible) {
    static const QRegularExpression hex4(QStringLiteral("^[0-9A-F]{4}$"));
    if (!hex4.match(group).hasMatch() || !hex4.match(element).hasMatch()) return AddTagResult::BadTag;
    const QString vr = vrType.trimmed().toUpper();
    if (vr.size() != 2) return AddTagResult::BadVrType;
    const std::string tag = (group + "," + element).toStdString();
    auto count = db.prepare("SELECT COUNT(*) AS Anzahl FROM tblDictionary WHERE Tag = ?");
    count.bind(1, tag);
    if (count.step() && count.getInt(0) != 0) return AddTagResult::TagExists;
    count.reset();
    auto s = db.prepare("INSERT INTO tblDictionary (Tag, Description, Type, Visible) VALUES (?, ?, ?, ?)");
    s.bind(1, tag).bind(2, description.toStdString()).bind(3, vr.toStdString()).bind(4, visible ? db::Yes : db::No);
    s.run();
    return AddTagResult::Added;
}

}  // namespace corva::config
