#include "app/study_hanging.h"

#include <array>

namespace corva::station {

namespace {

using dose::Side;
using dose::View;

// Whether the rows of an image of `side` must be mirrored for its chest wall (posterior)
// to face the middle: the right breast hangs left with the chest wall at its right edge,
// so its rows must run toward posterior; the left breast's toward anterior.
bool mirroredFor(Side side, const QString& rowDirection) {
    const QString first = rowDirection.trimmed().left(1).toUpper();
    if (first != "A" && first != "P") return false;  // unknown: shown as stored
    const QString wanted = side == Side::Right ? "P" : "A";
    return first != wanted;
}

}  // namespace

QSize hangingShape(std::size_t images) {
    if (images == 0 || images > 4) return {};
    return {images == 1 ? 1 : 2, images <= 2 ? 1 : 2};
}

Hanging planStudyHanging(const std::vector<HungImage>& images) {
    Hanging hanging;
    const std::array<dose::Projection, 4> order{{{Side::Right, View::CC},
                                                 {Side::Left, View::CC},
                                                 {Side::Right, View::MLO},
                                                 {Side::Left, View::MLO}}};
    if (images.size() == order.size()) {
        std::array<int, 4> at{};  // position of each view, 0 when missing
        bool fourViews = true;
        for (std::size_t i = 0; i < images.size() && fourViews; ++i) {
            bool placed = false;
            for (std::size_t v = 0; v < order.size(); ++v)
                if (images[i].projection == order[v] && at[v] == 0) {
                    at[v] = static_cast<int>(i) + 1;
                    placed = true;
                    break;
                }
            fourViews = placed;
        }
        if (fourViews) {
            hanging.columns = hangingShape(order.size()).width();
            hanging.rows = hangingShape(order.size()).height();
            for (std::size_t v = 0; v < order.size(); ++v) {
                const HungImage& image = images[static_cast<std::size_t>(at[v] - 1)];
                const bool right = order[v].side == Side::Right;
                hanging.cells.push_back({at[v], Qt::AlignVCenter | (right ? Qt::AlignRight : Qt::AlignLeft),
                                         mirroredFor(order[v].side, image.rowDirection)});
            }
            return hanging;
        }
    }
    const QSize shape = hangingShape(images.size());
    if (shape.isEmpty()) return hanging;  // the configured grid
    hanging.columns = shape.width();
    hanging.rows = shape.height();
    for (std::size_t i = 0; i < images.size(); ++i) hanging.cells.push_back({static_cast<int>(i) + 1});
    return hanging;
}

}  // namespace corva::station
