// Every image a sender stores with Recvora is filed by Ingrado: rows in the image
// database, the file in Images/<study UID>/, a receive-table row.
#include <signal.h>

#include <gtest/gtest.h>

#include "db/database.h"
#include "dicom/dicom.h"
#include "dicom_fixture.h"
#include "recvora_harness.h"

namespace corva::test {
namespace {

namespace fs = std::filesystem;

struct Sent {
    DicomRecipe recipe;
    fs::path file;
};

std::int64_t count(corva::db::Database& db, const std::string& table)
{
    auto st = db.prepare("SELECT COUNT(*) FROM " + table);
    st.step();
    return st.getInt(0);
}

TEST(ReceiveIngestTest, StoredImagesAreFiledByTheIngestService)
{
    ReceiverSite site;
    site.install("Recvora");
    site.install("Ingrado");
    auto ingest = site.start("Ingrado");
    auto receiver = site.startReceiver();

    TempDir sourceDir("corva-e2e-src");
    const std::string studyA = uniqueUid(), studyB = uniqueUid(), studyC = uniqueUid();
    const std::string seriesA1 = uniqueUid(), seriesA2 = uniqueUid(), seriesB = uniqueUid(), seriesC = uniqueUid();
    std::vector<Sent> sent;
    auto add = [&](DicomRecipe recipe) {
        recipe.sopInstanceUid = uniqueUid();
        const fs::path file = sourceDir.path() / ("f" + std::to_string(sent.size()) + ".dcm");
        writeDicom(file, recipe);
        sent.push_back({recipe, file});
    };
    DicomRecipe anna;
    anna.patientName = "Muster^Anna^Maria";
    anna.patientId = "PA1";
    anna.birthDate = "19600101";
    anna.sex = "F";
    anna.studyUid = studyA;
    anna.seriesUid = seriesA1;
    anna.sopClassUid = corva::dicom::uid::DigitalMammographyForPresentation;
    anna.modality = "MG";
    anna.studyDate = "20240115";
    anna.accessionNumber = "ACC1";
    anna.studyDescription = "Mammo screening";
    for (int i = 1; i <= 3; ++i) {
        anna.instanceNumber = i;
        add(anna);
    }
    anna.seriesUid = seriesA2;
    add(anna);
    DicomRecipe berta;
    berta.patientName = "Beispiel^Berta";
    berta.patientId = "PB2";
    berta.birthDate = "19751231";
    berta.studyUid = studyB;
    berta.seriesUid = seriesB;
    berta.studyDate = "20240301";
    add(berta);
    add(berta);
    DicomRecipe carla;
    carla.patientName = "Probe^Carla";
    carla.patientId = "PC3";
    carla.studyUid = studyC;
    carla.seriesUid = seriesC;
    for (int i = 1; i <= 14; ++i) {
        carla.instanceNumber = i;
        add(carla);
    }

    const auto result = site.send({sourceDir.path()}, {"+sd"});
    ASSERT_EQ(result.code, 0) << result.output;

    const auto inStore = [&](const Sent& s) {
        return fs::exists(site.folder() / "Images" / s.recipe.studyUid / (s.recipe.sopInstanceUid + ".dcm"));
    };
    const bool filed = waitUntil([&] { return std::all_of(sent.begin(), sent.end(), inStore); }, 60s, 100ms);
    ASSERT_TRUE(filed) << "Temp holds:" << [&] {
        std::string names;
        for (const auto& n : site.tempFiles())
            names += " " + n;
        return names;
    }();
    for (const auto& name : site.tempFiles())
        EXPECT_EQ(name.find(".dcm"), std::string::npos) << name;

    corva::db::Database db(site.folder() / "Data" / "QAData.dat");
    EXPECT_EQ(count(db, "tblPatienten"), 3);
    EXPECT_EQ(count(db, "tblStudies"), 3);
    EXPECT_EQ(count(db, "tblSeries"), 4);
    EXPECT_EQ(count(db, "tblImages"), static_cast<std::int64_t>(sent.size()));
    EXPECT_EQ(count(db, "tblReceive"), static_cast<std::int64_t>(sent.size()));

    auto patient = db.prepare(
        "SELECT PATID, PATNachname, PATVorname, PAT2Vorname, PATGebDatum, PATGeschlecht FROM tblPatienten "
        "WHERE PATID1 = ?");
    patient.bind(1, "PA1");
    ASSERT_TRUE(patient.step());
    EXPECT_EQ(patient.getText("PATNachname"), "Muster");
    EXPECT_EQ(patient.getText("PATVorname"), "Anna");
    EXPECT_EQ(patient.getText("PAT2Vorname"), "Maria");
    EXPECT_EQ(patient.getText("PATGebDatum").substr(0, 10), "1960-01-01");
    EXPECT_EQ(patient.getText("PATGeschlecht"), "F");
    const auto annaKey = patient.getInt("PATID");

    auto study = db.prepare(
        "SELECT StudyID, FKeyPATID, StudyDate, StudyDescription, Modality, Accession FROM tblStudies "
        "JOIN tblModalities ON FKeyModID = ModID JOIN tblAccessions ON FKeyAccessionID = AccessionID "
        "WHERE StudyUID = ?");
    study.bind(1, studyA);
    ASSERT_TRUE(study.step());
    EXPECT_EQ(study.getInt("FKeyPATID"), annaKey);
    EXPECT_EQ(study.getText("StudyDate").substr(0, 10), "2024-01-15");
    EXPECT_EQ(study.getText("StudyDescription"), "Mammo screening");
    EXPECT_EQ(study.getText("Modality"), "MG");
    EXPECT_EQ(study.getText("Accession"), "ACC1");
    const auto studyKey = study.getInt("StudyID");

    auto series = db.prepare("SELECT COUNT(*) FROM tblSeries WHERE FKeyStudyID = ?");
    series.bind(1, studyKey);
    ASSERT_TRUE(series.step());
    EXPECT_EQ(series.getInt(0), 2);

    auto image = db.prepare(
        "SELECT ImageNr, ImageRows, ImageCols, SeriesUID, StudyUID FROM tblImages "
        "JOIN tblSeries ON FKeySeriesID = SeriesID JOIN tblStudies ON FKeyStudyID = StudyID WHERE ImageUID = ?");
    for (const auto& s : sent) {
        image.reset();
        image.bind(1, s.recipe.sopInstanceUid);
        ASSERT_TRUE(image.step()) << s.recipe.sopInstanceUid;
        EXPECT_EQ(image.getText("StudyUID"), s.recipe.studyUid);
        EXPECT_EQ(image.getText("SeriesUID"), s.recipe.seriesUid);
        EXPECT_EQ(image.getInt("ImageRows"), s.recipe.rows);
        EXPECT_EQ(image.getInt("ImageCols"), s.recipe.columns);
        EXPECT_EQ(image.getInt("ImageNr"), s.recipe.instanceNumber);
    }

    receiver->signal(SIGTERM);
    ingest->signal(SIGTERM);
    EXPECT_EQ(receiver->wait(30s), 0);
    EXPECT_TRUE(ingest->wait(30s).has_value());
}

// What Recvora renames into Temp is complete: Ingrado takes it as it arrives, not after
// the stability wait of files written in place (its debug log tells which way).
TEST(ReceiveIngestTest, ReceivedImageIsTakenAsItArrives)
{
    ReceiverSite site;
    site.install("Recvora");
    site.install("Ingrado");
    writeFile(site.folder() / "debug.on", "");
    auto ingest = site.start("Ingrado");
    auto receiver = site.startReceiver();
    // A file written in place is filed by a tick: by then the input folder is watched.
    DicomRecipe inPlace;
    inPlace.sopInstanceUid = uniqueUid();
    inPlace.studyUid = uniqueUid();
    const fs::path whole = writeDicom(site.scratch() / "in-place.dcm", inPlace);
    writeFile(site.temp() / (inPlace.sopInstanceUid + ".dcm"), readFile(whole));
    const auto inStore = [&](const DicomRecipe& r) {
        return fs::exists(site.folder() / "Images" / r.studyUid / (r.sopInstanceUid + ".dcm"));
    };
    ASSERT_TRUE(waitUntil([&] { return inStore(inPlace); }, 60s, 10ms));

    DicomRecipe sent;
    sent.sopInstanceUid = uniqueUid();
    sent.studyUid = uniqueUid();
    const fs::path file = writeDicom(site.scratch() / "one.dcm", sent);
    const auto result = site.send({file});
    ASSERT_EQ(result.code, 0) << result.output;
    ASSERT_TRUE(waitUntil([&] { return inStore(sent); }, 60s, 10ms));

    const std::string debugLog = readFile(site.folder() / "Logs" / "IngradoDebug.log");
    EXPECT_NE(debugLog.find("taken as it arrived: " + sent.sopInstanceUid + ".dcm\n"), std::string::npos)
        << debugLog;
    EXPECT_EQ(debugLog.find("taken as it arrived: " + inPlace.sopInstanceUid), std::string::npos);

    receiver->signal(SIGTERM);
    ingest->signal(SIGTERM);
    EXPECT_EQ(receiver->wait(30s), 0);
    EXPECT_TRUE(ingest->wait(30s).has_value());
}

TEST(ReceiveIngestTest, PrivateStorageClassIsReceivedAndFiledAndTooDeepANestingNeverArrives)
{
    ReceiverSite site;
    site.install("Recvora");
    site.install("Ingrado");
    auto ingest = site.start("Ingrado");
    auto receiver = site.startReceiver();

    // storescu proposes a class it does not know only from a profile.
    const fs::path config = site.scratch() / "contexts.cfg";
    writeFile(config,
              "[[TransferSyntaxes]]\n[Uncompressed]\nTransferSyntax1 = LittleEndianExplicit\n"
              "[[PresentationContexts]]\n[Vendor]\nPresentationContext1 = 1.3.6.1.4.1.99999.1.1\\Uncompressed\n"
              "PresentationContext2 = 1.2.840.10008.5.1.4.1.1.1\\Uncompressed\n"
              "[[Profiles]]\n[Vendor]\nPresentationContexts = Vendor\n");
    TempDir sourceDir("corva-e2e-src");
    DicomRecipe vendor;
    vendor.sopClassUid = "1.3.6.1.4.1.99999.1.1";
    vendor.studyUid = uniqueUid();
    vendor.sopInstanceUid = uniqueUid();
    const fs::path vendorFile = writeDicom(sourceDir.path() / "vendor.dcm", vendor);
    DicomRecipe deep;
    deep.studyUid = uniqueUid();
    deep.sopInstanceUid = uniqueUid();
    const fs::path deepFile = writeNestedDicom(sourceDir.path() / "deep.dcm", 100, deep);

    const auto result = site.send({vendorFile, deepFile}, {"-xf", config.string(), "Vendor", "--no-halt"});
    EXPECT_TRUE(waitUntil(
        [&] { return fs::exists(site.folder() / "Images" / vendor.studyUid / (vendor.sopInstanceUid + ".dcm")); },
        60s, 100ms))
        << result.output << site.logText();
    EXPECT_FALSE(fs::exists(site.temp() / (deep.sopInstanceUid + ".dcm")));
    EXPECT_FALSE(fs::exists(site.folder() / "Images" / deep.studyUid));
    EXPECT_NE(site.logText().find("sequences nested deeper than 64 levels"), std::string::npos) << site.logText();

    receiver->signal(SIGTERM);
    ingest->signal(SIGTERM);
    EXPECT_EQ(receiver->wait(30s), 0);
    EXPECT_TRUE(ingest->wait(30s).has_value());
}

}  // namespace
}  // namespace corva::test
