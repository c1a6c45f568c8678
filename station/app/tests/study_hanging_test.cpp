// How a loaded study hangs: the plan for a 4-view mammography study (order, toward the
// middle, mirrored by the rows' direction), a compact grid for a few other images, and
// the viewer showing and hit-testing the hanging.
#include <gtest/gtest.h>

#include "app/study_hanging.h"
#include "viewer/dicom_viewer.h"

namespace corva::station::test {
namespace {

using dose::Projection;
using dose::Side;
using dose::View;

HungImage hung(Side side, View view, const char* rows = "") { return {Projection{side, view}, rows}; }

TEST(StudyHanging, FourViewsHangRccLccOverRmloLmloWithTheChestWallsToTheMiddle) {
    // Listed in the reader's order: L MLO, R CC, L CC, R MLO; the rows of the first right
    // view run toward anterior (its chest wall would face outward), the others as hung.
    const Hanging h = planStudyHanging({hung(Side::Left, View::MLO, "A"), hung(Side::Right, View::CC, "A"),
                                        hung(Side::Left, View::CC, "P"), hung(Side::Right, View::MLO, "P")});
    ASSERT_TRUE(h.active());
    EXPECT_EQ(h.columns, 2);
    EXPECT_EQ(h.rows, 2);
    ASSERT_EQ(h.cells.size(), 4u);
    struct Expected {
        int position;
        Qt::Alignment side;
        bool mirrored;
    };
    const Expected expected[] = {{2, Qt::AlignRight, true}, {3, Qt::AlignLeft, true},
                                 {4, Qt::AlignRight, false}, {1, Qt::AlignLeft, false}};
    for (std::size_t c = 0; c < 4; ++c) {
        EXPECT_EQ(h.cells[c].position, expected[c].position) << c;
        EXPECT_TRUE(h.cells[c].align & expected[c].side) << c;
        EXPECT_EQ(h.cells[c].mirrored, expected[c].mirrored) << c;
    }
    // Rows of unknown direction are shown as stored.
    const Hanging plain = planStudyHanging({hung(Side::Right, View::CC), hung(Side::Left, View::CC),
                                            hung(Side::Right, View::MLO, "F"), hung(Side::Left, View::MLO)});
    for (const auto& cell : plain.cells) EXPECT_FALSE(cell.mirrored);
}

TEST(StudyHanging, OtherStudiesFillACompactGridOrKeepTheConfiguredOne) {
    struct Case {
        std::vector<HungImage> images;
        int columns, rows;  // 0, 0: the configured grid
    };
    const std::vector<Case> cases = {
        {{hung(Side::Right, View::CC)}, 1, 1},
        {{hung(Side::Right, View::CC), hung(Side::Left, View::CC)}, 2, 1},
        {{{}, {}, {}}, 2, 2},
        // four images but not the four views (a retake): in their order, nothing mirrored
        {{hung(Side::Right, View::CC, "A"), hung(Side::Right, View::CC), hung(Side::Left, View::CC),
          hung(Side::Right, View::MLO)},
         2, 2},
        {{{}, {}, {}, {}, {}}, 0, 0},
        {{}, 0, 0},
    };
    for (const Case& c : cases) {
        const Hanging h = planStudyHanging(c.images);
        EXPECT_EQ(h.columns, c.columns) << c.images.size();
        EXPECT_EQ(h.rows, c.rows) << c.images.size();
        if (!h.active()) continue;
        for (std::size_t i = 0; i < h.cells.size(); ++i) {
            EXPECT_EQ(h.cells[i].position, static_cast<int>(i) + 1);
            EXPECT_FALSE(h.cells[i].mirrored);
        }
    }
}

// The viewer shows a hanging in its cells and finds the image under a point by it.
TEST(StudyHanging, TheViewerHitsAndSizesTheCellsOfTheHanging) {
    DicomViewer viewer;
    viewer.resize(800, 600);
    viewer.setGrid(3, 7);
    for (int i = 0; i < 4; ++i) viewer.add(std::make_shared<LoadedImage>(dicom::Image(), std::filesystem::path()));
    EXPECT_EQ(viewer.cellSize(), QSize(800 / 3, 600 / 7));
    Hanging h;
    h.columns = 2;
    h.rows = 2;
    h.cells = {{3}, {1}, {4}, {2}};
    viewer.setHanging(h);
    EXPECT_EQ(viewer.cellSize(), QSize(400, 300));
    EXPECT_EQ(viewer.positionAt({10, 10}), 3);
    EXPECT_EQ(viewer.positionAt({410, 10}), 1);
    EXPECT_EQ(viewer.positionAt({10, 310}), 4);
    EXPECT_EQ(viewer.positionAt({790, 590}), 2);
    EXPECT_EQ(viewer.positionAt({801, 10}), 0);
    viewer.clear();
    EXPECT_FALSE(viewer.hanging().active());
    EXPECT_EQ(viewer.cellSize(), QSize(800 / 3, 600 / 7));
}

}  // namespace
}  // namespace corva::station::test
