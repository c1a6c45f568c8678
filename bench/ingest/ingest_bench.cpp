// Ingest benchmark.
//
//   ingest_bench throughput --kind small|mammo --files N --runs R --work DIR
//     Generates N files once, then R times: a fresh program folder with the real Ingrado
//     running, all files renamed into Temp at once, and the time until every file is
//     registered and moved. Reports the processing rate (first file taken to last file
//     filed) and the rate from the drop on, which includes the two-tick settling wait.
//
//   ingest_bench idle --images N --work DIR
//     An image database with N images: the time of an idle tick (scan, orphan clean-up)
//     and the query plans of the clean-up statements.
//
//   ingest_bench outage --files N --seconds S --work DIR
//     (throughput and outage take --ingrado <program> to measure another build)
//     The real Ingrado with Data/ on a small disk of its own (a tmpfs; needs the right to
//     mount): the disk is filled, N files are dropped, the disk stays full for S seconds,
//     then it is freed. Reports the files set aside, the log lines written during the
//     outage, and the time from freeing the disk until every file is filed.
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "core/paths.h"
#include "db/database.h"
#include "db/schema.h"
#include "dicom_fixture.h"
#include "ingest_service.h"

extern char** environ;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

const fs::path BuildProgram = CORVA_BUILD_PROGRAM_DIR;

std::string arg(int argc, char** argv, const std::string& name, const std::string& fallback)
{
    for (int i = 2; i + 1 < argc; ++i)
        if (argv[i] == "--" + name)
            return argv[i + 1];
    return fallback;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const auto n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

int countInput(const fs::path& temp)
{
    int n = 0;
    std::error_code ec;
    for (fs::directory_iterator it(temp, ec), end; !ec && it != end; it.increment(ec))
        n += corva::ingest::InputScanner::isInputName(it->path().filename().string()) ? 1 : 0;
    return n;
}

void generate(const fs::path& staging, const std::string& kind, int files)
{
    fs::create_directories(staging);
    int existing = 0;
    for (const auto& e : fs::directory_iterator(staging))
        existing += e.is_regular_file() ? 1 : 0;
    if (existing == files)
        return;
    fs::remove_all(staging);
    fs::create_directories(staging);
    std::cerr << "generating " << files << " " << kind << " files in " << staging << "\n";
    std::string study, series;
    for (int i = 0; i < files; ++i) {
        corva::test::DicomRecipe recipe;
        if (i % 4 == 0) {
            // Four images per study, one study per patient, as a screening site files them.
            study = corva::test::uniqueUid();
            series = corva::test::uniqueUid();
        }
        recipe.studyUid = study;
        recipe.seriesUid = series;
        recipe.sopInstanceUid = corva::test::uniqueUid();
        recipe.patientId = "BENCH" + std::to_string(i / 4);
        recipe.patientName = "Bench^Patient" + std::to_string(i / 4);
        recipe.instanceNumber = i % 4 + 1;
        if (kind == "mammo") {
            recipe.rows = 3328;
            recipe.columns = 4096;
            recipe.bitsAllocated = 16;
            recipe.modality = "MG";
            recipe.sopClassUid = corva::dicom::uid::DigitalMammographyForPresentation;
        } else {
            recipe.rows = 256;
            recipe.columns = 256;
        }
        corva::test::writeDicom(staging / (recipe.sopInstanceUid + ".dcm"), recipe);
    }
}

pid_t spawn(const fs::path& exe)
{
    pid_t pid = -1;
    char* argv[] = {const_cast<char*>(exe.c_str()), nullptr};
    if (::posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv, environ) != 0)
        return -1;
    return pid;
}

void stop(pid_t pid)
{
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
}

