// Scale benchmark: the image database after ten years at a large site.
//
//   scale_bench [--images N] [--empty N] [--work DIR] [--runs R] [--rounds K] [--reuse 1]
//
// Generates an image database of N images (default 1,000,000) straight into the tables,
// made by the programs' own schema creation, and a small one of a few images (--empty,
// default 100); then times, on both, what the programs run: the station's patient list
// refresh, a study's lists (studies of a patient, series, image list, the viewer's image
// set), the dose list, the ingest service's first tick, idle tick and tick after the
// station deleted a study, and the filing of one more image (the tick that files a file
// dropped into Temp). Prints each figure, the ratio big/small, the query plans of every
// statement the timed code ran (every connection of the process is traced), and the
// database size per 100,000 images with the size of each table and index.
// With --reuse 1 a database generated before in DIR is used again: one an earlier
// version made is upgraded by the ingest service's first tick.
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "browser/browser_queries.h"
#include "browser/patient_refresh.h"
#include "common/station_context.h"
#include "core/error.h"
#include "core/paths.h"
#include "db/database.h"
#include "db/orphans.h"
#include "db/schema.h"
#include "dicom/dicom.h"
#include "dicom_fixture.h"
#include "dose/dose_store.h"
#include "ingest_log.h"
#include "ingest_service.h"
#include "registrar.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using corva::db::Database;
using corva::db::Statement;

