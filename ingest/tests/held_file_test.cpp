// The file read is the file filed: a resend of the same image while the first copy is
// in hand, a copy under the image's UID while another waits under that name, a file
// written again in place while in hand, and what a killed run left in the input folder.
#include "held_file.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "file_read_seam.h"
#include "ingest_test_util.h"
#include "log/set_aside.h"

namespace corva::ingest {
namespace {

namespace fs = std::filesystem;
using corva::test::DicomRecipe;
using corva::test::readFile;
using corva::test::uniqueUid;
using test::queryText;
using test::Station;

DicomRecipe image(const std::string& patientId)
{
    DicomRecipe recipe;
    recipe.studyUid = uniqueUid();
    recipe.seriesUid = uniqueUid();
    recipe.sopInstanceUid = uniqueUid();
    recipe.patientId = patientId;
    return recipe;
}

std::string patientOf(const fs::path& file)
{
    return dicom::Image::read(file, dicom::ReadMode::HeaderOnly).patientId();
}

// The patient ID of the row of image `uid`.
std::optional<std::string> rowPatient(Station& st, const std::string& uid)
{
    return queryText(st.db(),
                     "SELECT p.PATID1 FROM tblImages i JOIN tblSeries s ON s.SeriesID = i.FKeySeriesID JOIN tblStudies "
                     "t ON t.StudyID = s.FKeyStudyID JOIN tblPatienten p ON p.PATID = t.FKeyPATID WHERE i.ImageUID = ?",
                     uid);
}

// Writes `recipe` elsewhere and renames it over `target`, as a writer that replaces.
void replaceByRename(Station& st, const fs::path& target, const DicomRecipe& recipe)
{
    const fs::path staging = st.folder().path() / "staging" / "replacement.dcm";
    corva::test::writeDicom(staging, recipe);
    fs::rename(staging, target);
}

// The second copy of an image (same SOP instance UID, another patient) takes the name of
// the first while the first is in hand: the first is filed with its own rows, the
// second is kept aside as a conflicting image, and rows and file agree.
TEST(HeldFile, ResendReplacingTheFileInHandKeepsBothCopies)
{
    Station st;
    const DicomRecipe first = image("PAT-A");
    DicomRecipe second = first;
    second.patientId = "PAT-B";
    second.studyUid = uniqueUid();
    const std::string name = first.sopInstanceUid + ".dcm";
    bool replaced = false;
    test::OnFileRead resend([&](const std::string& inHand) {
        if (inHand == name && !replaced) {
            replaced = true;
            replaceByRename(st, st.temp() / name, second);
        }
    });
    st.drop(name, first);
    ASSERT_TRUE(st.settle());
    ASSERT_TRUE(replaced);
    const fs::path storedFile = st.folder().images() / first.studyUid / name;
    ASSERT_TRUE(fs::exists(storedFile));
    EXPECT_EQ(patientOf(storedFile), "PAT-A") << "the file filed is the file read";
    EXPECT_EQ(rowPatient(st, first.sopInstanceUid), "PAT-A");
    EXPECT_EQ(st.count("tblImages"), 1);
    const fs::path aside = st.temp() / "BadObjects" / name;
    ASSERT_TRUE(fs::exists(aside)) << "the second copy is kept";
    EXPECT_EQ(patientOf(aside), "PAT-B");
    const auto reason = log::readSetAsideReason(aside, st.folder().logs());
    ASSERT_TRUE(reason);
    EXPECT_TRUE(reason->filesOwnFault);
    EXPECT_NE(reason->text.find("registered for patient ID 'PAT-A'"), std::string::npos) << reason->text;
    for (const auto& e : fs::directory_iterator(st.temp()))
        EXPECT_TRUE(e.is_directory()) << "nothing left in the input folder: " << e.path();
}

// A file written again in place while in hand (same inode, new content): nothing is
// committed for what was read, the file starts again and is filed as it is now.
TEST(HeldFile, FileRewrittenInPlaceWhileInHandIsFiledAsItIsNow)
{
    Station st;
    const DicomRecipe first = image("PAT-A");
    DicomRecipe now = first;
    now.patientId = "PAT-C";
    now.studyUid = uniqueUid();
    const std::string name = first.sopInstanceUid + ".dcm";
    bool rewritten = false;
    test::OnFileRead rewrite([&](const std::string& inHand) {
        if (inHand != name || rewritten)
            return;
        rewritten = true;
        const fs::path staging = st.folder().path() / "staging" / "now.dcm";
        corva::test::writeDicom(staging, now);
        const std::string bytes = readFile(staging);
        std::ofstream same(st.temp() / name, std::ios::binary | std::ios::trunc);  // same inode
        same << bytes << std::string(16, '\0');  // a different size, whatever the clock
    });
    st.drop(name, first);
    ASSERT_TRUE(st.settle());
    ASSERT_TRUE(rewritten);
    EXPECT_EQ(st.count("tblImages"), 1);
    EXPECT_EQ(st.count("tblStudies"), 1) << "no rows of what was read before";
    EXPECT_EQ(rowPatient(st, first.sopInstanceUid), "PAT-C");
    const fs::path storedFile = st.folder().images() / now.studyUid / name;
    ASSERT_TRUE(fs::exists(storedFile));
    EXPECT_EQ(patientOf(storedFile), "PAT-C");
    EXPECT_FALSE(fs::exists(st.temp() / "BadObjects"));
}

// A resend under another name (as the receiver writes a second object of a waiting
// name) is copied under its UID only once that name is free: the waiting copy is never
// replaced.
TEST(HeldFile, CopyUnderTheUidNeverReplacesAWaitingFile)
{
    Station st;
    const DicomRecipe first = image("PAT-A");
    DicomRecipe second = first;
    second.patientId = "PAT-B";
    second.studyUid = uniqueUid();
    const std::string name = first.sopInstanceUid + ".dcm";
    st.drop("resent-copy.dcm", second);
    st.ticks(1);  // the resend seen
    st.drop(name, first);
    st.ticks(1);  // the resend taken while the first waits (seen once only)
    EXPECT_EQ(patientOf(st.temp() / name), "PAT-A") << "the waiting file is untouched";
    EXPECT_TRUE(fs::exists(st.temp() / "resent-copy.dcm"));
    ASSERT_TRUE(st.settle());
    const fs::path storedFile = st.folder().images() / first.studyUid / name;
    EXPECT_EQ(patientOf(storedFile), "PAT-A");
    EXPECT_EQ(rowPatient(st, first.sopInstanceUid), "PAT-A");
    EXPECT_EQ(patientOf(st.temp() / "BadObjects" / name), "PAT-B");
}

pid_t deadPid()
{
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

// A killed run's holds and removals give their files back; half-written copies of
// writers that are gone go; a living writer's half file stays.
TEST(HeldFile, LeftoversOfAKilledRunAreClearedAtStart)
{
    corva::test::ProgramFolder folder;
    const fs::path temp = folder.temp();
    const DicomRecipe onlyHeld = image("P1");
    const DicomRecipe alsoInput = image("P2");
    const std::string onlyHeldName = onlyHeld.sopInstanceUid + ".dcm";
    const std::string alsoInputName = alsoInput.sopInstanceUid + ".dcm";
    corva::test::writeDicom(temp / HeldFile::holdName(onlyHeldName), onlyHeld);
    corva::test::writeDicom(temp / alsoInputName, alsoInput);
    fs::create_hard_link(temp / alsoInputName, temp / HeldFile::holdName(alsoInputName));
    corva::test::writeFile(temp / (alsoInputName + ".repair"), "half a copy");
    const std::string deadPart = ".write-" + std::to_string(deadPid()) + "-3.part";
    const std::string livePart = ".write-" + std::to_string(::getpid()) + "-4.part";
    corva::test::writeFile(temp / deadPart, "half");
    corva::test::writeFile(temp / livePart, "being written");

    IngestService service(folder.path());
    service.start();
    EXPECT_TRUE(fs::exists(temp / onlyHeldName)) << "the only name of a file becomes its input name again";
    EXPECT_FALSE(fs::exists(temp / HeldFile::holdName(onlyHeldName)));
    EXPECT_TRUE(fs::exists(temp / alsoInputName));
    EXPECT_FALSE(fs::exists(temp / HeldFile::holdName(alsoInputName)));
    EXPECT_FALSE(fs::exists(temp / (alsoInputName + ".repair")));
    EXPECT_FALSE(fs::exists(temp / deadPart));
    EXPECT_TRUE(fs::exists(temp / livePart));
    for (int i = 0; i < 10; ++i)
        service.tick();
    EXPECT_EQ(test::queryInt(folder.imageDatabase(), "SELECT COUNT(*) FROM tblImages"), 2);
}

}  // namespace
}  // namespace corva::ingest
