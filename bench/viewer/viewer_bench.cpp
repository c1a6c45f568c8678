// Time from the click on a study to all of its images painted in the viewer.
//
//   viewer_bench [runs] [columns rows]
//
// Builds a program folder with one patient and one study of four 4096 x 3328 16-bit
// images (27 MB each), opens the main window on the offscreen platform (1280 x 1024)
// and clicks the study `runs` times (default 5). Every click loads the study anew:
// files are read and rendered again; only the operating system's file cache stays warm.
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
#include "temp_dir.h"

namespace {

void insertStudy(const corva::test::ProgramFolder& folder, int images) {
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
        corva::test::writeDicom(folder.images() / "1.2.77" / (uid + ".dcm"), recipe);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const int columns = argc > 3 ? std::max(1, std::atoi(argv[2])) : 3;
    const int rows = argc > 3 ? std::max(1, std::atoi(argv[3])) : 7;
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
    insertStudy(folder, images);

    corva::station::MainForm form;
    form.Form_Load();
    form.UpdateTimer()->stop();
    auto& settings = corva::settings::current();
    settings.viewerColumns = static_cast<std::int16_t>(columns);
    settings.viewerRows = static_cast<std::int16_t>(rows);
    settings.imagesPerPage = static_cast<std::int16_t>(columns * rows);
    form.ApplyViewerSettings();
    form.resize(1280, 1000);
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
    std::vector<qint64> times;
    for (int run = 0; run < runs; ++run) {
        QTest::qWait(300);
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
        std::printf("run %d: %d cells of %dx%d painted %lld ms after the click (click handler returned after %lld ms)\n",
                    run + 1, images, form.dv1()->cellSize().width(), form.dv1()->cellSize().height(),
                    static_cast<long long>(paintedAt), static_cast<long long>(clickReturned));
        times.push_back(paintedAt);
    }
    // CORVA_BENCH_SHOT=<file.png> saves a picture of the window after the last run.
    if (const QString shot = qEnvironmentVariable("CORVA_BENCH_SHOT"); !shot.isEmpty()) form.grab().save(shot);
    std::sort(times.begin(), times.end());
    std::printf("median %lld ms, worst %lld ms over %d runs (target: 800 ms)\n",
                static_cast<long long>(times[times.size() / 2]), static_cast<long long>(times.back()), runs);
    return 0;
}
