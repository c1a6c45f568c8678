#pragma once
// The browser's and viewer's statements on the image database. Every value is bound
// as a parameter, so a patient ID with an apostrophe lists its studies like any other,
// and every key is carried as a 64-bit number (ImageID may pass 32767 in months).
#include <cstdint>
#include <string>
#include <vector>

#include "common/image_set.h"

namespace corva::db {
class Database;
}

namespace corva::station {

struct PatientRow {
    std::int64_t key = 0;     // PatID
    std::string id;           // PatID1
    std::string name;         // "Lastname, Firstname", or the last name alone
    std::string secondName;   // Pat2Vorname
    std::string birthDate;    // as shown; empty for the no-date marker
};

struct StudyRow {
    std::string studyId;  // StudyID as text
    std::string studyUid;
    std::string date, time, modality, bodypart;
};

struct SeriesRow {
    std::int64_t seriesId = 0;
    std::string seriesUid;
    std::string seriesNr;
};

struct ImageListRow {
    std::string imageId, date, time, imageUid;
};

// Display forms of stored ISO dates and times ("2024-01-15" -> "15.01.2024",
// "2024-01-15 10:15:00" -> time "10:15:00"; a time stored without its date lies on
// "1899-12-30" and shows as the time alone). Text that is not a stored date stays as it is.
std::string displayDate(const std::string& stored);
std::string displayTime(const std::string& stored);

class BrowserQueries {
public:
    explicit BrowserQueries(db::Database& db) : db_(db) {}

    // The receive table: "SELECT Count(PatID) AS ReceiveCount FROM tblReceive" and emptying it.
    int receiveCount();
    void clearReceive();

    std::vector<PatientRow> patients();
    std::vector<StudyRow> studiesOf(const std::string& patientId);
    std::vector<std::int64_t> seriesKeysOf(std::int64_t studyId);
    std::vector<SeriesRow> seriesOf(std::int64_t studyId);

    // The image list (lvImages) of a study or a series.
    std::vector<ImageListRow> imagesOfStudy(const std::string& studyUid);
    std::vector<ImageListRow> imagesOfSeries(std::int64_t seriesId);

    // The image set of a study (made of its series, in order) and of one series.
    static ImageSetQuery studyImageQuery(const std::vector<std::int64_t>& seriesIds) {
        return ImageSetQuery::ofStudy(seriesIds);
    }
    static ImageSetQuery seriesImageQuery(std::int64_t seriesId) { return ImageSetQuery::ofSeries(seriesId); }
    std::int64_t imageCount(const ImageSetQuery& q) { return corva::station::imageCount(db_, q); }
    std::vector<std::string> imageUids(const ImageSetQuery& q) { return corva::station::imageUids(db_, q); }

    // "Delete from tblImages Where ImageID = ?"
    void deleteImage(std::int64_t imageId);

private:
    db::Database& db_;
};

}  // namespace corva::station
