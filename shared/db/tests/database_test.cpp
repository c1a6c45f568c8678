#include "db/database.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "core/error.h"
#include "db/connection.h"
#include "db_test_util.h"
#include "temp_dir.h"

using namespace corva;
using corva::test::TempDir;

TEST(Database, OpensWithWalBusyTimeoutAndNormalSync)
{
    TempDir dir;
    auto d = test::newImageDb(dir / "QAData.dat");
    auto mode = d.prepare("PRAGMA journal_mode");
    ASSERT_TRUE(mode.step());
    EXPECT_EQ(mode.getText(0), "wal");
    EXPECT_EQ(test::scalar(d, "PRAGMA busy_timeout"), 10000);
    EXPECT_EQ(test::scalar(d, "PRAGMA synchronous"), 1);  // NORMAL
    EXPECT_EQ(test::scalar(d, "PRAGMA foreign_keys"), 0);
}

TEST(Database, SqliteErrorsBecomeCorvaErrorWithMessage)
{
    TempDir dir;
    auto d = test::newImageDb(dir / "QAData.dat");
    try {
        d.exec("SELEC 1");
        FAIL() << "no error";
    } catch (const Error& e) {
        EXPECT_EQ(e.code(), errc::Database + 1);  // SQLITE_ERROR
        EXPECT_NE(e.message().find("syntax error"), std::string::npos) << e.message();
        EXPECT_NE(e.message().find("SELEC 1"), std::string::npos) << e.message();
    }
    try {
        d.prepare("SELECT nosuchcolumn FROM tblImages");
        FAIL() << "no error";
    } catch (const Error& e) {
        EXPECT_NE(e.message().find("no such column"), std::string::npos) << e.message();
        EXPECT_FALSE(e.where().empty());
    }
    // A second statement would silently not run: refused.
    EXPECT_THROW(d.prepare("DELETE FROM tblReceive; DELETE FROM tblImages"), Error);
    EXPECT_NO_THROW(d.prepare("DELETE FROM tblReceive;  "));
    EXPECT_THROW(db::Database(dir / "missing.dat"), Error);
}

TEST(Database, ApostropheInPatientIdIsStoredUnchanged)
{
    TempDir dir;
    auto d = test::newImageDb(dir / "QAData.dat");
    const std::string id = "O'Brien'; DROP TABLE tblPatienten; --";
    test::insertChain(d, id, "1.2.3");
    auto st = d.prepare("SELECT PATID1 FROM tblPatienten WHERE PATID1 = ?");
    st.bind(1, id);
    ASSERT_TRUE(st.step());
    EXPECT_EQ(st.getText("patid1"), id);
    EXPECT_TRUE(d.hasTable("tblPatienten"));
}

TEST(Database, StatementReadsByNameAndPosition)
{
    TempDir dir;
    auto d = test::newImageDb(dir / "QAData.dat");
    auto k = test::insertChain(d, "P1", "1.2.3");
    auto st = d.prepare("Select Max(PATID) from tblPatienten");
    ASSERT_TRUE(st.step());
    EXPECT_EQ(st.getInt(0), k.patient);
    auto row = d.prepare("SELECT PATID, PAT2Vorname, PATGebDatum FROM tblPatienten");
    ASSERT_TRUE(row.step());
    EXPECT_EQ(row.getInt("PatID"), k.patient);  // names without regard to case
    EXPECT_TRUE(row.isNull("PAT2Vorname"));
    EXPECT_EQ(row.getText(2), db::NoDateMarker);
    EXPECT_EQ(std::get<std::string>(row.get(2)), "1899-12-31");
    EXPECT_EQ(row.columnIndex("nope"), -1);
    EXPECT_THROW(row.getText("nope"), Error);
    EXPECT_FALSE(row.step());
    // DELETE reports the rows it removed.
    EXPECT_EQ(d.prepare("DELETE FROM tblImages").run(), 1);
    EXPECT_EQ(d.prepare("CREATE TABLE tmpX (a)").run(), 0);  // not the DELETE's count
    EXPECT_EQ(d.prepare("DELETE FROM tblImages").run(), 0);
}

