// The header job against a real program folder with the real Ingrado running: images
// are rewritten, their originals removed, and the ingest service files the new copies
// again. None may be lost or doubled, also when the job stops half-way or a copy fails.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <tuple>
#include <sstream>

#include "common/job_lock.h"
#include "core/error.h"
#include "core/paths.h"
#include <thread>
#include "db/database.h"
#include "dicom_fixture.h"
#include "temp_dir.h"
#include "header/header_job.h"
#include "header_job_seams.h"
#include "header/rewrite_handover.h"
#include "header/rule_store.h"
#include "header/task_check.h"
#include "db/schema.h"
#include "station/recording_report.h"
#include "station/scripted_operator.h"
#include "recvora_harness.h"

namespace corva::station::header {
namespace {

namespace fs = std::filesystem;
using test::HeaderJobSeams;
using corva::dicom::Tag;
using corva::test::DicomRecipe;
using corva::test::ReceiverSite;
using corva::test::uniqueUid;
using corva::station::test::RecordingReport;
using namespace std::chrono_literals;

const Tag Name{0x0010, 0x0010};
const Tag StudyDescription{0x0008, 0x1030};
const Tag Kvp{0x0018, 0x0060};
const Tag Exposure{0x0018, 0x1152};
const Tag PixelSpacing{0x0028, 0x0030};
const Tag ImagerPixelSpacing{0x0018, 0x1164};
const Tag InstanceNumber{0x0020, 0x0013};
const Tag Rows{0x0028, 0x0010};

// One image as the store holds it after ingest.
struct Stored {
    std::string imageUid, studyUid, seriesUid, name, studyDescription, kvp, exposure;
    std::int64_t seriesId = 0;
};

class HeaderJobTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        site_ = std::make_unique<ReceiverSite>();
        site_->install("Ingrado");
        corva::setProgramFolderForTesting(site_->folder());
        paths_ = ProgramPaths::compute(site_->folder());
        ingest_ = site_->start("Ingrado");
        seed();
    }
    void TearDown() override
    {
        ingest_.reset();
        corva::setProgramFolderForTesting({});
    }

    // Patient P1 with study A (series A1 and A2, two images each) and study B (one series,
    // two images); patient P2 with one image that no task may touch.
    void seed()
    {
        studyA_ = uniqueUid();
        studyB_ = uniqueUid();
        seriesA1_ = uniqueUid();
        const std::string seriesA2 = uniqueUid(), seriesB = uniqueUid();
        int n = 0;
        auto add = [&](const std::string& study, const std::string& series, int nr, const std::string& id,
                       const std::string& name) {
            DicomRecipe r;
            r.patientId = id;
            r.patientName = name;
            r.studyUid = study;
            r.seriesUid = series;
            r.sopInstanceUid = uniqueUid();
            r.instanceNumber = nr;
            r.studyDescription = "Mammo";
            r.extra = {{Kvp, "28"}, {Exposure, std::to_string(80 + nr)},
                       {PixelSpacing, nr == 1 ? "0.1\\0.1" : "0.085\\0.085"}};
            corva::test::writeDicom(site_->scratch() / ("s" + std::to_string(n++) + ".dcm"), r);
            fs::copy_file(site_->scratch() / ("s" + std::to_string(n - 1) + ".dcm"),
                          site_->temp() / (r.sopInstanceUid + ".dcm"));
        };
        add(studyA_, seriesA1_, 1, "P1", "Muster^Anna");
        add(studyA_, seriesA1_, 2, "P1", "Muster^Anna");
        add(studyA_, seriesA2, 1, "P1", "Muster^Anna");
        add(studyA_, seriesA2, 2, "P1", "Muster^Anna");
        add(studyB_, seriesB, 1, "P1", "Muster^Anna");
        add(studyB_, seriesB, 2, "P1", "Muster^Anna");
        add(uniqueUid(), uniqueUid(), 1, "P2", "Other^Otto");
        ASSERT_TRUE(settled(7)) << "seed not ingested";
    }

    std::vector<Stored> stored() const
    {
        std::vector<Stored> out;
        db::Database db(paths_.imageDb);
        auto st = db.prepare(
            "SELECT tblImages.ImageUID, tblStudies.StudyUID, tblSeries.SeriesUID, tblSeries.SeriesID FROM tblImages "
            "INNER JOIN tblSeries ON tblImages.FKeySeriesID = tblSeries.SeriesID "
            "INNER JOIN tblStudies ON tblSeries.FKeyStudyID = tblStudies.StudyID "
            "ORDER BY tblStudies.StudyUID, tblSeries.SeriesUID, tblImages.ImageNr");
        while (st.step()) {
            Stored s;
            s.imageUid = st.getText(0);
            s.studyUid = st.getText(1);
            s.seriesUid = st.getText(2);
            s.seriesId = st.getInt(3);
            const fs::path file = imageFile(paths_, s.studyUid, s.imageUid);
            if (fs::exists(file)) {
                auto image = dicom::Image::read(file, dicom::ReadMode::HeaderOnly);
                auto ds = image.attributes();
                s.name = ds.get(Name).text;
                s.studyDescription = ds.get(StudyDescription).text;
                s.kvp = ds.get(Kvp).text;
                s.exposure = ds.get(Exposure).text;
            }
            out.push_back(s);
        }
        return out;
    }

