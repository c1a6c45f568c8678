#include <gtest/gtest.h>

#include <QSettings>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <type_traits>
#include <variant>

#include "settings/settings.h"
#include "temp_dir.h"

using namespace corva::settings;

namespace {

// Every test of this file uses its own settings file: XDG_CONFIG_HOME must point at
// a temporary folder before the first QSettings is made.
class SettingsHome : public ::testing::Environment {
public:
    void SetUp() override { setenv("XDG_CONFIG_HOME", dir_.path().c_str(), 1); }

private:
    corva::test::TempDir dir_{"corva-settings"};
};
const auto* const g_home = ::testing::AddGlobalTestEnvironment(new SettingsHome);

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        QSettings store("ZKT", "Lumenpost");
        store.clear();
        store.sync();
    }
};

TEST_F(SettingsTest, DefaultsWithoutAnyStoredValue)
{
    const std::filesystem::path file = std::filesystem::path(std::getenv("XDG_CONFIG_HOME")) / "ZKT" / "Lumenpost.conf";
    std::filesystem::remove(file);
    ASSERT_FALSE(std::filesystem::exists(file));
    Settings s;
    LoadSettings(s);
    EXPECT_FALSE(std::filesystem::exists(file)) << "loading writes nothing";
    EXPECT_EQ(s.viewerRows, 7);
    EXPECT_EQ(s.viewerColumns, 3);
    EXPECT_EQ(s.imagesPerPage, 21);
    EXPECT_EQ(s.viewerBgColor, 0);
    EXPECT_EQ(s.viewerFgColor, 0x00C0FFFF);
    EXPECT_EQ(s.sentAndKeep, 1);
    EXPECT_EQ(s.stopService, 0);
    EXPECT_EQ(s.debug, 0);
    EXPECT_EQ(s.xrayComm, 1);
    EXPECT_EQ(s.irAet, "Lumenpost");
    EXPECT_EQ(s.irPort, "105");
    EXPECT_EQ(s.scpAet, "");
    EXPECT_EQ(s.comSpeed, 5);
    EXPECT_EQ(s.comParity, 2);
    EXPECT_EQ(s.comBitGet, 4);
    EXPECT_EQ(s.comBitPut, 0);
    EXPECT_EQ(s.comFlux, 0);
    EXPECT_EQ(s.comPort, 1);
    EXPECT_EQ(s.comTimeOutStart, 5);
    EXPECT_EQ(s.comTimeOutEnd, 5);
    EXPECT_EQ(s.editAndSend, 0);
    EXPECT_EQ(s.autoWindow, 0);
    EXPECT_EQ(s.computeWindow, 0);
    EXPECT_EQ(s.customWidth, "0");
    EXPECT_EQ(s.customCenter, "0");
    EXPECT_EQ(s.scpIp, "");
    EXPECT_EQ(s.scpPort, "");
    EXPECT_EQ(s.filterActive, "Mammography");  // the filter the dictionary ships with
}

TEST_F(SettingsTest, ValuesLiveUnderTheirGroups)
{
    ASSERT_TRUE(WriteRegistryValue("General\\Viewer_Rows", "2"));
    QSettings store("ZKT", "Lumenpost");
    EXPECT_EQ(store.value("General/Viewer_Rows").toString(), "2");
    EXPECT_EQ(ReadRegistryValue("General\\Viewer_Rows", "7"), "2");
    EXPECT_EQ(ReadRegistryValue("General\\Missing", "dflt"), "dflt");
    ASSERT_TRUE(WriteRegistryValue("General\\Viewer_Rows", ""));
    EXPECT_EQ(ReadRegistryValue("General\\Viewer_Rows", "7"), "7") << "an empty value reads as the default";
}

// The stored layout: string values under their groups in ZKT/Lumenpost.conf below
// XDG_CONFIG_HOME (QSettings writes the group General as [%General]: [General] is
// its section for keys without a group).
TEST_F(SettingsTest, StoredAsStringsInTheUsersConfigFile)
{
    Settings s;
    LoadSettings(s);
    SaveSettings(s);
    const std::filesystem::path file = std::filesystem::path(std::getenv("XDG_CONFIG_HOME")) / "ZKT" / "Lumenpost.conf";
    const std::string text = corva::test::readFile(file);
    for (const char* expected : {"[%General]", "Viewer_Rows=7", "Viewer_fgColor=12648447", "[Com]", "IR_AET=Lumenpost",
                                 "IR_Port=105", "[ComPort]", "Speed=5", "[Filter]", "Active="})
        EXPECT_NE(text.find(expected), std::string::npos) << expected << " in\n" << text;
}

