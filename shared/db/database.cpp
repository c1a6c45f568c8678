#include "db/database.h"

#include <sqlite3.h>

#include <cctype>
#include <cstring>
#include <utility>

#include "core/error.h"
#include "db/text_fold.h"

namespace corva::db {
namespace {

[[noreturn]] void throwSqlite(sqlite3* db, int rc, const std::string& where, const std::string& sql = {})
{
    std::string msg = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    if (!sql.empty())
        msg += " [" + sql + "]";
    throw Error(errc::Database + (rc & 0xff), msg, where);
}

// The Unicode-aware NOCASE: orders texts by their case-folded form.
int nocaseCompare(void*, int n1, const void* p1, int n2, const void* p2)
{
    return compareFolded(static_cast<const char*>(p1), n1, static_cast<const char*>(p2), n2);
}

void likeFunction(sqlite3_context* ctx, int argc, sqlite3_value** argv)
{
    // like(pattern, text[, escape]) – SQLite passes the pattern first.
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_type(argv[1]) == SQLITE_NULL)
        return;  // result Null, as the built-in like()
    const auto* pat = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
    int patLen = sqlite3_value_bytes(argv[0]);
    if (patLen > sqlite3_limit(sqlite3_context_db_handle(ctx), SQLITE_LIMIT_LIKE_PATTERN_LENGTH, -1)) {
        sqlite3_result_error(ctx, "LIKE or GLOB pattern too complex", -1);
        return;
    }
    const auto* txt = reinterpret_cast<const char*>(sqlite3_value_text(argv[1]));
    int txtLen = sqlite3_value_bytes(argv[1]);
    char32_t escape = 0;
    if (argc == 3) {
        if (sqlite3_value_type(argv[2]) == SQLITE_NULL)
            return;
        const auto* esc = reinterpret_cast<const char*>(sqlite3_value_text(argv[2]));
        int escLen = sqlite3_value_bytes(argv[2]);
        if (!singleCharacter(std::string_view(esc, static_cast<std::size_t>(escLen)), escape)) {
            sqlite3_result_error(ctx, "ESCAPE expression must be a single character", -1);
            return;
        }
    }
    sqlite3_result_int(ctx, likeMatch(std::string_view(pat, static_cast<std::size_t>(patLen)),
                                      std::string_view(txt, static_cast<std::size_t>(txtLen)), escape)
                                ? 1
                                : 0);
}

void registerFolding(sqlite3* db)
{
    int rc = sqlite3_create_collation_v2(db, "NOCASE", SQLITE_UTF8, nullptr, nocaseCompare, nullptr);
    if (rc != SQLITE_OK)
        throwSqlite(db, rc, "Database::open (collation)");
    const int flags = SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS;
    for (int nArg : {2, 3}) {
        rc = sqlite3_create_function_v2(db, "like", nArg, flags, nullptr, likeFunction, nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK)
            throwSqlite(db, rc, "Database::open (like)");
    }
}

}  // namespace

// ---------------------------------------------------------------- Database

Database::Database(const std::filesystem::path& file, bool create) : file_(file)
{
    int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(file.c_str(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        std::string msg = (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc)) + std::string(": ") + file.string();
        sqlite3_close_v2(db);
        throw Error(errc::Database + (rc & 0xff), msg, "Database::open");
    }
    handle_ = db;
    try {
        // The other program may hold the write lock for a moment; wait rather than fail.
        sqlite3_busy_timeout(db, 10000);
        registerFolding(db);
        // WAL lets the station read while the ingest service writes; the mode is stored
        // in the file, so this is a no-op for files that already use it.
        exec("PRAGMA journal_mode=WAL");
        exec("PRAGMA synchronous=NORMAL");
        exec("PRAGMA foreign_keys=OFF");
    } catch (...) {
        close();
        throw;
    }
}

Database::~Database()
{
    close();
}

Database::Database(Database&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), file_(std::move(other.file_))
{
}

Database& Database::operator=(Database&& other) noexcept
{
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, nullptr);
        file_ = std::move(other.file_);
    }
    return *this;
}

void Database::close()
{
    if (handle_) {
        // _v2: statements still alive keep the handle until they are finalized.
        sqlite3_close_v2(handle_);
        handle_ = nullptr;
    }
}

void Database::exec(const std::string& sql)
{
    if (!handle_)
        throw Error(errc::Database + SQLITE_MISUSE, "The database is not open", "Database::exec");
    char* err = nullptr;
    int rc = sqlite3_exec(handle_, sql.c_str(), nullptr, nullptr, &err);
    if (rc != SQLITE_OK) {
        std::string msg = err ? err : sqlite3_errmsg(handle_);
        sqlite3_free(err);
        throw Error(errc::Database + (rc & 0xff), msg + " [" + sql + "]", "Database::exec");
    }
}

Statement Database::prepare(const std::string& sql)
{
    return Statement(*this, sql);
}

std::int64_t Database::lastInsertRowId() const
{
    return handle_ ? sqlite3_last_insert_rowid(handle_) : 0;
}

int Database::changes() const
{
    return handle_ ? sqlite3_changes(handle_) : 0;
}

bool Database::hasTable(const std::string& name)
{
    auto st = prepare("SELECT 1 FROM sqlite_master WHERE type IN ('table', 'view') AND name = ? COLLATE NOCASE");
    st.bind(1, name);
    return st.step();
}

bool Database::hasColumn(const std::string& table, const std::string& column)
{
    auto st = prepare("SELECT 1 FROM pragma_table_info(?) WHERE name = ? COLLATE NOCASE");
    st.bind(1, table).bind(2, column);
    return st.step();
}

