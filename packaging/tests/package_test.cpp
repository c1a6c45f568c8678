// The Debian package: built once with cpack from this build tree, its contents and control
// fields, lintian's verdict, systemd's verdict on the units, and the programs run from
// the extracted package as the units run them, against a program folder of the test's own.
#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>

#include "child_process.h"
#include "dicom_fixture.h"
#include "shell.h"
#include "temp_dir.h"

namespace corva::test {
namespace {

namespace fs = std::filesystem;

const fs::path BuildDir = CORVA_BINARY_DIR;
constexpr const char* Version = CORVA_PACKAGE_VERSION;

// The [Service] lines of a unit file: key -> value (the last one of a key).
std::map<std::string, std::string> serviceLines(const fs::path& unit)
{
    std::map<std::string, std::string> lines;
    std::ifstream in(unit);
    std::string line;
    bool inService = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.front() == '[')
            inService = line == "[Service]";
        const auto eq = line.find('=');
        if (inService && eq != std::string::npos && line.front() != '#')
            lines[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return lines;
}

class PackageTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        out_ = std::make_unique<TempDir>("corva-pkg");
        int code = -1;
        const std::string log = shell("cpack -G DEB --config " + quoted(BuildDir / "CPackConfig.cmake") + " -B " +
                                          quoted(out_->path()) + " 2>&1",
                                      &code);
        ASSERT_EQ(code, 0) << log;
        const std::string arch = shellOutput("dpkg --print-architecture");
        deb_ = out_->path() / ("corvalight_" + std::string(Version) + "_" + arch.substr(0, arch.find('\n')) + ".deb");
        ASSERT_TRUE(fs::is_regular_file(deb_)) << "no " << deb_ << " after\n" << log;
        root_ = out_->path() / "root";
        fs::create_directories(root_);
        ASSERT_EQ(shell("dpkg -x " + quoted(deb_) + " " + quoted(root_), &code), "");
        ASSERT_EQ(code, 0);
    }
    static void TearDownTestSuite() { out_.reset(); }

    void SetUp() override
    {
        if (!fs::is_regular_file(deb_))
            GTEST_SKIP() << "the package was not built (see the first failure)";
    }

    static inline std::unique_ptr<TempDir> out_;
    static inline fs::path deb_;
    static inline fs::path root_;
};

TEST_F(PackageTest, ContentsListTheProgramsUnitsDesktopEntryIconAndTemplates)
{
    const std::string contents = shellOutput("dpkg-deb --contents " + quoted(deb_));
    std::cout << contents;
    const char* expected[] = {
        "./usr/lib/corvalight/Corvalight",
        "./usr/lib/corvalight/Ingrado",
        "./usr/lib/corvalight/Recvora",
        "./usr/lib/corvalight/corvactl",
        "./usr/lib/corvalight/program-folder",
        "./usr/lib/corvalight/settings-folder",
        "./usr/lib/corvalight/CorvaLogo.bmp",
        "./usr/bin/corvalight -> ../lib/corvalight/Corvalight",
        "./usr/bin/corvactl -> ../lib/corvalight/corvactl",
        "./usr/share/corvalight/Data/QADef.dat",
        "./usr/share/corvalight/Data/QAUser.dat",
        "./lib/systemd/system/corvalight-recvora.service",
        "./lib/systemd/system/corvalight-ingrado.service",
        "./usr/share/applications/corvalight.desktop",
        "./usr/share/icons/hicolor/128x128/apps/corvalight.png",
        "./etc/corvalight/ZKT/Lumenpost.conf",
        "./usr/share/polkit-1/rules.d/corvalight.rules",
        "./usr/share/doc/corvalight/copyright",
        "./usr/share/doc/corvalight/changelog.gz",
    };
    for (const char* entry : expected)
        EXPECT_NE(contents.find(std::string(entry) + (std::string(entry).find(" -> ") == std::string::npos ? "\n" : "")),
                  std::string::npos)
            << entry;
    // The data is the site's, made by postinst and kept on removal: the package holds none.
    EXPECT_EQ(contents.find("./var/"), std::string::npos);
    // Nothing of the build's program folder layout at the top.
    EXPECT_EQ(contents.find(" ./Corvalight"), std::string::npos);
    EXPECT_EQ(contents.find(" ./Data/"), std::string::npos);
    // The programs are executable, the rest is not.
    EXPECT_TRUE(std::regex_search(contents, std::regex("-rwxr-xr-x root/root +[0-9]+ .* ./usr/lib/corvalight/Recvora\n")));
    EXPECT_TRUE(std::regex_search(contents, std::regex("-rw-r--r-- root/root +[0-9]+ .* ./lib/systemd/system/corvalight-recvora.service\n")));
}

