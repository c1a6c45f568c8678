// Jobs on a program folder whose disk runs full half-way (a tmpfs of a few megabytes
// under the whole program folder, filled up to a little room): the edit of a study, an
// import of several files, a delete all. Whatever each manages, once the disk has room
// again every image is filed (row and file) or waits to be, rows and files match, and
// nothing is set aside. Needs the right to mount; skipped without it.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>

#include "ctl_site.h"
#include "dicom_fixture.h"
#include "small_disk.h"

namespace corva::station::ctl::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string Root = "1.2.826.0.1.3680043.9.7731.84";
const std::string Study = Root + ".1";

struct FullCase {
    const char* name;
    std::vector<std::string> args;  // "{in}" stands for the files to import
    std::uintmax_t room;            // bytes left free before the job
    std::int64_t filedAfter;  // an import names the files it could not take: they stay where they were
};

class FullDiskJob : public ::testing::TestWithParam<FullCase> {
protected:
    CtlSite site_;
};

TEST_P(FullDiskJob, LosesNothingAndSettlesOnceThereIsRoom) {
    const FullCase c = GetParam();
    auto recipe = [&](const std::string& study, int i) {
        corva::test::DicomRecipe r;
        r.patientId = "FD1";
        r.studyUid = study;
        r.seriesUid = study + ".1";
        r.sopInstanceUid = r.seriesUid + "." + std::to_string(i);
        r.instanceNumber = i;
        r.rows = 256;
        r.columns = 256;
        return r;
    };
    std::vector<std::string> import{"import"};
    for (int i = 1; i <= 4; ++i)
        import.push_back(corva::test::writeDicom(site_.scratch() / "in" / (std::to_string(i) + ".dcm"), recipe(Study, i)).string());
    ASSERT_EQ(site_.run(import).code, 0);
    ASSERT_TRUE(site_.waitForImages(4));
    std::vector<std::string> more;
    for (int i = 1; i <= 4; ++i)
        more.push_back(corva::test::writeDicom(site_.scratch() / "more" / (std::to_string(i) + ".dcm"),
                                               recipe(Root + ".2", i))
                           .string());

    // The whole program folder on a small disk, Ingrado started again on it.
    site_.ingest().signal(SIGKILL);
    site_.ingest().wait(5s);
    // Room for what the folder holds (the programs too) and a few megabytes more.
    std::uintmax_t used = 0;
    for (const auto& e : fs::recursive_directory_iterator(site_.folder()))
        if (e.is_regular_file()) used += e.file_size();
    corva::ingest::test::SmallDisk disk(site_.folder(), static_cast<std::size_t>(used + (8u << 20)));
    if (!disk.mounted()) GTEST_SKIP() << "no right to mount a tmpfs here";
    auto ingrado = site_.site().start("Ingrado");
    ASSERT_TRUE(site_.waitForImages(4));
    disk.fill();
    const fs::path filler = site_.folder() / "filler";
    // CORVA_FULL_ROOM: another room in bytes, to try more fill levels by hand.
    const std::uintmax_t room = std::getenv("CORVA_FULL_ROOM") ? std::stoull(std::getenv("CORVA_FULL_ROOM")) : c.room;
    fs::resize_file(filler, fs::file_size(filler) - std::min<std::uintmax_t>(room, fs::file_size(filler)));

    std::vector<std::string> args;
    for (const auto& a : c.args) {
        if (a == "{in}") args.insert(args.end(), more.begin(), more.end());
        else args.push_back(a);
    }
    const CtlResult r = site_.run(args);
    std::cout << c.name << ": exit " << r.code << "\n" << r.out << r.err;
    disk.free();
    // A delete all finishes or is undone: all or nothing (filedAfter < 0).
    ASSERT_TRUE(corva::test::pollUntil(
        [&] {
            site_.run({"check", "--repair"});
            if (c.filedAfter >= 0) return site_.waitForImages(c.filedAfter);
            const std::int64_t n = site_.count("SELECT COUNT(*) FROM tblImages");
            return (n == 0 || n == 4) && site_.waitForImages(n);
        },
        60000))
        << site_.count("SELECT COUNT(*) FROM tblImages") << " filed";
    const CtlResult check = site_.run({"check"});
    EXPECT_EQ(check.code, 0) << check.out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(site_.folder() / "Temp" / "BadObjects", ec))
        ADD_FAILURE() << "set aside: " << e.path();
    ingrado.reset();
}

INSTANTIATE_TEST_SUITE_P(
    Jobs, FullDiskJob,
    ::testing::Values(FullCase{"EditWithRoomForOneCopy", {"edit", "--study", Study, "--set", "0008,1030=Full"}, 200u << 10, 4},
                      FullCase{"EditWithNoRoom", {"edit", "--study", Study, "--set", "0008,1030=Full"}, 0, 4},
                      FullCase{"ImportWithRoomForTwo", {"import", "{in}"}, 300u << 10, 6},
                      FullCase{"DeleteAllWithNoRoom", {"delete", "--all", "--yes"}, 0, -1}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace corva::station::ctl::test
