#pragma once
// Which exposure record was applied to which stored image: written when forwarding
// marks the record used (in the same transaction), read when the study's dose report
// is written. It keeps the image's patient, study and projection, since the image may
// leave the station with its send; the record's values stay in tblDosis.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "db/database.h"

namespace corva::db {

struct DoseUse {
    std::int64_t recordId = 0;
    std::string eventUid;  // the exposure's Irradiation Event UID, made when it is first used
    // The image the record was applied to.
    std::string studyUid, seriesUid, imageUid, sopClassUid;
    std::string laterality;               // "L", "R" or empty
    std::string viewCode, viewMeaning;    // the image's view code; empty when unknown
    std::string patientName, patientId, patientBirthDate, patientSex;
    std::string studyId, studyDate, studyTime, accessionNumber, referringPhysician;
};

// Records these uses, each replacing an earlier use of its record (a record set free
// and used again belongs to its last image). The caller holds a transaction.
void recordDoseUses(Database& db, const std::vector<DoseUse>& uses);

// The uses of the study's images whose records are still marked used, in the order
// they were recorded.
std::vector<DoseUse> doseUsesOfStudy(Database& db, const std::string& studyUid);

// A patient's dose report of a study that is owed since records were used for it: its
// UIDs are fixed then, so that a report sent again after a kill (which cannot know
// whether the archive took it) is the same instance, never a second report of the same
// exposures. It is settled once the archive stored it or the station filed it.
struct OwedDoseReport {
    std::string seriesUid, sopInstanceUid;
    std::string destination;  // "<AET>@<host>:<port>" the forwarding sent the images to; empty: not known
};
// Owes the report with these UIDs. A report of the study's patient still owed gives way:
// it may have reached the archive with the exposures it had then, and an instance is never
// sent again with other contents; the new one carries those exposures too. The caller holds
// a transaction.
void oweDoseReport(Database& db, const std::string& studyUid, const std::string& patientId,
                   const std::string& seriesUid, const std::string& sopInstanceUid,
                   const std::string& destination = {});
std::optional<OwedDoseReport> owedDoseReport(Database& db, const std::string& studyUid, const std::string& patientId);
void settleDoseReport(Database& db, const std::string& sopInstanceUid);
// Owes no report of the study's patient (empty: of any patient) any more: nothing is
// left to write it from.
void forgetOwedDoseReports(Database& db, const std::string& studyUid, const std::string& patientId);
// The patients of the study whose report is owed.
std::vector<std::string> patientsOwedDoseReport(Database& db, const std::string& studyUid);

}  // namespace corva::db
