// The image database damaged in ways the opening does not show: a log of changes left
// beside a database that is gone, a damaged index found only while filing. The service
// never files into a mixed or damaged database; images wait and are filed into a sound one.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "db/database.h"
#include "ingest_test_util.h"

namespace corva::ingest {
namespace {

namespace fs = std::filesystem;
using corva::test::DicomRecipe;
using corva::test::uniqueUid;
using test::queryInt;
using test::queryText;
using test::Station;

void dropImages(Station& st, int count, const std::string& patient)
{
    for (int i = 0; i < count; ++i) {
        DicomRecipe recipe;
        recipe.studyUid = uniqueUid();
        recipe.seriesUid = uniqueUid();
        recipe.sopInstanceUid = uniqueUid();
        recipe.patientId = patient + std::to_string(i);
        st.drop(recipe.sopInstanceUid + ".dcm", recipe);
    }
}

std::string integrity(const fs::path& db)
{
    return queryText(db, "PRAGMA integrity_check").value_or("no answer");
}

int filesBelow(const fs::path& folder)
{
    int n = 0;
    for (const auto& e : fs::recursive_directory_iterator(folder))
        n += e.is_regular_file() ? 1 : 0;
    return n;
}

// A process that wrote into the database and ended without closing it: its changes stay
// in the log beside the database.
void writeAndDieWithoutClosing(const fs::path& db)
{
    const pid_t child = ::fork();
    if (child == 0) {
        try {
            corva::db::Database d(db);
            d.exec("PRAGMA wal_autocheckpoint=0");
            d.exec("UPDATE tblPatienten SET PATNachname = 'Orphan'");
            for (int i = 0; i < 40; ++i)
                d.exec("INSERT INTO tblModalities (Modality) VALUES ('M" + std::to_string(i) + "')");
            ::_exit(0);  // still open: the log is not folded back
        } catch (...) {
            ::_exit(1);
        }
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// The database goes (deleted by hand, a disk fault) while a log of its changes stays:
// the new database from the template never takes those pages in.
TEST(StoreDamage, MissingDatabaseIsNotRebuiltFromTheLogOfTheOldOne)
{
    Station st;
    dropImages(st, 3, "OLD");
    ASSERT_TRUE(st.settle());
    writeAndDieWithoutClosing(st.db());
    const fs::path wal = st.db().string() + "-wal";
    ASSERT_GT(fs::file_size(wal), 0u);
    fs::remove(st.db());

    dropImages(st, 5, "NEW");
    ASSERT_TRUE(st.settle(4 * Outage::MaxPauseTicks));
    EXPECT_EQ(integrity(st.db()), "ok");
    EXPECT_EQ(st.count("tblImages"), 5);
    EXPECT_EQ(queryInt(st.db(), "SELECT COUNT(*) FROM tblPatienten WHERE PATNachname = 'Orphan'"), 0);
    EXPECT_EQ(filesBelow(st.folder().images()), 8);
    int kept = 0;
    for (const auto& e : fs::directory_iterator(st.folder().data()))
        if (e.path() != wal && e.path().filename().string().ends_with("-wal"))
            kept += fs::file_size(e.path()) > 0 ? 1 : 0;
    EXPECT_EQ(kept, 1) << "the old log is kept aside, not thrown away";
}

// Damage the opening does not read (an index page) shows only while filing: the
// database is then moved aside and replaced as when it does not open, and no image is
// set aside or lost.
TEST(StoreDamage, DamageFoundWhileFilingMovesTheDatabaseAside)
{
    Station st;
    dropImages(st, 3, "OLD");
    ASSERT_TRUE(st.settle());
    const auto page = queryInt(st.db(), "SELECT rootpage FROM sqlite_master WHERE name = 'idxImagesImageUID'");
    const auto pageSize = queryInt(st.db(), "PRAGMA page_size");
    ASSERT_GT(page, 1);
    ASSERT_FALSE(fs::exists(st.db().string() + "-wal")) << "folded back when the tick closed it";
    {
        std::fstream f(st.db(), std::ios::in | std::ios::out | std::ios::binary);
        f.seekp((page - 1) * pageSize);
        f << std::string(static_cast<std::size_t>(pageSize), '\x5a');
    }
    ASSERT_NE(integrity(st.db()), "ok");

    dropImages(st, 5, "NEW");
    ASSERT_TRUE(st.settle(8 * Outage::MaxPauseTicks));
    EXPECT_EQ(integrity(st.db()), "ok");
    EXPECT_EQ(st.count("tblImages"), 5);
    EXPECT_EQ(filesBelow(st.folder().images()), 8);
    EXPECT_FALSE(fs::exists(st.temp() / "BadObjects"));
    int aside = 0;
    for (const auto& e : fs::directory_iterator(st.folder().data()))
        aside += e.path().filename().string().starts_with("QAData.dat.damaged-") ? 1 : 0;
    EXPECT_GE(aside, 1);
}

// The store's name of a filed image taken by something that is not a file (a folder, a
// link to a file elsewhere): a resend of the image is never deleted as "already there".
TEST(StoreDamage, ANameInTheStoreThatIsNoFileNeverSwallowsTheImage)
{
    for (const bool folder : {true, false}) {
        Station st;
        DicomRecipe recipe;
        recipe.sopInstanceUid = uniqueUid();
        recipe.studyUid = uniqueUid();
        const std::string name = recipe.sopInstanceUid + ".dcm";
        st.drop(name, recipe);
        ASSERT_TRUE(st.settle());
        const fs::path stored = st.folder().images() / recipe.studyUid / name;
        ASSERT_TRUE(fs::is_regular_file(stored));
        fs::remove(stored);
        const fs::path elsewhere = st.folder().path() / "elsewhere.txt";
        corva::test::writeFile(elsewhere, "not an image");
        if (folder)
            fs::create_directory(stored);
        else
            fs::create_symlink(elsewhere, stored);

        st.drop(name, recipe);
        st.ticks(6);
        const bool filed = fs::is_regular_file(fs::symlink_status(stored));
        const bool waiting = fs::exists(st.temp() / name);
        EXPECT_TRUE(filed || waiting) << (folder ? "folder" : "link") << ": the image is gone";
        EXPECT_EQ(corva::test::readFile(elsewhere), "not an image");
        EXPECT_EQ(st.count("tblImages"), 1);
    }
}

ino_t inodeOf(const fs::path& file)
{
    struct stat st {};
    return ::stat(file.c_str(), &st) == 0 ? st.st_ino : 0;
}

std::string logsOf(Station& st)
{
    std::string text;
    for (const auto& e : fs::directory_iterator(st.folder().logs()))
        text += corva::test::readFile(e.path());
    return text;
}

// The stored file of a filed image emptied or cut short by a disk fault: a resend of the
// image takes its place (it is not deleted as "already in the store"). A sound stored
// copy stays and the resend goes, as before.
TEST(StoreDamage, AResendRepairsAStoredFileThatWasEmptiedOrCutShort)
{
    enum class Damage { None, Emptied, CutShort };
    for (const Damage damage : {Damage::Emptied, Damage::CutShort, Damage::None}) {
        Station st;
        DicomRecipe recipe;
        recipe.sopInstanceUid = uniqueUid();
        recipe.studyUid = uniqueUid();
        recipe.rows = recipe.columns = 64;
        const std::string name = recipe.sopInstanceUid + ".dcm";
        st.drop(name, recipe);
        ASSERT_TRUE(st.settle());
        const fs::path stored = st.folder().images() / recipe.studyUid / name;
        const auto size = fs::file_size(stored);
        if (damage == Damage::Emptied)
            fs::resize_file(stored, 0);
        else if (damage == Damage::CutShort)
            fs::resize_file(stored, size - 100);
        const ino_t inode = inodeOf(stored);

        st.drop(name, recipe);
        ASSERT_TRUE(st.settle());
        EXPECT_EQ(fs::file_size(stored), size) << "damage " << static_cast<int>(damage) << "\n" << logsOf(st);
        EXPECT_FALSE(fs::exists(st.temp() / name));
        EXPECT_EQ(st.count("tblImages"), 1);
        if (damage == Damage::None)
            EXPECT_EQ(inodeOf(stored), inode) << "a sound stored copy is kept";
        else
            EXPECT_NE(logsOf(st).find("could not be read (empty or cut short): replaced"), std::string::npos)
                << logsOf(st);
    }
}

}  // namespace
}  // namespace corva::ingest
