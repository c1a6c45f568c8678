#include "settings/settings.h"

#include "core/paths.h"

#include <QSettings>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <optional>
#include <type_traits>

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

void useSettingsFolder(const std::filesystem::path& folder)
{
    const QString path = QString::fromStdString(folder.string());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, path);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, path);
}

void useSiteSettingsFolder()
{
    static std::once_flag once;
    std::call_once(once, [] {
        if (const auto folder = settingsFolderFor(executableFolder()); !folder.empty())
            useSettingsFolder(folder);
    });
}

namespace {

std::optional<std::string> storedText(const std::string& path)
{
    useSiteSettingsFolder();
    try {
        QSettings store(QStringLiteral("ZKT"), QStringLiteral("Lumenpost"));
        const QVariant v = store.value(keyOf(path));
        if (!v.isValid())
            return std::nullopt;
        // An INI value with commas reads back as a list: join it again.
        const QString text = v.typeId() == QMetaType::QStringList ? v.toStringList().join(QLatin1Char(','))
                                                                  : v.toString();
        return text.toStdString();
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace

std::string ReadRegistryValue(const std::string& path, const std::string& defaultValue)
{
    const auto text = storedText(path);
    return text && !text->empty() ? *text : defaultValue;
}

std::string ReadRegistryText(const std::string& path, const std::string& defaultValue)
{
    return storedText(path).value_or(defaultValue);
}

bool WriteRegistryValue(const std::string& path, const std::string& value)
{
    useSiteSettingsFolder();
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

const std::vector<SettingKey>& settingKeys()
{
    using K = SettingKey::Kind;
    // In the order of loading: the hooks see Debug and XrayComm after everything before them.
    static const std::vector<SettingKey> keys{
        {"General\\Viewer_Rows", "7", K::Whole16, &Settings::viewerRows},
        {"General\\Viewer_Columns", "3", K::Whole16, &Settings::viewerColumns},
        {"General\\Viewer_bgColor", "&H00000000&", K::Colour, &Settings::viewerBgColor},
        {"General\\Viewer_fgColor", "&H00C0FFFF&", K::Colour, &Settings::viewerFgColor},
        {"General\\EditAndSend", "0", K::Whole16, &Settings::editAndSend},
        {"General\\SentAndKeep", "1", K::Whole16, &Settings::sentAndKeep},
        {"General\\AutoWindow", "0", K::Whole16, &Settings::autoWindow},
        {"General\\ComputeWindow", "0", K::Whole16, &Settings::computeWindow},
        {"General\\CustomWidth", "0", K::Text, &Settings::customWidth},
        {"General\\CustomCenter", "0", K::Text, &Settings::customCenter},
        {"General\\StopService", "0", K::Whole32, &Settings::stopService},
        {"Com\\IR_AET", "Lumenpost", K::Text, &Settings::irAet},
        // Empty: the receiver does not listen.
        {"Com\\IR_Port", "105", K::TextOrEmpty, &Settings::irPort},
        {"Com\\SCP_AET", "", K::Text, &Settings::scpAet},
        {"Com\\SCP_IP", "", K::Text, &Settings::scpIp},
        {"Com\\SCP_Port", "", K::Text, &Settings::scpPort},
        {"ComPort\\Speed", "5", K::Whole16, &Settings::comSpeed},
        {"ComPort\\Parity", "2", K::Whole16, &Settings::comParity},
        {"ComPort\\Bit_Get", "4", K::Whole16, &Settings::comBitGet},
        {"ComPort\\Bit_Put", "0", K::Whole16, &Settings::comBitPut},
        {"ComPort\\Flux", "0", K::Whole16, &Settings::comFlux},
        {"ComPort\\Port", "1", K::Whole16, &Settings::comPort},
        {"ComPort\\Time_Out_Start", "5", K::Whole16, &Settings::comTimeOutStart},
        {"ComPort\\Time_Out_End", "5", K::Whole16, &Settings::comTimeOutEnd},
        // A new installation shows the mammography filter (created with the dictionary).
        {"Filter\\Active", "Mammography", K::TextOrEmpty, &Settings::filterActive},  // empty: none
        {"General\\Debug", "", K::Whole16, &Settings::debug},
        {"General\\XrayComm", "1", K::Whole16, &Settings::xrayComm},
        // A device path for USB serial adapters; empty means /dev/ttyS<Port-1>.
        {"ComPort\\Device", "", K::Text, &Settings::comDevice},
        // A destination that takes an image and never answers must not hold a send for long.
        {"Com\\DIMSE_Timeout", "60", K::Whole16, &Settings::dimseTimeout},
        {"Dose\\UnitName", "", K::Text, &Settings::doseUnitName},
        {"Dose\\Quantity_Sophie", "0", K::Whole16, &Settings::doseQuantitySophie},
        {"Dose\\Quantity_Giotto", "0", K::Whole16, &Settings::doseQuantityGiotto},
    };
    return keys;
}

void LoadSettings(Settings& s, const LoadHooks& hooks)
{
    using K = SettingKey::Kind;
    for (const SettingKey& key : settingKeys()) {
        switch (key.kind) {
            case K::Whole16: loadWhole(key.path, key.defaultValue, s.*std::get<std::int16_t Settings::*>(key.field)); break;
            case K::Whole32: loadWhole(key.path, key.defaultValue, s.*std::get<std::int32_t Settings::*>(key.field)); break;
            case K::Colour: loadColour(key.path, key.defaultValue, s.*std::get<std::int32_t Settings::*>(key.field)); break;
            case K::Text: s.*std::get<std::string Settings::*>(key.field) = ReadRegistryValue(key.path, key.defaultValue); break;
            case K::TextOrEmpty:
                s.*std::get<std::string Settings::*>(key.field) = ReadRegistryText(key.path, key.defaultValue);
                break;
        }
        if (key.field == SettingKey::Field{&Settings::viewerColumns}) {
            const int product = static_cast<int>(s.viewerRows) * static_cast<int>(s.viewerColumns);
            if (product >= std::numeric_limits<std::int16_t>::min() && product <= std::numeric_limits<std::int16_t>::max())
                s.imagesPerPage = static_cast<std::int16_t>(product);
        } else if (key.field == SettingKey::Field{&Settings::debug} && hooks.afterDebug) {
            hooks.afterDebug(s.debug);
        } else if (key.field == SettingKey::Field{&Settings::xrayComm} && hooks.afterXrayComm) {
            hooks.afterXrayComm(s.xrayComm);
        }
    }
}

std::string SettingKey::textOf(const Settings& s) const
{
    return std::visit(
        [&s](auto member) -> std::string {
            const auto& value = s.*member;
            if constexpr (std::is_same_v<std::decay_t<decltype(value)>, std::string>)
                return value;
            else
                return std::to_string(static_cast<long long>(value));
        },
        field);
}

void SaveSettings(const Settings& s)
{
    for (const SettingKey& key : settingKeys())
        WriteRegistryValue(key.path, key.textOf(s));
}

}  // namespace corva::settings
