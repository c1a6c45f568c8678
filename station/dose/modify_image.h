#pragma once
// ModifyImage: turns a radiograph into a Digital Mammography X-Ray Image For
// Presentation carrying the current exposure, and writes it to the work folder as
// <SOP Instance UID>.dcm.
#include <QString>
#include <filesystem>

#include "dicom/dicom.h"
#include "dose/exposure.h"

namespace corva::dose {

// The view derived from the upper-cased View Position.
struct ViewMapping {
    QString orientation;  // Patient Orientation, "P\L" etc., empty when not recognised
    QString codeValue;    // "R-10242" cranio-caudal, "R-10226" medio lateral oblique
    QString codeMeaning;
    QString laterality;   // first character of the View Position, empty when it is empty
};
ViewMapping mapViewPosition(const QString& viewPosition);

// Converts `image` in place and writes it as <workFolder>/<SOP Instance UID>.dcm,
// overwriting. The exposure values follow the unit type (1 Sophie, 2 Giotto, other: none)
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
