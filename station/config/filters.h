#pragma once
// The tag dictionary (tblDictionary) and the modality filters (tblModality plus one
// yes/no column of tblDictionary per filter) in the configuration database. A filter
// name becomes a column name only after db::isValidIdentifier accepted it, and always
// quoted. Throws corva::Error on a database failure or a name that cannot be a column.
#include <QString>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace corva::db {
class Database;
}

namespace corva::config {

struct DictionaryEntry {
    std::int64_t index = 0;
    QString tag;  // "0010,0010"
    QString type;
    QString description;
    bool visible = false;
};

// "SELECT Modality FROM tblModality ORDER BY Modality".
std::vector<QString> filterNames(db::Database& db);

// The filter's attributes (its column holds -1).
std::vector<DictionaryEntry> tagsOfFilter(db::Database& db, const QString& filter);
// The visible attributes not yet in the filter: what AddTagForm offers.
std::vector<DictionaryEntry> tagsOfferedFor(db::Database& db, const QString& filter);

// Creates the filter `name` (already upper-cased): its column, then its tblModality
// row. False when the filter exists already (nothing changes). A name that cannot be a
// column or that is a column already is refused with a message naming it.
bool createFilter(db::Database& db, const QString& name);
// Removes the filter's row and its column.
void deleteFilter(db::Database& db, const QString& name);
// Puts the attributes with these tags into the filter; a tag that fails is skipped.
void addTagsToFilter(db::Database& db, const QString& filter, const std::vector<QString>& tags);
// Takes the attributes with these keys out of the filter.
void removeTagsFromFilter(db::Database& db, const QString& filter, const std::vector<std::int64_t>& indexes);

// The dictionary window's list, "ORDER BY Tag".
std::vector<DictionaryEntry> dictionary(db::Database& db);
void setVisible(db::Database& db, std::int64_t index, bool visible);
void deleteDictionaryEntry(db::Database& db, std::int64_t index);

// A group or element box's text as stored: trimmed, upper-cased, left-padded with "0"
// to four characters.
QString tagPart(const QString& text);
enum class AddTagResult { Added, BadTag, BadVrType, TagExists };
// Adds an attribute; group and element must be four hexadecimal digits each (as
// tagPart pads them), the VR type is trimmed and upper-cased and must have two
// characters; the tag is group + "," + element.
AddTagResult addDictionaryEntry(db::Database& db, const QString& group, const QString& element, const QString& vrType,
                                const QString& description, bool visible);

}  // namespace corva::config