namespace {

std::string arg(int argc, char** argv, const std::string& name, const std::string& fallback)
{
    for (int i = 1; i + 1 < argc; ++i)
        if (argv[i] == "--" + name)
            return argv[i + 1];
    return fallback;
}

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const auto n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double msSince(Clock::time_point t0)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

std::string isoDate(int daysFromStart)
{
    // Days from 2016-12-10 on a proleptic calendar: civil-from-days (H. Hinnant).
    const long z = 17145 + daysFromStart + 719468;  // 17145 = days from 1970-01-01 to 2016-12-10
    const long era = z / 146097;
    const long doe = z - era * 146097;
    const long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long mp = (5 * doy + 2) / 153;
    const long d = doy - (153 * mp + 2) / 5 + 1;
    const long m = mp < 10 ? mp + 3 : mp - 9;
    const long y = yoe + era * 400 + (m <= 2);
    char text[64];
    std::snprintf(text, sizeof text, "%04ld-%02ld-%02ld", y, m, d);
    return text;
}

// ------------------------------------------------------------------ generation

struct Generated {
    std::vector<std::string> studyUids;   // every study, in filing order
    std::vector<std::string> patientIds;  // PATID1 of the patient of each study
};

// Fills an image database of the programs' schema with `images` images over ten years:
// four views per screening study (some with more, a few with two series), a patient
// returning every year or two, some studies deleted since (gaps in the keys), exposure
// records used by their images, commitments of the forwarded studies, and the receive
// rows of the last images the station has not shown yet.
void generate(const fs::path& file, long images, unsigned seed)
{
    fs::remove(file);
    fs::remove(file.string() + "-wal");
    fs::remove(file.string() + "-shm");
    Database db(file, true);
    corva::db::createImageSchema(db);
    db.exec("PRAGMA synchronous=OFF");
    db.exec("PRAGMA cache_size=-1000000");
    std::mt19937 rng(seed);
    auto chance = [&](double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; };
    auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); };

    static const char* lastNames[] = {"Müller", "Schmidt", "Schneider", "Fischer", "Weber", "Meyer", "Wagner",
                                      "Becker", "Schulz", "Hoffmann", "Schäfer", "Koch", "Bauer", "Richter",
                                      "Klein", "Wolf", "Schröder", "Neumann", "Schwarz", "Zimmermann", "Braun",
                                      "Krüger", "Hofmann", "Hartmann", "Lange", "Schmitt", "Werner", "Krause",
                                      "Meier", "Lehmann", "Schmid", "Schulze", "Maier", "Köhler", "Herrmann",
                                      "König", "Walter", "Mayer", "Huber", "Kaiser", "Fuchs", "Peters", "Lang",
                                      "Scholz", "Möller", "Weiß", "Jung", "Hahn", "Schubert", "Vogel"};
    static const char* firstNames[] = {"Anna", "Maria", "Ursula", "Monika", "Petra", "Elisabeth", "Sabine",
                                       "Renate", "Helga", "Karin", "Brigitte", "Ingrid", "Erika", "Andrea",
                                       "Gisela", "Claudia", "Susanne", "Gabriele", "Christa", "Christine",
                                       "Hildegard", "Birgit", "Barbara", "Marianne", "Heike", "Nicole", "Angelika"};

    corva::db::Transaction t(db);
    db.exec("INSERT INTO tblModalities (ModID, Modality) VALUES (1, 'MG'), (2, 'CR')");
    db.exec("INSERT INTO tblBodyparts (BodypartID, Bodypart) VALUES (1, 'BREAST')");
    {
        auto ref = db.prepare("INSERT INTO tblUeberweiser (UeberweiserID, UeberweiserName) VALUES (?, ?)");
        for (int i = 1; i <= 300; ++i) {
            ref.reset();
            ref.bind(1, i).bind(2, std::string("Dr. ") + lastNames[pick(std::size(lastNames))] + " " + std::to_string(i));
            ref.run();
        }
    }
    auto patient = db.prepare("INSERT INTO tblPatienten (PATID, PATID1, PATNachname, PATVorname, PAT2Vorname, "
                              "PATGebDatum, PATGeschlecht) VALUES (?, ?, ?, ?, NULL, ?, 'F')");
    auto accession = db.prepare("INSERT INTO tblAccessions (AccessionID, Accession) VALUES (?, ?)");
    auto study = db.prepare(
        "INSERT INTO tblStudies (StudyID, FKeyPATID, FKeyUeberweiserID, FKeyBodypartID, FKeyModID, FKeyAccessionID, "
        "StudyDate, StudyTime, StudyUID, StudyNr, StudyDescription, ReporterID1, ReporterID2, ReporterID3) "
        "VALUES (?, ?, ?, 1, ?, ?, ?, ?, ?, ?, ?, 0, 0, 0)");
    auto series = db.prepare(
        "INSERT INTO tblSeries (SeriesID, FKeyStudyID, SeriesUID, SeriesNr, SeriesCBA) VALUES (?, ?, ?, ?, '0')");
    auto image = db.prepare(
        "INSERT INTO tblImages (ImageID, FKeySeriesID, ImageUID, ImageNr, ImageRows, ImageCols, ImageKVP, ImageDCD, "
        "ImageExpTime, ImageExp, ImageXRay, ImageLocation, ImageST, ImageLevel, ImageWidth, ImageDate, ImageTime) "
        "VALUES (?, ?, ?, ?, 3328, 4096, ?, 0, ?, ?, ?, 0, 0, 2048, 4096, ?, ?)");
    auto dose = db.prepare("INSERT INTO tblDosis (KVP, ma, Zeit, Dicke, mGy, Druck, Datum, Sonstiges, Status, expZeit) "
                           "VALUES (?, '80', ?, ?, ?, ?, ?, '', ?, ?)");
    auto commitment = db.prepare("INSERT INTO tblCommitments (TransactionUID, Destination, Requested, Answered) "
                                 "VALUES (?, 'ARCHIVE@10.0.0.5:104', ?, ?)");
    auto item = db.prepare("INSERT INTO tblCommitmentItems (TransactionUID, SOPClassUID, SOPInstanceUID, ImageID, "
                           "StudyUID, WorkCopy, State, FailureReason, Done, FilesRemoved) "
                           "VALUES (?, '1.2.840.10008.5.1.4.1.1.1.2', ?, ?, ?, 0, 1, 0, 1, 0)");
    auto receive = db.prepare("INSERT INTO tblReceive (PATID, StudyID, SeriesID, ImageID) VALUES (?, ?, ?, ?)");

    const long studiesPlanned = std::max(1L, images / 4);
    const int days = 3652;
    std::int64_t patientKey = 0, studyKey = 0, seriesKey = 0, imageKey = 0;
    std::vector<std::int64_t> patients;
    std::vector<std::string> patientIds;
    long made = 0;
    for (long s = 0; made < images; ++s) {
        const int day = static_cast<int>(std::min<long>(days - 1, s * days / studiesPlanned));
        const std::string date = isoDate(day);
        const std::string doseDate = date.substr(8, 2) + "." + date.substr(5, 2) + "." + date.substr(0, 4);
        const int minute = 7 * 60 + static_cast<int>(pick(11 * 60));
        char time[64];
        std::snprintf(time, sizeof time, "%s %02d:%02d:%02d", date.c_str(), minute / 60, minute % 60,
                      static_cast<int>(pick(60)));
        // A deleted study leaves its keys unused.
        if (chance(0.015)) {
            ++studyKey;
            ++seriesKey;
            imageKey += 4;
            continue;
        }
        std::int64_t pat;
        std::string patId;
        if (patients.empty() || chance(0.24)) {
            pat = ++patientKey;
            patId = "PID" + std::to_string(1000000 + pat);
            patient.reset();
            char born[48];
            std::snprintf(born, sizeof born, "%04d-%02d-%02d", 1940 + static_cast<int>(pick(45)),
                          1 + static_cast<int>(pick(12)), 1 + static_cast<int>(pick(28)));
            patient.bind(1, pat).bind(2, patId).bind(3, lastNames[pick(std::size(lastNames))]);
            patient.bind(4, firstNames[pick(std::size(firstNames))]).bind(5, born).run();
            patients.push_back(pat);
            patientIds.push_back(patId);
        } else {
            const auto k = pick(patients.size());
            pat = patients[k];
            patId = patientIds[k];
        }
        const std::string uidRoot = "1.2.826.0.1.3680043.10.543." + date.substr(0, 4) + date.substr(5, 2) +
                                    date.substr(8, 2) + std::to_string(minute) + "." + std::to_string(s + 1);
        ++studyKey;
        accession.reset();
        accession.bind(1, studyKey).bind(2, "ACC" + std::to_string(20000000 + studyKey)).run();
        const bool mammo = !chance(0.05);
        study.reset();
        study.bind(1, studyKey).bind(2, pat).bind(3, static_cast<std::int64_t>(1 + pick(300)));
        study.bind(4, mammo ? 1 : 2).bind(5, studyKey).bind(6, date).bind(7, std::string(time));
        study.bind(8, uidRoot).bind(9, static_cast<std::int64_t>(s + 1));
        study.bind(10, mammo ? "Mammographie beidseits" : "Thorax pa").run();
        // Four views; some studies add views, a few are repeated in a second series.
        int views = 4;
        if (chance(0.08))
            views = 5 + static_cast<int>(pick(2));
        else if (chance(0.03))
            views = 2;
        const int seriesCount = chance(0.02) ? 2 : 1;
        const bool committed = chance(0.3);
        const std::string tx = uidRoot + ".9";
        if (committed) {
            commitment.reset();
            commitment.bind(1, tx).bind(2, std::string(time)).bind(3, std::string(time)).run();
        }
        for (int se = 1; se <= seriesCount && made < images; ++se) {
            ++seriesKey;
            series.reset();
            series.bind(1, seriesKey).bind(2, studyKey).bind(3, uidRoot + "." + std::to_string(se)).bind(4, se).run();
            for (int v = 1; v <= views && made < images; ++v) {
                ++imageKey;
                ++made;
                const std::string uid = uidRoot + "." + std::to_string(se) + "." + std::to_string(v);
                const int kvp = 26 + static_cast<int>(pick(8));
                image.reset();
                image.bind(1, imageKey).bind(2, seriesKey).bind(3, uid).bind(4, v).bind(5, kvp);
                image.bind(6, static_cast<std::int64_t>(800 + pick(800))).bind(7, static_cast<std::int64_t>(50 + pick(150)));
                image.bind(8, static_cast<std::int64_t>(80 + pick(40))).bind(9, date).bind(10, std::string(time));
                image.run();
                // The exposure record the image was forwarded with; the last ones still wait.
                dose.reset();
                dose.bind(1, std::to_string(kvp)).bind(2, std::string(time).substr(11));
                dose.bind(3, static_cast<std::int64_t>(30 + pick(50))).bind(4, std::to_string(1 + pick(3)) + ".2");
                dose.bind(5, static_cast<std::int64_t>(60 + pick(100))).bind(6, doseDate);
                dose.bind(7, made > images - 8 ? "0" : "1").bind(8, std::to_string(800 + pick(800)));
                dose.run();
                if (committed) {
                    item.reset();
                    item.bind(1, tx).bind(2, uid).bind(3, imageKey).bind(4, uidRoot).run();
                }
                if (made > images - 20) {
                    receive.reset();
                    receive.bind(1, pat).bind(2, studyKey).bind(3, seriesKey).bind(4, imageKey).run();
                }
            }
        }
    }
    t.commit();
    db.exec("PRAGMA wal_checkpoint(TRUNCATE)");
}

