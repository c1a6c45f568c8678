#pragma once
// ModifyImage: turns a radiograph into a Digital Mammography X-Ray Image For
// Presentation carrying the current exposure, and writes it to the work folder as
// <SOP Instance UID>.dcm.
#include <QString>
#include <filesystem>

#include "dicom/dicom.h"
#include "dose/exposure.h"
#include "dose/projection.h"

namespace corva::dose {

// What the conversion writes for an image's projection (dose/projection.h, the same
// reading the pairing of images and records uses).
struct ViewMapping {
    // "L" or "R" for Laterality and Image Laterality, and Patient Orientation ("P\L"
    // for a right cranio-caudal view). Empty unless side and view are both known: the
    // source's values then stay as they are.
    QString laterality;
    QString orientation;
    // The view's code ("R-10242", "cranio-caudal"); empty when the view is unknown.
    QString codeValue;
    QString codeMeaning;
};
ViewMapping mapProjection(const Projection& projection);

// Converts `image` in place and writes it as <workFolder>/<SOP Instance UID>.dcm,
// overwriting. The side, orientation and view code follow projectionOf() (see
// ViewMapping); the Presentation LUT Shape follows the Photometric Interpretation
// (INVERSE for MONOCHROME1), so the image shows as the reader meant it. The exposure values follow the unit type (1 Sophie, 2 Giotto, other: none)
// and are written as numbers in the attributes' units (exposure_values.h); a record text
// that is no number is kept in Image Comments and logged under "ModifyImage" once the
// file is written. Throws corva::Error; nothing is written then. Returns the file written.
std::filesystem::path convertToMammography(dicom::Image& image, const CurrentExposure& exposure, int xrayType,
                                           const std::filesystem::path& workFolder);

// The same, with every failure logged under "ModifyImage"; false when it failed.
// A null image is such a failure.
bool ModifyImage(dicom::Image* image, const CurrentExposure& exposure, int xrayType,
                 const std::filesystem::path& workFolder);

}  // namespace corva::dose
