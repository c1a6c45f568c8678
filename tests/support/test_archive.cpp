#include "test_archive.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace corva::test {

namespace {

std::string readAll(const fs::path& file) {
    std::ifstream in(file);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

fs::path testArchiveProgram() {
    std::error_code ec;
    return fs::read_symlink("/proc/self/exe", ec).parent_path() / "corva_test_archive";
}

TestArchive::TestArchive(std::vector<std::string> options, std::string aet)
    : folder_("archive"), aet_(std::move(aet)), port_(freePort()) {
    std::vector<std::string> argv{testArchiveProgram().string(), "--port", std::to_string(port_), "--aet", aet_,
                                  "--out", (folder_.path() / "held").string(), "--log",
                                  (folder_.path() / "answers.log").string()};
    argv.insert(argv.end(), options.begin(), options.end());
    const fs::path output = folder_.path() / "output.txt";
    process_ = std::make_unique<ChildProcess>(argv, std::vector<std::string>{}, output);
    const bool ready = waitUntil(
        [&] { return readAll(output).find("ready " + std::to_string(port_)) != std::string::npos || !process_->running(); },
        20s);
    if (!ready || !process_->running())
        throw std::runtime_error("corva_test_archive did not start: " + readAll(output));
}

TestArchive::~TestArchive() = default;

void TestArchive::stop() { process_.reset(); }

std::string TestArchive::destination() const { return aet_ + "@127.0.0.1:" + std::to_string(port_); }

std::set<std::string> TestArchive::held() const {
    std::set<std::string> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder_.path() / "held", ec))
        if (e.path().extension() == ".dcm") out.insert(e.path().stem().string());
    return out;
}

fs::path TestArchive::fileOf(const std::string& sopInstanceUid) const {
    return folder_.path() / "held" / (sopInstanceUid + ".dcm");
}

std::vector<std::pair<std::string, std::string>> TestArchive::answers() const {
    std::vector<std::pair<std::string, std::string>> out;
    std::istringstream in(readAll(folder_.path() / "answers.log"));
    for (std::string line; std::getline(in, line);) {
        const auto tab = line.find('\t');
        if (tab != std::string::npos) out.emplace_back(line.substr(0, tab), line.substr(tab + 1));
    }
    return out;
}

std::vector<TestArchive::CommitReport> TestArchive::commitReports() const {
    std::vector<CommitReport> out;
    std::istringstream in(readAll(folder_.path() / "answers.log.commit"));
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        CommitReport r;
        if (std::getline(fields, r.transactionUid, '\t') && fields >> r.committed >> r.failed) out.push_back(r);
    }
    return out;
}

}  // namespace corva::test