TEST_F(SettingsTest, NonNumericRowsKeepPreviousValueAndColumnsStillLoad)
{
    WriteRegistryValue("General\\Viewer_Rows", "many");
    WriteRegistryValue("General\\Viewer_Columns", "4");
    Settings s;
    LoadSettings(s);
    EXPECT_EQ(s.viewerRows, 0);
    EXPECT_EQ(s.viewerColumns, 4);
    EXPECT_EQ(s.imagesPerPage, 0);

    s.viewerRows = 5;
    LoadSettings(s);
    EXPECT_EQ(s.viewerRows, 5) << "a failed step keeps what was loaded before";
}

TEST(SettingsConversion, WholeNumbers)
{
    struct Case {
        const char* text;
        bool ok;
        int value;
    } cases[] = {
        {"7", true, 7},       {" 12 ", true, 12},  {"2.5", true, 2},     {"3.5", true, 4},
        {"-2.5", true, -2},   {"32767", true, 32767}, {"32768", false, 0}, {"-32769", false, 0},
        {"abc", false, 0},    {"", false, 0},      {"1x", false, 0},     {"0x10", false, 0},
        {"1e2", true, 100},   {"nan", false, 0},
    };
    for (const auto& c : cases) {
        std::int16_t v = 0;
        EXPECT_EQ(toInt16(c.text, v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
    std::int32_t big = 0;
    EXPECT_TRUE(toInt32("2147483647", big));
    EXPECT_EQ(big, 2147483647);
    EXPECT_FALSE(toInt32("2147483648", big));
}

TEST(SettingsConversion, ColourScanIsLenient)
{
    struct Case {
        const char* text;
        bool ok;
        std::int32_t value;
    } cases[] = {
        {"&H00C0FFFF&", true, 12648447}, {"12648447", true, 12648447}, {"255", true, 255},
        {"&HFF&", true, 255},            {"&hff", true, 255},          {"red", true, 0},
        {"", true, 0},                   {"12abc", true, 12},          {"&HFFFFFFFF&", true, -1},
        {"&H1FFFFFFFF", false, 0},       {"99999999999", false, 0},
    };
    for (const auto& c : cases) {
        std::int32_t v = 77;
        EXPECT_EQ(scanColour(c.text, v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
}

TEST_F(SettingsTest, BackgroundColourForms)
{
    for (const char* red : {"255", "&HFF&"}) {
        WriteRegistryValue("General\\Viewer_bgColor", red);
        Settings s;
        LoadSettings(s);
        EXPECT_EQ(s.viewerBgColor, 0x000000FF) << red;
    }
    WriteRegistryValue("General\\Viewer_bgColor", "black");
    Settings s;
    s.viewerBgColor = 5;
    LoadSettings(s);
    EXPECT_EQ(s.viewerBgColor, 0);
}

TEST_F(SettingsTest, SaveWritesDecimalTextAndLoadsBack)
{
    Settings s;
    LoadSettings(s);
    SaveSettings(s);
    EXPECT_EQ(ReadRegistryValue("General\\Viewer_fgColor", ""), "12648447");
    EXPECT_EQ(ReadRegistryValue("General\\Viewer_bgColor", ""), "0");
    EXPECT_EQ(ReadRegistryValue("Com\\IR_AET", ""), "Lumenpost");
    EXPECT_EQ(ReadRegistryValue("ComPort\\Speed", ""), "5");

    s.scpAet = "ARCHIVE, MAIN";  // a comma must survive the INI format
    s.viewerRows = 2;
    SaveSettings(s);
    Settings back;
    LoadSettings(back);
    EXPECT_EQ(back.scpAet, "ARCHIVE, MAIN");
    EXPECT_EQ(back.viewerRows, 2);
    EXPECT_EQ(back.imagesPerPage, 6);
}

// An emptied receiver port (the site does not receive) and an emptied active filter
// (none) stay empty; other emptied texts read as their defaults, as they always did.
TEST_F(SettingsTest, EmptiedPortAndFilterStayEmpty)
{
    Settings s;
    LoadSettings(s);
    EXPECT_EQ(s.irPort, "105");
    EXPECT_EQ(s.filterActive, "Mammography");
    s.irPort.clear();
    s.filterActive.clear();
    s.irAet.clear();
    SaveSettings(s);
    Settings back;
    LoadSettings(back);
    EXPECT_EQ(back.irPort, "");
    EXPECT_EQ(back.filterActive, "");
    EXPECT_EQ(back.irAet, "Lumenpost");
    EXPECT_EQ(ReadRegistryText("Com\\IR_Port", "105"), "");
    EXPECT_EQ(ReadRegistryText("Com\\Never_Written", "dflt"), "dflt");
}

TEST_F(SettingsTest, HooksSeeDebugAndUnitType)
{
    WriteRegistryValue("General\\XrayComm", "3");
    WriteRegistryValue("General\\Debug", "1");
    int seenDebug = -1, seenUnit = -1;
    Settings s;
    LoadSettings(s, {[&](std::int16_t d) { seenDebug = d; }, [&](std::int16_t x) { seenUnit = x; }});
    EXPECT_EQ(seenDebug, 1);
    EXPECT_EQ(seenUnit, 3);
    EXPECT_EQ(s.xrayComm, 3);
}

}  // namespace

// Every key of the table comes back as it was saved: nothing is loaded without being
// saved, or saved without being loaded (ComPort\Device once was).
TEST_F(SettingsTest, EveryKeyRoundTrips)
{
    using corva::settings::SettingKey;
    corva::settings::Settings saved;
    int n = 0;
    for (const SettingKey& key : corva::settings::settingKeys()) {
        ++n;
        std::visit(
            [&](auto member) {
                auto& value = saved.*member;
                using T = std::decay_t<decltype(value)>;
                if constexpr (std::is_same_v<T, std::string>)
                    value = "value-" + std::to_string(n);
                else if (key.kind == SettingKey::Kind::Colour)
                    value = static_cast<T>(0x00123400 + n);
                else
                    value = static_cast<T>(100 + n);
            },
            key.field);
    }
    corva::settings::SaveSettings(saved);
    corva::settings::Settings loaded;
    corva::settings::LoadSettings(loaded);
    for (const SettingKey& key : corva::settings::settingKeys()) {
        SCOPED_TRACE(key.path);
        EXPECT_EQ(key.textOf(loaded), key.textOf(saved));
        EXPECT_EQ(corva::settings::ReadRegistryValue(key.path, "<missing>"), key.textOf(saved));
    }
    EXPECT_EQ(loaded.comDevice, saved.comDevice);
}

// The site's settings folder takes every read and write from then on, the window layout's
// QSettings included; the user's own file is left as it was.
TEST_F(SettingsTest, ASettingsFolderTakesEveryReadAndWrite)
{
    const std::filesystem::path home(std::getenv("XDG_CONFIG_HOME"));
    ASSERT_TRUE(WriteRegistryValue("Com\\IR_Port", "4242"));
    const corva::test::TempDir site("corva-site-settings");
    useSettingsFolder(site.path());
    EXPECT_EQ(ReadRegistryText("Com\\IR_Port", "105"), "105") << "the site's file is a new one";
    EXPECT_TRUE(WriteRegistryValue("Com\\IR_Port", "11112"));
    {
        QSettings store("ZKT", "Lumenpost");
        store.setValue("Layout/Main", 7);
    }
    const std::string siteFile = corva::test::readFile(site.path() / "ZKT" / "Lumenpost.conf");
    useSettingsFolder(home);
    EXPECT_NE(siteFile.find("IR_Port=11112"), std::string::npos) << siteFile;
    EXPECT_NE(siteFile.find("Main=7"), std::string::npos) << siteFile;
    EXPECT_EQ(ReadRegistryText("Com\\IR_Port", "105"), "4242");
}
