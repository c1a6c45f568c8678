// Faults that are not an image's own, on the real Recvora and Ingrado: an image a sender
// was answered "Success" for is filed or kept, never lost, whatever else lies in Temp.
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>

#include "db/database.h"
#include "dicom/dicom.h"
#include "dicom_fixture.h"
#include "recvora_harness.h"

namespace corva::test {
namespace {

namespace fs = std::filesystem;

std::string patientOf(const fs::path& file)
{
    return corva::dicom::Image::read(file, corva::dicom::ReadMode::HeaderOnly).patientId();
}

bool noInputLeft(const ReceiverSite& site)
{
    const auto names = site.tempFiles();
    return std::none_of(names.begin(), names.end(), [](const std::string& n) {
        return n.size() > 4 && n.compare(n.size() - 4, 4, ".dcm") == 0;
    });
}

// The patient IDs of the image files below a folder (set-aside reasons aside).
std::multiset<std::string> patientsBelow(const fs::path& folder)
{
    std::multiset<std::string> ids;
    std::error_code ec;
    for (const auto& e : fs::recursive_directory_iterator(folder, ec))
        if (e.is_regular_file() && e.path().extension() == ".dcm")
            ids.insert(patientOf(e.path()));
    return ids;
}

// Ingrado's calls that write to disk or change names, traced until `done` holds and
// Ingrado has ended; empty (and the test failed) when it cannot be traced to the end.
std::vector<std::string> traceIngrado(ReceiverSite& site, const std::function<bool()>& done)
{
    const fs::path trace = site.scratch() / "ingrado.trace";
    auto ingest = site.start("Ingrado", {"strace", "-f", "-qq", "-yy", "-o", trace.string(), "-e",
                                         "trace=fsync,fdatasync,rename,renameat,renameat2,link,linkat,unlink,unlinkat"});
    // strace's own child is Ingrado: a signal to strace would leave it running.
    struct Traced {
        int pid = 0;
        ~Traced()
        {
            if (pid > 0)
                ::kill(pid, SIGKILL);
        }
    } traced;
    // strace may have a short-lived child of its own first: Ingrado is the one running it.
    const fs::path program = fs::canonical(site.folder() / "Ingrado");
    const bool found = waitUntil(
        [&] {
            const std::string tracer = std::to_string(ingest->pid());
            std::ifstream children("/proc/" + tracer + "/task/" + tracer + "/children");
            for (int pid = 0; children >> pid;) {
                std::error_code ec;
                if (fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec) == program) {
                    traced.pid = pid;
                    return true;
                }
            }
            return false;
        },
        30s, 10ms);
    EXPECT_TRUE(found);
    if (!found)
        return {};
    const bool finished = waitUntil(done, 60s, 100ms);
    EXPECT_TRUE(finished) << readFile(trace);
    ::kill(traced.pid, SIGTERM);
    EXPECT_TRUE(ingest->wait(30s).has_value());
    traced.pid = 0;
    std::vector<std::string> lines;
    std::istringstream in(readFile(trace));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return finished ? lines : std::vector<std::string>{};
}

bool has(const std::string& line, const std::string& part)
{
    return line.find(part) != std::string::npos;
}

// The index of the first line that matches; lines.size() when none does.
std::size_t firstLine(const std::vector<std::string>& lines, const std::function<bool(const std::string&)>& match)
{
    return static_cast<std::size_t>(std::find_if(lines.begin(), lines.end(), match) - lines.begin());
}

std::string joined(const std::vector<std::string>& lines)
{
    std::string text;
    for (const auto& l : lines)
        text += l + "\n";
    return text;
}

// Three senders' images under one SOP instance UID, for three patients, arrive at once:
// one is filed, and the two others are kept aside with their reason, none deleted.
TEST(ReceiveFaults, EveryCopyOfAUidSentForAnotherPatientIsKept)
{
    ReceiverSite site;
    site.install("Recvora");
    site.install("Ingrado");
    auto receiver = site.startReceiver();

    TempDir source("corva-e2e-src");
    const std::string uid = uniqueUid();
    std::vector<fs::path> files;
    for (const char* patient : {"PAT-A", "PAT-B", "PAT-C"}) {
        DicomRecipe recipe;
        recipe.sopInstanceUid = uid;
        recipe.studyUid = uniqueUid();
        recipe.patientId = patient;
        files.push_back(writeDicom(source.path() / (std::string(patient) + ".dcm"), recipe));
    }
    const auto sent = site.send(files);
    ASSERT_EQ(sent.code, 0) << sent.output;
    ASSERT_EQ(site.tempFiles().size(), 3u);

    auto ingest = site.start("Ingrado");
    ASSERT_TRUE(waitUntil([&] { return noInputLeft(site); }, 60s, 100ms));
    const auto filed = patientsBelow(site.folder() / "Images");
    const auto aside = patientsBelow(site.temp() / "BadObjects");
    EXPECT_EQ(filed.size(), 1u);
    std::multiset<std::string> all = filed;
    all.insert(aside.begin(), aside.end());
    EXPECT_EQ(all, (std::multiset<std::string>{"PAT-A", "PAT-B", "PAT-C"}));
    for (const auto& e : fs::directory_iterator(site.temp() / "BadObjects")) {
        if (e.path().extension() == ".dcm") {
            EXPECT_TRUE(fs::exists(e.path().string() + ".reason")) << e.path();
        }
    }

    // The same three sent again: repeats of what is kept add nothing.
    const auto again = site.send(files);
    ASSERT_EQ(again.code, 0) << again.output;
    ASSERT_TRUE(waitUntil([&] { return noInputLeft(site); }, 60s, 100ms));
    EXPECT_EQ(patientsBelow(site.folder() / "Images"), filed);
    EXPECT_EQ(patientsBelow(site.temp() / "BadObjects"), aside);
    ingest->signal(SIGTERM);
    EXPECT_TRUE(ingest->wait(30s).has_value());
}

// Names the service keeps for itself (<name>.try, <name>.held) taken by a pipe or a link
// to a file elsewhere: the service neither waits on the pipe for ever nor writes through
// the link, and every image is filed.
TEST(ReceiveFaults, PipesAndLinksUnderTheServicesOwnNamesStopNothing)
{
    ReceiverSite site;
    site.install("Recvora");
    site.install("Ingrado");
    const fs::path victim = site.scratch() / "victim.txt";
    writeFile(victim, "precious");

    TempDir source("corva-e2e-src");
    std::vector<DicomRecipe> recipes(4);
    for (auto& r : recipes) {
        r.sopInstanceUid = uniqueUid();
        r.studyUid = uniqueUid();
    }
    // Waiting files whose attempt count and hold names are taken.
    writeDicom(site.temp() / (recipes[0].sopInstanceUid + ".dcm"), recipes[0]);
    ASSERT_EQ(::mkfifo((site.temp() / (recipes[0].sopInstanceUid + ".dcm.try")).c_str(), 0660), 0);
    writeDicom(site.temp() / (recipes[1].sopInstanceUid + ".dcm"), recipes[1]);
    fs::create_symlink(victim, site.temp() / (recipes[1].sopInstanceUid + ".dcm.try"));
    writeDicom(site.temp() / (recipes[2].sopInstanceUid + ".dcm"), recipes[2]);
    fs::create_symlink(victim, site.temp() / (recipes[2].sopInstanceUid + ".dcm.held"));
    const fs::path sentFile = writeDicom(source.path() / "sent.dcm", recipes[3]);
    // Files set aside at once (a UID that cannot be a file name) whose reason names are taken.
    fs::create_directories(site.temp() / "BadObjects");
    for (const char* name : {"odd1.dcm", "odd2.dcm"}) {
        DicomRecipe odd;
        odd.sopInstanceUid = "1.2.3.odd";
        writeDicom(site.temp() / name, odd);
    }
    ASSERT_EQ(::mkfifo((site.temp() / "BadObjects" / "odd1.dcm.reason").c_str(), 0660), 0);
    fs::create_symlink(victim, site.temp() / "BadObjects" / "odd2.dcm.reason");

    auto ingest = site.start("Ingrado");
    auto receiver = site.startReceiver();
    const auto sent = site.send({sentFile});
    ASSERT_EQ(sent.code, 0) << sent.output;

    const auto filed = [&](const DicomRecipe& r) {
        return fs::exists(site.folder() / "Images" / r.studyUid / (r.sopInstanceUid + ".dcm"));
    };
    EXPECT_TRUE(waitUntil([&] { return std::all_of(recipes.begin(), recipes.end(), filed); }, 60s, 100ms))
        << [&] {
               std::string names;
               for (const auto& n : site.tempFiles())
                   names += " " + n;
               return names;
           }();
    EXPECT_EQ(readFile(victim), "precious");
    for (const char* name : {"odd1.dcm", "odd2.dcm"}) {
        EXPECT_TRUE(waitUntil([&] { return fs::exists(site.temp() / "BadObjects" / name); }, 30s, 100ms)) << name;
        const fs::path reason = site.temp() / "BadObjects" / (std::string(name) + ".reason");
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(reason))) << name;
        EXPECT_NE(readFile(reason).find("Invalid UID"), std::string::npos) << name;
    }
    ingest->signal(SIGTERM);
    EXPECT_TRUE(ingest->wait(30s).has_value()) << "Ingrado does not end";
}

