#include "db/dose_use.h"

#include "core/error.h"

namespace corva::db {

namespace {

// Made where it is first needed: image databases made before it lack it.
constexpr const char* DoseUseTable = R"SQL(
CREATE TABLE IF NOT EXISTS tblDoseUse (
  UseID INTEGER PRIMARY KEY AUTOINCREMENT,
  RecordID INTEGER NOT NULL,
  EventUID TEXT NOT NULL,
  StudyUID TEXT COLLATE NOCASE,
  SeriesUID TEXT COLLATE NOCASE,
  ImageUID TEXT COLLATE NOCASE,
  SOPClassUID TEXT,
  Laterality TEXT,
  ViewCode TEXT,
  ViewMeaning TEXT,
  PatientName TEXT,
  PatientID TEXT,
  PatientBirthDate TEXT,
  PatientSex TEXT,
  StudyIDText TEXT,
  StudyDate TEXT,
  StudyTime TEXT,
  AccessionNumber TEXT,
  ReferringPhysician TEXT);
CREATE INDEX IF NOT EXISTS idxDoseUseRecordID ON tblDoseUse (RecordID);
CREATE INDEX IF NOT EXISTS idxDoseUseStudyUID ON tblDoseUse (StudyUID);
)SQL";

constexpr const char* OwedReportTable = R"SQL(
CREATE TABLE IF NOT EXISTS tblDoseReport (
  StudyUID TEXT NOT NULL COLLATE NOCASE,
  PatientID TEXT NOT NULL,
  SeriesUID TEXT NOT NULL,
  SOPInstanceUID TEXT NOT NULL,
  Destination TEXT,
  PRIMARY KEY (StudyUID, PatientID));
)SQL";

// The table, with the destination column a table of an earlier version lacks.
void ensureOwedReportTable(Database& db)
{
    db.exec(OwedReportTable);
    if (!db.hasColumn("tblDoseReport", "Destination"))
        db.exec("ALTER TABLE tblDoseReport ADD COLUMN Destination TEXT");
}

}  // namespace

void recordDoseUses(Database& db, const std::vector<DoseUse>& uses)
{
    if (uses.empty())
        return;
    db.exec(DoseUseTable);
    auto drop = db.prepare("DELETE FROM tblDoseUse WHERE RecordID = ?");
    auto add = db.prepare(
        "INSERT INTO tblDoseUse (RecordID, EventUID, StudyUID, SeriesUID, ImageUID, SOPClassUID, Laterality, "
        "ViewCode, ViewMeaning, PatientName, PatientID, PatientBirthDate, PatientSex, StudyIDText, StudyDate, "
        "StudyTime, AccessionNumber, ReferringPhysician) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    for (const DoseUse& u : uses) {
        if (u.recordId == 0 || u.eventUid.empty() || u.studyUid.empty())
            throw Error(errc::Generic, "An exposure record's use names no record, event or study", "dose use");
        drop.reset();
        drop.bind(1, u.recordId);
        drop.run();
        add.reset();
        int i = 0;
        add.bind(++i, u.recordId);
        for (const std::string* text :
             {&u.eventUid, &u.studyUid, &u.seriesUid, &u.imageUid, &u.sopClassUid, &u.laterality, &u.viewCode,
              &u.viewMeaning, &u.patientName, &u.patientId, &u.patientBirthDate, &u.patientSex, &u.studyId,
              &u.studyDate, &u.studyTime, &u.accessionNumber, &u.referringPhysician})
            add.bind(++i, *text);
        add.run();
    }
}