    std::int64_t scalar(const std::string& sql, const std::string& param) const
    {
        db::Database db(paths_.imageDb);
        auto st = db.prepare(sql);
        st.bind(1, param);
        return st.step() ? st.getInt(0) : 0;
    }

    // True once Ingrado has filed everything in the input folder and holds `images` rows.
    bool settled(std::size_t images) const
    {
        return corva::test::waitUntil(
            [&] {
                if (!fs::exists(paths_.imageDb))
                    return false;
                for (const auto& e : fs::directory_iterator(paths_.inputFolder))
                    if (e.is_regular_file())
                        return false;
                try {
                    db::Database db(paths_.imageDb);
                    auto st = db.prepare("SELECT COUNT(*) FROM tblImages");
                    return st.step() && static_cast<std::size_t>(st.getInt(0)) == images;
                } catch (...) {
                    return false;
                }
            },
            60s, 100ms);
    }

    // The job's input with series A1 loaded ("Serie") or study A loaded ("Studie").
    HeaderJobInput input(const std::string& level, std::vector<HeaderTask> tasks) const
    {
        HeaderJobInput in;
        in.tasks = std::move(tasks);
        in.loadedLevel = level;
        in.patientKey = scalar("SELECT PATID FROM tblPatienten WHERE PATID1 = ?", "P1");
        in.studyId = scalar("SELECT StudyID FROM tblStudies WHERE StudyUID = ?", studyA_);
        for (const auto& s : stored())
            if (s.studyUid == studyA_ && (level == "Studie" || s.seriesUid == seriesA1_))
                in.loaded.push_back({s.imageUid, s.studyUid, 0, 0});
        return in;
    }

    // True once Ingrado has filed every file waiting under a registrable name (staged
    // copies stay) and holds `images` rows.
    bool filedExceptStaged(std::size_t images) const
    {
        return corva::test::waitUntil(
            [&] {
                for (const auto& e : fs::directory_iterator(paths_.inputFolder))
                    if (e.path().extension() == ".dcm")
                        return false;
                return scalar("SELECT COUNT(*) FROM tblImages WHERE ImageUID <> ?", "") ==
                       static_cast<std::int64_t>(images);
            },
            60s, 100ms);
    }

    // Every image row has its file in the store and every file of the store its row;
    // empty when so, else what is amiss.
    std::string rowsAndFilesOneToOne() const
    {
        std::set<fs::path> files;
        std::error_code ec;
        for (const auto& e : fs::recursive_directory_iterator(paths_.imageStore, ec))
            if (e.is_regular_file())
                files.insert(e.path());
        std::string amiss;
        std::size_t rows = 0;
        for (const auto& s : stored()) {
            ++rows;
            if (!files.erase(imageFile(paths_, s.studyUid, s.imageUid)))
                amiss += "row without file: " + s.imageUid + "\n";
        }
        for (const auto& f : files)
            amiss += "file without row: " + f.string() + "\n";
        return amiss;
    }

    // The images of study A in the store, by SOP instance UID, with their attributes.
    std::map<std::string, dicom::DataSet> studyAImages() const
    {
        std::map<std::string, dicom::DataSet> out;
        for (const auto& s : stored())
            if (s.studyUid == studyA_)
                out.emplace(s.imageUid, dicom::Image::read(imageFile(paths_, s.studyUid, s.imageUid),
                                                           dicom::ReadMode::HeaderOnly)
                                            .attributes());
        return out;
    }

