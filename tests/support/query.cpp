#include "query.h"

#include "db/database.h"

namespace corva::test {

std::int64_t queryNumber(db::Database& db, const std::string& sql)
{
    auto st = db.prepare(sql);
    return st.step() ? st.getInt(0) : -1;
}

std::int64_t queryNumber(const std::filesystem::path& database, const std::string& sql)
{
    db::Database db(database);
    return queryNumber(db, sql);
}

}  // namespace corva::test
