// The viewer on real files: loading, paging with keys and scroll bar, selection.
#include <QAction>
#include <QMenu>
#include <QProgressBar>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>
#include <QApplication>

#include "viewer/dicom_viewer.h"
#include "viewer/loaded_image.h"
#include "common/list_view.h"
#include "app/main_form.h"
#include "common/station_context.h"
#include "settings/settings.h"
#include "station_test_support.h"
#include "temp_dir.h"

namespace corva::station::test {

namespace {

class ViewerTest : public StationTest {
protected:
    void TearDown() override {
        if (form_) {
            if (form_->lastPopup()) form_->lastPopup()->close();
            form_.reset();
        }
        StationTest::TearDown();
    }
    // A study of `count` images, ImageNr descending against the insert order, so the
    // image list (by ImageID) and the viewer (by ImageNr) are ordered differently.
    void makeStudy(int count) {
        const auto study = addStudy(addPatient("P1", "Muster", "Anna"), "1.2.5");
        const auto series = addSeries(study, "1.2.5.1", 1);
        for (int i = 0; i < count; ++i)
            addImage(series, "1.2.5", "1.2.5.1." + std::to_string(i + 1), count - i,
                     QString("10:%1:00").arg(i, 2, 10, QChar('0')).toStdString(), 16, 12);
    }
    MainForm& open() {
        form_ = std::make_unique<MainForm>();
        form_->Form_Load();
        form_->UpdateTimer()->stop();
        form_->resize(1200, 900);
        form_->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(form_.get()));
        return *form_;
    }
    void clickStudy(MainForm& f) {
        clickItem(f.lvPatients(), f.lvPatients()->itemAtPosition(1));
        clickItem(f.lvStudien(), f.lvStudien()->itemAtPosition(1));
    }
    QPoint cellCentre(MainForm& f, int cell) {
        const QSize size = f.dv1()->cellSize();
        const int col = cell % f.dv1()->columns();
        const int row = cell / f.dv1()->columns();
        return {col * size.width() + size.width() / 2, row * size.height() + size.height() / 2};
    }
    std::unique_ptr<MainForm> form_;
};

TEST_F(ViewerTest, ExportButtonsOpenTheExportWindowOnlyWithImagesLoaded) {
    makeStudy(3);
    auto& f = open();
    op_.answer(MsgResult::OK);
    f.findChild<QAction*>("Toolbar1_eJPEG")->trigger();
    EXPECT_EQ(op_.messages(), QStringList{"No images loaded into viewport."});
    clickStudy(f);
    ASSERT_EQ(loadedImageSet().size(), 3u);
    QString title;
    op_.answerWindow([&](QDialog& window) {
        title = window.windowTitle();
        return int(QDialog::Rejected);
    });
    f.findChild<QAction*>("Toolbar1_eDICOM")->trigger();
    EXPECT_EQ(title, "Export DICOM");
    EXPECT_TRUE(op_.unexpected().empty());
}

TEST_F(ViewerTest, UnreadableFileAmongFiveIsLoggedAndSkipped) {
    makeStudy(5);
    corva::test::writeFile(folder_->images() / "1.2.5" / "1.2.5.1.3.dcm", "this is no DICOM file");
    auto& f = open();
    clickStudy(f);
    EXPECT_EQ(f.dv1()->count(), 4);
    EXPECT_EQ(f.panelText(4), "4 image(s)");
    EXPECT_FALSE(f.pbLoad()->isVisible());
    EXPECT_FALSE(stationContext().refreshLock);
    EXPECT_TRUE(op_.shown().empty());
    const std::string log = errorLog();
    const auto first = log.find("MainForm LoadStudy (READ_ERROR)");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(log.find("MainForm LoadStudy (READ_ERROR)", first + 1), std::string::npos);
    EXPECT_NE(log.find("1.2.5.1.3.dcm"), std::string::npos) << "the log names the file: " << log;
    EXPECT_EQ(log.find("/proc/self/fd"), std::string::npos) << log;
    EXPECT_EQ(f.lvImages()->count(), 5);  // the list still names every image
    // Viewer order follows ImageNr: the last inserted image comes first.
    EXPECT_EQ(f.dv1()->image(1)->sopInstanceUid(), "1.2.5.1.5");
    EXPECT_TRUE(waitFor([&] { return f.dv1()->lastPaintedImages() == 4; }));
}

TEST_F(ViewerTest, NoRefreshWhileAStudyLoads) {
    makeStudy(5);
    auto& f = open();
    clickItem(f.lvPatients(), f.lvPatients()->itemAtPosition(1));
    addReceiveRow();
    int ticksDuringLoad = 0;
    std::int64_t rowsAfterTick = -1;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        if (!stationContext().refreshLock) return;
        ++ticksDuringLoad;
        f.UpdateTimer_Timer();  // the timer fires while the load lets window messages run
        rowsAfterTick = countRows("tblReceive");
    });
    tick.start(0);
    clickItem(f.lvStudien(), f.lvStudien()->itemAtPosition(1));
    tick.stop();
    ASSERT_GT(ticksDuringLoad, 0);
    EXPECT_EQ(rowsAfterTick, 1);
    EXPECT_EQ(f.dv1()->count(), 5);  // the refresh would have emptied the viewer
    f.UpdateTimer_Timer();
    EXPECT_EQ(countRows("tblReceive"), 0);
}

