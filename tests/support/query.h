#pragma once
// A number read from a real database of a test ("SELECT COUNT(*) FROM tblImages").
#include <cstdint>
#include <filesystem>
#include <string>

namespace corva::db {
class Database;
}

namespace corva::test {

// The first column of the first row as a whole number; -1 when there is no row.
std::int64_t queryNumber(db::Database& db, const std::string& sql);
std::int64_t queryNumber(const std::filesystem::path& database, const std::string& sql);

}  // namespace corva::test
