#pragma once
// The station context: program paths, the two database connections,
// the refresh lock and poll flag, the remembered service ids and the current
// selection of the browser. One instance for the program (stationContext()); the
// user-interface thread alone touches it.
#include <cstdint>
#include <filesystem>
#include <string>

#include "common/forwarding_mode.h"
#include "db/connection.h"
#include "process/service_unit.h"

namespace corva::station {

// Paths computed once from the program folder.
struct ProgramPaths {
    std::filesystem::path programFolder;
    std::filesystem::path executables;     // Recvora and Ingrado: the program folder, or /usr/lib/corvalight
    std::filesystem::path transferFolder;  // created at start, not used otherwise
    std::filesystem::path inputFolder;     // Temp: where Ingrado takes files from
    std::filesystem::path workFolder;      // bin: converted images waiting to be sent
    std::filesystem::path imageStore;      // Images/<study UID>/<SOP instance UID>.dcm
    std::filesystem::path dataFolder;
    std::filesystem::path userDb;          // Data/QAUser.dat
    std::filesystem::path imageDb;         // Data/QAData.dat
    std::filesystem::path templateDb;      // Data/QADef.dat

    // `executables` empty: they are in the program folder.
    static ProgramPaths compute(const std::filesystem::path& programFolder,
                                const std::filesystem::path& executables = {});
};

// The file of an image in the image store; empty when either UID is unsafe as a name.
std::filesystem::path imageFile(const ProgramPaths& paths, const std::string& studyUid, const std::string& imageUid);

// The browser's record of what the operator chose.
struct CurrentSelection {
    std::int64_t patientKey = 0;   // PATID
    std::string patientId;         // PATID1
    std::string patientName;
    int patientIndex = 0;          // 1-based position in lvPatients
    std::string studyId;           // StudyID as text
    std::string studyUid;
    int studyIndex = 0;
    std::string seriesId;
    int seriesCount = 0;
    int seriesIndex = 0;
    std::string loadedLevel;       // "Studie" or "Serie"
};

struct StationContext {
    ProgramPaths paths;
    process::UnitSearch units;  // where systemd's units of the services are looked for
    db::Connection dataDb;  // image database
    db::Connection userDb;  // configuration database

    // While set, RefreshPatientList does nothing: a study loads, a patient is
    // deleted or the job window is open.
    bool refreshLock = false;
    int receiverPid = 0;  // 0 = none remembered
    int ingestPid = 0;

    CurrentSelection selection;
    ForwardingMode forwardingMode = ForwardingMode::None;
    bool removedAfterSend = false;
};

StationContext& stationContext();

// The station's two connections, opened before and closed after each piece of work.
// Silent on every error: a statement on a connection that failed to open fails instead.
inline void OpenDataDB() { stationContext().dataDb.openIfClosed(); }
inline void CloseDataDB() { stationContext().dataDb.closeIfOpen(); }
inline void OpenUserDB() { stationContext().userDb.openIfClosed(); }
inline void CloseUserDB() { stationContext().userDb.closeIfOpen(); }

// Holds the refresh lock for a scope and restores the previous state after.
class RefreshLockGuard {
public:
    RefreshLockGuard() : previous_(stationContext().refreshLock) { stationContext().refreshLock = true; }
    ~RefreshLockGuard() { stationContext().refreshLock = previous_; }
    RefreshLockGuard(const RefreshLockGuard&) = delete;
    RefreshLockGuard& operator=(const RefreshLockGuard&) = delete;

private:
    bool previous_;
};

// Opens a connection for a piece of work and closes it after, also on the error path.
class OpenedDb {
public:
    explicit OpenedDb(db::Connection& c) : c_(c) { c_.openIfClosed(); }
    ~OpenedDb() { c_.closeIfOpen(); }
    OpenedDb(const OpenedDb&) = delete;
    OpenedDb& operator=(const OpenedDb&) = delete;
    db::Database& db() { return c_.db(); }

private:
    db::Connection& c_;
};

}  // namespace corva::station

#include <QColor>

namespace corva::station {
// A colour setting (0x00BBGGRR, red in the lowest byte) as a QColor, and back.
inline QColor colourFromSetting(std::int32_t bgr) {
    return QColor(bgr & 0xFF, (bgr >> 8) & 0xFF, (bgr >> 16) & 0xFF);
}
inline std::int32_t colourToSetting(const QColor& c) {
    return c.red() | (c.green() << 8) | (c.blue() << 16);
}
}  // namespace corva::station