TEST_F(ViewerTest, AStudyClickedDuringALoadReplacesIt) {
    makeStudy(6);
    const auto other = addStudy(1, "1.2.7");
    addImage(addSeries(other, "1.2.7.1", 1), "1.2.7", "1.2.7.1.1", 1, "11:00:00", 16, 12);
    auto& f = open();
    clickItem(f.lvPatients(), f.lvPatients()->itemAtPosition(1));
    ASSERT_EQ(f.lvStudien()->count(), 2);
    auto* first = f.lvStudien()->findItems("1", Qt::MatchExactly).value(0);
    auto* second = f.lvStudien()->findItems(QString::number(other), Qt::MatchExactly).value(0);
    ASSERT_TRUE(first && second);
    bool clicked = false;
    QTimer::singleShot(0, [&] {
        clicked = true;
        clickItem(f.lvStudien(), second);
    });
    clickItem(f.lvStudien(), first);
    ASSERT_TRUE(clicked);
    ASSERT_EQ(f.dv1()->count(), 1);
    EXPECT_EQ(f.dv1()->image(1)->sopInstanceUid(), "1.2.7.1.1");
    EXPECT_EQ(loadedImageSet().size(), 1u);
    EXPECT_EQ(f.panelText(4), "1 image(s)");
    EXPECT_FALSE(stationContext().refreshLock);
    // The image list and the selection follow the study shown, not the one replaced.
    ASSERT_EQ(f.lvImages()->count(), 1);
    EXPECT_EQ(f.lvImages()->itemAtPosition(1)->text(3), "1.2.7.1.1");
    EXPECT_EQ(stationContext().selection.studyUid, "1.2.7");
    EXPECT_EQ(stationContext().selection.loadedLevel, "Studie");
}

TEST_F(ViewerTest, AnotherPatientChosenDuringALoadLeavesTheViewerEmpty) {
    makeStudy(6);
    const auto other = addPatient("P2", "Zweit", "Berta");
    addStudy(other, "1.2.8");
    auto& f = open();
    clickItem(f.lvPatients(), f.lvPatients()->findItems("P1", Qt::MatchExactly).value(0));
    bool clicked = false;
    QTimer::singleShot(0, [&] {
        clicked = true;
        clickItem(f.lvPatients(), f.lvPatients()->findItems("P2", Qt::MatchExactly).value(0));
    });
    clickItem(f.lvStudien(), f.lvStudien()->itemAtPosition(1));
    ASSERT_TRUE(clicked);
    EXPECT_EQ(stationContext().selection.patientKey, other);
    EXPECT_EQ(f.lvStudien()->count(), 1);
    EXPECT_EQ(f.dv1()->count(), 0);  // the reset view is not refilled by the load it cut short
    EXPECT_EQ(f.lvImages()->count(), 0);
    EXPECT_FALSE(f.pbLoad()->isVisible());
    EXPECT_FALSE(stationContext().refreshLock);
    EXPECT_TRUE(op_.shown().empty());
}

