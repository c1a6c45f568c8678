#pragma once
// Pairing images with exposure records for the "Automatic" forwarding: the projection
// key an image gives (from its own header, by X-ray unit type) and whether a record's
// projection text matches it.
#include <optional>
#include <string>

#include "dicom/dicom.h"

namespace corva::station::forwarding {

inline constexpr int Sophie = 1;
inline constexpr int Giotto = 2;

// The image key built from the header: Sophie "<Laterality>-<View Position>", Giotto
// "<Image Laterality>-<Patient Orientation joined by |>", upper case.
std::string imageKey(const dicom::Image& image, int xrayType);
// The projection key of an image key ("L-CC", "R-CC", "L-LMO45", "R-LMO45"); nullopt
// when the image key is none of the four known ones.
std::optional<std::string> projectionKey(const std::string& imageKey, int xrayType);
// Whether a record's projection text (Text3(5)) names `key`. Sophie: its fourth
// comma-separated item; a text with fewer items throws (the caller logs it and takes
// the record). Giotto: the whole text.
bool recordMatches(const std::string& recordProjection, const std::string& key, int xrayType);

}  // namespace corva::station::forwarding
