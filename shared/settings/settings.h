#pragma once
// The operator settings: string values in QSettings("ZKT", "Lumenpost"), each under
// its group ("General/Viewer_Rows"); on Linux ~/.config/ZKT/Lumenpost.conf.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <variant>
#include <vector>

namespace corva::settings {

// Where the settings file lies: each user's own (~/.config/ZKT/Lumenpost.conf) unless a
// "settings-folder" file beside the executables names the site's folder (an installed
// package: /etc/corvalight, for the services and every operator alike). Called before
// any QSettings("ZKT", "Lumenpost") is made; the reads and writes here call it.
void useSiteSettingsFolder();
// Puts the settings file below `folder` (folder/ZKT/Lumenpost.conf) from now on.
void useSettingsFolder(const std::filesystem::path& folder);

// Reads one value by its path ("General\\Viewer_Rows" or "General/Viewer_Rows").
// Returns defaultValue when the value is missing or empty, or reading fails. Never throws.
std::string ReadRegistryValue(const std::string& path, const std::string& defaultValue);
// The stored text also when it is empty (an emptied field the operator kept); the
// default only when the key was never written.
std::string ReadRegistryText(const std::string& path, const std::string& defaultValue);
// Writes one value as a string. Returns false on any failure. Never throws.
bool WriteRegistryValue(const std::string& path, const std::string& value);

// The settings in memory. Colours are 0x00BBGGRR.
struct Settings {
    std::int16_t viewerRows = 0;
    std::int16_t viewerColumns = 0;
    std::int16_t imagesPerPage = 0;
    std::int32_t viewerBgColor = 0;
    std::int32_t viewerFgColor = 0;
    std::int16_t editAndSend = 0;
    std::int16_t sentAndKeep = 0;
    std::int16_t autoWindow = 0;
    std::int16_t computeWindow = 0;
    std::string customWidth;
    std::string customCenter;
    std::int32_t stopService = 0;
    std::int16_t debug = 0;
    std::int16_t xrayComm = 0;
    std::string irAet;
    std::string irPort;
    std::string scpAet;
    std::string scpIp;
    std::string scpPort;
    std::int16_t comSpeed = 0;
    std::int16_t comParity = 0;
    std::int16_t comBitGet = 0;
    std::int16_t comBitPut = 0;
    std::int16_t comFlux = 0;
    std::int16_t comPort = 0;
    std::int16_t comTimeOutStart = 0;
    std::int16_t comTimeOutEnd = 0;
    std::string filterActive;
    // Optional: a device path that replaces /dev/ttyS<Port-1> when not empty.
    std::string comDevice;
    // Seconds a send waits for each answer of the destination before it gives up.
    std::int16_t dimseTimeout = 0;
    // The X-ray unit as the site names it in dose reports.
    std::string doseUnitName;
    // The dose each unit type reports: 0 entrance exposure, 1 average glandular dose.
    std::int16_t doseQuantitySophie = 0;
    std::int16_t doseQuantityGiotto = 0;
};

// One stored value: its registry path, the default it loads with, how it is read and
// the member it fills. Loading and saving both walk settingKeys(), so neither can
// leave a value out.
struct SettingKey {
    enum class Kind { Whole16, Whole32, Colour, Text, TextOrEmpty };
    using Field = std::variant<std::int16_t Settings::*, std::int32_t Settings::*, std::string Settings::*>;
    const char* path;
    const char* defaultValue;
    Kind kind;
    Field field;
    // The value of `s` as it is stored: numbers as decimal text.
    std::string textOf(const Settings& s) const;
};

// Every stored value, in the order of loading.
const std::vector<SettingKey>& settingKeys();

// The process-wide settings of the station.
Settings& current();

// Called by LoadSettings right after General\Debug and General\XrayComm are read
// (the options window sets chkDebug / optSophie / optGiotto from them).
struct LoadHooks {
    std::function<void(std::int16_t debug)> afterDebug;
    std::function<void(std::int16_t xrayComm)> afterXrayComm;
};

// Reads every value into s, in the fixed order, with the defaults; a step that fails
// keeps the previous value.
void LoadSettings(Settings& s, const LoadHooks& hooks = {});
inline void LoadSettings() { LoadSettings(current()); }
// Writes every value from s, in the same order; numbers as decimal text.
void SaveSettings(const Settings& s);
inline void SaveSettings() { SaveSettings(current()); }

// Conversions used by LoadSettings, exposed for tests.
// Whole number, fractions rounded half to even; false when not a number or out of range.
bool toInt16(const std::string& text, std::int16_t& out);
bool toInt32(const std::string& text, std::int32_t& out);
// Lenient colour scan: decimal digits or "&H" + hex digits (trailing "&" allowed),
// stopping at the first character that does not fit; no leading number gives 0.
// False when the result does not fit in int32.
bool scanColour(const std::string& text, std::int32_t& out);

}  // namespace corva::settings
