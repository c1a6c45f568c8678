#pragma once
// Puts an imported image into the input folder as "<SOP Instance UID>.dcm". The file
// is written under a dot-prefixed ".part" name that the ingest service ignores and
// is then linked to its final name only if that name is free: the ingest service
// never sees half a file, and a file already waiting there is never written over.
#include <filesystem>
#include <string>

#include "dicom/dicom.h"

namespace corva::station::transfer {

class InputDrop {
public:
    explicit InputDrop(std::filesystem::path inputFolder);

    enum class Placed {
        Written,       // the file is new in the input folder
        AlreadyThere,  // a file of that name waits there already; it was left as it is
    };

    // Throws corva::Error when the image has no usable SOP Instance UID or cannot be written.
    Placed put(const dicom::Image& image);

    // The input folder's name for an image with this SOP Instance UID.
    std::filesystem::path targetFor(const std::string& sopInstanceUid) const;

private:
    std::filesystem::path folder_;
};

// Removes the half-written files that a killed writer left in a folder the station
// writes images into, the input folder or the work folder (".<uid>.<pid>-<n>.part",
// ".write-<pid>-<n>.part"), once their process is gone: nothing ever takes them, and
// the check would report them for ever. A living writer's files stay. The caller holds
// the job lock. Returns how many went.
std::size_t removeAbandonedPartials(const std::filesystem::path& folder);

}  // namespace corva::station::transfer
