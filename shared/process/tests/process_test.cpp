#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include <sys/stat.h>

#include "process/private_files.h"
#include "process/process.h"
#include "temp_dir.h"

namespace fs = std::filesystem;
using namespace corva::process;
using namespace std::chrono_literals;

namespace {

// A copy of /bin/sleep under a name of our own, so no other process matches it.
fs::path makeSleeper(const fs::path& folder, const std::string& name)
{
    const fs::path exe = folder / name;
    fs::copy_file("/bin/sleep", exe);
    fs::permissions(exe, fs::perms::owner_all);
    return exe;
}

template <typename Pred>
bool waitFor(Pred pred, std::chrono::milliseconds limit = 10s)
{
    const auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
        if (pred())
            return true;
        std::this_thread::sleep_for(20ms);
    }
    return pred();
}

TEST(Process, StartFindAndStop)
{
    corva::test::TempDir dir("corva-proc");
    const fs::path exe = makeSleeper(dir.path(), "CorvaSleeperXq");
    const int pid = startDetached(exe, {"30"}, dir.path());
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(isAlive(pid));
    ASSERT_TRUE(waitFor([&] { return !findByName("corvasleeperx").empty(); })) << "name match ignores case";
    EXPECT_EQ(findByName("CORVASLEEPERXQ"), std::vector<int>{pid});
    EXPECT_TRUE(stop(pid));
    EXPECT_FALSE(isAlive(pid));
    EXPECT_TRUE(findByName("CorvaSleeperXq").empty());
}

// Two program folders, each running its own copy of the same program: each finds only
// its own, also after its program file was replaced.
TEST(Process, FindByExecutableTellsProgramFoldersApart)
{
    corva::test::TempDir one("corva-proc-one");
    corva::test::TempDir two("corva-proc-two");
    const fs::path exeOne = makeSleeper(one.path(), "CorvaFolderSleeper");
    const fs::path exeTwo = makeSleeper(two.path(), "CorvaFolderSleeper");
    EXPECT_TRUE(findByExecutable(exeOne).empty());
    const int pidTwo = startDetached(exeTwo, {"30"}, two.path());
    ASSERT_GT(pidTwo, 0);
    ASSERT_TRUE(waitFor([&] { return findByExecutable(exeTwo) == std::vector<int>{pidTwo}; }));
    EXPECT_TRUE(findByExecutable(exeOne).empty()) << "the other folder's copy is not ours";
    EXPECT_EQ(findByName("CorvaFolderSleeper"), std::vector<int>{pidTwo});  // by name it would be

    const int pidOne = startDetached(exeOne, {"30"}, one.path());
    ASSERT_GT(pidOne, 0);
    ASSERT_TRUE(waitFor([&] { return findByExecutable(exeOne) == std::vector<int>{pidOne}; }));
    EXPECT_EQ(findByExecutable(one.path() / "." / "CorvaFolderSleeper"), std::vector<int>{pidOne});
    // An update replaces the file under the running copy: it is still this folder's.
    fs::remove(exeOne);
    fs::copy_file("/bin/sleep", exeOne);
    EXPECT_EQ(findByExecutable(exeOne), std::vector<int>{pidOne});
    EXPECT_TRUE(stop(pidOne));
    EXPECT_TRUE(stop(pidTwo));
    EXPECT_TRUE(findByExecutable(exeTwo).empty());
}

TEST(Process, StopEscalatesToKillForAProgramThatIgnoresTerm)
{
    corva::test::TempDir dir("corva-proc");
    const fs::path script = dir.path() / "CorvaStubborn.sh";
    std::ofstream(script) << "#!/bin/sh\ntrap '' TERM\nwhile true; do sleep 1; done\n";
    fs::permissions(script, fs::perms::owner_all);
    const int pid = startDetached("/bin/sh", {script.string()}, dir.path());
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(200ms);  // let the shell install its trap
    EXPECT_TRUE(stop(pid, 500ms));
    EXPECT_FALSE(isAlive(pid));
}

TEST(Process, NothingRememberedNothingStopped)
{
    EXPECT_TRUE(stop(0));
    EXPECT_TRUE(stop(-1));
    EXPECT_FALSE(isAlive(0));
}

TEST(Process, StartOfMissingProgramFails)
{
    EXPECT_EQ(startDetached("/nonexistent/CorvaNothing"), -1);
}

TEST(SingleInstance, SecondLockOnSameKeyFailsUntilFirstEnds)
{
    const std::string key = "corva-test-" + std::to_string(::getpid());
    {
        SingleInstanceLock first(key);
        ASSERT_TRUE(first.acquired());
        SingleInstanceLock second(key);
        EXPECT_FALSE(second.acquired());
        SingleInstanceLock other(key + "-other");
        EXPECT_TRUE(other.acquired());
    }
    SingleInstanceLock again(key);
    EXPECT_TRUE(again.acquired());
}

