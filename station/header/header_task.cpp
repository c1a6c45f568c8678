#include "header/header_task.h"

#include <cctype>

namespace corva::station::header {

std::optional<dicom::Tag> columnTag(const std::string& text)
{
    if (text.size() < 9)
        return std::nullopt;
    return dicom::Tag::parse(text.substr(0, 9));
}

std::optional<TaskAction> taskAction(const HeaderTask& task)
{
    if (task.actionNumber == "0")
        return TaskAction::Change;
    if (task.actionNumber == "1")
        return TaskAction::Move;
    if (task.actionNumber == "2")
        return TaskAction::Switch;
    return std::nullopt;
}

TaskReach taskReach(const HeaderTask& task)
{
    const auto tag = columnTag(task.source);
    if ((tag && tag->group == 0x0010) || task.level == "Patient")
        return {TaskScope::Patient, 0};
    if (task.level == "Study")
        return {TaskScope::Study, 0};
    if ((tag && *tag == dicom::Tag{0x0020, 0x000E}) || task.level == "Series")
        return {TaskScope::Series, 0};
    // "Image #n": the number starts at the eighth character.
    int n = 0;
    if (task.level.size() > 7) {
        try {
            n = std::stoi(task.level.substr(7));
        } catch (...) {
            n = 0;
        }
    }
    return {TaskScope::Image, n};
}

bool isUidTag(dicom::Tag tag)
{
    return tag == dicom::Tag{0x0008, 0x0018} || tag == dicom::Tag{0x0020, 0x000D} || tag == dicom::Tag{0x0020, 0x000E};
}

bool asksForNewUid(const std::string& target)
{
    std::string t;
    for (char c : target)
        if (!std::isspace(static_cast<unsigned char>(c)))
            t += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return t == "newuid" || t == "generatenewuid";
}

bool isValidUid(const std::string& uid)
{
    if (uid.empty() || uid.size() > 64 || uid.front() == '.' || uid.back() == '.')
        return false;
    bool componentStart = true;
    for (std::size_t i = 0; i < uid.size(); ++i) {
        const char c = uid[i];
        if (c == '.') {
            if (componentStart)
                return false;
            componentStart = true;
            continue;
        }
        if (c < '0' || c > '9')
            return false;
        if (componentStart && c == '0' && i + 1 < uid.size() && uid[i + 1] != '.')
            return false;
        componentStart = false;
    }
    return true;
}

}  // namespace corva::station::header
