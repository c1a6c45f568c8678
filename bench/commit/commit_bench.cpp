// commit_bench: how long a storage commitment takes from the request until its answer is
// kept, for 4 and 100 instances the archive holds. The answer that comes on a new
// association is taken by a receiver in this process, as Recvora takes it.
//
//   build/testbin/commit_bench [runs]      (default 5 runs per case; prints the median)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dicom/dicom.h"
#include "dicom/storage_server.h"
#include "dicom_fixture.h"
#include "orthanc_peer.h"
#include "temp_dir.h"
#include "test_archive.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace corva;

namespace {

const std::string OurAe = "BENCHSTATION";

// A receiver for reports that come on a new association.
class ReportReceiver {
public:
    ReportReceiver() : folder_("commit-bench-in"), port_(test::freePort()) {
        dicom::StorageServerConfig config;
        config.aeTitle = OurAe;
        config.port = port_;
        config.listenAddress = "127.0.0.1";
        config.outputFolder = folder_.path();
        dicom::StorageEvents events;
        events.commitmentReported = [this](const dicom::CommitmentReport& report, const std::string&,
                                           const std::string&) {
            const std::lock_guard lock(mutex_);
            answered_.push_back(report.transactionUid);
            arrived_.push_back(Clock::now());
            changed_.notify_all();
            return true;
        };
        server_ = std::make_unique<dicom::StorageServer>(config, std::move(events));
        thread_ = std::thread([this] { server_->run(); });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    ~ReportReceiver() {
        server_->stop();
        thread_.join();
    }
    int port() const { return port_; }
    bool has(const std::string& transaction) {
        const std::lock_guard lock(mutex_);
        return std::find(answered_.begin(), answered_.end(), transaction) != answered_.end();
    }
    bool wait(const std::string& transaction, std::chrono::seconds limit) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] {
            return std::find(answered_.begin(), answered_.end(), transaction) != answered_.end();
        });
    }

private:
    test::TempDir folder_;
    int port_;
    std::unique_ptr<dicom::StorageServer> server_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> answered_;
    std::vector<Clock::time_point> arrived_;

public:
    // When the report of the transaction was kept.
    Clock::time_point arrival(const std::string& transaction) {
        const std::lock_guard lock(mutex_);
        const auto it = std::find(answered_.begin(), answered_.end(), transaction);
        return arrived_.at(static_cast<std::size_t>(it - answered_.begin()));
    }
};

struct Archive {
    std::string name;
    std::string aet;
    int port;
};

std::vector<dicom::CommitmentReference> storeImages(const Archive& a, int count, const fs::path& folder, int set) {
    std::vector<dicom::CommitmentReference> refs;
    dicom::Association assoc;
    std::vector<fs::path> files;
    for (int i = 1; i <= count; ++i) {
        test::DicomRecipe r;
        r.patientId = "B" + std::to_string(set);
        r.studyUid = "1.2.826.0.1.3680043.9.7731.30." + std::to_string(set);
        r.seriesUid = r.studyUid + ".1";
        r.sopInstanceUid = r.seriesUid + "." + std::to_string(i);
        r.rows = r.columns = 16;
        files.push_back(test::writeDicom(folder / (r.sopInstanceUid + ".dcm"), r));
    }
    std::vector<dicom::OutgoingFile> outgoing;
    for (const auto& f : files) outgoing.push_back(dicom::OutgoingFile::read(f));
    std::vector<const dicom::OutgoingFile*> ptrs;
    for (const auto& f : outgoing) ptrs.push_back(&f);
    assoc.open("127.0.0.1", a.port, OurAe, a.aet, dicom::Association::contextsFor(ptrs));
    for (auto& f : outgoing) {
        refs.push_back({f.sopClassUid(), f.sopInstanceUid(), 0});
        assoc.send(std::move(f));
    }
    assoc.close();
    return refs;
}

// One commitment round trip, in milliseconds; negative when no answer came.
double roundTrip(const Archive& a, const std::vector<dicom::CommitmentReference>& items, ReportReceiver& receiver) {
    dicom::CommitmentRequest rq;
    rq.host = "127.0.0.1";
    rq.port = a.port;
    rq.callingAe = OurAe;
    rq.calledAe = a.aet;
    rq.transactionUid = dicom::newUid();
    rq.items = items;
    rq.waitSeconds = 30;
    rq.answeredElsewhere = [&] { return receiver.has(rq.transactionUid); };
    const auto start = Clock::now();
    const bool here = dicom::requestCommitment(rq, [](const dicom::CommitmentReport&) { return true; });
    if (here) return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (!receiver.wait(rq.transactionUid, std::chrono::seconds(30))) return -1;
    // Until the receiver kept it; the requester's own wait ends at its next look (once a second).
    return std::chrono::duration<double, std::milli>(receiver.arrival(rq.transactionUid) - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? -1 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    dicom::initNetwork();
    ReportReceiver receiver;
    const std::string to = OurAe + "@127.0.0.1:" + std::to_string(receiver.port());
    test::TestArchive same({"--commit", "same"});
    test::TestArchive later({"--commit", "later", "--commit-to", to});
    std::unique_ptr<test::OrthancPeer> orthanc;
    if (test::OrthancPeer::installed()) orthanc = std::make_unique<test::OrthancPeer>(OurAe, receiver.port());
    std::vector<Archive> archives{{"corva_test_archive, same association", same.aet(), same.port()},
                                  {"corva_test_archive, new association", later.aet(), later.port()}};
    if (orthanc) archives.push_back({"Orthanc 1.10, new association", orthanc->aet(), orthanc->port()});
    test::TempDir files("commit-bench");
    int set = 0;
    std::printf("%-40s %10s %14s %14s\n", "archive", "instances", "median ms", "min..max ms");
    for (const Archive& a : archives)
        for (int count : {4, 100}) {
            const auto items = storeImages(a, count, files.path(), ++set);
            std::vector<double> times;
            for (int r = 0; r < runs; ++r) times.push_back(roundTrip(a, items, receiver));
            const auto [lo, hi] = std::minmax_element(times.begin(), times.end());
            std::printf("%-40s %10d %14.1f %6.1f..%.1f\n", a.name.c_str(), count, median(times), *lo, *hi);
        }
    return 0;
}
