#pragma once
// A computed-radiography image as the reader sends it: the patient, study, series,
// equipment and CR attributes such readers write, so that what a validator finds in a
// converted image comes from the conversion, not from a bare test file. And dicom3tools'
// dciodvfy, which the converted images are checked with.
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
    // Set last (UTF-8 text), e.g. a window or shutter of the reader, Image Laterality.
    std::vector<std::pair<corva::dicom::Tag, std::string>> extra;
    // Removed after everything else, e.g. the reader's empty Laterality.
    std::vector<corva::dicom::Tag> omit;
};

// Writes the image as a Part-10 file (creating folders); returns `file`.
std::filesystem::path writeCrImage(const std::filesystem::path& file, const CrImage& image);

// Whether dciodvfy is installed (package dicom3tools).
bool haveDciodvfy();
// The error lines ("Error - ...") dciodvfy reports for a file; its whole report in
// `report` when given. The report names the object class it checked against
// (IodChecked): a report without it means dciodvfy did not get to the checks.
std::vector<std::string> dciodvfyErrors(const std::filesystem::path& file, std::string* report = nullptr);
// dciodvfy's remark that Laterality (0020,0060) is present beside Image Laterality. It
// is written on purpose: the automatic pairing and older viewers read it.
bool isLateralityRemark(const std::string& errorLine);
// How dciodvfy names the class of a Digital Mammography X-Ray Image For Presentation.
inline constexpr const char* IodChecked = "MammographyImageForPresentation";

}  // namespace corva::dose::test
