#include "db/commitments.h"

#include <map>

#include "db/database.h"

namespace corva::db {

namespace {

constexpr const char* CommitmentTables = R"SQL(
CREATE TABLE IF NOT EXISTS tblCommitments (
  TransactionUID TEXT PRIMARY KEY,
  Destination TEXT,
  Requested TEXT,
  Answered TEXT);
CREATE TABLE IF NOT EXISTS tblCommitmentItems (
  ItemID INTEGER PRIMARY KEY AUTOINCREMENT,
  TransactionUID TEXT NOT NULL,
  SOPClassUID TEXT,
  SOPInstanceUID TEXT,
  ImageID INTEGER NOT NULL DEFAULT 0,
  StudyUID TEXT,
  WorkCopy INTEGER NOT NULL DEFAULT 0,
  State INTEGER NOT NULL DEFAULT 0,
  FailureReason INTEGER NOT NULL DEFAULT 0,
  Done INTEGER NOT NULL DEFAULT 0,
  FilesRemoved INTEGER NOT NULL DEFAULT 0,
  FileSize INTEGER,
  FileModified INTEGER,
  FileInode INTEGER,
  FileDevice INTEGER,
  WorkSize INTEGER,
  WorkModified INTEGER,
  WorkInode INTEGER,
  WorkDevice INTEGER);
CREATE INDEX IF NOT EXISTS idxCommitmentItemsTransaction ON tblCommitmentItems (TransactionUID);
CREATE INDEX IF NOT EXISTS idxCommitmentItemsOpen ON tblCommitmentItems (FilesRemoved);
)SQL";

}  // namespace

// The identity of the file sent, added after the first version of the tables.
constexpr const char* FileColumns[] = {"FileSize", "FileModified", "FileInode", "FileDevice",
                                       "WorkSize",  "WorkModified", "WorkInode", "WorkDevice"};

void ensureCommitmentTables(Database& db)
{
    if (db.hasTable("tblCommitments") && db.hasTable("tblCommitmentItems") &&
        db.hasColumn("tblCommitmentItems", "WorkDevice"))
        return;
    Transaction t(db);
    db.exec(CommitmentTables);
    for (const char* column : FileColumns)
        if (!db.hasColumn("tblCommitmentItems", column))
            db.exec(std::string("ALTER TABLE tblCommitmentItems ADD COLUMN ") + column + " INTEGER");
    t.commit();
}

CommitmentStore::CommitmentStore(Database& db) : db_(db) { ensureCommitmentTables(db_); }

void CommitmentStore::add(const CommitmentTransaction& tx)
{
    Transaction t(db_);
    db_.prepare("INSERT INTO tblCommitments (TransactionUID, Destination, Requested) "
                "VALUES (?, ?, datetime('now', 'localtime'))")
        .bind(1, tx.transactionUid)
        .bind(2, tx.destination)
        .run();
    auto st = db_.prepare("INSERT INTO tblCommitmentItems (TransactionUID, SOPClassUID, SOPInstanceUID, ImageID, "
                          "StudyUID, WorkCopy, FileSize, FileModified, FileInode, FileDevice, WorkSize, "
                          "WorkModified, WorkInode, WorkDevice) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    for (const CommitmentItem& item : tx.items) {
        st.reset();
        st.bind(1, tx.transactionUid)
            .bind(2, item.sopClassUid)
            .bind(3, item.sopInstanceUid)
            .bind(4, item.imageId)
            .bind(5, item.studyUid)
            .bind(6, item.workCopy ? 1 : 0);
        for (const auto& [first, file] : {std::pair{7, &item.sentFile}, std::pair{11, &item.workFile}}) {
            if (*file) {
                st.bind(first, static_cast<std::int64_t>((*file)->size))
                    .bind(first + 1, (*file)->modifiedNs)
                    .bind(first + 2, static_cast<std::int64_t>((*file)->inode))
                    .bind(first + 3, static_cast<std::int64_t>((*file)->device));
            } else {
                for (int i = first; i < first + 4; ++i)
                    st.bindNull(i);
            }
        }
        st.run();
    }
    t.commit();
}

