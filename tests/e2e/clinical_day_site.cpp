#include "clinical_day_site.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include "app/main_form.h"
#include "common/config_state.h"
#include "common/list_view.h"
#include "common/station_context.h"
#include "core/error.h"
#include "core/paths.h"
#include "db/database.h"
#include "dicom/dicom.h"
#include "dose/dose_capture.h"
#include "dose/exposure.h"
#include "dose_test_support.h"
#include "jobs/edit_form.h"
#include "poll_until.h"
#include "query.h"
#include "station/scripted_operator.h"
#include "temp_dir.h"
#include "test_archive.h"
#include "viewer/dicom_viewer.h"
#include "viewer/loaded_image.h"
#include "viewer/study_loader.h"

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
    // A short wait for the archive's answers, as a site would configure it: a stalled
    // archive ends a send in seconds, not a minute.
    std::ofstream(scratch() / "config" / "ZKT" / "Lumenpost.conf", std::ios::app)
        << "DIMSE_Timeout=" << AnswerWaitSeconds << "\n";
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

void DaySite::startPeer(std::vector<std::string> options, ArchiveState state) {
    archiveDown();
    const int port = freePort();
    const std::string n = std::to_string(peerLogs_.size() + 1);
    // Each run its own folder: the peer names its files by UID, and every copy it was
    // given stays to be checked.
    const fs::path log = scratch() / ("archive-peer-" + n + ".answers");
    const fs::path output = scratch() / ("archive-peer-" + n + ".out");
    std::vector<std::string> argv{testArchiveProgram().string(), "--port", std::to_string(port), "--aet", "ARCHIVE",
                                  "--out", (archiveFolder() / ("peer-" + n)).string(), "--log", log.string()};
    argv.insert(argv.end(), options.begin(), options.end());
    peerLogs_.push_back(log);
    peer_ = std::make_unique<ChildProcess>(argv, std::vector<std::string>{}, output);
    const std::string ready = "ready " + std::to_string(port);
    if (!waitUntil([&] { return readFile(output).find(ready) != std::string::npos || !peer_->running(); }, 20s) ||
        !peer_->running())
        throw std::runtime_error("corva_test_archive did not start: " + readFile(output));
    lastArchivePort_ = port;
    archiveState_ = state;
}

void DaySite::archiveWarning(const std::string& status) {
    startPeer({"--warn", status, "--comment", "Coerced on storage"}, ArchiveState::Warning);
}

void DaySite::archiveRefusingSome(int k) {
    startPeer({"--refuse-every", std::to_string(k)}, ArchiveState::RefusingSome);
}

void DaySite::archiveStalling(int after) {
    startPeer({"--stall-after", std::to_string(after)}, ArchiveState::Stalling);
}

std::vector<std::pair<std::string, std::string>> DaySite::archiveAnswers() const {
    std::vector<std::pair<std::string, std::string>> out;
    std::error_code ec;
    for (const fs::path& log : peerLogs_) {
        if (!fs::exists(log, ec)) continue;
        std::istringstream in(readFile(log));
        for (std::string line; std::getline(in, line);) {
            const auto tab = line.find('\t');
            if (tab != std::string::npos) out.emplace_back(line.substr(0, tab), line.substr(tab + 1));
        }
    }
    return out;
}

void DaySite::archiveUp() {
    archiveDown();
    // Unique names: every copy the archive was given stays to be checked.
    archive_ = std::make_unique<StoreScp>(archiveFolder(), std::vector<std::string>{"+uf"}, "ARCHIVE");
    lastArchivePort_ = archive_->port();
    archiveState_ = ArchiveState::Up;
}

void DaySite::archiveRefusing() {
    archiveDown();
    archive_ = std::make_unique<StoreScp>(archiveFolder(), std::vector<std::string>{"--refuse"}, "ARCHIVE");
    lastArchivePort_ = archive_->port();
    archiveState_ = ArchiveState::Refusing;
}

void DaySite::archiveDown() {
    if (archive_) archive_->stop();
    archive_.reset();
    peer_.reset();
    archiveState_ = ArchiveState::Down;
}

std::string DaySite::archiveDestination() const { return "ARCHIVE@127.0.0.1:" + std::to_string(lastArchivePort_); }

