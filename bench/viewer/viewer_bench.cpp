// Time from the click on a study to all of its images painted in the viewer, against
// DCMTK's dcm2pnm converting the same four files one after another in the same run.
//
//   viewer_bench [runs] [columns rows] [--cold]
//
// Builds a program folder with one patient and one 4-view mammography study (R CC, L CC,
// R MLO, L MLO) of 4096 x 3328 16-bit images (27 MB each), opens the main window
// (1280 x 1024, offscreen unless DISPLAY is set) and clicks the study `runs` times
// (default 5). Every click loads the study anew: files are read and rendered again.
// Warm: the operating system's file cache holds the files. --cold: before every click
// (and every dcm2pnm round) the files are written back and dropped from the file cache
// with posix_fadvise(POSIX_FADV_DONTNEED); the bench checks with mincore that no page
// of them is left in the cache and says so.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "db/database.h"
#include "dicom_fixture.h"
#include "viewer/dicom_viewer.h"
#include "common/list_view.h"
#include "app/main_form.h"
#include "program_folder.h"
#include "settings/settings.h"
#include "child_process.h"
#include "temp_dir.h"

namespace {

// Writes the file back and drops it from the file cache; returns the pages still cached.
long dropFromCache(const std::filesystem::path& file) {
    const int fd = ::open(file.c_str(), O_RDONLY);
    if (fd < 0) return -1;
    ::fdatasync(fd);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    struct stat st {};
    long cached = -1;
    if (::fstat(fd, &st) == 0 && st.st_size > 0) {
        void* map = ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
        if (map != MAP_FAILED) {
            const long page = ::sysconf(_SC_PAGESIZE);
            std::vector<unsigned char> resident(static_cast<std::size_t>((st.st_size + page - 1) / page));
            if (::mincore(map, static_cast<std::size_t>(st.st_size), resident.data()) == 0) {
                cached = 0;
                for (unsigned char r : resident) cached += r & 1;
            }
            ::munmap(map, static_cast<std::size_t>(st.st_size));
        }
    }
    ::close(fd);
    return cached;
}

long dropAll(const std::vector<std::filesystem::path>& files) {
    long cached = 0;
    for (const auto& f : files) cached += std::max(0L, dropFromCache(f));
    return cached;
}

qint64 median(std::vector<qint64> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The peer: dcm2pnm on the four files one after another (8-bit PGM at full size, its
// default), as an operator's tool would show them.
qint64 timeDcm2pnm(const std::vector<std::filesystem::path>& files, const std::filesystem::path& out) {
    QElapsedTimer clock;
    clock.start();
    int n = 0;
    for (const auto& f : files) {
        corva::test::ChildProcess p({"dcm2pnm", f.string(), (out / ("view" + std::to_string(++n) + ".pgm")).string()});
        const auto code = p.wait(std::chrono::seconds(60));
        if (!code || *code != 0) {
            std::fprintf(stderr, "dcm2pnm failed on %s\n", f.c_str());
            return -1;
        }
    }
    return clock.elapsed();
}

std::vector<std::filesystem::path> insertStudy(const corva::test::ProgramFolder& folder, int images) {
    std::vector<std::filesystem::path> files;
    corva::db::Database db(folder.imageDatabase());
    db.exec("INSERT INTO tblModalities (Modality) VALUES ('MG')");
    db.exec("INSERT INTO tblBodyparts (Bodypart) VALUES ('BREAST')");
    db.exec("INSERT INTO tblPatienten (PATID1, PATNachname, PATVorname, PATGebDatum, PATGeschlecht) "
            "VALUES ('BENCH', 'Bench', 'Mark', '1960-01-01', 'F')");
    db.exec("INSERT INTO tblStudies (FKeyPATID, FKeyUeberweiserID, FKeyBodypartID, FKeyModID, FKeyAccessionID, "
            "StudyDate, StudyTime, StudyUID, StudyNr, StudyDescription) "
            "VALUES (1, 1, 1, 1, 1, '2024-01-15', '2024-01-15 10:00:00', '1.2.77', 0, 'N/A')");
    db.exec("INSERT INTO tblSeries (FKeyStudyID, SeriesUID, SeriesNr, SeriesCBA) VALUES (1, '1.2.77.1', 1, '0')");
    for (int i = 1; i <= images; ++i) {
        const std::string uid = "1.2.77.1." + std::to_string(i);
        auto s = db.prepare("INSERT INTO tblImages (FKeySeriesID, ImageUID, ImageNr, ImageDate, ImageTime) "
                            "VALUES (1, ?, ?, '2024-01-15', '2024-01-15 10:00:00')");
        s.bind(1, uid).bind(2, i);
        s.run();
        corva::test::DicomRecipe recipe;
        recipe.patientId = "BENCH";
        recipe.studyUid = "1.2.77";
        recipe.seriesUid = "1.2.77.1";
        recipe.sopInstanceUid = uid;
        recipe.modality = "MG";
        recipe.rows = 3328;
        recipe.columns = 4096;
        recipe.bitsAllocated = 16;
        // R CC, L CC, R MLO, L MLO: the 4-view hanging, chest walls to the middle.
        const bool right = i % 2 == 1;
        recipe.extra = {{{0x0020, 0x0062}, right ? "R" : "L"},
                        {{0x0018, 0x5101}, i <= 2 ? "CC" : "MLO"},
                        {{0x0020, 0x0020}, right ? "P\\L" : "A\\R"},
                        {{0x0008, 0x0090}, ""},
                        {{0x0018, 0x0015}, "BREAST"},
                        {{0x0008, 0x0070}, "Corvalight bench"}};
        files.push_back(corva::test::writeDicom(folder.images() / "1.2.77" / (uid + ".dcm"), recipe));
    }
    return files;
}

}  // namespace

int main(int argc, char** argv) {
    bool cold = false;
    std::vector<const char*> numbers;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--cold") cold = true;
        else numbers.push_back(argv[i]);
    }
    const int runs = numbers.size() > 0 ? std::max(1, std::atoi(numbers[0])) : 5;
    const int columns = numbers.size() > 2 ? std::max(1, std::atoi(numbers[1])) : 3;
    const int rows = numbers.size() > 2 ? std::max(1, std::atoi(numbers[2])) : 7;
    if (qEnvironmentVariableIsEmpty("CORVA_PROGRAM_DIR")) qputenv("CORVA_PROGRAM_DIR", CORVA_BUILD_PROGRAM_DIR);
    constexpr int images = 4;
    corva::test::TempDir home("viewer-bench");
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString((home.path() / "config").string()));
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", QByteArray("offscreen:configfile=") + CORVA_OFFSCREEN_SCREEN);
    QApplication app(argc, argv);

