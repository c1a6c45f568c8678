// Storage commitment transactions in the image database: an earlier version's database
// gets the tables, the first answer to a transaction stands, instances the answer does
// not name are not committed, and what is finished leaves the open list.
#include "db/commitments.h"

#include <gtest/gtest.h>

#include "db/database.h"
#include "db_test_util.h"
#include "temp_dir.h"

using namespace corva;

namespace {

const std::string Mg = "1.2.840.10008.5.1.4.1.1.1.2";

db::CommitmentTransaction transaction(const std::string& uid)
{
    db::CommitmentTransaction tx;
    tx.transactionUid = uid;
    tx.destination = "ARCHIVE@127.0.0.1:104";
    for (int i = 1; i <= 3; ++i) {
        db::CommitmentItem item;
        item.sopClassUid = Mg;
        item.sopInstanceUid = "1.2.3." + std::to_string(i);
        item.imageId = i;
        item.studyUid = "1.2.3";
        tx.items.push_back(item);
    }
    return tx;
}

}  // namespace

TEST(Commitments, AnEarlierDatabaseGetsTheTablesWhenFirstUsed)
{
    test::TempDir dir("commit");
    db::Database d(dir.path() / "old.dat", true);
    d.exec("CREATE TABLE tblImages (ImageID INTEGER PRIMARY KEY AUTOINCREMENT, ImageUID TEXT)");
    EXPECT_FALSE(d.hasTable("tblCommitments"));
    db::CommitmentStore store(d);
    EXPECT_TRUE(d.hasTable("tblCommitments"));
    EXPECT_TRUE(d.hasColumn("tblCommitmentItems", "FilesRemoved"));
    EXPECT_TRUE(store.open().empty());
}

TEST(Commitments, TheFirstAnswerStandsAndUnnamedInstancesAreNotCommitted)
{
    test::TempDir dir("commit");
    db::Database d = test::newImageDb(dir.path() / "QAData.dat");
    db::CommitmentStore store(d);
    store.add(transaction("2.25.1"));
    ASSERT_EQ(store.open().size(), 1u);
    EXPECT_FALSE(store.open().front().answeredAll());

    // The archive names the first as committed, the second as failed, the third not at
    // all; a committed instance under another SOP class is no commitment to ours.
    EXPECT_TRUE(store.record("2.25.1", {{Mg, "1.2.3.1", true, 0},
                                        {Mg, "1.2.3.2", false, 0x0112},
                                        {"1.2.840.10008.5.1.4.1.1.7", "1.2.3.3", true, 0}}));
    // A second answer changes nothing.
    EXPECT_TRUE(store.record("2.25.1", {{Mg, "1.2.3.2", true, 0}, {Mg, "1.2.3.3", true, 0}}));
    EXPECT_FALSE(store.record("2.25.99", {{Mg, "1.2.3.1", true, 0}}));

    const auto tx = store.transaction("2.25.1");
    ASSERT_TRUE(tx);
    EXPECT_TRUE(tx->answeredAll());
    ASSERT_EQ(tx->items.size(), 3u);
    EXPECT_EQ(tx->items[0].state, db::CommitState::Committed);
    EXPECT_EQ(tx->items[1].state, db::CommitState::Failed);
    EXPECT_EQ(tx->items[1].failureReason, 0x0112);
    EXPECT_EQ(tx->items[2].state, db::CommitState::Failed);
    EXPECT_EQ(tx->items[2].failureReason, 0);

    // The failed ones have nothing to remove; the committed one waits for its removal,
    // then for its files.
    {
        db::Transaction t(d);
        store.closeAnswered("2.25.1");
        t.commit();
    }
    ASSERT_EQ(store.open().size(), 1u);
    store.markDone("2.25.1", {"1.2.3.1"});
    ASSERT_EQ(store.open().size(), 1u);
    store.markFilesRemoved("2.25.1", {"1.2.3.1"});
    EXPECT_TRUE(store.open().empty());
}

TEST(Commitments, ARequestThatNeverLeftIsForgottenAnAnsweredOneNot)
{
    test::TempDir dir("commit");
    db::Database d = test::newImageDb(dir.path() / "QAData.dat");
    db::CommitmentStore store(d);
    store.add(transaction("2.25.2"));
    store.add(transaction("2.25.3"));
    store.record("2.25.3", {{Mg, "1.2.3.1", true, 0}});
    EXPECT_TRUE(store.forget("2.25.2"));
    EXPECT_FALSE(store.forget("2.25.3"));
    EXPECT_FALSE(store.transaction("2.25.2"));
    EXPECT_EQ(test::scalar(d, "SELECT COUNT(*) FROM tblCommitmentItems WHERE TransactionUID = '2.25.2'"), 0);
    EXPECT_TRUE(store.transaction("2.25.3"));
}

// Reports that lie commit nothing they should not: an instance named committed and
// failed at once (in either order), one under another SOP class, one of another
// transaction, one never asked for. Only the truthful first instance is committed.
struct LyingReport {
    const char* name;
    std::vector<db::CommitmentReportItem> report;  // to transaction 2.25.10
    db::CommitState second;                        // what 1.2.3.2 ends as
    std::int64_t secondReason;
};

class CommitmentLies : public ::testing::TestWithParam<LyingReport> {};

