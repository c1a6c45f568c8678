// Images: reading, header-only reading, Part-10 writing and transfer syntaxes.
#include <gtest/gtest.h>

#include <set>

#include "core/error.h"
#include "core/paths.h"
#include "dicom/dicom.h"
#include "dicom_fixture.h"
#include "shell.h"
#include "temp_dir.h"

using namespace corva;
using namespace corva::dicom;
using corva::test::DicomRecipe;

namespace {

constexpr Tag PixelData{0x7FE0, 0x0010};

DicomRecipe bigRecipe()
{
    DicomRecipe recipe;
    recipe.rows = 1024;
    recipe.columns = 768;
    return recipe;
}

}  // namespace

TEST(DicomImage, ReadGivesTheHeaderValues)
{
    test::TempDir dir;
    DicomRecipe recipe;
    recipe.patientName = "Doe^Jane";
    recipe.patientId = "4711";
    recipe.birthDate = "19700214";
    recipe.sex = "F";
    recipe.studyUid = test::uniqueUid();
    recipe.sopClassUid = uid::DigitalMammographyForPresentation;
    recipe.extra = {{{0x0028, 0x1050}, "2047.6\\1000"}, {{0x0028, 0x1051}, "4096\\2000"}};
    Image image = Image::read(test::writeDicom(dir / "a.dcm", recipe));

    EXPECT_EQ(image.patientName(), "Doe^Jane");
    EXPECT_EQ(image.patientId(), "4711");
    ASSERT_TRUE(image.birthDate());
    EXPECT_EQ(image.birthDate()->year, 1970);
    EXPECT_EQ(image.birthDate()->day, 14);
    EXPECT_EQ(image.sex(), "F");
    EXPECT_EQ(image.studyInstanceUid(), recipe.studyUid);
    EXPECT_EQ(image.sopClassUid(), uid::DigitalMammographyForPresentation);
    EXPECT_TRUE(isSafeUid(image.sopInstanceUid()));
    EXPECT_EQ(image.transferSyntax(), uid::ExplicitLittleEndian);
    EXPECT_EQ(image.windowCenter(), 2048);  // whole numbers, first values
    EXPECT_EQ(image.windowWidth(), 4096);

    recipe.extra = {{{0x0028, 0x1050}, "1e300"}, {{0x0028, 0x1051}, "-5e12"}};
    Image huge = Image::read(test::writeDicom(dir / "huge.dcm", recipe));
    EXPECT_EQ(huge.windowCenter(), 0) << "a window beyond the whole-number range counts as none";
    EXPECT_EQ(huge.windowWidth(), 0);

    ImageCollection images;
    images.read(dir / "a.dcm");
    EXPECT_EQ(images.count(), 1);
    EXPECT_EQ(images.item(1).patientId(), "4711");
    EXPECT_THROW(images.item(2), Error);
    images.clear();
    EXPECT_EQ(images.count(), 0);
}

TEST(DicomImage, FileThatIsNotDicomIsRefused)
{
    test::TempDir dir;
    test::writeFile(dir / "notes.txt", "This is a text file and no DICOM object at all.\n");
    test::writeFile(dir / "empty.dcm", "");
    for (const char* name : {"notes.txt", "empty.dcm"}) {
        try {
            Image::read(dir / name);
            ADD_FAILURE() << name << " was read";
        } catch (const Error& e) {
            EXPECT_EQ(e.code(), errc::NotDicom) << name;
        }
    }
    try {
        Image::read(dir / "missing.dcm");
        ADD_FAILURE() << "missing file was read";
    } catch (const Error& e) {
        EXPECT_EQ(e.code(), errc::NotFound);
    }
}