// An image store on another disk than Temp: the image is copied there, and its last name
// in Temp goes only once the copy and its folder entry are on disk, so that a power
// failure right after cannot take both.
TEST(ReceiveFaults, ImageCopiedToAnotherDiskIsOnDiskBeforeItsInputGoes)
{
    if (runCommand({"strace", "-o", "/dev/null", "true"}, 30s).code != 0)
        GTEST_SKIP() << "strace cannot trace processes here";
    ReceiverSite site;
    site.install("Ingrado");
    const fs::path images = site.folder() / "Images";
    fs::create_directories(images);
    if (::mount("tmpfs", images.c_str(), "tmpfs", 0, "size=4m") != 0)
        GTEST_SKIP() << "no right to mount a tmpfs here";
    struct Unmount {
        fs::path at;
        ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
    } unmount{images};
    DicomRecipe recipe;
    recipe.sopInstanceUid = uniqueUid();
    recipe.studyUid = uniqueUid();
    const fs::path staged = writeDicom(site.scratch() / "staged.dcm", recipe);
    fs::copy_file(staged, site.temp() / (recipe.sopInstanceUid + ".dcm"));

    const fs::path stored = images / recipe.studyUid / (recipe.sopInstanceUid + ".dcm");
    const auto lines = traceIngrado(site, [&] { return fs::exists(stored) && noInputLeft(site); });
    ASSERT_FALSE(lines.empty());
    const auto first = [&](const std::function<bool(const std::string&)>& match) { return firstLine(lines, match); };
    const std::string input = (site.temp() / recipe.sopInstanceUid).string() + ".dcm";
    const std::size_t inputGoes = first([&](const std::string& l) {
        return has(l, "unlink") && has(l, "\"" + input) && !has(l, ".try\"");
    });
    const std::size_t copySynced = first([&](const std::string& l) {
        return has(l, "sync(") && has(l, stored.string() + ".moving>");
    });
    const std::size_t folderSynced = first([&](const std::string& l) {
        return has(l, "sync(") && has(l, (images / recipe.studyUid).string() + ">");
    });
    ASSERT_LT(inputGoes, lines.size()) << joined(lines);
    EXPECT_LT(copySynced, inputGoes) << joined(lines);
    EXPECT_LT(folderSynced, inputGoes) << joined(lines);
}

