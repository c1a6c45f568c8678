#pragma once
// Building tasks from the header view: "Add Task" turns each header row of an exposure
// attribute into a task that writes the selected record's value of that attribute.
#include <optional>
#include <string>
#include <vector>

#include "dicom/dicom.h"
#include "header/active_tag_set.h"
#include "header/header_task.h"

namespace corva::station::header {

// One row of the header view.
struct HeaderRow {
    std::string tag;          // "GGGG,EEEE"
    std::string description;
    std::string value;        // display form (headerElement)
};

// LoadHeaderData: one row per entry of the tag set for the given image (none: empty
// values), sorted by tag (descending when asked).
std::vector<HeaderRow> headerRows(const ActiveTagSet& set, const dicom::DataSet* image, bool descending = false);

struct AddTaskChoice {
    std::string level;           // text of cboLevel: "Patient", "Study", "Series", "Image"
    int action = 0;              // index of cboTask
    int selectedImageIndex = 0;  // the viewer's selected image (for "Image")
    std::string loadedLevel;     // "Studie" or "Serie"
};

struct AddTaskResult {
    std::vector<HeaderTask> tasks;
    // Shown to the operator when set (information icon): nothing was made.
    std::string refusal;
    // Reported as an error by the caller; the tasks made stay.
    std::string error;
};

// One value of the selected exposure record as the image header takes it: the
// attribute ("GGGG,EEEE") and its value in the attribute's own unit.
struct ExposureValue {
    std::string tag;
    std::string value;
};

// "Add Task": one "Change entry" task per header row, in display order, whose attribute
// the record gives a value for. Values go by attribute, never by position: a filter's
// rows and the record's fields have no order in common. Rows of other attributes make
// no task. A row on the pixel layout or the file meta information refuses them all
// (taskRefusal).
AddTaskResult makeTasks(const std::vector<HeaderRow>& rows, const AddTaskChoice& choice,
                        const std::vector<ExposureValue>& exposure);

// The one attribute the operator chose in the task area: the clicked header row with
// the value typed for it or the attribute chosen as target.
struct ChosenAttribute {
    std::string selected;  // txtSelected: "GGGG,EEEE - Description"
    std::string oldValue;  // the header view's value of that attribute
    std::string newValue;  // txtNeu ("Change entry")
    std::string target;    // cboTarget ("Move entry", "Switch entry")
};

// "Add Task" pressed with a header row chosen: one task for that attribute. A UID
// attribute is always changed to a freshly generated UID; an attribute of the pixel
// layout or the file meta information is refused.
AddTaskResult makeChosenTask(const ChosenAttribute& chosen, const AddTaskChoice& choice);

// The target list of "Move entry" and "Switch entry": every entry of the set except the
// selected attribute, as "GGGG,EEEE - Description".
std::vector<std::string> targetChoices(const ActiveTagSet& set, const std::string& selected);

}  // namespace corva::station::header