TEST_F(PackageTest, ControlNamesRuntimePackagesOnlyAndTheScripts)
{
    EXPECT_EQ(shellOutput("dpkg-deb -f " + quoted(deb_) + " Package"), "corvalight\n");
    EXPECT_EQ(shellOutput("dpkg-deb -f " + quoted(deb_) + " Version"), std::string(Version) + "\n");
    const std::string depends = shellOutput("dpkg-deb -f " + quoted(deb_) + " Depends");
    std::cout << "Depends: " << depends;
    for (const char* runtime : {"libqt6core6", "libqt6widgets6", "libdcmtk17", "libsqlite3-0", "libzip4", "adduser"})
        EXPECT_NE(depends.find(runtime), std::string::npos) << runtime;
    std::stringstream names(depends);
    std::string name;
    while (std::getline(names, name, ',')) {
        name = name.substr(name.find_first_not_of(' '));
        name = name.substr(0, name.find(' '));
        EXPECT_FALSE(name.ends_with("-dev")) << name;
        for (const char* tool : {"cmake", "ninja-build", "build-essential", "g++", "gcc", "pkg-config"})
            EXPECT_NE(name, tool);
    }
    const std::string control = shellOutput("dpkg-deb -I " + quoted(deb_));
    for (const char* part : {"postinst", "prerm", "postrm", "conffiles"})
        EXPECT_NE(control.find(part), std::string::npos) << part;
    EXPECT_EQ(shellOutput("dpkg-deb --ctrl-tarfile " + quoted(deb_) + " | tar -xO ./conffiles"),
              "/etc/corvalight/ZKT/Lumenpost.conf\n");
}

TEST_F(PackageTest, LintianReportsNoError)
{
    int code = -1;
    // Lintian refuses nothing for running as root, but says so on every line it can.
    const std::string report = shell("lintian --tag-display-limit 0 " + quoted(deb_) + " 2>&1", &code);
    std::cout << report;
    ASSERT_EQ(report.find("command not found"), std::string::npos) << "lintian is missing";
    for (const auto& line : splitLines(report))
        EXPECT_FALSE(line.starts_with("E:")) << line;
}

// systemd-analyze verify loads the units against a root of the extracted package beside
// the machine's own units (the targets they name); it needs no running systemd.
TEST_F(PackageTest, SystemdAcceptsTheUnits)
{
    const fs::path root = out_->path() / "verify-root";
    int code = -1;
    ASSERT_EQ(shell("cp -a " + quoted(root_) + " " + quoted(root) + " && cp -an /lib/systemd/system/. " +
                        quoted(root / "lib/systemd/system") + "/",
                    &code),
              "");
    ASSERT_EQ(code, 0);
    for (const char* unit : {"corvalight-recvora.service", "corvalight-ingrado.service"}) {
        const std::string said = shell("systemd-analyze verify --man=no --root=" + quoted(root) +
                                           " /lib/systemd/system/" + unit + " 2>&1",
                                       &code);
        EXPECT_EQ(code, 0) << unit << ": " << said;
        EXPECT_EQ(said, "") << unit;
    }
    // What the site's safety asks of both units.
    for (const char* unit : {"corvalight-recvora.service", "corvalight-ingrado.service"}) {
        auto lines = serviceLines(root_ / "lib/systemd/system" / unit);
        EXPECT_EQ(lines["User"], "corvalight") << unit;
        EXPECT_EQ(lines["Group"], "corvalight") << unit;
        EXPECT_EQ(lines["UMask"], "0007") << unit;
        EXPECT_EQ(lines["Restart"], "on-failure") << unit;
        EXPECT_EQ(lines["ProtectSystem"], "strict") << unit;
        EXPECT_EQ(lines["ReadWritePaths"], "/var/lib/corvalight") << unit;
        EXPECT_EQ(lines["NoNewPrivileges"], "yes") << unit;
        EXPECT_EQ(lines["PrivateTmp"], "yes") << unit;
        EXPECT_EQ(lines["WorkingDirectory"], "/var/lib/corvalight") << unit;
    }
    EXPECT_EQ(serviceLines(root_ / "lib/systemd/system/corvalight-recvora.service")["AmbientCapabilities"],
              "CAP_NET_BIND_SERVICE");
    EXPECT_EQ(serviceLines(root_ / "lib/systemd/system/corvalight-ingrado.service").count("AmbientCapabilities"), 0u);
}

