#include "header/task_builder.h"

#include <algorithm>

#include "header/header_element.h"

namespace corva::station::header {

std::vector<HeaderRow> headerRows(const ActiveTagSet& set, const dicom::DataSet* image, bool descending)
{
    std::vector<HeaderRow> rows;
    for (const auto& [tag, description] : set.entries()) {
        HeaderRow row{tag, description, {}};
        if (image) {
            if (const auto t = dicom::Tag::parse(tag))
                row.value = headerElement(*image, *t);
            else
                continue;  // a malformed tag skips its row
        }
        rows.push_back(std::move(row));
    }
    std::stable_sort(rows.begin(), rows.end(), [descending](const HeaderRow& a, const HeaderRow& b) {
        return descending ? b.tag < a.tag : a.tag < b.tag;
    });
    return rows;
}

AddTaskResult makeTasks(const std::vector<HeaderRow>& rows, const AddTaskChoice& choice,
                        const std::vector<ExposureValue>& exposure)
{
    AddTaskResult result;
    std::string level = choice.level;
    if (level == "Image")
        level += " #" + std::to_string(choice.selectedImageIndex);
    if (choice.loadedLevel == "Studie" && choice.level == "Series") {
        result.refusal = "Cannot create series task on study level.";
        return result;
    }
    const auto valueOf = [&exposure](const std::string& tag) -> const ExposureValue* {
        const auto t = dicom::Tag::parse(tag);
        for (const auto& e : exposure)
            if (t && dicom::Tag::parse(e.tag) == t)
                return &e;
        return nullptr;
    };
    constexpr int change = static_cast<int>(TaskAction::Change);
    for (const HeaderRow& row : rows) {
        const ExposureValue* value = valueOf(row.tag);
        if (!value)
            continue;
        HeaderTask task{level, row.tag + " - " + row.description, row.value, ActionNames[change], value->value,
                        std::to_string(change)};
        if (std::string refusal = taskRefusal(task); !refusal.empty()) {
            result.tasks.clear();
            result.refusal = std::move(refusal);
            return result;
        }
        result.tasks.push_back(std::move(task));
    }
    return result;
}

AddTaskResult makeChosenTask(const ChosenAttribute& chosen, const AddTaskChoice& choice)
{
    AddTaskResult result;
    const auto tag = columnTag(chosen.selected);
    if (!tag) {
        result.refusal = "Please click the attribute to change in the header view.";
        return result;
    }
    if (choice.loadedLevel == "Studie" && choice.level == "Series") {
        result.refusal = "Cannot create series task on study level.";
        return result;
    }
    std::string level = choice.level;
    if (level == "Image")
        level += " #" + std::to_string(choice.selectedImageIndex);
    int action = std::clamp(choice.action, 0, 2);
    std::string target = chosen.newValue;
    if (isUidTag(*tag)) {
        action = 0;
        target = NewUidText;
    } else if (action != 0) {
        target = chosen.target;
        if (!columnTag(target)) {
            result.refusal = "Please choose the attribute to " + std::string(action == 1 ? "move" : "switch") +
                             " the value to.";
            return result;
        }
    }
    HeaderTask task{level, chosen.selected, chosen.oldValue, ActionNames[action], target, std::to_string(action)};
    if (std::string refusal = taskRefusal(task); !refusal.empty()) {
        result.refusal = std::move(refusal);
        return result;
    }
    result.tasks.push_back(std::move(task));
    return result;
}

std::vector<std::string> targetChoices(const ActiveTagSet& set, const std::string& selected)
{
    std::vector<std::string> out;
    const std::string selectedTag = selected.substr(0, 9);
    for (const auto& [tag, description] : set.entries())
        if (tag != selectedTag)
            out.push_back(tag + " - " + description);
    return out;
}

}  // namespace corva::station::header
