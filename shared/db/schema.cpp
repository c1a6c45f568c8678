#include "db/schema.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

#include "core/error.h"
#include "db/commitments.h"
#include "db/database.h"

namespace corva::db {
namespace {

// Text columns compare with NOCASE, which every connection of ours replaces by the
// Unicode-aware version; the sqlite3 shell falls back to its own (ASCII) NOCASE.
// Dates are ISO 8601 text ("yyyy-MM-dd", "yyyy-MM-dd HH:mm:ss"), compared as they are.
// Keys use AUTOINCREMENT so that a deleted patient's or study's key is never handed
// to a new row while the station still shows the old list.
constexpr const char* ImageSchema = R"SQL(
CREATE TABLE IF NOT EXISTS tblPatienten (
  PATID INTEGER PRIMARY KEY AUTOINCREMENT,
  PATID1 TEXT COLLATE NOCASE,
  PATNachname TEXT COLLATE NOCASE,
  PATVorname TEXT COLLATE NOCASE,
  PAT2Vorname TEXT COLLATE NOCASE,
  PATGebDatum TEXT,
  PATGeschlecht TEXT COLLATE NOCASE);
CREATE TABLE IF NOT EXISTS tblStudies (
  StudyID INTEGER PRIMARY KEY AUTOINCREMENT,
  FKeyPATID INTEGER,
  FKeyUeberweiserID INTEGER,
  FKeyBodypartID INTEGER,
  FKeyModID INTEGER,
  FKeyAccessionID INTEGER,
  StudyDate TEXT,
  StudyTime TEXT,
  StudyUID TEXT COLLATE NOCASE,
  StudyNr INTEGER,
  StudyDescription TEXT COLLATE NOCASE,
  ReporterID1 INTEGER,
  ReporterID2 INTEGER,
  ReporterID3 INTEGER);
CREATE TABLE IF NOT EXISTS tblSeries (
  SeriesID INTEGER PRIMARY KEY AUTOINCREMENT,
  FKeyStudyID INTEGER,
  SeriesUID TEXT COLLATE NOCASE,
  SeriesNr INTEGER,
  SeriesCBA TEXT COLLATE NOCASE);
CREATE TABLE IF NOT EXISTS tblImages (
  ImageID INTEGER PRIMARY KEY AUTOINCREMENT,
  FKeySeriesID INTEGER,
  ImageUID TEXT COLLATE NOCASE,
  ImageNr INTEGER,
  ImageRows INTEGER,
  ImageCols INTEGER,
  ImageKVP INTEGER,
  ImageDCD INTEGER,
  ImageExpTime INTEGER,
  ImageExp INTEGER,
  ImageXRay INTEGER,
  ImageLocation REAL,
  ImageST INTEGER,
  ImageLevel INTEGER,
  ImageWidth INTEGER,
  ImageDate TEXT,
  ImageTime TEXT);
CREATE TABLE IF NOT EXISTS tblUeberweiser (
  UeberweiserID INTEGER PRIMARY KEY AUTOINCREMENT,
  UeberweiserName TEXT COLLATE NOCASE);
CREATE TABLE IF NOT EXISTS tblBodyparts (
  BodypartID INTEGER PRIMARY KEY AUTOINCREMENT,
  Bodypart TEXT COLLATE NOCASE);
CREATE TABLE IF NOT EXISTS tblModalities (
  ModID INTEGER PRIMARY KEY AUTOINCREMENT,
  Modality TEXT COLLATE NOCASE);
CREATE TABLE IF NOT EXISTS tblAccessions (
  AccessionID INTEGER PRIMARY KEY AUTOINCREMENT,
  Accession TEXT COLLATE NOCASE);
CREATE TABLE IF NOT EXISTS tblDosis (
  ID INTEGER PRIMARY KEY AUTOINCREMENT,
  KVP TEXT COLLATE NOCASE,
  ma TEXT COLLATE NOCASE,
  Zeit TEXT COLLATE NOCASE,
  Dicke INTEGER,
  mGy TEXT COLLATE NOCASE,
  Druck INTEGER,
  Datum TEXT COLLATE NOCASE,
  Sonstiges TEXT COLLATE NOCASE,
  Status TEXT COLLATE NOCASE,
  expZeit TEXT COLLATE NOCASE);

-- Parent look-ups, the orphan clean-up ("... not in (Select FKey... from child)") and
-- the match by UID must stay cheap with 100,000 images.
CREATE INDEX IF NOT EXISTS idxPatientenPATID1 ON tblPatienten (PATID1);
CREATE INDEX IF NOT EXISTS idxStudiesFKeyPATID ON tblStudies (FKeyPATID);
CREATE INDEX IF NOT EXISTS idxStudiesFKeyUeberweiserID ON tblStudies (FKeyUeberweiserID);
CREATE INDEX IF NOT EXISTS idxStudiesFKeyBodypartID ON tblStudies (FKeyBodypartID);
CREATE INDEX IF NOT EXISTS idxStudiesFKeyModID ON tblStudies (FKeyModID);
CREATE INDEX IF NOT EXISTS idxStudiesFKeyAccessionID ON tblStudies (FKeyAccessionID);
CREATE INDEX IF NOT EXISTS idxStudiesStudyUID ON tblStudies (StudyUID);
CREATE INDEX IF NOT EXISTS idxSeriesFKeyStudyID ON tblSeries (FKeyStudyID);
CREATE INDEX IF NOT EXISTS idxSeriesSeriesUID ON tblSeries (SeriesUID);
CREATE INDEX IF NOT EXISTS idxImagesFKeySeriesID ON tblImages (FKeySeriesID);
CREATE INDEX IF NOT EXISTS idxImagesImageUID ON tblImages (ImageUID);
CREATE INDEX IF NOT EXISTS idxUeberweiserName ON tblUeberweiser (UeberweiserName);
CREATE INDEX IF NOT EXISTS idxBodypartsBodypart ON tblBodyparts (Bodypart);
CREATE INDEX IF NOT EXISTS idxModalitiesModality ON tblModalities (Modality);
CREATE INDEX IF NOT EXISTS idxAccessionsAccession ON tblAccessions (Accession);
CREATE INDEX IF NOT EXISTS idxDosisDatum ON tblDosis (Datum);

-- Every study is written with all four look-up keys, so inner joins return every study.
CREATE VIEW IF NOT EXISTS view_studies AS
  SELECT tblStudies.StudyID AS StudyID, tblStudies.StudyUID AS StudyUID,
         tblStudies.StudyDate AS StudyDate, tblStudies.StudyTime AS StudyTime,
         tblModalities.Modality AS Modality, tblBodyparts.Bodypart AS Bodypart,
         tblPatienten.PATID1 AS PatID1
  FROM tblStudies
  INNER JOIN tblPatienten ON tblStudies.FKeyPATID = tblPatienten.PATID
  INNER JOIN tblModalities ON tblStudies.FKeyModID = tblModalities.ModID
  INNER JOIN tblBodyparts ON tblStudies.FKeyBodypartID = tblBodyparts.BodypartID;
CREATE VIEW IF NOT EXISTS View_Images AS
  SELECT tblImages.ImageID AS ImageID, tblImages.ImageDate AS ImageDate,
         tblImages.ImageTime AS ImageTime, tblImages.ImageUID AS ImageUID,
         tblImages.FKeySeriesID AS FKeySeriesID, tblStudies.StudyUID AS StudyUID
  FROM tblImages
  INNER JOIN tblSeries ON tblImages.FKeySeriesID = tblSeries.SeriesID
  INNER JOIN tblStudies ON tblSeries.FKeyStudyID = tblStudies.StudyID;
)SQL";

// Added for databases of many years; a database of an earlier version gains them on
// upgradeImageSchema().
// The waiting exposure records are a handful among every record ever used: the dose
// list reads them through this partial index, in the order of their keys as before.
// The clean-up of rows left without children looks only at the rows that lost a child
// since it last ran: the triggers note the parent of every row deleted or moved away
// (Kind 1: a series, 2: a study, 3: a patient). Kind 0 asks for a look at every row.
constexpr const char* ImageSchemaAdditions = R"SQL(
CREATE INDEX IF NOT EXISTS idxDosisWaiting ON tblDosis (ID) WHERE Status <> '1';
CREATE TABLE IF NOT EXISTS tblOrphanCheck (
  CheckID INTEGER PRIMARY KEY,
  Kind INTEGER NOT NULL,
  RowKey INTEGER);
CREATE TRIGGER IF NOT EXISTS orphan_check_images_del AFTER DELETE ON tblImages
  BEGIN INSERT INTO tblOrphanCheck (Kind, RowKey) VALUES (1, OLD.FKeySeriesID); END;
CREATE TRIGGER IF NOT EXISTS orphan_check_images_upd AFTER UPDATE OF FKeySeriesID ON tblImages
  WHEN OLD.FKeySeriesID IS NOT NEW.FKeySeriesID
  BEGIN INSERT INTO tblOrphanCheck (Kind, RowKey) VALUES (1, OLD.FKeySeriesID); END;
CREATE TRIGGER IF NOT EXISTS orphan_check_series_del AFTER DELETE ON tblSeries
  BEGIN INSERT INTO tblOrphanCheck (Kind, RowKey) VALUES (2, OLD.FKeyStudyID); END;
CREATE TRIGGER IF NOT EXISTS orphan_check_series_upd AFTER UPDATE OF FKeyStudyID ON tblSeries
  WHEN OLD.FKeyStudyID IS NOT NEW.FKeyStudyID
  BEGIN INSERT INTO tblOrphanCheck (Kind, RowKey) VALUES (2, OLD.FKeyStudyID); END;
CREATE TRIGGER IF NOT EXISTS orphan_check_studies_del AFTER DELETE ON tblStudies
  BEGIN INSERT INTO tblOrphanCheck (Kind, RowKey) VALUES (3, OLD.FKeyPATID); END;
CREATE TRIGGER IF NOT EXISTS orphan_check_studies_upd AFTER UPDATE OF FKeyPATID ON tblStudies
  WHEN OLD.FKeyPATID IS NOT NEW.FKeyPATID
  BEGIN INSERT INTO tblOrphanCheck (Kind, RowKey) VALUES (3, OLD.FKeyPATID); END;
)SQL";

