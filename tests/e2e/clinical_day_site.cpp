#include "clinical_day_site.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

#include "core/error.h"
#include "core/paths.h"
#include "db/database.h"
#include "dicom/dicom.h"
#include "dose/exposure.h"
#include "dose_test_support.h"
#include "poll_until.h"
#include "query.h"
#include "temp_dir.h"

namespace corva::test::day {

namespace fs = std::filesystem;

namespace {

std::optional<double> number(const dicom::DataSet& header, dicom::Tag tag) {
    const dicom::Attribute a = header.get(tag);
    if (a.isNull() || a.text.empty()) return std::nullopt;
    try {
        return std::stod(a.text);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::string textOf(const db::Statement& st, int col) { return st.isNull(col) ? std::string() : st.getText(col); }

}  // namespace

// ---- the unit's line ----------------------------------------------------------------

UnitLine::UnitLine(const fs::path& folder) : stationEnd_(folder / "station"), unitEnd_(folder / "unit") {
    fs::create_directories(folder);
    socat_ = std::make_unique<ChildProcess>(std::vector<std::string>{
        "socat", "pty,raw,echo=0,link=" + stationEnd_.string(), "pty,raw,echo=0,link=" + unitEnd_.string()});
    if (!waitUntil([&] { return fs::exists(stationEnd_) && fs::exists(unitEnd_); }, 20s))
        throw std::runtime_error("socat made no pseudo-terminal pair");
    fd_ = ::open(unitEnd_.c_str(), O_WRONLY | O_NOCTTY);
    if (fd_ < 0) throw std::runtime_error("the unit's end of the line does not open: " + unitEnd_.string());
}

UnitLine::~UnitLine() {
    if (fd_ >= 0) ::close(fd_);
}

bool UnitLine::write(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// ---- the site -----------------------------------------------------------------------

DaySite::DaySite() {
    dose::test::app();  // the link's port and timers need the application's event loop
    for (const char* program : {"Recvora", "Ingrado", "corvactl"}) site_.install(program);
    ingest_ = site_.start("Ingrado");
    if (!waitUntil([&] { return fs::exists(imageDb()); }, 30s))
        throw std::runtime_error("Ingrado made no image database");
    receiver_ = site_.startReceiver();
    fs::create_directories(archiveFolder());
    archiveUp();

    // The station's link logs into the site's program folder, not the build's.
    setProgramFolderForTesting(folder());
    line_ = std::make_unique<UnitLine>(scratch() / "line");
    linkSettings_.comSpeed = 5;
    linkSettings_.comParity = 2;
    linkSettings_.comBitGet = 4;
    linkSettings_.comBitPut = 0;
    linkSettings_.comFlux = 0;
    linkSettings_.comPort = 1;
    linkSettings_.comDevice = line_->station();
    linkSettings_.xrayComm = dose::unit::Sophie;
    store_ = std::make_unique<dose::DoseStore>(imageDb());
    link_ = std::make_unique<dose::DoseLink>(linkSettings_, folder(), *store_);
    link_->start();
    if (!link_->isOpen()) throw std::runtime_error("the X-ray unit link did not open " + line_->station());
}

DaySite::~DaySite() {
    link_.reset();
    store_.reset();
    line_.reset();
    setProgramFolderForTesting({});
}

CommandResult DaySite::readerSends(const std::vector<fs::path>& files) const {
    return runCommand(site_.storescuArgs(files), 120s, {"TCP_NODELAY=1"});
}

bool DaySite::unitWrites(const std::string& records, std::size_t expected) {
    const auto count = [&] { return queryNumber(imageDb(), "SELECT COUNT(*) FROM tblDosis"); };
    const std::int64_t before = count();
    if (!line_->write(records)) return false;
    return pollUntil([&] { return count() >= before + static_cast<std::int64_t>(expected); }, 20000);
}

void DaySite::runLink(std::chrono::milliseconds duration) {
    pollUntil([] { return false; }, static_cast<int>(duration.count()));
}

void DaySite::archiveUp() {
    archive_.reset();
    // Unique names: every copy the archive was given stays to be checked.
    archive_ = std::make_unique<StoreScp>(archiveFolder(), std::vector<std::string>{"+uf"}, "ARCHIVE");
    lastArchivePort_ = archive_->port();
    archiveState_ = ArchiveState::Up;
}

void DaySite::archiveRefusing() {
    archive_.reset();
    archive_ = std::make_unique<StoreScp>(archiveFolder(), std::vector<std::string>{"--refuse"}, "ARCHIVE");
    lastArchivePort_ = archive_->port();
    archiveState_ = ArchiveState::Refusing;
}

void DaySite::archiveDown() {
    if (archive_) archive_->stop();
    archive_.reset();
    archiveState_ = ArchiveState::Down;
}

std::string DaySite::archiveDestination() const { return "ARCHIVE@127.0.0.1:" + std::to_string(lastArchivePort_); }

const std::map<std::string, std::vector<ArchivedCopy>>& DaySite::archived() {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(archiveFolder(), ec)) {
        if (!entry.is_regular_file()) continue;
        const std::string name = entry.path().filename().string();
        if (archiveFilesRead_.count(name)) continue;
        archiveFilesRead_.insert(name);
        try {
            const dicom::Image image = dicom::Image::read(entry.path(), dicom::ReadMode::HeaderOnly);
            const dicom::DataSet header = image.attributes();
            ArchivedCopy copy;
            copy.file = name;
            copy.sopClassUid = image.sopClassUid();
            copy.kvp = number(header, {0x0018, 0x0060});
            copy.exposure = number(header, {0x0018, 0x1152});
            copy.imageLaterality = header.get({0x0020, 0x0062}).text;
            archived_[image.sopInstanceUid()].push_back(copy);
        } catch (const std::exception& e) {
            unreadable_.push_back(name + ": " + e.what());
        }
    }
    return archived_;
}

void DaySite::restartIngest() {
    ingest_.reset();
    ingest_ = site_.start("Ingrado");
}

void DaySite::killIngest() { ingest_.reset(); }

std::vector<std::string> DaySite::tempImages() const {
    std::vector<std::string> names;
    for (const std::string& name : site_.tempFiles())
        if (name.ends_with(".dcm")) names.push_back(name);
    return names;
}

bool DaySite::waitIdle(std::chrono::milliseconds timeout) {
    if (!ingest_) restartIngest();
    return waitUntil([&] { return tempImages().empty(); }, timeout, 50ms);
}

CtlRun DaySite::ctl(const std::vector<std::string>& args) const {
    const fs::path err = scratch() / ("ctl-" + std::to_string(++runs_) + ".err");
    std::vector<std::string> argv{"sh", "-c", "exec \"$0\" \"$@\" 2>\"$CTL_ERR\"", (folder() / "corvactl").string()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env = site_.environment();
    env.push_back("CTL_ERR=" + err.string());
    const CommandResult r = runCommand(argv, 120s, env);
    CtlRun out{r.code, r.output, {}};
    std::error_code ec;
    if (fs::exists(err, ec)) {
        out.err = readFile(err);
        fs::remove(err, ec);
    }
    return out;
}

std::unique_ptr<ChildProcess> DaySite::ctlStarted(const std::vector<std::string>& args,
                                                  const fs::path& output) const {
    std::vector<std::string> argv{(folder() / "corvactl").string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<ChildProcess>(argv, site_.environment(), output);
}

std::set<std::string> DaySite::imageRows() const {
    std::set<std::string> uids;
    db::Database db(imageDb());
    auto st = db.prepare("SELECT ImageUID FROM tblImages");
    while (st.step()) uids.insert(textOf(st, 0));
    return uids;
}

std::map<std::string, std::string> DaySite::imageStudies() const {
    std::map<std::string, std::string> studies;
    db::Database db(imageDb());
    auto st = db.prepare(
        "SELECT i.ImageUID, st.StudyUID FROM tblImages i JOIN tblSeries s ON s.SeriesID = i.FKeySeriesID "
        "JOIN tblStudies st ON st.StudyID = s.FKeyStudyID");
    while (st.step()) studies[textOf(st, 0)] = textOf(st, 1);
    return studies;
}

std::vector<DoseRecordRow> DaySite::doseRecords() const {
    std::vector<DoseRecordRow> rows;
    db::Database db(imageDb());
    auto st = db.prepare("SELECT ID, KVP, ma, Status, Datum, Zeit, Sonstiges FROM tblDosis ORDER BY ID");
    while (st.step())
        rows.push_back({st.getInt(0), textOf(st, 1), textOf(st, 2), textOf(st, 3), textOf(st, 4), textOf(st, 5),
                        textOf(st, 6)});
    return rows;
}

std::string DaySite::logs() const {
    std::string text;
    std::error_code ec;
    for (const fs::path& dir : {folder() / "Logs", scratch()}) {
        for (const auto& entry : fs::directory_iterator(dir, ec)) {
            const auto ext = entry.path().extension();
            if (!entry.is_regular_file() || (ext != ".log" && ext != ".out")) continue;
            std::string body = readFile(entry.path());
            if (body.size() > 4000) body = "..." + body.substr(body.size() - 4000);
            text += "--- " + entry.path().filename().string() + "\n" + body + "\n";
        }
    }
    return text;
}

}  // namespace corva::test::day
