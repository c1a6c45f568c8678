// The real Ingrado started from a copied program folder: one instance per folder,
// SIGTERM, and kill -9 in the middle of a batch followed by a restart.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <sstream>
#include <optional>
#include <set>
#include <thread>

#include "core/paths.h"
#include "ingest_test_util.h"
#include "process/process.h"

extern char** environ;

namespace corva::ingest {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using corva::test::DicomRecipe;
using corva::test::ProgramFolder;
using corva::test::uniqueUid;

// A started Ingrado, killed at the end of the test if still running.
class Running {
public:
    explicit Running(const fs::path& exe)
    {
        char* argv[] = {const_cast<char*>(exe.c_str()), nullptr};
        if (::posix_spawn(&pid_, exe.c_str(), nullptr, nullptr, argv, environ) != 0)
            pid_ = -1;
    }
    ~Running() { kill(SIGKILL); }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;
    pid_t pid() const { return pid_; }

    void kill(int signal)
    {
        if (pid_ > 0) {
            ::kill(pid_, signal);
            if (signal == SIGKILL)
                waitExit(30s);
        }
    }
    // True when the process ended within `timeout`; its exit status in `status`.
    bool waitExit(std::chrono::milliseconds timeout, int* status = nullptr)
    {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (pid_ > 0) {
            int st = 0;
            const pid_t r = ::waitpid(pid_, &st, WNOHANG);
            if (r == pid_) {
                if (status)
                    *status = st;
                pid_ = -1;
                return true;
            }
            if (std::chrono::steady_clock::now() > end)
                return false;
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }

private:
    pid_t pid_ = -1;
};

template <typename Pred>
bool waitFor(Pred pred, std::chrono::milliseconds timeout = 60s)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        if (pred())
            return true;
        std::this_thread::sleep_for(2ms);
    }
    return pred();
}

int inputFiles(const fs::path& temp)
{
    int n = 0;
    for (const auto& e : fs::directory_iterator(temp))
        n += InputScanner::isInputName(e.path().filename().string()) ? 1 : 0;
    return n;
}

// What a folder holds when a wait fails: the input folder's entries and the logs.
std::string describeFolder(const ProgramFolder& folder)
{
    std::ostringstream out;
    std::error_code ec;
    out << "\ninput folder:";
    for (const auto& e : fs::recursive_directory_iterator(folder.temp(), ec))
        out << "\n  " << fs::relative(e.path(), folder.temp()).string();
    for (const auto& e : fs::directory_iterator(folder.logs(), ec)) {
        std::ifstream in(e.path());
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (text.size() > 3000)
            text = text.substr(text.size() - 3000);
        out << "\n" << e.path().filename().string() << ":\n" << text;
    }
    return out.str();
}

TEST(IngradoProcess, SecondInstanceEndsAtOnceWithoutTouchingFiles)
{
    ProgramFolder::Options options;
    options.imageDatabase = false;
    ProgramFolder folder(options);
    const fs::path exe = folder.copyExecutable("Ingrado");
    fs::remove_all(folder.temp());
    fs::remove_all(folder.logs());
    {
        // This process holds the instance lock of the folder, as a running service would.
        process::SingleInstanceLock lock("Ingrado " + fs::canonical(folder.path()).string(),
                                         fs::canonical(folder.path()), process::LockScope::Folder);
        ASSERT_TRUE(lock.acquired());
        Running second(exe);
        int status = -1;
        ASSERT_TRUE(second.waitExit(20s, &status));
        EXPECT_TRUE(WIFEXITED(status));
        EXPECT_FALSE(fs::exists(folder.temp()));
        EXPECT_FALSE(fs::exists(folder.logs()));
        EXPECT_FALSE(fs::exists(folder.imageDatabase()));
    }

    // A real first instance: it starts up, and a second start ends at once.
    Running first(exe);
    ASSERT_TRUE(waitFor([&] { return fs::exists(folder.imageDatabase()) && fs::exists(folder.temp()); }));
    DicomRecipe recipe;
    recipe.sopInstanceUid = uniqueUid();
    corva::test::writeDicom(folder.temp() / (recipe.sopInstanceUid + ".dcm"), recipe);
    ASSERT_TRUE(waitFor([&] { return inputFiles(folder.temp()) == 0; }));
    Running second(exe);
    ASSERT_TRUE(second.waitExit(20s));

    // SIGTERM ends the service.
    first.kill(SIGTERM);
    int status = -1;
    ASSERT_TRUE(first.waitExit(20s, &status));
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(test::queryInt(folder.imageDatabase(), "SELECT COUNT(*) FROM tblImages"), 1);
}

