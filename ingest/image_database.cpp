#include "image_database.h"

#include <time.h>
#include <unistd.h>

#include <cerrno>

#include <system_error>

#include "core/error.h"
#include "db/orphans.h"
#include "db/schema.h"
#include "ingest_log.h"
#include "process/private_files.h"
#include "store_fault.h"

namespace corva::ingest {

namespace fs = std::filesystem;

namespace {

std::string stampNow()
{
    const time_t now = ::time(nullptr);
    tm local {};
    ::localtime_r(&now, &local);
    char text[32];
    ::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
    return text;
}

}  // namespace

ImageDatabase::ImageDatabase(fs::path dataFolder, IngestLog& log)
    : data_(std::move(dataFolder)), file_(data_ / db::ImageDatabaseFile), log_(log)
{
}

std::optional<std::string> ImageDatabase::ensurePresent(bool tell)
{
    std::error_code ec;
    const bool exists = fs::exists(file_, ec);
    const auto size = exists ? fs::file_size(file_, ec) : 0;
    if (exists && (ec || size > 0))
        return std::nullopt;
    const fs::path templ = data_ / db::TemplateDatabaseFile;
    const char* was = exists ? "empty" : "missing";
    if (!fs::exists(templ, ec))
        return std::string(was) + ", and Data/" + db::TemplateDatabaseFile + " to create it from is missing";
    const bool made = exists ? db::replaceEmptyImageDatabase(data_) : db::ensureImageDatabase(data_);
    if (!made)
        return std::string(was) + " and cannot be created from Data/" + db::TemplateDatabaseFile;
    if (tell)
        log_.writeLog(0, std::string("Data/") + db::ImageDatabaseFile + " was " + was + ": created from Data/" +
                             db::TemplateDatabaseFile,
                      "OpenDB");
    return std::nullopt;
}

std::optional<std::string> ImageDatabase::tryOpen(db::Connection& connection, int& sqliteCode)
{
    sqliteCode = 0;
    connection.setFile(file_);
    std::optional<Error> error;
    if (connection.reopen()) {
        try {
            // A file of another kind opens; the image tables tell ours.
            db::Statement probe(connection.db(), "SELECT 1 FROM tblImages LIMIT 1");
            probe.step();
            if (!suspect_)
                return std::nullopt;
            db::Statement check(connection.db(), "PRAGMA quick_check(1)");
            const std::string verdict = check.step() ? check.getText(0) : std::string("no answer");
            if (verdict == "ok") {
                suspect_ = false;
                return std::nullopt;
            }
            throw Error(errc::Database + 11, "database disk image is malformed (" + verdict + ")");
        } catch (const Error& e) {
            error = e;
        }
        connection.closeIfOpen();
    } else {
        error = connection.openError();
    }
    if (!error)
        return std::string("cannot be opened");
    // A database on a read-only disk or in a folder without rights fails in many ways:
    // the disk's state is the reason to tell.
    for (const fs::path& path : {file_, data_})
        if (::access(path.c_str(), W_OK) != 0 && (errno == EROFS || errno == EACCES || errno == EPERM))
            return diskReason(errno);
    if (diskFull(data_))
        return diskReason(ENOSPC);
    if (error->code() >= errc::Database && error->code() < errc::Database + 256) {
        sqliteCode = error->code() - errc::Database;
        return databaseReason(sqliteCode, error->message());
    }
    return error->message();
}

std::optional<std::string> ImageDatabase::open(db::Connection& connection)
{
    if (auto missing = ensurePresent())
        return missing;
    int code = 0;
    auto failure = tryOpen(connection, code);
    if (!failure) {
        damaged_.reset();
        process::makePrivate(file_);
        upgrade(connection);
        return std::nullopt;
    }
    if (!isDamagedDatabase(code)) {
        damaged_.reset();
        return failure;
    }
    // A damaged file may be one being copied in right now: it goes aside only when it
    // is found damaged and unchanged once more after a pause.
    const auto identity = fileIdentity(file_);
    if (!damaged_ || damaged_ != identity) {
        damaged_ = identity;
        return failure;
    }
    damaged_.reset();
    suspect_ = false;
    fs::path aside;
    try {
        aside = db::setImageDatabaseAside(data_, stampNow());
    } catch (const Error& e) {
        return *failure + "; cannot be moved aside: " + e.message();
    }
    log_.writeLog(0, std::string("Data/") + db::ImageDatabaseFile + " is " + *failure + ": moved aside as Data/" +
                         aside.filename().string() + ", a new one is created from Data/" + db::TemplateDatabaseFile,
                  "OpenDB");
    if (auto missing = ensurePresent(false))
        return missing;
    failure = tryOpen(connection, code);
    if (!failure) {
        process::makePrivate(file_);
        upgrade(connection);
    }
    return failure;
}

void ImageDatabase::upgrade(db::Connection& connection)
{
    // Without the additions everything still works, only slower with many images: a
    // failure is told once and tried again on the next open.
    try {
        if (db::upgradeImageSchema(connection.db()))
            log_.writeLog(0, std::string("Data/") + db::ImageDatabaseFile + " upgraded: indexes and orphan notes added",
                          "OpenDB");
        upgradeTold_ = false;
        // Once a run, the orphan clean-up looks at every row, as it did on every tick
        // before it kept notes.
        if (!everyRowChecked_) {
            db::checkEveryRowForOrphans(connection.db());
            everyRowChecked_ = true;
        }
    } catch (const Error& e) {
        if (!upgradeTold_)
            log_.writeLog(e.code(), std::string("Data/") + db::ImageDatabaseFile + " not upgraded: " + e.message(),
                          "OpenDB");
        upgradeTold_ = true;
    }
}

}  // namespace corva::ingest
