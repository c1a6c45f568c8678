// The closer look's geometry: fitted to 1:1, the point under the pointer kept while
// zooming, panning that stops at the image's edges, the window dragged and reset.
#include "viewer/close_look.h"

#include <gtest/gtest.h>

namespace corva::station {
namespace {

constexpr QSize Mammogram(3328, 4096);
constexpr QSize View(800, 1000);

CloseLook look(std::optional<dicom::DisplayWindow> own = dicom::DisplayWindow{2000, 4000}) {
    CloseLook l;
    l.start(Mammogram, View, own);
    return l;
}

TEST(CloseLook, StartsFittedAndZoomsNoFurtherThanOneToOne) {
    CloseLook l = look();
    EXPECT_DOUBLE_EQ(l.scale(), 800.0 / 3328);  // the width bounds it
    EXPECT_TRUE(l.fitted());
    EXPECT_EQ(l.renderSize(), QSize(800, 985));
    EXPECT_EQ(l.sourceRect(), QRectF(0, 0, 3328, 4096));
    l.zoomBy(0.5, {400, 500});  // below fitted: stays fitted
    EXPECT_TRUE(l.fitted());
    for (int i = 0; i < 20; ++i) l.zoomBy(1.25, {400, 500});
    EXPECT_DOUBLE_EQ(l.scale(), 1.0);
    EXPECT_EQ(l.renderSize(), Mammogram);
    EXPECT_EQ(l.sourceRect().size(), QSizeF(800, 1000));
    EXPECT_EQ(l.targetRect(), QRectF(0, 0, 800, 1000));
    l.toggleOneToOne({0, 0});
    EXPECT_TRUE(l.fitted());
    l.toggleOneToOne({400, 500});
    EXPECT_DOUBLE_EQ(l.scale(), 1.0);

    // An image smaller than the view is fitted (enlarged) and zooms no further.
    CloseLook small;
    small.start(QSize(200, 100), View, std::nullopt);
    EXPECT_DOUBLE_EQ(small.scale(), 4.0);
    small.zoomBy(2, {0, 0});
    EXPECT_DOUBLE_EQ(small.scale(), 4.0);
    EXPECT_EQ(small.renderSize(), QSize(200, 100));  // the painter enlarges
}

TEST(CloseLook, TheImagePointUnderThePointerStaysUnderIt) {
    CloseLook l = look();
    l.zoomBy(2, {200, 300});  // first step: the fitted image is centred, every point shows
    const QPointF anchor(300, 700);
    const auto imagePointAt = [&l](QPointF viewPoint) {
        const QRectF s = l.sourceRect(), t = l.targetRect();
        return QPointF(s.x() + (viewPoint.x() - t.x()) / l.scale(), s.y() + (viewPoint.y() - t.y()) / l.scale());
    };
    const QPointF before = imagePointAt(anchor);
    l.zoomBy(1.5, anchor);
    const QPointF after = imagePointAt(anchor);
    EXPECT_NEAR(before.x(), after.x(), 1e-6);
    EXPECT_NEAR(before.y(), after.y(), 1e-6);
}

TEST(CloseLook, PanningStopsAtTheImagesEdges) {
    CloseLook l = look();
    l.panBy({100, 100});  // fitted: nothing to pan
    EXPECT_EQ(l.sourceRect(), QRectF(0, 0, 3328, 4096));
    l.toggleOneToOne({400, 500});
    const QRectF start = l.sourceRect();
    l.panBy({-50, 20});  // the image follows the pointer: left and down
    EXPECT_DOUBLE_EQ(l.sourceRect().x(), start.x() + 50);
    EXPECT_DOUBLE_EQ(l.sourceRect().y(), start.y() - 20);
    l.panBy({100000, 100000});
    EXPECT_EQ(l.sourceRect().topLeft(), QPointF(0, 0));
    l.panBy({-100000, -100000});
    EXPECT_EQ(l.sourceRect().bottomRight(), QPointF(3328, 4096));
    l.resize(QSize(4000, 5000));  // the view grew beyond the image at 1:1: centred
    EXPECT_EQ(l.sourceRect(), QRectF(0, 0, 3328, 4096));
}

TEST(CloseLook, WindowFollowsTheDragAndResetsToTheImagesOwn) {
    CloseLook l = look();
    EXPECT_FALSE(l.windowChanged());
    l.beginWindowDrag();
    l.windowDrag({128, -64});  // half a width wider, a quarter width lower centre
    ASSERT_TRUE(l.window());
    EXPECT_EQ(*l.window(), (dicom::DisplayWindow{1000, 6000}));
    l.windowDrag({-100000, 0});  // never narrower than one value
    EXPECT_EQ(l.window()->width, 1);
    EXPECT_TRUE(l.windowChanged());
    l.zoomBy(3, {0, 0});
    l.reset();
    EXPECT_TRUE(l.fitted());
    EXPECT_EQ(*l.window(), (dicom::DisplayWindow{2000, 4000}));
    EXPECT_FALSE(l.windowChanged());

    CloseLook colour = look(std::nullopt);  // no window to drag
    colour.beginWindowDrag();
    colour.windowDrag({50, 50});
    EXPECT_FALSE(colour.window());
}

}  // namespace
}  // namespace corva::station