// The objects ImageSchemaAdditions makes; a database lacking one is upgraded.
constexpr std::array<const char*, 8> ImageSchemaAdditionNames = {
    "idxDosisWaiting",         "tblOrphanCheck",          "orphan_check_images_del",  "orphan_check_images_upd",
    "orphan_check_series_del", "orphan_check_series_upd", "orphan_check_studies_del", "orphan_check_studies_upd"};

constexpr const char* ReceiveTable = R"SQL(
CREATE TABLE IF NOT EXISTS tblReceive (
  RecID INTEGER CONSTRAINT RecKey PRIMARY KEY AUTOINCREMENT,
  PATID INTEGER NOT NULL,
  StudyID INTEGER NOT NULL,
  SeriesID INTEGER NOT NULL,
  ImageID INTEGER NOT NULL,
  Checked INTEGER);
)SQL";

// "Default" and "Index" are SQL keywords and must be quoted wherever they appear.
constexpr const char* UserSchema = R"SQL(
CREATE TABLE IF NOT EXISTS tblSCP (
  ID INTEGER PRIMARY KEY AUTOINCREMENT,
  Alias TEXT COLLATE NOCASE,
  AET TEXT COLLATE NOCASE,
  IP TEXT COLLATE NOCASE,
  Port INTEGER,
  "Default" BIT NOT NULL DEFAULT 0);
