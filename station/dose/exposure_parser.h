#pragma once
// The two record formats of the X-ray units. Plain functions: every malformed record
// becomes a corva::Error, never a crash, whatever bytes came down the line.
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <cstdint>

#include "dose/exposure.h"

namespace corva::dose {

// End-of-text, the last character of a complete Giotto record.
inline constexpr char16_t EndOfText = 0x03;

// Sophie: cuts the text to the first "Name:" and splits it at blanks, tabs and line
// ends (CR LF, LF or CR), dropping empty pieces. Throws corva::Error when there is no
// "Name:".
QStringList sophieTokens(const QString& buffer);

// Sophie: the record's values from its tokens (token 0 starts with "Name:"). The values
// are counted from the date (the first token shaped y-m-d), so that a patient name of
// several words moves none of them; without such a token the date is token 1. Force and
// thickness take a decimal point or comma. `now` gives Zeit. Throws corva::Error for a
// bad date, force or thickness.
ExposureRecord parseSophie(const QStringList& tokens, const QDateTime& now);

// Giotto: tube voltage, current-time product and the last value from one record (the
// link hands over its frame, so the " 10" marker is looked for inside it only);
// Datum and Zeit from `now`, Sonstiges the projection the operator chose.
// Throws corva::Error when the text after the " 10" marker holds no "0".
ExposureRecord parseGiotto(const QString& buffer, const QString& projection, const QDateTime& now);

// Reads a number written with the decimal comma ("0,5", "-12", "4,50").
// Throws corva::Error (type mismatch) for anything else, the empty text included.
double readDecimalComma(const QString& text);
// The text of a number with the decimal comma and no trailing zeros ("0,5", "12").
QString formatDecimalComma(double value);
// Nearest whole number, halves to even. Throws corva::Error (overflow) beyond 32 bits.
std::int64_t roundHalfEven(double value);

}  // namespace corva::dose