// ------------------------------------------------------------------ plans

// Every statement any connection of this process runs, by the section of the
// benchmark that ran it: an extension every new connection loads traces it.
struct Collector {
    bool on = false;
    std::string section;
    std::vector<std::string> sections;
    std::map<std::string, std::vector<std::string>> statements;
    std::set<std::pair<std::string, std::string>> seen;
};
Collector collector;

int onStatement(unsigned, void*, void* stmt, void*)
{
    if (!collector.on)
        return 0;
    const char* sql = sqlite3_sql(static_cast<sqlite3_stmt*>(stmt));
    if (sql && collector.seen.insert({collector.section, sql}).second)
        collector.statements[collector.section].emplace_back(sql);
    return 0;
}

int traceConnection(sqlite3* db, const char**, const sqlite3_api_routines*)
{
    sqlite3_trace_v2(db, SQLITE_TRACE_STMT, onStatement, nullptr);
    return SQLITE_OK;
}

void section(const std::string& name)
{
    collector.section = name;
    if (std::find(collector.sections.begin(), collector.sections.end(), name) == collector.sections.end())
        collector.sections.push_back(name);
}

bool explainable(const std::string& sql)
{
    std::string head;
    for (char c : sql.substr(0, 12))
        head += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const char* skip : {"BEGIN", "COMMIT", "ROLLBACK", "PRAGMA", "SAVEPOINT", "RELEASE", "CREATE"})
        if (head.rfind(skip, 0) == 0)
            return false;
    return true;
}