TEST_F(ViewerTest, TheSamePatientClickedDuringALoadLetsItFinish) {
    makeStudy(6);
    auto& f = open();
    clickItem(f.lvPatients(), f.lvPatients()->itemAtPosition(1));
    bool clicked = false;
    QTimer::singleShot(0, [&] {
        clicked = true;  // refills the study list under the load
        clickItem(f.lvPatients(), f.lvPatients()->itemAtPosition(1));
    });
    clickItem(f.lvStudien(), f.lvStudien()->itemAtPosition(1));
    ASSERT_TRUE(clicked);
    EXPECT_EQ(f.dv1()->count(), 6);
    EXPECT_EQ(f.lvImages()->count(), 6);
    EXPECT_EQ(stationContext().selection.studyUid, "1.2.5");
    EXPECT_FALSE(stationContext().refreshLock);
}

TEST_F(ViewerTest, StudyWithoutImagesSaysSo) {
    addStudy(addPatient("P1", "Muster", "Anna"), "1.2.6");
    auto& f = open();
    clickStudy(f);
    EXPECT_EQ(op_.messages(), QStringList{"No images found!"});
    EXPECT_EQ(op_.shown().at(0).icon, MsgIcon::Critical);
    EXPECT_EQ(f.dv1()->count(), 0);
    EXPECT_FALSE(stationContext().refreshLock);  // the next tick may refresh again
    addReceiveRow();
    f.UpdateTimer_Timer();
    EXPECT_EQ(countRows("tblReceive"), 0);
}

TEST_F(ViewerTest, KeysAndScrollBarOnTheDefaultGrid) {
    makeStudy(22);
    auto& f = open();
    clickStudy(f);
    ASSERT_EQ(f.dv1()->count(), 22);
    EXPECT_TRUE(f.dv1_vscroll()->isEnabled());
    EXPECT_EQ(f.dv1_vscroll()->maximum(), 1);
    f.dv1()->setFocus();
    QTest::keyClick(f.dv1(), Qt::Key_PageDown);
    EXPECT_EQ(f.dv1()->topIndex(), 1);
    QTest::keyClick(f.dv1(), Qt::Key_Down);
    EXPECT_EQ(f.dv1()->topIndex(), 2);
    QTest::keyClick(f.dv1(), Qt::Key_Left);
    EXPECT_EQ(f.dv1()->topIndex(), 1);
    QTest::keyClick(f.dv1(), Qt::Key_Right);
    EXPECT_EQ(f.dv1()->topIndex(), 2);
    EXPECT_EQ(f.dv1_vscroll()->value(), 0);  // the bar shows the top image's row
    f.dv1_vscroll()->setValue(1);
    EXPECT_EQ(f.dv1()->topIndex(), 4);
}