TEST(DicomImage, HeaderOnlyReadDoesNotTouchThePixelData)
{
    test::TempDir dir;
    const auto file = test::writeDicom(dir / "big.dcm", bigRecipe());
    const std::string bytes = test::readFile(file);
    Image header = Image::read(file, ReadMode::HeaderOnly);
    // Cut the file in the middle of its pixel data after the read: the header is all
    // that was taken into memory.
    test::writeFile(file, bytes.substr(0, bytes.size() - 1024 * 768));
    EXPECT_TRUE(header.isHeaderOnly());
    EXPECT_EQ(header.patientName(), "Test^Patient");
    EXPECT_FALSE(header.attributes().contains(PixelData));
    EXPECT_THROW(header.loadAll(), Error);
    // Read again, the cut file is refused in either mode: its data set is incomplete.
    EXPECT_THROW(Image::read(file, ReadMode::HeaderOnly), Error);
    EXPECT_THROW(Image::read(file, ReadMode::Full), Error);
}

TEST(DicomImage, HeaderOnlyReadKeepsNestedPixelDataOfAnIcon)
{
    test::TempDir dir;
    // An icon image sequence holds pixel data of its own, before the image's.
    DicomRecipe iconRecipe;
    iconRecipe.rows = iconRecipe.columns = 8;
    iconRecipe.bitsAllocated = 8;
    Image icon = test::makeImage(iconRecipe);
    Image image = test::makeImage(bigRecipe());
    image.attributes().set(Tag{0x0088, 0x0200}, Sequence{icon.attributes()});
    image.attributes().set(Tag{0x0008, 0x103E}, "after the icon");
    image.write(dir / "icon.dcm");

    Image header = Image::read(dir / "icon.dcm", ReadMode::HeaderOnly);
    EXPECT_FALSE(header.attributes().contains(PixelData));
    const Sequence items = std::get<Sequence>(header.attributes().get(Tag{0x0088, 0x0200}).value());
    ASSERT_EQ(items.size(), 1u);
    EXPECT_TRUE(items[0].contains(PixelData));
    header.loadAll();
    EXPECT_TRUE(header.attributes().contains(PixelData));
}

TEST(DicomImage, HeaderOnlyImageLoadsPixelsForWritingAndKeepsChanges)
{
    test::TempDir dir;
    const auto file = test::writeDicom(dir / "big.dcm", bigRecipe());
    const Bitmap expected = Image::read(file).render();

    Image image = Image::read(file, ReadMode::HeaderOnly);
    image.attributes().set(Tag{0x0010, 0x0020}, "CHANGED");
    image.write(dir / "out.dcm");  // loads the pixel data itself
    Image out = Image::read(dir / "out.dcm");
    EXPECT_EQ(out.patientId(), "CHANGED");
    EXPECT_EQ(out.render().pixels, expected.pixels);

    // After loadAll() the source may go: everything is in memory.
    Image moved = Image::read(file, ReadMode::HeaderOnly);
    moved.loadAll();
    EXPECT_FALSE(moved.isHeaderOnly());
    std::filesystem::rename(file, dir / "elsewhere.dcm");
    std::filesystem::remove(dir / "elsewhere.dcm");
    moved.write(dir / "moved.dcm");
    EXPECT_EQ(Image::read(dir / "moved.dcm").render().pixels, expected.pixels);

    // A full read does not depend on its file either.
    Image full = Image::read(dir / "moved.dcm");
    std::filesystem::remove(dir / "moved.dcm");
    full.write(dir / "again.dcm");
    EXPECT_EQ(Image::read(dir / "again.dcm").render().pixels, expected.pixels);
}