TEST_P(CommitmentLies, OnlyWhatTheArchiveTrulyCommittedCounts)
{
    test::TempDir dir("commit");
    db::Database d = test::newImageDb(dir.path() / "QAData.dat");
    db::CommitmentStore store(d);
    store.add(transaction("2.25.10"));
    db::CommitmentTransaction other = transaction("2.25.11");
    for (auto& item : other.items)
        item.sopInstanceUid += ".7";
    store.add(other);

    std::vector<db::CommitmentReportItem> report{{Mg, "1.2.3.1", true, 0}};
    report.insert(report.end(), GetParam().report.begin(), GetParam().report.end());
    ASSERT_TRUE(store.record("2.25.10", report));
    const auto tx = store.transaction("2.25.10");
    ASSERT_TRUE(tx);
    EXPECT_EQ(tx->items[0].state, db::CommitState::Committed);
    EXPECT_EQ(tx->items[1].state, GetParam().second);
    EXPECT_EQ(tx->items[1].failureReason, GetParam().secondReason);
    EXPECT_EQ(tx->items[2].state, db::CommitState::Failed);
    // The other transaction is untouched by what this report names.
    const auto untouched = store.transaction("2.25.11");
    ASSERT_TRUE(untouched);
    EXPECT_FALSE(untouched->answeredAll());
    for (const auto& item : untouched->items)
        EXPECT_EQ(item.state, db::CommitState::Pending) << item.sopInstanceUid;
}

const LyingReport Lies[] = {
    {"CommittedThenFailed", {{Mg, "1.2.3.2", true, 0}, {Mg, "1.2.3.2", false, 0x0110}}, db::CommitState::Failed, 0x0110},
    {"FailedThenCommitted", {{Mg, "1.2.3.2", false, 0x0110}, {Mg, "1.2.3.2", true, 0}}, db::CommitState::Failed, 0x0110},
    {"FailedUnderAnotherClass",
     {{Mg, "1.2.3.2", true, 0}, {"1.2.840.10008.5.1.4.1.1.7", "1.2.3.2", false, 0x0119}},
     db::CommitState::Failed,
     0x0119},
    {"CommittedUnderAnotherClass", {{"1.2.840.10008.5.1.4.1.1.7", "1.2.3.2", true, 0}}, db::CommitState::Failed, 0},
    {"InstancesOfAnotherTransaction",
     {{Mg, "1.2.3.1.7", true, 0}, {Mg, "1.2.3.2.7", true, 0}, {Mg, "1.2.3.3.7", false, 0x0110}},
     db::CommitState::Failed,
     0},
    {"InstancesNeverAsked", {{Mg, "1.2.3.9", true, 0}, {Mg, "1.2.3.22", true, 0}}, db::CommitState::Failed, 0},
};

INSTANTIATE_TEST_SUITE_P(Reports, CommitmentLies, ::testing::ValuesIn(Lies),
                         [](const auto& info) { return std::string(info.param.name); });

// Tables of the first version, without the identity of the file sent: they get its
// columns, and their items, of unknown identity, keep waiting as they were.
TEST(Commitments, TablesWithoutTheSentFileGetItAndKeepTheirItems)
{
    test::TempDir dir("commit");
    db::Database d = test::newImageDb(dir.path() / "QAData.dat");
    d.exec("DROP TABLE tblCommitmentItems; DROP TABLE tblCommitments;"
           "CREATE TABLE tblCommitments (TransactionUID TEXT PRIMARY KEY, Destination TEXT, Requested TEXT, "
           "Answered TEXT);"
           "CREATE TABLE tblCommitmentItems (ItemID INTEGER PRIMARY KEY AUTOINCREMENT, TransactionUID TEXT NOT NULL, "
           "SOPClassUID TEXT, SOPInstanceUID TEXT, ImageID INTEGER NOT NULL DEFAULT 0, StudyUID TEXT, "
           "WorkCopy INTEGER NOT NULL DEFAULT 0, State INTEGER NOT NULL DEFAULT 0, FailureReason INTEGER NOT NULL "
           "DEFAULT 0, Done INTEGER NOT NULL DEFAULT 0, FilesRemoved INTEGER NOT NULL DEFAULT 0);"
           "INSERT INTO tblCommitments (TransactionUID, Destination, Requested) VALUES ('2.25.20', 'A@h:1', 'x');"
           "INSERT INTO tblCommitmentItems (TransactionUID, SOPClassUID, SOPInstanceUID, ImageID, StudyUID) "
           "VALUES ('2.25.20', '" + Mg + "', '1.2.3.1', 1, '1.2.3');");
    db::CommitmentStore store(d);
    EXPECT_TRUE(d.hasColumn("tblCommitmentItems", "FileSize"));
    EXPECT_TRUE(d.hasColumn("tblCommitmentItems", "FileDevice"));
    EXPECT_TRUE(d.hasColumn("tblCommitmentItems", "WorkDevice"));
    const auto open = store.open();
    ASSERT_EQ(open.size(), 1u);
    ASSERT_EQ(open.front().items.size(), 1u);
    EXPECT_FALSE(open.front().items.front().sentFile);
    EXPECT_EQ(open.front().items.front().imageId, 1);

    // A new transaction keeps the identity of each file sent.
    db::CommitmentTransaction tx = transaction("2.25.21");
    tx.items[0].sentFile = FileIdentity{1234, 5678901234567, 42, 7};
    store.add(tx);
    const auto added = store.transaction("2.25.21");
    ASSERT_TRUE(added);
    EXPECT_EQ(added->items[0].sentFile, tx.items[0].sentFile);
    EXPECT_FALSE(added->items[1].sentFile);
}