    corva::test::ProgramFolder folder;
    folder.activate();
    std::printf("writing %d images of 4096 x 3328, 16 bit ...\n", images);
    const std::vector<std::filesystem::path> files = insertStudy(folder, images);

    corva::station::MainForm form;
    form.Form_Load();
    form.UpdateTimer()->stop();
    auto& settings = corva::settings::current();
    settings.viewerColumns = static_cast<std::int16_t>(columns);
    settings.viewerRows = static_cast<std::int16_t>(rows);
    settings.imagesPerPage = static_cast<std::int16_t>(columns * rows);
    form.ApplyViewerSettings();
    form.resize(1280, 1024);
    form.show();
    if (!QTest::qWaitForWindowExposed(&form)) {
        std::fprintf(stderr, "window not shown\n");
        return 1;
    }
    auto* patients = form.lvPatients();
    const QRect pr = patients->visualItemRect(patients->itemAtPosition(1));
    QTest::mouseClick(patients->viewport(), Qt::LeftButton, {}, QPoint(pr.left() + 8, pr.center().y()));

    QElapsedTimer clock;
    qint64 paintedAt = -1;
    QObject::connect(form.dv1(), &corva::station::DicomViewer::painted, [&](int drawn) {
        if (drawn >= images && paintedAt < 0) paintedAt = clock.elapsed();
    });
    std::vector<qint64> times, peerTimes;
    if (!cold) timeDcm2pnm(files, home.path());  // the files in the cache for both
    for (int run = 0; run < runs; ++run) {
        if (cold) {
            const long left = dropAll(files);
            std::printf("run %d: %ld pages of the four files left in the file cache\n", run + 1, left);
        }
        const qint64 peer = timeDcm2pnm(files, home.path());
        if (peer < 0) return 1;
        peerTimes.push_back(peer);
        QTest::qWait(300);
        if (cold) dropAll(files);
        paintedAt = -1;
        auto* studies = form.lvStudien();
        const QRect sr = studies->visualItemRect(studies->itemAtPosition(1));
        clock.start();
        QTest::mouseClick(studies->viewport(), Qt::LeftButton, {}, QPoint(sr.left() + 8, sr.center().y()));
        const qint64 clickReturned = clock.elapsed();
        while (paintedAt < 0 && clock.elapsed() < 30000) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (paintedAt < 0) {
            std::fprintf(stderr, "run %d: the cells were not painted within 30 s\n", run + 1);
            return 1;
        }
        std::printf("run %d: %d cells of %dx%d painted %lld ms after the click (click handler returned after %lld ms); "
                    "dcm2pnm %lld ms\n",
                    run + 1, images, form.dv1()->cellSize().width(), form.dv1()->cellSize().height(),
                    static_cast<long long>(paintedAt), static_cast<long long>(clickReturned),
                    static_cast<long long>(peer));
        times.push_back(paintedAt);
    }
    // CORVA_BENCH_SHOT=<file.png> saves a picture of the window after the last run.
    if (const QString shot = qEnvironmentVariable("CORVA_BENCH_SHOT"); !shot.isEmpty()) form.grab().save(shot);
    // CORVA_BENCH_HOLD=<ms> keeps the window up after the last run (a screenshot of the display).
    if (const int hold = qEnvironmentVariableIntValue("CORVA_BENCH_HOLD"); hold > 0) {
        std::printf("holding the window for %d ms\n", hold);
        std::fflush(stdout);
        QTest::qWait(hold);
    }
    const qint64 ours = median(times), theirs = median(peerTimes);
    std::printf("%s file cache, viewer %dx%d, hanging %dx%d\n", cold ? "cold" : "warm", form.dv1()->width(),
                form.dv1()->height(), form.dv1()->hanging().columns, form.dv1()->hanging().rows);
    std::printf("median %lld ms, worst %lld ms over %d runs; dcm2pnm median %lld ms, worst %lld ms; "
                "ratio %.3f (target: <= 0.15%s)\n",
                static_cast<long long>(ours), static_cast<long long>(*std::max_element(times.begin(), times.end())),
                runs, static_cast<long long>(theirs),
                static_cast<long long>(*std::max_element(peerTimes.begin(), peerTimes.end())),
                theirs > 0 ? static_cast<double>(ours) / static_cast<double>(theirs) : 0.0,
                cold ? ", worst < 500 ms" : "");
    return 0;
}