bool CommitmentStore::record(const std::string& transactionUid, const std::vector<CommitmentReportItem>& report)
{
    Transaction t(db_);
    {
        auto st = db_.prepare("SELECT Answered FROM tblCommitments WHERE TransactionUID = ?");
        st.bind(1, transactionUid);
        if (!st.step())
            return false;
        if (!st.isNull(0))
            return true;  // answered before: the first answer stands
    }
    // Only an instance the archive names, with the SOP class it was asked for, counts as
    // committed; one it does not name is not committed. The failures go first: an
    // instance the report also names as failed is not committed, in whichever order.
    auto mark = db_.prepare("UPDATE tblCommitmentItems SET State = ?, FailureReason = ? "
                            "WHERE TransactionUID = ? AND SOPInstanceUID = ? AND SOPClassUID = ? AND State = 0");
    auto failed = db_.prepare("UPDATE tblCommitmentItems SET State = ?, FailureReason = ? "
                              "WHERE TransactionUID = ? AND SOPInstanceUID = ? AND State = 0");
    for (const bool committed : {false, true})
        for (const CommitmentReportItem& item : report) {
            if (item.committed != committed)
                continue;
            // A failure counts under any SOP class: it can only keep an image.
            auto& st = committed ? mark : failed;
            st.reset();
            st.bind(1, static_cast<int>(committed ? CommitState::Committed : CommitState::Failed))
                .bind(2, committed ? 0 : item.failureReason)
                .bind(3, transactionUid)
                .bind(4, item.sopInstanceUid);
            if (committed)
                st.bind(5, item.sopClassUid);
            st.run();
        }
    db_.prepare("UPDATE tblCommitmentItems SET State = ?, FailureReason = 0 WHERE TransactionUID = ? AND State = 0")
        .bind(1, static_cast<int>(CommitState::Failed))
        .bind(2, transactionUid)
        .run();
    db_.prepare("UPDATE tblCommitments SET Answered = datetime('now', 'localtime') WHERE TransactionUID = ?")
        .bind(1, transactionUid)
        .run();
    t.commit();
    return true;
}

namespace {

std::vector<CommitmentItem> itemsOf(Database& db, const std::string& transactionUid)
{
    std::vector<CommitmentItem> items;
    auto st = db.prepare("SELECT SOPClassUID, SOPInstanceUID, ImageID, StudyUID, WorkCopy, State, FailureReason, Done, "
                         "FilesRemoved, FileSize, FileModified, FileInode, FileDevice, WorkSize, WorkModified, "
                         "WorkInode, WorkDevice "
                         "FROM tblCommitmentItems WHERE TransactionUID = ? ORDER BY ItemID");
    st.bind(1, transactionUid);
    while (st.step()) {
        CommitmentItem item;
        item.sopClassUid = st.isNull(0) ? "" : st.getText(0);
        item.sopInstanceUid = st.isNull(1) ? "" : st.getText(1);
        item.imageId = st.getInt(2);
        item.studyUid = st.isNull(3) ? "" : st.getText(3);
        item.workCopy = st.getInt(4) != 0;
        const std::int64_t state = st.getInt(5);
        item.state = state == 1 ? CommitState::Committed : state == 2 ? CommitState::Failed : CommitState::Pending;
        item.failureReason = st.getInt(6);
        item.done = st.getInt(7) != 0;
        item.filesRemoved = st.getInt(8) != 0;
        const auto identity = [&](int first) -> std::optional<FileIdentity> {
            for (int i = first; i < first + 4; ++i)
                if (st.isNull(i))
                    return std::nullopt;
            return FileIdentity{static_cast<std::uintmax_t>(st.getInt(first)), st.getInt(first + 1),
                                static_cast<std::uintmax_t>(st.getInt(first + 2)),
                                static_cast<std::uintmax_t>(st.getInt(first + 3))};
        };
        item.sentFile = identity(9);
        item.workFile = identity(13);
        items.push_back(std::move(item));
    }
    return items;
}

}  // namespace

