#include "app/ctl/station_lookup.h"

#include <charconv>

#include "common/image_set.h"
#include "app/ctl/arguments.h"
#include "db/database.h"

namespace corva::station::ctl {

namespace {
std::string text(const db::Statement& s, int col) { return s.isNull(col) ? std::string() : s.getText(col); }
}  // namespace

std::int64_t patientKeyArgument(const std::string& t) {
    std::int64_t key = 0;
    const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), key);
    if (ec != std::errc() || end != t.data() + t.size() || key <= 0)
        throw UsageError("--patient takes the patient's key (the Key column of 'list patients'), not '" + t + "'");
    return key;
}

void StationLookup::fillPatient(CurrentSelection& s, std::int64_t key) {
    auto st = db_.prepare("SELECT PATID, PATID1, PATNachname, PATVorname FROM tblPatienten WHERE PATID = ?");
    st.bind(1, key);
    if (!st.step()) throw NotThere("no patient with the key " + std::to_string(key));
    s.patientKey = st.getInt(0);
    s.patientId = text(st, 1);
    // The name as the patient list shows it.
    const std::string last = text(st, 2);
    const std::string first = text(st, 3);
    s.patientName = first.empty() ? last : last + ", " + first;
}

CurrentSelection StationLookup::patient(std::int64_t key) {
    CurrentSelection s;
    fillPatient(s, key);
    return s;
}

CurrentSelection StationLookup::study(const std::string& studyUid) {
    auto st = db_.prepare("SELECT StudyID, StudyUID, FKeyPATID FROM tblStudies WHERE StudyUID = ?");
    st.bind(1, studyUid);
    if (!st.step()) throw NotThere("no study with the UID " + studyUid);
    CurrentSelection s;
    s.studyId = std::to_string(st.getInt(0));
    s.studyUid = text(st, 1);
    s.loadedLevel = "Studie";
    const std::int64_t key = st.isNull(2) ? 0 : st.getInt(2);
    try {
        fillPatient(s, key);
    } catch (const NotThere&) {
        s.patientKey = key;  // a study without its patient row still is the study
    }
    return s;
}

CurrentSelection StationLookup::series(const std::string& seriesUid) {
    auto st = db_.prepare("SELECT SeriesID, FKeyStudyID FROM tblSeries WHERE SeriesUID = ?");
    st.bind(1, seriesUid);
    if (!st.step()) throw NotThere("no series with the UID " + seriesUid);
    const std::int64_t seriesId = st.getInt(0);
    const std::int64_t studyId = st.isNull(1) ? 0 : st.getInt(1);
    auto su = db_.prepare("SELECT StudyUID FROM tblStudies WHERE StudyID = ?");
    su.bind(1, studyId);
    if (!su.step()) throw NotThere("the series " + seriesUid + " has no study");
    CurrentSelection s = study(text(su, 0));
    s.seriesId = std::to_string(seriesId);
    s.seriesCount = seriesCountOf(studyId);
    s.loadedLevel = "Serie";
    return s;
}

int StationLookup::studyCountOf(std::int64_t patientKey) {
    auto st = db_.prepare("SELECT COUNT(*) FROM tblStudies WHERE FKeyPATID = ?");
    st.bind(1, patientKey);
    return st.step() ? static_cast<int>(st.getInt(0)) : 0;
}

int StationLookup::seriesCountOf(std::int64_t studyId) {
    auto st = db_.prepare("SELECT COUNT(*) FROM tblSeries WHERE FKeyStudyID = ?");
    st.bind(1, studyId);
    return st.step() ? static_cast<int>(st.getInt(0)) : 0;
}

std::vector<std::string> StationLookup::studyImages(std::int64_t studyId) {
    std::vector<std::int64_t> series;
    auto st = db_.prepare("SELECT SeriesID FROM tblSeries WHERE FKeyStudyID = ? ORDER BY SeriesID");
    st.bind(1, studyId);
    while (st.step()) series.push_back(st.getInt(0));
    const ImageSetQuery q = ImageSetQuery::ofStudy(series);
    if (q.noSeries) return {};
    return imageUids(db_, q);
}

std::vector<std::string> StationLookup::seriesImages(std::int64_t seriesId) {
    return imageUids(db_, ImageSetQuery::ofSeries(seriesId));
}

}  // namespace corva::station::ctl