CREATE TABLE IF NOT EXISTS tblRuleKey (
  fKeyName TEXT COLLATE NOCASE);
CREATE TABLE IF NOT EXISTS tblRules (
  fName TEXT COLLATE NOCASE,
  fLevel TEXT COLLATE NOCASE,
  fSource TEXT COLLATE NOCASE,
  fTask TEXT COLLATE NOCASE,
  fTaskID TEXT COLLATE NOCASE,
  fTarget TEXT COLLATE NOCASE);
CREATE TABLE IF NOT EXISTS tblDictionary (
  "Index" INTEGER PRIMARY KEY AUTOINCREMENT,
  Tag TEXT COLLATE NOCASE,
  Type TEXT COLLATE NOCASE,
  Description TEXT COLLATE NOCASE,
  Visible BIT NOT NULL DEFAULT 0);
CREATE TABLE IF NOT EXISTS tblModality (
  Modality TEXT COLLATE NOCASE);
CREATE INDEX IF NOT EXISTS idxRuleKeyName ON tblRuleKey (fKeyName);
CREATE INDEX IF NOT EXISTS idxRulesName ON tblRules (fName);
CREATE INDEX IF NOT EXISTS idxDictionaryTag ON tblDictionary (Tag);
CREATE INDEX IF NOT EXISTS idxModalityModality ON tblModality (Modality);
)SQL";