void printPlans(const fs::path& dbFile, const std::string& title)
{
    collector.on = false;
    Database db(dbFile);
    for (const std::string& name : collector.sections) {
    std::printf("\n-- query plans, %s: %s\n", title.c_str(), name.c_str());
    for (const std::string& sql : collector.statements[name]) {
        if (!explainable(sql))
            continue;
        std::printf("%s\n", sql.c_str());
        auto st = db.prepare("EXPLAIN QUERY PLAN " + sql);
        std::map<std::int64_t, int> depth;
        while (st.step()) {
            const int d = depth.count(st.getInt(1)) ? depth[st.getInt(1)] + 1 : 1;
            depth[st.getInt(0)] = d;
            std::printf("%*s%s\n", 2 + 2 * d, "", st.getText(3).c_str());
        }
    }
    }
}

// ------------------------------------------------------------------ measurement

struct Figures {
    std::map<std::string, double> ms;
    std::vector<std::string> order;
    std::map<std::string, std::string> counts;
    void put(const std::string& what, double value)
    {
        if (!ms.count(what))
            order.push_back(what);
        ms[what] = value;
    }
};

struct Sample {
    std::string patientId;
    std::string studyUid;
    std::int64_t studyId = 0;
};

std::vector<Sample> sampleStudies(Database& db, int count, unsigned seed)
{
    std::vector<Sample> all;
    auto st = db.prepare("SELECT p.PATID1, s.StudyUID, s.StudyID FROM tblStudies s JOIN tblPatienten p ON p.PATID = "
                         "s.FKeyPATID WHERE s.StudyID % ? = 0");
    std::int64_t total = 0;
    {
        auto c = db.prepare("SELECT COUNT(*) FROM tblStudies");
        c.step();
        total = c.getInt(0);
    }
    st.bind(1, std::max<std::int64_t>(1, total / (count * 4)));
    while (st.step())
        all.push_back({st.getText(0), st.getText(1), st.getInt(2)});
    std::mt19937 rng(seed);
    std::shuffle(all.begin(), all.end(), rng);
    if (all.size() > static_cast<std::size_t>(count))
        all.resize(static_cast<std::size_t>(count));
    return all;
}

