#pragma once
// The display form of one attribute, as the header view shows it and the header job
// reads it.
#include <string>

#include "dicom/dicom.h"

namespace corva::station::header {

// Empty when the image lacks the attribute. Several values are joined by " | ",
// stopping before the first empty value or a value equal to the one before it;
// "Unknown Data Type" is taken and ends the list. Never throws: an error is written
// to the error log under "GetHeaderElement" and gives empty text.
std::string headerElement(const dicom::DataSet& image, dicom::Tag tag);

}  // namespace corva::station::header