TEST(SingleInstance, LockFileLivesInTheRuntimeFolderOrTheProgramFolderAndGoesAtTheEnd)
{
    const std::string key = "corva-test-place-" + std::to_string(::getpid());
    corva::test::TempDir runtime;
    corva::test::TempDir program;
    const char* saved = std::getenv("XDG_RUNTIME_DIR");
    const std::string savedValue = saved ? saved : "";
    for (const bool withRuntime : {true, false}) {
        if (withRuntime)
            ::setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
        else
            ::unsetenv("XDG_RUNTIME_DIR");
        const fs::path folder = withRuntime ? runtime.path() : program.path();
        fs::path file;
        {
            SingleInstanceLock lock(key, program.path());
            ASSERT_TRUE(lock.acquired());
            file = lock.file();
            EXPECT_EQ(file.parent_path(), folder);
            EXPECT_TRUE(fs::exists(file));
            SingleInstanceLock second(key, program.path());
            EXPECT_FALSE(second.acquired());
            EXPECT_TRUE(fs::exists(file)) << "a refused second lock leaves the holder's file alone";
        }
        EXPECT_FALSE(fs::exists(file)) << "removed when the lock ends";
        SingleInstanceLock again(key, program.path());
        EXPECT_TRUE(again.acquired());
    }
    if (saved)
        ::setenv("XDG_RUNTIME_DIR", savedValue.c_str(), 1);
    else
        ::unsetenv("XDG_RUNTIME_DIR");
    EXPECT_TRUE(fs::is_empty(runtime.path()));
}

// What the programs create is for their user and group only; what an older version left
// open to everyone is closed, a symbolic link is never followed.
// A service's lock keeps out every copy on the folder: another user (here: another
// runtime folder) finds it held, and the file names no user.
TEST(SingleInstance, AFolderLockIsTheFoldersWhoeverAsks)
{
    const std::string key = "corva-test-folder-" + std::to_string(::getpid());
    corva::test::TempDir runtimeA;
    corva::test::TempDir runtimeB;
    corva::test::TempDir program;
    const char* saved = std::getenv("XDG_RUNTIME_DIR");
    const std::string savedValue = saved ? saved : "";
    ::setenv("XDG_RUNTIME_DIR", runtimeA.path().c_str(), 1);
    fs::path file;
    {
        SingleInstanceLock service(key, program.path(), LockScope::Folder);
        ASSERT_TRUE(service.acquired());
        file = service.file();
        EXPECT_EQ(file.parent_path(), program.path());
        EXPECT_EQ(file.filename().string().find(std::to_string(::getuid()) + "-"), std::string::npos) << file;
        EXPECT_NE(fs::status(file).permissions() & fs::perms::group_write, fs::perms::none);
        ::setenv("XDG_RUNTIME_DIR", runtimeB.path().c_str(), 1);
        EXPECT_FALSE(SingleInstanceLock(key, program.path(), LockScope::Folder).acquired());
    }
    EXPECT_FALSE(fs::exists(file));
    EXPECT_TRUE(SingleInstanceLock(key, program.path(), LockScope::Folder).acquired());
    if (saved)
        ::setenv("XDG_RUNTIME_DIR", savedValue.c_str(), 1);
    else
        ::unsetenv("XDG_RUNTIME_DIR");
}

TEST(PrivateFiles, NewFilesAndFoldersAreForUserAndGroupOnly)
{
    corva::test::TempDir dir;
    const mode_t saved = ::umask(022);
    corva::process::usePrivateFileModes();
    fs::create_directory(dir.path() / "made");
    std::ofstream(dir.path() / "made" / "file") << "x";
    ::umask(saved);
    EXPECT_EQ(fs::status(dir.path() / "made").permissions(), fs::perms::owner_all | fs::perms::group_all);
    EXPECT_EQ(fs::status(dir.path() / "made" / "file").permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::group_write);

    const fs::path open = dir.path() / "open";
    std::ofstream(open) << "x";
    fs::permissions(open, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                              fs::perms::others_read | fs::perms::others_write);
    const fs::path link = dir.path() / "link";
    fs::create_symlink(open, link);
    EXPECT_FALSE(corva::process::makePrivate(link));
    EXPECT_NE(fs::status(open).permissions() & fs::perms::others_all, fs::perms::none) << "a link is not followed";
    EXPECT_TRUE(corva::process::makePrivate(open));
    EXPECT_EQ(fs::status(open).permissions(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

}  // namespace
