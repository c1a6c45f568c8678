#include "header/header_task.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <vector>

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

bool isPixelLayoutTag(dicom::Tag tag)
{
    static constexpr std::array<std::uint16_t, 10> imagePixel = {
        0x0002,  // Samples per Pixel
        0x0004,  // Photometric Interpretation
        0x0006,  // Planar Configuration
        0x0008,  // Number of Frames
        0x0010,  // Rows
        0x0011,  // Columns
        0x0100,  // Bits Allocated
        0x0101,  // Bits Stored
        0x0102,  // High Bit
        0x0103,  // Pixel Representation
    };
    if (tag.group == 0x0002 || tag.group == 0x7FE0)
        return true;
    return tag.group == 0x0028 &&
           std::find(imagePixel.begin(), imagePixel.end(), tag.element) != imagePixel.end();
}

std::string taskRefusal(const HeaderTask& task)
{
    const auto action = taskAction(task);
    if (!action)
        return {};
    std::vector<std::string> named{task.source};
    if (*action != TaskAction::Change)
        named.push_back(task.target);
    for (const auto& text : named) {
        const auto tag = columnTag(text);
        if (!tag || !isPixelLayoutTag(*tag))
            continue;
        std::string name;
        for (const auto& e : dicom::publicDictionary())
            if (e.tag == *tag)
                name = e.name + " ";
        return name + "(" + tag->text() + ")" + (tag->group == 0x0002 ? " is file meta information" : " describes the pixel data") +
               ": a header task cannot change it.";
    }
    return {};
}

}  // namespace corva::station::header
