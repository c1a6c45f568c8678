// The ZIP archive of an export: its name, its members (the export tree), and no
// archive left behind by a failed or cancelled run.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "temp_dir.h"
#include "transfer_test_util.h"
#include "transfer/zip_packer.h"

namespace corva::station::transfer {
namespace {

namespace fs = std::filesystem;
using corva::test::readFile;
using corva::test::TempDir;
using corva::test::writeFile;
using test::entries;
using test::filesBelow;
using test::quoted;
using test::shell;

TEST(ZipPackerTest, ArchiveNamesFollowThePrompt)
{
    EXPECT_EQ(ZipPacker::proposedName(9, 5, 3), "090503");
    EXPECT_EQ(ZipPacker::proposedName(23, 59, 10), "235910");
    struct Case {
        std::optional<std::string> answer;
        const char* name;
    };
    const Case cases[] = {
        {std::nullopt, "090503.zip"},  // cancelled: the proposal
        {"", "090503.zip"},            // nothing entered: the proposal
        {"  Study 7  ", "Study 7.zip"},
        {"export.zip", "export.zip"},
        {"EXPORT.ZIP", "EXPORT.ZIP"},
        {"Mixed.Zip", "Mixed.Zip"},
        {"a.zip.bak", "a.zip.bak.zip"},
        {"zip", "zip.zip"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ZipPacker::archiveName(c.answer, "090503"), c.name) << c.answer.value_or("<cancel>");
}

class ZipPackerFilesTest : public ::testing::Test {
protected:
    ZipPackerFilesTest()
    {
        for (const char* f : {"1.2.3/1.2.3.4.dcm", "1.2.3/info.txt", "1.2.3/1.2.3.5.jpg", "DICOM/ST000001/IM000001",
                              "DICOMDIR"}) {
            std::string bytes;
            for (int i = 0; i < 20000; ++i)
                bytes += std::string(f) + std::to_string(i % 97);
            test::putFile(folder / f, bytes);
            files.push_back(folder / f);
        }
    }
    TempDir folder{"corva-zip"};
    std::vector<fs::path> files;
};

TEST_F(ZipPackerFilesTest, MembersKeepTheirPathsSoTheUnpackedArchiveIsTheSameTree)
{
    ZipPacker packer;
    std::vector<double> fractions;
    ASSERT_EQ(packer.pack(folder.path(), "export.zip", files, [&](double f) { fractions.push_back(f); }), ZipResult::Ok)
        << packer.error();
    EXPECT_FALSE(fractions.empty());
    EXPECT_DOUBLE_EQ(fractions.back(), 1.0);
    int code = -1;
    std::string out = shell("unzip -t " + quoted(folder / "export.zip"), &code);
    EXPECT_EQ(code, 0) << out;
    TempDir unpacked("corva-unzip");
    out = shell("unzip -q " + quoted(folder / "export.zip") + " -d " + quoted(unpacked.path()), &code);
    ASSERT_EQ(code, 0) << out;
    std::vector<std::string> expected;
    for (const auto& f : files) {
        const std::string rel = f.lexically_relative(folder.path()).generic_string();
        expected.push_back(rel);
        EXPECT_EQ(readFile(unpacked.path() / rel), readFile(f)) << rel;
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(filesBelow(unpacked.path()), expected);
    // The exported files stay where they are; the archive sits beside them.
    for (const auto& f : files)
        EXPECT_TRUE(fs::exists(f));
    // Pictures are stored, everything else deflated.
    out = shell("unzip -v " + quoted(folder / "export.zip"));
    EXPECT_NE(out.find("Stored"), std::string::npos) << out;
    EXPECT_NE(out.find("Defl:N"), std::string::npos) << out;
}

TEST_F(ZipPackerFilesTest, AFailedOrCancelledRunLeavesNoArchive)
{
    const auto before = entries(folder.path());
    ZipPacker packer;
    // A file that is not there.
    auto withMissing = files;
    withMissing.push_back(folder / "gone.dcm");
    EXPECT_EQ(packer.pack(folder.path(), "a.zip", withMissing), ZipResult::Failed);
    EXPECT_FALSE(packer.error().empty());
    EXPECT_EQ(entries(folder.path()), before);

    // A file that goes while the archive is written.
    const fs::path victim = folder / "late.dcm";
    writeFile(victim, std::string(100000, 'v'));
    auto withLate = files;
    withLate.push_back(victim);
    EXPECT_EQ(packer.pack(folder.path(), "b.zip", withLate, [&](double) { fs::remove(victim); }), ZipResult::Failed);
    EXPECT_EQ(entries(folder.path()), before);

    // Cancelled: no message, and an older archive of that name stays as it was.
    writeFile(folder / "c.zip", "older archive");
    EXPECT_EQ(packer.pack(folder.path(), "c.zip", files, {}, [] { return true; }), ZipResult::Cancelled);
    EXPECT_EQ(readFile(folder / "c.zip"), "older archive");
    auto withOld = before;
    withOld.push_back("c.zip");
    std::sort(withOld.begin(), withOld.end());
    EXPECT_EQ(entries(folder.path()), withOld);

    // A name that is a path.
    EXPECT_EQ(packer.pack(folder.path(), "../x.zip", files), ZipResult::Failed);
    EXPECT_FALSE(fs::exists(folder.path().parent_path() / "x.zip"));
}

// An archive beyond 4 GB needs ZIP64 records. Writes about 4.3 GB: run with
// CORVA_BIG_ZIP=1.
TEST(ZipPackerBigTest, ArchivesBeyondFourGigabytesAreReadable)
{
    if (!std::getenv("CORVA_BIG_ZIP"))
        GTEST_SKIP() << "set CORVA_BIG_ZIP=1 to write a 4.3 GB archive";
    TempDir folder("corva-bigzip");
    std::vector<fs::path> files;
    // 5 x 900 MB of noise-like bytes: four pictures stored as they are, then a DICOM
    // file deflated by the workers, which lies beyond the 4 GB mark.
    std::string block(1 << 20, '\0');
    std::uint32_t x = 12345;
    for (char& c : block) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    for (int i = 0; i < 5; ++i) {
        const fs::path f = folder / ("p" + std::to_string(i) + (i < 4 ? ".jpg" : ".dcm"));
        {
            std::ofstream out(f, std::ios::binary);
            for (int mb = 0; mb < 900; ++mb)
                out.write(block.data(), static_cast<std::streamsize>(block.size()));
        }
        files.push_back(f);
    }
    ZipPacker packer;
    ASSERT_EQ(packer.pack(folder.path(), "big.zip", files), ZipResult::Ok) << packer.error();
    EXPECT_GT(fs::file_size(folder / "big.zip"), 4ull << 30);
    int code = -1;
    const std::string out = shell("unzip -l " + quoted(folder / "big.zip"), &code);
    EXPECT_EQ(code, 0) << out;
    EXPECT_NE(out.find("p4.dcm"), std::string::npos) << out;
    const std::string test4 = shell("unzip -p " + quoted(folder / "big.zip") + " p4.dcm | cmp - " + quoted(files[4]), &code);
    EXPECT_EQ(code, 0) << test4;
}

}  // namespace
}  // namespace corva::station::transfer
