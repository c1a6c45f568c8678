#pragma once
// The tables and views of the three database files and the operations that
// change their structure at run time. tblSCP."Default" and tblDictionary."Index" are
// SQL keywords in SQLite: statements must quote them ("UPDATE tblSCP SET \"Default\" = 0").
// Yes/no columns hold -1 and 0; any other value written to one is stored as -1.
#include <filesystem>
#include <string>

namespace corva::db {

class Database;

// Creates every table, view and index of the image database (QAData.dat, QADef.dat)
// that is missing. tblReceive and the storage commitment tables are included.
void createImageSchema(Database& db);

// Adds to an image database of an earlier version what createImageSchema() makes now
// and it lacks: the indexes and the notes of the orphan clean-up (see orphans.h). Does
// nothing when they are there; true when it added them. Throws corva::Error.
bool upgradeImageSchema(Database& db);

// The receive table alone, as the ingest service creates it when missing.
void createReceiveTable(Database& db);

// Creates the tables of the configuration database (QAUser.dat) that are missing.
void createUserSchema(Database& db);

// Adds the yes/no column tblSCP."Commitment" (ask the destination for storage
// commitment) to a configuration database of an earlier version that lacks it.
void ensureDestinationCommitmentColumn(Database& userDb);

// Copies Data/QADef.dat to Data/QAData.dat when the latter is missing. The copy goes
// to a temporary name first and is then renamed, so two programs doing this at once
// never see half a file. A log of changes left by the missing database is renamed
// aside first, never laid over the copy. Returns true when QAData.dat exists afterwards.
bool ensureImageDatabase(const std::filesystem::path& dataFolder);

// Replaces an empty Data/QAData.dat (no content and no write-ahead log: a file another
// program left) by a copy of Data/QADef.dat. True when QAData.dat has content afterwards.
bool replaceEmptyImageDatabase(const std::filesystem::path& dataFolder);

// Renames a damaged Data/QAData.dat, with its -wal and -shm files, to
// "QAData.dat.damaged-<stamp>" (never over an earlier one) and returns that name. Throws
// corva::Error when the database cannot be renamed.
std::filesystem::path setImageDatabaseAside(const std::filesystem::path& dataFolder, const std::string& stamp);

// Replaces the content of Data/QAData.dat by that of Data/QADef.dat ("delete all")
// through SQLite's backup, under the database's own lock: a program that has the file
// open sees either the old or the empty database, never a torn file or a stale WAL.
// Creates QAData.dat when missing. Throws corva::Error on failure.
void resetImageDatabase(const std::filesystem::path& dataFolder);

// File names below the Data folder.
inline constexpr const char* ImageDatabaseFile = "QAData.dat";
inline constexpr const char* TemplateDatabaseFile = "QADef.dat";
inline constexpr const char* UserDatabaseFile = "QAUser.dat";

// A filter name usable as a column name: a letter or '_' followed by letters,
// digits or '_', at most 64 characters, not an SQL keyword.
bool isValidIdentifier(const std::string& name);

// Adds / drops a yes/no filter column of tblDictionary. Throws corva::Error with a
// message the caller can show when the name is invalid, already a column (add) or
// not a filter column (drop).
void addFilterColumn(Database& userDb, const std::string& name);
void dropFilterColumn(Database& userDb, const std::string& name);

// The filter a new installation shows in the header view: what a mammography QA
// workstation checks (patient, study, view and side, the exposure values, the reader's
// exposure index).
inline constexpr const char* DefaultFilterName = "Mammography";
// Adds the default filter to the dictionary; does nothing when a column of that name
// is there already (a site may have changed it). True when it was added.
bool addDefaultFilter(Database& userDb);

}  // namespace corva::db
