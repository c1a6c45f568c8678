#pragma once
// A service program run by systemd: when systemd runs this machine and an installed unit
// starts that very program file, the unit is asked and told, never the process itself (a
// second copy started beside the unit's, under another user, would file the same images).
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace corva::process {

// Where units are looked for and how systemd is reached.
struct UnitSearch {
    std::vector<std::filesystem::path> unitFolders = {"/etc/systemd/system", "/lib/systemd/system",
                                                      "/usr/lib/systemd/system"};
    std::filesystem::path systemdRunning = "/run/systemd/system";  // present while systemd is PID 1
    std::string systemctl = "systemctl";
};

struct UnitState {
    std::string active;  // systemd's ActiveState: "active", "inactive", "failed", ...; empty: not known
    int mainPid = 0;
    bool running() const { return active == "active" || active == "reloading"; }
};

class ServiceUnit {
public:
    // The unit "corvalight-<program name in lower case>.service" when systemd runs and
    // the first such unit file found starts `program` (its ExecStart); none otherwise.
    static std::optional<ServiceUnit> forProgram(const std::filesystem::path& program, const UnitSearch& search = {});

    // The program an ExecStart= value starts ("-/usr/lib/x --flag" -> "/usr/lib/x");
    // empty when it names none.
    static std::filesystem::path execStartProgram(const std::string& value);
    // The state from `systemctl show --property=ActiveState,MainPID` output.
    static UnitState parseShow(const std::string& output);

    const std::string& name() const { return name_; }
    const std::filesystem::path& file() const { return file_; }

    UnitState state() const;
    // systemctl start/stop; false with systemctl's own words in `error` when refused.
    bool start(std::string* error = nullptr) const;
    bool stop(std::string* error = nullptr) const;

private:
    ServiceUnit(std::string name, std::filesystem::path file, std::string systemctl);
    bool run(const std::string& verb, std::string* error) const;

    std::string name_;
    std::filesystem::path file_;
    std::string systemctl_;
};

}  // namespace corva::process