std::vector<DoseUse> doseUsesOfStudy(Database& db, const std::string& studyUid)
{
    std::vector<DoseUse> out;
    if (!db.hasTable("tblDoseUse"))
        return out;
    // A record set free again (its image was not what the archive kept) no longer counts.
    auto st = db.prepare(
        "SELECT u.RecordID, u.EventUID, u.StudyUID, u.SeriesUID, u.ImageUID, u.SOPClassUID, u.Laterality, "
        "u.ViewCode, u.ViewMeaning, u.PatientName, u.PatientID, u.PatientBirthDate, u.PatientSex, u.StudyIDText, "
        "u.StudyDate, u.StudyTime, u.AccessionNumber, u.ReferringPhysician FROM tblDoseUse u "
        "JOIN tblDosis d ON d.ID = u.RecordID WHERE u.StudyUID = ? AND d.Status = '1' ORDER BY u.UseID");
    st.bind(1, studyUid);
    while (st.step()) {
        DoseUse u;
        int i = 0;
        u.recordId = st.getInt(i++);
        for (std::string* text :
             {&u.eventUid, &u.studyUid, &u.seriesUid, &u.imageUid, &u.sopClassUid, &u.laterality, &u.viewCode,
              &u.viewMeaning, &u.patientName, &u.patientId, &u.patientBirthDate, &u.patientSex, &u.studyId,
              &u.studyDate, &u.studyTime, &u.accessionNumber, &u.referringPhysician})
            *text = st.getText(i++);
        out.push_back(std::move(u));
    }
    return out;
}

void oweDoseReport(Database& db, const std::string& studyUid, const std::string& patientId,
                   const std::string& seriesUid, const std::string& sopInstanceUid, const std::string& destination)
{
    if (studyUid.empty() || seriesUid.empty() || sopInstanceUid.empty())
        throw Error(errc::Generic, "An owed dose report names no study or UIDs", "dose use");
    ensureOwedReportTable(db);
    auto st = db.prepare(
        "INSERT OR REPLACE INTO tblDoseReport (StudyUID, PatientID, SeriesUID, SOPInstanceUID, Destination) "
        "VALUES (?, ?, ?, ?, ?)");
    st.bind(1, studyUid).bind(2, patientId).bind(3, seriesUid).bind(4, sopInstanceUid).bind(5, destination);
    st.run();
}

std::optional<OwedDoseReport> owedDoseReport(Database& db, const std::string& studyUid, const std::string& patientId)
{
    if (!db.hasTable("tblDoseReport"))
        return std::nullopt;
    const bool withDestination = db.hasColumn("tblDoseReport", "Destination");
    auto st = db.prepare(std::string("SELECT SeriesUID, SOPInstanceUID, ") +
                         (withDestination ? "Destination" : "NULL") +
                         " FROM tblDoseReport WHERE StudyUID = ? AND PatientID = ?");
    st.bind(1, studyUid).bind(2, patientId);
    if (!st.step())
        return std::nullopt;
    return OwedDoseReport{st.getText(0), st.getText(1), st.isNull(2) ? std::string() : st.getText(2)};
}

void forgetOwedDoseReports(Database& db, const std::string& studyUid, const std::string& patientId)
{
    if (!db.hasTable("tblDoseReport"))
        return;
    auto st = db.prepare("DELETE FROM tblDoseReport WHERE StudyUID = ? AND (? = '' OR PatientID = ?)");
    st.bind(1, studyUid).bind(2, patientId).bind(3, patientId);
    st.run();
}

std::vector<std::string> patientsOwedDoseReport(Database& db, const std::string& studyUid)
{
    std::vector<std::string> out;
    if (!db.hasTable("tblDoseReport"))
        return out;
    auto st = db.prepare("SELECT PatientID FROM tblDoseReport WHERE StudyUID = ? ORDER BY PatientID");
    st.bind(1, studyUid);
    while (st.step())
        out.push_back(st.getText(0));
    return out;
}

void settleDoseReport(Database& db, const std::string& sopInstanceUid)
{
    if (!db.hasTable("tblDoseReport"))
        return;
    auto st = db.prepare("DELETE FROM tblDoseReport WHERE SOPInstanceUID = ?");
    st.bind(1, sopInstanceUid);
    st.run();
}

}  // namespace corva::db
