#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "core/paths.h"
#include "log/error_log.h"
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

TEST_F(ErrorLogTest, RotatesOnlyAboveTheLimit)
{
    fs::create_directories(logFile().parent_path());
    for (const std::uintmax_t size : {1'000'000u, 1'000'001u}) {
        corva::test::writeFile(logFile(), std::string(size, 'x'));
        LogError(1, "d", "loc");
        const auto after = fs::file_size(logFile());
        const std::string text = corva::test::readFile(logFile());
        if (size == 1'000'000u) {
            EXPECT_GT(after, size) << "a file of exactly the limit is appended to";
            EXPECT_EQ(text.substr(0, size), std::string(size, 'x'));
        } else {
            EXPECT_LT(after, 100u) << "a file above the limit is started afresh";
            EXPECT_EQ(text.find('x'), std::string::npos) << "nothing of the old content is kept";
            EXPECT_NE(text.find("#1 - d loc\r\n"), std::string::npos) << text;
        }
    }
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
