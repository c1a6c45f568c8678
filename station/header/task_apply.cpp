#include "header/task_apply.h"

#include "core/error.h"

namespace corva::station::header {

std::string UidPlan::studyUid(const std::string& oldUid)
{
    auto [it, added] = study_.try_emplace(oldUid);
    if (added)
        it->second = dicom::newUid();
    return it->second;
}

std::string UidPlan::seriesUid(const std::string& oldUid)
{
    auto [it, added] = series_.try_emplace(oldUid);
    if (added)
        it->second = dicom::newUid();
    return it->second;
}

namespace {

const dicom::Tag SopInstanceUid{0x0008, 0x0018};
const dicom::Tag StudyInstanceUid{0x0020, 0x000D};
const dicom::Tag SeriesInstanceUid{0x0020, 0x000E};

// The value of an attribute as it stands in the header (all values, '\' between them).
std::string ownValue(const dicom::DataSet& image, dicom::Tag tag)
{
    const dicom::Attribute a = image.get(tag);
    return a.exists ? a.text : std::string();
}

void changeEntry(const HeaderTask& task, dicom::Tag source, dicom::DataSet& image, UidPlan& uids, bool manyImages)
{
    if (!isUidTag(source)) {
        image.set(source, task.target);
        return;
    }
    const bool generate = asksForNewUid(task.target) || (source == SopInstanceUid && manyImages);
    std::string uid = task.target;
    if (generate) {
        if (source == SopInstanceUid)
            uid = dicom::newUid();
        else if (source == StudyInstanceUid)
            uid = uids.studyUid(ownValue(image, source));
        else
            uid = uids.seriesUid(ownValue(image, source));
    } else if (!isValidUid(uid)) {
        throw Error(errc::InvalidName, "Not a valid UID for " + source.text() + ": \"" + uid + "\"");
    }
    image.set(source, uid);
}

}  // namespace

void applyTask(const HeaderTask& task, dicom::DataSet& image, UidPlan& uids, bool manyImages)
{
    const auto action = taskAction(task);
    if (!action)
        return;
    const auto source = columnTag(task.source);
    if (!source)
        throw Error(errc::InvalidName, "No attribute in the task's source \"" + task.source + "\"");
    if (*action == TaskAction::Change) {
        changeEntry(task, *source, image, uids, manyImages);
        return;
    }
    const auto target = columnTag(task.target);
    if (!target)
        throw Error(errc::InvalidName, "No attribute in the task's target \"" + task.target + "\"");
    const std::string carried = task.oldValue.empty() ? ownValue(image, *source) : task.oldValue;
    if (*action == TaskAction::Move) {
        image.set(*target, carried);
        image.set(*source, std::string());
    } else {
        const std::string targetValue = ownValue(image, *target);
        image.set(*target, carried);
        image.set(*source, targetValue);
    }
}

}  // namespace corva::station::header