// The columns of tblDictionary that are not filters.
constexpr std::array<const char*, 5> DictionaryColumns = {"Index", "Tag", "Type", "Description", "Visible"};

// Yes/no columns hold -1 and 0; any other value written (1 from a check box, say)
// is stored as true, so that "= -1" finds it.
std::string yesNoTriggers(const std::string& table, const std::string& column)
{
    const std::string name = "yesno_" + table + "_" + column;
    const std::string fix =
        " WHEN NEW.\"" + column + "\" NOT IN (0, -1) BEGIN UPDATE " + table + " SET \"" + column + "\" = -1 WHERE rowid = NEW.rowid; END;\n";
    return "CREATE TRIGGER IF NOT EXISTS \"" + name + "_ins\" AFTER INSERT ON " + table + fix +
           "CREATE TRIGGER IF NOT EXISTS \"" + name + "_upd\" AFTER UPDATE OF \"" + column + "\" ON " + table + fix;
}

std::string dropYesNoTriggers(const std::string& table, const std::string& column)
{
    const std::string name = "yesno_" + table + "_" + column;
    return "DROP TRIGGER IF EXISTS \"" + name + "_ins\";\nDROP TRIGGER IF EXISTS \"" + name + "_upd\";\n";
}

bool equalsNoCase(const std::string& a, const char* b)
{
    return sqlite3_stricmp(a.c_str(), b) == 0;
}

[[noreturn]] void throwErrno(const std::string& what, const std::filesystem::path& file)
{
    throw Error(errc::Generic, what + " " + file.string() + ": " + std::strerror(errno), "ensureImageDatabase");
}

// Copies `from` to a fresh unique file in `folder`; returns its path.
std::filesystem::path copyToTemporary(const std::filesystem::path& from, const std::filesystem::path& folder)
{
    int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        throwErrno("Cannot read", from);
    std::string pattern = (folder / (std::string(".") + ImageDatabaseFile + ".XXXXXX")).string();
    int out = ::mkstemp(pattern.data());
    if (out < 0) {
        ::close(in);
        throwErrno("Cannot create", pattern);
    }
    std::filesystem::path tmp = pattern;
    // Patient data: for the service's user and the operators of its group (the station
    // writes the image database too), never for other users, whatever the template allows.
    ::fchmod(out, S_IRUSR | S_IWUSR | S_IRGRP | S_IWGRP);
    char buf[1 << 16];
    bool ok = true;
    for (;;) {
        ssize_t n = ::read(in, buf, sizeof buf);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ok = false;
            break;
        }
        for (ssize_t off = 0; off < n;) {
            ssize_t w = ::write(out, buf + off, static_cast<std::size_t>(n - off));
            if (w < 0) {
                if (errno == EINTR)
                    continue;
                ok = false;
                break;
            }
            off += w;
        }
        if (!ok)
            break;
    }
    int savedErrno = errno;
    ok = ok && ::fsync(out) == 0;
    ::close(in);
    ok = (::close(out) == 0) && ok;
    if (!ok) {
        ::unlink(tmp.c_str());
        errno = savedErrno;
        throwErrno("Cannot copy the template database to", tmp);
    }
    return tmp;
}

// Moves `tmp` to `target` unless `target` exists; never overwrites.
void publishNoReplace(const std::filesystem::path& tmp, const std::filesystem::path& target)
{
    if (::renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0)
        return;
    if (errno != EEXIST) {
        // File systems without RENAME_NOREPLACE: a hard link fails the same way when the
        // target exists.
        if (::link(tmp.c_str(), target.c_str()) != 0 && errno != EEXIST) {
            int e = errno;
            ::unlink(tmp.c_str());
            errno = e;
            throwErrno("Cannot create", target);
        }
    }
    ::unlink(tmp.c_str());
}

