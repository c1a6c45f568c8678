// DICOMDIR: our writer's output read back by our reader and by dcmdump.
#include <gtest/gtest.h>

#include "core/error.h"
#include "dicom/dicom.h"
#include "dicom_fixture.h"
#include "shell.h"
#include "temp_dir.h"

using namespace corva;
using namespace corva::dicom;
using corva::test::DicomRecipe;

TEST(DicomDir, WrittenTreeReadsBackWithOurReaderAndDcmdump)
{
    test::TempDir dir;
    // Patient A (Latin-1 name) with one study of two images, patient B with one image.
    DicomRecipe a = test::latin1Recipe("Müller^Anna");
    a.patientId = "A1";
    a.studyUid = test::uniqueUid();
    a.seriesUid = test::uniqueUid();
    DicomRecipe a2 = a;
    a2.instanceNumber = 2;
    DicomRecipe b;
    b.patientName = "Berg^Bert";
    b.patientId = "B2";
    b.transferSyntax = uid::ImplicitLittleEndian;

    DicomDirWriter writer;
    std::vector<std::string> uids;
    for (const DicomRecipe& recipe : {a, a2, b}) {
        Image image = test::makeImage(recipe);
        const std::string name = image.sopInstanceUid() + ".dcm";
        image.write(dir / name, recipe.transferSyntax.empty() ? std::optional<std::string>{} : recipe.transferSyntax);
        writer.addImage(Image::read(dir / name, ReadMode::HeaderOnly), name, "");
        uids.push_back(image.sopInstanceUid());
    }
    writer.write(dir / "DICOMDIR");

    const std::vector<DirRecord> patients = readDicomDir(dir / "DICOMDIR");
    ASSERT_EQ(patients.size(), 2u);
    EXPECT_EQ(patients[0].type, "PATIENT");
    EXPECT_EQ(patients[0].attributes.get(0x0010, 0x0010).text, "Müller^Anna");
    EXPECT_EQ(patients[0].attributes.rawBytes(Tag{0x0010, 0x0010}).substr(0, 11), "M\xFCller^Anna");
    EXPECT_EQ(patients[1].attributes.get(0x0010, 0x0020).text, "B2");
    ASSERT_EQ(patients[0].children.size(), 1u);
    const DirRecord& study = patients[0].children[0];
    EXPECT_EQ(study.type, "STUDY");
    EXPECT_EQ(study.attributes.get(0x0020, 0x000D).text, a.studyUid);
    ASSERT_EQ(study.children.size(), 1u);
    const DirRecord& series = study.children[0];
    EXPECT_EQ(series.type, "SERIES");
    ASSERT_EQ(series.children.size(), 2u);
    const DirRecord& image = series.children[1];
    EXPECT_EQ(image.type, "IMAGE");
    EXPECT_EQ(image.fileId, uids[1] + ".dcm");
    EXPECT_TRUE(image.children.empty());
    EXPECT_EQ(image.attributes.get(0x0004, 0x1511).text, uids[1]);
    EXPECT_EQ(patients[1].children[0].children[0].children[0].attributes.get(0x0004, 0x1512).text,
              uid::ImplicitLittleEndian);

    // dcmdump's default listing of DCMTK 3.6.7 aborts on file IDs longer than about 32
    // characters (a fault in its record print); the tree and search listings parse
    // the whole file as well.
    for (const char* options : {"+T", "+P 0004,1500"}) {
        int rc = -1;
        const std::string dump = test::shell(std::string("dcmdump ") + options + " " + test::quoted(dir / "DICOMDIR"), &rc);
        EXPECT_EQ(rc, 0) << dump;
        for (const auto& u : uids)
            EXPECT_NE(dump.find(u + ".dcm"), std::string::npos) << options << "\n" << dump;
        EXPECT_EQ(dump.find("E: "), std::string::npos) << dump;
        EXPECT_EQ(dump.find("W: "), std::string::npos) << dump;
    }

    // Writing again replaces the file instead of adding to it.
    DicomDirWriter second;
    second.addImage(Image::read(dir / (uids[2] + ".dcm")), uids[2] + ".dcm", uid::ImplicitLittleEndian);
    second.write(dir / "DICOMDIR");
    EXPECT_EQ(readDicomDir(dir / "DICOMDIR").size(), 1u);
}

TEST(DicomDir, ReadingSomethingElseIsAnError)
{
    test::TempDir dir;
    const auto image = test::writeDicom(dir / "image.dcm", DicomRecipe{});
    EXPECT_THROW(readDicomDir(dir / "image.dcm"), Error);
    EXPECT_THROW(readDicomDir(dir / "missing"), Error);
    EXPECT_FALSE(std::filesystem::exists(dir / "missing"));
}

// The medium of other systems: conformant file IDs only, and only files of the
// general-purpose profile (explicit VR little endian Part-10 files).
TEST(DicomDir, MediumRefusesWhatTheProfileForbids)
{
    test::TempDir dir;
    test::DicomRecipe ok;
    test::writeDicom(dir / "DICOM" / "IM1", ok);
    test::DicomRecipe implicit;
    implicit.transferSyntax = uid::ImplicitLittleEndian;
    test::writeDicom(dir / "DICOM" / "IM2", implicit);
    test::writeDicom(dir / "DICOM" / "im3", ok);

    EXPECT_TRUE(DicomDirMedium::isConformantFileId("DICOM/ST000001/IM000001"));
    for (const char* bad : {"", "dicom/IM1", "DICOM/IM000001.DCM", "DICOM//IM1", "/DICOM/IM1", "DICOM/IMAGE0001",
                            "A/B/C/D/E/F/G/H/I"})
        EXPECT_FALSE(DicomDirMedium::isConformantFileId(bad)) << bad;

    DicomDirMedium medium(dir.path());
    medium.add("DICOM/IM1");
    EXPECT_THROW(medium.add("DICOM/IM2"), Error);  // implicit VR
    EXPECT_THROW(medium.add("DICOM/im3"), Error);  // lower case
    EXPECT_THROW(medium.add("DICOM/IM9"), Error);  // missing
    medium.write();
    const auto patients = readDicomDir(dir / "DICOMDIR");
    ASSERT_EQ(patients.size(), 1u);
    ASSERT_EQ(patients[0].children.at(0).children.at(0).children.size(), 1u);
    EXPECT_EQ(patients[0].children[0].children[0].children[0].fileId, "DICOM/IM1");
}
