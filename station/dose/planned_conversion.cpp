#include "dose/planned_conversion.h"

#include <system_error>

#include "core/error.h"
#include "dose/dose_report.h"
#include "dose/modify_image.h"

namespace corva::dose {

ConvertedImage convertWithRecord(dicom::Image& image, std::int64_t imageId, const DoseRow& record, int xrayType,
                                 const std::filesystem::path& workFolder) {
    ConvertedImage out;
    out.sopInstanceUid = image.sopInstanceUid();
    out.imageId = imageId;
    out.recordId = record.id;
    out.file = convertToMammography(image, exposureOf(record), xrayType, workFolder);
    out.doseUse = doseUseOf(image.attributes(), record.id);
    return out;
}

std::vector<ConvertedImage> convertPlanned(const ForwardingPlan& plan,
                                           const std::function<dicom::Image*(const std::string&)>& imageOf,
                                           int xrayType, const std::filesystem::path& workFolder) {
    std::vector<ConvertedImage> done;
    const auto undo = [&] {
        for (const ConvertedImage& c : done) {
            std::error_code ec;
            std::filesystem::remove(c.file, ec);
        }
    };
    for (const PlanPair& pair : plan.pairs()) {
        try {
            dicom::Image* image = imageOf(pair.sopInstanceUid);
            if (!image) throw Error(errc::NotFound, "The image is not loaded", "ModifyImage");
            done.push_back(convertWithRecord(*image, pair.imageId, pair.record, xrayType, workFolder));
        } catch (const Error& e) {
            undo();
            throw Error(e.code(),
                        "Image " + std::to_string(pair.position) + " (" + pair.sopInstanceUid +
                            ") could not be converted: " + e.message(),
                        "ModifyImage");
        } catch (const std::exception& e) {
            undo();
            throw Error(errc::Generic,
                        "Image " + std::to_string(pair.position) + " (" + pair.sopInstanceUid +
                            ") could not be converted: " + e.what(),
                        "ModifyImage");
        }
    }
    return done;
}

}  // namespace corva::dose
