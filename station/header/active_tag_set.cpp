#include "header/active_tag_set.h"

#include "core/error.h"
#include "db/database.h"

namespace corva::station::header {

void ActiveTagSet::add(const std::string& tag, const std::string& description)
{
    for (const auto& e : entries_)
        if (e.first == tag)
            throw Error(errc::Generic, "The tag " + tag + " occurs twice in the filter");
    entries_.emplace_back(tag, description);
}

void loadModFilter(db::Database& userDb, const std::string& filter, ActiveTagSet& set)
{
    if (filter.empty())
        return;
    if (filter.find('"') != std::string::npos || !userDb.hasColumn("tblDictionary", filter))
        throw Error(errc::InvalidName, "No filter named \"" + filter + "\"");
    auto st = userDb.prepare("SELECT Tag, Description FROM tblDictionary WHERE \"" + filter + "\" = -1");
    set.clear();
    while (st.step())
        set.add(st.getText(0), st.getText(1));
}

}  // namespace corva::station::header