// ---------------------------------------------------------------- Statement

Statement::Statement(Database& db, const std::string& sql) : db_(db.handle())
{
    if (!db_)
        throw Error(errc::Database + SQLITE_MISUSE, "The database is not open [" + sql + "]", "Statement::prepare");
    const char* tail = nullptr;
    int rc = sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &stmt_, &tail);
    if (rc != SQLITE_OK)
        throwSqlite(db_, rc, "Statement::prepare", sql);
    // A second statement in the text would silently not run: refuse it.
    for (; tail && *tail; ++tail) {
        if (*tail != ';' && !std::isspace(static_cast<unsigned char>(*tail))) {
            sqlite3_finalize(stmt_);
            stmt_ = nullptr;
            throw Error(errc::Database + SQLITE_MISUSE, "More than one statement in [" + sql + "]",
                        "Statement::prepare");
        }
    }
    if (!stmt_)
        throw Error(errc::Database + SQLITE_MISUSE, "Empty statement", "Statement::prepare");
}

Statement::~Statement()
{
    sqlite3_finalize(stmt_);
}

Statement::Statement(Statement&& other) noexcept
    : stmt_(std::exchange(other.stmt_, nullptr)), db_(other.db_)
{
}

void Statement::check(int rc) const
{
    if (rc != SQLITE_OK)
        throwSqlite(db_, rc, "Statement::bind", stmt_ ? sqlite3_sql(stmt_) : "");
}

Statement& Statement::bind(int index, std::int64_t v)
{
    check(sqlite3_bind_int64(stmt_, index, v));
    return *this;
}

Statement& Statement::bind(int index, double v)
{
    check(sqlite3_bind_double(stmt_, index, v));
    return *this;
}

Statement& Statement::bind(int index, const std::string& v)
{
    check(sqlite3_bind_text64(stmt_, index, v.data(), v.size(), SQLITE_TRANSIENT, SQLITE_UTF8));
    return *this;
}

Statement& Statement::bindNull(int index)
{
    check(sqlite3_bind_null(stmt_, index));
    return *this;
}

Statement& Statement::bind(int index, const Value& v)
{
    std::visit(
        [&](const auto& x) {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, std::monostate>)
                bindNull(index);
            else
                bind(index, x);
        },
        v);
    return *this;
}

Statement& Statement::bind(int index, const std::optional<std::string>& v)
{
    return v ? bind(index, *v) : bindNull(index);
}

bool Statement::step()
{
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW)
        return true;
    if (rc == SQLITE_DONE)
        return false;
    // The message must be read before reset replaces it.
    std::string msg = sqlite3_errmsg(db_);
    sqlite3_reset(stmt_);
    throw Error(errc::Database + (rc & 0xff), msg + " [" + sqlite3_sql(stmt_) + "]", "Statement::step");
}

int Statement::run()
{
    // sqlite3_changes() keeps the count of the last INSERT/UPDATE/DELETE: a statement
    // that changed nothing must not report that earlier count.
    const auto before = sqlite3_total_changes64(db_);
    while (step()) {
    }
    return sqlite3_total_changes64(db_) == before ? 0 : sqlite3_changes(db_);
}

void Statement::reset()
{
    sqlite3_reset(stmt_);
}

int Statement::columnCount() const
{
    return sqlite3_column_count(stmt_);
}

std::string Statement::columnName(int col) const
{
    const char* n = sqlite3_column_name(stmt_, col);
    return n ? n : "";
}

int Statement::columnIndex(const std::string& name) const
{
    int n = sqlite3_column_count(stmt_);
    for (int i = 0; i < n; ++i) {
        const char* c = sqlite3_column_name(stmt_, i);
        if (c && sqlite3_stricmp(c, name.c_str()) == 0)
            return i;
    }
    return -1;
}

int Statement::requireColumn(const std::string& name) const
{
    int i = columnIndex(name);
    if (i < 0)
        throw Error(errc::Database + SQLITE_RANGE, "No column named " + name + " [" + sqlite3_sql(stmt_) + "]",
                    "Statement::get");
    return i;
}

bool Statement::isNull(int col) const
{
    return sqlite3_column_type(stmt_, col) == SQLITE_NULL;
}

std::int64_t Statement::getInt(int col) const
{
    return sqlite3_column_int64(stmt_, col);
}

double Statement::getDouble(int col) const
{
    return sqlite3_column_double(stmt_, col);
}

std::string Statement::getText(int col) const
{
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, col));
    if (!p)
        return {};
    return std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, col)));
}

Value Statement::get(int col) const
{
    switch (sqlite3_column_type(stmt_, col)) {
    case SQLITE_INTEGER:
        return getInt(col);
    case SQLITE_FLOAT:
        return getDouble(col);
    case SQLITE_NULL:
        return std::monostate{};
    default:
        return getText(col);
    }
}

// ---------------------------------------------------------------- Transaction

Transaction::Transaction(Database& db) : db_(db)
{
    db_.exec("BEGIN IMMEDIATE");
}

Transaction::~Transaction()
{
    if (!done_) {
        try {
            db_.exec("ROLLBACK");
        } catch (...) {
            // Nothing to roll back when SQLite already ended the transaction on an error.
        }
    }
}

void Transaction::commit()
{
    db_.exec("COMMIT");
    done_ = true;
}

// ---------------------------------------------------------------- folding

std::string foldCase(const std::string& utf8)
{
    return foldText(utf8);
}

}  // namespace corva::db
