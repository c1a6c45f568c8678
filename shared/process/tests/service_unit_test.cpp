#include <gtest/gtest.h>

#include <iostream>

#include "process/service_unit.h"
#include "temp_dir.h"

using namespace corva;
using process::ServiceUnit;
using process::UnitSearch;
namespace fs = std::filesystem;

namespace {

// Two unit folders (an administrator's and the package's) and the mark of a running systemd.
struct UnitTree {
    test::TempDir root{"corva-units"};
    fs::path etc = root / "etc";
    fs::path lib = root / "lib";
    fs::path running = root / "run-systemd";
    fs::path program = root / "usr-lib" / "Recvora";

    UnitTree()
    {
        for (const auto& d : {etc, lib, running, program.parent_path()})
            fs::create_directories(d);
        test::writeFile(program, "");
    }
    UnitSearch search() const { return UnitSearch{{etc, lib}, running, "systemctl"}; }
    void unit(const fs::path& folder, const std::string& execStart) const
    {
        test::writeFile(folder / "corvalight-recvora.service",
                        "[Unit]\nDescription=x\nExecStart=/not/this\n\n[Service]\nType=simple\nExecStart=" + execStart +
                            "\nUser=corvalight\n\n[Install]\nWantedBy=multi-user.target\n");
    }
};

}  // namespace

TEST(ServiceUnit, FoundOnlyWhenSystemdRunsAndTheUnitStartsThisProgram)
{
    UnitTree t;
    EXPECT_FALSE(ServiceUnit::forProgram(t.program, t.search())) << "no unit installed";

    t.unit(t.lib, t.program.string());
    const auto unit = ServiceUnit::forProgram(t.program, t.search());
    ASSERT_TRUE(unit);
    EXPECT_EQ(unit->name(), "corvalight-recvora.service");
    EXPECT_EQ(unit->file(), t.lib / "corvalight-recvora.service");

    // Another installation's program (a build folder, an extracted package) is not the unit's.
    const fs::path other = t.root / "build" / "Recvora";
    fs::create_directories(other.parent_path());
    test::writeFile(other, "");
    EXPECT_FALSE(ServiceUnit::forProgram(other, t.search()));

    // Without systemd as PID 1 (a container) no unit runs anything.
    fs::remove(t.running);
    EXPECT_FALSE(ServiceUnit::forProgram(t.program, t.search()));
    fs::create_directories(t.running);

    // The administrator's unit in /etc replaces the package's.
    t.unit(t.etc, "/opt/elsewhere/Recvora");
    EXPECT_FALSE(ServiceUnit::forProgram(t.program, t.search()));
    t.unit(t.etc, "-" + t.program.string() + " --verbose");
    const auto replaced = ServiceUnit::forProgram(t.program, t.search());
    ASSERT_TRUE(replaced);
    EXPECT_EQ(replaced->file(), t.etc / "corvalight-recvora.service");
}

TEST(ServiceUnit, ExecStartProgram)
{
    const std::pair<const char*, const char*> cases[] = {
        {"/usr/lib/corvalight/Recvora", "/usr/lib/corvalight/Recvora"},
        {"  /usr/lib/corvalight/Ingrado --flag x ", "/usr/lib/corvalight/Ingrado"},
        {"-@/usr/lib/corvalight/Recvora Recvora", "/usr/lib/corvalight/Recvora"},
        {"+!/usr/bin/x", "/usr/bin/x"},
        {"Recvora", ""},
        {"", ""},
    };
    for (const auto& [value, program] : cases)
        EXPECT_EQ(ServiceUnit::execStartProgram(value), fs::path(program)) << value;
}

TEST(ServiceUnit, ParseShow)
{
    const auto running = ServiceUnit::parseShow("ActiveState=active\nMainPID=4242\n");
    EXPECT_TRUE(running.running());
    EXPECT_EQ(running.mainPid, 4242);
    const auto failed = ServiceUnit::parseShow("MainPID=0\nActiveState=failed\n");
    EXPECT_FALSE(failed.running());
    EXPECT_EQ(failed.active, "failed");
    const auto nothing = ServiceUnit::parseShow("System has not been booted with systemd as init system (PID 1).\n");
    EXPECT_FALSE(nothing.running());
    EXPECT_TRUE(nothing.active.empty());
}

// The real systemctl for a unit that is not loaded (or no systemd at all, as in a
// container): nothing runs, and a start is refused with systemctl's own words.
TEST(ServiceUnit, RealSystemctlRefusesAUnitItDoesNotHave)
{
    UnitTree t;
    t.unit(t.lib, t.program.string());
    const auto unit = ServiceUnit::forProgram(t.program, t.search());
    ASSERT_TRUE(unit);
    EXPECT_FALSE(unit->state().running());
    std::string error;
    EXPECT_FALSE(unit->start(&error));
    EXPECT_FALSE(error.empty());
    std::cout << "systemctl said: " << error << std::endl;
}
