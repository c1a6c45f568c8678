#pragma once
// corva_test_archive (tests/support/archive_peer) on a free port of 127.0.0.1: an archive
// that answers C-STOREs with the statuses and interruptions it is told. What it holds
// and what it answered are read back from its folder and its log. Test binaries using
// it depend on the target corva_test_archive, built beside them in testbin.
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "child_process.h"
#include "temp_dir.h"

namespace corva::test {

class TestArchive {
public:
    // `options`: the peer's own, e.g. {"--refuse-every", "2"} or {"--stall-after", "1"}.
    explicit TestArchive(std::vector<std::string> options = {}, std::string aet = "ARCHIVE");
    ~TestArchive();
    TestArchive(const TestArchive&) = delete;
    TestArchive& operator=(const TestArchive&) = delete;

    int port() const { return port_; }
    const std::string& aet() const { return aet_; }
    // "<AET>@127.0.0.1:<port>"
    std::string destination() const;
    // SOP instance UIDs of the objects it stored.
    std::set<std::string> held() const;
    std::filesystem::path fileOf(const std::string& sopInstanceUid) const;
    // Each object received, in order: SOP instance UID and answer ("0000", "A700", "abort"...).
    std::vector<std::pair<std::string, std::string>> answers() const;
    // Each commitment report the requester took: transaction UID, committed, failed.
    struct CommitReport {
        std::string transactionUid;
        int committed = 0;
        int failed = 0;
    };
    std::vector<CommitReport> commitReports() const;
    void stop();

private:
    TempDir folder_;
    std::string aet_;
    int port_;
    std::unique_ptr<ChildProcess> process_;
};

// The peer's executable beside the running test binary.
std::filesystem::path testArchiveProgram();

}  // namespace corva::test
