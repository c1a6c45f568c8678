#pragma once
// The attributes of the active modality filter: tag text -> description, in the order
// they were added. The header view shows one row per entry.
#include <string>
#include <utility>
#include <vector>

namespace corva::db {
class Database;
}

namespace corva::station::header {

class ActiveTagSet {
public:
    using Entry = std::pair<std::string, std::string>;  // "GGGG,EEEE", description

    // Adds an entry; throws corva::Error when the tag is already there.
    void add(const std::string& tag, const std::string& description);
    void clear() { entries_.clear(); }
    const std::vector<Entry>& entries() const { return entries_; }
    bool empty() const { return entries_.empty(); }

private:
    std::vector<Entry> entries_;
};

// LoadModFilter: the attributes whose column `filter` of tblDictionary is true. An
// empty filter leaves the set as it is. The filter name is a column name from the
// settings: one that is not a column of tblDictionary is refused (corva::Error).
// On an error the set keeps the rows added before it.
void loadModFilter(db::Database& userDb, const std::string& filter, ActiveTagSet& set);

}  // namespace corva::station::header