int countInput(const fs::path& temp)
{
    int n = 0;
    std::error_code ec;
    for (fs::directory_iterator it(temp, ec), end; !ec && it != end; it.increment(ec))
        n += corva::ingest::InputScanner::isInputName(it->path().filename().string()) ? 1 : 0;
    return n;
}

// A new study of a known patient: the images the filing measures.
std::vector<fs::path> makeFiles(const fs::path& folder, const std::string& patientId, int count)
{
    fs::create_directories(folder);
    std::vector<fs::path> files;
    const std::string study = corva::test::uniqueUid();
    const std::string series = corva::test::uniqueUid();
    for (int i = 0; i < count; ++i) {
        corva::test::DicomRecipe r;
        r.patientId = patientId;
        r.studyUid = study;
        r.seriesUid = series;
        r.sopInstanceUid = corva::test::uniqueUid();
        r.modality = "MG";
        r.sopClassUid = corva::dicom::uid::DigitalMammographyForPresentation;
        r.instanceNumber = i + 1;
        r.rows = 64;
        r.columns = 64;
        files.push_back(corva::test::writeDicom(folder / (r.sopInstanceUid + ".dcm"), r));
    }
    return files;
}

Figures measure(const fs::path& prog, int runs, bool plans)
{
    Figures f;
    const fs::path dbFile = prog / "Data" / corva::db::ImageDatabaseFile;
    // A connection held open for the whole run, as while the station runs: the last
    // connection to close folds the log back into the file, a disk flush whose time
    // has nothing to do with the database's size.
    Database held(dbFile);
    const std::vector<Sample> samples = sampleStudies(held, runs + 1, 7);
    collector.on = plans;

    // The station's patient list: the refresh the operator asks for (always reloads), and
    // the timer's tick with nothing received.
    corva::station::StationContext g;
    g.dataDb.setFile(dbFile);
    {
        section("patient list");
        std::vector<double> reload, idle;
        std::size_t rows = 0;
        for (int i = 0; i < runs; ++i) {
            const auto t0 = Clock::now();
            const auto r = corva::station::refreshPatients(g, corva::station::RefreshCause::Explicit);
            reload.push_back(msSince(t0));
            rows = r.patients.size();
        }
        for (int i = 0; i < runs; ++i) {
            const auto t0 = Clock::now();
            corva::station::refreshPatients(g, corva::station::RefreshCause::TimerTick);
            idle.push_back(msSince(t0));
        }
        f.put("patient list reload", median(reload));
        f.counts["patient list reload"] = std::to_string(rows) + " patients";
        f.put("patient list timer tick (nothing received)", median(idle));
    }

    // A study chosen: its patient's studies, its series, the image list, the viewer's set.
    {
        section("a study chosen");
        Database db(dbFile);
        corva::station::BrowserQueries q(db);
        std::vector<double> studies, series, images, set;
        for (int i = 0; i < runs && !samples.empty(); ++i) {
            const Sample& s = samples[static_cast<std::size_t>(i) % samples.size()];
            auto t0 = Clock::now();
            q.studiesOf(s.patientId);
            studies.push_back(msSince(t0));
            t0 = Clock::now();
            q.seriesOf(s.studyId);
            const auto keys = q.seriesKeysOf(s.studyId);
            series.push_back(msSince(t0));
            t0 = Clock::now();
            q.imagesOfStudy(s.studyUid);
            images.push_back(msSince(t0));
            t0 = Clock::now();
            const auto query = corva::station::BrowserQueries::studyImageQuery(keys);
            q.imageCount(query);
            q.imageUids(query);
            set.push_back(msSince(t0));
        }
        f.put("studies of a patient", median(studies));
        f.put("series of a study", median(series));
        f.put("image list of a study", median(images));
        f.put("image set of a study (viewer)", median(set));
    }

    // The station's dose list: the exposure records still waiting for their image.
    {
        section("dose list");
        const corva::dose::DoseStore store(dbFile);
        std::vector<double> list;
        std::size_t rows = 0;
        for (int i = 0; i < runs; ++i) {
            const auto t0 = Clock::now();
            rows = store.pending().size();
            list.push_back(msSince(t0));
        }
        f.put("dose list", median(list));
        f.counts["dose list"] = std::to_string(rows) + " waiting records";
    }

    // The ingest service: idle ticks, and ticks after the station deleted a study's images.
    section("ingest service start");
    corva::ingest::IngestService service(prog);
    service.start();
    {
        // The first tick opens the database: one of an earlier version is upgraded here
        // and its rows are looked at once.
        const auto t0 = Clock::now();
        service.tick();
        f.put("ingest first tick after start (every row once)", msSince(t0));
        if (plans)
            std::printf("first ingest tick after start on %s: %.1f ms\n", dbFile.c_str(), msSince(t0));
    }
    service.tick();
    {
        section("ingest idle tick");
        std::vector<double> idle;
        for (int i = 0; i < runs; ++i) {
            const auto t0 = Clock::now();
            service.tick();
            idle.push_back(msSince(t0));
        }
        f.put("ingest idle tick", median(idle));
    }
    {
        std::vector<double> after;
        for (int i = 0; i < runs && i + 1 < static_cast<int>(samples.size()); ++i) {
            {
                section("station deletes a study's images");
                Database db(dbFile);
                corva::station::BrowserQueries q(db);
                for (const auto& row : q.imagesOfStudy(samples[static_cast<std::size_t>(i)].studyUid))
                    q.deleteImage(std::stoll(row.imageId));
            }
            section("ingest tick after a study was deleted");
            const auto t0 = Clock::now();
            service.tick();
            after.push_back(msSince(t0));
        }
        f.put("ingest tick after a study was deleted", median(after));
    }

    // Filing: one image at a time dropped into Temp; the tick that files it is timed.
    {
        section("filing");
        const fs::path staging = prog / "staging";
        const std::string patientId = samples.empty() ? std::string("NEW") : samples.back().patientId;
        const auto files = makeFiles(staging, patientId, runs);
        std::vector<double> filing;
        int filed = 0;
        for (const fs::path& file : files) {
            fs::rename(file, prog / corva::folder::Temp / file.filename());
            for (int tick = 0; tick < 50; ++tick) {
                const auto t0 = Clock::now();
                service.tick();
                const double ms = msSince(t0);
                if (countInput(prog / corva::folder::Temp) == 0) {
                    filing.push_back(ms);
                    ++filed;
                    break;
                }
            }
        }
        f.put("filing one more image", median(filing));
        f.counts["filing one more image"] = std::to_string(filed) + " of " + std::to_string(files.size()) + " filed";
        fs::remove_all(staging);
    }
    collector.on = false;
    return f;
}

