#include "image_values.h"

#include <QDate>
#include <QDateTime>
#include <charconv>
#include <cfenv>
#include <cmath>
#include <limits>

#include "core/datefmt.h"
#include "core/error.h"

namespace corva::ingest {

using dicom::Attribute;
using dicom::DataSet;
using dicom::DateTime;
using dicom::Tag;
using dicom::Value;

namespace rules {

std::string trim(const std::string& text)
{
    const auto b = text.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return {};
    const auto e = text.find_last_not_of(" \t\r\n");
    return text.substr(b, e - b + 1);
}

std::optional<double> parseNumber(const std::string& text)
{
    const std::string s = trim(text);
    std::size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        ++i;
    std::size_t digits = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9')
        ++i, ++digits;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9')
            ++i, ++digits;
    }
    if (digits == 0)
        return std::nullopt;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-'))
            ++i;
        std::size_t expDigits = 0;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9')
            ++i, ++expDigits;
        if (expDigits == 0)
            return std::nullopt;
    }
    if (i != s.size())
        return std::nullopt;
    const char* begin = s.data() + (s[0] == '+' ? 1 : 0);
    double v = 0;
    auto [ptr, ec] = std::from_chars(begin, s.data() + s.size(), v);
    if (ec != std::errc() || !std::isfinite(v))
        return std::nullopt;
    return v;
}

std::int32_t wholeNumber(double v)
{
    const double r = std::nearbyint(v);  // default rounding: a half goes to the even neighbour
    if (!std::isfinite(r) || r < std::numeric_limits<std::int32_t>::min() ||
        r > std::numeric_limits<std::int32_t>::max())
        throw Error(6, "Overflow");
    return static_cast<std::int32_t>(r);
}

std::optional<double> decimalRule(const std::string& text)
{
    const std::string s = trim(text);
    // With a point and an exponent the whole value counts, cut to its integer part;
    // otherwise only the part before the point, as integerPart reads it.
    if (s.find('.') != std::string::npos && s.find_first_of("eE") != std::string::npos) {
        const auto value = parseNumber(s);
        return value ? std::optional<double>(std::trunc(*value)) : std::nullopt;
    }
    return integerPart(s);
}

std::optional<double> integerPart(const std::string& text)
{
    const std::string s = trim(text);
    const auto value = parseNumber(s);
    if (!value)
        return std::nullopt;
    const auto dot = s.find('.');
    if (dot == std::string::npos)
        return value;
    const auto before = parseNumber(s.substr(0, dot));
    return before ? *before : 0.0;
}

std::string replaceApostrophes(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '\'')
            out += "\xC2\xB4";  // ´
        else
            out += c;
    }
    return out;
}

std::string removeApostrophes(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text)
        if (c != '\'')
            out += c;
    return out;
}

}  // namespace rules

namespace {

using rules::parseNumber;
using rules::trim;
using rules::wholeNumber;

bool present(const Attribute& a)
{
    return a.exists && !a.isNull();
}

// The value as text (several values joined by '\').
const std::string& textOf(const Attribute& a)
{
    return a.text;
}

// The first value's text, for numbers whose written form matters (decimal rule).
std::string firstValueText(const Attribute& a)
{
    const auto slash = a.text.find('\\');
    return trim(slash == std::string::npos ? a.text : a.text.substr(0, slash));
}

// Value number 1 as a number; nullopt when it is not numeric.
std::optional<double> numberOf(const Attribute& a)
{
    if (!present(a))
        return std::nullopt;
    const Value v = a.value(1);
    if (const auto* d = std::get_if<double>(&v))
        return *d;
    if (const auto* s = std::get_if<std::string>(&v))
        return parseNumber(*s);
    return std::nullopt;
}

std::int32_t wholeOrZero(const DataSet& ds, std::uint16_t g, std::uint16_t e)
{
    const auto n = numberOf(ds.get(g, e));
    return n ? wholeNumber(*n) : 0;
}

// A whole number for a column nothing reads: a value that does not fit is stored as
// 0 and noted, so that it never keeps an image out of the store.
std::int32_t storedOnly(double value, const char* what, const Attribute& a, std::vector<std::string>& notes)
{
    try {
        return wholeNumber(value);
    } catch (const Error&) {
        notes.push_back(std::string(what) + " " + a.tag.text() + " '" + firstValueText(a) +
                        "' cannot be stored as a whole number, 0 stored");
        return 0;
    }
}

std::int32_t storedOnly(const DataSet& ds, std::uint16_t g, std::uint16_t e, const char* what,
                        std::vector<std::string>& notes)
{
    const Attribute a = ds.get(g, e);
    const auto n = numberOf(a);
    return n ? storedOnly(*n, what, a, notes) : 0;
}

std::optional<DateTime> dateValue(const Attribute& a)
{
    if (!present(a))
        return std::nullopt;
    const Value v = a.value(1);
    if (const auto* d = std::get_if<DateTime>(&v); d && (d->hasDate || d->hasTime))
        return *d;
    return std::nullopt;
}

// A time without a date lies on day zero of the date type, 1899-12-30.
QDate datePart(const DateTime& d)
{
    return d.hasDate ? QDate(d.year, d.month, d.day) : QDate(1899, 12, 30);
}

std::string storedDate(const std::optional<DateTime>& d)
{
    if (d) {
        const QDate date = datePart(*d);
        if (date.isValid())
            return isoDate(date);
    }
    return isoDate(QDate::currentDate());
}

std::string storedDateTime(const std::optional<DateTime>& d)
{
    if (d) {
        const QDate date = datePart(*d);
        const QTime time = d->hasTime ? QTime(d->hour, d->minute, std::min(d->second, 59)) : QTime(0, 0);
        if (date.isValid() && time.isValid())
            return isoDateTime(QDateTime(date, time));
    }
    return isoDateTime(QDateTime::currentDateTime());
}

std::string textOrDefault(const Attribute& a, const std::string& fallback)
{
    return present(a) && !a.text.empty() ? a.text : fallback;
}

std::vector<std::string> split(const std::string& text, char sep)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (true) {
        const auto p = text.find(sep, start);
        parts.push_back(text.substr(start, p == std::string::npos ? std::string::npos : p - start));
        if (p == std::string::npos)
            break;
        start = p + 1;
    }
    return parts;
}

