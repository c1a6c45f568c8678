#include "header/task_apply.h"

#include <map>
#include <optional>
#include <regex>

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

// The VR an attribute is written with: the present element's, else the dictionary's.
std::string vrOf(const dicom::DataSet& image, dicom::Tag tag)
{
    const dicom::Attribute a = image.get(tag);
    if (a.exists)
        return a.vr;
    static const std::map<dicom::Tag, std::string> dictionary = [] {
        std::map<dicom::Tag, std::string> m;
        for (const auto& e : dicom::publicDictionary())
            m.emplace(e.tag, e.vr);
        return m;
    }();
    const auto it = dictionary.find(tag);
    return it == dictionary.end() ? std::string() : it->second;
}

std::string twoDigits(const std::string& n) { return n.size() == 1 ? "0" + n : n; }

// One date or time value in DICOM form, from that form or from the header view's
// ("31.12.2024", "10:15:00", "31.12.2024 10:15:00"); nullopt when it is neither.
std::optional<std::string> dicomDateTime(const std::string& vr, const std::string& v)
{
    static const std::regex shownDate(R"((\d{1,2})\.(\d{1,2})\.(\d{4}))");
    static const std::regex shownTime(R"((\d{1,2}):(\d{2})(?::(\d{2}))?)");
    static const std::regex dicomDate(R"(\d{8})");
    static const std::regex dicomTime(R"(\d{2}(\d{2}(\d{2}(\.\d{1,6})?)?)?)");
    static const std::regex dicomDt(R"(\d{4}(\d{2}(\d{2}(\d{2}(\d{2}(\d{2}(\.\d{1,6})?)?)?)?)?)?([+-]\d{4})?)");
    std::smatch m;
    const auto date = [](const std::smatch& d) -> std::optional<std::string> {
        const int day = std::stoi(d[1]), month = std::stoi(d[2]);
        if (day < 1 || day > 31 || month < 1 || month > 12)
            return std::nullopt;
        return d[3].str() + twoDigits(d[2]) + twoDigits(d[1]);
    };
    const auto time = [](const std::smatch& t) -> std::optional<std::string> {
        if (std::stoi(t[1]) > 23 || std::stoi(t[2]) > 59 || (t[3].matched && std::stoi(t[3]) > 60))
            return std::nullopt;
        return twoDigits(t[1]) + t[2].str() + (t[3].matched ? t[3].str() : std::string());
    };
    if (vr == "DA") {
        if (std::regex_match(v, dicomDate))
            return v;
        if (std::regex_match(v, m, shownDate))
            return date(m);
    } else if (vr == "TM") {
        if (std::regex_match(v, dicomTime))
            return v;
        if (std::regex_match(v, m, shownTime))
            return time(m);
    } else if (vr == "DT") {
        if (std::regex_match(v, dicomDt))
            return v;
        const auto space = v.find(' ');
        std::smatch d, t;
        const std::string datePart = v.substr(0, space), timePart = space == std::string::npos ? "" : v.substr(space + 1);
        if (std::regex_match(datePart, d, shownDate)) {
            const auto ymd = date(d);
            if (ymd && timePart.empty())
                return ymd;
            if (ymd && std::regex_match(timePart, t, shownTime))
                if (const auto hms = time(t))
                    return *ymd + *hms;
        }
    }
    return std::nullopt;
}

// The text written into an attribute. Dates and times go into the header in DICOM form,
// also when typed or carried as the header view shows them; a text that is neither form
// is refused rather than stored as a value no reader understands.
std::string storedForm(const dicom::DataSet& image, dicom::Tag tag, const std::string& text)
{
    const std::string vr = vrOf(image, tag);
    if (text.empty() || (vr != "DA" && vr != "TM" && vr != "DT"))
        return text;
    std::string out;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find('\\', start);
        const std::string one = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        const auto converted = dicomDateTime(vr, one);
        if (!converted)
            throw Error(errc::TypeMismatch, "\"" + text + "\" is no " +
                                                (vr == "DA" ? std::string("date (day.month.year)")
                                                 : vr == "TM" ? std::string("time (hours:minutes:seconds)")
                                                              : std::string("date and time")) +
                                                " for " + tag.text());
        out += *converted;
        if (end == std::string::npos)
            return out;
        out += '\\';
        start = end + 1;
    }
}

void changeEntry(const HeaderTask& task, dicom::Tag source, dicom::DataSet& image, UidPlan& uids, bool manyImages)
{
    if (!isUidTag(source)) {
        image.set(source, storedForm(image, source, task.target));
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
    if (const std::string refusal = taskRefusal(task); !refusal.empty())
        throw Error(errc::InvalidName, refusal);
    if (*action == TaskAction::Change) {
        changeEntry(task, *source, image, uids, manyImages);
        return;
    }
    const auto target = columnTag(task.target);
    if (!target)
        throw Error(errc::InvalidName, "No attribute in the task's target \"" + task.target + "\"");
    // Each image carries its own value, all of it: the task's old value is only what the
    // header view showed for one image, in display form.
    const std::string carried = ownValue(image, *source);
    if (carried == dicom::UnknownDataType || ownValue(image, *target) == dicom::UnknownDataType)
        throw Error(errc::TypeMismatch, "A binary value cannot be moved or switched (" + source->text() + ", " +
                                            target->text() + ")");
    if (*action == TaskAction::Move) {
        image.set(*target, storedForm(image, *target, carried));
        image.set(*source, std::string());
    } else {
        const std::string targetValue = ownValue(image, *target);
        image.set(*target, storedForm(image, *target, carried));
        image.set(*source, storedForm(image, *source, targetValue));
    }
}

}  // namespace corva::station::header
