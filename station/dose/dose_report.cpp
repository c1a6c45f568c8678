#include "dose/dose_report.h"

#include <QDate>
#include <QDateTime>
#include <QRegularExpression>
#include <QStringList>
#include <QTime>
#include <map>
#include <optional>
#include <set>

#include "core/error.h"
#include "dose/exposure.h"
#include "dose/exposure_values.h"
#include "dose/modify_image.h"
#include "dose/projection.h"
#include "settings/settings.h"

namespace corva::dose {

namespace {

using dicom::Tag;

constexpr const char* Where = "dose report";

std::string textOf(const dicom::DataSet& header, Tag tag) { return header.get(tag).text; }

// A quantity of the record: none of them is below zero, so a negative one is garbage and left out.
std::optional<double> number(const QString& text, const QString& unit = {}) {
    const std::optional<double> v = recordNumber(text, unit);
    return v && *v >= 0 ? v : std::nullopt;
}

// "Mo", "MO", "mo" -> "Mo".
std::string elementSymbol(const QString& text) {
    static const std::map<QString, std::string> symbols = {{"MO", "Mo"}, {"RH", "Rh"}, {"W", "W"},
                                                            {"AG", "Ag"}, {"AL", "Al"}, {"CU", "Cu"}};
    const auto it = symbols.find(text.trimmed().toUpper());
    return it == symbols.end() ? std::string() : it->second;
}

dicom::DateTime recordTime(const DoseRow& record) {
    dicom::DateTime t;
    const QDate date = QDate::fromString(record.datum.trimmed(), QStringLiteral("dd.MM.yyyy"));
    if (!date.isValid()) return t;
    t.hasDate = true;
    t.year = date.year();
    t.month = date.month();
    t.day = date.day();
    QTime time = QTime::fromString(record.zeit.trimmed(), QStringLiteral("HH:mm:ss"));
    if (!time.isValid()) time = QTime::fromString(record.zeit.trimmed(), QStringLiteral("H:mm:ss"));
    if (time.isValid()) {
        t.hasTime = true;
        t.hour = time.hour();
        t.minute = time.minute();
        t.second = time.second();
    }
    return t;
}

}  // namespace

db::DoseUse doseUseOf(const dicom::DataSet& converted, std::int64_t recordId) {
    db::DoseUse use;
    use.recordId = recordId;
    use.eventUid = dicom::newUid();
    use.studyUid = textOf(converted, {0x0020, 0x000D});
    use.seriesUid = textOf(converted, {0x0020, 0x000E});
    use.imageUid = textOf(converted, {0x0008, 0x0018});
    use.sopClassUid = textOf(converted, {0x0008, 0x0016});
    const Projection projection = projectionOf(converted).projection;
    use.laterality = sideLetter(projection.side).toStdString();
    const ViewMapping view = mapProjection(projection);
    use.viewCode = view.codeValue.toStdString();
    use.viewMeaning = view.codeMeaning.toStdString();
    use.patientName = textOf(converted, {0x0010, 0x0010});
    use.patientId = textOf(converted, {0x0010, 0x0020});
    use.patientBirthDate = textOf(converted, {0x0010, 0x0030});
    use.patientSex = textOf(converted, {0x0010, 0x0040});
    use.studyId = textOf(converted, {0x0020, 0x0010});
    use.studyDate = textOf(converted, {0x0008, 0x0020});
    use.studyTime = textOf(converted, {0x0008, 0x0030});
    use.accessionNumber = textOf(converted, {0x0008, 0x0050});
    use.referringPhysician = textOf(converted, {0x0008, 0x0090});
    return use;
}

TargetFilter targetFilter(const QString& sonstiges) {
    static const QRegularExpression pair(QStringLiteral("^\\s*([A-Za-z]{1,2})\\s*/\\s*([A-Za-z]{1,2})\\s*$"));
    for (const QString& item : sonstiges.split(QLatin1Char(','))) {
        const QRegularExpressionMatch m = pair.match(item);
        if (!m.hasMatch()) continue;
        TargetFilter tf{elementSymbol(m.captured(1)), elementSymbol(m.captured(2))};
        if (!tf.target.empty() && !tf.filter.empty()) return tf;
    }
    return {};
}

dicom::DoseEvent doseEvent(const db::DoseUse& use, const DoseRow& record, int xrayType) {
    dicom::DoseEvent e;
    e.eventUid = use.eventUid;
    e.started = recordTime(record);
    e.laterality = use.laterality;
    e.viewCode = use.viewCode;
    e.viewMeaning = use.viewMeaning;
    e.imageSopClassUid = use.sopClassUid;
    e.imageSopInstanceUid = use.imageUid;
    e.imageSeriesUid = use.seriesUid;
    e.kvp = number(record.kvp, QStringLiteral("kV"));
    e.currentTimeMas = number(record.ma, QStringLiteral("mAs"));
    e.doseMGy = number(record.mGy, QStringLiteral("mGy"));
    if (xrayType == unit::Sophie) {
        // As the conversion reads them: seconds, millimetres and newtons (kilograms x 10).
        if (const auto seconds = number(record.expZeit, QStringLiteral("s")))
            e.exposureTimeMs = std::round(*seconds * 1000.0 * 1e6) / 1e6;
        e.thicknessMm = number(record.dicke);
        e.forceN = number(record.druck);
        const TargetFilter tf = targetFilter(record.sonstiges);
        e.anodeTarget = tf.target;
        e.filterMaterial = tf.filter;
    }
    return e;
}

DoseReportSettings doseReportSettings(int xrayType) {
    const settings::Settings& s = settings::current();
    DoseReportSettings out;
    out.unitName = s.doseUnitName;
    const int quantity = xrayType == unit::Giotto ? s.doseQuantityGiotto : s.doseQuantitySophie;
    out.quantity = quantity == 1 ? dicom::DoseQuantity::AverageGlandularDose : dicom::DoseQuantity::EntranceExposureAtRP;
    return out;
}

dicom::DoseReportContent reportContent(const std::vector<db::DoseUse>& uses, const std::vector<DoseRow>& records,
                                       int xrayType, const DoseReportSettings& settings) {
    std::map<std::int64_t, const DoseRow*> byId;
    for (const DoseRow& r : records) byId[r.id] = &r;
    dicom::DoseReportContent c;
    for (const db::DoseUse& use : uses) {
        const auto it = byId.find(use.recordId);
        if (it == byId.end()) continue;
        if (c.events.empty()) {
            c.patientName = use.patientName;
            c.patientId = use.patientId;
            c.patientBirthDate = use.patientBirthDate;
            c.patientSex = use.patientSex;
            c.studyUid = use.studyUid;
            c.studyId = use.studyId;
            c.studyDate = use.studyDate;
            c.studyTime = use.studyTime;
            c.accessionNumber = use.accessionNumber;
            c.referringPhysician = use.referringPhysician;
        }
        c.events.push_back(doseEvent(use, *it->second, xrayType));
    }
    if (c.events.empty())
        throw Error(errc::NotFound, "The study has no exposure record applied to an image the destination stored",
                    Where);
    c.seriesUid = dicom::newUid();
    c.sopInstanceUid = dicom::newUid();
    // Beyond the reader's series numbers, so that the report lists after the images.
    c.seriesNumber = 9001;
    const QDateTime now = QDateTime::currentDateTime();
    c.content.hasDate = c.content.hasTime = true;
    c.content.year = now.date().year();
    c.content.month = now.date().month();
    c.content.day = now.date().day();
    c.content.hour = now.time().hour();
    c.content.minute = now.time().minute();
    c.content.second = now.time().second();
    // The name as the settings file holds it, which may have been edited by hand: no
    // control character in a text value; letters beyond ASCII stay.
    QString name;
    for (const QChar ch : QString::fromStdString(settings.unitName))
        if (ch.category() != QChar::Other_Control) name += ch;
    const std::string unitName = name.trimmed().toStdString();
    c.observerName = unitName.empty() ? std::string("X-ray unit") : unitName;
    c.observerUid = dicom::nameUid("X-ray unit " + c.observerName);
    c.manufacturer = "Corvalight";
    c.modelName = "Corvalight";
    c.deviceSerialNumber = "1";
    c.softwareVersions = settings.softwareVersions.empty() ? std::string("1") : settings.softwareVersions;
    c.quantity = settings.quantity;
    return c;
}

dicom::DoseReportContent studyReport(const std::filesystem::path& imageDatabase, const std::string& studyUid,
                                     const std::string& patientId, int xrayType, const DoseReportSettings& settings) {
    std::vector<db::DoseUse> uses;
    std::optional<db::OwedDoseReport> owed;
    {
        db::Database db(imageDatabase);
        // A study UID a modality gave two patients: each report holds one patient's exposures.
        std::set<std::string> patients;
        for (db::DoseUse& use : db::doseUsesOfStudy(db, studyUid)) {
            if (!patientId.empty() && use.patientId != patientId) continue;
            patients.insert(use.patientId);
            uses.push_back(std::move(use));
        }
        if (patients.size() > 1) {
            std::string names;
            for (const std::string& p : patients) names += (names.empty() ? "" : ", ") + p;
            throw Error(errc::Generic, "The study's exposures were applied to images of more than one patient (" +
                                           names + "): its report is written per patient",
                        Where);
        }
        if (!patients.empty()) owed = db::owedDoseReport(db, studyUid, *patients.begin());
    }
    std::vector<std::int64_t> ids;
    for (const db::DoseUse& use : uses) ids.push_back(use.recordId);
    dicom::DoseReportContent content = reportContent(uses, DoseStore(imageDatabase).records(ids), xrayType, settings);
    if (owed) {
        content.seriesUid = owed->seriesUid;
        content.sopInstanceUid = owed->sopInstanceUid;
    }
    return content;
}

}  // namespace corva::dose
