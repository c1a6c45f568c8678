#pragma once
// The X-Ray Radiation Dose report of a mammography study, written with DCMTK's
// structured reporting module: one irradiation event per exposure, the accumulated
// dose per breast where the dose is the average glandular dose, and the X-ray unit
// as the device observer. The input is plain data; only this adapter knows DCMTK.
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "dicom/dicom.h"

namespace corva::dicom {

// Which dose quantity the X-ray unit reports.
enum class DoseQuantity { EntranceExposureAtRP, AverageGlandularDose };

// One exposure as it was applied to one image.
struct DoseEvent {
    std::string eventUid;       // Irradiation Event UID
    DateTime started;           // the record's date and time
    std::string laterality;     // "L", "R" or empty
    std::string viewCode;       // the image's view code (SRT), e.g. "R-10242"; empty when unknown
    std::string viewMeaning;    // "cranio-caudal"
    std::string anodeTarget;    // element symbol: "Mo", "Rh", "W"; empty when unknown
    std::string filterMaterial; // element symbol: "Mo", "Rh", "Ag", "Al", "Cu"; empty when unknown
    std::optional<double> kvp;              // kV
    std::optional<double> exposureTimeMs;   // ms
    std::optional<double> currentTimeMas;   // mAs
    std::optional<double> thicknessMm;      // compressed breast, mm
    std::optional<double> forceN;           // compression force, N
    std::optional<double> doseMGy;          // the unit's dose, mGy
    // The image the exposure made: referenced as evidence of the report.
    std::string imageSopClassUid;
    std::string imageSopInstanceUid;
    std::string imageSeriesUid;
};

struct DoseReportContent {
    // Patient and study as the images name them.
    std::string patientName, patientId, patientBirthDate, patientSex;
    std::string studyUid, studyId, studyDate, studyTime, accessionNumber, referringPhysician;
    // The report's own series and instance.
    std::string seriesUid, sopInstanceUid;
    int seriesNumber = 0;
    DateTime content;  // when the report was written
    // The X-ray unit, as the site names it, and a UID standing for it.
    std::string observerName, observerUid;
    // The writing station.
    std::string manufacturer, modelName, deviceSerialNumber, softwareVersions;
    DoseQuantity quantity = DoseQuantity::EntranceExposureAtRP;
    std::vector<DoseEvent> events;
};

// The SOP class of the report.
inline constexpr const char* XRayRadiationDoseSrClass = "1.2.840.10008.5.1.4.1.1.88.67";

// Writes the report to `file` (Explicit VR Little Endian). Throws corva::Error when the
// content is incomplete (no events, no UIDs) or cannot be written.
void writeDoseReport(const DoseReportContent& content, const std::filesystem::path& file);

// A UID standing for a named thing, the same for the same name: "<our root>.<digits>".
std::string nameUid(const std::string& name);

}  // namespace corva::dicom
