#pragma once
// Thin RAII layer over SQLite. Only shared/db includes sqlite3.h; every SQLite
// result code becomes a corva::Error (code errc::Database + SQLite code) here.
//
// Every connection opened through Database:
//  - uses WAL and a busy timeout, so the ingest service and the station never
//    fail on each other's lock;
//  - replaces the NOCASE collation and LIKE with versions that fold all letters
//    (umlauts included), so "müller" matches "MÜLLER". Columns are declared
//    COLLATE NOCASE, which the sqlite3 shell also understands. The shell's own
//    NOCASE folds ASCII only: there, lookups of non-ASCII keys through an index may
//    miss rows and "PRAGMA integrity_check" reports such rows as missing from the
//    index. Never run REINDEX or VACUUM from the shell; "REINDEX" run through a
//    Database of ours restores the order our connections rely on.
//
// Writing while a SELECT on the same connection is still stepping can fail with
// SQLITE_BUSY when the other program committed meanwhile (the read snapshot cannot
// be upgraded). Read first and finish the statement, then write, or take the write
// lock first with a Transaction.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <variant>

struct sqlite3;
struct sqlite3_stmt;

namespace corva::db {

// A value bound to or read from a statement. Dates and times are ISO 8601 text.
using Value = std::variant<std::monostate, std::int64_t, double, std::string>;

class Statement;

class Database {
public:
    Database() = default;
    explicit Database(const std::filesystem::path& file, bool create = false);
    ~Database();
    Database(Database&& other) noexcept;
    Database& operator=(Database&& other) noexcept;
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    bool isOpen() const { return handle_ != nullptr; }
    void close();
    const std::filesystem::path& file() const { return file_; }

    // Runs one or more statements without parameters.
    void exec(const std::string& sql);
    Statement prepare(const std::string& sql);
    std::int64_t lastInsertRowId() const;
    int changes() const;  // rows changed by the last INSERT/UPDATE/DELETE

    // Table / column introspection (names compared without case).
    bool hasTable(const std::string& name);
    bool hasColumn(const std::string& table, const std::string& column);

    sqlite3* handle() const { return handle_; }

private:
    sqlite3* handle_ = nullptr;
    std::filesystem::path file_;
};

// A prepared statement; bind by 1-based index, read columns by 0-based index or name.
class Statement {
public:
    Statement(Database& db, const std::string& sql);
    ~Statement();
    Statement(Statement&& other) noexcept;
    Statement& operator=(Statement&&) = delete;
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int index, std::int64_t v);
    Statement& bind(int index, int v) { return bind(index, static_cast<std::int64_t>(v)); }
    Statement& bind(int index, double v);
    Statement& bind(int index, const std::string& v);
    Statement& bind(int index, const char* v) { return bind(index, std::string(v)); }
    Statement& bindNull(int index);
    Statement& bind(int index, const Value& v);
    // Binds a text or Null when the optional is empty.
    Statement& bind(int index, const std::optional<std::string>& v);

    // Advances to the next row; false at the end. Throws on error.
    bool step();
    // Runs a statement that returns no rows; returns the number of changed rows.
    int run();
    void reset();

    int columnCount() const;
    std::string columnName(int col) const;
    int columnIndex(const std::string& name) const;  // -1 when missing (case-insensitive)
    bool isNull(int col) const;
    std::int64_t getInt(int col) const;
    double getDouble(int col) const;
    std::string getText(int col) const;
    Value get(int col) const;
    bool isNull(const std::string& name) const { return isNull(requireColumn(name)); }
    std::int64_t getInt(const std::string& name) const { return getInt(requireColumn(name)); }
    double getDouble(const std::string& name) const { return getDouble(requireColumn(name)); }
    std::string getText(const std::string& name) const { return getText(requireColumn(name)); }

private:
    int requireColumn(const std::string& name) const;
    void check(int rc) const;
    sqlite3_stmt* stmt_ = nullptr;
    sqlite3* db_ = nullptr;
};

// Rolls back in the destructor unless commit() ran.
class Transaction {
public:
    explicit Transaction(Database& db);  // BEGIN IMMEDIATE
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void commit();

private:
    Database& db_;
    bool done_ = false;
};

// Folds a UTF-8 text for case-insensitive comparison (all letters, umlauts included).
std::string foldCase(const std::string& utf8);

// Date/time text forms stored in the databases.
inline constexpr const char* NoDateMarker = "1899-12-31";
// Yes/no columns.
inline constexpr int Yes = -1;
inline constexpr int No = 0;

}  // namespace corva::db