// A file renamed in is taken as it arrives, a file written in place after the
// stability wait; the debug log tells which way each went.
TEST(IngradoProcess, RenamedInFileIsTakenAsItArrives)
{
    ProgramFolder folder;
    const fs::path exe = folder.copyExecutable("Ingrado");
    corva::test::writeFile(folder.path() / "debug.on", "");
    Running service(exe);
    DicomRecipe inPlace;
    inPlace.sopInstanceUid = uniqueUid();
    const std::string inPlaceName = inPlace.sopInstanceUid + ".dcm";
    ASSERT_TRUE(waitFor([&] { return fs::exists(folder.temp()); }));
    // Written in place, not renamed in (the DICOM writer renames its files into place).
    const fs::path whole = corva::test::writeDicom(folder.path() / "staging" / "in-place.dcm", inPlace);
    corva::test::writeFile(folder.temp() / inPlaceName, corva::test::readFile(whole));
    // Filed by a tick: the service watches its input folder by now.
    ASSERT_TRUE(waitFor([&] { return inputFiles(folder.temp()) == 0; })) << describeFolder(folder);

    DicomRecipe renamed;
    renamed.sopInstanceUid = uniqueUid();
    const std::string renamedName = renamed.sopInstanceUid + ".dcm";
    const fs::path staged = corva::test::writeDicom(folder.path() / "staging" / renamedName, renamed);
    fs::rename(staged, folder.temp() / renamedName);
    ASSERT_TRUE(waitFor([&] { return inputFiles(folder.temp()) == 0; })) << describeFolder(folder);
    EXPECT_EQ(test::queryInt(folder.imageDatabase(), "SELECT COUNT(*) FROM tblImages"), 2);

    const std::string debugLog = corva::test::readFile(folder.logs() / "IngradoDebug.log");
    EXPECT_NE(debugLog.find("taken as it arrived: " + renamedName + "\n"), std::string::npos) << debugLog;
    EXPECT_EQ(debugLog.find("taken as it arrived: " + inPlaceName), std::string::npos) << debugLog;
    EXPECT_NE(debugLog.find("trying to read file: " + inPlaceName), std::string::npos);
}

TEST(IngradoProcess, KilledMidBatchThenRestartedRegistersEveryFileOnce)
{
    ProgramFolder folder;
    const fs::path exe = folder.copyExecutable("Ingrado");
    const fs::path staging = folder.path() / "staging";
    constexpr int Files = 200;
    std::set<std::string> uids;
    const std::string studyA = uniqueUid();
    const std::string studyB = uniqueUid();
    for (int i = 0; i < Files; ++i) {
        DicomRecipe recipe;
        recipe.studyUid = i % 2 ? studyA : studyB;
        recipe.seriesUid = i % 2 ? studyA + ".1" : studyB + ".1";
        recipe.patientId = "P" + std::to_string(i % 7);
        recipe.sopInstanceUid = uniqueUid();
        recipe.instanceNumber = i;
        uids.insert(recipe.sopInstanceUid);
        corva::test::writeDicom(staging / (recipe.sopInstanceUid + ".dcm"), recipe);
    }

    auto stored = [&] { return test::countFiles(folder.images(), true); };
    {
        std::optional<Running> service;
        service.emplace(exe);
        ASSERT_GT(service->pid(), 0);
        for (const auto& e : fs::directory_iterator(staging))
            fs::rename(e.path(), folder.temp() / e.path().filename());
        // Kill it while it works through the batch, three times over.
        for (int threshold : {20, 80, 140}) {
            ASSERT_TRUE(waitFor([&] { return stored() >= threshold; })) << threshold;
            service->kill(SIGKILL);
            // Where the kill struck, for the record.
            RecordProperty("stored_at_kill_" + std::to_string(threshold), stored());
            service.emplace(exe);
        }
        ASSERT_TRUE(waitFor([&] { return stored() == Files && inputFiles(folder.temp()) == 0; }))
            << "stored " << stored() << describeFolder(folder);
        service->kill(SIGTERM);
        ASSERT_TRUE(service->waitExit(20s));
    }

    EXPECT_EQ(test::queryInt(folder.imageDatabase(), "SELECT COUNT(*) FROM tblImages"), Files);
    EXPECT_EQ(test::queryInt(folder.imageDatabase(), "SELECT COUNT(DISTINCT ImageUID) FROM tblImages"), Files);
    EXPECT_EQ(test::queryInt(folder.imageDatabase(), "SELECT COUNT(*) FROM tblSeries"), 2);
    EXPECT_EQ(test::queryInt(folder.imageDatabase(), "SELECT COUNT(*) FROM tblStudies"), 2);
    std::set<std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(folder.images()))
        if (e.is_regular_file())
            files.insert(e.path().stem().string());
    EXPECT_EQ(files, uids);
    EXPECT_FALSE(fs::exists(folder.temp() / "BadObjects")) << describeFolder(folder);
}