// The log of changes (and its shared index) of a database that is gone belongs to no
// database: beside a fresh copy it would be laid over it, mixing old pages into new
// ones. It is renamed "QAData.dat.orphaned-<n>-wal" (and "-shm"), never replayed.
void setOrphanedLogAside(const std::filesystem::path& dataFolder)
{
    const std::string base = (dataFolder / ImageDatabaseFile).string();
    std::error_code ec;
    if (std::filesystem::file_size(base + "-wal", ec) == 0 || ec)
        return;
    int n = 1;
    while (std::filesystem::exists(base + ".orphaned-" + std::to_string(n) + "-wal", ec) ||
           std::filesystem::exists(base + ".orphaned-" + std::to_string(n) + "-shm", ec))
        ++n;
    for (const char* side : {"-wal", "-shm"})
        ::rename((base + side).c_str(), (base + ".orphaned-" + std::to_string(n) + side).c_str());
}

// Creators of the image database take turns. One that found it missing sets an old log
// aside and publishes the new file while no other creator can have published one and
// begun writing into its log: without the turn, a late creator moved a live log aside
// and the rows in it were lost.
class CreationTurn {
public:
    explicit CreationTurn(const std::filesystem::path& dataFolder)
        : fd_(::open((dataFolder / (std::string(ImageDatabaseFile) + ".lock")).c_str(), O_RDWR | O_CREAT | O_CLOEXEC,
                     0660))
    {
        if (fd_ >= 0)
            while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
    }
    ~CreationTurn()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    CreationTurn(const CreationTurn&) = delete;
    CreationTurn& operator=(const CreationTurn&) = delete;

private:
    int fd_;
};

}  // namespace

void createImageSchema(Database& db)
{
    Transaction t(db);
    const bool untracked = db.hasTable("tblImages") && !db.hasTable("tblOrphanCheck");
    db.exec(ImageSchema);
    db.exec(ReceiveTable);
    db.exec(ImageSchemaAdditions);
    if (untracked)
        db.exec("INSERT INTO tblOrphanCheck (Kind, RowKey) VALUES (0, NULL)");
    t.commit();
    ensureCommitmentTables(db);
}

bool upgradeImageSchema(Database& db)
{
    const auto present = [&db] {
        std::string sql = "SELECT COUNT(*) FROM sqlite_master WHERE name IN (";
        for (std::size_t i = 0; i < ImageSchemaAdditionNames.size(); ++i)
            sql += i == 0 ? "?" : ", ?";
        auto st = db.prepare(sql + ")");
        int n = 0;
        for (const char* name : ImageSchemaAdditionNames)
            st.bind(++n, name);
        return st.step() ? static_cast<std::size_t>(st.getInt(0)) : 0;
    };
    if (present() == ImageSchemaAdditionNames.size())
        return false;
    Transaction t(db);
    if (present() == ImageSchemaAdditionNames.size())
        return false;  // another program was first
    // Rows deleted before the triggers were there went unnoted: the next clean-up looks
    // at every row once.
    const bool untracked = !db.hasTable("tblOrphanCheck");
    db.exec(ImageSchemaAdditions);
    if (untracked)
        db.exec("INSERT INTO tblOrphanCheck (Kind, RowKey) VALUES (0, NULL)");
    t.commit();
    return true;
}

void createReceiveTable(Database& db)
{
    db.exec(ReceiveTable);
}

void createUserSchema(Database& db)
{
    Transaction t(db);
    db.exec(UserSchema);
    db.exec(yesNoTriggers("tblSCP", "Default"));
    db.exec(yesNoTriggers("tblDictionary", "Visible"));
    t.commit();
    ensureDestinationCommitmentColumn(db);
}

void ensureDestinationCommitmentColumn(Database& userDb)
{
    if (!userDb.hasTable("tblSCP") || userDb.hasColumn("tblSCP", "Commitment"))
        return;
    Transaction t(userDb);
    userDb.exec("ALTER TABLE tblSCP ADD \"Commitment\" BIT NOT NULL DEFAULT 0");
    userDb.exec(yesNoTriggers("tblSCP", "Commitment"));
    t.commit();
}

