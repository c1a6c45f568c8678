#pragma once
// Whose fault a failure is. Only a file's own faults (unreadable, not DICOM, values or
// UIDs the store refuses) count against the file; a database that cannot be opened or
// written, a full or read-only disk, are the store's: they are waited out.
#include <exception>
#include <filesystem>
#include <optional>
#include <string>

namespace corva::ingest {

// The store's side of a failure that stops every file, in the operator's words ("disk
// full", "read-only", "damaged (file is not a database)"); nullopt otherwise. A file
// system error of one name (a folder in the way) is not the file's own either, but
// stops only that file (see IngestService).
std::optional<std::string> storeFault(const std::exception& e);

// The reason for an SQLite result code (errc::Database + code) or an errno value.
std::string databaseReason(int sqliteCode, const std::string& message);
std::string diskReason(int errnoValue);

// True when the disk of `folder` has no free block left: what a database's input/output
// error then means.
bool diskFull(const std::filesystem::path& folder);

// True for SQLite codes that mean the database file itself is damaged.
bool isDamagedDatabase(int sqliteCode);
// True when a store fault's reason (storeFault, databaseReason) says the database is damaged.
bool tellsOfDamage(const std::string& reason);

}  // namespace corva::ingest
