// The input folder's watch on a real folder: which arrivals are complete by construction
// (renamed in, closed) and which are left to the scan, lost events, a folder replaced.
#include "input_watch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <functional>

#include "temp_dir.h"

namespace corva::ingest {
namespace {

namespace fs = std::filesystem;

// A file descriptor closed at the end of its scope.
class OpenFile {
public:
    explicit OpenFile(const fs::path& file)
        : fd_(::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600))
    {
    }
    ~OpenFile() { close(); }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    bool write(const std::string& bytes)
    {
        return ::write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    void close()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

void writeClosed(const fs::path& file)
{
    std::ofstream(file) << "content";
}

std::vector<std::string> arrivedNow(InputWatch& watch)
{
    watch.read();
    return watch.takeArrived();
}

struct Case {
    const char* what;
    std::function<void(const fs::path& temp, const fs::path& outside)> act;
    std::vector<std::string> arrived;
};

TEST(InputWatch, RenamedInAndClosedArrivesAnythingElseIsLeftToTheScan)
{
    const std::vector<Case> cases = {
        {"written elsewhere and renamed in",
         [](const fs::path& temp, const fs::path& outside) {
             writeClosed(outside / "a.dcm");
             fs::rename(outside / "a.dcm", temp / "a.dcm");
         },
         {"a.dcm"}},
        {"written under a partial name here, closed, then renamed (the receiver's way)",
         [](const fs::path& temp, const fs::path&) {
             writeClosed(temp / ".a.part");
             fs::rename(temp / ".a.part", temp / "a.DCM");
         },
         {"a.DCM"}},
        {"a copy made in place",
         [](const fs::path& temp, const fs::path&) { writeClosed(temp / "a.dcm"); },
         {}},
        {"a hard link made in place",
         [](const fs::path& temp, const fs::path& outside) {
             writeClosed(outside / "a.dcm");
             fs::create_hard_link(outside / "a.dcm", temp / "a.dcm");
         },
         {}},
        {"renamed while its writer still has it open",
         [](const fs::path& temp, const fs::path&) {
             OpenFile writer(temp / "a.tmp");
             writer.write("half");
             fs::rename(temp / "a.tmp", temp / "a.dcm");
         },
         {}},
        {"made in place, closed, then renamed within the folder (cp then mv)",
         [](const fs::path& temp, const fs::path&) {
             writeClosed(temp / "a.tmp");
             fs::rename(temp / "a.tmp", temp / "b.dcm");
         },
         {"b.dcm"}},
        {"the same name renamed in twice",
         [](const fs::path& temp, const fs::path& outside) {
             writeClosed(outside / "1");
             writeClosed(outside / "2");
             fs::rename(outside / "1", temp / "a.dcm");
             fs::rename(outside / "2", temp / "a.dcm");
         },
         {"a.dcm"}},
        {"renamed in, then removed before it was taken",
         [](const fs::path& temp, const fs::path& outside) {
             writeClosed(outside / "a.dcm");
             fs::rename(outside / "a.dcm", temp / "a.dcm");
             fs::remove(temp / "a.dcm");
         },
         {}},
        {"renamed in, then renamed away",
         [](const fs::path& temp, const fs::path& outside) {
             writeClosed(outside / "a.dcm");
             fs::rename(outside / "a.dcm", temp / "a.dcm");
             fs::rename(temp / "a.dcm", outside / "a.dcm");
         },
         {}},
        {"renamed in, then written again in place",
         [](const fs::path& temp, const fs::path& outside) {
             writeClosed(outside / "a.dcm");
             fs::rename(outside / "a.dcm", temp / "a.dcm");
             fs::remove(temp / "a.dcm");
             OpenFile writer(temp / "a.dcm");
             writer.write("new");
         },
         {}},
        {"not an input name",
         [](const fs::path& temp, const fs::path& outside) {
             writeClosed(outside / "a.txt");
             fs::rename(outside / "a.txt", temp / "a.txt");
         },
         {}},
        {"in order of arrival",
         [](const fs::path& temp, const fs::path& outside) {
             for (const char* name : {"c.dcm", "a.dcm", "b.dcm"}) {
                 writeClosed(outside / name);
                 fs::rename(outside / name, temp / name);
             }
         },
         {"c.dcm", "a.dcm", "b.dcm"}},
    };
    for (const Case& c : cases) {
        corva::test::TempDir dir;
        const fs::path temp = dir.path() / "Temp";
        const fs::path outside = dir.path() / "outside";
        fs::create_directories(temp);
        fs::create_directories(outside);
        InputWatch watch(temp);
        ASSERT_TRUE(watch.active());
        c.act(temp, outside);
        EXPECT_EQ(arrivedNow(watch), c.arrived) << c.what;
        EXPECT_FALSE(watch.takeMissed()) << c.what;
    }
}

TEST(InputWatch, WaitEndsAtOnceWhenSomethingArrivedAndAtTheDeadlineOtherwise)
{
    corva::test::TempDir dir;
    const fs::path temp = dir.path() / "Temp";
    fs::create_directories(temp);
    InputWatch watch(temp);
    timespec past {};
    ::clock_gettime(CLOCK_MONOTONIC, &past);
    EXPECT_FALSE(watch.wait(past, nullptr)) << "nothing there";

    writeClosed(dir.path() / "a.dcm");
    fs::rename(dir.path() / "a.dcm", temp / "a.dcm");
    timespec far = past;
    far.tv_sec += 3600;
    EXPECT_TRUE(watch.wait(far, nullptr));
    EXPECT_EQ(arrivedNow(watch), std::vector<std::string>{"a.dcm"});

    std::atomic<bool> stop{true};
    EXPECT_FALSE(watch.wait(far, &stop)) << "a stop ends the wait";
}

TEST(InputWatch, LostEventsAreTold)
{
    corva::test::TempDir dir;
    const fs::path temp = dir.path() / "Temp";
    fs::create_directories(temp);
    InputWatch watch(temp);
    // Each rename queues two events; the kernel's queue holds max_queued_events.
    long queued = 16384;
    std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> queued;
    writeClosed(temp / "scratch.0");
    for (long i = 0; i <= queued / 2; ++i)
        fs::rename(temp / ("scratch." + std::to_string(i % 2)), temp / ("scratch." + std::to_string((i + 1) % 2)));
    writeClosed(dir.path() / "a.dcm");
    fs::rename(dir.path() / "a.dcm", temp / "a.dcm");

    EXPECT_TRUE(arrivedNow(watch).empty()) << "its event was lost";
    EXPECT_TRUE(watch.takeMissed());
    EXPECT_FALSE(watch.takeMissed()) << "told once";

    writeClosed(dir.path() / "b.dcm");
    fs::rename(dir.path() / "b.dcm", temp / "b.dcm");
    EXPECT_EQ(arrivedNow(watch), std::vector<std::string>{"b.dcm"}) << "the watch goes on";
}

TEST(InputWatch, FolderReplacedIsWatchedAgainOnRearm)
{
    corva::test::TempDir dir;
    const fs::path temp = dir.path() / "Temp";
    fs::create_directories(temp);
    InputWatch watch(temp);
    fs::remove_all(temp);
    watch.read();
    EXPECT_FALSE(watch.active());
    EXPECT_TRUE(watch.takeMissed());
    EXPECT_FALSE(watch.rearm()) << "no folder yet";
    fs::create_directories(temp);
    EXPECT_TRUE(watch.rearm());
    writeClosed(dir.path() / "a.dcm");
    fs::rename(dir.path() / "a.dcm", temp / "a.dcm");
    EXPECT_EQ(arrivedNow(watch), std::vector<std::string>{"a.dcm"});
}

TEST(InputWatch, FolderThatCannotBeWatchedLeavesEverythingToTheScan)
{
    corva::test::TempDir dir;
    InputWatch watch(dir.path() / "missing");
    EXPECT_FALSE(watch.active());
    timespec soon {};
    ::clock_gettime(CLOCK_MONOTONIC, &soon);
    EXPECT_FALSE(watch.wait(soon, nullptr));
    EXPECT_TRUE(arrivedNow(watch).empty());
}

}  // namespace
}  // namespace corva::ingest
