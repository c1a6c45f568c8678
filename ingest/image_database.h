#pragma once
// Opens the image database for the ingest service and keeps it usable: a missing or
// empty Data/QAData.dat is created from the template whenever it is found so, and a
// damaged one (found damaged on two attempts in a row, unchanged in between) is moved
// aside under a dated name and replaced by a new one; it is never written over.
#include <filesystem>
#include <optional>
#include <string>

#include "core/file_identity.h"
#include "db/connection.h"

namespace corva::ingest {

class IngestLog;

class ImageDatabase {
public:
    ImageDatabase(std::filesystem::path dataFolder, IngestLog& log);

    const std::filesystem::path& file() const { return file_; }
    // Opens `connection` on the image database; nullopt when it is open and holds the
    // image tables, otherwise why not ("damaged (file is not a database)").
    std::optional<std::string> open(db::Connection& connection);
    // Filing found the database damaged where opening does not look (an index, a
    // table's inner pages): the next opens check the whole file until it is sound again
    // or has been moved aside.
    void suspectDamage() { suspect_ = true; }

private:
    std::optional<std::string> ensurePresent(bool tell = true);
    std::optional<std::string> tryOpen(db::Connection& connection, int& sqliteCode);
    // Adds what a database of an earlier version lacks (db::upgradeImageSchema).
    void upgrade(db::Connection& connection);

    std::filesystem::path data_;
    std::filesystem::path file_;
    IngestLog& log_;
    // The damaged file as last seen: moved aside when seen so once more.
    std::optional<FileIdentity> damaged_;
    bool suspect_ = false;
    bool upgradeTold_ = false;
    bool everyRowChecked_ = false;
};

}  // namespace corva::ingest