std::optional<CommitmentTransaction> CommitmentStore::transaction(const std::string& transactionUid)
{
    auto st = db_.prepare("SELECT Destination, Requested, Answered FROM tblCommitments WHERE TransactionUID = ?");
    st.bind(1, transactionUid);
    if (!st.step())
        return std::nullopt;
    CommitmentTransaction tx;
    tx.transactionUid = transactionUid;
    tx.destination = st.isNull(0) ? "" : st.getText(0);
    tx.requested = st.isNull(1) ? "" : st.getText(1);
    tx.answered = st.isNull(2) ? "" : st.getText(2);
    tx.items = itemsOf(db_, transactionUid);
    return tx;
}

std::vector<CommitmentTransaction> CommitmentStore::open()
{
    std::vector<std::string> uids;
    {
        auto st = db_.prepare("SELECT TransactionUID FROM tblCommitments WHERE TransactionUID IN "
                              "(SELECT TransactionUID FROM tblCommitmentItems WHERE FilesRemoved = 0) "
                              "ORDER BY Requested, rowid");
        while (st.step())
            uids.push_back(st.getText(0));
    }
    std::vector<CommitmentTransaction> out;
    for (const std::string& uid : uids)
        if (auto tx = transaction(uid))
            out.push_back(std::move(*tx));
    return out;
}

void CommitmentStore::markDone(const std::string& transactionUid, const std::vector<std::string>& sopInstanceUids)
{
    auto st = db_.prepare("UPDATE tblCommitmentItems SET Done = 1 WHERE TransactionUID = ? AND SOPInstanceUID = ?");
    for (const std::string& uid : sopInstanceUids) {
        st.reset();
        st.bind(1, transactionUid).bind(2, uid);
        st.run();
    }
}

void CommitmentStore::markKept(const std::string& transactionUid, const std::vector<std::string>& sopInstanceUids)
{
    auto st = db_.prepare("UPDATE tblCommitmentItems SET ImageID = 0, WorkCopy = 0 WHERE TransactionUID = ? AND "
                          "SOPInstanceUID = ? AND Done = 0");
    for (const std::string& uid : sopInstanceUids) {
        st.reset();
        st.bind(1, transactionUid).bind(2, uid);
        st.run();
    }
}

void CommitmentStore::markFilesRemoved(const std::string& transactionUid,
                                       const std::vector<std::string>& sopInstanceUids)
{
    auto st = db_.prepare("UPDATE tblCommitmentItems SET FilesRemoved = 1 WHERE TransactionUID = ? AND "
                          "SOPInstanceUID = ? AND Done = 1");
    for (const std::string& uid : sopInstanceUids) {
        st.reset();
        st.bind(1, transactionUid).bind(2, uid);
        st.run();
    }
}

bool CommitmentStore::forget(const std::string& transactionUid)
{
    Transaction t(db_);
    if (db_.prepare("DELETE FROM tblCommitments WHERE TransactionUID = ? AND Answered IS NULL")
            .bind(1, transactionUid)
            .run() == 0)
        return false;
    db_.prepare("DELETE FROM tblCommitmentItems WHERE TransactionUID = ?").bind(1, transactionUid).run();
    t.commit();
    return true;
}

void CommitmentStore::closeAnswered(const std::string& transactionUid)
{
    db_.prepare("UPDATE tblCommitmentItems SET Done = 1, FilesRemoved = 1 WHERE TransactionUID = ? AND Done = 0 AND "
                "(State = 2 OR (State = 1 AND ImageID = 0)) AND "
                "EXISTS (SELECT 1 FROM tblCommitments c WHERE c.TransactionUID = tblCommitmentItems.TransactionUID "
                "AND c.Answered IS NOT NULL)")
        .bind(1, transactionUid)
        .run();
}

}  // namespace corva::db
