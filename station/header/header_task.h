#pragma once
// One row of the task list: what to change in which images. Rows are kept as the
// texts the list shows (rules store them the same way); the helpers below read them.
#include <optional>
#include <string>

#include "dicom/dicom.h"

namespace corva::station::header {

enum class TaskAction { Change = 0, Move = 1, Switch = 2 };

struct HeaderTask {
    std::string level;         // "Patient", "Study", "Series" or "Image #<n>"
    std::string source;        // "GGGG,EEEE - Description"
    std::string oldValue;      // the header view's value; empty in tasks replayed from a rule
    std::string actionName;    // "Change entry", "Move entry", "Switch entry"
    std::string target;        // new value (Change) or "GGGG,EEEE - Description" (Move, Switch)
    std::string actionNumber;  // "0", "1" or "2"; anything else does nothing
    bool operator==(const HeaderTask&) const = default;
};

inline constexpr const char* ActionNames[] = {"Change entry", "Move entry", "Switch entry"};
inline constexpr const char* LevelNames[] = {"Patient", "Study", "Series", "Image"};
// The value the task area shows for a UID attribute: the job generates the UID.
inline constexpr const char* NewUidText = "New UID";

// The attribute named by the first nine characters of a source or target text.
std::optional<dicom::Tag> columnTag(const std::string& text);
std::optional<TaskAction> taskAction(const HeaderTask& task);

// Which images a task reaches.
enum class TaskScope { Patient, Study, Series, Image };
struct TaskReach {
    TaskScope scope = TaskScope::Image;
    int imagePosition = 0;  // Image: 1-based viewer position
};
// Patient for any attribute of group 0010, Series for 0020,000E, else the level.
TaskReach taskReach(const HeaderTask& task);

// SOP instance, study instance and series instance UID.
bool isUidTag(dicom::Tag tag);
// "New UID" (any case): the job generates a fresh UID instead of writing the text.
bool asksForNewUid(const std::string& target);
// Digits and dots, components without leading zeros, at most 64 characters.
bool isValidUid(const std::string& uid);

// Attributes no task may touch: the file meta information (group 0002, written anew
// with every file), the attributes that say how the pixel data is laid out, and the
// pixel data itself. A value changed there leaves an image nobody can decode, and the
// original is gone once the copy is handed over.
bool isPixelLayoutTag(dicom::Tag tag);
// Why a task may not run whatever the images hold (a protected attribute as its source
// or target); empty when it may.
std::string taskRefusal(const HeaderTask& task);

}  // namespace corva::station::header
