#pragma once
// Converting the images of a forwarding, each with exactly the record paired with it.
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "db/dose_use.h"
#include "dicom/dicom.h"
#include "dose/forwarding_plan.h"

namespace corva::dose {

// One image converted for a forwarding and the record whose values it now carries.
struct ConvertedImage {
    std::string sopInstanceUid;
    std::int64_t imageId = 0;
    std::int64_t recordId = 0;
    std::filesystem::path file;
    // The record's use as the converted image names it, recorded once the image is stored.
    db::DoseUse doseUse;
};

// Converts every paired image with its record into `workFolder`, in the plan's order.
// `imageOf` gives the image object of a SOP instance UID (nullptr: not loaded). When one
// image cannot be converted, the files written before it are removed again and a
// corva::Error names the image: a forwarding sends all of its images or none.
std::vector<ConvertedImage> convertPlanned(const ForwardingPlan& plan,
                                           const std::function<dicom::Image*(const std::string&)>& imageOf,
                                           int xrayType, const std::filesystem::path& workFolder);

// The same for one image and one record ("Manually").
ConvertedImage convertWithRecord(dicom::Image& image, std::int64_t imageId, const DoseRow& record, int xrayType,
                                 const std::filesystem::path& workFolder);

}  // namespace corva::dose