TEST(DicomImage, WriteKeepsTheTransferSyntaxItWasReadWith)
{
    test::TempDir dir;
    for (const char* ts : {uid::ImplicitLittleEndian, uid::ExplicitLittleEndian, uid::JpegLossless}) {
        DicomRecipe recipe;
        recipe.transferSyntax = ts;
        const auto first = test::writeDicom(dir / "first.dcm", recipe);
        Image image = Image::read(first);
        EXPECT_EQ(image.transferSyntax(), ts);
        image.write(dir / "second.dcm");
        EXPECT_EQ(Image::read(dir / "second.dcm").transferSyntax(), ts);
        // the same after a header-only read, whose pixel data comes in for writing
        Image header = Image::read(first, ReadMode::HeaderOnly);
        EXPECT_EQ(header.transferSyntax(), ts);
        header.write(dir / "third.dcm");
        Image third = Image::read(dir / "third.dcm");
        EXPECT_EQ(third.transferSyntax(), ts);
        EXPECT_EQ(third.render().pixels, image.render().pixels);
    }
    // A given syntax wins, compressed pixel data included.
    DicomRecipe jpeg;
    jpeg.transferSyntax = uid::JpegLossless;
    Image compressed = Image::read(test::writeDicom(dir / "jpeg.dcm", jpeg), ReadMode::HeaderOnly);
    compressed.write(dir / "plain.dcm", std::string(uid::ExplicitLittleEndian));
    Image plain = Image::read(dir / "plain.dcm");
    EXPECT_EQ(plain.transferSyntax(), uid::ExplicitLittleEndian);
    EXPECT_EQ(plain.render().pixels, Image::read(test::writeDicom(dir / "ref.dcm", DicomRecipe{})).render().pixels);
}

TEST(DicomImage, WriteMakesFreshMetaInformationFromTheDataSet)
{
    test::TempDir dir;
    Image image = Image::read(test::writeDicom(dir / "a.dcm", DicomRecipe{}));
    image.setSopClassUid(uid::SecondaryCapture);
    image.write(dir / "b.dcm");
    EXPECT_EQ(Image::read(dir / "b.dcm").sopClassUid(), uid::SecondaryCapture);
    const std::string dump = test::dcmdump(dir / "b.dcm", "-M -Un +P 0002,0002 +P 0002,0003");
    EXPECT_NE(dump.find(uid::SecondaryCapture), std::string::npos) << dump;
    EXPECT_NE(dump.find(image.sopInstanceUid()), std::string::npos) << dump;
}

TEST(DicomImage, PixelDataRoundTripsByteForByte)
{
    test::TempDir dir;
    std::vector<std::uint8_t> bytes(6 * 4 * 2);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 37 % 251);
    Image image = test::makeImage();
    image.setPixelData(6, 4, 16, bytes);
    image.write(dir / "a.dcm", std::string(uid::ImplicitLittleEndian));
    const std::string raw = Image::read(dir / "a.dcm").attributes().rawBytes(PixelData);
    EXPECT_EQ(raw, std::string(bytes.begin(), bytes.end()));
    // Text keeps its stored form, padding included.
    EXPECT_EQ(Image::read(dir / "a.dcm").attributes().rawBytes(Tag{0x0008, 0x0060}), "CR");
    EXPECT_THROW(image.setPixelData(6, 4, 16, std::vector<std::uint8_t>(5)), Error);
}

TEST(DicomImage, FailedWriteThrows)
{
    test::TempDir dir;
    Image image = test::makeImage();
    EXPECT_THROW(image.write(dir / "no" / "such" / "folder" / "a.dcm"), Error);
    EXPECT_THROW(image.write(dir / "a.dcm", std::string("1.2.3.4.5.6")), Error);
}

TEST(DicomImage, WriteReplacesAFileWholeAndLeavesNoTemporaryFile)
{
    test::TempDir dir;
    const auto target = dir / "a.dcm";
    test::writeFile(target, "old content");
    // A folder is not writable for a non-root user only; a target that is a folder
    // refuses the rename for everyone and must keep what is there.
    std::filesystem::create_directory(dir / "b.dcm");
    Image image = test::makeImage();
    EXPECT_THROW(image.write(dir / "b.dcm"), Error);
    EXPECT_TRUE(std::filesystem::is_directory(dir / "b.dcm"));

    image.write(target);
    EXPECT_EQ(Image::read(target).sopInstanceUid(), image.sopInstanceUid());
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        ++files;
        EXPECT_EQ(entry.path().filename().string().find(".part"), std::string::npos) << entry.path();
    }
    EXPECT_EQ(files, 2);
}

