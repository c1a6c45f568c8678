#pragma once
// A program folder with copies of corvactl and Ingrado, Ingrado running, and corvactl
// run as a real process: exit status, standard output and standard error apart.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "db/database.h"
#include "poll_until.h"
#include "query.h"
#include "recvora_harness.h"

namespace corva::station::ctl::test {

struct CtlResult {
    int code = -1;
    std::string out;
    std::string err;
};

class CtlSite {
public:
    CtlSite() {
        site_.install("Ingrado");
        site_.install("corvactl");
        ingest_ = site_.start("Ingrado");
        EXPECT_TRUE(corva::test::pollUntil([&] { return std::filesystem::exists(imageDb()); }, 20000));
    }

    const std::filesystem::path& folder() const { return site_.folder(); }
    std::filesystem::path imageDb() const { return folder() / "Data" / "QAData.dat"; }
    std::filesystem::path userDb() const { return folder() / "Data" / "QAUser.dat"; }
    const std::filesystem::path& scratch() const { return site_.scratch(); }
    corva::test::ReceiverSite& site() { return site_; }
    corva::test::ChildProcess& ingest() { return *ingest_; }

    // Runs this folder's corvactl with the site's settings.
    CtlResult run(const std::vector<std::string>& args) const {
        return runIn(site_.folder() / "corvactl", args);
    }
    CtlResult runIn(const std::filesystem::path& program, const std::vector<std::string>& args) const {
        const auto err = scratch() / ("ctl-" + std::to_string(++runs_) + ".err");
        std::vector<std::string> argv{"sh", "-c", "exec \"$0\" \"$@\" 2>\"$CTL_ERR\"", program.string()};
        argv.insert(argv.end(), args.begin(), args.end());
        auto env = site_.environment();
        env.push_back("CTL_ERR=" + err.string());
        const auto r = corva::test::runCommand(argv, std::chrono::seconds(120), env);
        CtlResult out{r.code, r.output, {}};
        std::error_code ec;
        if (std::filesystem::exists(err, ec)) out.err = corva::test::readFile(err);
        return out;
    }

    std::int64_t count(const std::string& sql) const { return corva::test::queryNumber(imageDb(), sql); }
    // Waits until Ingrado has filed `images` images and the input folder is empty.
    bool waitForImages(std::int64_t images) const {
        return corva::test::pollUntil(
            [&] {
                if (count("SELECT COUNT(*) FROM tblImages") != images) return false;
                std::error_code ec;
                for (const auto& e : std::filesystem::directory_iterator(folder() / "Temp", ec))
                    if (e.is_regular_file()) return false;
                return true;
            },
            30000);
    }

private:
    corva::test::ReceiverSite site_;
    std::unique_ptr<corva::test::ChildProcess> ingest_;
    mutable int runs_ = 0;
};

}  // namespace corva::station::ctl::test