TEST(Database, TransactionRollsBackUnlessCommitted)
{
    TempDir dir;
    auto d = test::newImageDb(dir / "QAData.dat");
    {
        db::Transaction t(d);
        test::insertChain(d, "gone", "1.1");
    }
    EXPECT_EQ(test::scalar(d, "SELECT COUNT(*) FROM tblPatienten"), 0);
    {
        db::Transaction t(d);
        test::insertChain(d, "kept", "1.2");
        t.commit();
    }
    EXPECT_EQ(test::scalar(d, "SELECT COUNT(*) FROM tblPatienten"), 1);
}

TEST(Connection, OpenAndCloseAreSilentAndDbThrowsWhenClosed)
{
    TempDir dir;
    db::Connection c;
    EXPECT_FALSE(c.openIfClosed()) << "no file set: SQLite would open a private temporary database";
    c.setFile(dir / "missing.dat");
    EXPECT_FALSE(c.openIfClosed());
    EXPECT_FALSE(std::filesystem::exists(dir / "missing.dat")) << "opening never creates the file";
    EXPECT_NO_THROW(c.closeIfOpen());
    EXPECT_THROW(c.db(), Error);
    { test::newImageDb(dir / "QAData.dat"); }
    c.setFile(dir / "QAData.dat");
    EXPECT_TRUE(c.openIfClosed());
    EXPECT_TRUE(c.openIfClosed());  // already open
    test::insertChain(c.db(), "P", "1.2");
    EXPECT_TRUE(c.reopen());
    EXPECT_EQ(test::scalar(c.db(), "SELECT COUNT(*) FROM tblImages"), 1);
    c.closeIfOpen();
    EXPECT_FALSE(c.isOpen());
    EXPECT_THROW(c.db(), Error);
}

// The ingest service and the station write the image database at the same time; with
// WAL and the busy timeout neither may see a lock error. Two writer processes insert
// one registration per transaction while this process runs the orphan clean-up.
TEST(Database, TwoProcessesWriteAtOnceWithoutLockError)
{
    TempDir dir;
    const auto file = dir / "QAData.dat";
    { test::newImageDb(file); }
    constexpr int PerChild = 500;
    pid_t children[2];
    for (int c = 0; c < 2; ++c) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int rc = 0;
            try {
                db::Database d(file);
                for (int i = 0; i < PerChild; ++i) {
                    db::Transaction t(d);
                    test::insertChain(d, "P" + std::to_string(c) + "_" + std::to_string(i),
                                      "1." + std::to_string(c) + "." + std::to_string(i));
                    t.commit();
                }
            } catch (const std::exception& e) {
                std::fprintf(stderr, "child %d: %s\n", c, e.what());
                rc = 1;
            }
            ::_exit(rc);
        }
        children[c] = pid;
    }
    db::Database d(file);
    int running = 2;
    int cleanups = 0;
    while (running > 0) {
        for (auto& pid : children) {
            if (pid == 0)
                continue;
            int status = 0;
            pid_t r = ::waitpid(pid, &status, WNOHANG);
            if (r == pid) {
                EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "writer failed";
                pid = 0;
                --running;
            }
        }
        d.prepare("Delete from tblSeries where SeriesID not in (Select FKeySeriesID as SeriesID from tblImages)").run();
        d.prepare("Delete from tblStudies where StudyID not in (Select FKeyStudyID as StudyID from tblSeries)").run();
        d.prepare("Delete from tblPatienten where PatID not in (Select FKeyPatID as PatID from tblStudies)").run();
        ++cleanups;
        ::usleep(10000);  // the ingest service cleans up once per tick, not in a tight loop
    }
    EXPECT_GT(cleanups, 0);
    EXPECT_EQ(test::scalar(d, "SELECT COUNT(*) FROM tblImages"), 2 * PerChild);
    EXPECT_EQ(test::scalar(d, "SELECT COUNT(*) FROM tblPatienten"), 2 * PerChild);
    EXPECT_EQ(test::scalar(d, "SELECT COUNT(*) FROM view_studies"), 2 * PerChild);
    auto ok = d.prepare("PRAGMA integrity_check");
    ASSERT_TRUE(ok.step());
    EXPECT_EQ(ok.getText(0), "ok");
}