bool ensureImageDatabase(const std::filesystem::path& dataFolder)
{
    const auto target = dataFolder / ImageDatabaseFile;
    std::error_code ec;
    if (std::filesystem::exists(target, ec))
        return true;
    const auto templ = dataFolder / TemplateDatabaseFile;
    if (!std::filesystem::exists(templ, ec))
        return false;
    const CreationTurn turn(dataFolder);
    if (std::filesystem::exists(target, ec))
        return true;  // another creator was first
    try {
        setOrphanedLogAside(dataFolder);
        publishNoReplace(copyToTemporary(templ, dataFolder), target);
    } catch (const Error&) {
        return std::filesystem::exists(target, ec);
    }
    return std::filesystem::exists(target, ec);
}

namespace {

std::uintmax_t sizeOr(const std::filesystem::path& file, std::uintmax_t missing)
{
    std::error_code ec;
    const auto size = std::filesystem::file_size(file, ec);
    return ec ? missing : size;
}

}  // namespace

bool replaceEmptyImageDatabase(const std::filesystem::path& dataFolder)
{
    const auto target = dataFolder / ImageDatabaseFile;
    const auto wal = dataFolder / (std::string(ImageDatabaseFile) + "-wal");
    // Only a file with nothing in it and no log of changes beside it holds no data.
    if (sizeOr(target, 1) != 0 || sizeOr(wal, 0) != 0)
        return sizeOr(target, 0) > 0;
    const auto templ = dataFolder / TemplateDatabaseFile;
    const CreationTurn turn(dataFolder);
    try {
        const auto tmp = copyToTemporary(templ, dataFolder);
        if (sizeOr(target, 1) != 0 || ::rename(tmp.c_str(), target.c_str()) != 0)
            ::unlink(tmp.c_str());
    } catch (const Error&) {
    }
    return sizeOr(target, 0) > 0;
}

std::filesystem::path setImageDatabaseAside(const std::filesystem::path& dataFolder, const std::string& stamp)
{
    const auto target = dataFolder / ImageDatabaseFile;
    std::filesystem::path aside = dataFolder / (std::string(ImageDatabaseFile) + ".damaged-" + stamp);
    for (int n = 2; std::filesystem::exists(aside); ++n)
        aside = dataFolder / (std::string(ImageDatabaseFile) + ".damaged-" + stamp + "-" + std::to_string(n));
    if (::rename(target.c_str(), aside.c_str()) != 0)
        throwErrno("Cannot move aside", target);
    // Its log of changes and shared index belong to it, never to the new database.
    for (const char* side : {"-wal", "-shm"}) {
        const auto from = dataFolder / (std::string(ImageDatabaseFile) + side);
        std::error_code ec;
        if (std::filesystem::exists(from, ec))
            std::filesystem::rename(from, aside.string() + side, ec);
    }
    return aside;
}

void resetImageDatabase(const std::filesystem::path& dataFolder)
{
    const auto templ = dataFolder / TemplateDatabaseFile;
    if (!std::filesystem::exists(templ))
        throw Error(errc::NotFound, "The template database " + templ.string() + " is missing", "resetImageDatabase");
    if (!ensureImageDatabase(dataFolder))
        throw Error(errc::Generic, "Cannot create " + (dataFolder / ImageDatabaseFile).string(), "resetImageDatabase");
    Database source(templ);
    Database target(dataFolder / ImageDatabaseFile);
    sqlite3_backup* backup = sqlite3_backup_init(target.handle(), "main", source.handle(), "main");
    if (!backup)
        throw Error(errc::Database + sqlite3_errcode(target.handle()), sqlite3_errmsg(target.handle()),
                    "resetImageDatabase");
    int rc;
    // The busy timeout covers most waits; a reader that keeps the file busy gets a few more chances.
    for (int attempt = 0;; ++attempt) {
        rc = sqlite3_backup_step(backup, -1);
        if ((rc == SQLITE_BUSY || rc == SQLITE_LOCKED) && attempt < 100) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        break;
    }
    sqlite3_backup_finish(backup);
    if (rc != SQLITE_DONE)
        throw Error(errc::Database + (rc & 0xff), std::string(sqlite3_errstr(rc)) + ": " + dataFolder.string(),
                    "resetImageDatabase");
}

bool isValidIdentifier(const std::string& name)
{
    if (name.empty() || name.size() > 64)
        return false;
    auto isLetter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    if (!isLetter(name[0]) && name[0] != '_')
        return false;
    for (char c : name)
        if (!isLetter(c) && !isDigit(c) && c != '_')
            return false;
    if (sqlite3_keyword_check(name.data(), static_cast<int>(name.size())))
        return false;
    for (const char* reserved : {"rowid", "oid", "_rowid_"})
        if (equalsNoCase(name, reserved))
            return false;
    return sqlite3_strnicmp(name.c_str(), "sqlite_", 7) != 0;
}

