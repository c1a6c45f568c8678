// The ingest service with its input folder watched: files renamed in are filed as they
// arrive, between ticks; files written in place still wait for the stability rule; what
// the watch misses the ticks' scan finds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "file_read_seam.h"
#include "ingest_test_util.h"

namespace corva::ingest {
namespace {

namespace fs = std::filesystem;
using corva::test::DicomRecipe;
using corva::test::readFile;
using corva::test::uniqueUid;
using test::Station;

DicomRecipe withUids()
{
    DicomRecipe recipe;
    recipe.studyUid = uniqueUid();
    recipe.seriesUid = uniqueUid();
    recipe.sopInstanceUid = uniqueUid();
    return recipe;
}

timespec farAhead()
{
    timespec t {};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    t.tv_sec += 3600;
    return t;
}

bool filed(Station& st, const DicomRecipe& recipe)
{
    return fs::exists(st.folder().images() / recipe.studyUid / (recipe.sopInstanceUid + ".dcm")) &&
           test::queryInt(st.db(), "SELECT COUNT(*) FROM tblImages WHERE ImageUID = ?", recipe.sopInstanceUid) == 1;
}

TEST(Arrivals, RenamedInFileIsFiledWithoutATick)
{
    Station st;
    st.service().watchInput();
    const DicomRecipe recipe = withUids();
    st.drop(recipe.sopInstanceUid + ".dcm", recipe);

    ASSERT_TRUE(st.service().waitForArrivals(farAhead(), nullptr));
    st.service().takeArrivals();
    EXPECT_TRUE(filed(st, recipe));
    EXPECT_EQ(st.service().ticks(), 0u) << "no scan ran, so no stability wait either";
    EXPECT_EQ(st.service().arrivalPasses(), 1u);
    EXPECT_EQ(st.count("tblReceive"), 1);
}

TEST(Arrivals, TheTickAfterPassesOpensTheDatabaseAfresh)
{
    // The passes keep the database open with their statements; the tick's own open
    // must not fail on them (an outage with nothing wrong).
    Station st;
    st.service().watchInput();
    const DicomRecipe first = withUids();
    st.drop(first.sopInstanceUid + ".dcm", first);
    st.service().takeArrivals();
    ASSERT_TRUE(filed(st, first));
    const DicomRecipe second = withUids();
    st.drop(second.sopInstanceUid + ".dcm", second);
    st.ticks(1);
    EXPECT_FALSE(st.service().outage().ongoing()) << st.service().outage().reason();
    EXPECT_TRUE(filed(st, second));
    const DicomRecipe third = withUids();
    st.drop(third.sopInstanceUid + ".dcm", third);
    st.service().takeArrivals();
    EXPECT_TRUE(filed(st, third));
}

TEST(Arrivals, ATickTakesWhatArrivedAtOnceToo)
{
    Station st;
    st.service().watchInput();
    const DicomRecipe recipe = withUids();
    st.drop(recipe.sopInstanceUid + ".dcm", recipe);
    st.ticks(1);
    EXPECT_TRUE(filed(st, recipe)) << "taken on the first tick, not the second";
}

TEST(Arrivals, UnwatchedServiceKeepsTheStabilityRuleForEveryFile)
{
    Station st;
    const DicomRecipe recipe = withUids();
    st.drop(recipe.sopInstanceUid + ".dcm", recipe);
    st.service().takeArrivals();
    st.ticks(1);
    EXPECT_FALSE(filed(st, recipe));
    st.ticks(1);
    EXPECT_TRUE(filed(st, recipe));
}

TEST(Arrivals, FileRenamedInWhileATickRunsIsTakenRightAfterIt)
{
    Station st;
    st.service().watchInput();
    const DicomRecipe first = withUids();
    const DicomRecipe second = withUids();
    const fs::path staged = corva::test::writeDicom(st.folder().path() / "staging" / "second.dcm", second);
    st.drop(first.sopInstanceUid + ".dcm", first);
    {
        // While the tick has the first file in hand, the second is renamed in.
        test::OnFileRead hook([&](const std::string&) {
            if (fs::exists(staged))
                fs::rename(staged, st.temp() / (second.sopInstanceUid + ".dcm"));
        });
        st.ticks(1);
    }
    EXPECT_TRUE(filed(st, first));
    EXPECT_FALSE(filed(st, second));
    timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    ASSERT_TRUE(st.service().waitForArrivals(now, nullptr)) << "its event waits: no sleep until the next tick";
    st.service().takeArrivals();
    EXPECT_TRUE(filed(st, second));
    EXPECT_EQ(st.service().ticks(), 1u);
}

TEST(Arrivals, FileWrittenInPlaceSlowlyIsNotTakenBeforeItIsComplete)
{
    // Written in place, and written under another name in Temp then renamed while the
    // writer still appends: both wait until the file stays unchanged for a tick.
    for (const bool renamedWhileOpen : {false, true}) {
        Station st;
        st.service().watchInput();
        const DicomRecipe recipe = withUids();
        const std::string bytes =
            readFile(corva::test::writeDicom(st.folder().path() / "staging" / "whole.dcm", recipe));
        const fs::path target = st.temp() / (recipe.sopInstanceUid + ".dcm");
        const fs::path writing = renamedWhileOpen ? st.temp() / "copying.tmp" : target;
        const int fd = ::open(writing.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        const std::size_t chunk = bytes.size() / 8 + 1;
        for (std::size_t at = 0; at < bytes.size(); at += chunk) {
            const std::size_t n = std::min(chunk, bytes.size() - at);
            ASSERT_EQ(::write(fd, bytes.data() + at, n), static_cast<ssize_t>(n));
            if (renamedWhileOpen && at == 0)
                fs::rename(writing, target);
            st.service().takeArrivals();
            st.ticks(1);
            EXPECT_FALSE(filed(st, recipe)) << "taken half written, at byte " << at + n;
        }
        ::close(fd);
        EXPECT_FALSE(fs::exists(st.temp() / (recipe.sopInstanceUid + ".dcm.try"))) << "no attempt counted";
        EXPECT_FALSE(fs::exists(st.temp() / folder::BadObjects / (recipe.sopInstanceUid + ".dcm")));
        st.service().takeArrivals();
        EXPECT_FALSE(filed(st, recipe)) << "closing it is no arrival";
        st.ticks(2);
        EXPECT_TRUE(filed(st, recipe)) << "renamed while open: " << renamedWhileOpen;
    }
}

TEST(Arrivals, FileWhoseEventWasLostIsFoundByTheScan)
{
    Station st;
    st.service().watchInput();
    // Each rename queues two events: the kernel's queue fills and drops the rest.
    long queued = 16384;
    std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> queued;
    const fs::path scratch = st.temp() / "scratch";
    corva::test::writeFile(scratch.string() + "0", "x");
    for (long i = 0; i <= queued / 2; ++i)
        fs::rename(scratch.string() + std::to_string(i % 2), scratch.string() + std::to_string((i + 1) % 2));
    const DicomRecipe recipe = withUids();
    st.drop(recipe.sopInstanceUid + ".dcm", recipe);

    st.service().takeArrivals();
    EXPECT_FALSE(filed(st, recipe)) << "its arrival was never told";
    EXPECT_EQ(st.service().arrivalPasses(), 0u);
    st.ticks(1);
    EXPECT_FALSE(filed(st, recipe)) << "the scan's stability rule: first only seen";
    st.ticks(1);
    EXPECT_TRUE(filed(st, recipe));
}

TEST(Arrivals, DuringAnOutageArrivalsWaitForTheTicks)
{
    Station st;
    st.service().watchInput();
    const DicomRecipe recipe = withUids();
    // A database that cannot be opened: a folder in its place.
    const fs::path moved = st.db().string() + ".away";
    fs::rename(st.db(), moved);
    fs::create_directories(st.db());
    st.drop(recipe.sopInstanceUid + ".dcm", recipe);
    st.service().takeArrivals();
    EXPECT_TRUE(st.service().outage().ongoing());
    EXPECT_FALSE(filed(st, recipe));
    EXPECT_TRUE(fs::exists(st.temp() / (recipe.sopInstanceUid + ".dcm"))) << "waits, uncounted";
    EXPECT_FALSE(fs::exists(st.temp() / (recipe.sopInstanceUid + ".dcm.try")));

    const DicomRecipe later = withUids();
    st.drop(later.sopInstanceUid + ".dcm", later);
    st.service().takeArrivals();
    EXPECT_EQ(st.service().arrivalPasses(), 1u) << "no pass while the outage lasts";

    fs::remove(st.db());
    fs::rename(moved, st.db());
    for (int i = 0; i < 40 && !(filed(st, recipe) && filed(st, later)); ++i)
        st.ticks(1);
    EXPECT_TRUE(filed(st, recipe));
    EXPECT_TRUE(filed(st, later));
    EXPECT_FALSE(st.service().outage().ongoing());
}

}  // namespace
}  // namespace corva::ingest
