#include <gtest/gtest.h>

#include "viewer/viewer_paging.h"

namespace corva::station {
namespace {

TEST(RoundUp, SmallestWholeNumberNotBelow) {
    EXPECT_EQ(RoundUp(0.0), 0);
    EXPECT_EQ(RoundUp(1.0 / 3.0), 1);
    EXPECT_EQ(RoundUp(0.5), 1);  // rounds to 0 (half to even), below 0.5: plus one
    EXPECT_EQ(RoundUp(2.5), 3);
    EXPECT_EQ(RoundUp(3.0), 3);
    EXPECT_EQ(RoundUp(3.5), 4);
}

struct KeyCase {
    int columns, rows, count, top, key, expectedTop;
};

void PrintTo(const KeyCase& c, std::ostream* os) {
    *os << c.rows << "x" << c.columns << " grid, " << c.count << " images, top " << c.top << ", key " << c.key;
}

class ViewerKeys : public ::testing::TestWithParam<KeyCase> {};

TEST_P(ViewerKeys, MoveTheTopIndex) {
    const auto c = GetParam();
    ViewerPaging paging(c.columns, c.rows);
    paging.setCount(c.count);
    paging.setTop(c.top);
    paging.key(c.key);
    EXPECT_EQ(paging.top(), c.expectedTop);
}

INSTANTIATE_TEST_SUITE_P(
    Grids, ViewerKeys,
    ::testing::Values(
        // 7 x 3 (21 per page), 22 images
        KeyCase{3, 7, 22, 1, vk::PageDown, 1},  // 1 + 21 is not below 22
        KeyCase{3, 7, 22, 1, vk::Down, 2}, KeyCase{3, 7, 22, 2, vk::Down, 2},  // 2 + 20 is not below 22
        KeyCase{3, 7, 22, 1, vk::Right, 2}, KeyCase{3, 7, 22, 2, vk::Left, 1}, KeyCase{3, 7, 22, 2, vk::Up, 1},
        KeyCase{3, 7, 22, 1, vk::Up, 1}, KeyCase{3, 7, 22, 2, vk::PageUp, 1},
        // 7 x 3 with 21 images: a full page, nothing moves
        KeyCase{3, 7, 21, 1, vk::Down, 1}, KeyCase{3, 7, 21, 1, vk::Right, 1}, KeyCase{3, 7, 21, 1, vk::PageDown, 1},
        // 7 x 3 with 50 images
        KeyCase{3, 7, 50, 1, vk::PageDown, 22}, KeyCase{3, 7, 50, 22, vk::PageDown, 43},
        KeyCase{3, 7, 50, 43, vk::PageDown, 43}, KeyCase{3, 7, 50, 43, vk::PageUp, 22},
        KeyCase{3, 7, 50, 22, vk::PageUp, 1}, KeyCase{3, 7, 50, 1, vk::Right, 30}, KeyCase{3, 7, 50, 30, vk::Down, 30},
        // 2 x 2 (4 per page), 10 images
        KeyCase{2, 2, 10, 1, vk::PageDown, 5}, KeyCase{2, 2, 10, 5, vk::PageDown, 9},
        KeyCase{2, 2, 10, 9, vk::PageDown, 9}, KeyCase{2, 2, 10, 9, vk::PageUp, 5}, KeyCase{2, 2, 10, 1, vk::Right, 7},
        KeyCase{2, 2, 10, 7, vk::Down, 7}, KeyCase{2, 2, 10, 6, vk::Down, 7}, KeyCase{2, 2, 10, 7, vk::Left, 1},
        // other keys do nothing
        KeyCase{2, 2, 10, 5, 13, 5}, KeyCase{2, 2, 10, 5, 36, 5}));

struct ScrollCase {
    int columns, rows, count;
    bool enabled;
    int maximum;
};

void PrintTo(const ScrollCase& c, std::ostream* os) {
    *os << c.rows << "x" << c.columns << " grid, " << c.count << " images";
}

class ViewerScrollBar : public ::testing::TestWithParam<ScrollCase> {};

TEST_P(ViewerScrollBar, CountsRowsBeyondTheFirstPage) {
    const auto c = GetParam();
    ViewerPaging paging(c.columns, c.rows);
    paging.setCount(c.count);
    const auto setup = paging.scrollBar();
    EXPECT_EQ(setup.enabled, c.enabled);
    if (c.enabled) {
        EXPECT_EQ(setup.maximum, c.maximum);
    }
}

INSTANTIATE_TEST_SUITE_P(Grids, ViewerScrollBar,
                         ::testing::Values(ScrollCase{3, 7, 22, true, 1}, ScrollCase{3, 7, 21, true, 0},
                                           ScrollCase{3, 7, 20, false, 0}, ScrollCase{3, 7, 0, false, 0},
                                           ScrollCase{3, 7, 25, true, 2}, ScrollCase{2, 2, 10, true, 3},
                                           ScrollCase{2, 2, 4, true, 0}, ScrollCase{2, 2, 3, false, 0}));

TEST(ViewerScrollBar, ValueSetsTheTopRow) {
    ViewerPaging paging(2, 2);
    paging.setCount(10);
    paging.scrolledTo(2);
    EXPECT_EQ(paging.top(), 5);
}

TEST(ViewerClickRule, DecidesByPositionAndCurrentImage) {
    EXPECT_EQ(decideViewerClick(0, 5, false), ViewerClick::Nothing);
    EXPECT_EQ(decideViewerClick(6, 5, false), ViewerClick::Nothing);
    EXPECT_EQ(decideViewerClick(3, 5, true), ViewerClick::CurrentAgain);
    EXPECT_EQ(decideViewerClick(3, 5, false), ViewerClick::Select);
}

}  // namespace
}  // namespace corva::station
