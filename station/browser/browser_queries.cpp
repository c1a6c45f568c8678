#include "browser/browser_queries.h"

#include <QDate>
#include <QDateTime>
#include <QString>

#include "db/database.h"

namespace corva::station {

namespace {

std::string text(const db::Statement& s, int col) {
    return s.isNull(col) ? std::string() : s.getText(col);
}

}  // namespace

namespace {

// A stored text that begins with a valid "yyyy-MM-dd" of the years 1000 to 9999, as
// "dd.MM.yyyy"; empty for anything else. The patient list shows one date per patient:
// this spares it a date parser per row. What it does not take goes through QDate.
std::string isoDateShown(const std::string& stored) {
    if (stored.size() < 10 || stored[4] != '-' || stored[7] != '-') return {};
    int digits[8];
    for (int i = 0, k = 0; i < 10; ++i) {
        if (i == 4 || i == 7) continue;
        if (stored[i] < '0' || stored[i] > '9') return {};
        digits[k++] = stored[i] - '0';
    }
    const int year = digits[0] * 1000 + digits[1] * 100 + digits[2] * 10 + digits[3];
    const int month = digits[4] * 10 + digits[5];
    const int day = digits[6] * 10 + digits[7];
    static constexpr int monthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (year < 1000 || month < 1 || month > 12 || day < 1 ||
        day > monthDays[month - 1] + (month == 2 && leap ? 1 : 0))
        return {};
    std::string shown = "dd.MM.yyyy";
    shown[0] = stored[8];
    shown[1] = stored[9];
    shown[3] = stored[5];
    shown[4] = stored[6];
    shown.replace(6, 4, stored, 0, 4);
    return shown;
}

}  // namespace

std::string displayDate(const std::string& stored) {
    if (std::string shown = isoDateShown(stored); !shown.empty()) return shown;
    const QString s = QString::fromStdString(stored).trimmed();
    const QDate d = QDate::fromString(s.left(10), Qt::ISODate);
    if (!d.isValid()) return stored;
    return d.toString("dd.MM.yyyy").toStdString();
}

std::string displayTime(const std::string& stored) {
    const QString s = QString::fromStdString(stored).trimmed();
    // A stored date with time separates the two by a blank (or an ISO "T").
    int blank = s.indexOf(' ');
    if (blank < 0 && s.size() > 10 && s.at(10) == 'T') blank = 10;
    const QString timePart = blank >= 0 ? s.mid(blank + 1) : s;
    const QTime t = QTime::fromString(timePart.left(8), "HH:mm:ss");
    if (t.isValid()) return t.toString("HH:mm:ss").toStdString();
    const QTime shortT = QTime::fromString(timePart, "HH:mm");
    if (shortT.isValid()) return shortT.toString("HH:mm:ss").toStdString();
    if (blank < 0) {
        const QDate d = QDate::fromString(s, Qt::ISODate);
        if (d.isValid()) return "00:00:00";
    }
    return stored;
}

int BrowserQueries::receiveCount() {
    auto s = db_.prepare("SELECT Count(PatID) AS ReceiveCount FROM tblReceive");
    return s.step() ? static_cast<int>(s.getInt(0)) : 0;
}

void BrowserQueries::clearReceive() {
    db_.exec("DELETE FROM tblReceive");
}

std::vector<PatientRow> BrowserQueries::patients() {
    auto s = db_.prepare("SELECT PatID, PatID1, PatNachname, PatVorname, Pat2Vorname, PatGebDatum FROM tblPatienten");
    std::vector<PatientRow> rows;
    while (s.step()) {
        PatientRow r;
        r.key = s.getInt(0);
        r.id = text(s, 1);
        const std::string last = text(s, 2);
        if (s.isNull(3) || text(s, 3).empty()) r.name = last;
        else r.name = last + ", " + text(s, 3);
        r.secondName = text(s, 4);
        // The no-date marker stands for "no birth date": shown as an empty column.
        const std::string born = text(s, 5);
        r.birthDate = born.rfind(db::NoDateMarker, 0) == 0 ? std::string() : displayDate(born);
        rows.push_back(std::move(r));
    }
    return rows;
}

std::vector<StudyRow> BrowserQueries::studiesOf(const std::string& patientId) {
    auto s = db_.prepare(
        "SELECT StudyID, StudyUID, StudyDate, StudyTime, Modality, Bodypart FROM view_studies WHERE PatID1 = ?");
    s.bind(1, patientId);
    std::vector<StudyRow> rows;
    while (s.step()) {
        StudyRow r;
        r.studyId = text(s, 0);
        r.studyUid = text(s, 1);
        r.date = s.isNull(2) ? std::string() : displayDate(text(s, 2));
        r.time = s.isNull(3) ? std::string() : displayTime(text(s, 3));
        r.modality = text(s, 4);
        r.bodypart = text(s, 5);
        rows.push_back(std::move(r));
    }
    return rows;
}

std::vector<std::int64_t> BrowserQueries::seriesKeysOf(std::int64_t studyId) {
    auto s = db_.prepare("SELECT SeriesID FROM tblSeries WHERE FKeyStudyID = ? ORDER BY SeriesID");
    s.bind(1, studyId);
    std::vector<std::int64_t> keys;
    while (s.step()) keys.push_back(s.getInt(0));
    return keys;
}

std::vector<SeriesRow> BrowserQueries::seriesOf(std::int64_t studyId) {
    auto s = db_.prepare(
        "SELECT SeriesID, SeriesUID, SeriesNr FROM tblSeries WHERE FKeyStudyID = ? ORDER BY SeriesNr, SeriesID");
    s.bind(1, studyId);
    std::vector<SeriesRow> rows;
    while (s.step()) rows.push_back({s.getInt(0), text(s, 1), text(s, 2)});
    return rows;
}

namespace {

std::vector<ImageListRow> imageRows(db::Statement& s) {
    std::vector<ImageListRow> rows;
    while (s.step()) {
        ImageListRow r;
        r.imageId = text(s, 0);
        r.date = s.isNull(1) ? std::string() : displayDate(text(s, 1));
        r.time = s.isNull(2) ? std::string() : displayTime(text(s, 2));
        r.imageUid = text(s, 3);
        rows.push_back(std::move(r));
    }
    return rows;
}

}  // namespace

std::vector<ImageListRow> BrowserQueries::imagesOfStudy(const std::string& studyUid) {
    auto s = db_.prepare(
        "SELECT ImageID, ImageDate, ImageTime, ImageUID from View_Images WHERE StudyUID = ? ORDER BY ImageDate, "
        "ImageTime, ImageID");
    s.bind(1, studyUid);
    return imageRows(s);
}

std::vector<ImageListRow> BrowserQueries::imagesOfSeries(std::int64_t seriesId) {
    auto s = db_.prepare(
        "SELECT ImageID, ImageDate, ImageTime, ImageUID from View_Images WHERE FKeySeriesID = ? ORDER BY ImageDate, "
        "ImageTime, ImageID");
    s.bind(1, seriesId);
    return imageRows(s);
}

void BrowserQueries::deleteImage(std::int64_t imageId) {
    auto s = db_.prepare("Delete from tblImages Where ImageID = ?");
    s.bind(1, imageId);
    s.run();
}

}  // namespace corva::station