int throughput(int argc, char** argv)
{
    const std::string kind = arg(argc, argv, "kind", "small");
    const int files = std::stoi(arg(argc, argv, "files", "2000"));
    const int runs = std::stoi(arg(argc, argv, "runs", "5"));
    const fs::path work = arg(argc, argv, "work", "/tmp/ingest-bench");
    const bool keep = arg(argc, argv, "keep", "0") == "1";
    const fs::path staging = work / ("staging-" + kind);
    generate(staging, kind, files);

    std::vector<double> processing, overall;
    for (int run = 1; run <= runs; ++run) {
        const fs::path prog = work / ("program-" + std::to_string(run));
        fs::remove_all(prog);
        fs::create_directories(prog / "Data");
        fs::copy_file(BuildProgram / "Data" / corva::db::TemplateDatabaseFile,
                      prog / "Data" / corva::db::TemplateDatabaseFile);
        fs::copy_file(arg(argc, argv, "ingrado", (BuildProgram / "Ingrado").string()), prog / "Ingrado");
        const pid_t pid = spawn(prog / "Ingrado");
        while (!fs::exists(prog / "Temp") || !fs::exists(prog / "Data" / corva::db::ImageDatabaseFile))
            std::this_thread::sleep_for(std::chrono::milliseconds(5));

        std::vector<fs::path> names;
        for (const auto& e : fs::directory_iterator(staging))
            names.push_back(e.path().filename());
        for (const auto& n : names)
            fs::rename(staging / n, prog / "Temp" / n);
        const auto dropped = Clock::now();
        Clock::time_point firstTaken{};
        while (true) {
            const int left = countInput(prog / "Temp");
            if (left < files && firstTaken == Clock::time_point{})
                firstTaken = Clock::now();
            if (left == 0)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        const auto done = Clock::now();
        stop(pid);

        corva::db::Database db(prog / "Data" / corva::db::ImageDatabaseFile);
        corva::db::Statement count(db, "SELECT COUNT(*) FROM tblImages");
        count.step();
        const auto registered = count.getInt(0);
        const double procSeconds = std::chrono::duration<double>(done - firstTaken).count();
        const double allSeconds = std::chrono::duration<double>(done - dropped).count();
        // The first file is taken when the count first drops: the rate counts the rest.
        const double procRate = (files - 1) / procSeconds;
        const double allRate = files / allSeconds;
        processing.push_back(procRate);
        overall.push_back(allRate);
        std::printf("run %d: %lld registered, processing %.2f s = %.0f images/s, from drop %.2f s = %.0f images/s\n",
                    run, static_cast<long long>(registered), procSeconds, procRate, allSeconds, allRate);
        if (registered != files)
            std::printf("run %d: MISSING %lld files\n", run, static_cast<long long>(files - registered));

        // Back to staging for the next run.
        for (const auto& e : fs::recursive_directory_iterator(prog / "Images"))
            if (e.is_regular_file())
                fs::rename(e.path(), staging / e.path().filename());
        fs::remove_all(prog);
    }
    std::printf("%s x %d, median of %d runs: %.0f images/s processing, %.0f images/s from drop\n", kind.c_str(),
                files, runs, median(processing), median(overall));
    if (!keep)
        fs::remove_all(staging);
    return 0;
}

int idle(int argc, char** argv)
{
    const int images = std::stoi(arg(argc, argv, "images", "100000"));
    const fs::path work = arg(argc, argv, "work", "/tmp/ingest-bench");
    const fs::path prog = work / "program-idle";
    fs::remove_all(prog);
    fs::create_directories(prog / "Data");
    fs::copy_file(BuildProgram / "Data" / corva::db::TemplateDatabaseFile, prog / "Data" / corva::db::ImageDatabaseFile);
    {
        corva::db::Database db(prog / "Data" / corva::db::ImageDatabaseFile);
        corva::db::Transaction t(db);
        corva::db::Statement pat(db, "INSERT INTO tblPatienten (PATID1, PATNachname, PATVorname, PATGebDatum, PATGeschlecht) VALUES(?, 'Bench', '-', '1960-01-01', 'F')");
        corva::db::Statement study(db, "INSERT INTO tblStudies (FKeyPATID, FKeyUeberweiserID, FKeyBodypartID, FKeyModID, FKeyAccessionID, StudyDate, StudyTime, StudyUID, StudyNr, StudyDescription, ReporterID1, ReporterID2, ReporterID3) VALUES(?, 1, 1, 1, 1, '2024-01-01', '2024-01-01 10:00:00', ?, 0, 'N/A', 0, 0, 0)");
        corva::db::Statement series(db, "INSERT INTO tblSeries (FKeyStudyID, SeriesUID, SeriesNr, SeriesCBA) VALUES(?, ?, 1, '0')");
        corva::db::Statement image(db, "INSERT INTO tblImages (FKeySeriesID, ImageUID, ImageNr, ImageRows, ImageCols, ImageKVP, ImageDCD, ImageExpTime, ImageExp, ImageXRay, ImageLocation, ImageST, ImageLevel, ImageWidth, ImageDate, ImageTime) VALUES(?, ?, 1, 3328, 4096, 28, 0, 0, 0, 0, 0, 0, 0, 0, '2024-01-01', '2024-01-01 10:00:00')");
        std::int64_t seriesKey = 0;
        for (int i = 0; i < images; ++i) {
            if (i % 4 == 0) {
                pat.reset();
                pat.bind(1, "P" + std::to_string(i)).run();
                const auto p = db.lastInsertRowId();
                study.reset();
                study.bind(1, p).bind(2, "1.2.3." + std::to_string(i)).run();
                const auto s = db.lastInsertRowId();
                series.reset();
                series.bind(1, s).bind(2, "1.2.4." + std::to_string(i)).run();
                seriesKey = db.lastInsertRowId();
            }
            image.reset();
            image.bind(1, seriesKey).bind(2, "1.2.5." + std::to_string(i)).run();
        }
        t.commit();
    }
    {
        corva::db::Database db(prog / "Data" / corva::db::ImageDatabaseFile);
        for (const char* sql :
             {"EXPLAIN QUERY PLAN Delete from tblSeries where SeriesID not in (Select FKeySeriesID as SeriesID from tblImages)",
              "EXPLAIN QUERY PLAN Delete from tblStudies where StudyID not in (Select FKeyStudyID as StudyID from tblSeries)",
              "EXPLAIN QUERY PLAN Delete from tblPatienten where PatID not in (Select FKeyPatID as PatID from tblStudies)",
              "EXPLAIN QUERY PLAN SELECT ImageID FROM tblImages WHERE ImageUID = ? LIMIT 1",
              "EXPLAIN QUERY PLAN SELECT PATID FROM tblPatienten WHERE PATID1 = ? AND PATNachname = ? LIMIT 1"}) {
            std::printf("%s\n", sql + 19);
            corva::db::Statement st(db, sql);
            while (st.step())
                std::printf("    %s\n", st.getText(3).c_str());
        }
    }
    corva::ingest::IngestService service(prog);
    service.start();
    std::vector<double> ms, cpuMs;
    auto cpuNow = [] {
        timespec t{};
        ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
        return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
    };
    for (int i = 0; i < 20; ++i) {
        const auto t0 = Clock::now();
        const double c0 = cpuNow();
        service.tick();
        cpuMs.push_back(cpuNow() - c0);
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    corva::db::Database db(prog / "Data" / corva::db::ImageDatabaseFile);
    corva::db::Statement orphans(db, "SELECT COUNT(*) FROM tblSeries WHERE SeriesID NOT IN (SELECT FKeySeriesID FROM tblImages)");
    orphans.step();
    std::printf("idle tick with %d images: CPU median %.1f ms; wall median %.1f ms (min %.1f, max %.1f); orphan series left %lld\n",
                images, median(cpuMs), median(ms), *std::min_element(ms.begin(), ms.end()), *std::max_element(ms.begin(), ms.end()),
                static_cast<long long>(orphans.getInt(0)));
    if (arg(argc, argv, "keep", "0") != "1")
        fs::remove_all(prog);
    return 0;
}

int countLines(const fs::path& file)
{
    std::FILE* f = std::fopen(file.c_str(), "rb");
    if (!f)
        return 0;
    int n = 0;
    for (int c; (c = std::fgetc(f)) != EOF;)
        n += c == '\n';
    std::fclose(f);
    return n;
}

int outage(int argc, char** argv)
{
    const int files = std::stoi(arg(argc, argv, "files", "300"));
    const int seconds = std::stoi(arg(argc, argv, "seconds", "40"));
    const fs::path work = arg(argc, argv, "work", "/tmp/ingest-bench");
    const fs::path staging = work / "staging-outage";
    generate(staging, "small", files);
    const fs::path prog = work / "program-outage";
    fs::remove_all(prog);
    fs::create_directories(prog / "Data");
    fs::copy_file(BuildProgram / "Data" / corva::db::TemplateDatabaseFile, prog / "Data" / corva::db::TemplateDatabaseFile);
    fs::copy_file(arg(argc, argv, "ingrado", (BuildProgram / "Ingrado").string()), prog / "Ingrado");
    const fs::path data = prog / "Data";
    if (::mount("tmpfs", data.c_str(), "tmpfs", 0, "size=8388608") != 0) {
        std::perror("mount tmpfs over Data");
        return 1;
    }
    fs::copy_file(BuildProgram / "Data" / corva::db::TemplateDatabaseFile, data / corva::db::TemplateDatabaseFile);
    const pid_t pid = spawn(prog / "Ingrado");
    while (!fs::exists(prog / "Temp") || !fs::exists(data / corva::db::ImageDatabaseFile))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    {
        std::FILE* filler = std::fopen((data / "filler").c_str(), "wb");
        std::setvbuf(filler, nullptr, _IONBF, 0);
        const std::vector<char> block(4096, 'x');
        while (std::fwrite(block.data(), 1, block.size(), filler) == block.size()) {
        }
        while (std::fwrite("x", 1, 1, filler) == 1) {
        }
        std::fclose(filler);
    }
    const int linesBefore = countLines(prog / "Logs" / "Ingrado.log");
    for (const auto& e : fs::directory_iterator(staging))
        fs::rename(e.path(), prog / "Temp" / e.path().filename());
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    int setAside = 0;
    std::error_code ec;
    for (fs::directory_iterator it(prog / "Temp" / "BadObjects", ec), end; !ec && it != end; it.increment(ec))
        setAside += corva::ingest::InputScanner::isInputName(it->path().filename().string()) ? 1 : 0;
    const int outageLines = countLines(prog / "Logs" / "Ingrado.log") - linesBefore;
    const int waiting = countInput(prog / "Temp");
    fs::remove(data / "filler");
    const auto freed = Clock::now();
    while (countInput(prog / "Temp") > 0 && Clock::now() - freed < std::chrono::seconds(120))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const double resume = std::chrono::duration<double>(Clock::now() - freed).count();
    stop(pid);
    long long registered = 0;
    {
        corva::db::Database db(data / corva::db::ImageDatabaseFile);
        corva::db::Statement count(db, "SELECT COUNT(*) FROM tblImages");
        count.step();
        registered = count.getInt(0);
    }
    std::printf("disk full for %d s with %d files: %d set aside, %d waiting, %d log lines (%.2f per second); "
                "freed: all filed after %.2f s, %lld registered\n",
                seconds, files, setAside, waiting, outageLines, outageLines / static_cast<double>(seconds), resume,
                registered);
    ::umount2(data.c_str(), MNT_DETACH);
    fs::remove_all(prog);
    fs::remove_all(staging);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "throughput")
        return throughput(argc, argv);
    if (mode == "idle")
        return idle(argc, argv);
    if (mode == "outage")
        return outage(argc, argv);
    std::fprintf(stderr, "usage: ingest_bench throughput --kind small|mammo --files N --runs R --work DIR\n"
                         "       ingest_bench idle --images N --work DIR\n"
                         "       ingest_bench outage --files N --seconds S --work DIR\n");
    return 2;
}
