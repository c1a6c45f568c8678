#pragma once
// The dose report of a study: made from the exposure records that forwarding marked
// used for the study's stored images, each with the image it was applied to, and
// written, sent to the destination and filed in the station as its own series.
#include <QString>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "db/dose_use.h"
#include "dicom/dicom.h"
#include "dicom/dose_report.h"
#include "dose/dose_store.h"

namespace corva::dose {

// The use of a record for an image, read from the image as converted: its patient,
// study, projection and a new Irradiation Event UID.
db::DoseUse doseUseOf(const dicom::DataSet& converted, std::int64_t recordId);

// The anode target and filter a record names ("Mo/Rh" among its further values), as
// element symbols; empty when it names none.
struct TargetFilter {
    std::string target, filter;
};
TargetFilter targetFilter(const QString& sonstiges);

// One irradiation event: the record's values in the report's units (unit type 1 Sophie
// gives every value, 2 Giotto voltage, current-time product and dose).
dicom::DoseEvent doseEvent(const db::DoseUse& use, const DoseRow& record, int xrayType);

// What the site sets for its reports: the unit's name and the dose its type reports.
struct DoseReportSettings {
    std::string unitName;
    dicom::DoseQuantity quantity = dicom::DoseQuantity::EntranceExposureAtRP;
    std::string softwareVersions;
};
DoseReportSettings doseReportSettings(int xrayType);

// The report of the study from its uses and their records (records not found are left
// out). Throws corva::Error when no use is left.
dicom::DoseReportContent reportContent(const std::vector<db::DoseUse>& uses, const std::vector<DoseRow>& records,
                                       int xrayType, const DoseReportSettings& settings);

// Reads the study's uses and records from the image database and builds the report of
// the patient with `patientId` (empty: the study's one patient), under the UIDs owed for
// it when there are. Throws corva::Error when the study has no exposure applied to a
// stored image of the patient, or when no patient is named and its images are of more than one.
dicom::DoseReportContent studyReport(const std::filesystem::path& imageDatabase, const std::string& studyUid,
                                     const std::string& patientId, int xrayType, const DoseReportSettings& settings);

}  // namespace corva::dose
