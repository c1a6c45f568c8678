#include "settings/settings.h"

#include <QSettings>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace corva::settings {
namespace {

// Registry paths use backslashes; QSettings groups use slashes.
QString keyOf(const std::string& path)
{
    QString key = QString::fromStdString(path);
    key.replace(QLatin1Char('\\'), QLatin1Char('/'));
    while (key.startsWith(QLatin1Char('/')))
        key.remove(0, 1);
    return key;
}

std::string trim(const std::string& s)
{
    std::size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b])))
        ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1])))
        --e;
    return s.substr(b, e - b);
}

// A decimal number: optional sign, digits with at most one '.', optional exponent.
bool parseDecimal(const std::string& text, double& out)
{
    const std::string t = trim(text);
    if (t.empty())
        return false;
    std::size_t i = 0;
    if (t[i] == '+' || t[i] == '-')
        ++i;
    bool digits = false, dot = false;
    for (; i < t.size(); ++i) {
        const char c = t[i];
        if (std::isdigit(static_cast<unsigned char>(c)))
            digits = true;
        else if (c == '.' && !dot)
            dot = true;
        else
            break;
    }
    if (!digits)
        return false;
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        if (i < t.size() && (t[i] == '+' || t[i] == '-'))
            ++i;
        bool expDigits = false;
        while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) {
            ++i;
            expDigits = true;
        }
        if (!expDigits)
            return false;
    }
    if (i != t.size())
        return false;
    char* end = nullptr;
    out = std::strtod(t.c_str(), &end);
    return std::isfinite(out);
}

template <typename T>
bool toWhole(const std::string& text, T& out)
{
    double d = 0;
    if (!parseDecimal(text, d))
        return false;
    const double r = std::nearbyint(d);  // the default rounding mode sends halves to even
    if (r < static_cast<double>(std::numeric_limits<T>::min()) || r > static_cast<double>(std::numeric_limits<T>::max()))
        return false;
    out = static_cast<T>(r);
    return true;
}

template <typename T>
void loadWhole(const char* path, const char* def, T& target)
{
    T value{};
    if (toWhole(ReadRegistryValue(path, def), value))
        target = value;
}

void loadColour(const char* path, const char* def, std::int32_t& target)
{
    std::int32_t value = 0;
    if (scanColour(ReadRegistryValue(path, def), value))
        target = value;
}

}  // namespace

std::string ReadRegistryValue(const std::string& path, const std::string& defaultValue)
{
    try {
        QSettings store(QStringLiteral("ZKT"), QStringLiteral("Lumenpost"));
        const QVariant v = store.value(keyOf(path));
        if (!v.isValid())
            return defaultValue;
        // An INI value with commas reads back as a list: join it again.
        const QString text = v.typeId() == QMetaType::QStringList ? v.toStringList().join(QLatin1Char(','))
                                                                  : v.toString();
        if (text.isEmpty())
            return defaultValue;
        return text.toStdString();
    } catch (...) {
        return defaultValue;
    }
}

bool WriteRegistryValue(const std::string& path, const std::string& value)
{
    try {
        QSettings store(QStringLiteral("ZKT"), QStringLiteral("Lumenpost"));
        store.setValue(keyOf(path), QString::fromStdString(value));
        store.sync();
        return store.status() == QSettings::NoError;
    } catch (...) {
        return false;
    }
}

Settings& current()
{
    static Settings s;
    return s;
}

bool toInt16(const std::string& text, std::int16_t& out) { return toWhole(text, out); }
bool toInt32(const std::string& text, std::int32_t& out) { return toWhole(text, out); }

bool scanColour(const std::string& text, std::int32_t& out)
{
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    if (i + 1 < text.size() && text[i] == '&' && (text[i + 1] == 'H' || text[i + 1] == 'h')) {
        // Hexadecimal: up to eight significant digits form a 32-bit pattern.
        i += 2;
        std::uint64_t v = 0;
        int significant = 0;
        for (; i < text.size() && std::isxdigit(static_cast<unsigned char>(text[i])); ++i) {
            const char c = text[i];
            const int d = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (std::toupper(c) - 'A' + 10);
            if (v != 0 || d != 0)
                ++significant;
            if (significant > 8)
                return false;
            v = (v << 4) | static_cast<std::uint64_t>(d);
        }
        out = static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
        return true;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    std::int64_t v = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        v = v * 10 + (text[i] - '0');
        if (v > static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::max()) + 1)
            return false;
    }
    if (negative)
        v = -v;
    if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max())
        return false;
    out = static_cast<std::int32_t>(v);
    return true;
}

