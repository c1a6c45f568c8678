#include "db/connection.h"

#include "core/error.h"

namespace corva::db {

bool Connection::openIfClosed()
{
    if (db_.isOpen())
        return true;
    // An empty name would open a private temporary database instead of failing.
    if (file_.empty())
        return false;
    openError_.reset();
    try {
        db_ = Database(file_);
    } catch (const Error& e) {
        // Silent by design: the next statement on the closed connection reports the
        // failure; the reason is kept for those who tell it.
        openError_ = e;
    }
    return db_.isOpen();
}

bool Connection::reopen()
{
    closeIfOpen();
    return openIfClosed();
}

void Connection::closeIfOpen()
{
    db_.close();
}

Database& Connection::db()
{
    if (!db_.isOpen())
        throw Error(errc::Database + 21 /* SQLITE_MISUSE */, "The database " + file_.string() + " is not open",
                    "Connection::db");
    return db_;
}

}  // namespace corva::db