void addFilterColumn(Database& userDb, const std::string& name)
{
    if (!isValidIdentifier(name))
        throw Error(errc::InvalidName,
                    "\"" + name + "\" cannot be used as a filter name. Use letters, digits and _ only, "
                    "starting with a letter, and no SQL keyword.",
                    "addFilterColumn");
    if (userDb.hasColumn("tblDictionary", name))
        throw Error(errc::InvalidName, "The dictionary already has a column named \"" + name + "\".",
                    "addFilterColumn");
    Transaction t(userDb);
    userDb.exec("ALTER TABLE tblDictionary ADD \"" + name + "\" BIT NOT NULL DEFAULT 0");
    userDb.exec(yesNoTriggers("tblDictionary", name));
    t.commit();
}

void dropFilterColumn(Database& userDb, const std::string& name)
{
    bool fixed = false;
    for (const char* c : DictionaryColumns)
        fixed = fixed || equalsNoCase(name, c);
    if (fixed || !isValidIdentifier(name) || !userDb.hasColumn("tblDictionary", name))
        throw Error(errc::InvalidName, "\"" + name + "\" is not a filter column of the dictionary.",
                    "dropFilterColumn");
    Transaction t(userDb);
    userDb.exec(dropYesNoTriggers("tblDictionary", name));
    userDb.exec("ALTER TABLE tblDictionary DROP COLUMN \"" + name + "\"");
    t.commit();
}

bool addDefaultFilter(Database& userDb)
{
    struct Entry {
        const char* tag;
        const char* type;
        const char* description;
    };
    static constexpr Entry entries[] = {
        {"0010,0010", "PN", "Patient's Name"},
        {"0010,0020", "LO", "Patient ID"},
        {"0010,0030", "DA", "Patient's Birth Date"},
        {"0008,0020", "DA", "Study Date"},
        {"0008,0050", "SH", "Accession Number"},
        {"0008,1030", "LO", "Study Description"},
        {"0008,0060", "CS", "Modality"},
        {"0008,0068", "CS", "Presentation Intent Type"},
        {"0018,5101", "CS", "View Position"},
        {"0020,0062", "CS", "Image Laterality"},
        {"0020,0060", "CS", "Laterality"},
        {"0018,0060", "DS", "KVP"},
        {"0018,1150", "IS", "Exposure Time"},
        {"0018,1152", "IS", "Exposure"},
        {"0018,11A0", "DS", "Body Part Thickness"},
        {"0018,11A2", "DS", "Compression Force"},
        {"0040,8302", "DS", "Entrance Dose in mGy"},
        {"0040,0310", "ST", "Comments on Radiation Dose"},
        {"0018,1191", "CS", "Anode Target Material"},
        {"0018,7050", "CS", "Filter Material"},
        {"0018,6000", "DS", "Sensitivity"},
        {"0018,1411", "DS", "Exposure Index"},
        {"0018,1405", "IS", "Relative X-Ray Exposure"},
    };
    if (userDb.hasColumn("tblDictionary", DefaultFilterName))
        return false;
    Transaction t(userDb);
    const std::string column = std::string("\"") + DefaultFilterName + "\"";
    userDb.exec("ALTER TABLE tblDictionary ADD " + column + " BIT NOT NULL DEFAULT 0");
    userDb.exec(yesNoTriggers("tblDictionary", DefaultFilterName));
    auto mark = userDb.prepare("UPDATE tblDictionary SET " + column + " = -1 WHERE Tag = ?");
    auto insert = userDb.prepare("INSERT INTO tblDictionary (Tag, Type, Description, Visible, " + column +
                                 ") VALUES (?, ?, ?, -1, -1)");
    for (const Entry& e : entries) {
        mark.reset();
        if (mark.bind(1, e.tag).run() == 0) {  // a dictionary without the attribute gains it
            insert.reset();
            insert.bind(1, e.tag).bind(2, e.type).bind(3, e.description).run();
        }
    }
    t.commit();
    return true;
}

}  // namespace corva::db
