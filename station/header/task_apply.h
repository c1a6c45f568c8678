#pragma once
// Applies tasks to the attributes of one image.
#include <map>
#include <string>

#include "dicom/dicom.h"
#include "header/header_task.h"

namespace corva::station::header {

// Fresh UIDs of one job: one new study UID per old study UID and one new series UID
// per old series UID, so images that shared a study or series still share it.
class UidPlan {
public:
    std::string studyUid(const std::string& oldUid);
    std::string seriesUid(const std::string& oldUid);

private:
    std::map<std::string, std::string> study_, series_;
};

// Applies one task to an image. `manyImages`: the task reaches more than one image, so
// a SOP instance UID written by it is generated per image. Throws corva::Error when the
// task cannot be applied (a value the character set cannot hold, an invalid UID):
// the caller then leaves that image as it is.
//
// "Move entry" and "Switch entry" carry each image's own stored value of the source
// (every value, '\' between them) into the target, whatever the task's old value says.
// Tasks on the pixel layout or the file meta information are refused (taskRefusal).
void applyTask(const HeaderTask& task, dicom::DataSet& image, UidPlan& uids, bool manyImages);

}  // namespace corva::station::header
