#include "header/task_check.h"

#include <algorithm>
#include <exception>
#include <variant>

#include "db/database.h"

namespace corva::station::header {

namespace {
const dicom::Tag StudyInstanceUid{0x0020, 0x000D};
const dicom::Tag SeriesInstanceUid{0x0020, 0x000E};
const dicom::Tag SamplesPerPixel{0x0028, 0x0002};
const dicom::Tag NumberOfFrames{0x0028, 0x0008};
const dicom::Tag Rows{0x0028, 0x0010};
const dicom::Tag Columns{0x0028, 0x0011};
const dicom::Tag BitsAllocated{0x0028, 0x0100};
const dicom::Tag PixelData{0x7FE0, 0x0010};

// The uncompressed transfer syntaxes: their pixel data is as long as the header says.
bool nativeSyntax(const std::string& uid)
{
    return uid == "1.2.840.10008.1.2" || uid == "1.2.840.10008.1.2.1" || uid == "1.2.840.10008.1.2.2" ||
           uid == "1.2.840.10008.1.2.1.99";
}

// A whole number of the header; -1 when absent or no number.
long long headerNumber(const dicom::DataSet& ds, dicom::Tag tag)
{
    const dicom::Attribute a = ds.get(tag);
    if (!a.exists || a.isNull())
        return -1;
    if (const auto* d = std::get_if<double>(&a.values.front()))
        return static_cast<long long>(*d);
    return -1;
}
}  // namespace

std::string foreignUidRefusal(db::Database& imageDb, dicom::Tag tag, const std::string& uid,
                              std::int64_t patientKey)
{
    if ((tag != StudyInstanceUid && tag != SeriesInstanceUid) || uid.empty())
        return {};
    const bool study = tag == StudyInstanceUid;
    const std::string patientColumns =
        "SELECT tblPatienten.PATID1, tblPatienten.PATNachname, tblPatienten.PATVorname FROM ";
    auto st = imageDb.prepare(
        study ? patientColumns +
                    "tblStudies LEFT JOIN tblPatienten ON tblStudies.FKeyPATID = tblPatienten.PATID "
                    "WHERE tblStudies.StudyUID = ? AND IFNULL(tblStudies.FKeyPATID, 0) <> ? LIMIT 1"
              : patientColumns +
                    "tblSeries INNER JOIN tblStudies ON tblSeries.FKeyStudyID = tblStudies.StudyID "
                    "LEFT JOIN tblPatienten ON tblStudies.FKeyPATID = tblPatienten.PATID "
                    "WHERE tblSeries.SeriesUID = ? AND IFNULL(tblStudies.FKeyPATID, 0) <> ? LIMIT 1");
    st.bind(1, uid);
    st.bind(2, patientKey);
    if (!st.step())
        return {};
    const auto text = [&](int column) { return st.isNull(column) ? std::string() : st.getText(column); };
    std::string patient = "patient ID '" + text(0) + "'";
    const std::string family = text(1), given = text(2);
    if (!family.empty() || !given.empty())
        patient += " (" + family + (given.empty() ? "" : ", " + given) + ")";
    return std::string(study ? "The Study Instance UID " : "The Series Instance UID ") + uid + " belongs to a " +
           (study ? "study" : "series") + " of another patient, " + patient +
           ": the images would join it. Choose a new UID instead.";
}

std::string taskListRefusal(db::Database& imageDb, const std::vector<HeaderTask>& tasks, std::int64_t patientKey)
{
    for (const auto& task : tasks) {
        if (std::string refusal = taskRefusal(task); !refusal.empty())
            return refusal;
        if (taskAction(task) != TaskAction::Change || asksForNewUid(task.target))
            continue;
        if (const auto tag = columnTag(task.source))
            if (std::string refusal = foreignUidRefusal(imageDb, *tag, task.target, patientKey); !refusal.empty())
                return refusal;
    }
    return {};
}

std::string pixelDecodeProblem(const std::filesystem::path& file)
{
    try {
        const dicom::Image image = dicom::Image::read(file);
        const dicom::DataSet ds = image.attributes();
        if (!ds.contains(PixelData))
            return "no pixel data";
        const long long rows = headerNumber(ds, Rows), columns = headerNumber(ds, Columns),
                        allocated = headerNumber(ds, BitsAllocated), samples = headerNumber(ds, SamplesPerPixel);
        if (rows <= 0 || columns <= 0 || allocated <= 0 || samples <= 0)
            return "Rows, Columns, Bits Allocated or Samples per Pixel missing or zero";
        if (nativeSyntax(image.transferSyntax())) {
            const long long frames = std::max(headerNumber(ds, NumberOfFrames), 1LL);
            const long long needed = (rows * columns * samples * frames * allocated + 7) / 8;
            const auto stored = static_cast<long long>(ds.rawBytes(PixelData).size());
            if (stored < needed)
                return "the pixel data holds " + std::to_string(stored) + " bytes, the header describes " +
                       std::to_string(needed);
        }
        const dicom::Bitmap bitmap = image.render();
        if (bitmap.width != columns || bitmap.height != rows)
            return "the rendered image is " + std::to_string(bitmap.width) + " x " + std::to_string(bitmap.height) +
                   ", the header says " + std::to_string(columns) + " x " + std::to_string(rows);
        return {};
    } catch (const std::exception& e) {
        return e.what();
    }
}

}  // namespace corva::station::header
