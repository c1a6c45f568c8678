// The ingest service driven tick by tick on a real program folder: registration,
// repairs, retries, bad objects, patient matching and the orphan clean-up.
#include "ingest_service.h"

#include <gtest/gtest.h>

#include <regex>

#include "core/paths.h"
#include "db/database.h"
#include "ingest_test_util.h"

namespace corva::ingest {
namespace {

namespace fs = std::filesystem;
using corva::test::DicomRecipe;
using corva::test::readFile;
using corva::test::uniqueUid;
using corva::test::writeFile;
using dicom::Tag;
using test::queryInt;
using test::queryText;
using test::Station;

DicomRecipe specWithUids()
{
    DicomRecipe recipe;
    recipe.studyUid = uniqueUid();
    recipe.seriesUid = uniqueUid();
    recipe.sopInstanceUid = uniqueUid();
    return recipe;
}

TEST(IngestService, RegistersFileAndMovesItIntoTheStore)
{
    Station st;
    DicomRecipe recipe = specWithUids();
    recipe.patientName = "Müller^Anna^Maria";
    recipe.patientId = "P-100";
    recipe.birthDate = "19600101";
    recipe.sex = "F";
    recipe.studyDescription = "Mammo 'both'";
    recipe.accessionNumber = " ACC1 ";
    recipe.extra = {{Tag{0x0008, 0x0090}, "Dr. Who"},
                  {Tag{0x0018, 0x0015}, "BREAST"},
                  {Tag{0x0020, 0x0010}, "0042"},
                  {Tag{0x0020, 0x0011}, "3"},
                  {Tag{0x0018, 0x0060}, "28"},
                  {Tag{0x0008, 0x0023}, "20240116"},
                  {Tag{0x0008, 0x0033}, "111213"},
                  {Tag{0x1009, 0x0010}, "4|5|6"}};
    const std::string name = recipe.sopInstanceUid + ".dcm";
    st.drop(name, recipe);

    st.ticks(1);
    EXPECT_TRUE(fs::exists(st.temp() / name)) << "a file is first only seen";
    EXPECT_EQ(st.count("tblImages"), 0);
    st.ticks(1);
    EXPECT_FALSE(fs::exists(st.temp() / name));
    EXPECT_FALSE(fs::exists(st.temp() / (name + ".try")));
    EXPECT_TRUE(fs::exists(st.folder().images() / recipe.studyUid / name));

    const auto db = st.db();
    EXPECT_EQ(queryText(db, "SELECT PATID1 FROM tblPatienten"), "P-100");
    EXPECT_EQ(queryText(db, "SELECT PATNachname FROM tblPatienten"), "Müller");
    EXPECT_EQ(queryText(db, "SELECT PATVorname FROM tblPatienten"), "Anna");
    EXPECT_EQ(queryText(db, "SELECT PAT2Vorname FROM tblPatienten"), "Maria");
    EXPECT_EQ(queryText(db, "SELECT PATGebDatum FROM tblPatienten"), "1960-01-01");
    EXPECT_EQ(queryText(db, "SELECT PATGeschlecht FROM tblPatienten"), "F");
    EXPECT_EQ(queryText(db, "SELECT StudyUID FROM tblStudies"), recipe.studyUid);
    EXPECT_EQ(queryText(db, "SELECT StudyDate FROM tblStudies"), "2024-01-15");
    EXPECT_EQ(queryText(db, "SELECT StudyTime FROM tblStudies"), "1899-12-30 10:15:00");
    EXPECT_EQ(queryInt(db, "SELECT StudyNr FROM tblStudies"), 42);
    EXPECT_EQ(queryText(db, "SELECT StudyDescription FROM tblStudies"), "Mammo both");
    EXPECT_EQ(queryText(db, "SELECT Accession FROM tblAccessions a JOIN tblStudies s ON s.FKeyAccessionID = a.AccessionID"),
              "ACC1");
    EXPECT_EQ(queryText(db, "SELECT UeberweiserName FROM tblUeberweiser u JOIN tblStudies s ON s.FKeyUeberweiserID = u.UeberweiserID"),
              "Dr. Who");
    EXPECT_EQ(queryText(db, "SELECT Modality FROM view_studies"), "CR");
    EXPECT_EQ(queryText(db, "SELECT Bodypart FROM view_studies"), "BREAST");
    EXPECT_EQ(queryInt(db, "SELECT ReporterID1 + 10 * ReporterID2 + 100 * ReporterID3 FROM tblStudies"), 654);
    EXPECT_EQ(queryText(db, "SELECT SeriesUID FROM tblSeries"), recipe.seriesUid);
    EXPECT_EQ(queryInt(db, "SELECT SeriesNr FROM tblSeries"), 3);
    EXPECT_EQ(queryText(db, "SELECT SeriesCBA FROM tblSeries"), "0");
    EXPECT_EQ(queryText(db, "SELECT ImageUID FROM tblImages"), recipe.sopInstanceUid);
    EXPECT_EQ(queryInt(db, "SELECT ImageRows * 1000 + ImageCols FROM tblImages"), 64064);
    EXPECT_EQ(queryInt(db, "SELECT ImageKVP FROM tblImages"), 28);
    EXPECT_EQ(queryText(db, "SELECT ImageDate FROM tblImages"), "2024-01-16");
    EXPECT_EQ(queryText(db, "SELECT ImageTime FROM tblImages"), "1899-12-30 11:12:13");
    EXPECT_EQ(queryText(db, "SELECT StudyUID FROM View_Images"), recipe.studyUid);
    EXPECT_EQ(st.count("tblReceive"), 1);
    EXPECT_EQ(queryInt(db, "SELECT COUNT(*) FROM tblReceive r JOIN tblImages i ON r.ImageID = i.ImageID "
                           "JOIN tblPatienten p ON r.PATID = p.PATID"),
              1);
    EXPECT_FALSE(fs::exists(st.folder().logs() / "Ingrado.log"));
}

TEST(IngestService, PlaceholdersForAbsentPatientData)
{
    Station st;
    DicomRecipe recipe = specWithUids();
    recipe.omit = {{0x0010, 0x0010}, {0x0010, 0x0020}, {0x0010, 0x0030}, {0x0010, 0x0040}};
    st.drop(recipe.sopInstanceUid + ".dcm", recipe);
    ASSERT_TRUE(st.settle());
    const auto db = st.db();
    EXPECT_EQ(queryText(db, "SELECT PATID1 FROM tblPatienten"), "ZKT_NoPatID_ZKT");
    EXPECT_EQ(queryText(db, "SELECT PATNachname FROM tblPatienten"), "XXNoName");
    EXPECT_EQ(queryText(db, "SELECT PATVorname FROM tblPatienten"), "-");
    EXPECT_EQ(queryInt(db, "SELECT PAT2Vorname IS NULL FROM tblPatienten"), 1);
    EXPECT_EQ(queryText(db, "SELECT PATGebDatum FROM tblPatienten"), "1899-12-31");
    EXPECT_EQ(queryText(db, "SELECT PATGeschlecht FROM tblPatienten"), "O");
    EXPECT_EQ(queryText(db, "SELECT StudyDescription FROM tblStudies"), "N/A");
}

TEST(IngestService, ApostrophesAndLatin1AreStored)
{
    Station st;
    DicomRecipe recipe = corva::test::latin1Recipe("O'Müller^Jürgen");
    recipe.studyUid = uniqueUid();
    recipe.sopInstanceUid = uniqueUid();
    recipe.seriesUid = uniqueUid();  // a UID with an apostrophe is set aside (UnsafeUidIsSetAsideAtOnce)
    recipe.patientId = "P'1";
    recipe.accessionNumber = "A'1";
    recipe.extra = {{Tag{0x0008, 0x0090}, "Dr. O'Hara"}};
    st.drop(recipe.sopInstanceUid + ".dcm", recipe);
    ASSERT_TRUE(st.settle());
    const auto db = st.db();
    EXPECT_EQ(queryText(db, "SELECT PATID1 FROM tblPatienten"), "P'1");
    EXPECT_EQ(queryText(db, "SELECT PATNachname FROM tblPatienten"), "O\xC2\xB4Müller");
    EXPECT_EQ(queryText(db, "SELECT PATVorname FROM tblPatienten"), "Jürgen");
    EXPECT_EQ(queryInt(db, "SELECT COUNT(*) FROM tblAccessions WHERE Accession = 'A''1'"), 1);
    EXPECT_EQ(queryInt(db, "SELECT COUNT(*) FROM tblUeberweiser WHERE UeberweiserName = 'Dr. O''Hara'"), 1);
}

TEST(IngestService, FileNamedOtherwiseIsCopiedUnderItsUid)
{
    Station st;
    DicomRecipe recipe = specWithUids();
    st.drop("abc.dcm", recipe);
    st.ticks(2);
    const std::string proper = recipe.sopInstanceUid + ".dcm";
    EXPECT_FALSE(fs::exists(st.temp() / "abc.dcm"));
    EXPECT_FALSE(fs::exists(st.temp() / "abc.dcm.try"));
    EXPECT_TRUE(fs::exists(st.temp() / proper));
    EXPECT_EQ(st.count("tblImages"), 0);
    ASSERT_TRUE(st.settle());
    EXPECT_TRUE(fs::exists(st.folder().images() / recipe.studyUid / proper));
    EXPECT_EQ(st.count("tblImages"), 1);
    const auto image = dicom::Image::read(st.folder().images() / recipe.studyUid / proper);
    EXPECT_EQ(image.sopInstanceUid(), recipe.sopInstanceUid);
    EXPECT_EQ(image.render().width, 64) << "the copy carries the pixel data";

    // A name differing only in letter case is accepted without a copy; the store holds
    // it under the name the station looks for, <SOP instance UID>.dcm.
    DicomRecipe upper = specWithUids();
    const std::string upperName = upper.sopInstanceUid + ".DCM";
    st.drop(upperName, upper);
    st.ticks(2);
    EXPECT_FALSE(fs::exists(st.temp() / upperName));
    EXPECT_TRUE(fs::exists(st.folder().images() / upper.studyUid / (upper.sopInstanceUid + ".dcm")));
    EXPECT_FALSE(fs::exists(st.folder().images() / upper.studyUid / upperName));
    EXPECT_EQ(st.count("tblImages"), 2);

    // The same image again as .Dcm: already in the store, so the input copy is deleted.
    st.drop(upper.sopInstanceUid + ".Dcm", upper);
    ASSERT_TRUE(st.settle());
    EXPECT_EQ(test::countFiles(st.folder().images() / upper.studyUid), 1);
    EXPECT_EQ(st.count("tblImages"), 2);
}

TEST(IngestService, CompressedFileIsCopiedInItsOwnTransferSyntax)
{
    Station st;
    DicomRecipe recipe = specWithUids();
    recipe.transferSyntax = dicom::uid::JpegLossless;
    st.drop("compressed.dcm", recipe);
    ASSERT_TRUE(st.settle());
    const auto stored = dicom::Image::read(st.folder().images() / recipe.studyUid / (recipe.sopInstanceUid + ".dcm"));
    EXPECT_EQ(stored.transferSyntax(), dicom::uid::JpegLossless);
    EXPECT_EQ(stored.render().width, 64);
    EXPECT_EQ(st.count("tblImages"), 1);
}

TEST(IngestService, MissingModalityAndSopClassAreRepairedInTwoPasses)
{
    Station st;
    DicomRecipe recipe = specWithUids();
    recipe.omit = {{0x0008, 0x0060}, {0x0008, 0x0016}};
    const std::string name = recipe.sopInstanceUid + ".dcm";
    st.drop(name, recipe);
    st.ticks(2);
    {
        const auto first = dicom::Image::read(st.temp() / name);
        EXPECT_EQ(first.attributes().get(0x0008, 0x0060).text, "SC");
        EXPECT_EQ(first.sopClassUid(), "");
        EXPECT_FALSE(fs::exists(st.temp() / (name + "1")));
        EXPECT_FALSE(fs::exists(st.temp() / (name + ".try")));
    }
    st.ticks(2);
    {
        const auto second = dicom::Image::read(st.temp() / name);
        EXPECT_EQ(second.sopClassUid(), dicom::uid::SecondaryCapture);
    }
    EXPECT_EQ(st.count("tblImages"), 0);
    st.ticks(2);
    EXPECT_EQ(st.count("tblImages"), 1);
    const auto stored = dicom::Image::read(st.folder().images() / recipe.studyUid / name);
    EXPECT_EQ(stored.sopClassUid(), dicom::uid::SecondaryCapture);
    EXPECT_EQ(stored.render().width, 64);
    EXPECT_EQ(queryText(st.db(), "SELECT Modality FROM view_studies"), "SC");

    // With a modality but no SOP class the class follows the modality.
    DicomRecipe ct = specWithUids();
    ct.modality = "CT";
    ct.omit = {{0x0008, 0x0016}};
    st.drop(ct.sopInstanceUid + ".dcm", ct);
    ASSERT_TRUE(st.settle());
    EXPECT_EQ(dicom::Image::read(st.folder().images() / ct.studyUid / (ct.sopInstanceUid + ".dcm")).sopClassUid(),
              "1.2.840.10008.5.1.4.1.1.2");
}

TEST(IngestService, RepairThatCannotBeWrittenLeavesNoPartialCopy)
{
    Station st;
    DicomRecipe recipe = specWithUids();
    recipe.omit = {{0x0008, 0x0060}};
    const std::string name = recipe.sopInstanceUid + ".dcm";
    // A folder in the way of the repaired copy makes its final rename fail.
    fs::create_directory(st.temp() / (name + "1"));
    st.drop(name, recipe);
    // A name in the way of one file stops only that file.
    const DicomRecipe other = specWithUids();
    st.drop(other.sopInstanceUid + ".dcm", other);
    st.ticks(3);
    EXPECT_TRUE(fs::exists(st.folder().images() / other.studyUid / (other.sopInstanceUid + ".dcm")));
    EXPECT_TRUE(fs::exists(st.temp() / name)) << "the input file stays for a later attempt";
    // No fault of the file's: the attempt does not count against it.
    EXPECT_FALSE(fs::exists(st.temp() / (name + ".try")));
    EXPECT_FALSE(fs::exists(st.temp() / (name + "1.repair")));
    EXPECT_NE(readFile(st.folder().logs() / "Ingrado.log").find("TimerDB\n"), std::string::npos);

    fs::remove(st.temp() / (name + "1"));
    ASSERT_TRUE(st.settle());
    EXPECT_EQ(st.count("tblImages"), 2);
}

TEST(IngestService, DuplicateSopInstanceCreatesNoRows)
{
    Station st;
    DicomRecipe recipe = specWithUids();
    const std::string name = recipe.sopInstanceUid + ".dcm";
    st.drop(name, recipe);
    ASSERT_TRUE(st.settle());
    st.drop(name, recipe);
    ASSERT_TRUE(st.settle());
    EXPECT_EQ(st.count("tblImages"), 1);
    EXPECT_EQ(st.count("tblPatienten"), 1);
    EXPECT_EQ(st.count("tblReceive"), 2) << "an image already registered is reported again";
    EXPECT_FALSE(fs::exists(st.temp() / name)) << "the input copy is deleted";

    // Registered but not yet moved (the service was stopped in between): moved now.
    fs::remove(st.folder().images() / recipe.studyUid / name);
    st.drop(name, recipe);
    ASSERT_TRUE(st.settle());
    EXPECT_TRUE(fs::exists(st.folder().images() / recipe.studyUid / name));
    EXPECT_EQ(st.count("tblImages"), 1);
}

TEST(IngestService, KnownSeriesAndStudyAddOnlyWhatIsNew)
{
    Station st;
    DicomRecipe first = specWithUids();
    st.drop(first.sopInstanceUid + ".dcm", first);
    ASSERT_TRUE(st.settle());

    DicomRecipe sameSeries = first;
    sameSeries.sopInstanceUid = uniqueUid();
    sameSeries.patientName = "Other^Person";  // a known study keeps its patient
    st.drop(sameSeries.sopInstanceUid + ".dcm", sameSeries);
    ASSERT_TRUE(st.settle());
    EXPECT_EQ(st.count("tblImages"), 2);
    EXPECT_EQ(st.count("tblSeries"), 1);

    DicomRecipe sameStudy = sameSeries;
    sameStudy.seriesUid = uniqueUid();
    sameStudy.sopInstanceUid = uniqueUid();
    st.drop(sameStudy.sopInstanceUid + ".dcm", sameStudy);
    ASSERT_TRUE(st.settle());
    EXPECT_EQ(st.count("tblImages"), 3);
    EXPECT_EQ(st.count("tblSeries"), 2);
    EXPECT_EQ(st.count("tblStudies"), 1);
    EXPECT_EQ(st.count("tblPatienten"), 1);
}

TEST(IngestService, PatientMatching)
{
    struct Case {
        const char* what;
        std::string id1, name1, birth1;
        std::string id2, name2, birth2;
        int patients;
    } cases[] = {
        {"no ID, second without birth date", "", "Doe^Jane", "19500101", "", "Doe^Jane", "", 1},
        {"no ID, different birth dates", "", "Doe^Jane", "19500101", "", "Doe^Jane", "19510101", 2},
        {"no ID, first stored without birth date", "", "Doe^Jane", "", "", "Doe^Jane", "19500101", 2},
        {"no ID, different names", "", "Doe^Jane", "", "", "Roe^Jane", "", 2},
        {"same ID, name case and umlauts differ", "P1", "Müller^Anna", "19500101", "P1", "MÜLLER^ANNA", "19500101", 1},
        {"same ID, second without first name", "P1", "Doe^Jane", "", "P1", "Doe", "", 1},
        {"same ID, other last name", "P1", "Doe^Jane", "", "P1", "Roe^Jane", "", 2},
        {"same name, other ID", "P1", "Doe^Jane", "", "P2", "Doe^Jane", "", 2},
        {"ID case differs", "abc", "Doe^Jane", "", "ABC", "Doe^Jane", "", 1},
        {"same ID, different birth dates", "P1", "Doe^Jane", "19500101", "P1", "Doe^Jane", "19510101", 2},
        {"same ID, second without birth date", "P1", "Doe^Jane", "19500101", "P1", "Doe^Jane", "", 1},
        {"same ID, other middle name", "P1", "Doe^Jane^Ann", "", "P1", "Doe^Jane^Beth", "", 2},
        {"same ID, second without middle name", "P1", "Doe^Jane^Ann", "", "P1", "Doe^Jane", "", 1},
        {"no ID, other first name", "", "Doe^Jane", "", "", "Doe^John", "", 2},
    };
    for (const auto& c : cases) {
        Station st;
        DicomRecipe a = specWithUids();
        a.patientId = c.id1;
        a.patientName = c.name1;
        a.birthDate = c.birth1;
        DicomRecipe b = specWithUids();
        b.patientId = c.id2;
        b.patientName = c.name2;
        b.birthDate = c.birth2;
        st.drop(a.sopInstanceUid + ".dcm", a);
        ASSERT_TRUE(st.settle());
        st.drop(b.sopInstanceUid + ".dcm", b);
        ASSERT_TRUE(st.settle());
        EXPECT_EQ(st.count("tblPatienten"), c.patients) << c.what;
        EXPECT_EQ(st.count("tblStudies"), 2) << c.what;
    }
}

TEST(IngestService, UnreadableFileIsTriedFiftyTimesThenSetAside)
{
    Station st;
    writeFile(st.temp() / "junk.dcm", "this is not DICOM");
    st.ticks(1);
    for (int attempt = 1; attempt <= 50; ++attempt) {
        st.ticks(1);
        ASSERT_EQ(readFile(st.temp() / "junk.dcm.try"), " " + std::to_string(attempt) + " \n");
    }
    EXPECT_TRUE(fs::exists(st.temp() / "junk.dcm"));
    st.ticks(1);
    EXPECT_FALSE(fs::exists(st.temp() / "junk.dcm"));
    EXPECT_FALSE(fs::exists(st.temp() / "junk.dcm.try"));
    EXPECT_EQ(readFile(st.temp() / "BadObjects" / "junk.dcm"), "this is not DICOM");
    const auto log = readFile(st.folder().logs() / "Ingrado.log");
    EXPECT_NE(log.find("TimerDB\n"), std::string::npos) << log;

    // A file of that name already set aside: the new one is deleted instead.
    writeFile(st.temp() / "junk.dcm", "second junk");
    writeFile(st.temp() / "junk.dcm.try", " 50 \n");
    st.ticks(2);
    EXPECT_FALSE(fs::exists(st.temp() / "junk.dcm"));
    EXPECT_EQ(readFile(st.temp() / "BadObjects" / "junk.dcm"), "this is not DICOM");
}

TEST(IngestService, IncompleteFileTakesTheUnreadablePath)
{
    Station st;
    DicomRecipe recipe = specWithUids();
    const std::string name = recipe.sopInstanceUid + ".dcm";
    const auto whole = corva::test::writeDicom(st.folder().path() / "staging" / "whole.dcm", recipe);
    // Cut off inside the pixel data, as a broken transfer leaves it.
    corva::test::writeTruncatedCopy(whole, st.folder().path() / "staging" / name, 1000);
    fs::rename(st.folder().path() / "staging" / name, st.temp() / name);
    st.ticks(2);
    EXPECT_TRUE(fs::exists(st.temp() / name));
    EXPECT_EQ(readFile(st.temp() / (name + ".try")), " 1 \n");
    EXPECT_EQ(st.count("tblImages"), 0);
    EXPECT_EQ(st.count("tblReceive"), 0);
    EXPECT_EQ(test::countFiles(st.folder().images(), true), 0);
    const auto log = readFile(st.folder().logs() / "Ingrado.log");
    EXPECT_NE(log.find("Incomplete DICOM file"), std::string::npos) << log;
    EXPECT_NE(log.find(name), std::string::npos) << log;
    writeFile(st.temp() / (name + ".try"), " 50 \n");
    st.ticks(1);
    EXPECT_TRUE(fs::exists(st.temp() / "BadObjects" / name));
    EXPECT_EQ(test::countFiles(st.folder().images(), true), 0);
}

TEST(IngestService, DeeplyNestedFileIsSetAsideBeforeItIsParsed)
{
    Station st;
    DicomRecipe deep = specWithUids();
    const std::string deepName = deep.sopInstanceUid + ".dcm";
    corva::test::writeNestedDicom(st.folder().path() / "staging" / deepName, 6000, deep);
    fs::rename(st.folder().path() / "staging" / deepName, st.temp() / deepName);
    DicomRecipe fine = specWithUids();
    const std::string fineName = fine.sopInstanceUid + ".dcm";
    corva::test::writeNestedDicom(st.folder().path() / "staging" / fineName, dicom::MaxSequenceDepth, fine);
    fs::rename(st.folder().path() / "staging" / fineName, st.temp() / fineName);
    st.ticks(2);
    EXPECT_TRUE(fs::exists(st.temp() / "BadObjects" / deepName));
    EXPECT_FALSE(fs::exists(st.temp() / (deepName + ".try")));
    EXPECT_TRUE(fs::exists(st.folder().images() / fine.studyUid / fineName));
    EXPECT_EQ(st.count("tblImages"), 1);
    const auto log = readFile(st.folder().logs() / "Ingrado.log");
    EXPECT_NE(log.find("nested deeper than 64 levels"), std::string::npos) << log;
    EXPECT_NE(log.find(deepName + " moved to bad objects"), std::string::npos) << log;
}

TEST(IngestService, FileTheServiceDiedOnIsSetAsideAtStart)
{
    corva::test::ProgramFolder folder;
    DicomRecipe crashed = specWithUids();
    DicomRecipe killed = specWithUids();
    const std::string crashedName = crashed.sopInstanceUid + ".dcm";
    const std::string killedName = killed.sopInstanceUid + ".dcm";
    corva::test::writeDicom(folder.temp() / crashedName, crashed);
    corva::test::writeDicom(folder.temp() / killedName, killed);
    // As the fatal-signal handler and a kill from outside leave them.
    writeFile(folder.temp() / (crashedName + ".try"), " 3 \ncrashed\n");
    writeFile(folder.temp() / (killedName + ".try"), " 2 \nin hand\n");

    IngestService service(folder.path());
    service.start();
    EXPECT_TRUE(fs::exists(folder.temp() / "BadObjects" / crashedName));
    EXPECT_FALSE(fs::exists(folder.temp() / (crashedName + ".try")));
    EXPECT_EQ(readFile(folder.temp() / (killedName + ".try")), " 2 \n") << "the attempt counts, the file is tried again";
    const auto log = readFile(folder.logs() / "Ingrado.log");
    EXPECT_NE(log.find("ended abnormally while working on this file: " + crashedName + " moved to bad objects"),
              std::string::npos)
        << log;
    service.tick();
    service.tick();
    EXPECT_TRUE(fs::exists(folder.images() / killed.studyUid / killedName));
}

TEST(IngestService, BadFilesAreNamedOnceAndNothingForgesALine)
{
    Station st;
    // A name with a line break that looks like a log line of its own.
    const std::string evil = "evil\n01.01.2026 00:00:00 0 forgedTimerDB.dcm";
    writeFile(st.temp() / evil, "this is not DICOM");
    writeFile(st.temp() / "junk.dcm", "this is not DICOM either");
    for (int i = 0; i < 53; ++i)
        st.ticks(1);
    ASSERT_TRUE(fs::exists(st.temp() / "BadObjects" / evil));
    ASSERT_TRUE(fs::exists(st.temp() / "BadObjects" / "junk.dcm"));
    const auto log = readFile(st.folder().logs() / "Ingrado.log");
    std::vector<std::string> lines;
    for (std::size_t at = 0, next; at < log.size(); at = next + 1) {
        next = log.find('\n', at);
        lines.push_back(log.substr(at, next - at));
    }
    const std::regex dated(R"(\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d.*)");
    int movedEvil = 0, movedJunk = 0, junkErrors = 0;
    for (const auto& line : lines) {
        EXPECT_TRUE(std::regex_match(line, dated)) << line;
        EXPECT_NE(line.rfind("01.01.2026", 0), 0u) << "a forged line: " << line;
        const bool namesEvil = line.find("evil\\x0A01.01.2026") != std::string::npos;
        const bool namesJunk = line.find("junk.dcm") != std::string::npos;
        EXPECT_TRUE(namesEvil || namesJunk) << "every line names its file: " << line;
        movedEvil += namesEvil && line.find("moved to bad objects") != std::string::npos;
        movedJunk += namesJunk && line.find("moved to bad objects") != std::string::npos;
        junkErrors += namesJunk && line.find("TimerDB") != std::string::npos;
    }
    EXPECT_EQ(movedEvil, 1) << log;
    EXPECT_EQ(movedJunk, 1) << log;
    EXPECT_EQ(junkErrors, 2) << "the error once, and once more with its count\n" << log;
    EXPECT_NE(log.find("(50 times in all)"), std::string::npos) << log;
}

TEST(IngestService, NameTooLongForATryFileGetsOneAttempt)
{
    Station st;
    // 254 characters: the file can exist, its try file cannot.
    const std::string junk = std::string(250, 'j') + ".dcm";
    writeFile(st.temp() / junk, "this is not DICOM");
    DicomRecipe recipe = specWithUids();
    const std::string good = std::string(250, 'g') + ".dcm";
    st.drop(good, recipe);
    st.ticks(2);
    EXPECT_FALSE(fs::exists(st.temp() / junk));
    EXPECT_EQ(readFile(st.temp() / "BadObjects" / junk), "this is not DICOM");
    EXPECT_NE(readFile(st.folder().logs() / "Ingrado.log").find("Name too long"), std::string::npos);
    // A readable file goes on as usual: copied under its UID and registered.
    ASSERT_TRUE(st.settle());
    EXPECT_FALSE(fs::exists(st.temp() / "BadObjects" / good));
    EXPECT_TRUE(fs::exists(st.folder().images() / recipe.studyUid / (recipe.sopInstanceUid + ".dcm")));
    EXPECT_EQ(st.count("tblImages"), 1);
}

TEST(IngestService, ReaderFailureIsLoggedAndRetried)
{
    struct Case {
        const char* tag;
        DicomRecipe recipe;
    };
    DicomRecipe noSeries = specWithUids();
    noSeries.omit = {{0x0020, 0x000E}};
    DicomRecipe badReporter = specWithUids();
    badReporter.extra = {{Tag{0x1009, 0x0010}, "1|x"}};
    // The image number sets the sort order: one that cannot be converted fails the reader.
    DicomRecipe badNumber = specWithUids();
    badNumber.extra = {{Tag{0x0020, 0x0013}, "9e99"}};
    const Case cases[] = {{"GetValuesSeries\n", noSeries}, {"GetReporterID\n", badReporter}, {"GetValuesImage\n", badNumber}};
    for (const auto& c : cases) {
        Station st;
        const std::string name = c.recipe.sopInstanceUid + ".dcm";
        st.drop(name, c.recipe);
        st.ticks(3);
        EXPECT_EQ(readFile(st.temp() / (name + ".try")), " 2 \n") << c.tag;
        EXPECT_NE(readFile(st.folder().logs() / "Ingrado.log").find(c.tag), std::string::npos) << c.tag;
        EXPECT_EQ(st.count("tblPatienten"), 0) << c.tag;
    }
}

TEST(IngestService, ValuesNothingReadsNeverKeepAFileOut)
{
    struct Case {
        Tag tag;
        const char* text;
        const char* column;
        std::int64_t stored;
        bool logged;
    } cases[] = {
        {{0x0018, 0x0050}, "1.0E10", "ImageST", 1, false},  // the decimal rule: the part before the point
        {{0x0018, 0x0050}, "2.5E1", "ImageST", 2, false},
        {{0x0018, 0x0050}, "1E10", "ImageST", 0, true},     // no point: too large, 0 stored
        {{0x0018, 0x0060}, "9e99", "ImageKVP", 0, true},
        {{0x0028, 0x1051}, "-3e9", "ImageWidth", 0, true},
    };
    for (const auto& c : cases) {
        Station st;
        DicomRecipe recipe = specWithUids();
        recipe.extra = {{c.tag, c.text}};
        const std::string name = recipe.sopInstanceUid + ".dcm";
        st.drop(name, recipe);
        st.ticks(2);
        EXPECT_TRUE(fs::exists(st.folder().images() / recipe.studyUid / name)) << c.text;
        EXPECT_EQ(queryInt(st.db(), std::string("SELECT ") + c.column + " FROM tblImages"), c.stored) << c.text;
        std::error_code ec;
        const auto log = fs::exists(st.folder().logs() / "Ingrado.log", ec) ? readFile(st.folder().logs() / "Ingrado.log")
                                                                            : std::string();
        if (c.logged) {
            EXPECT_NE(log.find(c.tag.text()), std::string::npos) << log;
            EXPECT_NE(log.find(name), std::string::npos) << log;
        } else {
            EXPECT_EQ(log, "") << c.text;
        }
    }
}

TEST(IngestService, UnsafeUidIsSetAsideAtOnce)
{
    struct Case {
        std::string studyUid, sopUid, seriesUid;
        bool withoutStudyUid = false;
    } cases[] = {{"1.2.abc", "", ""},
                 {"1.2..3", "", ""},
                 {"", "1.2.3'4", ""},
                 {"", std::string(65, '1'), ""},
                 {"", "", "1.2.3'4"},
                 {"", "", "1.2.\x01" "3"},
                 {"", "", "1.2/3"},
                 {"", "", "../1.2", true}};
    Station st;
    int n = 0;
    for (const auto& c : cases) {
        DicomRecipe recipe = specWithUids();
        if (!c.studyUid.empty())
            recipe.studyUid = c.studyUid;
        if (!c.sopUid.empty())
            recipe.sopInstanceUid = c.sopUid;
        if (!c.seriesUid.empty())
            recipe.seriesUid = c.seriesUid;
        if (c.withoutStudyUid)
            recipe.omit = {{0x0020, 0x000D}};
        const std::string name = "unsafe" + std::to_string(++n) + ".dcm";
        st.drop(name, recipe);
        st.ticks(2);
        EXPECT_TRUE(fs::exists(st.temp() / "BadObjects" / name)) << name;
        EXPECT_FALSE(fs::exists(st.temp() / name)) << name;
        EXPECT_FALSE(fs::exists(st.temp() / (name + ".try"))) << name;
    }
    EXPECT_EQ(st.count("tblImages"), 0);
    EXPECT_EQ(st.count("tblSeries"), 0);
    EXPECT_EQ(test::countFiles(st.folder().images(), true), 0);
    const auto log = readFile(st.folder().logs() / "Ingrado.log");
    EXPECT_NE(log.find("1.2.abc"), std::string::npos) << log;
}

TEST(IngestService, FileAlreadyInStoreIsDeletedAndReported)
{
    Station st;
    DicomRecipe recipe = specWithUids();
    const std::string name = recipe.sopInstanceUid + ".dcm";
    corva::test::writeDicom(st.folder().images() / recipe.studyUid / name, recipe);
    const auto before = readFile(st.folder().images() / recipe.studyUid / name);
    st.drop(name, recipe);
    ASSERT_TRUE(st.settle());
    EXPECT_EQ(st.count("tblImages"), 1);
    EXPECT_EQ(st.count("tblReceive"), 1);
    EXPECT_EQ(readFile(st.folder().images() / recipe.studyUid / name), before);
}

TEST(IngestService, FileWithoutStudyUidIsFiledUnderItsSeriesUid)
{
    Station st;
    DicomRecipe recipe = specWithUids();
    recipe.omit = {{0x0020, 0x000D}};
    const std::string name = recipe.sopInstanceUid + ".dcm";
    st.drop(name, recipe);
    ASSERT_TRUE(st.settle());
    EXPECT_EQ(queryText(st.db(), "SELECT StudyUID FROM tblStudies"), recipe.seriesUid);
    EXPECT_TRUE(fs::exists(st.folder().images() / recipe.seriesUid / name));
}

TEST(IngestService, FileWithoutStudyUidOfAKnownSeriesIsFiledInThatSeriesStudy)
{
    Station st;
    DicomRecipe first = specWithUids();
    st.drop(first.sopInstanceUid + ".dcm", first);
    ASSERT_TRUE(st.settle());

    // Same series, no study UID: its rows join the known study, and so does its file.
    DicomRecipe second = first;
    second.sopInstanceUid = uniqueUid();
    second.omit = {{0x0020, 0x000D}};
    const std::string name = second.sopInstanceUid + ".dcm";
    st.drop(name, second);
    ASSERT_TRUE(st.settle());
    EXPECT_EQ(st.count("tblStudies"), 1);
    EXPECT_EQ(queryText(st.db(), "SELECT StudyUID FROM View_Images WHERE ImageUID = ?", second.sopInstanceUid),
              first.studyUid);
    EXPECT_TRUE(fs::exists(st.folder().images() / first.studyUid / name));
    EXPECT_FALSE(fs::exists(st.folder().images() / first.seriesUid));
    EXPECT_EQ(queryInt(st.db(), "SELECT COUNT(*) FROM tblReceive WHERE StudyID = (SELECT StudyID FROM tblStudies)"), 2)
        << "the receive rows name the study the image joined";
}

TEST(IngestService, KnownUidWithOtherPatientOrStudyIsKeptAside)
{
    struct Case {
        const char* what;
        bool otherPatient;
        bool otherStudy;
    } cases[] = {{"other patient", true, false}, {"other study", false, true}};
    for (const auto& c : cases) {
        Station st;
        DicomRecipe first = specWithUids();
        first.patientId = "PAT-A";
        const std::string name = first.sopInstanceUid + ".dcm";
        st.drop(name, first);
        ASSERT_TRUE(st.settle());
        DicomRecipe other = first;
        if (c.otherPatient)
            other.patientId = "PAT-B";
        if (c.otherStudy)
            other.studyUid = uniqueUid();
        other.instanceNumber = 7;
        st.drop(name, other);
        ASSERT_TRUE(st.settle()) << c.what;
        EXPECT_TRUE(fs::exists(st.temp() / "BadObjects" / name)) << c.what;
        EXPECT_EQ(st.count("tblImages"), 1) << c.what;
        EXPECT_EQ(st.count("tblReceive"), 1) << c.what;
        EXPECT_EQ(corva::dicom::Image::read(st.folder().images() / first.studyUid / name).patientId(), "PAT-A");
        const auto log = readFile(st.folder().logs() / "Ingrado.log");
        EXPECT_NE(log.find("registered for patient ID 'PAT-A' in study " + first.studyUid), std::string::npos) << log;
        EXPECT_NE(log.find("this file has patient ID '" + other.patientId + "' and study " + other.studyUid),
                  std::string::npos)
            << log;
        EXPECT_NE(log.find(name + " moved to bad objects"), std::string::npos) << log;
    }
}

TEST(IngestService, ARegisteredFileThatWasNeverMovedIsFiledWhereItsRowsAre)
{
    // The second image joins the first one's study although it names another patient.
    // Ended between its commit and its move, its file is back in the input folder: it
    // completes its own registration instead of being taken for a different image.
    Station st;
    DicomRecipe first = specWithUids();
    first.patientId = "PAT-A";
    st.drop(first.sopInstanceUid + ".dcm", first);
    ASSERT_TRUE(st.settle());
    DicomRecipe second = first;
    second.sopInstanceUid = uniqueUid();
    second.patientId = "PAT-B";
    const std::string name = second.sopInstanceUid + ".dcm";
    st.drop(name, second);
    ASSERT_TRUE(st.settle());
    const fs::path stored = st.folder().images() / first.studyUid / name;
    ASSERT_TRUE(fs::exists(stored));
    fs::rename(stored, st.temp() / name);
    ASSERT_TRUE(st.settle());
    EXPECT_TRUE(fs::exists(stored));
    EXPECT_FALSE(fs::exists(st.temp() / "BadObjects" / name));
    EXPECT_EQ(st.count("tblImages"), 2);
}

TEST(IngestService, ReceiveRowIsCommittedWithTheImageRowsBeforeTheMove)
{
    Station st;
    DicomRecipe recipe = specWithUids();
    const std::string name = recipe.sopInstanceUid + ".dcm";
    // The study folder cannot be made (a file is in its way): the move fails after registration.
    writeFile(st.folder().images() / recipe.studyUid, "in the way");
    st.drop(name, recipe);
    st.ticks(2);
    EXPECT_EQ(st.count("tblImages"), 1);
    EXPECT_EQ(st.count("tblReceive"), 1) << "registered rows always come with their receive row";
    EXPECT_TRUE(fs::exists(st.temp() / name)) << "the file stays in the input folder";

    // Once the way is clear, the next pass finds the image known and moves it.
    fs::remove(st.folder().images() / recipe.studyUid);
    ASSERT_TRUE(st.settle());
    EXPECT_TRUE(fs::exists(st.folder().images() / recipe.studyUid / name));
    EXPECT_EQ(st.count("tblImages"), 1);
    EXPECT_GE(st.count("tblReceive"), 1);
}

TEST(IngestService, OrphanCleanUp)
{
    Station st;
    DicomRecipe recipe = specWithUids();
    st.drop(recipe.sopInstanceUid + ".dcm", recipe);
    ASSERT_TRUE(st.settle());
    {
        db::Database db(st.db());
        db.exec("DELETE FROM tblImages");
    }
    st.ticks(1);
    EXPECT_EQ(st.count("tblSeries"), 0);
    EXPECT_EQ(st.count("tblStudies"), 0);
    EXPECT_EQ(st.count("tblPatienten"), 0);
    const auto log = readFile(st.folder().logs() / "Ingrado.log");
    EXPECT_NE(log.find(" 1 entries deleted from tblseriesDeleteFailed\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" 1 entries deleted from tblstudiesDeleteFailed\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" 1 entries deleted from tblpatientenDeleteFailed\n"), std::string::npos) << log;
}

TEST(IngestService, MissingReceiveTableIsCreated)
{
    Station st;
    {
        db::Database db(st.db());
        db.exec("DROP TABLE tblReceive");
    }
    DicomRecipe recipe = specWithUids();
    st.drop(recipe.sopInstanceUid + ".dcm", recipe);
    ASSERT_TRUE(st.settle());
    EXPECT_EQ(st.count("tblReceive"), 1);
}

TEST(IngestService, DebugLogTracesEachFile)
{
    corva::test::ProgramFolder folder;
    writeFile(folder.path() / "debug.on", "");
    IngestService service(folder.path());
    service.start();
    DicomRecipe recipe = specWithUids();
    const std::string name = recipe.sopInstanceUid + ".dcm";
    corva::test::writeDicom(folder.temp() / name, recipe);
    service.tick();
    service.tick();
    const auto text = readFile(folder.logs() / "IngradoDebug.log");
    const std::vector<std::string> lines = {"File 1 of 1 in progress", "trying to read file: " + name, "success", "checking register status: " + name,
          "PatID: 0", "RegisterImage Start", "GetValStd = 1", "KnownImage: Known = False",
          "KnownSeries: Known = False", "KnownStudy: Known = False", "KnownPatient: Known = False",
          "New Patient (INSERT INTO tblPatienten)", "New Patient created in tblPatienten",
          "New Study created in tblStudies", "New Series created in tblSeries",
          "Registering new image (INSERT INTO tblImages)", "ImageRows/Cols: 64/64",
          "New Image entry created in tblImages", "RegisterImage Ende", "regstatus = 1",
          "trying to move image to viewer: " + name, "trying to set register entry into tblReceive:"};
    for (const auto& line : lines)
        EXPECT_NE(text.find(line + "\n"), std::string::npos) << line;
}

}  // namespace
}  // namespace corva::ingest
