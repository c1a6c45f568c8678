#pragma once
// The images of a forwarding, read from the image store when the forwarding starts
// (under the job lock), not taken from what a window loaded earlier: the plan, the
// conversion and the removal after the send all concern the files as they are now.
#include <QStringList>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/file_identity.h"
#include "dicom/dicom.h"
#include "dose/forwarding_plan.h"

namespace corva::dose {

// One entry of the image list: which image, its row, its file in the image store.
struct ListedImage {
    std::string sopInstanceUid;
    std::int64_t imageId = 0;
    std::filesystem::path file;
};

struct ForwardingSource {
    std::map<std::string, dicom::Image> images;             // by SOP instance UID
    std::map<std::string, FileIdentity> identities;         // the store files as read
    std::vector<PlanImage> planned;                          // in list order
    QStringList unreadable;                                  // one reason per image not read

    dicom::Image* image(const std::string& sopInstanceUid);
    std::optional<FileIdentity> identity(const std::string& sopInstanceUid) const;
};

// Reads every listed image (`mode`: HeaderOnly for a plan that converts nothing).
ForwardingSource readForForwarding(const std::vector<ListedImage>& list,
                                   dicom::ReadMode mode = dicom::ReadMode::Full);

}  // namespace corva::dose
