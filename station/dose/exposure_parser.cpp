#include "dose/exposure_parser.h"

#include <QRegularExpression>
#include <cmath>
#include <limits>

#include "core/error.h"

namespace corva::dose {
namespace {

// The runtime's own error numbers, so log lines read as the operators know them.
constexpr int InvalidCall = 5;
constexpr int Overflow = 6;
constexpr int SubscriptOutOfRange = 9;

QString token(const QStringList& tokens, int index) {
    return index < tokens.size() ? tokens.at(index) : QString();
}

// 1-based substring as the record positions are counted; out-of-range parts are empty.
QString mid(const QString& text, qsizetype start, qsizetype length = -1) {
    if (start < 1 || start > text.size()) return {};
    return text.mid(start - 1, length);
}

// 1-based position of the first occurrence, 0 when absent.
qsizetype position(const QString& text, const QString& what) {
    return text.indexOf(what) + 1;
}

std::int64_t tenfold(const QString& text) {
    return roundHalfEven(readDecimalComma(text) * 10.0);
}

}  // namespace

QStringList sophieTokens(const QString& buffer) {
    const qsizetype start = buffer.indexOf(QStringLiteral("Name:"));
    if (start < 0) throw Error(InvalidCall, "Exposure record without \"Name:\"", "sophieTokens");
    static const QRegularExpression separators(QStringLiteral("[ \t\r\n]+"));
    return buffer.mid(start).split(separators, Qt::SkipEmptyParts);
}

ExposureRecord parseSophie(const QStringList& tokens, const QDateTime& now) {
    // The name runs up to the date and may hold blanks; every value after it is counted
    // from the date.
    static const QRegularExpression datePattern(QStringLiteral("^\\d{1,4}-\\d{1,2}-\\d{1,2}$"));
    int at = 1;
    for (int i = 1; i < tokens.size(); ++i) {
        if (datePattern.match(tokens.at(i)).hasMatch()) {
            at = i;
            break;
        }
    }
    const auto field = [&](int n) { return token(tokens, at - 1 + n); };

    ExposureRecord r;
    // "Name:MUELLER ANNA" or "Name: MUELLER": the words before the date.
    QStringList name;
    for (int i = 0; i < at && i < tokens.size(); ++i) name << (i == 0 ? tokens.at(0).mid(5) : tokens.at(i));
    r.patientName = name.join(QLatin1Char(' ')).trimmed();
    const QStringList date = field(1).split(QLatin1Char('-'));
    if (date.size() < 3)
        throw Error(SubscriptOutOfRange, "Exposure date \"" + field(1).toStdString() + "\" is not y-m-d",
                    "parseSophie");
    r.datum = date.at(2) + QLatin1Char('.') + date.at(1) + QLatin1Char('.') + date.at(0);

    r.sonstiges = QStringList{field(4), field(5), field(6), field(3), field(10)}.join(QLatin1Char(','));
    r.kvp = field(7).remove(QStringLiteral("kV"));
    r.ma = field(8).remove(QStringLiteral("mAs"));

    QString time = field(9);
    if (time.contains(QLatin1Char('s'))) {
        time.remove(QLatin1Char('s'));
        time.replace(QLatin1Char('.'), QLatin1Char(','));
    }
    r.expZeit = formatDecimalComma(readDecimalComma(time));

    r.druck = tenfold(field(11).remove(QStringLiteral("kg")).replace(QLatin1Char('.'), QLatin1Char(',')));

    QString thickness = field(12);
    if (thickness.contains(QStringLiteral("cm"))) {
        thickness.remove(QStringLiteral("cm"));
        thickness.replace(QLatin1Char('.'), QLatin1Char(','));
    }
    r.dicke = tenfold(thickness);

    r.mGy = field(13);
    r.zeit = now.time().toString(QStringLiteral("HH:mm:ss"));
    return r;
}

ExposureRecord parseGiotto(const QString& buffer, const QString& projection, const QDateTime& now) {
    QString t = buffer;
    const qsizetype p = position(t, QStringLiteral(" 10"));
    t = mid(t, p + 4);

    ExposureRecord r;
    r.datum = now.date().toString(QStringLiteral("dd.MM.yyyy"));

    const qsizetype z = position(t, QStringLiteral("0"));
    const qsizetype s = position(t, QStringLiteral(" "));
    if (t.left(z + 1).size() == 3) {
        r.kvp = t.left(z);
        r.ma = mid(t, z + 2, s);
    } else {
        if (z == 0) throw Error(InvalidCall, "Exposure record without tube voltage", "parseGiotto");
        r.kvp = t.left(z - 1);
        r.ma = mid(t, z + 1, s);
    }

    const qsizetype lastSpace = t.lastIndexOf(QLatin1Char(' '));
    r.mGy = lastSpace < 0 ? t : t.mid(lastSpace + 1);
    r.zeit = now.time().toString(QStringLiteral("HH:mm:ss"));
    r.sonstiges = projection;
    return r;
}

double readDecimalComma(const QString& text) {
    // Sign, digits, at most one decimal comma with digits on at least one side.
    qsizetype i = 0;
    const qsizetype n = text.size();
    bool negative = false;
    if (i < n && (text[i] == QLatin1Char('-') || text[i] == QLatin1Char('+'))) negative = text[i++] == QLatin1Char('-');
    QString digits;
    bool comma = false;
    bool anyDigit = false;
    for (; i < n; ++i) {
        const QChar c = text[i];
        if (c >= QLatin1Char('0') && c <= QLatin1Char('9')) {
            digits += c;
            anyDigit = true;
        } else if (c == QLatin1Char(',') && !comma) {
            digits += QLatin1Char('.');
            comma = true;
        } else {
            break;
        }
    }
    if (i != n || !anyDigit || digits.size() > 300)
        throw Error(errc::TypeMismatch, "Type mismatch: \"" + text.toStdString() + "\" is not a number",
                    "readDecimalComma");
    bool ok = false;
    const double value = digits.toDouble(&ok);
    if (!ok || !std::isfinite(value))
        throw Error(errc::TypeMismatch, "Type mismatch: \"" + text.toStdString() + "\" is not a number",
                    "readDecimalComma");
    return negative ? -value : value;
}

QString formatDecimalComma(double value) {
    if (value == 0.0) value = 0.0;  // "-0" reads as 0 and is written so
    QString text = QString::number(value, 'g', 15);
    text.replace(QLatin1Char('.'), QLatin1Char(','));
    return text;
}

std::int64_t roundHalfEven(double value) {
    const double rounded = std::nearbyint(value);  // the default rounding mode: halves to even
    if (!std::isfinite(rounded) || rounded < std::numeric_limits<std::int32_t>::min() ||
        rounded > std::numeric_limits<std::int32_t>::max())
        throw Error(Overflow, "Overflow", "roundHalfEven");
    return static_cast<std::int64_t>(rounded);
}

}  // namespace corva::dose
