#pragma once
// Small helpers shared by the database tests: fresh databases in temporary folders,
// a patient-to-image chain as the ingest service writes it, and the sqlite3 shell.
#include <cstdio>
#include <filesystem>
#include <string>

#include "db/database.h"
#include "db/schema.h"

namespace corva::test {

inline db::Database newImageDb(const std::filesystem::path& file)
{
    db::Database d(file, true);
    db::createImageSchema(d);
    return d;
}

inline db::Database newUserDb(const std::filesystem::path& file)
{
    db::Database d(file, true);
    db::createUserSchema(d);
    return d;
}

inline std::int64_t scalar(db::Database& d, const std::string& sql)
{
    auto st = d.prepare(sql);
    return st.step() ? st.getInt(0) : -1;
}

struct ChainKeys {
    std::int64_t patient, study, series, image;
};

// One registration: patient, study, series and image rows, each with its look-ups.
inline ChainKeys insertChain(db::Database& d, const std::string& patId, const std::string& imageUid,
                             const std::string& lastName = "Muster")
{
    ChainKeys k{};
    d.prepare("INSERT INTO tblPatienten (PATID1, PATNachname, PATVorname, PATGebDatum, PATGeschlecht) "
              "VALUES (?, ?, '-', '1899-12-31', 'O')")
        .bind(1, patId)
        .bind(2, lastName)
        .run();
    k.patient = d.lastInsertRowId();
    d.prepare("INSERT INTO tblModalities (Modality) VALUES ('MG')").run();
    auto mod = d.lastInsertRowId();
    d.prepare("INSERT INTO tblBodyparts (Bodypart) VALUES ('BREAST')").run();
    auto part = d.lastInsertRowId();
    d.prepare("INSERT INTO tblStudies (FKeyPATID, FKeyUeberweiserID, FKeyBodypartID, FKeyModID, FKeyAccessionID, "
              "StudyDate, StudyTime, StudyUID, StudyNr, StudyDescription, ReporterID1, ReporterID2, ReporterID3) "
              "VALUES (?, 0, ?, ?, 0, '2026-12-09', '2026-12-09 10:00:00', ?, 0, 'N/A', 0, 0, 0)")
        .bind(1, k.patient)
        .bind(2, part)
        .bind(3, mod)
        .bind(4, imageUid + ".1")
        .run();
    k.study = d.lastInsertRowId();
    d.prepare("INSERT INTO tblSeries (FKeyStudyID, SeriesUID, SeriesNr, SeriesCBA) VALUES (?, ?, 1, '0')")
        .bind(1, k.study)
        .bind(2, imageUid + ".2")
        .run();
    k.series = d.lastInsertRowId();
    d.prepare("INSERT INTO tblImages (FKeySeriesID, ImageUID, ImageNr, ImageDate, ImageTime) "
              "VALUES (?, ?, 1, '2026-12-09', '2026-12-09 10:00:00')")
        .bind(1, k.series)
        .bind(2, imageUid)
        .run();
    k.image = d.lastInsertRowId();
    return k;
}

// Runs the sqlite3 command-line shell; returns its output, or "<exit N>" on failure.
inline std::string sqliteShell(const std::filesystem::path& file, const std::string& sql)
{
    std::string cmd = "sqlite3 '" + file.string() + "' \"" + sql + "\" 2>&1";
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p)
        return "<popen failed>";
    std::string out;
    char buf[512];
    while (std::fgets(buf, sizeof buf, p))
        out += buf;
    int rc = ::pclose(p);
    if (rc != 0)
        return "<exit " + std::to_string(rc) + "> " + out;
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

}  // namespace corva::test