// The programs of the extracted package, started with the units' command lines, working
// folder, settings and file mask: Recvora takes an image from storescu, Ingrado files it,
// and corvactl (through its link in usr/bin) lists it, all in the program folder named by
// the file beside the programs.
TEST_F(PackageTest, ExtractedProgramsFileAnImageInTheirProgramFolder)
{
    // A copy of the extracted tree: this test writes its program-folder file and settings.
    const fs::path root = out_->path() / "run-root";
    int code = -1;
    ASSERT_EQ(shell("cp -a " + quoted(root_) + " " + quoted(root), &code), "");
    const TempDir site("corva-pkg-site");
    // What postinst makes: the folders and the templates.
    for (const char* sub : {"Data", "Images", "Temp", "Logs", "bin", "transfer"})
        fs::create_directories(site.path() / sub);
    for (const char* name : {"QADef.dat", "QAUser.dat"})
        fs::copy_file(root / "usr/share/corvalight/Data" / name, site.path() / "Data" / name);
    const fs::path programs = root / "usr/lib/corvalight";
    EXPECT_EQ(readFile(programs / "program-folder"), "/var/lib/corvalight\n");
    writeFile(programs / "program-folder", site.path().string() + "\n");
    // Every program and operator uses the site's one settings file.
    EXPECT_EQ(readFile(programs / "settings-folder"), "/etc/corvalight\n");
    writeFile(programs / "settings-folder", (root / "etc/corvalight").string() + "\n");

    // The package's own settings file, on a free port.
    const fs::path settings = root / "etc/corvalight/ZKT/Lumenpost.conf";
    std::string conf = readFile(settings);
    const auto portAt = conf.find("IR_Port=105\n");
    ASSERT_NE(portAt, std::string::npos) << conf;
    const int port = freePort();
    conf.replace(portAt, std::string("IR_Port=105\n").size(), "IR_Port=" + std::to_string(port) + "\n");
    writeFile(settings, conf);

    // Each unit's command line, re-rooted into the extracted tree and the test's folder.
    const auto reroot = [&](std::string value) {
        if (value.starts_with("/var/lib/corvalight"))
            return site.path().string() + value.substr(std::string("/var/lib/corvalight").size());
        return (root / value.substr(1)).string();
    };
    std::map<std::string, std::unique_ptr<ChildProcess>> running;
    for (const std::string name : {"ingrado", "recvora"}) {
        auto unit = serviceLines(root / "lib/systemd/system" / ("corvalight-" + name + ".service"));
        // The settings come through the settings-folder file: a user's own stay unread.
        EXPECT_EQ(unit["Environment"], "");
        const std::string configHome = (site.path() / "no-settings-here").string();
        const std::string command = "cd " + quoted(fs::path(reroot(unit["WorkingDirectory"]))) + " && umask " + unit["UMask"] +
                                    " && exec " + quoted(fs::path(reroot(unit["ExecStart"])));
        running[name] = std::make_unique<ChildProcess>(
            std::vector<std::string>{"sh", "-c", command},
            std::vector<std::string>{"XDG_CONFIG_HOME=" + configHome, "XDG_RUNTIME_DIR="},
            site.path() / (name + ".out"));
    }
    const std::string portText = std::to_string(port);
    ASSERT_TRUE(waitUntil(
        [&] { return runCommand({"echoscu", "-aec", "Lumenpost", "127.0.0.1", portText}, 10s).code == 0; }, 30s,
        200ms))
        << readFile(site.path() / "recvora.out") << (fs::exists(site.path() / "Logs/Recvora.log")
                                                         ? readFile(site.path() / "Logs/Recvora.log")
                                                         : std::string());

    const TempDir source("corva-pkg-src");
    DicomRecipe recipe;
    recipe.patientId = "PKG-4711";
    recipe.studyUid = uniqueUid();
    recipe.sopInstanceUid = uniqueUid();
    const fs::path file = writeDicom(source.path() / "image.dcm", recipe);
    const auto sent = runCommand({"storescu", "-aec", "Lumenpost", "127.0.0.1", portText, file.string()});
    ASSERT_EQ(sent.code, 0) << sent.output;
    const fs::path filed = site.path() / "Images" / recipe.studyUid / (recipe.sopInstanceUid + ".dcm");
    ASSERT_TRUE(waitUntil([&] { return fs::exists(filed); }, 60s, 100ms))
        << readFile(site.path() / "ingrado.out") << readFile(site.path() / "recvora.out");
    // Patient data for the programs' user and group only.
    struct stat st {};
    ASSERT_EQ(::stat(filed.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07, 0u);
    EXPECT_TRUE(fs::exists(site.path() / "Data/QAData.dat"));
    EXPECT_TRUE(fs::exists(site.path() / "Logs/Recvora.log"));

    // corvactl through its link, without arguments naming the folder; settings of its own.
    const TempDir home("corva-pkg-home");
    ASSERT_TRUE(waitUntil(
        [&] {
            return runCommand({(root / "usr/bin/corvactl").string(), "list", "patients"}, 60s,
                              {"XDG_CONFIG_HOME=" + home.path().string()})
                       .output.find("PKG-4711") != std::string::npos;
        },
        30s, 200ms));

    for (auto& [name, process] : running)
        process->signal(SIGTERM);
    for (auto& [name, process] : running)
        EXPECT_TRUE(process->wait(30s).has_value()) << name;
    // The programs' folder got nothing but the files this test wrote.
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(programs))
        left.push_back(entry.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"CorvaLogo.bmp", "Corvalight", "Ingrado", "Recvora", "corvactl",
                                              "program-folder", "settings-folder"}));
}

}  // namespace
}  // namespace corva::test
