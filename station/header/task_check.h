#pragma once
// Checks of a task list against the image database before any image is touched, and of
// a rewritten copy before its original goes.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "dicom/dicom.h"
#include "header/header_task.h"

namespace corva::db {
class Database;
}

namespace corva::station::header {

// When `uid`, written into the study (0020,000D) or series (0020,000E) instance UID of
// an image of the patient `patientKey`, names a study or series of another patient:
// why it is refused, naming that patient. The ingest service files an image into the
// study and series its UIDs name, so the image would join the other patient's study.
// Empty otherwise (an unknown UID, one of the patient's own, another attribute).
std::string foreignUidRefusal(db::Database& imageDb, dicom::Tag tag, const std::string& uid,
                              std::int64_t patientKey);

// Why the task list may not run on the images of `patientKey`: a task on the pixel
// layout or the file meta information, or a study or series UID of another patient's
// study or series. Empty when it may. Values a move or switch carries are checked
// image by image while the job runs.
std::string taskListRefusal(db::Database& imageDb, const std::vector<HeaderTask>& tasks, std::int64_t patientKey);

// Why the pixel data of a DICOM file does not decode (read back in full, its first frame
// rendered, the stored bytes enough for what the header describes); empty when it does.
std::string pixelDecodeProblem(const std::filesystem::path& file);

}  // namespace corva::station::header
