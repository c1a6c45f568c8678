#pragma once
// How a loaded study hangs in the viewer. A 4-view mammography study hangs as
// R CC | L CC over R MLO | L MLO, each view as large as the viewer allows, the right
// breast's views toward the middle from the left and the left breast's from the right,
// each mirrored when its rows run the other way, so that the chest walls face each
// other. One to four other images fill a compact grid; more keep the configured grid.
#include <QSize>
#include <QString>
#include <vector>

#include "dose/projection.h"
#include "viewer/dicom_viewer.h"

namespace corva::station {

struct HungImage {
    dose::Projection projection;
    // The first value of Patient Orientation (0020,0020): where the rows run ("A", "P").
    QString rowDirection;
};

// `images` in viewer order (position 1 first). An inactive hanging keeps the grid.
Hanging planStudyHanging(const std::vector<HungImage>& images);

// Columns x rows of the hanging of `images` images, whatever their views (a 4-view
// study hangs 2 x 2 as four other images do); empty when they keep the configured grid.
// Known before any file is read, so that a load renders at the size shown.
QSize hangingShape(std::size_t images);

}  // namespace corva::station
