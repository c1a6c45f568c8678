#include "viewer/viewer_paging.h"

#include <cmath>

namespace corva::station {

int RoundUp(double x) {
    double r = std::nearbyint(x);  // the default rounding mode rounds halves to even
    if (r < x) r += 1;
    return static_cast<int>(r);
}

bool ViewerPaging::key(int virtualKey) {
    const int before = top_;
    const int n = count_;
    const int p = imagesPerPage();
    switch (virtualKey) {
        case vk::PageUp: top_ = (top_ - p > 1) ? top_ - p : 1; break;
        case vk::PageDown:
            if (top_ + p < n) top_ += p;
            break;
        case vk::Left:
            if (p < n) top_ = 1;
            break;
        case vk::Up:
            if (top_ > 1) top_ -= 1;
            break;
        case vk::Right:
            if (p < n) top_ = n - (p - 1);
            break;
        case vk::Down:
            if (p < n && top_ + p - 1 < n) top_ += 1;
            break;
        default: break;
    }
    return top_ != before;
}

ScrollBarSetup ViewerPaging::scrollBar() const {
    const int p = imagesPerPage();
    if (count_ >= 1 && count_ >= p && columns_ > 0)
        return {true, RoundUp(static_cast<double>(count_ - p) / columns_)};
    return {false, 0};
}

ViewerClick decideViewerClick(int position, int count, bool sameAsCurrent) {
    if (position <= 0 || position > count) return ViewerClick::Nothing;
    if (sameAsCurrent) return ViewerClick::CurrentAgain;
    return ViewerClick::Select;
}

}  // namespace corva::station
