// Which input files a scan hands out, and when.
#include "input_scanner.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>

#include "temp_dir.h"

namespace corva::ingest {
namespace {

namespace fs = std::filesystem;
using corva::test::TempDir;
using corva::test::writeFile;

bool contains(const std::vector<std::string>& v, const std::string& s)
{
    return std::find(v.begin(), v.end(), s) != v.end();
}

TEST(InputScanner, FileIsTakenOnTheSecondScanAfterItStoppedChanging)
{
    TempDir dir;
    InputScanner scanner(dir.path());
    writeFile(dir / "a.dcm", "one");
    EXPECT_TRUE(scanner.scan().empty()) << "first seen";
    // Still being written: size changes.
    std::ofstream(dir / "a.dcm", std::ios::app) << "more";
    EXPECT_TRUE(scanner.scan().empty());
    // Rewritten with the same size: the modification time changes.
    struct timespec times[2] = {{0, UTIME_OMIT}, {1'000'000, 123}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (dir / "a.dcm").c_str(), times, 0), 0);
    EXPECT_TRUE(scanner.scan().empty());
    // Replaced by another file of the same size and time: the inode changes.
    writeFile(dir / "b.tmp", "onemore");
    ASSERT_EQ(::utimensat(AT_FDCWD, (dir / "b.tmp").c_str(), times, 0), 0);
    fs::rename(dir / "b.tmp", dir / "a.dcm");
    EXPECT_TRUE(scanner.scan().empty());
    EXPECT_EQ(scanner.scan(), std::vector<std::string>{"a.dcm"});
    EXPECT_EQ(scanner.scan(), std::vector<std::string>{"a.dcm"}) << "a file left in place is taken again";
}

TEST(InputScanner, NameRules)
{
    TempDir dir;
    InputScanner scanner(dir.path());
    for (const char* name : {"ABC.DCM", "x.Dcm", "abc.dcm1", "abc.dicom", "dcm", "notes.txt"})
        writeFile(dir / name, "x");
    fs::create_directory(dir / "folder.dcm");
    fs::create_symlink(dir / "ABC.DCM", dir / "link.dcm");
    scanner.scan();
    auto work = scanner.scan();
    std::sort(work.begin(), work.end());
    EXPECT_EQ(work, (std::vector<std::string>{"ABC.DCM", "x.Dcm"}));
    EXPECT_TRUE(fs::exists(dir / "abc.dcm1")) << "other files are left alone";
}

TEST(InputScanner, TryFileWithoutInputFileIsDeleted)
{
    TempDir dir;
    InputScanner scanner(dir.path());
    writeFile(dir / "x.dcm.try", " 3 \n");
    writeFile(dir / "y.dcm.TRY", " 3 \n");
    writeFile(dir / "y.dcm", "y");
    fs::permissions(dir / "x.dcm.try", fs::perms::owner_read);
    const auto work = scanner.scan();
    EXPECT_FALSE(contains(work, "y.dcm"));
    EXPECT_FALSE(fs::exists(dir / "x.dcm.try")) << "deleted also when read-only";
    EXPECT_TRUE(fs::exists(dir / "y.dcm.TRY"));
}

}  // namespace
}  // namespace corva::ingest
