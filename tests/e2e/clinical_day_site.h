#pragma once
// The site of a simulated clinical day, every part real: Recvora and Ingrado running
// in a program folder, storescu as the CR reader, storescp as the archive (refusing,
// stopped and back as the day goes) or corva_test_archive when it misbehaves (warns,
// refuses some images, stalls), a socat pseudo-terminal pair as the X-ray unit's
// line with the station's own X-ray unit link reading the other end in this process,
// and two operators: corvactl, and the station's main window offscreen in this process.
#include <QDateTime>
#include <QString>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "child_process.h"
#include "dose/dose_link.h"
#include "dose/dose_store.h"
#include "recvora_harness.h"
#include "settings/settings.h"
#include "store_scp.h"

namespace corva::test::day {

// corvactl run to its end: exit status, standard output and standard error apart.
struct CtlRun {
    int code = -1;
    std::string out;
    std::string err;
};

// One copy of an image the archive holds, as read from its file.
struct ArchivedCopy {
    std::string file;
    std::string sopClassUid;
    std::optional<double> kvp;       // (0018,0060)
    std::optional<double> exposure;  // (0018,1152)
    std::string imageLaterality;     // (0020,0062)
};

// A tblDosis row as the checks need it.
struct DoseRecordRow {
    std::int64_t id = 0;
    std::string kvp, mas, status, datum, zeit, sonstiges;
};

// The X-ray unit's end of a socat pseudo-terminal pair; the station's end is `station()`.
class UnitLine {
public:
    explicit UnitLine(const std::filesystem::path& folder);
    ~UnitLine();
    UnitLine(const UnitLine&) = delete;
    UnitLine& operator=(const UnitLine&) = delete;
    std::string station() const { return stationEnd_.string(); }
    // Writes as the unit does; false when the line did not take every byte.
    bool write(const std::string& bytes);

private:
    std::filesystem::path stationEnd_, unitEnd_;
    std::unique_ptr<ChildProcess> socat_;
    int fd_ = -1;
};

class DaySite {
public:
    DaySite();
    ~DaySite();
    DaySite(const DaySite&) = delete;
    DaySite& operator=(const DaySite&) = delete;

    const std::filesystem::path& folder() const { return site_.folder(); }
    const std::filesystem::path& scratch() const { return site_.scratch(); }
    std::filesystem::path imageDb() const { return folder() / "Data" / "QAData.dat"; }
    std::filesystem::path archiveFolder() const { return scratch() / "archive"; }

    // ---- the reader ----
    // storescu of these files to Recvora, in this order, one association.
    CommandResult readerSends(const std::vector<std::filesystem::path>& files) const;

    // ---- the X-ray unit ----
    // Writes the records on the line and runs the station's link until `expected` more
    // records are stored; false when they did not arrive.
    bool unitWrites(const std::string& records, std::size_t expected);
    // Lets the station's link run a moment (records written meanwhile are stored).
    void runLink(std::chrono::milliseconds duration);
    const dose::DoseStore& doseStore() const { return *store_; }

    // ---- the archive ----
    enum class ArchiveState { Up, Refusing, Down, Warning, RefusingSome, Stalling };
    ArchiveState archiveState() const { return archiveState_; }
    void archiveUp();
    void archiveRefusing();
    void archiveDown();
    // corva_test_archive: stores every image with this warning status and a comment.
    void archiveWarning(const std::string& status);
    // corva_test_archive: refuses every k-th image it receives (counted over its run).
    void archiveRefusingSome(int k);
    // corva_test_archive: stores `after` images, then takes the next and never answers.
    void archiveStalling(int after);
    // Each image the misbehaving archives received, in order: SOP instance UID and
    // answer ("0000", "B000", "A700", "stall"...), over all of them since the start.
    std::vector<std::pair<std::string, std::string>> archiveAnswers() const;
    // The send jobs' wait for each answer of the archive (Com\DIMSE_Timeout).
    static constexpr int AnswerWaitSeconds = 2;
    // "<AET>@127.0.0.1:<port>" of the archive as it is now (nothing listens when down).
    std::string archiveDestination() const;
    // Every copy the archive holds, by SOP instance UID (files read once, cached).
    const std::map<std::string, std::vector<ArchivedCopy>>& archived();
    std::vector<std::string> unreadableArchiveFiles() const { return unreadable_; }

    // ---- the services ----
    void restartIngest();
    // Kills Ingrado; it stays down until restartIngest().
    void killIngest();
    // Until Temp holds no image file (Ingrado filed everything); false on time-out.
    bool waitIdle(std::chrono::milliseconds timeout = std::chrono::seconds(60));
    std::vector<std::string> tempImages() const;

    // ---- the operator ----
    CtlRun ctl(const std::vector<std::string>& args) const;
    // corvactl started and left running (to be killed, or waited for).
    std::unique_ptr<ChildProcess> ctlStarted(const std::vector<std::string>& args, const std::filesystem::path& output) const;

    // ---- the station's window ----
    struct StationRun {
        bool enabled = false;  // Automatic was enabled for the study
        bool pressed = false;
        std::vector<std::string> shown;  // messages and windows the operator saw, in order
        std::string loadNote;
        std::string jobLog;  // the job window's log as it stood when OK was pressed
    };
    // Opens the main window on the site with the archive as its default destination,
    // clicks the patient and its study, presses Automatic when it is enabled, answers
    // the pairs question Yes and OK in the job window once it is done.
    StationRun stationForward(const std::string& patientId, bool keep);

    // ---- what the database holds ----
    std::set<std::string> imageRows() const;
    // SOP instance UID -> study UID of every image row.
    std::map<std::string, std::string> imageStudies() const;
    std::vector<DoseRecordRow> doseRecords() const;

    std::string logs() const;

private:
    void startPeer(std::vector<std::string> options, ArchiveState state);
    ReceiverSite site_;
    std::unique_ptr<ChildProcess> ingest_;
    std::unique_ptr<ChildProcess> receiver_;
    std::unique_ptr<StoreScp> archive_;
    std::unique_ptr<ChildProcess> peer_;
    std::vector<std::filesystem::path> peerLogs_;
    ArchiveState archiveState_ = ArchiveState::Down;
    int lastArchivePort_ = 9;
    std::map<std::string, std::vector<ArchivedCopy>> archived_;
    // Each archive file read, by name, with the time it was written: the peer stores a
    // UID sent again under the same name, and each copy it was given counts (once given,
    // an image was at the archive, as storescp's unique names keep it).
    std::map<std::string, std::filesystem::file_time_type> archiveFilesRead_;
    std::vector<std::string> unreadable_;
    std::unique_ptr<UnitLine> line_;
    settings::Settings linkSettings_;
    std::unique_ptr<dose::DoseStore> store_;
    std::unique_ptr<dose::DoseLink> link_;
    mutable int runs_ = 0;
};

}  // namespace corva::test::day
