// Recvora as a program: started in a temporary program folder, fed by DCMTK's storescu.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "dicom/dicom.h"
#include "dicom/storage_server.h"
#include "dicom_fixture.h"
#include "receiver_service.h"
#include "recvora_harness.h"

namespace corva::test {
namespace {

// A storage server of this process serving on its own thread, stopped and joined at the
// end of the scope (also when an assertion leaves it early).
class ServerRun {
public:
    ServerRun(const corva::dicom::StorageServerConfig& config, const corva::dicom::StorageEvents& events)
        : server_((corva::dicom::initNetwork(), config), events), thread_([this] { server_.run(); })
    {
    }
    ~ServerRun()
    {
        server_.stop();
        thread_.join();
    }
    ServerRun(const ServerRun&) = delete;
    ServerRun& operator=(const ServerRun&) = delete;

private:
    corva::dicom::StorageServer server_;
    std::thread thread_;
};

namespace fs = std::filesystem;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::size_t occurrences(const std::string& text, const std::string& part)
{
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

// The receiver writes an association's last line after the sender has gone.
bool logShows(const ReceiverSite& site, const std::string& text)
{
    return waitUntil([&] { return contains(site.logText(), text); }, 30s);
}

// Files to send, written outside the program folder.
class SourceFiles {
public:
    fs::path add(DicomRecipe recipe = {})
    {
        if (recipe.sopInstanceUid.empty())
            recipe.sopInstanceUid = uniqueUid();
        const fs::path file = dir_ / ("src" + std::to_string(++count_) + ".dcm");
        writeDicom(file, recipe);
        uids_.push_back(recipe.sopInstanceUid);
        return file;
    }
    const std::vector<std::string>& uids() const { return uids_; }
    const fs::path& dir() const { return dir_.path(); }

private:
    TempDir dir_{"corva-recvora-src"};
    int count_ = 0;
    std::vector<std::string> uids_;
};

std::vector<std::string> dcmNames(const std::vector<std::string>& uids)
{
    std::vector<std::string> names;
    for (const auto& uid : uids)
        names.push_back(uid + ".dcm");
    std::sort(names.begin(), names.end());
    return names;
}

int listeningSocket(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 4) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Sits between a sender and the receiver and, after `limit` bytes from the sender (in
// the middle of an object), either breaks the connection off (TCP reset) or stalls:
// keeps it open without passing anything on until the proxy goes.
class CuttingProxy {
public:
    enum class Mode { Reset, Stall };
    // `from`: the local address the proxy connects from (another host, as the receiver sees it).
    CuttingProxy(int targetPort, std::size_t limit, Mode mode = Mode::Reset, const char* from = "127.0.0.1")
        : port_(freePort()), limit_(limit), mode_(mode), from_(from)
    {
        listener_ = listeningSocket(port_);
        thread_ = std::thread([this, targetPort] { serve(targetPort); });
    }
    ~CuttingProxy()
    {
        done_ = true;
        thread_.join();
        ::close(listener_);
    }
    int port() const { return port_; }
    bool cut() const { return cut_; }

private:
    static void reset(int fd)
    {
        linger l{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        ::close(fd);
    }

    void serve(int targetPort)
    {
        pollfd accept{listener_, POLLIN, 0};
        while (!done_ && ::poll(&accept, 1, 100) <= 0) {
        }
        if (done_)
            return;
        const int client = ::accept(listener_, nullptr, nullptr);
        const int server = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in source{};
        source.sin_family = AF_INET;
        ::inet_pton(AF_INET, from_.c_str(), &source.sin_addr);
        ::bind(server, reinterpret_cast<sockaddr*>(&source), sizeof source);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(targetPort));
        if (::connect(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            ::close(client);
            ::close(server);
            return;
        }
        std::size_t forwarded = 0;
        char buffer[16384];
        while (!done_) {
            pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
            if (::poll(fds, 2, 100) <= 0)
                continue;
            if (fds[0].revents) {
                const std::size_t room = std::min(sizeof buffer, limit_ - forwarded);
                const ssize_t n = ::read(client, buffer, room);
                if (n <= 0 || ::write(server, buffer, static_cast<std::size_t>(n)) != n)
                    break;
                forwarded += static_cast<std::size_t>(n);
                if (forwarded >= limit_) {
                    cut_ = true;
                    while (mode_ == Mode::Stall && !done_)
                        std::this_thread::sleep_for(std::chrono::milliseconds(50));
                    break;
                }
            }
            if (fds[1].revents) {
                const ssize_t n = ::read(server, buffer, sizeof buffer);
                if (n <= 0 || ::write(client, buffer, static_cast<std::size_t>(n)) != n)
                    break;
            }
        }
        reset(server);
        reset(client);
    }

    int port_;
    std::size_t limit_;
    Mode mode_;
    std::string from_;
    int listener_ = -1;
    std::atomic<bool> done_{false};
    std::atomic<bool> cut_{false};
    std::thread thread_;
};

TEST(RecvoraTest, StoresEachObjectUnderItsUidAndAnswersEcho)
{
    ReceiverSite site;
    fs::remove_all(site.temp());  // the receiver makes its input folder
    auto receiver = site.startReceiver();
    SourceFiles src;
    src.add();
    DicomRecipe mammo;
    mammo.sopClassUid = corva::dicom::uid::DigitalMammographyForPresentation;
    mammo.modality = "MG";
    src.add(mammo);
    DicomRecipe implicit8;
    implicit8.rows = 32;
    implicit8.columns = 48;
    implicit8.bitsAllocated = 8;
    implicit8.transferSyntax = corva::dicom::uid::ImplicitLittleEndian;
    src.add(implicit8);

    const auto result = site.send({src.dir()}, {"+sd"});
    ASSERT_EQ(result.code, 0) << result.output;
    EXPECT_FALSE(contains(result.output, "Failed")) << result.output;

    EXPECT_EQ(site.tempFiles(), dcmNames(src.uids()));
    for (const auto& uid : src.uids()) {
        const auto image = corva::dicom::Image::read(site.temp() / (uid + ".dcm"));
        EXPECT_EQ(image.sopInstanceUid(), uid);
    }
    EXPECT_EQ(corva::dicom::Image::read(site.temp() / (src.uids()[2] + ".dcm")).transferSyntax(),
              corva::dicom::uid::ImplicitLittleEndian);
    const std::string log = site.logText();
    EXPECT_TRUE(contains(log, "Association from TESTSCU (127.0.0.1) accepted")) << log;
    EXPECT_TRUE(contains(log, "Stored " + src.uids()[0] + ".dcm")) << log;
    EXPECT_TRUE(logShows(site, "released: 3 stored, 0 refused")) << site.logText();
}

TEST(RecvoraTest, TakesJpegCompressedObjectsAsTheyArrive)
{
    struct Case {
        const char* transferSyntax;
        int bitsAllocated;
        const char* propose;  // storescu's option to offer that transfer syntax
    } cases[] = {{corva::dicom::uid::JpegLossless, 16, "-xs"}, {corva::dicom::uid::JpegBaseline, 8, "-xy"}};
    ReceiverSite site;
    auto receiver = site.startReceiver();
    for (const auto& c : cases) {
        SourceFiles src;
        DicomRecipe recipe;
        recipe.transferSyntax = c.transferSyntax;
        recipe.bitsAllocated = c.bitsAllocated;
        // Lossy compression gives the object a new UID: take the one the file carries.
        const std::string uid = corva::dicom::Image::read(src.add(recipe)).sopInstanceUid();
        const auto result = site.send({src.dir()}, {"+sd", c.propose});
        ASSERT_EQ(result.code, 0) << c.transferSyntax << "\n" << result.output;
        const fs::path file = site.temp() / (uid + ".dcm");
        ASSERT_TRUE(fs::exists(file)) << c.transferSyntax << "\n" << site.logText();
        EXPECT_EQ(corva::dicom::Image::read(file).transferSyntax(), c.transferSyntax) << "kept as it arrived";
    }
}

TEST(RecvoraTest, TakesTitleAndPortFromSettingsAndRefusesOtherCalledTitles)
{
    ReceiverSite site("MAMMO_RX");
    auto receiver = site.startReceiver();
    SourceFiles src;
    const auto file = src.add();

    ReceiverSite other("WRONGAE", site.port());
    const auto refused = other.send({file});
    EXPECT_NE(refused.code, 0) << refused.output;
    EXPECT_TRUE(site.tempFiles().empty());
    EXPECT_TRUE(contains(site.logText(), "refused: called AE title not recognized")) << site.logText();

    const auto accepted = site.send({file});
    ASSERT_EQ(accepted.code, 0) << accepted.output << site.logText();
    EXPECT_EQ(site.tempFiles(), dcmNames(src.uids()));
}

TEST(RecvoraTest, RefusesObjectsWhoseUidCannotBeAFileName)
{
    ReceiverSite site;
    auto receiver = site.startReceiver();
    SourceFiles src;
    const std::vector<std::string> unsafe{"1.2.3/../x", "1..2", "1.2.840.abc", ".1.2"};
    std::vector<fs::path> files;
    DicomRecipe recipe;
    for (const auto& uid : unsafe) {
        recipe.sopInstanceUid = uid;
        files.push_back(src.add(recipe));
    }
    const std::string goodUid = uniqueUid();
    recipe.sopInstanceUid = goodUid;
    files.push_back(src.add(recipe));

    const auto result = site.send(files, {"--no-halt", "-v"});
    std::size_t failures = 0;
    for (auto at = result.output.find("Store Response (Error: CannotUnderstand)"); at != std::string::npos;
         at = result.output.find("Store Response (Error: CannotUnderstand)", at + 1))
        ++failures;
    EXPECT_EQ(failures, unsafe.size()) << result.output;

    // Only the good object arrived; the association went on after each refusal.
    EXPECT_EQ(site.tempFiles(), std::vector<std::string>{goodUid + ".dcm"});
    EXPECT_FALSE(fs::exists(site.folder() / "x.dcm"));
    const std::string log = site.logText();
    for (const auto& uid : unsafe)
        EXPECT_TRUE(contains(log, "Refused object \"" + uid + "\"")) << log;
    EXPECT_TRUE(logShows(site, "released: 1 stored, 4 refused")) << site.logText();
}

TEST(RecvoraTest, TakesPrivateAndNewerStorageClassesAndLogsWhatItRefuses)
{
    ReceiverSite site;
    auto receiver = site.startReceiver();
    // storescu proposes classes it does not know only from a profile.
    const fs::path config = site.scratch() / "contexts.cfg";
    writeFile(config,
              "[[TransferSyntaxes]]\n[Uncompressed]\nTransferSyntax1 = LittleEndianExplicit\n"
              "[[PresentationContexts]]\n"
              "[Odd]\nPresentationContext1 = 1.3.6.1.4.1.99999.1.1\\Uncompressed\n"
              "PresentationContext2 = 1.2.840.10008.5.1.4.1.1.999.1\\Uncompressed\n"
              "[Mixed]\nPresentationContext1 = 1.2.840.10008.5.1.4.1.2.1.1\\Uncompressed\n"
              "PresentationContext2 = 1.2.840.10008.5.1.4.1.1.1\\Uncompressed\n"
              "[[Profiles]]\n[Odd]\nPresentationContexts = Odd\n[Mixed]\nPresentationContexts = Mixed\n");
    SourceFiles src;
    DicomRecipe privateClass;
    privateClass.sopClassUid = "1.3.6.1.4.1.99999.1.1";  // a vendor's own storage class
    DicomRecipe newerClass;
    newerClass.sopClassUid = "1.2.840.10008.5.1.4.1.1.999.1";  // a class the toolkit does not list yet
    const auto a = src.add(privateClass);
    const auto b = src.add(newerClass);
    const auto result = site.send({a, b}, {"-xf", config.string(), "Odd"});
    EXPECT_EQ(result.code, 0) << result.output;
    EXPECT_EQ(site.tempFiles(), dcmNames(src.uids()));

    // A class that is not a storage class is refused, and the log says why.
    const auto c = src.add();
    const auto mixed = site.send({c}, {"-xf", config.string(), "Mixed"});
    EXPECT_EQ(mixed.code, 0) << mixed.output;
    EXPECT_TRUE(logShows(site, "released: 1 stored")) << site.logText();
    EXPECT_TRUE(contains(site.logText(), "presentation context for 1.2.840.10008.5.1.4.1.2.1.1")) << site.logText();
    EXPECT_TRUE(contains(site.logText(), "refused: not a storage SOP class")) << site.logText();
    EXPECT_EQ(site.tempFiles(), dcmNames(src.uids()));
}

TEST(RecvoraTest, ObjectThatCannotBeWrittenIsAnsweredOutOfResourcesAndTheAssociationGoesOn)
{
    ReceiverSite site;
    // Files above 2 MB cannot be written by this receiver.
    auto receiver = site.startReceiver({"prlimit", "--fsize=2000000", "--"});
    SourceFiles src;
    DicomRecipe large;
    large.rows = 2048;
    large.columns = 2048;
    const auto small1 = src.add();
    const auto big = src.add(large);
    const auto small2 = src.add();
    const auto result = site.send({small1, big, small2}, {"--no-halt", "-v"});
    EXPECT_TRUE(contains(result.output, "Store Response (Refused: OutOfResources)")) << result.output;
    EXPECT_EQ(site.tempFiles(), dcmNames({src.uids()[0], src.uids()[2]})) << "nothing partial left";
    EXPECT_TRUE(logShows(site, "released: 2 stored, 1 refused")) << site.logText();
    EXPECT_TRUE(contains(site.logText(), "Refused object \"" + src.uids()[1] + "\": cannot write")) << site.logText();
    EXPECT_TRUE(receiver->running());
}

TEST(RecvoraTest, ADiskThatKeepsRefusingIsLoggedOncePerOutage)
{
    ReceiverSite site;
    // Files above 2 MB cannot be written by this receiver.
    auto receiver = site.startReceiver({"prlimit", "--fsize=2000000", "--"});
    SourceFiles src;
    DicomRecipe large;
    large.rows = 2048;
    large.columns = 2048;
    const auto big1 = src.add(large);
    const auto big2 = src.add(large);
    const auto big3 = src.add(large);
    const auto small = src.add();
    const auto result = site.send({big1, big2, big3, small}, {"--no-halt"});
    EXPECT_TRUE(logShows(site, "released: 1 stored, 3 refused")) << site.logText();
    const std::string log = site.logText();
    EXPECT_EQ(occurrences(log, "cannot write"), 2u) << "the first refusal, and the repeats once it was over\n" << log;
    EXPECT_TRUE(contains(log, "Error: Refused object \"" + src.uids()[0] + "\": cannot write")) << log;
    EXPECT_TRUE(contains(log, "Repeated 2 more time(s) until it was over: Error: Refused object \"" + src.uids()[0]))
        << log;
    EXPECT_TRUE(contains(log, "File too large (from TESTSCU (127.0.0.1))")) << log;
    EXPECT_EQ(site.tempFiles(), dcmNames({src.uids()[3]}));
}

TEST(RecvoraTest, RefusesObjectsNestedTooDeepAndGoesOn)
{
    ReceiverSite site;
    auto receiver = site.startReceiver();
    SourceFiles src;
    const auto good = src.add();
    DicomRecipe deepSpec;
    deepSpec.sopInstanceUid = uniqueUid();
    // Deep enough to be refused, shallow enough for storescu's own reader.
    const auto deep = writeNestedDicom(src.dir() / "deep.dcm", 100, deepSpec);
    const auto result = site.send({deep, good}, {"--no-halt", "-v"});
    EXPECT_TRUE(contains(result.output, "Store Response (Error: CannotUnderstand)")) << result.output;
    EXPECT_EQ(site.tempFiles(), dcmNames({src.uids()[0]}));
    EXPECT_TRUE(logShows(site, "released: 1 stored, 1 refused")) << site.logText();
    EXPECT_TRUE(contains(site.logText(), "Refused object \"" + deepSpec.sopInstanceUid +
                                             "\": sequences nested deeper than 64 levels"))
        << site.logText();
}

TEST(RecvoraTest, PortInUseEndsWithErrorAndLogLine)
{
    ReceiverSite site;
    const int blocker = listeningSocket(site.port());
    ASSERT_GE(blocker, 0);
    site.install("Recvora");
    auto receiver = site.start("Recvora");
    const auto code = receiver->wait(30s);
    ::close(blocker);
    ASSERT_TRUE(code.has_value());
    EXPECT_NE(*code, 0);
    EXPECT_TRUE(contains(site.logText(), "Recvora cannot start: cannot listen on port " + std::to_string(site.port())))
        << site.logText();
}

TEST(RecvoraTest, PortBelow1024WithoutThePrivilegeEndsWithAClearLogLine)
{
    // Without the capability to bind ports below 1024 (what the installation's setcap grants).
    const auto probe = runCommand({"setpriv", "--bounding-set", "-net_bind_service", "--", "true"}, 30s);
    if (probe.code != 0)
        GTEST_SKIP() << "setpriv cannot drop the capability here: " << probe.output;
    ReceiverSite site;
    site.writeSettings("LUMENTEST", "105");
    site.install("Recvora");
    auto receiver = site.start("Recvora", {"setpriv", "--bounding-set", "-net_bind_service", "--"});
    const auto code = receiver->wait(30s);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, corva::receiver::ReceiverService::CannotListen);
    const std::string log = site.logText();
    EXPECT_TRUE(contains(log, "Recvora cannot start: cannot listen on port 105")) << log;
    EXPECT_TRUE(contains(log, "setcap cap_net_bind_service=+ep")) << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << "the start line and one line with the reason\n" << log;
}

TEST(RecvoraTest, LogLinesStayOneReadableLine)
{
    using corva::receiver::ReceiverLog;
    EXPECT_EQ(ReceiverLog::oneLine("0006:031d TCP I/O Error\n  (Connection reset)\r\n"),
              "0006:031d TCP I/O Error; (Connection reset)");
    EXPECT_EQ(ReceiverLog::oneLine("a\tb\x01" "c"), "a b\\x01c");
    EXPECT_EQ(ReceiverLog::oneLine("forged\n10.12.2026 00:00:00 Stored x.dcm"), "forged; 10.12.2026 00:00:00 Stored x.dcm");
}

TEST(RecvoraTest, LogIsRotatedBySize)
{
    TempDir dir("corva-recvora-log");
    const fs::path file = dir.path() / "Logs" / "Recvora.log";
    fs::create_directories(file.parent_path());
    writeFile(file, std::string(10 * 1024 * 1024 - 8, 'x'));
    corva::receiver::ReceiverLog log(file);
    log.write("Stored 1.2.3.dcm");
    EXPECT_EQ(fs::file_size(dir.path() / "Logs" / "Recvora.log.1"), 10u * 1024 * 1024 - 8);
    const std::string text = readFile(file);
    EXPECT_TRUE(text.ends_with(" Stored 1.2.3.dcm\n")) << text;
    EXPECT_LT(text.size(), 100u);
}

TEST(RecvoraTest, InvalidOrEmptyPortSettingEndsWithError)
{
    // An emptied port is the site's choice not to receive: never the default port.
    for (const auto& [portLine, logged] : {std::pair<std::string, std::string>{"IR_Port=10x5", "invalid port \"10x5\""},
                                           {"IR_Port=", "Recvora does not listen: no port is set"}}) {
        SCOPED_TRACE(portLine);
        ReceiverSite site;
        site.writeSettings("LUMENTEST", "", {portLine});
        site.install("Recvora");
        auto receiver = site.start("Recvora");
        const auto code = receiver->wait(30s);
        ASSERT_TRUE(code.has_value());
        EXPECT_NE(*code, 0);
        EXPECT_TRUE(contains(site.logText(), logged)) << site.logText();
    }
}

TEST(RecvoraTest, AssociationBrokenOffMidObjectLeavesNothingBehind)
{
    ReceiverSite site;
    auto receiver = site.startReceiver();
    SourceFiles src;
    DicomRecipe large;  // 8 MB
    large.rows = 2048;
    large.columns = 2048;
    const auto big = src.add(large);

    CuttingProxy proxy(site.port(), 3 * 1024 * 1024);
    const auto result = runCommand(site.storescuArgs({big}, {}, proxy.port()), 120s, {"TCP_NODELAY=1"});
    EXPECT_TRUE(proxy.cut());
    EXPECT_NE(result.code, 0) << result.output;

    ASSERT_TRUE(logShows(site, "aborted: 0 stored, 0 refused")) << site.logText();
    EXPECT_TRUE(contains(site.logText(), "Error: Receiving " + src.uids()[0] + " failed")) << site.logText();
    EXPECT_TRUE(site.tempFiles().empty()) << "left behind: " << (site.tempFiles().empty() ? "" : site.tempFiles()[0]);

    // The receiver goes on serving.
    ASSERT_EQ(site.send({big}).code, 0);
    EXPECT_EQ(site.tempFiles(), dcmNames(src.uids()));
}

TEST(RecvoraTest, TwoSendersAtOnceBothSucceed)
{
    ReceiverSite site;
    auto receiver = site.startReceiver();
    SourceFiles a;
    SourceFiles b;
    DicomRecipe medium;
    medium.rows = 512;
    medium.columns = 512;
    for (int i = 0; i < 15; ++i) {
        a.add(medium);
        b.add(medium);
    }
    const auto out = site.scratch();
    ChildProcess first(site.storescuArgs({a.dir()}, {"+sd"}), {"TCP_NODELAY=1"}, out / "a.out");
    ChildProcess second(site.storescuArgs({b.dir()}, {"+sd"}), {"TCP_NODELAY=1"}, out / "b.out");
    EXPECT_EQ(first.wait(120s), 0) << readFile(out / "a.out");
    EXPECT_EQ(second.wait(120s), 0) << readFile(out / "b.out");

    auto expected = a.uids();
    expected.insert(expected.end(), b.uids().begin(), b.uids().end());
    EXPECT_EQ(site.tempFiles(), dcmNames(expected));
}

TEST(RecvoraTest, SigtermEndsCleanly)
{
    ReceiverSite site;
    auto receiver = site.startReceiver();
    receiver->signal(SIGTERM);
    EXPECT_EQ(receiver->wait(30s), 0);
    EXPECT_TRUE(contains(site.logText(), "Recvora stopped")) << site.logText();
}

TEST(RecvoraTest, SigtermWithAStalledSenderStillEndsAndLeavesNoPartialFile)
{
    ReceiverSite site;
    // The grace a stop gives running associations, shortened from 10 seconds.
    auto receiver = site.startReceiver({}, {"RECVORA_STOP_GRACE_MS=300"});
    SourceFiles src;
    DicomRecipe large;
    large.rows = 2048;
    large.columns = 2048;
    const auto big = src.add(large);

    CuttingProxy proxy(site.port(), 3 * 1024 * 1024, CuttingProxy::Mode::Stall);
    ChildProcess sender(site.storescuArgs({big}, {}, proxy.port()), {"TCP_NODELAY=1"});
    ASSERT_TRUE(waitUntil([&] { return proxy.cut() && !site.tempFiles().empty(); }, 60s));

    // Running associations get a grace period, then the receiver ends regardless.
    receiver->signal(SIGTERM);
    EXPECT_EQ(receiver->wait(60s), 0);
    EXPECT_TRUE(site.tempFiles().empty()) << site.tempFiles()[0];
    EXPECT_TRUE(contains(site.logText(), "Recvora stopped with associations still open")) << site.logText();
}

TEST(RecvoraTest, RemovesPartialFilesOfAnEarlierRunAtStart)
{
    ReceiverSite site;
    // A receiver process that no longer exists (pid beyond the kernel's limit).
    writeFile(site.temp() / ".1.2.3.99999999-1.part", "half");
    writeFile(site.temp() / "keep.txt", "not ours");
    writeFile(site.temp() / "1.2.4.dcm", "an arrived file");
    // The shared DICOM writer's partial file (the ingest service's repaired copies): not ours.
    writeFile(site.temp() / ".write-99999999-1.part", "a copy being written");
    auto receiver = site.startReceiver();
    EXPECT_EQ(site.tempFiles(), (std::vector<std::string>{".write-99999999-1.part", "1.2.4.dcm", "keep.txt"}));
}

TEST(RecvoraTest, AssociationsBeyondTheLimitAreRefusedAndReported)
{
    EXPECT_EQ(corva::dicom::StorageServerConfig{}.maxAssociations, 32);

    // A server limited to one association, held open by a sender stalled mid-object.
    TempDir out("corva-recvora-limit");
    corva::dicom::StorageServerConfig config;
    config.aeTitle = "LIMITTEST";
    config.port = freePort();
    config.outputFolder = out.path();
    config.maxAssociations = 1;
    std::mutex mutex;
    std::vector<std::string> refusals;
    corva::dicom::StorageEvents events;
    events.associationRefused = [&](const std::string& ae, const std::string&, const std::string& why) {
        std::lock_guard lock(mutex);
        refusals.push_back(ae + ": " + why);
    };
    // The server ends once the held association is cut (the proxy goes first).
    const ServerRun serving(config, events);

    SourceFiles src;
    DicomRecipe large;
    large.rows = 2048;
    large.columns = 2048;
    const auto big = src.add(large);
    CuttingProxy proxy(config.port, 1024 * 1024, CuttingProxy::Mode::Stall);
    ChildProcess sender({"storescu", "-to", "30", "-aet", "HOLDER", "-aec", "LIMITTEST", "127.0.0.1",
                         std::to_string(proxy.port()), big.string()},
                        {"TCP_NODELAY=1"});
    ASSERT_TRUE(waitUntil([&] { return proxy.cut(); }, 30s));
    const auto second = runCommand(
        {"echoscu", "-to", "5", "-aet", "SECOND", "-aec", "LIMITTEST", "127.0.0.1", std::to_string(config.port)}, 30s);
    EXPECT_NE(second.code, 0) << second.output;
    std::lock_guard lock(mutex);
    EXPECT_EQ(refusals, std::vector<std::string>{"SECOND: too many associations"});
}

TEST(RecvoraTest, PortSettingParsing)
{
    struct Case {
        const char* text;
        int port;
    };
    for (const Case& c : {Case{"105", 105}, Case{" 11112 ", 11112}, Case{"65535", 65535}, Case{"0", 0},
                          Case{"65536", 0}, Case{"", 0}, Case{"10x5", 0}, Case{"-1", 0}})
        EXPECT_EQ(corva::receiver::parsePort(c.text), c.port) << c.text;
}

TEST(RecvoraTest, PartFileNames)
{
    EXPECT_TRUE(corva::dicom::StorageServer::isPartFileName(".1.2.3.4711-1.part"));
    EXPECT_FALSE(corva::dicom::StorageServer::isPartFileName("1.2.3.dcm"));
    EXPECT_FALSE(corva::dicom::StorageServer::isPartFileName("1.2.3.part"));
    EXPECT_FALSE(corva::dicom::StorageServer::isPartFileName(".part"));
    EXPECT_FALSE(corva::dicom::StorageServer::isPartFileName(".write-4711-1.part"));
    EXPECT_FALSE(corva::dicom::StorageServer::isPartFileName(".1.2.3.4711.part"));
}


// A TCP connection to the receiver that never says a word.
class SilentConnection {
public:
    explicit SilentConnection(int port) : fd_(::socket(AF_INET, SOCK_STREAM, 0))
    {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port));
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~SilentConnection() { ::close(fd_); }
    SilentConnection(const SilentConnection&) = delete;
    SilentConnection& operator=(const SilentConnection&) = delete;
    bool connected() const { return connected_; }

private:
    int fd_;
    bool connected_ = false;
};

TEST(RecvoraTest, SilentConnectionsDoNotHoldUpARealSender)
{
    ReceiverSite site;
    auto receiver = site.startReceiver();
    std::vector<std::unique_ptr<SilentConnection>> silent;
    for (int i = 0; i < 31; ++i) {
        silent.push_back(std::make_unique<SilentConnection>(site.port()));
        ASSERT_TRUE(silent.back()->connected());
    }
    // The sender's own association time-out is short (5 s): a receiver that read the
    // silent connections' requests before this one's would make it give up.
    SourceFiles src;
    src.add();
    src.add();
    const auto result = site.send({src.dir()}, {"+sd", "-ta", "5", "-td", "5"});
    ASSERT_EQ(result.code, 0) << result.output << site.logText();
    EXPECT_EQ(site.tempFiles(), dcmNames(src.uids()));
    EXPECT_TRUE(logShows(site, "released: 2 stored, 0 refused")) << site.logText();

    // When they go, the log says so once, not 31 times, and how often at the end.
    silent.clear();
    ASSERT_TRUE(logShows(site, "Connection from 127.0.0.1 closed before its association request")) << site.logText();
    receiver->signal(SIGTERM);
    EXPECT_EQ(receiver->wait(30s), 0);
    const std::string log = site.logText();
    EXPECT_EQ(occurrences(log, "Connection from 127.0.0.1 closed before its association request"), 2u) << log;
    EXPECT_TRUE(contains(log, "Repeated 30 more time(s) until the stop: Error: Connection from 127.0.0.1 closed"))
        << log;
}

TEST(RecvoraTest, ConnectionSilentBeyondTheRequestTimeoutIsClosedAndLoggedWithItsAddress)
{
    TempDir out("corva-recvora-silent");
    corva::dicom::StorageServerConfig config;
    config.aeTitle = "SILENTTEST";
    config.port = freePort();
    config.outputFolder = out.path();
    config.requestTimeoutSeconds = 1;
    std::mutex mutex;
    std::vector<std::string> problems;
    corva::dicom::StorageEvents events;
    events.problem = [&](const std::string& condition, const std::string& text) {
        std::lock_guard lock(mutex);
        problems.push_back(condition + ": " + text);
    };
    const ServerRun serving(config, events);
    ASSERT_TRUE(waitUntil(
        [&] {
            return runCommand({"echoscu", "-to", "5", "-aec", "SILENTTEST", "127.0.0.1", std::to_string(config.port)},
                              30s)
                       .code == 0;
        },
        30s, 100ms));

    SilentConnection silent(config.port);
    ASSERT_TRUE(silent.connected());
    ASSERT_TRUE(waitUntil(
        [&] {
            std::lock_guard lock(mutex);
            return !problems.empty();
        },
        30s));
    std::lock_guard lock(mutex);
    EXPECT_EQ(problems, std::vector<std::string>{"silent @127.0.0.1: Connection from 127.0.0.1 sent no association "
                                                 "request within 1 s: closed"});
}

TEST(RecvoraTest, OneHostCannotTakeEveryAssociation)
{
    TempDir out("corva-recvora-perpeer");
    corva::dicom::StorageServerConfig config;
    config.aeTitle = "PEERTEST";
    config.port = freePort();
    config.outputFolder = out.path();
    config.maxAssociations = 4;
    config.maxAssociationsPerPeer = 1;
    std::mutex mutex;
    std::vector<std::string> refusals;
    corva::dicom::StorageEvents events;
    events.associationRefused = [&](const std::string& ae, const std::string& peer, const std::string& why) {
        std::lock_guard lock(mutex);
        refusals.push_back(ae + " (" + peer + "): " + why);
    };
    const ServerRun serving(config, events);

    SourceFiles src;
    DicomRecipe large;
    large.rows = 2048;
    large.columns = 2048;
    const auto big = src.add(large);
    CuttingProxy proxy(config.port, 1024 * 1024, CuttingProxy::Mode::Stall);
    ChildProcess sender({"storescu", "-to", "30", "-aet", "HOLDER", "-aec", "PEERTEST", "127.0.0.1",
                         std::to_string(proxy.port()), big.string()},
                        {"TCP_NODELAY=1"});
    ASSERT_TRUE(waitUntil([&] { return proxy.cut(); }, 30s));
    // Three of four places are free, but not for this host.
    const auto second = runCommand(
        {"echoscu", "-to", "5", "-aet", "SECOND", "-aec", "PEERTEST", "127.0.0.1", std::to_string(config.port)}, 30s);
    EXPECT_NE(second.code, 0) << second.output;
    // Another host still gets in.
    CuttingProxy otherHost(config.port, std::size_t{1} << 40, CuttingProxy::Mode::Reset, "127.0.0.2");
    const auto third = runCommand(
        {"echoscu", "-to", "5", "-aet", "THIRD", "-aec", "PEERTEST", "127.0.0.1", std::to_string(otherHost.port())}, 30s);
    EXPECT_EQ(third.code, 0) << third.output;
    std::lock_guard lock(mutex);
    EXPECT_EQ(refusals, std::vector<std::string>{"SECOND (127.0.0.1): too many associations from 127.0.0.1"});
}

// What the receiver does between receiving an object and answering for it, seen by
// strace: the file is synced, renamed, its folder synced, and only then is the answer sent.
TEST(RecvoraTest, AnswersSuccessOnlyOnceTheFileAndItsFolderEntryAreOnDisk)
{
    if (runCommand({"strace", "-o", "/dev/null", "true"}, 30s).code != 0)
        GTEST_SKIP() << "strace cannot trace processes here";
    ReceiverSite site;
    const fs::path trace = site.scratch() / "recvora.trace";
    auto receiver = site.startReceiver({"strace", "-f", "-qq", "-yy", "-o", trace.string(), "-e",
                                        "trace=fsync,fdatasync,rename,renameat,renameat2,link,write,writev,sendto,"
                                        "sendmsg"});
    // strace's own child is Recvora: a signal to strace would leave it running.
    struct Traced {
        int pid = 0;
        ~Traced()
        {
            if (pid > 0)
                ::kill(pid, SIGKILL);
        }
    } traced;
    {
        const std::string tracer = std::to_string(receiver->pid());
        std::ifstream children("/proc/" + tracer + "/task/" + tracer + "/children");
        children >> traced.pid;
    }
    ASSERT_GT(traced.pid, 0);
    SourceFiles src;
    src.add();
    ASSERT_EQ(site.send({src.dir()}, {"+sd"}).code, 0);
    ::kill(traced.pid, SIGTERM);
    ASSERT_TRUE(receiver->wait(30s).has_value());
    traced.pid = 0;

    // The lines of the thread that renamed the file to its final name, in order.
    std::vector<std::string> lines;
    {
        std::istringstream in(readFile(trace));
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
    }
    const std::string finalName = "/" + src.uids()[0] + ".dcm";
    const auto renamed = std::find_if(lines.begin(), lines.end(), [&](const std::string& l) {
        return contains(l, "rename") && contains(l, finalName);
    });
    ASSERT_NE(renamed, lines.end()) << readFile(trace);
    const std::string thread = renamed->substr(0, renamed->find(' ') + 1);
    std::vector<std::string> own;
    for (const auto& l : lines)
        if (l.rfind(thread, 0) == 0)
            own.push_back(l);
    const auto at = [&](const std::function<bool(const std::string&)>& match, std::size_t from) {
        for (std::size_t i = from; i < own.size(); ++i)
            if (match(own[i]))
                return i;
        return own.size();
    };
    const std::size_t rename = at([&](const std::string& l) { return contains(l, "rename") && contains(l, finalName); }, 0);
    const auto isFileSync = [&](const std::string& l) {
        return contains(l, "sync(") && contains(l, "/." + src.uids()[0] + ".") && contains(l, ".part>");
    };
    const auto isFolderSync = [&](const std::string& l) {
        return contains(l, "sync(") && contains(l, site.temp().string() + ">");
    };
    const auto isAnswer = [&](const std::string& l) {
        return (contains(l, "write") || contains(l, "send")) && contains(l, "<TCP:");
    };
    std::size_t fileSync = own.size();
    for (std::size_t i = 0; i < rename; ++i)
        if (isFileSync(own[i]))
            fileSync = i;
    const std::size_t folderSync = at(isFolderSync, rename);
    const std::size_t answer = at(isAnswer, rename);
    EXPECT_LT(fileSync, rename) << "the file is synced before it takes its name\n" << readFile(trace);
    EXPECT_LT(folderSync, answer) << "the folder is synced before the answer\n" << readFile(trace);
    EXPECT_LT(answer, own.size()) << readFile(trace);
    for (std::size_t i = fileSync; i < folderSync && i < own.size(); ++i)
        EXPECT_FALSE(isAnswer(own[i])) << own[i];
}

TEST(RecvoraTest, ResentObjectWhileTheFirstCopyWaitsKeepsBothCopies)
{
    // Recvora alone: nothing takes the first copy out of Temp.
    ReceiverSite site;
    auto receiver = site.startReceiver();
    SourceFiles first;
    SourceFiles second;
    DicomRecipe recipe;
    recipe.sopInstanceUid = uniqueUid();
    recipe.patientName = "First^Copy";
    first.add(recipe);
    recipe.patientName = "Second^Copy";
    second.add(recipe);
    recipe.patientName = "Third^Copy";
    SourceFiles third;
    third.add(recipe);

    for (const auto* src : {&first, &second, &third}) {
        const auto result = site.send({src->dir()}, {"+sd"});
        ASSERT_EQ(result.code, 0) << result.output;
    }
    const std::string uid = recipe.sopInstanceUid;
    EXPECT_EQ(site.tempFiles(), (std::vector<std::string>{uid + "-2.dcm", uid + "-3.dcm", uid + ".dcm"}));
    EXPECT_EQ(corva::dicom::Image::read(site.temp() / (uid + ".dcm")).patientName(),
              "First^Copy");
    EXPECT_EQ(corva::dicom::Image::read(site.temp() / (uid + "-2.dcm")).patientName(),
              "Second^Copy");
    EXPECT_EQ(corva::dicom::Image::read(site.temp() / (uid + "-3.dcm")).patientName(),
              "Third^Copy");
    EXPECT_TRUE(contains(site.logText(), "Stored " + uid + "-2.dcm")) << site.logText();
}

TEST(RecvoraTest, WhatItCreatesIsForItsOwnUserAndGroupOnly)
{
    ReceiverSite site;
    fs::remove_all(site.temp());
    fs::remove_all(site.log().parent_path());
    auto receiver = site.startReceiver();
    SourceFiles src;
    src.add();
    ASSERT_EQ(site.send({src.dir()}, {"+sd"}).code, 0);
    ASSERT_EQ(site.tempFiles().size(), 1u);

    const auto mode = [](const fs::path& p) { return fs::status(p).permissions() & fs::perms::all; };
    using P = fs::perms;
    const auto folder = P::owner_all | P::group_all;
    const auto file = P::owner_read | P::owner_write | P::group_read | P::group_write;
    EXPECT_EQ(mode(site.temp()), folder);
    EXPECT_EQ(mode(site.temp() / site.tempFiles()[0]), file);
    EXPECT_EQ(mode(site.log().parent_path()), folder);
    EXPECT_EQ(mode(site.log()), file);
}

TEST(RecvoraTest, TempAndLogOfAnOlderVersionAreClosedToOtherUsersAtStart)
{
    ReceiverSite site;
    fs::create_directories(site.temp());
    fs::create_directories(site.log().parent_path());
    writeFile(site.log(), "an older line\n");
    using P = fs::perms;
    fs::permissions(site.temp(), P::owner_all | P::group_all | P::others_read | P::others_exec);
    fs::permissions(site.log(), P::owner_read | P::owner_write | P::group_read | P::others_read);
    auto receiver = site.startReceiver();
    const auto mode = [](const fs::path& p) { return fs::status(p).permissions() & fs::perms::all; };
    EXPECT_EQ(mode(site.temp()), P::owner_all | P::group_all);
    EXPECT_EQ(mode(site.log()), P::owner_read | P::owner_write | P::group_read);
    EXPECT_TRUE(contains(site.logText(), "an older line")) << site.logText();
}

TEST(RecvoraTest, OnlyAllowedCallingTitlesAndAddressesMayStore)
{
    struct Case {
        const char* name;
        std::vector<std::string> settings;
        const char* callingAe;
        bool accepted;
        const char* refusal;  // the log's reason when refused
    } cases[] = {
        {"every title by default", {}, "ANYONE", true, ""},
        {"listed title", {"IR_AllowedAETs=READER1, READER2"}, "READER2", true, ""},
        {"unlisted title", {"IR_AllowedAETs=READER1, READER2"}, "STRANGER", false, "calling AE title not allowed"},
        {"listed address", {"IR_AllowedHosts=10.1.2.3, 127.0.0.0/8"}, "ANYONE", true, ""},
        {"unlisted address", {"IR_AllowedHosts=10.1.2.3, 192.168.0.0/16"}, "ANYONE", false,
         "calling address not allowed"},
        {"both listed", {"IR_AllowedAETs=READER1", "IR_AllowedHosts=127.0.0.1"}, "READER1", true, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ReceiverSite site;
        site.writeSettings(site.aeTitle(), std::to_string(site.port()), c.settings);
        site.install("Recvora");
        auto receiver = site.start("Recvora");
        ASSERT_TRUE(waitUntil([&] { return contains(site.logText(), "Recvora starting"); }, 30s)) << site.logText();
        SourceFiles src;
        src.add();
        auto args = site.storescuArgs({src.dir()}, {"+sd"});
        args[4] = c.callingAe;  // after "-aet"
        ASSERT_EQ(args[3], "-aet");
        // Sent twice: a refused peer that tries again adds no second line.
        for (int attempt = 0; attempt < 2; ++attempt) {
            const auto result = runCommand(args, 60s, {"TCP_NODELAY=1"});
            EXPECT_EQ(result.code == 0, c.accepted) << result.output << site.logText();
        }
        if (c.accepted) {
            EXPECT_EQ(site.tempFiles().size(), 2u);
            continue;
        }
        EXPECT_TRUE(site.tempFiles().empty());
        const std::string line =
            std::string("Association from ") + c.callingAe + " (127.0.0.1) refused: " + c.refusal;
        EXPECT_EQ(occurrences(site.logText(), line), 1u) << site.logText();
        // An echo is refused the same way.
        EXPECT_NE(site.echo(c.callingAe).code, 0);
    }
}

TEST(RecvoraTest, ListensOnlyOnTheConfiguredAddress)
{
    ReceiverSite site;
    site.writeSettings(site.aeTitle(), std::to_string(site.port()), {"IR_ListenAddress=127.0.0.2"});
    site.install("Recvora");
    auto receiver = site.start("Recvora");
    ASSERT_TRUE(waitUntil([&] { return site.echo("TESTSCU", "127.0.0.2").code == 0; }, 30s, 100ms))
        << site.logText();
    EXPECT_NE(site.echo("TESTSCU", "127.0.0.1").code, 0);
    EXPECT_TRUE(contains(site.logText(), "on port " + std::to_string(site.port()) + " of 127.0.0.2")) << site.logText();
}

TEST(RecvoraTest, InvalidAccessSettingsEndWithAClearLogLine)
{
    struct Case {
        const char* setting;
        const char* line;
    } cases[] = {
        {"IR_AllowedAETs=READER1, FAR_TOO_LONG_A_TITLE", "invalid calling AE title \"FAR_TOO_LONG_A_TITLE\""},
        {"IR_AllowedHosts=10.1.2.300", "invalid address \"10.1.2.300\""},
        {"IR_AllowedHosts=10.1.2.0/33", "invalid address \"10.1.2.0/33\""},
        {"IR_ListenAddress=localhost", "invalid listen address \"localhost\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.setting);
        ReceiverSite site;
        site.writeSettings(site.aeTitle(), std::to_string(site.port()), {c.setting});
        site.install("Recvora");
        auto receiver = site.start("Recvora");
        const auto code = receiver->wait(30s);
        ASSERT_TRUE(code.has_value());
        EXPECT_EQ(*code, corva::receiver::ReceiverService::BadSettings);
        EXPECT_TRUE(contains(site.logText(), std::string("Recvora cannot start: ") + c.line)) << site.logText();
    }
}

TEST(RecvoraTest, ImageWithoutPixelDataIsRefused)
{
    ReceiverSite site;
    auto receiver = site.startReceiver();
    SourceFiles src;
    DicomRecipe noPixels;
    noPixels.rows = 0;  // no pixel data
    const auto empty = src.add(noPixels);
    const auto good = src.add();
    const auto result = site.send({empty, good}, {"--no-halt", "-v"});
    EXPECT_TRUE(contains(result.output, "Store Response (Error: CannotUnderstand)")) << result.output;
    EXPECT_EQ(site.tempFiles(), dcmNames({src.uids()[1]}));
    EXPECT_TRUE(logShows(site, "released: 1 stored, 1 refused")) << site.logText();
    EXPECT_TRUE(contains(site.logText(), "Refused object \"" + src.uids()[0] +
                                             "\": an image storage object without pixel data (from TESTSCU (127.0.0.1))"))
        << site.logText();
}

TEST(RecvoraTest, AccessListEntries)
{
    using corva::dicom::isValidPeerEntry;
    using corva::dicom::peerMatches;
    EXPECT_EQ(corva::dicom::splitEntries(" A B ,C;\nD,, "), (std::vector<std::string>{"A B", "C", "D"}));
    for (const char* good : {"10.1.2.3", "10.0.0.0/8", "0.0.0.0/0", "192.168.1.7/32"})
        EXPECT_TRUE(isValidPeerEntry(good)) << good;
    for (const char* bad : {"", "10.1.2", "10.1.2.3/", "10.1.2.3/33", "host.example", "10.1.2.3/-1", "::1"})
        EXPECT_FALSE(isValidPeerEntry(bad)) << bad;
    EXPECT_TRUE(peerMatches("10.1.2.3", {"10.1.2.3"}));
    EXPECT_TRUE(peerMatches("10.1.200.3", {"192.168.0.1", "10.1.0.0/16"}));
    EXPECT_FALSE(peerMatches("10.2.0.1", {"10.1.0.0/16"}));
    EXPECT_FALSE(peerMatches("not an address", {"0.0.0.0/0"}));
    EXPECT_TRUE(corva::dicom::isValidAeTitle("CR READER"));
    EXPECT_FALSE(corva::dicom::isValidAeTitle("A\\B"));
    EXPECT_FALSE(corva::dicom::isValidAeTitle("   "));
    EXPECT_FALSE(corva::dicom::isValidAeTitle("SEVENTEEN_CHARS_X"));
}

}  // namespace
}  // namespace corva::test