TEST(IngradoProcess, FileThatCrashedTheServiceIsSetAsideAtTheNextStart)
{
    ProgramFolder folder;
    const fs::path exe = folder.copyExecutable("Ingrado");
    // The same service with the crash seam linked in, in the same program folder.
    const fs::path crashing = folder.path() / "ingrado_crashing";
    fs::copy_file(CORVA_CRASHING_INGRADO, crashing, fs::copy_options::overwrite_existing);
    DicomRecipe fatal;
    fatal.sopInstanceUid = uniqueUid();
    DicomRecipe fine;
    fine.sopInstanceUid = uniqueUid();
    const std::string fatalName = fatal.sopInstanceUid + ".dcm";
    corva::test::writeDicom(folder.temp() / fatalName, fatal);
    {
        // The service dies with SIGSEGV while this file is in hand.
        ::setenv("INGRADO_TEST_CRASH_ON", fatalName.c_str(), 1);
        Running service(crashing);
        ::unsetenv("INGRADO_TEST_CRASH_ON");
        int status = 0;
        ASSERT_TRUE(service.waitExit(60s, &status));
        ASSERT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(WTERMSIG(status), SIGSEGV);
    }
    EXPECT_TRUE(fs::exists(folder.temp() / fatalName)) << "nothing is lost";
    corva::test::writeDicom(folder.temp() / (fine.sopInstanceUid + ".dcm"), fine);

    Running service(exe);
    ASSERT_TRUE(waitFor([&] { return inputFiles(folder.temp()) == 0; }));
    EXPECT_TRUE(fs::exists(folder.temp() / "BadObjects" / fatalName));
    EXPECT_EQ(test::queryInt(folder.imageDatabase(), "SELECT COUNT(*) FROM tblImages"), 1);
    EXPECT_EQ(test::queryText(folder.imageDatabase(), "SELECT ImageUID FROM tblImages"), fine.sopInstanceUid);
    EXPECT_TRUE(service.waitExit(0ms) == false) << "still running";
}

// Patient data stays with Ingrado's user and group, whatever mask it was started with:
// the database it creates, the study folders and images it files, what it sets aside and
// its logs. The logs name no patient, and the debug log says first that it holds
// patient data.
TEST(IngradoProcess, EverythingItCreatesIsForItsUserAndGroupOnly)
{
    ProgramFolder folder;
    const fs::path exe = folder.copyExecutable("Ingrado");
    fs::remove(folder.imageDatabase());
    fs::permissions(folder.templateDatabase(), fs::perms::owner_read | fs::perms::owner_write |
                                                   fs::perms::group_read | fs::perms::others_read);
    fs::remove_all(folder.logs());
    corva::test::writeFile(folder.path() / "debug.on", "");
    DicomRecipe recipe;
    recipe.sopInstanceUid = uniqueUid();
    recipe.studyUid = uniqueUid();
    recipe.patientName = "Secretname^Hidden";
    const std::string name = recipe.sopInstanceUid + ".dcm";
    corva::test::writeDicom(folder.temp() / name, recipe);
    corva::test::writeFile(folder.temp() / "junk.dcm", "not DICOM");
    corva::test::writeFile(folder.temp() / "junk.dcm.try", " 50 \n");

    const mode_t loose = ::umask(022);
    std::optional<Running> service;
    service.emplace(exe);
    ::umask(loose);
    ASSERT_TRUE(waitFor([&] { return inputFiles(folder.temp()) == 0; })) << describeFolder(folder);
    service->kill(SIGTERM);
    ASSERT_TRUE(service->waitExit(20s));

    const fs::path stored = folder.images() / recipe.studyUid / name;
    ASSERT_TRUE(fs::exists(stored));
    ASSERT_TRUE(fs::exists(folder.temp() / "BadObjects" / "junk.dcm"));
    auto perms = [](const fs::path& p) { return fs::symlink_status(p).permissions(); };
    std::vector<fs::path> created = {folder.imageDatabase(), folder.images() / recipe.studyUid, stored};
    for (const fs::path& tree : {folder.temp() / "BadObjects", folder.logs()}) {
        created.push_back(tree);
        for (const auto& e : fs::recursive_directory_iterator(tree))
            created.push_back(e.path());
    }
    for (const char* side : {"-wal", "-shm"})
        if (fs::exists(folder.imageDatabase().string() + side))
            created.push_back(folder.imageDatabase().string() + side);
    for (const fs::path& p : created)
        EXPECT_EQ(perms(p) & fs::perms::others_all, fs::perms::none) << p;
    // What it makes itself: folders 0770, files 0660.
    const auto folderMode = fs::perms::owner_all | fs::perms::group_all;
    const auto fileMode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::group_write;
    for (const fs::path& p : {folder.images() / recipe.studyUid, folder.temp() / "BadObjects", folder.logs()})
        EXPECT_EQ(perms(p), folderMode) << p;
    for (const fs::path& p : {folder.logs() / "Ingrado.log", folder.logs() / "IngradoDebug.log",
                              folder.temp() / "BadObjects" / "junk.dcm.reason"})
        EXPECT_EQ(perms(p), fileMode) << p;

    for (const auto& e : fs::directory_iterator(folder.logs())) {
        const std::string text = corva::test::readFile(e.path());
        EXPECT_EQ(text.find("Secretname"), std::string::npos) << e.path();
        EXPECT_EQ(text.find("Hidden"), std::string::npos) << e.path();
    }
    const std::string debugLog = corva::test::readFile(folder.logs() / "IngradoDebug.log");
    EXPECT_EQ(debugLog.rfind(DebugLogHeader, 0), 0u) << debugLog.substr(0, 200);
}

}  // namespace
}  // namespace corva::ingest
