#pragma once
// A database connection held for a program's whole run and opened and closed
// around each piece of work (the station's OpenDataDB/CloseDataDB, the ingest
// service's OpenDB/CloseDB). Open and close never throw; a statement on a
// connection that failed to open throws instead.
#include <filesystem>
#include <optional>

#include "core/error.h"
#include "db/database.h"

namespace corva::db {

class Connection {
public:
    void setFile(const std::filesystem::path& file) { file_ = file; }
    const std::filesystem::path& file() const { return file_; }

    bool openIfClosed();   // silent; true when open afterwards
    bool reopen();         // closes when open, then opens
    void closeIfOpen();    // silent
    bool isOpen() const { return db_.isOpen(); }
    // Why the last open failed (the database's own message and code); empty after a
    // successful open.
    const std::optional<Error>& openError() const { return openError_; }

    // The open database; throws corva::Error when the connection is closed.
    Database& db();

private:
    std::filesystem::path file_;
    Database db_;
    std::optional<Error> openError_;
};

}  // namespace corva::db
