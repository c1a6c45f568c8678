#pragma once
// The exposure records in tblDosis of the image database. The database is opened for
// each piece of work and closed after it. Every failure is a corva::Error.
#include <QString>
#include <cstdint>
#include <filesystem>
#include <vector>

#include "dose/exposure.h"

namespace corva::dose {

// A record as the dose list shows it; a null column reads as empty text.
struct DoseRow {
    std::int64_t id = 0;
    QString datum, zeit, kvp, ma, dicke, druck, mGy, sonstiges, expZeit;
    QString patientName;  // as the unit named the patient; empty when it did not
};

// A record as the dose history shows it.
struct HistoryRow {
    std::int64_t id = 0;
    QString datum, zeit, sonstiges;
};

// Status texts.
inline constexpr const char* StatusPending = "0";
inline constexpr const char* StatusAssigned = "1";

class DoseStore {
public:
    explicit DoseStore(std::filesystem::path imageDatabase) : file_(std::move(imageDatabase)) {}
    const std::filesystem::path& file() const { return file_; }

    // Appends a pending record; the columns are addressed by their position in the table.
    // Returns the new ID.
    std::int64_t insert(const ExposureRecord& record) const;
    // Every record whose Status is not "1" (and not null), in the order the database returns.
    std::vector<DoseRow> pending() const;
    // The records of these IDs, used or not, in that order; an ID without a record is skipped.
    std::vector<DoseRow> records(const std::vector<std::int64_t>& ids) const;
    // Status := "1" for one record.
    void markAssigned(std::int64_t id) const;
    // Status := "0" for one record; false when there is no such record.
    bool setFree(std::int64_t id) const;
    // Removes every record, assigned ones included.
    void deleteAll() const;
    // Removes these records when they are still waiting (not used meanwhile).
    void deletePending(const std::vector<std::int64_t>& ids) const;
    // The assigned records of one day ("dd.mm.yyyy").
    std::vector<HistoryRow> assignedOn(const QString& datum) const;

private:
    std::filesystem::path file_;
};

}  // namespace corva::dose
