#include "process/service_unit.h"

#include <QProcess>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

namespace corva::process {
namespace fs = std::filesystem;

namespace {

// systemctl answers at once or not at all: a hung bus must not hang the station.
constexpr int SystemctlTimeoutMs = 15000;

std::string trim(std::string s)
{
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
        s.pop_back();
    std::size_t start = 0;
    while (start < s.size() && std::isspace(static_cast<unsigned char>(s[start])))
        ++start;
    return s.substr(start);
}

// The value of the last ExecStart= of the [Service] section (a later one replaces, an
// empty one clears).
std::string execStartOf(const fs::path& unitFile)
{
    std::ifstream in(unitFile);
    std::string line, section, value;
    while (std::getline(in, line)) {
        line = trim(line);
        if (line.empty() || line[0] == '#' || line[0] == ';')
            continue;
        if (line.front() == '[') {
            section = line;
            continue;
        }
        if (section != "[Service]")
            continue;
        const auto eq = line.find('=');
        if (eq == std::string::npos || trim(line.substr(0, eq)) != "ExecStart")
            continue;
        value = trim(line.substr(eq + 1));
    }
    return value;
}

std::string lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

bool samePath(const fs::path& a, const fs::path& b)
{
    std::error_code ea, eb;
    const fs::path ca = fs::weakly_canonical(a, ea);
    const fs::path cb = fs::weakly_canonical(b, eb);
    return !ea && !eb && ca == cb;
}

}  // namespace

ServiceUnit::ServiceUnit(std::string name, fs::path file, std::string systemctl)
    : name_(std::move(name)), file_(std::move(file)), systemctl_(std::move(systemctl))
{
}

fs::path ServiceUnit::execStartProgram(const std::string& value)
{
    std::string v = trim(value);
    // Prefixes that change how systemd runs the command, not which program.
    std::size_t i = 0;
    while (i < v.size() && std::string_view("-@:+!").find(v[i]) != std::string_view::npos)
        ++i;
    v = v.substr(i);
    const auto end = v.find_first_of(" \t");
    const fs::path program = v.substr(0, end);
    return program.is_absolute() ? program : fs::path();
}

std::optional<ServiceUnit> ServiceUnit::forProgram(const fs::path& program, const UnitSearch& search)
{
    std::error_code ec;
    if (!fs::is_directory(search.systemdRunning, ec))
        return std::nullopt;
    const std::string name = "corvalight-" + lower(program.filename().string()) + ".service";
    for (const auto& folder : search.unitFolders) {
        const fs::path file = folder / name;
        if (!fs::is_regular_file(file, ec))
            continue;
        // The first found is the one systemd uses (/etc overrides the package's).
        const fs::path started = execStartProgram(execStartOf(file));
        if (started.empty() || !samePath(started, program))
            return std::nullopt;
        return ServiceUnit(name, file, search.systemctl);
    }
    return std::nullopt;
}

UnitState ServiceUnit::parseShow(const std::string& output)
{
    UnitState state;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        const auto eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        const std::string key = line.substr(0, eq);
        const std::string value = trim(line.substr(eq + 1));
        if (key == "ActiveState")
            state.active = value;
        else if (key == "MainPID")
            state.mainPid = std::atoi(value.c_str());
    }
    return state;
}

UnitState ServiceUnit::state() const
{
    QProcess p;
    p.start(QString::fromStdString(systemctl_),
            {QStringLiteral("show"), QStringLiteral("--property=ActiveState,MainPID"), QString::fromStdString(name_)});
    if (!p.waitForFinished(SystemctlTimeoutMs) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        p.kill();
        p.waitForFinished(1000);
        return {};
    }
    return parseShow(p.readAllStandardOutput().toStdString());
}

bool ServiceUnit::run(const std::string& verb, std::string* error) const
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    // No password prompt on a terminal: the station has none, and corvactl's caller is
    // told what systemctl said.
    p.start(QString::fromStdString(systemctl_),
            {QStringLiteral("--no-ask-password"), QString::fromStdString(verb), QString::fromStdString(name_)});
    const bool finished = p.waitForFinished(SystemctlTimeoutMs);
    if (finished && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0)
        return true;
    if (!finished) {
        p.kill();
        p.waitForFinished(1000);
    }
    if (error) {
        const std::string said = trim(p.readAll().toStdString());
        if (p.error() == QProcess::FailedToStart)
            *error = systemctl_ + " could not be run";
        else if (!finished)
            *error = systemctl_ + " " + verb + " " + name_ + " did not answer";
        else
            *error = said.empty() ? systemctl_ + " " + verb + " " + name_ + " failed" : said;
    }
    return false;
}

bool ServiceUnit::start(std::string* error) const
{
    return run("start", error);
}

bool ServiceUnit::stop(std::string* error) const
{
    return run("stop", error);
}

}  // namespace corva::process
