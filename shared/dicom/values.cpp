// Tags, typed values and their text forms (DA, TM, DT, IS, DS).
#include "dcmtk_internal.h"  // first: DCMTK needs its configuration header before any other

#include <dcmtk/oflog/oflog.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace corva::dicom {

std::string Tag::text() const
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04X,%04X", group, element);
    return buf;
}

std::optional<Tag> Tag::parse(const std::string& input)
{
    std::string s = detail::trim(input);
    if (s.size() == 11 && s.front() == '(' && s.back() == ')')
        s = s.substr(1, 9);
    if (s.size() != 9 || s[4] != ',')
        return std::nullopt;
    auto hex = [](const std::string& part) -> std::optional<std::uint16_t> {
        unsigned value = 0;
        for (char c : part) {
            if (!std::isxdigit(static_cast<unsigned char>(c)))
                return std::nullopt;
            value = value * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(c))
                                                            ? c - '0'
                                                            : std::toupper(static_cast<unsigned char>(c)) - 'A' + 10);
        }
        return static_cast<std::uint16_t>(value);
    };
    auto g = hex(s.substr(0, 4));
    auto e = hex(s.substr(5, 4));
    if (!g || !e)
        return std::nullopt;
    return Tag{*g, *e};
}

Value Attribute::value(std::size_t n) const
{
    if (n == 0 || n > values.size())
        return {};
    return values[n - 1];
}

