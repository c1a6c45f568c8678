// Structure changes at run time: the image database created from the template, the
// "delete all" reset, and the modality filter columns of the dictionary.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "core/error.h"
#include "db/database.h"
#include "db/schema.h"
#include "db_test_util.h"
#include "temp_dir.h"

using namespace corva;
using corva::test::TempDir;
namespace fs = std::filesystem;

namespace {

void copyTemplate(const fs::path& dataFolder)
{
    fs::create_directories(dataFolder);
    fs::copy_file(test::buildProgramFolder() / "Data" / db::TemplateDatabaseFile, dataFolder / db::TemplateDatabaseFile);
}

std::vector<std::string> leftovers(const fs::path& dataFolder)
{
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dataFolder)) {
        auto n = e.path().filename().string();
        if (n.rfind(db::TemplateDatabaseFile, 0) != 0 && n.rfind(db::ImageDatabaseFile, 0) != 0)
            names.push_back(n);  // temporary copies; -wal and -shm files belong to the databases
    }
    return names;
}

}  // namespace

TEST(ImageDatabase, CreatedFromTemplateWithoutOverwriting)
{
    TempDir dir;
    EXPECT_FALSE(db::ensureImageDatabase(dir.path()));  // no template
    copyTemplate(dir.path());
    ASSERT_TRUE(db::ensureImageDatabase(dir.path()));
    {
        db::Database d(dir / db::ImageDatabaseFile);
        test::insertChain(d, "P", "1.2");
    }
    ASSERT_TRUE(db::ensureImageDatabase(dir.path()));
    db::Database d(dir / db::ImageDatabaseFile);
    EXPECT_EQ(test::scalar(d, "SELECT COUNT(*) FROM tblImages"), 1);
}