TEST_F(ViewerTest, ScrollBarOnATwoByTwoGrid) {
    makeStudy(10);
    auto& f = open();
    settings::current().viewerColumns = 2;
    settings::current().viewerRows = 2;
    settings::current().imagesPerPage = 4;
    f.ApplyViewerSettings();
    clickStudy(f);
    EXPECT_EQ(f.dv1()->columns(), 2);
    EXPECT_EQ(f.dv1_vscroll()->maximum(), 3);
    f.dv1_vscroll()->setValue(2);
    EXPECT_EQ(f.dv1()->topIndex(), 5);
    f.dv1()->setFocus();
    QTest::keyClick(f.dv1(), Qt::Key_PageDown);
    EXPECT_EQ(f.dv1()->topIndex(), 9);
    QTest::keyClick(f.dv1(), Qt::Key_PageUp);
    EXPECT_EQ(f.dv1()->topIndex(), 5);
    EXPECT_EQ(f.dv1_vscroll()->value(), 2);  // the bar follows the keys
    // The wheel moves a row per step, the bar with it.
    QWheelEvent down(QPointF(10, 10), f.dv1()->mapToGlobal(QPointF(10, 10)), {}, QPoint(0, -240), Qt::NoButton,
                     Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(f.dv1(), &down);
    EXPECT_EQ(f.dv1()->topIndex(), 7);
    EXPECT_EQ(f.dv1_vscroll()->value(), 3);
    QWheelEvent up(QPointF(10, 10), f.dv1()->mapToGlobal(QPointF(10, 10)), {}, QPoint(0, 120), Qt::NoButton,
                   Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(f.dv1(), &up);
    EXPECT_EQ(f.dv1()->topIndex(), 6);
    QApplication::sendEvent(f.dv1(), &up);
    QApplication::sendEvent(f.dv1(), &up);
    EXPECT_EQ(f.dv1()->topIndex(), 4);
    QTest::keyClick(f.dv1(), Qt::Key_PageDown);
    EXPECT_EQ(f.dv1()->topIndex(), 8);
    QTest::keyClick(f.dv1(), Qt::Key_PageUp);
    EXPECT_EQ(f.dv1()->topIndex(), 4);
    QTest::keyClick(f.dv1(), Qt::Key_Down);
    EXPECT_EQ(f.dv1()->topIndex(), 5);
    // A click now hits the images from 5 on.
    QTest::mouseClick(f.dv1(), Qt::LeftButton, {}, cellCentre(f, 0));
    EXPECT_EQ(f.SelectedImageIndex(), 5);
}

TEST_F(ViewerTest, ClickingAnImageSelectsItsListEntry) {
    makeStudy(5);
    auto& f = open();
    clickStudy(f);
    ASSERT_EQ(f.dv1()->count(), 5);
    QTest::mouseClick(f.dv1(), Qt::LeftButton, {}, cellCentre(f, 1));
    ASSERT_TRUE(f.CurrentImage());
    EXPECT_EQ(f.SelectedImageIndex(), 2);
    EXPECT_EQ(f.panelText(3), "Sel. image #: 2");
    EXPECT_TRUE(f.dv1()->framed(2));
    auto* selected = f.lvImages()->selectedItem();
    ASSERT_NE(selected, nullptr);
    EXPECT_EQ(selected->text(3).toStdString(), f.CurrentImage()->sopInstanceUid());
    EXPECT_NE(f.lvImages()->positionOf(selected), 2);  // the list is ordered otherwise

    // The current image again: left changes nothing, right opens the delete menu.
    QTest::mouseClick(f.dv1(), Qt::LeftButton, {}, cellCentre(f, 1));
    EXPECT_EQ(f.lastPopup(), nullptr);
    QTest::mouseClick(f.dv1(), Qt::RightButton, {}, cellCentre(f, 1));
    EXPECT_EQ(f.lastPopup(), f.Popup_Dicom());
    f.Popup_Dicom()->close();

    // A list entry selects its image; the marker moves.
    auto* entry = f.lvImages()->itemAtPosition(1);
    clickItem(f.lvImages(), entry);
    EXPECT_EQ(f.CurrentImage()->sopInstanceUid(), entry->text(3).toStdString());
    EXPECT_FALSE(f.dv1()->framed(2));
    EXPECT_TRUE(f.dv1()->framed(f.SelectedImageIndex()));

    // A click beside the images does nothing.
    const int before = f.SelectedImageIndex();
    QTest::mouseClick(f.dv1(), Qt::LeftButton, {}, cellCentre(f, 20));
    EXPECT_EQ(f.SelectedImageIndex(), before);
}

// Every load forgets the current image: "Manually" must never convert an image of the
// load before, and the frame and status text must not name one.
TEST_F(ViewerTest, EveryLoadForgetsTheCurrentImage) {
    makeStudy(3);
    const auto other = addStudy(1, "1.2.7");
    const auto otherSeries = addSeries(other, "1.2.7.1", 1);
    addImage(otherSeries, "1.2.7", "1.2.7.1.1", 1, "11:00:00", 16, 12);
    addImage(otherSeries, "1.2.7", "1.2.7.1.2", 2, "11:01:00", 16, 12);
    auto& f = open();
    clickItem(f.lvPatients(), f.lvPatients()->itemAtPosition(1));
    auto* first = f.lvStudien()->findItems("1", Qt::MatchExactly).value(0);
    auto* second = f.lvStudien()->findItems(QString::number(other), Qt::MatchExactly).value(0);
    ASSERT_TRUE(first && second);
    const auto selectSecondImage = [&] {
        QTest::mouseClick(f.dv1(), Qt::LeftButton, {}, cellCentre(f, 1));
        ASSERT_TRUE(f.CurrentImage());
        ASSERT_EQ(f.panelText(3), "Sel. image #: 2");
    };
    const auto nothingCurrent = [&](const char* after) {
        EXPECT_FALSE(f.CurrentImage()) << after;
        EXPECT_EQ(f.SelectedImageIndex(), 0) << after;
        EXPECT_EQ(f.panelText(3), "") << after;
        for (int pos = 1; pos <= f.dv1()->count(); ++pos) EXPECT_FALSE(f.dv1()->framed(pos)) << after << pos;
    };

    clickItem(f.lvStudien(), first);
    ASSERT_EQ(f.dv1()->count(), 3);
    selectSecondImage();
    clickItem(f.lvStudien(), second);  // another study
    ASSERT_EQ(f.dv1()->count(), 2);
    nothingCurrent("study load");

    selectSecondImage();
    f.lvStudien()->setCurrentItem(second);
    f.PopUpStudie_SeriesWindow_Click();
    f.lvSerien()->setCurrentItem(f.lvSerien()->itemAtPosition(2));
    f.lvSerien_DblClick();  // a series
    ASSERT_TRUE(waitFor([] { return StudyLoader::runningLoads() == 0; }));
    ASSERT_EQ(f.dv1()->count(), 2);
    nothingCurrent("series load");

    // Selecting again works as before.
    selectSecondImage();
    EXPECT_TRUE(f.dv1()->framed(2));
}

// A closer look: a double click shows the image alone and makes it the current one;
// the wheel zooms up to 1:1, a right drag pans, a left drag changes the window, R resets,
// Page Down goes to the next image (the current one with it), Esc back to all images.
TEST_F(ViewerTest, ADoubleClickedImageShowsAloneForACloserLook) {
    const auto study = addStudy(addPatient("P1", "Muster", "Anna"), "1.2.6");
    const auto series = addSeries(study, "1.2.6.1", 1);
    for (int i = 1; i <= 3; ++i) addImage(series, "1.2.6", "1.2.6.1." + std::to_string(i), i, "10:00:00", 1600, 1200);
    auto& f = open();
    clickStudy(f);
    ASSERT_EQ(f.dv1()->count(), 3);
    DicomViewer* v = f.dv1();
    const int second = 2;
    QPoint secondAt;
    for (int y = 5; y < v->height() && secondAt.isNull(); y += 10)
        for (int x = 5; x < v->width() && secondAt.isNull(); x += 10)
            if (v->positionAt({x, y}) == second) secondAt = {x, y};
    ASSERT_FALSE(secondAt.isNull());
    QTest::mouseClick(v, Qt::LeftButton, {}, secondAt);
    QTest::mouseDClick(v, Qt::LeftButton, {}, secondAt);
    ASSERT_EQ(v->singlePosition(), second);
    EXPECT_EQ(f.SelectedImageIndex(), second);
    EXPECT_TRUE(v->hasFocus());
    const CloseLook& look = v->closeLook();
    EXPECT_TRUE(look.fitted());
    EXPECT_EQ(look.imageSize(), QSize(1200, 1600));
    EXPECT_TRUE(waitFor([&] { return v->lastPaintedImages() == 1; }));
    EXPECT_EQ(v->positionAt({1, 1}), second);

    const auto wheel = [&](int steps) {
        QWheelEvent e(QPointF(v->width() / 2.0, v->height() / 2.0), v->mapToGlobal(QPointF(v->width() / 2.0, v->height() / 2.0)),
                      {}, QPoint(0, 120 * steps), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(v, &e);
    };
    wheel(30);
    EXPECT_DOUBLE_EQ(look.scale(), 1.0);
    EXPECT_EQ(look.renderSize(), QSize(1200, 1600));
    EXPECT_TRUE(waitFor([&] { return v->lastPaintedImages() == 1; }));  // the 1:1 rendering is drawn
    const QRectF before = look.sourceRect();
    QTest::mousePress(v, Qt::RightButton, {}, {200, 200});
    QTest::mouseMove(v, {150, 230});
    QTest::mouseRelease(v, Qt::RightButton, {}, {150, 230});
    EXPECT_DOUBLE_EQ(look.sourceRect().x(), before.x() + 50);
    EXPECT_DOUBLE_EQ(look.sourceRect().y(), before.y() - 30);
    EXPECT_TRUE(!f.lastPopup() || !f.lastPopup()->isVisible()) << "a drag opens no menu";

    ASSERT_TRUE(waitFor([&] { return look.window().has_value(); }));  // found on a decode thread
    const auto own = look.window();
    QTest::mousePress(v, Qt::LeftButton, {}, {100, 100});
    QTest::mouseMove(v, {228, 100});
    QTest::mouseRelease(v, Qt::LeftButton, {}, {228, 100});
    ASSERT_TRUE(look.window());
    EXPECT_GT(look.window()->width, own->width);
    EXPECT_TRUE(look.windowChanged());
    EXPECT_TRUE(waitFor([&] { return v->lastPaintedImages() == 1; }));  // rendered through the new window
    QTest::keyClick(v, Qt::Key_R);
    EXPECT_TRUE(look.fitted());
    EXPECT_FALSE(look.windowChanged());

    QTest::keyClick(v, Qt::Key_PageDown);
    EXPECT_EQ(v->singlePosition(), 3);
    EXPECT_EQ(f.SelectedImageIndex(), 3) << "the image shown alone is the current one";
    EXPECT_EQ(f.lvImages()->selectedItem()->text(3), QString::fromStdString(v->image(3)->sopInstanceUid()));
    QTest::keyClick(v, Qt::Key_PageDown);
    EXPECT_EQ(v->singlePosition(), 3);  // the last one stays
    QTest::keyClick(v, Qt::Key_Escape);
    EXPECT_EQ(v->singlePosition(), 0);
    EXPECT_EQ(f.SelectedImageIndex(), 3);
    EXPECT_TRUE(v->hanging().active());  // the hanging of three images again
}

// While an image is shown alone, another image chosen in the image list (click or arrow
// key) is shown alone in its place: the shown image and the current one never differ,
// or "Manually" would forward an image she is not looking at.
TEST_F(ViewerTest, AnImageChosenInTheListWhileOneIsShownAloneIsShownInItsPlace) {
    makeStudy(3);
    auto& f = open();
    clickStudy(f);
    ASSERT_EQ(f.dv1()->count(), 3);
    DicomViewer* v = f.dv1();
    v->showSingle(1);
    ASSERT_EQ(f.SelectedImageIndex(), 1);
    const auto shownIsCurrent = [&](const char* after) {
        ASSERT_TRUE(f.CurrentImage()) << after;
        ASSERT_GE(v->singlePosition(), 1) << after;
        EXPECT_EQ(v->image(v->singlePosition())->sopInstanceUid(), f.CurrentImage()->sopInstanceUid()) << after;
        EXPECT_EQ(v->singlePosition(), f.SelectedImageIndex()) << after;
    };
    for (int row = 1; row <= f.lvImages()->count(); ++row) {
        auto* entry = f.lvImages()->itemAtPosition(row);
        if (entry->text(3).toStdString() == f.CurrentImage()->sopInstanceUid()) continue;
        clickItem(f.lvImages(), entry);
        ASSERT_EQ(f.CurrentImage()->sopInstanceUid(), entry->text(3).toStdString());
        shownIsCurrent("list click");
        break;
    }
    f.lvImages()->setFocus();
    const int before = f.SelectedImageIndex();
    QTest::keyClick(f.lvImages(), f.lvImages()->currentIndex().row() == 0 ? Qt::Key_Down : Qt::Key_Up);
    ASSERT_NE(f.SelectedImageIndex(), before);
    shownIsCurrent("arrow key in the list");
}

TEST_F(ViewerTest, RenderingIsCachedPerSize) {
    makeStudy(3);
    auto& f = open();
    clickStudy(f);
    ASSERT_EQ(f.dv1()->count(), 3);
    const auto& image = f.dv1()->image(1);
    const QImage first = image->cachedFor(f.dv1()->cellSize());
    ASSERT_FALSE(first.isNull());
    f.dv1()->repaint();
    EXPECT_EQ(image->cachedFor(f.dv1()->cellSize()).cacheKey(), first.cacheKey());  // not rendered again
    f.resize(900, 700);
    EXPECT_TRUE(waitFor([&] {
        return !image->cachedFor(f.dv1()->cellSize()).isNull() && f.dv1()->lastPaintedImages() == 3;
    }));
}

// The closer look's own window may need every pixel of the image (no window in the
// header: the range of its values): it is found on a decode thread, so showing the image
// alone returns at once; at 1:1 the look shows every stored pixel as the toolkit renders it.
TEST_F(ViewerTest, TheCloserLookFindsItsWindowOffTheInterfaceThreadAndShowsEveryPixelAtOneToOne) {
    const auto study = addStudy(addPatient("P1", "Muster", "Anna"), "1.2.7");
    const auto series = addSeries(study, "1.2.7.1", 1);
    for (int i = 1; i <= 2; ++i) addImage(series, "1.2.7", "1.2.7.1." + std::to_string(i), i, "10:00:00", 1600, 1200);
    const auto file = folder_->images() / "1.2.7" / "1.2.7.1.1.dcm";
    auto& f = open();
    clickStudy(f);
    ASSERT_EQ(f.dv1()->count(), 2);
    DicomViewer* v = f.dv1();
    const CloseLook& look = v->closeLook();
    v->showSingle(1);
    EXPECT_FALSE(look.window()) << "found on the user-interface thread";
    ASSERT_TRUE(waitFor([&] { return look.window().has_value() && v->lastPaintedImages() == 1; }));
    EXPECT_EQ(*look.window(), *dicom::Image::read(file).displayWindow());

    QTest::keyClick(v, Qt::Key_1);
    ASSERT_DOUBLE_EQ(look.scale(), 1.0);
    ASSERT_TRUE(waitFor([&] { return v->closeLookPicture().size() == QSize(1200, 1600); }));
    EXPECT_EQ(v->closeLookPicture(), toQImage(dicom::Image::read(file).render()));
    EXPECT_TRUE(waitFor([&] { return v->lastPaintedImages() == 1; }));
}

// Loaded images keep their files open: moved or deleted afterwards, they still render
// at a new size, as images held in memory did.
TEST_F(ViewerTest, LoadedImagesStillRenderAfterTheirFilesAreGone) {
    makeStudy(3);
    auto& f = open();
    clickStudy(f);
    ASSERT_EQ(f.dv1()->count(), 3);
    const auto first = folder_->images() / "1.2.5" / (f.dv1()->image(1)->sopInstanceUid() + ".dcm");
    const dicom::Image kept = dicom::Image::read(first);  // whole, in memory
    std::filesystem::remove_all(folder_->images() / "1.2.5");
    const QSize before = f.dv1()->cellSize();
    f.resize(900, 700);
    ASSERT_TRUE(waitFor([&] { return f.dv1()->cellSize() != before; }));
    EXPECT_TRUE(waitFor([&] {
        for (int position = 1; position <= 3; ++position)
            if (f.dv1()->image(position)->cachedFor(f.dv1()->cellSize()).isNull()) return false;
        return f.dv1()->lastPaintedImages() == 3;
    }));
    const QSize cell = f.dv1()->cellSize();
    EXPECT_EQ(f.dv1()->image(1)->cachedFor(cell), toQImage(kept.render(cell.width(), cell.height())));
}

}  // namespace
}  // namespace corva::station::test