namespace detail {

namespace {
// DCMTK's own log would repeat on stderr what our errors already carry (and warn
// about every header-only read): keep only fatal messages.
const bool toolkitQuiet = (OFLog::configure(OFLogger::FATAL_LOG_LEVEL), true);
}  // namespace

void check(const OFCondition& cond, const std::string& what, int code)
{
    if (cond.bad())
        throw Error(code, what + ": " + cond.text(), "dicom");
}

std::string trim(const std::string& text)
{
    std::size_t b = 0, e = text.size();
    while (b < e && (text[b] == ' ' || text[b] == '\0' || text[b] == '\t'))
        ++b;
    while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\0' || text[e - 1] == '\t'))
        --e;
    return text.substr(b, e - b);
}

namespace {

bool allDigits(const std::string& s, std::size_t from, std::size_t count)
{
    if (from + count > s.size())
        return false;
    for (std::size_t i = from; i < from + count; ++i)
        if (!std::isdigit(static_cast<unsigned char>(s[i])))
            return false;
    return true;
}

int num(const std::string& s, std::size_t from, std::size_t count) { return std::stoi(s.substr(from, count)); }

bool validDate(int y, int m, int d)
{
    static const int days[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (y < 1 || m < 1 || m > 12 || d < 1 || d > days[m - 1])
        return false;
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return !(m == 2 && d == 29 && !leap);
}

// "HH", "HHMM", "HHMMSS", "HHMMSS.F{1,6}"; also the old "HH:MM:SS" form.
std::optional<DateTime> parseTimePart(std::string s)
{
    if (s.size() >= 5 && s[2] == ':') {
        s.erase(2, 1);
        if (s.size() >= 5 && s[4] == ':')
            s.erase(4, 1);
    }
    DateTime t;
    t.hasTime = true;
    if (!allDigits(s, 0, 2))
        return std::nullopt;
    t.hour = num(s, 0, 2);
    std::size_t pos = 2;
    if (s.size() > pos) {
        if (!allDigits(s, pos, 2))
            return std::nullopt;
        t.minute = num(s, pos, 2);
        pos += 2;
    }
    if (s.size() > pos) {
        if (!allDigits(s, pos, 2))
            return std::nullopt;
        t.second = num(s, pos, 2);
        pos += 2;
    }
    if (s.size() > pos) {
        if (s[pos] != '.' || s.size() == pos + 1 || s.size() > pos + 7 || !allDigits(s, pos + 1, s.size() - pos - 1))
            return std::nullopt;
        std::string frac = s.substr(pos + 1);
        frac.resize(6, '0');
        t.microsecond = std::stoi(frac);
    }
    if (t.hour > 23 || t.minute > 59 || t.second > 60)
        return std::nullopt;
    return t;
}

}  // namespace

std::optional<DateTime> parseDate(const std::string& input)
{
    std::string s = trim(input);
    // The old ACR-NEMA form "YYYY.MM.DD".
    if (s.size() == 10 && s[4] == '.' && s[7] == '.')
        s = s.substr(0, 4) + s.substr(5, 2) + s.substr(8, 2);
    if (s.size() != 8 || !allDigits(s, 0, 8))
        return std::nullopt;
    DateTime d;
    d.hasDate = true;
    d.year = num(s, 0, 4);
    d.month = num(s, 4, 2);
    d.day = num(s, 6, 2);
    if (!validDate(d.year, d.month, d.day))
        return std::nullopt;
    return d;
}

std::optional<DateTime> parseTime(const std::string& input)
{
    const std::string s = trim(input);
    if (s.empty())
        return std::nullopt;
    return parseTimePart(s);
}

std::optional<DateTime> parseDateTime(const std::string& input)
{
    std::string s = trim(input);
    // A UTC offset "&ZZXX" is accepted and not applied.
    if (auto p = s.find_first_of("+-"); p != std::string::npos) {
        if (s.size() - p != 5 || !allDigits(s, p + 1, 4))
            return std::nullopt;
        s.resize(p);
    }
    if (s.size() < 4 || !allDigits(s, 0, 4))
        return std::nullopt;
    DateTime d;
    d.hasDate = true;
    d.year = num(s, 0, 4);
    d.month = 1;
    d.day = 1;
    std::size_t pos = 4;
    if (s.size() > pos) {
        if (!allDigits(s, pos, 2))
            return std::nullopt;
        d.month = num(s, pos, 2);
        pos += 2;
    }
    if (s.size() > pos) {
        if (!allDigits(s, pos, 2))
            return std::nullopt;
        d.day = num(s, pos, 2);
        pos += 2;
    }
    if (!validDate(d.year, d.month, d.day))
        return std::nullopt;
    if (s.size() > pos) {
        auto t = parseTimePart(s.substr(pos));
        if (!t)
            return std::nullopt;
        d.hasTime = true;
        d.hour = t->hour;
        d.minute = t->minute;
        d.second = t->second;
        d.microsecond = t->microsecond;
    }
    return d;
}

std::optional<double> parseNumber(const std::string& input)
{
    const std::string s = trim(input);
    if (s.empty())
        return std::nullopt;
    for (char c : s)
        if (!(std::isdigit(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E'))
            return std::nullopt;
    char* end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    if (end != s.c_str() + s.size() || !std::isfinite(v))
        return std::nullopt;
    return v;
}

std::string formatDate(const DateTime& when)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d", when.year, when.month, when.day);
    return buf;
}

std::string formatTime(const DateTime& when)
{
    char buf[32];
    if (when.microsecond)
        std::snprintf(buf, sizeof buf, "%02d%02d%02d.%06d", when.hour, when.minute, when.second, when.microsecond);
    else
        std::snprintf(buf, sizeof buf, "%02d%02d%02d", when.hour, when.minute, when.second);
    return buf;
}

std::string formatDateTime(const DateTime& when)
{
    std::string s = when.hasDate ? formatDate(when) : std::string("00010101");
    if (when.hasTime)
        s += formatTime(when);
    return s;
}

std::string formatNumber(double number, DcmEVR vr)
{
    char buf[64];
    if (vr == EVR_IS || vr == EVR_US || vr == EVR_SS || vr == EVR_UL || vr == EVR_SL || vr == EVR_SV ||
        vr == EVR_UV || std::nearbyint(number) == number) {
        if (std::fabs(number) < 1e15) {
            std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(std::llround(number)));
            return buf;
        }
    }
    // DS holds at most 16 characters: lower the precision until it fits.
    for (int precision = 15; precision > 0; --precision) {
        std::snprintf(buf, sizeof buf, "%.*g", precision, number);
        if (vr != EVR_DS || std::string(buf).size() <= 16)
            break;
    }
    return buf;
}

}  // namespace detail
}  // namespace corva::dicom
