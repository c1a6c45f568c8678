#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/paths.h"
#include "log/error_log.h"
#include "log/rotating_file.h"
#include "temp_dir.h"

using corva::log::LogError;
namespace fs = std::filesystem;

namespace {

class ErrorLogTest : public ::testing::Test {
protected:
    void SetUp() override { corva::setProgramFolderForTesting(dir.path()); }
    void TearDown() override { corva::setProgramFolderForTesting({}); }
    fs::path logFile() const { return dir.path() / "Logs" / "Error.log"; }
    corva::test::TempDir dir{"corva-log"};
};

TEST_F(ErrorLogTest, FirstEntryCreatesFolderAndLine)
{
    LogError(13, "Type mismatch", "MainForm dbFill");
    const std::string text = corva::test::readFile(logFile());
    const std::regex line(R"(^\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d#13 - Type mismatch MainForm dbFill\r\n$)");
    EXPECT_TRUE(std::regex_match(text, line)) << text;
}

TEST_F(ErrorLogTest, EmptyDescriptionGivesTwoBlanks)
{
    LogError(-5, "", "Splash_Timer");
    const std::string text = corva::test::readFile(logFile());
    EXPECT_NE(text.find("#-5 -  Splash_Timer\r\n"), std::string::npos) << text;
}

TEST_F(ErrorLogTest, RotatesOnlyAtTheLimitAndKeepsFiveGenerations)
{
    fs::create_directories(logFile().parent_path());
    constexpr std::uintmax_t Limit = 10u * 1024 * 1024;
    // Room for the line: appended to.
    corva::test::writeFile(logFile(), std::string(Limit - 100, 'x'));
    LogError(1, "d", "loc");
    EXPECT_GT(fs::file_size(logFile()), Limit - 100);
    EXPECT_FALSE(fs::exists(corva::log::generationFile(logFile(), 1)));
    // No room: the full file becomes Error.log.1, untouched, and the line starts a new one.
    corva::test::writeFile(logFile(), std::string(Limit - 10, 'y'));
    LogError(2, "second", "loc");
    EXPECT_EQ(fs::file_size(corva::log::generationFile(logFile(), 1)), Limit - 10);
    const std::string text = corva::test::readFile(logFile());
    EXPECT_EQ(text.find('y'), std::string::npos);
    EXPECT_NE(text.find("#2 - second loc\r\n"), std::string::npos) << text;
}

// The rotation itself, on small limits: generations move up, the oldest goes.
TEST_F(ErrorLogTest, RotationKeepsTheNewestGenerations)
{
    const fs::path file = dir.path() / "Logs" / "Some.log";
    const corva::log::Rotation small{10, 3};
    for (char c : std::string("abcdefg"))
        ASSERT_TRUE(corva::log::appendRotating(file, std::string(6, c), small));
    EXPECT_EQ(corva::test::readFile(file), "gggggg");
    EXPECT_EQ(corva::test::readFile(corva::log::generationFile(file, 1)), "ffffff");
    EXPECT_EQ(corva::test::readFile(corva::log::generationFile(file, 2)), "eeeeee");
    EXPECT_EQ(corva::test::readFile(corva::log::generationFile(file, 3)), "dddddd");
    EXPECT_FALSE(fs::exists(corva::log::generationFile(file, 4)));
}

// Several processes append and rotate at once: no line is lost from the generations
// kept, none is torn.
TEST_F(ErrorLogTest, ConcurrentWritersRotateWithoutTearingLines)
{
    const fs::path file = dir.path() / "Logs" / "Shared.log";
    const corva::log::Rotation rotation{4000, 50};
    constexpr int Writers = 4;
    constexpr int Lines = 300;
    std::vector<pid_t> pids;
    for (int w = 0; w < Writers; ++w) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (int i = 0; i < Lines; ++i)
                corva::log::appendRotating(file, "writer " + std::to_string(w) + " line " + std::to_string(i) + "\n",
                                           rotation);
            ::_exit(0);
        }
        pids.push_back(pid);
    }
    for (pid_t pid : pids) {
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
    int lines = 0;
    const std::regex line(R"(writer \d line \d+)");
    for (int n = 0; n <= rotation.generations; ++n) {
        const fs::path f = n == 0 ? file : corva::log::generationFile(file, n);
        if (!fs::exists(f))
            continue;
        EXPECT_LE(fs::file_size(f), rotation.maxBytes);
        std::istringstream in(corva::test::readFile(f));
        for (std::string l; std::getline(in, l); ++lines)
            EXPECT_TRUE(std::regex_match(l, line)) << l;
    }
    EXPECT_EQ(lines, Writers * Lines);
}

TEST_F(ErrorLogTest, NewLogIsPrivate)
{
    const mode_t old = ::umask(0);
    LogError(1, "d", "loc");
    ::umask(old);
    EXPECT_EQ(fs::status(logFile()).permissions() & fs::perms::others_all, fs::perms::none);
}

TEST_F(ErrorLogTest, MultiLineDescriptionStaysOneEntryLine)
{
    LogError(3001, "no such table: tblX [SELECT *\nFROM tblX]\r\n", "MainForm dbFill");
    LogError(2, "second", "Splash_Timer");
    const std::string text = corva::test::readFile(logFile());
    const std::regex twoLines(R"(^[^\r\n]+#3001 - no such table: tblX \[SELECT \* FROM tblX\]   MainForm dbFill\r\n)"
                              R"([^\r\n]+#2 - second Splash_Timer\r\n$)");
    EXPECT_TRUE(std::regex_match(text, twoLines)) << text;
}

TEST_F(ErrorLogTest, ReadOnlyLogLosesEntrySilently)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "root writes read-only files";
    fs::create_directories(logFile().parent_path());
    corva::test::writeFile(logFile(), "old\r\n");
    fs::permissions(logFile(), fs::perms::owner_read);
    EXPECT_NO_THROW(LogError(1, "d", "loc"));
    EXPECT_EQ(corva::test::readFile(logFile()), "old\r\n");
}

TEST_F(ErrorLogTest, UnopenableLogNeverThrows)
{
    // A folder in the log file's place cannot be opened, even by root.
    fs::create_directories(logFile());
    EXPECT_NO_THROW(LogError(1, "d", "loc"));
    EXPECT_TRUE(fs::is_directory(logFile()));
}

TEST_F(ErrorLogTest, UnwritableFolderNeverThrows)
{
    // A file named Logs blocks the folder: the entry is lost, the caller goes on.
    corva::test::writeFile(dir.path() / "Logs", "not a folder");
    EXPECT_NO_THROW(LogError(1, "d", "loc"));
}

}  // namespace