// A copy of the template is for the programs' user and group only, whatever the
// template's own mode.
TEST(ImageDatabase, CreatedPrivateFromAnOpenTemplate)
{
    TempDir dir;
    copyTemplate(dir.path());
    fs::permissions(dir / db::TemplateDatabaseFile,
                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
    ASSERT_TRUE(db::ensureImageDatabase(dir.path()));
    EXPECT_EQ(fs::status(dir / db::ImageDatabaseFile).permissions() & fs::perms::others_all, fs::perms::none);
    // the operators of the group write it too (the station deletes and edits)
    EXPECT_EQ(fs::status(dir / db::ImageDatabaseFile).permissions() & fs::perms::group_all,
              fs::perms::group_read | fs::perms::group_write);
}

// An empty file in the database's place holds nothing: it is replaced by the template;
// one with a write-ahead log beside it may hold data and is left alone.
TEST(ImageDatabase, EmptyFileIsReplacedUnlessItHasALog)
{
    TempDir dir;
    copyTemplate(dir.path());
    const fs::path file = dir / db::ImageDatabaseFile;
    const fs::path wal = file.string() + "-wal";
    corva::test::writeFile(file, "");
    corva::test::writeFile(wal, "changes");
    EXPECT_FALSE(db::replaceEmptyImageDatabase(dir.path()));
    EXPECT_EQ(fs::file_size(file), 0u);
    fs::remove(wal);
    ASSERT_TRUE(db::replaceEmptyImageDatabase(dir.path()));
    db::Database d(file);
    EXPECT_EQ(test::scalar(d, "SELECT COUNT(*) FROM tblImages"), 0);
    EXPECT_TRUE(leftovers(dir.path()).empty());
}

// A damaged database goes aside with its log and index, never over one set aside before.
TEST(ImageDatabase, DamagedDatabaseGoesAsideWithItsLogAndIndex)
{
    TempDir dir;
    const fs::path file = dir / db::ImageDatabaseFile;
    std::vector<fs::path> aside;
    for (int round = 0; round < 2; ++round) {
        corva::test::writeFile(file, "garbage " + std::to_string(round));
        corva::test::writeFile(file.string() + "-wal", "wal");
        corva::test::writeFile(file.string() + "-shm", "shm");
        aside.push_back(db::setImageDatabaseAside(dir.path(), "20261210-101010"));
        EXPECT_FALSE(fs::exists(file));
        EXPECT_FALSE(fs::exists(file.string() + "-wal"));
        EXPECT_FALSE(fs::exists(file.string() + "-shm"));
        EXPECT_EQ(corva::test::readFile(aside.back()), "garbage " + std::to_string(round));
        EXPECT_EQ(corva::test::readFile(aside.back().string() + "-wal"), "wal");
    }
    EXPECT_EQ(aside[0].filename(), "QAData.dat.damaged-20261210-101010");
    EXPECT_NE(aside[0], aside[1]);
    EXPECT_THROW(db::setImageDatabaseAside(dir.path(), "x"), Error) << "nothing to move aside";
}

// The station and the ingest service may both find QAData.dat missing at the same
// moment: each gets a complete database and no temporary file stays behind.
TEST(ImageDatabase, ConcurrentCreatorsAllSeeOneCompleteFile)
{
    TempDir dir;
    copyTemplate(dir.path());
    constexpr int Rounds = 15;
    constexpr int Processes = 4;
    for (int round = 0; round < Rounds; ++round) {
        fs::remove(dir / db::ImageDatabaseFile);
        std::vector<pid_t> pids;
        for (int p = 0; p < Processes; ++p) {
            pid_t pid = ::fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                int rc = 1;
                try {
                    if (db::ensureImageDatabase(dir.path())) {
                        db::Database d(dir / db::ImageDatabaseFile);
                        test::insertChain(d, "P" + std::to_string(p), "1." + std::to_string(p));
                        rc = 0;
                    }
                } catch (const std::exception& e) {
                    std::fprintf(stderr, "creator %d: %s\n", p, e.what());
                }
                ::_exit(rc);
            }
            pids.push_back(pid);
        }
        for (pid_t pid : pids) {
            int status = 0;
            ::waitpid(pid, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "round " << round;
        }
        // Every process wrote into the same file: none of them replaced another's.
        db::Database d(dir / db::ImageDatabaseFile);
        EXPECT_EQ(test::scalar(d, "SELECT COUNT(*) FROM tblImages"), Processes) << "round " << round;
        d.close();
        auto left = leftovers(dir.path());
        EXPECT_TRUE(left.empty()) << left.front();
        for (const char* side : {"-wal", "-shm"})
            fs::remove(dir / (std::string(db::ImageDatabaseFile) + side));
    }
}

TEST(ImageDatabase, ResetEmptiesItWhileAnotherConnectionHoldsIt)
{
    TempDir dir;
    copyTemplate(dir.path());
    ASSERT_TRUE(db::ensureImageDatabase(dir.path()));
    db::Database other(dir / db::ImageDatabaseFile);  // the ingest service, say
    for (int i = 0; i < 50; ++i)
        test::insertChain(other, "P" + std::to_string(i), "1." + std::to_string(i));
    db::resetImageDatabase(dir.path());
    EXPECT_EQ(test::scalar(other, "SELECT COUNT(*) FROM tblImages"), 0);
    EXPECT_EQ(test::scalar(other, "SELECT COUNT(*) FROM tblPatienten"), 0);
    test::insertChain(other, "again", "2.1");
    EXPECT_EQ(test::scalar(other, "SELECT COUNT(*) FROM view_studies"), 1);
    auto ok = other.prepare("PRAGMA integrity_check");
    ASSERT_TRUE(ok.step());
    EXPECT_EQ(ok.getText(0), "ok");
}

TEST(FilterColumns, IdentifierValidation)
{
    for (const char* good : {"CT", "MR", "CR", "_x", "Mammo_2", "A"})
        EXPECT_TRUE(db::isValidIdentifier(good)) << good;
    for (const char* bad : {"", "a b", "x;DROP", "1A", "MR-2", "Ä1", "\"CT\"", "SELECT", "as", "IN", "Index", "rowid",
                            "sqlite_x", "CT'", "C\nT"})
        EXPECT_FALSE(db::isValidIdentifier(bad)) << bad;
    EXPECT_FALSE(db::isValidIdentifier(std::string(65, 'A')));
    EXPECT_TRUE(db::isValidIdentifier(std::string(64, 'A')));
}

TEST(FilterColumns, AddUseAndDrop)
{
    TempDir dir;
    auto d = test::newUserDb(dir / db::UserDatabaseFile);
    d.exec("INSERT INTO tblDictionary (Tag, Type, Description, Visible) VALUES ('0008,0018', 'UI', 'SOPInstanceUID', -1)");
    d.exec("INSERT INTO tblDictionary (Tag, Type, Description, Visible) VALUES ('0010,0010', 'PN', 'PatientName', 1)");
    // A 1 written into a yes/no column is stored as true (-1).
    EXPECT_EQ(test::scalar(d, "SELECT COUNT(*) FROM tblDictionary WHERE Visible = -1"), 2);

    db::addFilterColumn(d, "CT");
    EXPECT_TRUE(d.hasColumn("tblDictionary", "ct"));
    EXPECT_EQ(test::scalar(d, "SELECT COUNT(*) FROM tblDictionary WHERE CT = 0 AND Visible = -1"), 2);
    d.exec("UPDATE tblDictionary SET CT = -1 WHERE Tag = '0008,0018'");
    d.exec("UPDATE tblDictionary SET CT = 1 WHERE Tag = '0010,0010'");
    EXPECT_EQ(test::scalar(d, "SELECT COUNT(*) FROM tblDictionary WHERE CT = -1"), 2);
    d.exec("UPDATE tblDictionary SET CT = 0 WHERE \"Index\" = 1");
    EXPECT_EQ(test::scalar(d, "SELECT COUNT(*) FROM tblDictionary WHERE CT = -1"), 1);

    db::addFilterColumn(d, "MR");
    db::dropFilterColumn(d, "CT");
    EXPECT_FALSE(d.hasColumn("tblDictionary", "CT"));
    EXPECT_TRUE(d.hasColumn("tblDictionary", "MR"));
    // The same name can come back after it was dropped.
    db::addFilterColumn(d, "CT");
    EXPECT_EQ(test::scalar(d, "SELECT COUNT(*) FROM tblDictionary WHERE CT = 0"), 2);
    EXPECT_EQ(test::sqliteShell(dir / db::UserDatabaseFile, "select count(*) from tblDictionary where MR = 0"), "2");
}

TEST(FilterColumns, InvalidOrExistingNamesAreRefusedWithAMessage)
{
    TempDir dir;
    auto d = test::newUserDb(dir / db::UserDatabaseFile);
    db::addFilterColumn(d, "CT");
    for (const char* name : {"a b", "x;DROP", "Tag", "tag", "VISIBLE", "Index", "CT", "ct", ""}) {
        try {
            db::addFilterColumn(d, name);
            ADD_FAILURE() << "accepted " << name;
        } catch (const Error& e) {
            EXPECT_EQ(e.code(), errc::InvalidName) << name;
            EXPECT_NE(e.message().find(std::string("\"") + name + "\""), std::string::npos) << e.message();
        }
    }
    for (const char* name : {"Tag", "Visible", "Index", "MR", "x;DROP"})
        EXPECT_THROW(db::dropFilterColumn(d, name), Error) << name;
    EXPECT_TRUE(d.hasColumn("tblDictionary", "Tag"));
    EXPECT_TRUE(d.hasColumn("tblDictionary", "CT"));
}
