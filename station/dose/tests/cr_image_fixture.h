#pragma once
// A computed-radiography image as the reader sends it: the patient, study, series,
// equipment and CR attributes such readers write, so that what a validator finds in a
// converted image comes from the conversion, not from a bare test file.
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "dicom/dicom.h"

namespace corva::dose::test {

struct CrImage {
    std::string viewPosition;  // empty: no View Position
    std::string studyUid;      // empty: a new one
    std::string seriesUid;     // empty: a new one
    int instanceNumber = 1;
    // Set last (UTF-8 text), e.g. a window or shutter of the reader.
    std::vector<std::pair<corva::dicom::Tag, std::string>> extra;
};

// Writes the image as a Part-10 file (creating folders); returns `file`.
std::filesystem::path writeCrImage(const std::filesystem::path& file, const CrImage& image);

}  // namespace corva::dose::test
