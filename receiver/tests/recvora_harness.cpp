#include "recvora_harness.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace corva::test {
namespace fs = std::filesystem;

ProgramFolder::Options ReceiverSite::folderOptions()
{
    ProgramFolder::Options options;
    options.imageDatabase = false;
    return options;
}

ReceiverSite::ReceiverSite(std::string aeTitle, int port)
    : program_(folderOptions()),
      scratch_("corva-recvora"),
      configHome_(scratch_.path() / "config"),
      aeTitle_(std::move(aeTitle)),
      port_(port > 0 ? port : freePort())
{
    writeSettings(aeTitle_, std::to_string(port_));
}

void ReceiverSite::writeSettings(const std::string& aeTitle, const std::string& port,
                                 const std::vector<std::string>& moreComLines)
{
    fs::create_directories(configHome_ / "ZKT");
    std::string text = "[Com]\n";
    if (!aeTitle.empty())
        text += "IR_AET=" + aeTitle + "\n";
    if (!port.empty())
        text += "IR_Port=" + port + "\n";
    for (const auto& line : moreComLines)
        text += line + "\n";
    writeFile(configHome_ / "ZKT" / "Lumenpost.conf", text);
}

std::vector<std::string> ReceiverSite::environment() const
{
    // No TCP_NODELAY here: the programs must switch Nagle off themselves.
    return {"XDG_CONFIG_HOME=" + configHome_.string(), "HOME=" + scratch_.path().string()};
}

void ReceiverSite::install(const std::string& program)
{
    program_.copyExecutable(program);
}

std::unique_ptr<ChildProcess> ReceiverSite::start(const std::string& program, const std::vector<std::string>& prefix,
                                                  const std::vector<std::string>& extraEnv)
{
    std::vector<std::string> argv = prefix;
    argv.push_back(program_.executable(program).string());
    std::vector<std::string> env = environment();
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    return std::make_unique<ChildProcess>(argv, env, scratch_.path() / (program + ".out"));
}

std::unique_ptr<ChildProcess> ReceiverSite::startReceiver(const std::vector<std::string>& prefix,
                                                          const std::vector<std::string>& extraEnv)
{
    if (!fs::exists(program_.executable("Recvora")))
        install("Recvora");
    auto receiver = start("Recvora", prefix, extraEnv);
    const bool answering = waitUntil([&] { return !receiver->running() || echo().code == 0; }, 30s, 100ms);
    EXPECT_TRUE(answering && receiver->running()) << "Recvora does not answer; log:\n" << logText();
    return receiver;
}

CommandResult ReceiverSite::echo(const std::string& callingAe, const std::string& host) const
{
    return runCommand({"echoscu", "-to", "5", "-aet", callingAe, "-aec", aeTitle_, host, std::to_string(port_)},
                      30s, {"TCP_NODELAY=1"});
}

std::vector<std::string> ReceiverSite::storescuArgs(const std::vector<fs::path>& files,
                                                    const std::vector<std::string>& options, int port) const
{
    std::vector<std::string> args{"storescu", "-to", "30", "-aet", "TESTSCU", "-aec", aeTitle_};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back("127.0.0.1");
    args.push_back(std::to_string(port > 0 ? port : port_));
    for (const auto& f : files)
        args.push_back(f.string());
    return args;
}

CommandResult ReceiverSite::send(const std::vector<fs::path>& files, const std::vector<std::string>& options) const
{
    return runCommand(storescuArgs(files, options), 300s, {"TCP_NODELAY=1"});
}

std::vector<std::string> ReceiverSite::tempFiles() const
{
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(temp(), ec))
        if (entry.is_regular_file())
            names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string ReceiverSite::logText() const
{
    std::error_code ec;
    return fs::exists(log(), ec) ? readFile(log()) : std::string();
}

}  // namespace corva::test
