#pragma once
// The exposure values of a record as the image header holds them: numbers in the
// attribute's own unit and value representation. The record keeps the unit's texts
// ("0,5" seconds, "1.23mGy"); a strict archive refuses those in numeric attributes.
#include <QString>
#include <optional>
#include <string>
#include <vector>

#include "dicom/dicom.h"
#include "dose/exposure.h"

namespace corva::dose {

// One header change: set `value` (empty text = present without value), or remove the
// attribute when `value` is nullopt.
struct ExposureChange {
    dicom::Tag tag;
    std::optional<std::string> value;
};

// A record text that a numeric attribute could not take: no number, or a number below
// zero (kV, times, mAs, thickness, force and dose never are: a garbled record).
struct NonNumericValue {
    dicom::Tag tag;
    QString attributeName;  // e.g. "Sensitivity"
    QString text;           // the record's text, printable ASCII only
    bool belowZero = false;  // a number, but below zero
};

struct ExposureValues {
    std::vector<ExposureChange> changes;  // in writing order
    std::vector<NonNumericValue> nonNumeric;
};

// The header changes for the current exposure by unit type (1 Sophie, 2 Giotto, other:
// none). A value that is not a number, or is below zero, leaves its attribute present
// and empty and is listed in nonNumeric. The record's dose goes into Entrance Dose in mGy (0040,8302)
// only: Image and Fluoroscopy Area Dose Product (0018,115E) is an area dose in dGy*cm2.
// Sensitivity (0018,6000) is the reader's exposure index and never changes; a Sophie
// record's further values go into Comments on Radiation Dose (0040,0310).
ExposureValues exposureValues(const CurrentExposure& exposure, int xrayType);

// A record text read as a number: blanks, control characters and the column's unit
// (`unit`, e.g. "mGy", when the text ends with it) dropped; "," or "." as the decimal
// mark. nullopt for anything else ("0 80", "Mo/Mo,AEC,2,L-CC,S", "", "1e3").
std::optional<double> recordNumber(const QString& text, const QString& unit = {});

// A decimal string (DS) of at most 16 characters with "." as the decimal mark.
std::string decimalString(double value);
// An integer string (IS) of the nearest whole number, halves to even; nullopt beyond
// the range IS can hold.
std::optional<std::string> integerString(double value);

// The text without control characters and with everything outside printable ASCII
// as "?": safe in any text attribute and in a one-line log entry.
QString printableText(const QString& text);

}  // namespace corva::dose
