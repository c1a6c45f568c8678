#include "store_fault.h"

#include <sys/statvfs.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "core/error.h"

namespace corva::ingest {

namespace {

// SQLite result codes (the primary code, below 256).
constexpr int SqlitePerm = 3, SqliteBusy = 5, SqliteLocked = 6, SqliteNoMem = 7, SqliteReadOnly = 8,
              SqliteIoErr = 10, SqliteCorrupt = 11, SqliteFull = 13, SqliteCantOpen = 14, SqliteTooBig = 18,
              SqliteConstraint = 19, SqliteMismatch = 20, SqliteRange = 25, SqliteNotADb = 26;

// errno values that tell of the disk when a write fails, not of the file being filed.
constexpr int DiskErrnos[] = {ENOSPC, EDQUOT, EROFS, EACCES, EPERM, EIO};

}  // namespace

bool isDamagedDatabase(int sqliteCode)
{
    return sqliteCode == SqliteNotADb || sqliteCode == SqliteCorrupt;
}

bool tellsOfDamage(const std::string& reason)
{
    return reason.rfind("damaged (", 0) == 0 || reason.find(": damaged (") != std::string::npos;
}

bool diskFull(const std::filesystem::path& folder)
{
    struct statvfs st {};
    return ::statvfs(folder.c_str(), &st) == 0 && st.f_bavail == 0;
}

std::string databaseReason(int code, const std::string& statementMessage)
{
    // The operator is told the database's words, not the statement they came with.
    const std::string message = statementMessage.substr(0, statementMessage.find(" ["));
    switch (code) {
    case SqliteFull:
        return "disk full";
    case SqliteReadOnly:
    case SqlitePerm:
        return "read-only (" + message + ")";
    case SqliteCantOpen:
        return "cannot be opened (" + message + ")";
    case SqliteNotADb:
    case SqliteCorrupt:
        return "damaged (" + message + ")";
    case SqliteBusy:
    case SqliteLocked:
        return "busy (" + message + ")";
    case SqliteIoErr:
        return "input/output error (" + message + ")";
    case SqliteNoMem:
        return "out of memory";
    default:
        return message;
    }
}

std::string diskReason(int e)
{
    switch (e) {
    case ENOSPC:
    case EDQUOT:
        return "disk full";
    case EROFS:
        return "read-only file system";
    case EACCES:
    case EPERM:
        return "no permission";
    default:
        return std::strerror(e);
    }
}

std::optional<std::string> storeFault(const std::exception& e)
{
    if (const auto* fsError = dynamic_cast<const std::filesystem::filesystem_error*>(&e)) {
        // Only what stops every file is an outage; a name in the way stops this one only.
        for (const int disk : DiskErrnos)
            if (fsError->code().value() == disk)
                return diskReason(disk);
        return std::nullopt;
    }
    const auto* err = dynamic_cast<const Error*>(&e);
    if (!err)
        return std::nullopt;
    const int code = err->code();
    if (code >= errc::Database && code < errc::Database + 256) {
        const int sqlite = code - errc::Database;
        // Values the store refuses are the file's.
        if (sqlite == SqliteConstraint || sqlite == SqliteMismatch || sqlite == SqliteTooBig || sqlite == SqliteRange)
            return std::nullopt;
        return databaseReason(sqlite, err->message());
    }
    // Writers of the toolkit report the system's text: a full or read-only disk reads so.
    for (const int disk : DiskErrnos) {
        if (err->message().find(std::strerror(disk)) != std::string::npos)
            return diskReason(disk);
    }
    return std::nullopt;
}

}  // namespace corva::ingest