std::string upper(std::string s)
{
    for (char& c : s)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return s;
}

// Old ACR-NEMA readers number their images by acquisition time followed by the
// two-digit instance number, so that the numbers sort by time.
std::int32_t imageNumber(const DataSet& ds, double instanceNumber)
{
    const Attribute recognition = ds.get(0x0008, 0x0010);
    const Attribute acquisition = ds.get(0x0008, 0x0032);
    if (present(recognition) && upper(trim(recognition.text)) == "ACR-NEMA 1.0" && dateValue(ds.get(0x0008, 0x0033)) &&
        present(acquisition)) {
        std::string time;
        for (char c : acquisition.text)
            if (c != ':')
                time += c;
        const auto t = parseNumber(time);
        if (!t)
            throw Error(errc::TypeMismatch, "Type mismatch (acquisition time)");
        std::string number = firstValueText(ds.get(0x0020, 0x0013));
        if (number.size() < 2)
            number.insert(0, 2 - number.size(), '0');
        const auto whole = parseNumber(std::to_string(wholeNumber(*t)) + number);
        if (!whole)
            throw Error(errc::TypeMismatch, "Type mismatch (image number)");
        return wholeNumber(*whole);
    }
    return wholeNumber(instanceNumber);
}

}  // namespace

PatientValues readPatientValues(const DataSet& ds)
{
    PatientValues p;
    const Attribute name = ds.get(0x0010, 0x0010);
    if (present(name)) {
        const auto parts = split(textOf(name), '^');
        p.lastName = parts[0];
        if (parts.size() > 1)
            p.firstName = parts[1];
        if (parts.size() > 2)
            p.middleName = parts[2];
    } else {
        p.lastName = "XXNoName";
    }
    p.lastName = rules::replaceApostrophes(p.lastName);
    p.firstName = rules::replaceApostrophes(p.firstName);
    p.middleName = rules::replaceApostrophes(p.middleName);

    const Attribute id = ds.get(0x0010, 0x0020);
    if (present(id))
        p.id = textOf(id);

    // From here on a value that cannot be read is left unset.
    try {
        if (const auto birth = dateValue(ds.get(0x0010, 0x0030)); birth && birth->hasDate && birth->year > 1850) {
            const QDate d(birth->year, birth->month, birth->day);
            if (d.isValid())
                p.birthDate = isoDate(d);
        }
    } catch (...) {
    }
    try {
        const Attribute sex = ds.get(0x0010, 0x0040);
        if (present(sex))
            p.sex = textOf(sex);
    } catch (...) {
    }
    return p;
}

