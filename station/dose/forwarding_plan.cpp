#include "dose/forwarding_plan.h"

#include <QDate>
#include <QTime>
#include <algorithm>
#include <map>

namespace corva::dose {
namespace {

std::optional<dicom::DateTime> dateTimeValue(const dicom::DataSet& header, dicom::Tag tag) {
    const dicom::Attribute a = header.get(tag);
    if (a.isNull()) return std::nullopt;
    if (const auto* dt = std::get_if<dicom::DateTime>(&a.values.front())) return *dt;
    return std::nullopt;
}

std::optional<QDateTime> toQt(const std::optional<dicom::DateTime>& date, const std::optional<dicom::DateTime>& time) {
    if (!date || !date->hasDate) return std::nullopt;
    const QDate d(date->year, date->month, date->day);
    if (!d.isValid()) return std::nullopt;
    QTime t(0, 0);
    const dicom::DateTime* clock = time && time->hasTime ? &*time : (date->hasTime ? &*date : nullptr);
    if (clock) t = QTime(clock->hour, clock->minute, clock->second, clock->microsecond / 1000);
    if (!t.isValid()) return std::nullopt;
    return QDateTime(d, t);
}

// When the image was taken: acquisition date and time, else the content's.
std::optional<QDateTime> takenAt(const dicom::DataSet& header) {
    if (auto dt = toQt(dateTimeValue(header, {0x0008, 0x002A}), std::nullopt)) return dt;
    if (auto dt = toQt(dateTimeValue(header, {0x0008, 0x0022}), dateTimeValue(header, {0x0008, 0x0032}))) return dt;
    return toQt(dateTimeValue(header, {0x0008, 0x0023}), dateTimeValue(header, {0x0008, 0x0033}));
}

QString ordinal(std::size_t n) {
    const QString s = QString::number(n);
    if (n % 100 >= 11 && n % 100 <= 13) return s + QStringLiteral("th");
    switch (n % 10) {
        case 1: return s + QStringLiteral("st");
        case 2: return s + QStringLiteral("nd");
        case 3: return s + QStringLiteral("rd");
        default: return s + QStringLiteral("th");
    }
}

QString recordName(const DoseRow& r) {
    return QStringLiteral("%1 %2 (ID %3)").arg(r.datum, r.zeit).arg(r.id);
}

QString positions(const std::vector<const PlanImage*>& images) {
    QStringList out;
    for (const PlanImage* i : images) out << QString::number(i->position);
    return (images.size() == 1 ? QStringLiteral("image ") : QStringLiteral("images ")) + out.join(QStringLiteral(", "));
}

// Images of one projection in the order they were taken; without times for all of
// them, in instance number and list order.
void sortImages(std::vector<const PlanImage*>& images) {
    const bool allTimed = std::all_of(images.begin(), images.end(), [](const PlanImage* i) { return i->taken.has_value(); });
    std::stable_sort(images.begin(), images.end(), [allTimed](const PlanImage* a, const PlanImage* b) {
        if (allTimed && *a->taken != *b->taken) return *a->taken < *b->taken;
        if (a->instanceNumber != b->instanceNumber) return a->instanceNumber < b->instanceNumber;
        return a->position < b->position;
    });
}

void sortRecords(std::vector<const PlanRecord*>& records) {
    const bool allTimed =
        std::all_of(records.begin(), records.end(), [](const PlanRecord* r) { return r->time.has_value(); });
    std::stable_sort(records.begin(), records.end(), [allTimed](const PlanRecord* a, const PlanRecord* b) {
        if (allTimed && *a->time != *b->time) return *a->time < *b->time;
        return a->row.id < b->row.id;
    });
}

// Why a record cannot have been taken for an image, judged by the two clocks: the
// unit's record is made at the exposure, the reader reads the plate minutes later.
QString implausibleTime(const PlanImage& image, const PlanRecord& record) {
    if (!image.taken || !record.time) return {};
    const QString which = QStringLiteral("Exposure record %1 and image %2 (taken %3)")
                              .arg(recordName(record.row))
                              .arg(image.position)
                              .arg(image.taken->toString(QStringLiteral("dd.MM.yyyy HH:mm:ss")));
    if (record.time->date() != image.taken->date())
        return which + QStringLiteral(" are of different days.");
    const qint64 minutes = image.taken->secsTo(*record.time) / 60;
    if (minutes > RecordAfterImageMinutes)
        return which + QStringLiteral(": the record was made %1 minutes after the image (check the clocks of the "
                                      "reader and the station).")
                           .arg(minutes);
    if (-minutes > RecordBeforeImageMinutes)
        return which + QStringLiteral(": the record was made %1 minutes before the image; it is likely another "
                                      "exam's.")
                           .arg(-minutes);
    return {};
}

}  // namespace

PlanImage planImage(const dicom::DataSet& header, const std::string& sopInstanceUid, int position,
                    std::int64_t imageId) {
    PlanImage p;
    p.sopInstanceUid = sopInstanceUid;
    p.imageId = imageId;
    p.position = position;
    p.projection = projectionOf(header);
    p.taken = takenAt(header);
    const dicom::Attribute name = header.get({0x0010, 0x0010});
    if (name.exists) p.patientName = QString::fromStdString(name.text);
    const dicom::Attribute number = header.get({0x0020, 0x0013});
    if (!number.isNull())
        if (const auto* d = std::get_if<double>(&number.values.front())) p.instanceNumber = static_cast<int>(*d);
    return p;
}

PlanRecord planRecord(const DoseRow& row, int xrayType) {
    PlanRecord r;
    r.row = row;
    r.projectionText = row.sonstiges;
    r.projection = recordProjection(row.sonstiges, xrayType);
    const QDate d = QDate::fromString(row.datum.trimmed(), QStringLiteral("dd.MM.yyyy"));
    const QTime t = QTime::fromString(row.zeit.trimmed(), QStringLiteral("hh:mm:ss"));
    if (d.isValid() && t.isValid()) r.time = QDateTime(d, t);
    return r;
}

namespace {

// Upper-case words of letters and digits, accents dropped ("Müller^Anna" -> MULLER ANNA).
QStringList nameWords(const QString& name) {
    // German umlauts are written out, as a unit without them writes them.
    QString spelled = name.toUpper();
    spelled.replace(QStringLiteral("\u00C4"), QStringLiteral("AE"))
        .replace(QStringLiteral("\u00D6"), QStringLiteral("OE"))
        .replace(QStringLiteral("\u00DC"), QStringLiteral("UE"))
        .replace(QStringLiteral("\u00DF"), QStringLiteral("SS"))
        .replace(QStringLiteral("\u1E9E"), QStringLiteral("SS"));
    QString plain;
    for (const QChar c : spelled.normalized(QString::NormalizationForm_D)) {
        if (c.isLetterOrNumber() && c.unicode() < 0x80)
            plain += c.toUpper();
        else if (!c.isMark())
            plain += QLatin1Char(' ');
    }
    return plain.split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

}  // namespace

bool namesMatch(const QString& unitName, const QString& patientName) {
    const QStringList unit = nameWords(unitName), image = nameWords(patientName);
    if (unit.isEmpty() || image.isEmpty()) return true;  // nothing to compare
    for (const QString& word : unit) {
        // A long word may be cut short by the unit; a short one must be whole.
        const bool found = std::any_of(image.begin(), image.end(), [&](const QString& w) {
            return w == word || (word.size() >= 6 && w.startsWith(word));
        });
        if (!found) return false;
    }
    return true;
}

CurrentExposure exposureOf(const DoseRow& row) {
    return CurrentExposure{row.kvp, row.ma, row.dicke, row.druck, row.mGy, row.sonstiges, row.expZeit};
}

ForwardingPlan ForwardingPlan::make(std::vector<PlanImage> images, const std::vector<PlanRecord>& records) {
    ForwardingPlan plan;
    if (images.empty()) {
        plan.refusals_ << QStringLiteral("The study has no images to forward.");
        return plan;
    }
    std::map<QString, std::vector<const PlanImage*>> imagesByKey;
    std::map<QString, std::vector<const PlanRecord*>> recordsByKey;
    for (const PlanImage& image : images) {
        if (image.projection.sidesDisagree) {
            plan.refusals_ << QStringLiteral("Image %1: its header names two different sides (%2).")
                                  .arg(image.position)
                                  .arg(image.projection.describe());
        } else if (!image.projection.projection.known()) {
            plan.refusals_ << QStringLiteral("Image %1: its projection cannot be read (%2).")
                                  .arg(image.position)
                                  .arg(image.projection.describe());
        } else {
            imagesByKey[image.projection.projection.key()].push_back(&image);
        }
    }
    for (const PlanRecord& record : records) {
        if (!record.projection.known())
            plan.refusals_ << QStringLiteral("Exposure record %1 names no projection (\"%2\").")
                                  .arg(recordName(record.row), record.projectionText);
        else
            recordsByKey[record.projection.key()].push_back(&record);
    }
    for (const auto& [key, group] : imagesByKey) {
        const auto found = recordsByKey.find(key);
        const std::size_t waiting = found == recordsByKey.end() ? 0 : found->second.size();
        if (waiting == 0)
            plan.refusals_ << QStringLiteral("No exposure record waits for %1 (%2).").arg(key, positions(group));
        else if (waiting != group.size())
            plan.refusals_ << QStringLiteral("%1: %2 image(s) but %3 exposure record(s) waiting.")
                                  .arg(key)
                                  .arg(group.size())
                                  .arg(waiting);
    }
    for (const auto& [key, group] : recordsByKey)
        if (!imagesByKey.count(key))
            plan.refusals_ << QStringLiteral(
                                  "%1 exposure record(s) for %2 wait, but the study has no %2 image: they are likely "
                                  "another patient's.")
                                  .arg(group.size())
                                  .arg(key);
    // The same image twice (one SOP instance UID on two rows) would be converted into
    // one file with two records: only one of them could reach the archive.
    std::map<std::string, int> firstPosition;
    for (const PlanImage& image : images) {
        const auto [it, added] = firstPosition.emplace(image.sopInstanceUid, image.position);
        if (!added)
            plan.refusals_ << QStringLiteral("Images %1 and %2 are the same image (SOP instance UID %3).")
                                  .arg(it->second)
                                  .arg(image.position)
                                  .arg(QString::fromStdString(image.sopInstanceUid));
    }
    // Several images of one projection take its records in the order they were taken:
    // only when that order is known.
    for (const auto& [key, group] : imagesByKey) {
        if (group.size() < 2) continue;
        std::vector<const PlanImage*> untimed;
        std::map<QDateTime, int> atTime;
        for (const PlanImage* image : group) {
            if (!image->taken)
                untimed.push_back(image);
            else
                ++atTime[*image->taken];
        }
        if (!untimed.empty())
            plan.refusals_ << QStringLiteral("%1: the order of its %2 images cannot be told (%3 without an acquisition "
                                             "time).")
                                  .arg(key)
                                  .arg(group.size())
                                  .arg(positions(untimed));
        else if (std::any_of(atTime.begin(), atTime.end(), [](const auto& t) { return t.second > 1; }))
            plan.refusals_ << QStringLiteral("%1: two of its images were taken at the same time; their order cannot "
                                             "be told.")
                                  .arg(key);
    }
    if (!plan.refusals_.isEmpty()) return plan;

    for (auto& [key, group] : imagesByKey) {
        std::vector<const PlanRecord*> matching = recordsByKey[key];
        sortImages(group);
        sortRecords(matching);
        for (std::size_t i = 0; i < group.size(); ++i) {
            PlanPair pair;
            pair.sopInstanceUid = group[i]->sopInstanceUid;
            pair.imageId = group[i]->imageId;
            pair.position = group[i]->position;
            pair.recordId = matching[i]->row.id;
            pair.record = matching[i]->row;
            pair.reason = group.size() == 1
                              ? key
                              : QStringLiteral("%1, %2 of %3 by time").arg(key, ordinal(i + 1)).arg(group.size());
            if (const QString late = implausibleTime(*group[i], *matching[i]); !late.isEmpty())
                plan.refusals_ << late;
            const QString unitName = matching[i]->row.patientName, imageName = group[i]->patientName;
            if (!unitName.isEmpty() && !imageName.isEmpty() && !namesMatch(unitName, imageName))
                plan.refusals_ << QStringLiteral("Exposure record %1 was made for \"%2\"; image %3 is of \"%4\".")
                                      .arg(recordName(matching[i]->row), unitName)
                                      .arg(group[i]->position)
                                      .arg(imageName);
            plan.pairs_.push_back(std::move(pair));
        }
    }
    if (!plan.refusals_.isEmpty()) {
        plan.pairs_.clear();
        return plan;
    }
    std::sort(plan.pairs_.begin(), plan.pairs_.end(),
              [](const PlanPair& a, const PlanPair& b) { return a.position < b.position; });
    return plan;
}

const PlanPair* ForwardingPlan::pairFor(const std::string& sopInstanceUid) const {
    for (const PlanPair& p : pairs_)
        if (p.sopInstanceUid == sopInstanceUid) return &p;
    return nullptr;
}

QString doseText(const QString& mGy) {
    const QString t = mGy.trimmed();
    // The Sophie unit writes its unit into the value ("1.10mGy").
    return t.endsWith(QLatin1String("mGy"), Qt::CaseInsensitive) ? t : t + QStringLiteral(" mGy");
}

QStringList ForwardingPlan::describePairs() const {
    QStringList lines;
    for (const PlanPair& p : pairs_)
        lines << QStringLiteral("Image %1 (%2)  <-  record %3 %4, %5 kV, %6 mAs, %7")
                     .arg(p.position)
                     .arg(p.reason, p.record.datum, p.record.zeit, p.record.kvp, p.record.ma, doseText(p.record.mGy));
    return lines;
}

QString ForwardingPlan::refusalMessage() const {
    QString text = QStringLiteral("The images cannot be paired with the exposure records automatically:\r\n");
    for (const QString& r : refusals_) text += QStringLiteral("- ") + r + QStringLiteral("\r\n");
    text += QStringLiteral(
        "Nothing was converted or sent. Use \"Manually\" for each image with its record, or delete the stray records "
        "from the dose list.");
    return text;
}

}  // namespace corva::dose
