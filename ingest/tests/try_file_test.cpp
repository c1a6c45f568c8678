// The try file counts attempts: " N " and a line break.
#include "try_file.h"

#include <gtest/gtest.h>

#include "ingest_log.h"
#include "temp_dir.h"

namespace corva::ingest {
namespace {

using corva::test::readFile;
using corva::test::TempDir;
using corva::test::writeFile;

TEST(TryFile, WritesAndReadsTheCount)
{
    TempDir dir;
    IngestLog log(dir / "Logs", false);
    ASSERT_TRUE(writeTry(dir / "a.dcm.try", 7, log));
    EXPECT_EQ(readFile(dir / "a.dcm.try"), " 7 \n");
    EXPECT_EQ(readTry(dir / "a.dcm.try", log), 7);
    writeFile(dir / "b.dcm.try", "12\r\nextra");
    EXPECT_EQ(readTry(dir / "b.dcm.try", log), 12);
    EXPECT_FALSE(std::filesystem::exists(log.logFile()));
}

TEST(TryFile, DamagedFileIsLoggedAndCountsFromZero)
{
    TempDir dir;
    IngestLog log(dir / "Logs", false);
    for (const char* content : {"", "abc\n", " 99999 \n"}) {
        writeFile(dir / "a.dcm.try", content);
        EXPECT_EQ(readTry(dir / "a.dcm.try", log), 0) << content;
    }
    const auto text = readFile(log.logFile());
    EXPECT_NE(text.find("ReadTry\n"), std::string::npos) << text;
}

}  // namespace
}  // namespace corva::ingest