StudyRead readStudyValues(const DataSet& ds, StudyValues& s)
{
    s.date = storedDate(dateValue(ds.get(0x0008, 0x0020)));
    s.time = storedDateTime(dateValue(ds.get(0x0008, 0x0030)));
    const Attribute description = ds.get(0x0008, 0x1030);
    s.description = present(description) ? trim(description.text) : std::string();

    s.number = 0;
    const Attribute studyId = ds.get(0x0020, 0x0010);
    if (const auto n = numberOf(studyId); n && *n < 32000)
        s.number = wholeNumber(*n);

    s.uid = studyFolderUid(ds);
    s.physician = textOrDefault(ds.get(0x0008, 0x0090), "Unknown");
    s.bodyPart = textOrDefault(ds.get(0x0018, 0x0015), "Unknown");
    const Attribute modality = ds.get(0x0008, 0x0060);
    if (!present(modality) || modality.text.empty())
        return StudyRead::NoModality;
    s.modality = modality.text;
    s.accession = textOrDefault(ds.get(0x0008, 0x0050), "Unknown");
    return StudyRead::Complete;
}

SeriesValues readSeriesValues(const DataSet& ds)
{
    SeriesValues s;
    const Attribute uid = ds.get(0x0020, 0x000E);
    if (!present(uid))
        throw Error(errc::NotFound, "Series instance UID (0020,000E) missing");
    s.uid = uid.text;
    const Attribute agent = ds.get(0x0018, 0x0010);
    if (present(agent))
        s.contrastAgent = agent.text;
    s.number = wholeOrZero(ds, 0x0020, 0x0011);
    return s;
}

ImageValues readImageValues(const DataSet& ds)
{
    ImageValues v;
    const Attribute uid = ds.get(0x0008, 0x0018);
    if (!present(uid))
        throw Error(errc::NotFound, "SOP instance UID (0008,0018) missing");
    v.sopInstanceUid = uid.text;
    // Only the image number is read back (sort order); the other numbers are stored
    // for the record, so a value that does not fit becomes 0 instead of a failure.
    auto& notes = v.unconverted;
    v.windowCenter = storedOnly(ds, 0x0028, 0x1050, "window center", notes);
    v.windowWidth = storedOnly(ds, 0x0028, 0x1051, "window width", notes);
    v.rows = storedOnly(ds, 0x0028, 0x0010, "rows", notes);
    v.columns = storedOnly(ds, 0x0028, 0x0011, "columns", notes);
    v.kvp = storedOnly(ds, 0x0018, 0x0060, "KVP", notes);
    v.collectionDiameter = storedOnly(ds, 0x0018, 0x0090, "data collection diameter", notes);
    v.exposureTime = storedOnly(ds, 0x0018, 0x1150, "exposure time", notes);
    v.exposure = storedOnly(ds, 0x0018, 0x1152, "exposure", notes);
    v.tubeCurrent = storedOnly(ds, 0x0018, 0x1151, "X-ray tube current", notes);
    if (const auto n = numberOf(ds.get(0x0020, 0x0013)))
        v.imageNumber = imageNumber(ds, *n);

    const Attribute location = ds.get(0x0020, 0x1041);
    if (numberOf(location))
        v.sliceLocation = rules::decimalRule(firstValueText(location)).value_or(0.0) + 0.0;
    const Attribute thickness = ds.get(0x0018, 0x0050);
    if (numberOf(thickness))
        v.sliceThickness =
            storedOnly(rules::integerPart(firstValueText(thickness)).value_or(0.0), "slice thickness", thickness, notes);

    v.date = storedDate(dateValue(ds.get(0x0008, 0x0023)));
    v.time = storedDateTime(dateValue(ds.get(0x0008, 0x0033)));
    return v;
}

ReporterIds readReporterIds(const DataSet& ds)
{
    ReporterIds ids{0, 0, 0};
    const Attribute reporters = ds.get(0x1009, 0x0010);
    if (!reporters.exists || reporters.text.empty())
        return ids;
    const auto parts = split(reporters.text, '|');
    for (std::size_t i = 0; i < parts.size() && i < ids.size(); ++i) {
        const auto n = parseNumber(parts[i]);
        if (!n)
            throw Error(errc::TypeMismatch, "Type mismatch (reporter ID '" + parts[i] + "')");
        ids[i] = wholeNumber(*n);
    }
    return ids;
}

std::string studyFolderUid(const DataSet& ds)
{
    const Attribute study = ds.get(0x0020, 0x000D);
    if (present(study))
        return study.text;
    const Attribute series = ds.get(0x0020, 0x000E);
    return present(series) ? series.text : std::string();
}

std::string sopClassForModality(const std::string& modality)
{
    const std::string m = upper(modality);
    if (m == "CT")
        return "1.2.840.10008.5.1.4.1.1.2";
    if (m == "MR")
        return "1.2.840.10008.5.1.4.1.1.4";
    if (m == "US")
        return "1.2.840.10008.5.1.4.1.1.6.1";
    if (m == "CR" || m == "DR")
        return "1.2.840.10008.5.1.4.1.1.1";
    return "1.2.840.10008.5.1.4.1.1.7";
}

}  // namespace corva::ingest