const std::map<std::string, std::vector<ArchivedCopy>>& DaySite::archived() {
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(archiveFolder(), ec)) {
        // A peer's file is whole once renamed from its .part.
        if (!entry.is_regular_file() || entry.path().extension() == ".part") continue;
        const std::string name = fs::relative(entry.path(), archiveFolder()).string();
        const fs::file_time_type written = entry.last_write_time(ec);
        const auto read = archiveFilesRead_.find(name);
        if (read != archiveFilesRead_.end() && read->second == written) continue;
        archiveFilesRead_[name] = written;
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

DaySite::StationRun DaySite::stationForward(const std::string& patientId, bool keep) {
    using namespace corva::station;
    StationRun run;
    // The archive as it is now, the station's only and default destination.
    {
        db::Database db(folder() / "Data" / "QAUser.dat");
        db.exec("DELETE FROM tblSCP");
        auto st = db.prepare(
            "INSERT INTO tblSCP (Alias, AET, IP, Port, \"Default\") VALUES ('ARCHIVE', 'ARCHIVE', '127.0.0.1', ?, 1)");
        st.bind(1, lastArchivePort_);
        st.run();
    }
    auto& g = stationContext();
    g.dataDb.closeIfOpen();
    g.userDb.closeIfOpen();
    g = StationContext{};
    g.paths = ProgramPaths::compute(folder());
    g.dataDb.setFile(g.paths.imageDb);
    g.userDb.setFile(g.paths.userDb);
    const auto configure = [keep] {
        settings::Settings& s = settings::current();
        s.xrayComm = dose::unit::Sophie;
        s.sentAndKeep = keep ? 1 : 0;
        s.dimseTimeout = AnswerWaitSeconds;
        s.comDevice.clear();  // the line is the simulation's own link's
    };
    settings::current() = settings::Settings{};
    settings::LoadSettings(settings::current());
    configure();
    configState() = ConfigState{};
    loadedImageSet().clear();

    ScriptedOperator desk;
    OperatorSeamGuard guard(desk);
    desk.answer(MsgResult::Yes);
    desk.answerWindow(ScriptedOperator::runModal(
        [&run](QDialog& d) {
            auto* form = dynamic_cast<jobs::EditForm*>(&d);
            if (!form) {
                d.reject();
                return;
            }
            if (!pollUntil([&] { return form->cmdOK()->isEnabled(); }, 120000)) return;
            run.jobLog = form->txtProgress()->toPlainText().toStdString();
            QTest::mouseClick(form->cmdOK(), Qt::LeftButton);
        },
        150000));
    {
        auto form = std::make_unique<MainForm>();
        form->Form_Load();
        form->UpdateTimer()->stop();
        configure();
        form->resize(1200, 900);
        form->show();
        if (!QTest::qWaitForWindowExposed(form.get())) run.loadNote = "the window was not shown; ";
        form->dose().refreshDoseList();
        const auto click = [](ListView* list, QTreeWidgetItem* item) {
            list->scrollToItem(item);
            const QRect r = list->visualItemRect(item);
            QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, QPoint(r.left() + 8, r.center().y()));
            pollUntil([] { return StudyLoader::runningLoads() == 0; }, 30000);
        };
        const auto found = form->lvPatients()->findItems(QString::fromStdString(patientId), Qt::MatchExactly, 0);
        if (found.isEmpty()) {
            run.loadNote += "the patient is not in the station's list";
        } else {
            click(form->lvPatients(), found.first());
            if (form->lvStudien()->count() < 1) {
                run.loadNote += "no study listed";
            } else {
                click(form->lvStudien(), form->lvStudien()->itemAtPosition(1));
                pollUntil([&] { return form->dv1()->count() == form->lvImages()->count(); }, 30000);
                // The first click loads the study; Automatic waits for a click on a study shown.
                if (!form->cmdAll()->isEnabled()) {
                    click(form->lvStudien(), form->lvStudien()->itemAtPosition(1));
                    pollUntil([&] { return form->dv1()->count() == form->lvImages()->count(); }, 30000);
                }
                form->dose().refreshDoseList();
                run.enabled = form->cmdAll()->isEnabled();
                run.loadNote += std::to_string(form->lvImages()->count()) + " image(s) listed, " +
                                std::to_string(form->lvDosis()->count()) + " record(s) on the dose list";
                if (run.enabled) {
                    run.pressed = true;
                    QTest::mouseClick(form->cmdAll(), Qt::LeftButton);
                }
            }
        }
        form->close();
    }
    for (const auto& shown : desk.shown())
        run.shown.push_back((shown.kind == ScriptedOperator::Kind::Window ? "window " : "message ") +
                            shown.text.toStdString() + (shown.answered ? "" : " (not answered)"));
    g.dataDb.closeIfOpen();
    g.userDb.closeIfOpen();
    loadedImageSet().clear();
    return run;
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