void LoadSettings(Settings& s, const LoadHooks& hooks)
{
    loadWhole("General\\Viewer_Rows", "7", s.viewerRows);
    loadWhole("General\\Viewer_Columns", "3", s.viewerColumns);
    {
        const int product = static_cast<int>(s.viewerRows) * static_cast<int>(s.viewerColumns);
        if (product >= std::numeric_limits<std::int16_t>::min() && product <= std::numeric_limits<std::int16_t>::max())
            s.imagesPerPage = static_cast<std::int16_t>(product);
    }
    loadColour("General\\Viewer_bgColor", "&H00000000&", s.viewerBgColor);
    loadColour("General\\Viewer_fgColor", "&H00C0FFFF&", s.viewerFgColor);
    loadWhole("General\\EditAndSend", "0", s.editAndSend);
    loadWhole("General\\SentAndKeep", "1", s.sentAndKeep);
    loadWhole("General\\AutoWindow", "0", s.autoWindow);
    loadWhole("General\\ComputeWindow", "0", s.computeWindow);
    s.customWidth = ReadRegistryValue("General\\CustomWidth", "0");
    s.customCenter = ReadRegistryValue("General\\CustomCenter", "0");
    loadWhole("General\\StopService", "0", s.stopService);
    s.irAet = ReadRegistryValue("Com\\IR_AET", "Lumenpost");
    s.irPort = ReadRegistryValue("Com\\IR_Port", "105");
    s.scpAet = ReadRegistryValue("Com\\SCP_AET", "");
    s.scpIp = ReadRegistryValue("Com\\SCP_IP", "");
    s.scpPort = ReadRegistryValue("Com\\SCP_Port", "");
    loadWhole("ComPort\\Speed", "5", s.comSpeed);
    loadWhole("ComPort\\Parity", "2", s.comParity);
    loadWhole("ComPort\\Bit_Get", "4", s.comBitGet);
    loadWhole("ComPort\\Bit_Put", "0", s.comBitPut);
    loadWhole("ComPort\\Flux", "0", s.comFlux);
    loadWhole("ComPort\\Port", "1", s.comPort);
    loadWhole("ComPort\\Time_Out_Start", "5", s.comTimeOutStart);
    loadWhole("ComPort\\Time_Out_End", "5", s.comTimeOutEnd);
    s.filterActive = ReadRegistryValue("Filter\\Active", "");
    loadWhole("General\\Debug", "", s.debug);
    if (hooks.afterDebug)
        hooks.afterDebug(s.debug);
    loadWhole("General\\XrayComm", "1", s.xrayComm);
    if (hooks.afterXrayComm)
        hooks.afterXrayComm(s.xrayComm);
    // A device path for USB serial adapters; empty means /dev/ttyS<Port-1>.
    s.comDevice = ReadRegistryValue("ComPort\\Device", "");
}

void SaveSettings(const Settings& s)
{
    auto num = [](auto v) { return std::to_string(static_cast<long long>(v)); };
    WriteRegistryValue("General\\Debug", num(s.debug));
    WriteRegistryValue("General\\Viewer_Rows", num(s.viewerRows));
    WriteRegistryValue("General\\Viewer_Columns", num(s.viewerColumns));
    WriteRegistryValue("General\\Viewer_bgColor", num(s.viewerBgColor));
    WriteRegistryValue("General\\Viewer_fgColor", num(s.viewerFgColor));
    WriteRegistryValue("General\\EditAndSend", num(s.editAndSend));
    WriteRegistryValue("General\\SentAndKeep", num(s.sentAndKeep));
    WriteRegistryValue("General\\AutoWindow", num(s.autoWindow));
    WriteRegistryValue("General\\ComputeWindow", num(s.computeWindow));
    WriteRegistryValue("General\\CustomWidth", s.customWidth);
    WriteRegistryValue("General\\CustomCenter", s.customCenter);
    WriteRegistryValue("General\\StopService", num(s.stopService));
    WriteRegistryValue("General\\XrayComm", num(s.xrayComm));
    WriteRegistryValue("Com\\IR_AET", s.irAet);
    WriteRegistryValue("Com\\IR_Port", s.irPort);
    WriteRegistryValue("Com\\SCP_AET", s.scpAet);
    WriteRegistryValue("Com\\SCP_IP", s.scpIp);
    WriteRegistryValue("Com\\SCP_Port", s.scpPort);
    WriteRegistryValue("ComPort\\Speed", num(s.comSpeed));
    WriteRegistryValue("ComPort\\Parity", num(s.comParity));
    WriteRegistryValue("ComPort\\Bit_Get", num(s.comBitGet));
    WriteRegistryValue("ComPort\\Bit_Put", num(s.comBitPut));
    WriteRegistryValue("ComPort\\Flux", num(s.comFlux));
    WriteRegistryValue("ComPort\\Port", num(s.comPort));
    WriteRegistryValue("ComPort\\Time_Out_Start", num(s.comTimeOutStart));
    WriteRegistryValue("ComPort\\Time_Out_End", num(s.comTimeOutEnd));
    WriteRegistryValue("Filter\\Active", s.filterActive);
}

}  // namespace corva::settings
