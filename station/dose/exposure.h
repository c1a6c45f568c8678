#pragma once
// An exposure record as the X-ray unit reports it, and the current exposure: the
// values of the record last selected in the dose list, written into the image header.
#include <QString>
#include <cstdint>
#include <optional>

namespace corva::dose {

// General\XrayComm: which unit is attached.
namespace unit {
inline constexpr int Sophie = 1;
inline constexpr int Giotto = 2;
}  // namespace unit

// One new row of tblDosis. Columns left empty (std::nullopt) are left to the database.
struct ExposureRecord {
    QString datum;  // "dd.mm.yyyy"
    QString zeit;   // "hh:mm:ss"
    QString kvp;
    QString ma;
    std::optional<QString> expZeit;
    std::optional<std::int64_t> druck;  // kilograms x 10
    std::optional<std::int64_t> dicke;  // centimetres x 10
    QString mGy;
    QString sonstiges;
    QString patientName;  // as the unit names the patient (Sophie); empty when it does not
};

// The seven texts copied from the selected dose record.
struct CurrentExposure {
    QString kvp;
    QString ma;
    QString dicke;
    QString druck;
    QString mGy;
    QString sonstiges;
    QString expZeit;
};

}  // namespace corva::dose
