#pragma once
// The viewer's paging rules: the top index (first image shown, 1-based), the keys that
// move it, the scroll bar set-up and what a click on the viewer does.
namespace corva::station {

// Windows virtual-key codes the viewer reacts to.
namespace vk {
inline constexpr int PageUp = 33;
inline constexpr int PageDown = 34;
inline constexpr int Left = 37;
inline constexpr int Up = 38;
inline constexpr int Right = 39;
inline constexpr int Down = 40;
}  // namespace vk

// The smallest whole number not below x (x >= 0): rounded half to even, plus one when below x.
int RoundUp(double x);

struct ScrollBarSetup {
    bool enabled = false;
    int maximum = 0;  // rows beyond the first page
};

class ViewerPaging {
public:
    ViewerPaging(int columns, int rows) : columns_(columns), rows_(rows) {}

    int columns() const { return columns_; }
    int rows() const { return rows_; }
    int imagesPerPage() const { return columns_ * rows_; }
    void setGrid(int columns, int rows) {
        columns_ = columns;
        rows_ = rows;
    }

    int count() const { return count_; }
    void setCount(int n) { count_ = n; }
    int top() const { return top_; }
    void setTop(int t) { top_ = t; }

    // Applies a key (virtual-key code); true when the top index changed.
    bool key(int virtualKey);
    ScrollBarSetup scrollBar() const;
    // The scroll bar's value moved (also while dragged).
    void scrolledTo(int value) { top_ = value * columns_ + 1; }

private:
    int columns_;
    int rows_;
    int count_ = 0;
    int top_ = 1;
};

// What a released mouse button over the viewer does.
enum class ViewerClick {
    Nothing,       // no image under the pointer
    CurrentAgain,  // the current image again: only the right button opens the menu
    Select,        // another image becomes the current one
};
ViewerClick decideViewerClick(int position, int count, bool sameAsCurrent);

}  // namespace corva::station
