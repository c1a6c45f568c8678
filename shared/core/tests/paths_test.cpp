#include <gtest/gtest.h>

#include "core/paths.h"
#include "temp_dir.h"

using namespace corva;
namespace fs = std::filesystem;

// An installed package names its data folder in a file beside the executables.
TEST(ProgramFolderFor, FileBesideTheExecutablesNamesTheFolder)
{
    const test::TempDir executables("corva-exe");
    struct Case {
        const char* text;      // the file's content; nullptr: no file
        const char* expected;  // nullptr: the executables' own folder
    };
    const Case cases[] = {
        {nullptr, nullptr},
        {"/var/lib/corvalight\n", "/var/lib/corvalight"},
        {"/var/lib/corvalight/", "/var/lib/corvalight"},
        {"/srv/site/../corva  \r\n# second line ignored\n", "/srv/corva"},
        {"relative/folder\n", nullptr},
        {"", nullptr},
        {"\n/var/lib/corvalight\n", nullptr},  // only the first line counts
    };
    for (const auto& c : cases) {
        const fs::path file = executables.path() / ProgramFolderFile;
        fs::remove(file);
        if (c.text)
            test::writeFile(file, c.text);
        const fs::path expected = c.expected ? fs::path(c.expected) : executables.path();
        EXPECT_EQ(programFolderFor(executables.path()), expected) << (c.text ? c.text : "(no file)");
    }
}

TEST(ProgramFolderFor, OverrideForTestingMovesBothFolders)
{
    const test::TempDir folder("corva-prog");
    setProgramFolderForTesting(folder.path());
    EXPECT_EQ(programFolder(), folder.path());
    EXPECT_EQ(executableFolder(), folder.path());
    setProgramFolderForTesting({});
    EXPECT_NE(programFolder(), folder.path());
}

// An installed package keeps one settings file for the services and every operator.
TEST(SettingsFolderFor, FileBesideTheExecutablesNamesTheSettingsFolder)
{
    const test::TempDir executables("corva-exe");
    struct Case {
        const char* text;      // the file's content; nullptr: no file
        const char* expected;  // empty: each user's own settings
    };
    const Case cases[] = {
        {nullptr, ""},
        {"/etc/corvalight\n", "/etc/corvalight"},
        {"/etc/corvalight/", "/etc/corvalight"},
        {"etc/corvalight\n", ""},
        {"", ""},
    };
    for (const auto& c : cases) {
        const fs::path file = executables.path() / SettingsFolderFile;
        fs::remove(file);
        if (c.text)
            test::writeFile(file, c.text);
        EXPECT_EQ(settingsFolderFor(executables.path()), fs::path(c.expected)) << (c.text ? c.text : "(no file)");
    }
}
