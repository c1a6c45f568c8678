#include "dose/exposure_values.h"

#include <QRegularExpression>
#include <cmath>
#include <cstdint>

namespace corva::dose {
namespace {

using dicom::Tag;

constexpr Tag Kvp{0x0018, 0x0060};
constexpr Tag ExposureTime{0x0018, 0x1150};        // IS, ms
constexpr Tag Exposure{0x0018, 0x1152};            // IS, mAs
constexpr Tag ExposureInMicroAs{0x0018, 0x1153};   // IS, µAs
constexpr Tag BodyPartThickness{0x0018, 0x11A0};   // DS, mm
constexpr Tag CompressionForce{0x0018, 0x11A2};    // DS, N
constexpr Tag ExposureTimeInMicroS{0x0018, 0x8150};  // DS, µs
constexpr Tag CommentsOnRadiationDose{0x0040, 0x0310};  // ST
constexpr Tag EntranceDoseInMGy{0x0040, 0x8302};   // DS, mGy

// The longest value a short text (ST) holds.
constexpr int ShortTextLength = 1024;

// A record number times a power of ten without the binary noise of the product
// (0.0125 s * 1000 is 12.500000000000002): records carry no more than six decimals.
double scaled(double value, double scale) { return std::round(value * scale * 1e6) / 1e6; }

bool isWhole(double value) { return value == std::nearbyint(value); }

class Builder {
public:
    // A DS attribute: the record's number times `scale`.
    void decimal(Tag tag, const char* name, const QString& text, const QString& unit, double scale = 1.0) {
        const auto v = recordNumber(text, unit);
        if (!v)
            reject(tag, name, text);
        else if (*v < 0)
            reject(tag, name, text, true);
        else
            set(tag, decimalString(scaled(*v, scale)));
    }

    // An IS attribute: the record's number times `scale`, whole. When it is not whole,
    // the finer attribute (`finerScale` more units, DS or IS) carries the exact value;
    // otherwise the finer attribute is removed, so no value of an earlier record stays.
    void integer(Tag tag, const char* name, const QString& text, const QString& unit, double scale, Tag finer,
                 double finerScale, bool finerIsDecimal) {
        const auto v = recordNumber(text, unit);
        const auto whole = v && *v >= 0 ? integerString(scaled(*v, scale)) : std::nullopt;
        if (!whole) {
            reject(tag, name, text, v && *v < 0);
            remove(finer);
            return;
        }
        set(tag, *whole);
        const double finerValue = scaled(*v, scale * finerScale);
        if (isWhole(scaled(*v, scale))) {
            remove(finer);
        } else if (finerIsDecimal) {
            set(finer, decimalString(finerValue));
        } else if (const auto finerWhole = integerString(finerValue)) {
            set(finer, *finerWhole);
        } else {
            remove(finer);
        }
    }

    // A text attribute: the record's text made printable; removed when nothing is left,
    // so no text of an earlier record stays.
    void text(Tag tag, const QString& text, int maxLength) {
        const QString t = printableText(text).left(maxLength).trimmed();
        if (t.isEmpty())
            remove(tag);
        else
            set(tag, t.toStdString());
    }

    ExposureValues result() { return std::move(out_); }

private:
    void set(Tag tag, std::string value) { out_.changes.push_back({tag, std::move(value)}); }
    void remove(Tag tag) { out_.changes.push_back({tag, std::nullopt}); }
    void reject(Tag tag, const char* name, const QString& text, bool belowZero = false) {
        set(tag, std::string());  // replaced, so no value of the source image or an earlier record stays
        out_.nonNumeric.push_back({tag, QString::fromLatin1(name), printableText(text), belowZero});
    }

    ExposureValues out_;
};

}  // namespace

ExposureValues exposureValues(const CurrentExposure& e, int xrayType) {
    Builder b;
    const QString kV = QStringLiteral("kV"), mAs = QStringLiteral("mAs"), s = QStringLiteral("s"),
                  mGy = QStringLiteral("mGy");
    if (xrayType == unit::Sophie) {
        b.decimal(Kvp, "KVP", e.kvp, kV);
        // The record gives seconds; the attribute takes whole milliseconds.
        b.integer(ExposureTime, "Exposure Time", e.expZeit, s, 1000.0, ExposureTimeInMicroS, 1000.0, true);
        b.integer(Exposure, "Exposure", e.ma, mAs, 1.0, ExposureInMicroAs, 1000.0, false);
        b.decimal(BodyPartThickness, "Body Part Thickness", e.dicke, {});  // stored in millimetres
        b.decimal(CompressionForce, "Compression Force", e.druck, {});     // stored as kilograms x 10
        b.decimal(EntranceDoseInMGy, "Entrance Dose in mGy", e.mGy, mGy);
        // Target/filter, exposure mode and projection code: text about the exposure,
        // not a number. Sensitivity stays the reader's own exposure index.
        b.text(CommentsOnRadiationDose, e.sonstiges, ShortTextLength);
    } else if (xrayType == unit::Giotto) {
        b.decimal(Kvp, "KVP", e.kvp, kV);
        b.integer(Exposure, "Exposure", e.ma, mAs, 1.0, ExposureInMicroAs, 1000.0, false);
        b.decimal(EntranceDoseInMGy, "Entrance Dose in mGy", e.mGy, mGy);
    }
    return b.result();
}

std::optional<double> recordNumber(const QString& text, const QString& unit) {
    QString t;
    for (const QChar c : text)
        if (c.unicode() >= 0x20 && c.unicode() != 0x7F) t += c;
    t = t.trimmed();
    if (!unit.isEmpty() && t.endsWith(unit)) {
        t.chop(unit.size());
        t = t.trimmed();
    }
    // Sign, digits, at most one decimal mark; no exponent, no blanks inside.
    static const QRegularExpression number(QStringLiteral("^[+-]?([0-9]+([.,][0-9]*)?|[.,][0-9]+)$"));
    if (t.size() > 40 || !number.match(t).hasMatch()) return std::nullopt;
    t.replace(QLatin1Char(','), QLatin1Char('.'));
    bool ok = false;
    const double value = t.toDouble(&ok);
    if (!ok || !std::isfinite(value)) return std::nullopt;
    return value == 0.0 ? 0.0 : value;  // no "-0"
}

std::string decimalString(double value) {
    if (value == 0.0) value = 0.0;
    for (int precision = 15; precision > 1; --precision) {
        const QString text = QString::number(value, 'g', precision);
        if (text.size() <= 16) return text.toStdString();
    }
    return QString::number(value, 'g', 1).toStdString();
}

std::optional<std::string> integerString(double value) {
    const double rounded = std::nearbyint(value);  // the default rounding mode: halves to even
    if (!std::isfinite(rounded) || rounded < -2147483648.0 || rounded > 2147483647.0) return std::nullopt;
    const auto whole = static_cast<std::int64_t>(rounded);
    return std::to_string(whole == 0 ? 0 : whole);
}

QString printableText(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x20 || u == 0x7F) continue;
        out += u > 0x7E ? QLatin1Char('?') : c;
    }
    return out.trimmed();
}

}  // namespace corva::dose
