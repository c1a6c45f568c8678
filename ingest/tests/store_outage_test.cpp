// Faults that are not the image's: the image database's disk full or read-only, the
// database damaged, missing or empty while images arrive. Nothing is set aside, every
// image waits in Temp uncounted, the outage is logged once and told in the service note,
// and everything is filed once the fault is gone, without a restart.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <optional>
#include <set>

#include "db/schema.h"
#include "ingest_test_util.h"
#include "log/service_note.h"
#include "small_disk.h"

namespace corva::ingest {
namespace {

namespace fs = std::filesystem;
using corva::test::DicomRecipe;
using corva::test::readFile;
using corva::test::uniqueUid;
using test::SmallDisk;
using test::Station;

int countLines(const std::string& text, const std::string& needle)
{
    int n = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

// Images arriving: each its own study, dropped into the input folder.
std::set<std::string> dropImages(Station& st, int count)
{
    std::set<std::string> uids;
    for (int i = 0; i < count; ++i) {
        DicomRecipe recipe;
        recipe.studyUid = uniqueUid();
        recipe.seriesUid = uniqueUid();
        recipe.sopInstanceUid = uniqueUid();
        recipe.patientId = "P" + std::to_string(i);
        st.drop(recipe.sopInstanceUid + ".dcm", recipe);
        uids.insert(recipe.sopInstanceUid);
    }
    return uids;
}

std::set<std::string> stored(const Station& st)
{
    std::set<std::string> uids;
    for (const auto& e : fs::recursive_directory_iterator(st.temp().parent_path() / "Images"))
        if (e.is_regular_file())
            uids.insert(e.path().stem().string());
    return uids;
}

// Nothing counted against any waiting file, nothing set aside.
void expectAllWaitingUncounted(const Station& st, int images)
{
    int waiting = 0;
    for (const auto& e : fs::directory_iterator(st.temp())) {
        const std::string name = e.path().filename().string();
        EXPECT_FALSE(name.ends_with(".try")) << name << ": " << readFile(e.path());
        waiting += name.ends_with(".dcm") ? 1 : 0;
    }
    EXPECT_EQ(waiting, images);
    EXPECT_FALSE(fs::exists(st.temp() / "BadObjects"));
}

std::string note(Station& st)
{
    return log::ServiceNote::read(st.folder().logs(), "Ingrado");
}

// The outage is told once when it begins and once when it ends, however long it lasts.
void expectOneOutage(Station& st, const std::string& reason)
{
    const std::string log = readFile(st.folder().logs() / "Ingrado.log");
    EXPECT_EQ(countLines(log, reason + "; images wait in Temp"), 1) << log;
    EXPECT_EQ(countLines(log, "Outage\n") + countLines(log, "OpenDB\n"), countLines(log, "\n"))
        << "nothing else is logged meanwhile\n" << log;
    EXPECT_EQ(countLines(log, "Filing resumes"), 1) << log;
    EXPECT_EQ(countLines(log, "Outage\n"), 2) << log;
    EXPECT_EQ(note(st), "");
}

constexpr int Ticks = 3 * IngestService::MaxTries;  // well past the attempts that set a file aside

// The disk fills while the database is closed (no room to open it) or while another
// program holds it open (no room for the commit).
class FullDisk : public ::testing::TestWithParam<bool> {};

TEST_P(FullDisk, KeepsEveryImageWaiting)
{
    const bool heldOpen = GetParam();
    Station st;
    auto first = dropImages(st, 1);
    ASSERT_TRUE(st.settle());
    SmallDisk disk(st.folder().data(), 4u << 20);
    if (!disk.mounted())
        GTEST_SKIP() << "no right to mount a tmpfs here; ReadOnlyDataFolder covers the path by permissions";
    std::optional<db::Database> station;
    if (heldOpen) {
        // The station reading: its shared index and write-ahead log stay.
        station.emplace(st.db());
        EXPECT_EQ(test::queryInt(st.db(), "SELECT COUNT(*) FROM tblImages"), 1);
    }
    disk.fill();
    const auto uids = dropImages(st, 20);
    st.ticks(Ticks);
    expectAllWaitingUncounted(st, 20);
    EXPECT_EQ(note(st), "Ingrado cannot write the image database: disk full");

    disk.free();
    ASSERT_TRUE(st.settle(4 * Outage::MaxPauseTicks));
    first.insert(uids.begin(), uids.end());
    EXPECT_EQ(stored(st), first);
    EXPECT_EQ(st.count("tblImages"), 21);
    EXPECT_FALSE(fs::exists(st.temp() / "BadObjects"));
    expectOneOutage(st, "Ingrado cannot write the image database: disk full");
}

INSTANTIATE_TEST_SUITE_P(StoreOutage, FullDisk, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "DatabaseHeldOpen" : "DatabaseClosed"; });

TEST(StoreOutage, ReadOnlyDataFolderKeepsEveryImageWaiting)
{
    Station st;
    dropImages(st, 1);
    ASSERT_TRUE(st.settle());
    // Root writes where permissions forbid it: a read-only mount stops it; anyone else is
    // stopped by the folder's permissions.
    std::optional<SmallDisk> disk;
    const fs::path data = st.folder().data();
    if (::geteuid() == 0) {
        disk.emplace(data, 8u << 20);
        if (!disk->mounted() || !disk->setReadOnly(true))
            GTEST_SKIP() << "running as root without the right to mount: a read-only Data folder cannot be made";
    } else {
        fs::permissions(data, fs::perms::owner_read | fs::perms::owner_exec);
    }
    const auto uids = dropImages(st, 20);
    st.ticks(Ticks);
    expectAllWaitingUncounted(st, 20);
    const std::string told = note(st);
    EXPECT_EQ(told.rfind("Ingrado cannot ", 0), 0u) << told;
    EXPECT_TRUE(told.find("read-only") != std::string::npos || told.find("no permission") != std::string::npos)
        << told;

    if (disk)
        ASSERT_TRUE(disk->setReadOnly(false));
    else
        fs::permissions(data, fs::perms::owner_all);
    ASSERT_TRUE(st.settle(4 * Outage::MaxPauseTicks));
    EXPECT_EQ(st.count("tblImages"), 21);
    EXPECT_FALSE(fs::exists(st.temp() / "BadObjects"));
    expectOneOutage(st, told);
}

// A database that is not there, or a file with nothing in it, is replaced by the
// template at once; images arriving meanwhile are filed into it.
TEST(StoreOutage, MissingOrEmptyDatabaseIsCreatedWhileRunning)
{
    for (const bool empty : {false, true}) {
        Station st;
        dropImages(st, 1);
        ASSERT_TRUE(st.settle());
        for (const char* side : {"", "-wal", "-shm"})
            fs::remove(st.db().string() + side);
        if (empty)
            corva::test::writeFile(st.db(), "");
        const auto uids = dropImages(st, 5);
        ASSERT_TRUE(st.settle()) << empty;
        EXPECT_EQ(stored(st).size(), 6u) << empty;
        EXPECT_EQ(st.count("tblImages"), 5) << "the new database holds what came since" << empty;
        EXPECT_FALSE(fs::exists(st.temp() / "BadObjects")) << empty;
        const std::string log = readFile(st.folder().logs() / "Ingrado.log");
        EXPECT_NE(log.find(std::string("Data/QAData.dat was ") + (empty ? "empty" : "missing") +
                           ": created from Data/QADef.dat"),
                  std::string::npos)
            << log;
        EXPECT_EQ(fs::status(st.db()).permissions() & fs::perms::others_all, fs::perms::none);
    }
}

// A damaged database is moved aside, never written over, and a new one takes its place;
// one that is only damaged for a moment (a good copy comes back) is kept.
TEST(StoreOutage, DamagedDatabaseIsMovedAsideAndReplaced)
{
    Station st;
    dropImages(st, 1);
    ASSERT_TRUE(st.settle());
    {
        std::ofstream garbage(st.db(), std::ios::binary | std::ios::trunc);
        garbage << std::string(8192, 'G');
    }
    const auto uids = dropImages(st, 20);
    ASSERT_TRUE(st.settle(4 * Outage::MaxPauseTicks));
    EXPECT_EQ(stored(st).size(), 21u);
    EXPECT_EQ(st.count("tblImages"), 20);
    EXPECT_FALSE(fs::exists(st.temp() / "BadObjects"));
    int aside = 0;
    for (const auto& e : fs::directory_iterator(st.folder().data())) {
        const std::string name = e.path().filename().string();
        if (name.starts_with("QAData.dat.damaged-") && !name.ends_with("-shm") && !name.ends_with("-wal")) {
            ++aside;
            EXPECT_EQ(readFile(e.path()), std::string(8192, 'G')) << "kept as it was";
        }
    }
    EXPECT_EQ(aside, 1);
    const std::string log = readFile(st.folder().logs() / "Ingrado.log");
    EXPECT_EQ(countLines(log, "Data/QAData.dat is damaged (file is not a database): moved aside as Data/QAData.dat.damaged-"),
              1)
        << log;
    expectOneOutage(st, "Ingrado cannot open the image database Data/QAData.dat: damaged (file is not a database)");
}

TEST(StoreOutage, DatabaseDamagedForAMomentIsKept)
{
    Station st;
    dropImages(st, 1);
    ASSERT_TRUE(st.settle());
    const fs::path good = st.folder().data() / "good-copy";
    fs::rename(st.db(), good);
    corva::test::writeFile(st.db(), std::string(8192, 'G'));
    dropImages(st, 5);
    st.ticks(2);  // seen, then found damaged once
    EXPECT_EQ(note(st), "Ingrado cannot open the image database Data/QAData.dat: damaged (file is not a database)");
    fs::rename(good, st.db());
    ASSERT_TRUE(st.settle(4 * Outage::MaxPauseTicks));
    EXPECT_EQ(st.count("tblImages"), 6) << "filed into the database that came back";
    for (const auto& e : fs::directory_iterator(st.folder().data()))
        EXPECT_FALSE(e.path().filename().string().starts_with("QAData.dat.damaged")) << e.path();
    EXPECT_FALSE(fs::exists(st.temp() / "BadObjects"));
}

}  // namespace
}  // namespace corva::ingest