TEST(DicomUid, NewUidsAreUniqueAndSafe)
{
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        const std::string u = newUid();
        EXPECT_TRUE(isSafeUid(u)) << u;
        EXPECT_TRUE(seen.insert(u).second) << u;
    }
}

namespace {

// A file cut off inside its pixel data, or nested too deep for the toolkit's recursive
// reader, is refused before the toolkit parses it, in both read modes.
TEST(ImageStructure, IncompleteOrTooDeeplyNestedFilesAreRefusedBeforeParsing)
{
    corva::test::TempDir dir;
    DicomRecipe jpeg;
    jpeg.transferSyntax = uid::JpegLossless;
    DicomRecipe implicitVr;
    implicitVr.transferSyntax = uid::ImplicitLittleEndian;
    DicomRecipe bigEndian;
    bigEndian.transferSyntax = uid::ExplicitBigEndian;
    const auto plain = corva::test::writeDicom(dir.path() / "plain.dcm");
    const auto compressed = corva::test::writeDicom(dir.path() / "jpeg.dcm", jpeg);
    const auto implicitFile = corva::test::writeDicom(dir.path() / "implicit.dcm", implicitVr);
    const auto bigFile = corva::test::writeDicom(dir.path() / "big.dcm", bigEndian);
    const auto padded = corva::test::writeDicom(dir.path() / "padded.dcm");
    test::writeFile(padded, test::readFile(padded) + std::string(3, '\0'));  // bytes too few for an element
    struct Case {
        std::string what;
        std::filesystem::path file;
        bool sound;
        bool tooDeep;
    } cases[] = {
        {"sound", plain, true, false},
        {"sound compressed", compressed, true, false},
        {"sound implicit VR", implicitFile, true, false},
        {"sound big endian", bigFile, true, false},
        {"cut in an element header", padded, false, false},
        {"cut in pixel data", corva::test::writeTruncatedCopy(plain, dir.path() / "cut.dcm", 100), false, false},
        {"cut in a JPEG fragment", corva::test::writeTruncatedCopy(compressed, dir.path() / "cutj.dcm", 20), false, false},
        {"cut implicit VR", corva::test::writeTruncatedCopy(implicitFile, dir.path() / "cuti.dcm", 1), false, false},
        {"cut big endian", corva::test::writeTruncatedCopy(bigFile, dir.path() / "cutb.dcm", 3), false, false},
        {"nested 64 levels", corva::test::writeNestedDicom(dir.path() / "n64.dcm", 64), true, false},
        {"nested 65 levels", corva::test::writeNestedDicom(dir.path() / "n65.dcm", 65), false, true},
        {"nested 6000 levels", corva::test::writeNestedDicom(dir.path() / "n6000.dcm", 6000), false, true},
    };
    for (const auto& c : cases) {
        const FileStructure s = checkFileStructure(c.file);
        EXPECT_EQ(s.sound(), c.sound) << c.what << ": " << s.problem;
        EXPECT_EQ(s.tooDeep, c.tooDeep) << c.what;
        for (ReadMode mode : {ReadMode::HeaderOnly, ReadMode::Full}) {
            if (c.sound) {
                EXPECT_NO_THROW(Image::read(c.file, mode)) << c.what;
            } else {
                try {
                    Image::read(c.file, mode);
                    ADD_FAILURE() << c.what << " was read";
                } catch (const corva::Error& e) {
                    EXPECT_EQ(e.code(), errc::NotDicom) << c.what;
                    EXPECT_NE(e.message().find(c.file.filename().string()), std::string::npos) << e.message();
                }
            }
        }
    }
    EXPECT_EQ(checkFileStructure(dir.path() / "n64.dcm").depth, 64);
    // dcmdump agrees that the cut file is broken.
    EXPECT_NE(test::shell("dcmdump " + test::quoted(dir.path() / "cut.dcm")).find("remature"), std::string::npos);
}

}  // namespace