    std::string errorLog() const
    {
        std::ifstream in(paths_.programFolder / "Logs" / "Error.log");
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    std::unique_ptr<ReceiverSite> site_;
    std::unique_ptr<corva::test::ChildProcess> ingest_;
    ProgramPaths paths_;
    std::string studyA_, studyB_, seriesA1_;
};

HeaderTask task(const std::string& level, const std::string& source, const std::string& old, int action,
                const std::string& target)
{
    return {level, source, old, ActionNames[action], target, std::to_string(action)};
}

std::set<std::string> uids(const std::vector<Stored>& images)
{
    std::set<std::string> out;
    for (const auto& s : images)
        out.insert(s.imageUid);
    return out;
}

TEST_F(HeaderJobTest, ANameCorrectedOnOneLoadedSeriesReachesEveryImageOfThePatient)
{
    const auto before = stored();
    HeaderJob job(paths_, input("Serie", {task("Image #1", "0010,0010 - Patient's Name", "Muster^Anna", 0,
                                               "Muster^Annabel")}));
    RecordingReport report;
    const auto outcome = job.run(report);
    EXPECT_TRUE(outcome.complete) << report.log();
    EXPECT_EQ(report.caption(), "Updating Study");
    ASSERT_TRUE(settled(7));
    const auto after = stored();
    EXPECT_EQ(uids(after), uids(before));
    int renamed = 0;
    for (const auto& s : after) {
        if (s.name == "Other^Otto")
            continue;
        EXPECT_EQ(s.name, "Muster^Annabel") << s.imageUid;
        ++renamed;
    }
    EXPECT_EQ(renamed, 6);
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM tblPatienten WHERE PATID1 = ?", "P1"), 1);
    EXPECT_NE(report.log().find("Saving images ... OK\r\n"), std::string::npos) << report.log();
    EXPECT_NE(report.log().find("Moving images to input folder ... OK\r\n"), std::string::npos) << report.log();
    EXPECT_EQ(report.log().substr(report.log().size() - 11), "Tasks done.");
}

struct LevelCase {
    const char* what;
    std::string loadedLevel;
    HeaderTask task;
    // Per stored image: the value expected, by where the image lies.
    std::function<bool(const Stored&, bool inA1, bool inA)> expect;
};

class HeaderJobLevels : public HeaderJobTest, public ::testing::WithParamInterface<LevelCase> {};

TEST_P(HeaderJobLevels, RewrittenImagesComeBackWithTheirNewValues)
{
    const auto& c = GetParam();
    const auto before = stored();
    HeaderJob job(paths_, input(c.loadedLevel, {c.task}));
    RecordingReport report;
    EXPECT_TRUE(job.run(report).complete) << report.log();
    ASSERT_TRUE(settled(7));
    const auto after = stored();
    EXPECT_EQ(uids(after), uids(before));
    for (const auto& s : after) {
        if (s.name == "Other^Otto") {
            EXPECT_EQ(s.kvp, "28");
            EXPECT_EQ(s.studyDescription, "Mammo");
            continue;
        }
        EXPECT_TRUE(c.expect(s, s.seriesUid == seriesA1_, s.studyUid == studyA_))
            << c.what << ": " << s.imageUid << " kvp=" << s.kvp << " exp=" << s.exposure
            << " desc=" << s.studyDescription;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Levels, HeaderJobLevels,
    ::testing::Values(
        LevelCase{"study change with a series loaded reaches the study's other series", "Serie",
                  task("Study", "0008,1030 - Study Description", "Mammo", 0, "Tomo"),
                  [](const Stored& s, bool, bool inA) { return s.studyDescription == (inA ? "Tomo" : "Mammo"); }},
        LevelCase{"series move with a rule's empty old value keeps the image's own value", "Serie",
                  task("Series", "0018,0060 - KVP", "", 1, "0018,1152 - Exposure"),
                  [](const Stored& s, bool inA1, bool) {
                      return inA1 ? s.kvp.empty() && s.exposure == "28" : s.kvp == "28" && s.exposure != "28";
                  }},
        LevelCase{"image switch touches image 2 only", "Studie",
                  task("Image #2", "0018,0060 - KVP", "28", 2, "0018,1152 - Exposure"),
                  [](const Stored& s, bool inA1, bool) {
                      const bool second = inA1 && s.exposure == "28";
                      return second ? s.kvp == "82" : s.kvp == "28";
                  }}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

// With "Overwrite Window Width / Center values" the loaded images are saved with the
// custom window or the one the viewer holds (none known: their own stays); images the
// job reads from the store keep theirs.
TEST_F(HeaderJobTest, TheLoadedImagesAreSavedWithTheWindowTheSettingsAsk)
{
    const Tag width{0x0028, 0x1051}, center{0x0028, 0x1050};
    struct WindowCase {
        WindowPolicy policy;
        std::vector<std::pair<int, int>> viewer;      // per loaded image: width, center
        std::vector<std::string> loadedWidths;        // after the job, in loaded order
        std::vector<std::string> loadedCenters;
    };
    const std::vector<WindowCase> cases = {
        {{WindowPolicy::Mode::Custom, "400", "200"}, {{0, 0}, {0, 0}}, {"400", "400"}, {"200", "200"}},
        // The second image has no window in the viewer: it keeps the one the first case wrote.
        {{WindowPolicy::Mode::Computed, "", ""}, {{4096, 2048}, {0, 0}}, {"4096", "400"}, {"2048", "200"}},
    };
    for (std::size_t k = 0; k < cases.size(); ++k) {
        const auto& c = cases[k];
        SCOPED_TRACE(k);
        const std::string name = "Muster^Window" + std::to_string(k);
        HeaderJobInput in = input("Serie", {task("Patient", "0010,0010 - Patient's Name", "", 0, name)});
        ASSERT_EQ(in.loaded.size(), c.viewer.size());
        for (std::size_t i = 0; i < in.loaded.size(); ++i)
            std::tie(in.loaded[i].windowWidth, in.loaded[i].windowCenter) = c.viewer[i];
        in.window = c.policy;
        const auto loaded = in.loaded;
        HeaderJob job(paths_, in);
        RecordingReport report;
        EXPECT_TRUE(job.run(report).complete) << report.log();
        ASSERT_TRUE(settled(7));
        std::set<std::string> loadedUids;
        for (std::size_t i = 0; i < loaded.size(); ++i) {
            loadedUids.insert(loaded[i].imageUid);
            auto ds = dicom::Image::read(imageFile(paths_, loaded[i].studyUid, loaded[i].imageUid),
                                         dicom::ReadMode::HeaderOnly)
                          .attributes();
            EXPECT_EQ(ds.get(Name).text, name);
            EXPECT_EQ(ds.get(width).text, c.loadedWidths[i]) << i;
            EXPECT_EQ(ds.get(center).text, c.loadedCenters[i]) << i;
        }
        for (const auto& s : stored()) {
            if (loadedUids.count(s.imageUid) || s.name == "Other^Otto")
                continue;
            EXPECT_EQ(s.name, name);
            auto ds = dicom::Image::read(imageFile(paths_, s.studyUid, s.imageUid), dicom::ReadMode::HeaderOnly)
                          .attributes();
            EXPECT_FALSE(ds.get(width).exists) << s.imageUid;
        }
    }
}

TEST_F(HeaderJobTest, NewSopUidsAtSeriesLevelAreGeneratedPerImage)
{
    const auto before = stored();
    HeaderJob job(paths_, input("Serie", {task("Series", "0008,0018 - SOP Instance UID", "x", 0, NewUidText)}));
    RecordingReport report;
    EXPECT_TRUE(job.run(report).complete) << report.log();
    ASSERT_TRUE(settled(7));
    const auto after = stored();
    auto oldUids = uids(before), newUids = uids(after);
    std::vector<std::string> gone, added;
    std::set_difference(oldUids.begin(), oldUids.end(), newUids.begin(), newUids.end(), std::back_inserter(gone));
    std::set_difference(newUids.begin(), newUids.end(), oldUids.begin(), oldUids.end(), std::back_inserter(added));
    EXPECT_EQ(gone.size(), 2u);
    EXPECT_EQ(added.size(), 2u);
    for (const auto& uid : added)
        EXPECT_TRUE(isValidUid(uid)) << uid;
}

TEST_F(HeaderJobTest, ACopyThatFailsToWriteLeavesItsOriginal)
{
    const auto before = stored();
    HeaderJob job(paths_, input("Studie", {task("Patient", "0010,0010 - Patient's Name", "Muster^Anna", 0,
                                                "Muster^Annabel")}));
    int written = 0;
    std::string failedUid;
    HeaderJobSeams seams;
    seams.write = [&](const dicom::Image& image, const fs::path& file) {
        if (++written == 3) {
            failedUid = image.sopInstanceUid();
            throw Error(errc::Generic, "disk full");
        }
        image.write(file);
    };
    RecordingReport report;
    const auto outcome = job.run(report);
    EXPECT_FALSE(outcome.complete);
    EXPECT_EQ(outcome.failures, 1);
    EXPECT_NE(report.log().find("Saving images ... failed\r\n"), std::string::npos) << report.log();
    ASSERT_TRUE(settled(7));
    const auto after = stored();
    EXPECT_EQ(uids(after), uids(before));
    for (const auto& s : after) {
        if (s.imageUid == failedUid) {
            EXPECT_EQ(s.name, "Muster^Anna");
        } else if (s.name != "Other^Otto") {
            EXPECT_EQ(s.name, "Muster^Annabel");
        }
    }
    ASSERT_FALSE(failedUid.empty());
    EXPECT_NE(errorLog().find(failedUid + ".dcm: disk full"), std::string::npos) << errorLog();
}

TEST_F(HeaderJobTest, AValueTheCharacterSetCannotHoldFailsAndKeepsEveryOriginal)
{
    const auto before = stored();
    // The seed images use the default repertoire; Latin-1 would be declared, Cyrillic
    // in an image already declaring Latin-1 cannot: make one task write both.
    HeaderJob job(paths_, input("Serie", {task("Series", "0008,0005 - Specific Character Set", "", 0, "ISO_IR 100"),
                                          task("Series", "0008,1030 - Study Description", "", 0, "Маммо")}));
    RecordingReport report;
    EXPECT_FALSE(job.run(report).complete);
    ASSERT_TRUE(settled(7));
    const auto after = stored();
    EXPECT_EQ(uids(after), uids(before));
    for (const auto& s : after)
        EXPECT_EQ(s.studyDescription, "Mammo");
    EXPECT_NE(errorLog().find("Study Description"), std::string::npos) << errorLog();
}

TEST_F(HeaderJobTest, ARuleReplayedOnAStudyWithSeveralSeriesReachesAllOfThem)
{
    db::Database userDb(site_->scratch() / "QAUser.dat", true);
    db::createUserSchema(userDb);
    RuleStore rules(userDb);
    ScriptedOperator script;
    OperatorSeamGuard guard(script);
    script.answerInput(QString("Study's fix"));
    script.answer(MsgResult::OK);
    ASSERT_TRUE(saveRuleAsked(rules, {task("Study", "0008,1030 - Study Description", "Mammo", 0, "x"),
                                      task("Series", "0018,0060 - KVP", "28", 1, "0018,1152 - Exposure")}));
    script.answerInput(QString("Tomo 'left'"));
    script.answerInput(QString("0018,1152 - Exposure"));
    const auto replayed = replayRuleAsked(rules, "Study's fix");
    ASSERT_EQ(replayed.size(), 2u);
    const auto before = stored();
    HeaderJob job(paths_, input("Studie", replayed));
    RecordingReport report;
    EXPECT_TRUE(job.run(report).complete) << report.log();
    ASSERT_TRUE(settled(7));
    const auto after = stored();
    EXPECT_EQ(uids(after), uids(before));
    std::set<std::int64_t> seriesOfA;
    for (const auto& s : after) {
        if (s.studyUid != studyA_) {
            EXPECT_NE(s.studyDescription, "Tomo 'left'");
            continue;
        }
        seriesOfA.insert(s.seriesId);
        EXPECT_EQ(s.studyDescription, "Tomo 'left'");
        // The rule has no old value: each image's own KVP moves.
        EXPECT_EQ(s.kvp, "");
        EXPECT_EQ(s.exposure, "28");
    }
    EXPECT_EQ(seriesOfA.size(), 2u);
}

class HeaderJobStops : public HeaderJobTest, public ::testing::WithParamInterface<HeaderJobStep> {};

TEST_P(HeaderJobStops, AJobStoppedAtAnyStepIsFinishedAtTheNextStart)
{
    const auto before = stored();
    HeaderJob job(paths_, input("Studie", {task("Patient", "0010,0010 - Patient's Name", "Muster^Anna", 0,
                                                "Muster^Annabel")}));
    int seen = 0;
    HeaderJobSeams seams;
    seams.step = [&](HeaderJobStep s, const std::string&) {
        if (s == GetParam() && ++seen == 2)
            throw HeaderJobStopped{};
    };
    RecordingReport report;
    EXPECT_THROW(job.run(report), HeaderJobStopped);
    // Ingrado keeps running meanwhile and files what was handed over; every image is
    // then either registered or waits as a staged copy naming its original.
    ASSERT_TRUE(corva::test::waitUntil(
        [&] {
            for (const auto& e : fs::directory_iterator(paths_.inputFolder))
                if (e.path().extension() == ".dcm")
                    return false;
            return true;
        },
        60s));
    std::this_thread::sleep_for(1200ms);  // two more ticks: a staged copy must stay untouched
    std::set<std::string> accounted = uids(stored());
    for (const auto& r : pendingRewrites(paths_)) {
        EXPECT_EQ(r.newImageUid, r.original.imageUid);
        accounted.insert(r.original.imageUid);
    }
    EXPECT_EQ(accounted, uids(before));
    // The next start.
    handOverPendingRewrites(paths_);
    ASSERT_TRUE(settled(7));
    const auto after = stored();
    EXPECT_EQ(uids(after), uids(before));
    int renamed = 0;
    for (const auto& s : after) {
        if (s.name == "Muster^Annabel")
            ++renamed;
        else
            EXPECT_TRUE(s.name == "Muster^Anna" || s.name == "Other^Otto") << s.name;
    }
    // Images whose copy had been staged before the stop carry the new name.
    EXPECT_GE(renamed, GetParam() == HeaderJobStep::CopyWritten ? 1 : 2);
    for (const auto& e : fs::recursive_directory_iterator(paths_.workFolder))
        EXPECT_NE(e.path().extension(), ".part") << e.path();
    EXPECT_TRUE(pendingRewrites(paths_).empty());
    // Running the job again completes the rest.
    HeaderJob again(paths_, input("Studie", {task("Patient", "0010,0010 - Patient's Name", "", 0, "Muster^Annabel")}));
    RecordingReport second;
    EXPECT_TRUE(again.run(second).complete) << second.log();
    ASSERT_TRUE(settled(7));
    for (const auto& s : stored())
        EXPECT_TRUE(s.name == "Muster^Annabel" || s.name == "Other^Otto") << s.name;
}

INSTANTIATE_TEST_SUITE_P(Steps, HeaderJobStops,
                         ::testing::Values(HeaderJobStep::CopyWritten, HeaderJobStep::CopyStaged,
                                           HeaderJobStep::OriginalRemoved, HeaderJobStep::HandedOver),
                         [](const auto& info) { return "Step" + std::to_string(info.index); });

// The work folder holds the converted images forwarding left for sending, under their
// SOP instance UIDs: they are not the job's to hand over. One is a conversion of an image
// the job rewrites, one of a patient sent and deleted since.
TEST_F(HeaderJobTest, OnlyTheJobsOwnCopiesAreHandedOverNeverAConvertedFileOfTheWorkFolder)
{
    const auto before = stored();
    std::string rewritten;
    for (const auto& s : before)
        if (s.studyUid == studyA_)
            rewritten = s.imageUid;
    ASSERT_FALSE(rewritten.empty());
    DicomRecipe converted;
    converted.patientId = "P9";
    converted.patientName = "Converted^Copy";
    converted.studyUid = studyA_;
    converted.sopInstanceUid = rewritten;
    DicomRecipe gone;
    gone.patientId = "P8";
    gone.patientName = "Sent^Deleted";
    gone.sopInstanceUid = uniqueUid();
    const fs::path convertedFile = corva::test::writeDicom(paths_.workFolder / (rewritten + ".dcm"), converted);
    const fs::path goneFile = corva::test::writeDicom(paths_.workFolder / (gone.sopInstanceUid + ".dcm"), gone);
    const std::string convertedBytes = corva::test::readFile(convertedFile), goneBytes = corva::test::readFile(goneFile);

    HeaderJob job(paths_, input("Studie", {task("Patient", "0010,0010 - Patient's Name", "Muster^Anna", 0,
                                                "Muster^Annabel")}));
    RecordingReport report;
    EXPECT_TRUE(job.run(report).complete) << report.log();
    ASSERT_TRUE(settled(7));
    const auto after = stored();
    EXPECT_EQ(uids(after), uids(before));
    for (const auto& s : after)
        EXPECT_TRUE(s.name == "Muster^Annabel" || s.name == "Other^Otto") << s.imageUid << ": " << s.name;
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM tblImages WHERE ImageUID = ?", gone.sopInstanceUid), 0);
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM tblPatienten WHERE PATID1 IN (?, 'P8')", "P9"), 0);
    EXPECT_EQ(rowsAndFilesOneToOne(), "");
    // The converted images wait for their send as they were.
    ASSERT_TRUE(fs::exists(convertedFile));
    ASSERT_TRUE(fs::exists(goneFile));
    EXPECT_EQ(corva::test::readFile(convertedFile), convertedBytes);
    EXPECT_EQ(corva::test::readFile(goneFile), goneBytes);
}

// A file waiting in the input folder under the name a rewritten copy would take (the
// ingest service stopped) is never replaced: the copy stays staged and its original in
// the store until the name is free; then the next start hands it over.
TEST_F(HeaderJobTest, AFileWaitingInTheInputFolderIsNeverReplaced)
{
    const auto before = stored();
    ingest_.reset();
    HeaderJobInput in = input("Serie", {task("Study", "0008,1030 - Study Description", "Mammo", 0, "Tomo")});
    ASSERT_FALSE(in.loaded.empty());
    const std::string waitingUid = in.loaded.front().imageUid;
    DicomRecipe again;
    again.patientId = "P1";
    again.patientName = "Muster^Anna";
    again.studyUid = studyA_;
    again.seriesUid = seriesA1_;
    again.sopInstanceUid = waitingUid;
    again.studyDescription = "Waiting";
    const fs::path waiting = paths_.inputFolder / (waitingUid + ".dcm");
    fs::rename(corva::test::writeDicom(site_->scratch() / "waiting.dcm", again), waiting);
    const std::string waitingBytes = corva::test::readFile(waiting);

    HeaderJob job(paths_, in);
    RecordingReport report;
    EXPECT_FALSE(job.run(report).complete);
    EXPECT_NE(report.log().find("Removing original images ... failed\r\n"), std::string::npos) << report.log();
    EXPECT_EQ(corva::test::readFile(waiting), waitingBytes);
    const auto pending = pendingRewrites(paths_);
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending.front().newImageUid, waitingUid);
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM tblImages WHERE ImageUID = ?", waitingUid), 1);
    EXPECT_TRUE(fs::exists(imageFile(paths_, studyA_, waitingUid)));
    EXPECT_NE(errorLog().find(waitingUid + ".dcm waits in the input folder"), std::string::npos) << errorLog();
    // A start while the file still waits changes nothing.
    EXPECT_EQ(handOverPendingRewrites(paths_), 0u);
    EXPECT_EQ(corva::test::readFile(waiting), waitingBytes);
    EXPECT_EQ(pendingRewrites(paths_).size(), 1u);

    // The ingest service takes the waiting file; the next start hands the copy over.
    ingest_ = site_->start("Ingrado");
    ASSERT_TRUE(filedExceptStaged(7));
    EXPECT_EQ(handOverPendingRewrites(paths_), 1u);
    ASSERT_TRUE(settled(7));
    EXPECT_EQ(uids(stored()), uids(before));
    for (const auto& s : stored())
        EXPECT_EQ(s.studyDescription, s.studyUid == studyA_ ? "Tomo" : "Mammo") << s.imageUid;
    EXPECT_EQ(rowsAndFilesOneToOne(), "");
}

// The hand-over at start runs under the job lock: while another job (corvactl) holds it,
// it leaves the staged copies alone; once the lock is free it finishes them.
TEST_F(HeaderJobTest, TheStartUpHandOverWaitsForTheJobLock)
{
    const auto before = stored();
    HeaderJob job(paths_, input("Studie", {task("Patient", "0010,0010 - Patient's Name", "Muster^Anna", 0,
                                                "Muster^Annabel")}));
    int removed = 0;
    HeaderJobSeams seams;
    seams.step = [&](HeaderJobStep s, const std::string&) {
        if (s == HeaderJobStep::OriginalRemoved && ++removed == 2)
            throw HeaderJobStopped{};
    };
    RecordingReport report;
    EXPECT_THROW(job.run(report), HeaderJobStopped);
    const std::size_t staged = pendingRewrites(paths_).size();
    ASSERT_EQ(staged, 6u);
    {
        const JobLock held = JobLock::tryAcquire(paths_.dataFolder);
        ASSERT_TRUE(held.held());
        EXPECT_EQ(handOverPendingRewrites(paths_), 0u);
        EXPECT_EQ(pendingRewrites(paths_).size(), staged);
        EXPECT_EQ(scalar("SELECT COUNT(*) FROM tblImages WHERE ImageUID <> ?", ""), 5);
    }
    EXPECT_EQ(handOverPendingRewrites(paths_), staged);
    ASSERT_TRUE(settled(7));
    const auto after = stored();
    EXPECT_EQ(uids(after), uids(before));
    for (const auto& s : after)
        EXPECT_TRUE(s.name == "Muster^Annabel" || s.name == "Other^Otto") << s.name;
    EXPECT_EQ(rowsAndFilesOneToOne(), "");
}

// A job stopped after removing the originals of series A1 leaves those images only as
// staged copies. The next job hands them over and lets them be filed before it collects
// its images: its patient task reaches them too.
TEST_F(HeaderJobTest, TheNextJobFinishesAnInterruptedOneAndItsTasksReachTheImagesItHandedOver)
{
    const auto before = stored();
    HeaderJob first(paths_, input("Serie", {task("Series", "0018,0060 - KVP", "28", 0, "30")}));
    {
        int removed = 0;
        HeaderJobSeams seams;
        seams.step = [&](HeaderJobStep s, const std::string&) {
            if (s == HeaderJobStep::OriginalRemoved && ++removed == 2)
                throw HeaderJobStopped{};
        };
        RecordingReport stopped;
        EXPECT_THROW(first.run(stopped), HeaderJobStopped);
    }
    ASSERT_EQ(pendingRewrites(paths_).size(), 2u);
    ASSERT_EQ(scalar("SELECT COUNT(*) FROM tblImages WHERE ImageUID <> ?", ""), 5);

    HeaderJob next(paths_, input("Studie", {task("Patient", "0010,0010 - Patient's Name", "", 0, "Muster^Annabel")}));
    RecordingReport report;
    EXPECT_TRUE(next.run(report).complete) << report.log();
    EXPECT_EQ(report.log().find("Handing over images of an interrupted job ... OK\r\n"), 0u) << report.log();
    ASSERT_TRUE(settled(7));
    const auto after = stored();
    EXPECT_EQ(uids(after), uids(before));
    for (const auto& s : after) {
        if (s.name == "Other^Otto")
            continue;
        EXPECT_EQ(s.name, "Muster^Annabel") << s.imageUid;
        EXPECT_EQ(s.kvp, s.seriesUid == seriesA1_ ? "30" : "28") << s.imageUid;
    }
    EXPECT_TRUE(pendingRewrites(paths_).empty());
    EXPECT_EQ(rowsAndFilesOneToOne(), "");
}

// The task list was made on study A's first image (its values, as the header view shows
// them); each image of the study moves and switches its own values, every one of them.
TEST_F(HeaderJobTest, MoveAndSwitchAtStudyLevelKeepEachImagesOwnValues)
{
    HeaderJob job(paths_, input("Studie", {task("Study", "0018,1152 - Exposure", "81", 2, "0018,0060 - KVP"),
                                           task("Study", "0028,0030 - Pixel Spacing", "0.1", 1,
                                                "0018,1164 - Imager Pixel Spacing")}));
    RecordingReport report;
    EXPECT_TRUE(job.run(report).complete) << report.log();
    ASSERT_TRUE(settled(7));
    const auto images = studyAImages();
    ASSERT_EQ(images.size(), 4u);
    for (const auto& [uid, ds] : images) {
        const std::string nr = ds.get(InstanceNumber).text;
        ASSERT_TRUE(nr == "1" || nr == "2") << nr;
        EXPECT_EQ(ds.get(Kvp).text, nr == "1" ? "81" : "82") << uid;
        EXPECT_EQ(ds.get(Exposure).text, "28") << uid;
        EXPECT_EQ(ds.get(ImagerPixelSpacing).text, nr == "1" ? "0.1\\0.1" : "0.085\\0.085") << uid;
        EXPECT_EQ(ds.get(PixelSpacing).text, "") << uid;
    }
    for (const auto& s : stored()) {
        if (s.studyUid == studyA_)
            continue;
        EXPECT_EQ(s.kvp, "28") << s.imageUid;
    }
}

// A study or series UID of another patient's study or series would file the images into
// it: refused with that patient named, whether typed or carried by a move.
TEST_F(HeaderJobTest, AStudyOrSeriesUidOfAnotherPatientIsRefused)
{
    const auto before = stored();
    Stored otto;
    for (const auto& s : before)
        if (s.name == "Other^Otto")
            otto = s;
    ASSERT_FALSE(otto.studyUid.empty());
    struct UidCase {
        const char* what;
        std::vector<HeaderTask> prepare;  // run first, changing nothing that matters
        HeaderTask task;
        bool refusedBeforeSaving;
    };
    const std::vector<UidCase> cases = {
        {"typed study UID", {}, task("Study", "0020,000D - Study Instance UID", "", 0, otto.studyUid), true},
        {"typed series UID", {}, task("Series", "0020,000E - Series Instance UID", "", 0, otto.seriesUid), true},
        {"study UID moved in from the study description",
         {task("Study", "0008,1030 - Study Description", "", 0, otto.studyUid)},
         task("Study", "0008,1030 - Study Description", "", 1, "0020,000D - Study Instance UID"), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (!c.prepare.empty()) {
            HeaderJob prepare(paths_, input("Studie", c.prepare));
            RecordingReport prepared;
            ASSERT_TRUE(prepare.run(prepared).complete) << prepared.log();
            ASSERT_TRUE(settled(7));
        }
        HeaderJob job(paths_, input("Studie", {c.task}));
        RecordingReport report;
        EXPECT_FALSE(job.run(report).complete);
        const std::string named = "of another patient, patient ID 'P2' (Other, Otto)";
        if (c.refusedBeforeSaving) {
            EXPECT_NE(report.log().find("refused\r\n"), std::string::npos) << report.log();
            EXPECT_NE(report.log().find(named), std::string::npos) << report.log();
        } else {
            EXPECT_NE(report.log().find("Saving images ... failed\r\n"), std::string::npos) << report.log();
            EXPECT_NE(errorLog().find(named), std::string::npos) << errorLog();
        }
        ASSERT_TRUE(settled(7));
        const auto after = stored();
        ASSERT_EQ(after.size(), before.size());
        for (std::size_t i = 0; i < after.size(); ++i) {
            EXPECT_EQ(after[i].imageUid, before[i].imageUid);
            EXPECT_EQ(after[i].studyUid, before[i].studyUid);
            EXPECT_EQ(after[i].seriesUid, before[i].seriesUid);
        }
        EXPECT_EQ(scalar("SELECT COUNT(*) FROM tblStudies WHERE StudyUID = ?", otto.studyUid), 1);
        EXPECT_EQ(rowsAndFilesOneToOne(), "");
    }
}

// Tasks on the pixel layout or the file meta information never run; and a copy whose
// pixel data does not decode (here a writer that breaks the header) keeps its original.
TEST_F(HeaderJobTest, TasksOnThePixelLayoutAreRefusedAndACopyThatDoesNotDecodeKeepsItsOriginal)
{
    const auto before = stored();
    for (const char* source : {"0028,0010 - Rows", "0028,0100 - Bits Allocated", "0028,0004 - Photometric Interpretation",
                               "7FE0,0010 - Pixel Data", "0002,0010 - Transfer Syntax UID"}) {
        SCOPED_TRACE(source);
        HeaderJob job(paths_, input("Serie", {task("Series", "0018,0060 - KVP", "28", 0, "30"),
                                              task("Series", source, "", 0, "1")}));
        RecordingReport report;
        EXPECT_FALSE(job.run(report).complete);
        EXPECT_NE(report.log().find("refused\r\n"), std::string::npos) << report.log();
        EXPECT_NE(report.log().find("cannot change it"), std::string::npos) << report.log();
    }
    EXPECT_TRUE(pendingRewrites(paths_).empty());
    for (const auto& s : stored())
        EXPECT_EQ(s.kvp, "28") << s.imageUid;

    HeaderJob job(paths_, input("Serie", {task("Series", "0018,0060 - KVP", "28", 0, "30")}));
    HeaderJobSeams seams;
    seams.write = [](const dicom::Image& image, const fs::path& file) {
        dicom::DataSet ds = image.attributes();
        ds.set(Rows, "4096");
        image.write(file);
    };
    RecordingReport report;
    EXPECT_FALSE(job.run(report).complete);
    EXPECT_NE(report.log().find("Saving images ... failed\r\n"), std::string::npos) << report.log();
    EXPECT_NE(errorLog().find("does not decode"), std::string::npos) << errorLog();
    ASSERT_TRUE(settled(7));
    const auto after = stored();
    EXPECT_EQ(uids(after), uids(before));
    for (const auto& s : after) {
        EXPECT_EQ(s.kvp, "28") << s.imageUid;
        EXPECT_TRUE(pixelDecodeProblem(imageFile(paths_, s.studyUid, s.imageUid)).empty()) << s.imageUid;
    }
    EXPECT_EQ(rowsAndFilesOneToOne(), "");
}

}  // namespace
}  // namespace corva::station::header