// A resend that the receiver wrote as "<uid>-2.dcm" (and any file named otherwise than its
// UID) is copied under its UID before the received file goes: the copy and its name are
// on disk first, so that a power failure in between cannot take the image.
TEST(ReceiveFaults, CopyUnderTheUidIsOnDiskBeforeTheReceivedFileGoes)
{
    if (runCommand({"strace", "-o", "/dev/null", "true"}, 30s).code != 0)
        GTEST_SKIP() << "strace cannot trace processes here";
    ReceiverSite site;
    site.install("Ingrado");
    DicomRecipe recipe;
    recipe.sopInstanceUid = uniqueUid();
    recipe.studyUid = uniqueUid();
    const fs::path staged = writeDicom(site.scratch() / "staged.dcm", recipe);
    const std::string received = recipe.sopInstanceUid + "-2.dcm";
    fs::copy_file(staged, site.temp() / received);

    const fs::path stored = site.folder() / "Images" / recipe.studyUid / (recipe.sopInstanceUid + ".dcm");
    const auto lines = traceIngrado(site, [&] { return fs::exists(stored) && noInputLeft(site); });
    ASSERT_FALSE(lines.empty());
    const std::string receivedPath = (site.temp() / received).string();
    const std::string copyPath = (site.temp() / recipe.sopInstanceUid).string() + ".dcm";
    // The received file's name goes: removed, or moved out of the way to be removed.
    const std::size_t receivedGoes = firstLine(lines, [&](const std::string& l) {
        return (has(l, "unlink") || has(l, "rename")) && has(l, "\"" + receivedPath + "\"");
    });
    const std::size_t copyNamed = firstLine(lines, [&](const std::string& l) {
        return (has(l, "link") || has(l, "rename")) && has(l, "\"" + copyPath + "\"") && !has(l, "unlink");
    });
    std::size_t copySynced = lines.size();
    for (std::size_t i = 0; i < copyNamed && i < lines.size(); ++i)
        if (has(lines[i], "sync(") && has(lines[i], copyPath))
            copySynced = i;
    const std::size_t folderSynced = firstLine(lines, [&](const std::string& l) {
        return has(l, "sync(") && has(l, site.temp().string() + ">");
    });
    ASSERT_LT(receivedGoes, lines.size()) << joined(lines);
    ASSERT_LT(copyNamed, receivedGoes) << joined(lines);
    EXPECT_LT(copySynced, copyNamed) << "the copy's bytes are on disk before it takes the UID's name\n" << joined(lines);
    EXPECT_GT(folderSynced, copyNamed) << joined(lines);
    EXPECT_LT(folderSynced, receivedGoes) << "the copy's name is on disk before the received file goes\n"
                                          << joined(lines);
}

}  // namespace
}  // namespace corva::test