// A program folder of its own with a generated image database.
void prepare(const fs::path& prog, long images, bool reuse)
{
    const fs::path dbFile = prog / "Data" / corva::db::ImageDatabaseFile;
    if (reuse && fs::exists(dbFile)) {
        Database db(dbFile);
        auto c = db.prepare("SELECT COUNT(*) FROM tblImages");
        // Runs before deleted a few studies and filed a few images.
        if (c.step() && c.getInt(0) >= images - images / 100) {
            std::printf("using %s (%lld images)\n", dbFile.c_str(), static_cast<long long>(c.getInt(0)));
            return;
        }
    }
    fs::remove_all(prog);
    fs::create_directories(prog / "Data");
    fs::create_directories(prog / corva::folder::Temp);
    fs::create_directories(prog / corva::folder::Images);
    fs::create_directories(prog / corva::folder::Logs);
    const auto t0 = Clock::now();
    generate(dbFile, images, 42);
    std::printf("generated %ld images in %.1f s: %s\n", images, msSince(t0) / 1000, dbFile.c_str());
}

void printCounts(const fs::path& dbFile)
{
    Database db(dbFile);
    std::printf("%s:", dbFile.c_str());
    for (const char* table : {"tblPatienten", "tblStudies", "tblSeries", "tblImages", "tblDosis", "tblAccessions",
                              "tblCommitmentItems", "tblReceive"}) {
        auto c = db.prepare(std::string("SELECT COUNT(*) FROM ") + table);
        c.step();
        std::printf(" %s %lld", table, static_cast<long long>(c.getInt(0)));
    }
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv)
{
    sqlite3_auto_extension(reinterpret_cast<void (*)()>(traceConnection));
    const long images = std::stol(arg(argc, argv, "images", "1000000"));
    const long few = std::stol(arg(argc, argv, "empty", "100"));
    const int runs = std::stoi(arg(argc, argv, "runs", "21"));
    const int rounds = std::stoi(arg(argc, argv, "rounds", "3"));
    const fs::path work = arg(argc, argv, "work", "/tmp/scale-bench");
    const bool reuse = arg(argc, argv, "reuse", "0") == "1";
    const fs::path small = work / "program-small";
    const fs::path big = work / "program-big";
    prepare(big, images, reuse);
    const fs::path bigDb = big / "Data" / corva::db::ImageDatabaseFile;
    {
        Database db(bigDb);
        db.exec("PRAGMA wal_checkpoint(TRUNCATE)");
    }
    // The generated file on disk before anything is timed: its write-back would stall
    // the flushes of the small database's run.
    ::sync();
    const auto bytes = fs::file_size(bigDb);
    printCounts(bigDb);
    std::printf("database size: %.1f MB for %ld images = %.1f MB per 100,000 images\n", bytes / 1e6, images,
                bytes / 1e6 / (images / 100000.0));
    try {
        // Where the bytes are, when the library was built with the dbstat table.
        Database db(bigDb);
        auto st = db.prepare("SELECT name, SUM(pgsize) FROM dbstat GROUP BY name ORDER BY 2 DESC");
        while (st.step())
            std::printf("  %-32s %8.1f MB\n", st.getText(0).c_str(), st.getInt(1) / 1e6);
    } catch (const corva::Error& e) {
        std::printf("  (no sizes per table: %s)\n", e.message().c_str());
    }

    // Small and big in turns, a few rounds: the machine is shared, and the best median
    // of each figure over the rounds keeps others' load out of the ratio. A first pass
    // on the small database warms the code and the file cache.
    prepare(small, few, false);
    measure(small, runs, false);
    Figures empty, large;
    auto best = [](Figures& into, const Figures& round) {
        for (const std::string& what : round.order)
            if (!into.ms.count(what) || round.ms.at(what) < into.ms.at(what))
                into.put(what, round.ms.at(what));
        for (const auto& [what, count] : round.counts)
            into.counts[what] = count;
    };
    for (int round = 0; round < rounds; ++round) {
        prepare(small, few, false);
        best(empty, measure(small, runs, false));
        best(large, measure(big, runs, round == 0));
    }
    printPlans(bigDb, std::to_string(images) + " images");

    std::printf("\n%-48s %12s %12s %8s  %s\n",
                ("best of " + std::to_string(rounds) + " medians of " + std::to_string(runs) + " runs, ms").c_str(),
                (std::to_string(few) + " images").c_str(), (std::to_string(images) + " images").c_str(), "ratio",
                "within 2x");
    for (const std::string& what : large.order) {
        const double small_ms = empty.ms.count(what) ? empty.ms.at(what) : 0;
        const double big_ms = large.ms.at(what);
        const double ratio = small_ms > 0 ? big_ms / small_ms : 0;
        std::printf("%-48s %12.3f %12.3f %8.2f  %s\n", what.c_str(), small_ms, big_ms, ratio, ratio <= 2.0 ? "yes" : "NO");
    }
    for (const auto& [what, count] : large.counts)
        std::printf("%s, big database, last round: %s; small: %s\n", what.c_str(), count.c_str(),
                    empty.counts.count(what) ? empty.counts.at(what).c_str() : "-");
    return 0;
}
