// The ingest log line format and the debug log rotation.
#include "ingest_log.h"

#include <gtest/gtest.h>

#include <regex>

#include "temp_dir.h"

namespace corva::ingest {
namespace {

namespace fs = std::filesystem;
using corva::test::readFile;
using corva::test::TempDir;

TEST(IngestLog, LineFormat)
{
    TempDir dir;
    IngestLog log(dir / "Logs", false);
    log.writeLog(3, "entries deleted from tblseries", "DeleteFailed");
    log.writeLog(-5, "Failure", "TimerDB");
    log.writeDebugLog("not written while debugging is off");
    const auto text = readFile(dir / "Logs" / "Ingrado.log");
    const std::regex expected(
        R"(\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d 3 entries deleted from tblseriesDeleteFailed\n)"
        R"(\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d-5 FailureTimerDB\n)");
    EXPECT_TRUE(std::regex_match(text, expected)) << text;
    EXPECT_FALSE(fs::exists(dir / "Logs" / "IngradoDebug.log"));
}

TEST(IngestLog, LinesStayOneLineNameTheFileAndRepeatsAreCounted)
{
    TempDir dir;
    IngestLog log(dir / "Logs", false);
    log.setFile("x\n01.01.2026 00:00:00 0 forged.dcm");
    log.writeLog(53, "File not found", "TimerDB");
    log.writeLog(53, "File not found", "TimerDB");
    log.writeLog(53, "File not found", "TimerDB");
    log.writeLog(13, "Type mismatch", "GetValuesImage");
    log.writeLog(13, "Type mismatch", "GetValuesImage");
    log.setFile({});
    log.endFile("x\n01.01.2026 00:00:00 0 forged.dcm");
    log.writeLog(1, "entries deleted from tblseries", "DeleteFailed");
    const auto text = readFile(dir / "Logs" / "Ingrado.log");
    const std::string file = "x\\x0A01.01.2026 00:00:00 0 forged.dcm";
    const std::regex expected(
        R"(\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d 53 File not found - file x\\x0A01\.01\.2026 00:00:00 0 forged\.dcmTimerDB\n)"
        R"(\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d 53 File not found - file x\\x0A01\.01\.2026 00:00:00 0 forged\.dcmTimerDB \(3 times in all\)\n)"
        R"(\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d 13 Type mismatch - file x\\x0A01\.01\.2026 00:00:00 0 forged\.dcmGetValuesImage\n)"
        R"(\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d 13 Type mismatch - file x\\x0A01\.01\.2026 00:00:00 0 forged\.dcmGetValuesImage \(2 times in all\)\n)"
        R"(\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d 1 entries deleted from tblseriesDeleteFailed\n)");
    EXPECT_TRUE(std::regex_match(text, expected)) << text;
}

TEST(IngestLog, DebugLogIsMovedAsideWhenLarge)
{
    TempDir dir;
    IngestLog log(dir / "Logs", true);
    log.writeDebugLog("first");
    // Its first line says what it holds.
    const std::string text = readFile(log.debugFile());
    ASSERT_EQ(text.rfind(DebugLogHeader, 0), 0u) << text;
    EXPECT_TRUE(std::regex_match(text.substr(std::string(DebugLogHeader).size()),
                                 std::regex(R"(\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\dfirst\n)")));
    fs::resize_file(log.debugFile(), 1'000'001);
    log.writeDebugLog("second");
    int aside = 0;
    for (const auto& e : fs::directory_iterator(dir / "Logs"))
        aside += std::regex_match(e.path().filename().string(), std::regex(R"(IngradoDebug\d{6}\.log)")) ? 1 : 0;
    // A second move within the same second fails silently and the line goes to the old file.
    fs::resize_file(log.debugFile(), 1'000'001);
    log.writeDebugLog("third");
    int asideAfter = 0;
    for (const auto& e : fs::directory_iterator(dir / "Logs"))
        asideAfter += std::regex_match(e.path().filename().string(), std::regex(R"(IngradoDebug\d{6}\.log)")) ? 1 : 0;
    EXPECT_EQ(aside, 1);
    EXPECT_GE(asideAfter, 1);
    EXPECT_LE(asideAfter, 2);
    EXPECT_NE(readFile(log.debugFile()).find("third"), std::string::npos);
    // The new log after a move says it too.
    for (const auto& e : fs::directory_iterator(dir / "Logs"))
        EXPECT_EQ(readFile(e.path()).rfind(DebugLogHeader, 0), 0u) << e.path();
}

// Ingrado.log is rotated at 10 MB: the full log becomes Ingrado.log.1, untouched.
TEST(IngestLog, IngestLogIsRotatedBySize)
{
    TempDir dir;
    IngestLog log(dir / "Logs", false);
    log.writeLog(1, "first", "TimerDB");
    fs::resize_file(log.logFile(), 10u * 1024 * 1024 - 10);
    log.writeLog(2, "second", "TimerDB");
    EXPECT_EQ(fs::file_size(dir / "Logs" / "Ingrado.log.1"), 10u * 1024 * 1024 - 10);
    const std::string text = readFile(log.logFile());
    EXPECT_TRUE(std::regex_match(text, std::regex(R"(\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d 2 secondTimerDB\n)"))) << text;
}

}  // namespace
}  // namespace corva::ingest
