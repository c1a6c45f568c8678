#include "registrar.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <limits>
#include <vector>
#include <system_error>

#include "core/error.h"
#include "core/file_identity.h"
#include "core/paths.h"
#include "durable.h"
#include "ingest_log.h"
#include "store_fault.h"

namespace corva::ingest {

namespace fs = std::filesystem;

namespace {

std::string upper(std::string s)
{
    for (char& c : s)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return s;
}

const char* trueFalse(bool b)
{
    return b ? "True" : "False";
}

}  // namespace

bool sameContent(const fs::path& a, const fs::path& b)
{
    const auto ia = fileIdentity(a);
    const auto ib = fileIdentity(b);
    if (!ia || !ib || ia->size != ib->size)
        return false;
    if (ia->inode == ib->inode && ia->device == ib->device)
        return true;
    std::ifstream fa(a, std::ios::binary);
    std::ifstream fb(b, std::ios::binary);
    std::vector<char> ba(1 << 16), bb(1 << 16);
    while (fa && fb) {
        fa.read(ba.data(), static_cast<std::streamsize>(ba.size()));
        fb.read(bb.data(), static_cast<std::streamsize>(bb.size()));
        if (fa.gcount() != fb.gcount() || !std::equal(ba.begin(), ba.begin() + fa.gcount(), bb.begin()))
            return false;
    }
    return fa.eof() && fb.eof();
}

namespace {

// Where the data set of a Part-10 file begins: after the preamble, "DICM" and the meta
// group, whose length its first element, (0002,0000) UL in explicit VR, gives. 0 for a
// file of another form.
std::streamoff dataSetStart(std::ifstream& in)
{
    unsigned char head[144];
    in.read(reinterpret_cast<char*>(head), sizeof head);
    if (in.gcount() != static_cast<std::streamsize>(sizeof head) || std::memcmp(head + 128, "DICM", 4) != 0 ||
        head[132] != 0x02 || head[133] != 0x00 || head[134] != 0x00 || head[135] != 0x00 ||
        std::memcmp(head + 136, "UL", 2) != 0)
        return 0;
    const std::uint32_t length = head[140] | (head[141] << 8) | (head[142] << 16) | (std::uint32_t{head[143]} << 24);
    return 144 + static_cast<std::streamoff>(length);
}

}  // namespace

bool sameDataSet(const fs::path& a, const fs::path& b)
{
    if (sameContent(a, b))
        return true;
    std::ifstream fa(a, std::ios::binary);
    std::ifstream fb(b, std::ios::binary);
    const std::streamoff sa = dataSetStart(fa);
    const std::streamoff sb = dataSetStart(fb);
    if (sa == 0 || sb == 0)
        return false;
    fa.clear();
    fb.clear();
    fa.seekg(sa);
    fb.seekg(sb);
    std::vector<char> ba(1 << 16), bb(1 << 16);
    while (fa && fb) {
        fa.read(ba.data(), static_cast<std::streamsize>(ba.size()));
        fb.read(bb.data(), static_cast<std::streamsize>(bb.size()));
        if (fa.gcount() != fb.gcount() || !std::equal(ba.begin(), ba.begin() + fa.gcount(), bb.begin()))
            return false;
    }
    return fa.eof() && fb.eof();
}

Registrar::Registrar(db::Database& db, IngestLog& log, fs::path inputFolder, fs::path imageFolder)
    : db_(db), log_(log), input_(std::move(inputFolder)), images_(std::move(imageFolder))
{
}

db::Statement& Registrar::statement(const std::string& sql)
{
    auto it = statements_.find(sql);
    if (it == statements_.end())
        it = statements_.emplace(std::piecewise_construct, std::forward_as_tuple(sql),
                                 std::forward_as_tuple(db_, sql))
                 .first;
    it->second.reset();
    return it->second;
}

std::int32_t Registrar::newKey()
{
    const std::int64_t key = db_.lastInsertRowId();
    if (key <= 0 || key > std::numeric_limits<std::int32_t>::max())
        throw Error(6, "Overflow: key " + std::to_string(key) + " beyond the 32-bit range");
    return static_cast<std::int32_t>(key);
}

void Registrar::debug(const std::string& text)
{
    log_.writeDebugLog(text);
}

void Registrar::logError(const std::exception& e, const char* tag)
{
    if (auto fault = ingest::storeFault(e)) {
        if (!storeFault_)
            storeFault_ = std::move(fault);
        return;
    }
    if (const auto* err = dynamic_cast<const Error*>(&e))
        log_.writeLog(err->code(), err->message(), tag);
    else
        log_.writeLog(errc::Generic, e.what(), tag);
}

bool Registrar::hasSopClass(const dicom::Image& image)
{
    try {
        return !image.sopClassUid().empty();
    } catch (...) {
        return false;  // a SOP class that cannot be read counts as absent
    }
}

bool Registrar::checkSop(dicom::Image& image)
{
    if (hasSopClass(image))
        return true;
    std::string modality;
    try {
        modality = image.attributes().get(0x0008, 0x0060).text;
    } catch (...) {
    }
    image.setSopClassUid(sopClassForModality(modality));
    return false;
}

bool Registrar::writeCopy(dicom::Image& image, const fs::path& target, bool replace)
{
    // The copy is written under a name the scan does not take, then renamed.
    const fs::path part = target.string() + ".repair";
    try {
        image.write(part);
        // The caller then removes the file read, maybe the only other copy of the image:
        // the copy and its name are on disk before.
        syncFile(part);
        if (replace) {
            fs::rename(part, target);
            syncFolder(target.parent_path());
            return true;
        }
        // Never over a file waiting under that name: that is another copy of the image.
        if (::link(part.c_str(), target.c_str()) != 0) {
            const int e = errno;
            fs::remove(part);
            if (e == EEXIST)
                return false;
            throw fs::filesystem_error("Cannot write the copy", part, target, std::error_code(e, std::generic_category()));
        }
        syncFolder(target.parent_path());
        fs::remove(part);
        return true;
    } catch (...) {
        // A failed write (disk full) leaves no half copy behind in the input folder.
        std::error_code ec;
        fs::remove(part, ec);
        throw;
    }
}

int Registrar::registerImage(dicom::Image& image, Keys& keys, const std::string& name,
                             const std::function<bool()>& stillTheFileRead)
{
    filedStudyUid_.clear();
    conflict_.clear();
    storeFault_.reset();
    debug("RegisterImage Start");
    auto end = [&](int result) {
        debug("RegisterImage Ende");
        return result;
    };
    auto fail = [&](const std::string& line) {
        debug(line);
        return end(status::Failed);
    };
    const dicom::DataSet ds = image.attributes();
    Values v;

    try {
        v.patient = readPatientValues(ds);
    } catch (const std::exception& e) {
        logError(e, "GetValuePatient");
        return end(status::Failed);
    }

    int studyRead = 0;
    try {
        studyRead = static_cast<int>(readStudyValues(ds, v.study));
    } catch (const std::exception& e) {
        logError(e, "GetValuesStudy");
    }
    debug("GetValStd = " + std::to_string(studyRead));
    if (studyRead == 0)
        return end(status::Failed);

    const fs::path repaired = input_ / (name + "1");
    if (studyRead == static_cast<int>(StudyRead::NoModality)) {
        // The whole object is needed for the copy: load the pixel data first.
        image.loadAll();
        image.attributes().set(dicom::Tag{0x0008, 0x0060}, "SC");
        writeCopy(image, repaired, true);
        return end(status::Repaired);
    }

    if (!hasSopClass(image)) {
        debug("CheckSOP = false");
        image.loadAll();
        checkSop(image);
        writeCopy(image, repaired, true);
        return end(status::Repaired);
    }

    try {
        v.series = readSeriesValues(ds);
    } catch (const std::exception& e) {
        logError(e, "GetValuesSeries");
        return fail("GetValuesSeries = false");
    }
    try {
        v.image = readImageValues(ds);
    } catch (const std::exception& e) {
        logError(e, "GetValuesImage");
        return fail("GetValuesImage = false");
    }
    for (const auto& note : v.image.unconverted)
        log_.writeLog(errc::TypeMismatch, note + " in " + name, "GetValuesImage");

    if (upper(name) != upper(v.image.sopInstanceUid + ".dcm")) {
        // The SOP instance UID becomes a file name: never one that could leave the folder.
        if (!isSafeUid(v.image.sopInstanceUid))
            throw Error(errc::InvalidName, "Invalid SOP instance UID");
        const fs::path copy = input_ / (v.image.sopInstanceUid + ".dcm");
        std::error_code ec;
        if (fs::exists(copy, ec))
            return end(status::Waits);
        image.loadAll();
        return end(writeCopy(image, copy, false) ? status::CopiedUnderUid : status::Waits);
    }

    try {
        v.reporters = readReporterIds(ds);
    } catch (const std::exception& e) {
        logError(e, "GetReporterID");
        return fail("GetReporterID = false");
    }

    return end(registerRows(v, keys, name, stillTheFileRead));
}

int Registrar::registerRows(const Values& v, Keys& keys, const std::string& name,
                            const std::function<bool()>& stillTheFileRead)
{
    // All rows of one file, its receive-table row included, are committed together or
    // not at all, before the file is moved: a kill before the commit leaves the file in
    // the input folder to be registered again; a kill after it leaves a registered file
    // there, which the next pass finds known and moves. No image is lost either way.
    std::optional<db::Transaction> transaction;
    try {
        transaction.emplace(db_);
    } catch (const std::exception& e) {
        logError(e, "KnownImage");
        debug("KnownImage = false");
        return status::Failed;
    }
    Keys k = keys;
    bool known = false;
    KnownImageRow row;
    if (!knownImage(v.image.sopInstanceUid, known, row)) {
        debug("KnownImage = false");
        return status::Failed;
    }
    if (known) {
        // Only an identical repeat is dropped: a known UID with another patient or
        // study is a different image, which must not vanish. A row whose stored file is
        // missing was written for this very file by a pass that ended (killed, or the
        // move failed) between the commit and the move; the file may then differ from
        // the row in patient or study, as an image joins a known study or series
        // whatever it says, and it completes its own registration.
        const std::string patientId = v.patient.id.empty() ? std::string("ZKT_NoPatID_ZKT") : v.patient.id;
        std::error_code ec;
        const fs::path stored = images_ / row.studyUid / (v.image.sopInstanceUid + ".dcm");
        const bool awaitsItsFile = !row.studyUid.empty() && !fs::exists(stored, ec);
        // A pass that ended between the move into the store and the removal of the input
        // name leaves the very file filed there under both names: no other image.
        if (!awaitsItsFile && !sameContent(stored, input_ / name) &&
            (db::foldCase(patientId) != db::foldCase(row.patientId) || v.study.uid != row.studyUid)) {
            conflict_ = "SOP instance UID " + v.image.sopInstanceUid + " is registered for patient ID '" +
                        row.patientId + "' in study " + row.studyUid + "; this file has patient ID '" + patientId +
                        "' and study " + v.study.uid;
            return status::Conflict;
        }
        keys = row.keys;
        filedStudyUid_ = row.studyUid;
        if (!insertReceiveRow(keys) && storeFault_)
            return status::Failed;
        if (stillTheFileRead && !stillTheFileRead())
            return status::Changed;
        try {
            transaction->commit();
        } catch (const std::exception& e) {
            logError(e, "TimerDB");
            if (storeFault_)
                return status::Failed;
        }
        return status::AlreadyRegistered;
    }

    if (!knownSeries(v.series.uid, k, known)) {
        debug("KnownSeries = false");
        return status::Failed;
    }
    if (known) {
        // The image joins the series' study, wherever the file says it belongs.
        if (!studyOfSeries(k))
            return status::Failed;
    } else {
        if (!knownStudy(v.study.uid, k, known)) {
            debug("KnownStudy = false");
            return status::Failed;
        }
        if (!known) {
            if (!knownPatient(v.patient, k, known)) {
                debug("KnownPatient = false");
                return status::Failed;
            }
            if (!known && !newPatient(v.patient, k))
                return status::Failed;
            if (!newStudy(v, k))
                return status::Failed;
        }
        filedStudyUid_ = v.study.uid;
        if (!newSeries(v.series, k))
            return status::Failed;
    }
    if (!newImage(v.image, k))
        return status::Failed;
    if (!insertReceiveRow(k) && storeFault_)
        return status::Failed;
    // Rows that name another file than the one read are never committed.
    if (stillTheFileRead && !stillTheFileRead())
        return status::Changed;
    try {
        transaction->commit();
    } catch (const std::exception& e) {
        logError(e, "NewImage");
        return status::Failed;
    }
    keys = k;
    return status::Registered;
}

bool Registrar::insertReceiveRow(const Keys& keys)
{
    // A receive row that cannot be written is logged; the image is registered all the same.
    try {
        debug("trying to set register entry into tblReceive:");
        auto& st = statement("Insert Into tblReceive (PATID, StudyID, SeriesID, ImageID) Values(?, ?, ?, ?)");
        st.bind(1, keys.patient).bind(2, keys.study).bind(3, keys.series).bind(4, keys.image);
        st.run();
        debug("success");
        return true;
    } catch (const std::exception& e) {
        logError(e, "TimerDB");
        return false;
    }
}

bool Registrar::knownImage(const std::string& uid, bool& known, KnownImageRow& row)
{
    try {
        auto& st = statement(
            "SELECT i.ImageID, i.FKeySeriesID, s.StudyID, s.FKeyPATID, p.PATID1, s.StudyUID FROM tblImages i "
            "LEFT JOIN tblSeries se ON se.SeriesID = i.FKeySeriesID LEFT JOIN tblStudies s ON s.StudyID = "
            "se.FKeyStudyID LEFT JOIN tblPatienten p ON p.PATID = s.FKeyPATID WHERE i.ImageUID = ? LIMIT 1");
        st.bind(1, uid);
        known = st.step();
        if (known) {
            row.keys.image = static_cast<std::int32_t>(st.getInt(0));
            row.keys.series = static_cast<std::int32_t>(st.getInt(1));
            row.keys.study = st.isNull(2) ? 0 : static_cast<std::int32_t>(st.getInt(2));
            row.keys.patient = st.isNull(3) ? 0 : static_cast<std::int32_t>(st.getInt(3));
            row.patientId = st.isNull(4) ? std::string() : st.getText(4);
            row.studyUid = st.isNull(5) ? std::string() : st.getText(5);
        }
        st.reset();
        debug(std::string("KnownImage: Known = ") + trueFalse(known));
        return true;
    } catch (const std::exception& e) {
        logError(e, "KnownImage");
        return false;
    }
}

bool Registrar::studyOfSeries(Keys& keys)
{
    try {
        auto& st = statement(
            "SELECT s.StudyID, s.FKeyPATID, s.StudyUID FROM tblSeries se JOIN tblStudies s ON s.StudyID = "
            "se.FKeyStudyID WHERE se.SeriesID = ? LIMIT 1");
        st.bind(1, keys.series);
        if (!st.step()) {
            st.reset();
            throw Error(errc::NotFound, "Series " + std::to_string(keys.series) + " has no study row");
        }
        keys.study = static_cast<std::int32_t>(st.getInt(0));
        keys.patient = static_cast<std::int32_t>(st.getInt(1));
        filedStudyUid_ = st.getText(2);
        st.reset();
        return true;
    } catch (const std::exception& e) {
        logError(e, "KnownSeries");
        return false;
    }
}

bool Registrar::knownSeries(const std::string& uid, Keys& keys, bool& known)
{
    try {
        auto& st = statement("SELECT SeriesID FROM tblSeries WHERE SeriesUID = ? LIMIT 1");
        st.bind(1, uid);
        known = st.step();
        if (known)
            keys.series = static_cast<std::int32_t>(st.getInt(0));
        st.reset();
        debug(std::string("KnownSeries: Known = ") + trueFalse(known));
        return true;
    } catch (const std::exception& e) {
        logError(e, "KnownSeries");
        return false;
    }
}

bool Registrar::knownStudy(const std::string& uid, Keys& keys, bool& known)
{
    try {
        auto& st = statement("SELECT FKeyPATID, StudyID FROM tblStudies WHERE StudyUID = ? LIMIT 1");
        st.bind(1, uid);
        known = st.step();
        if (known) {
            keys.patient = static_cast<std::int32_t>(st.getInt(0));
            keys.study = static_cast<std::int32_t>(st.getInt(1));
        }
        st.reset();
        debug(std::string("KnownStudy: Known = ") + trueFalse(known));
        return true;
    } catch (const std::exception& e) {
        logError(e, "KnownStudy");
        return false;
    }
}

bool Registrar::knownPatient(const PatientValues& p, Keys& keys, bool& known)
{
    try {
        // A patient is recognised by ID (or among the placeholder patients) and last
        // name, narrowed by the other name parts and the birth date when the file has them.
        std::string sql = "SELECT PATID FROM tblPatienten WHERE ";
        sql += p.id.empty() ? "PATID1 Like 'ZKT%ZKT'" : "PATID1 = ?";
        sql += " AND PATNachname = ?";
        if (!p.firstName.empty())
            sql += " AND PATVorname = ?";
        if (!p.middleName.empty())
            sql += " AND PAT2Vorname = ?";
        if (!p.birthDate.empty())
            sql += " AND PATGebDatum = ?";
        sql += " LIMIT 1";
        auto& st = statement(sql);
        int n = 0;
        if (!p.id.empty())
            st.bind(++n, p.id);
        st.bind(++n, p.lastName);
        if (!p.firstName.empty())
            st.bind(++n, p.firstName);
        if (!p.middleName.empty())
            st.bind(++n, p.middleName);
        if (!p.birthDate.empty())
            st.bind(++n, p.birthDate);
        known = st.step();
        if (known)
            keys.patient = static_cast<std::int32_t>(st.getInt(0));
        st.reset();
        debug(std::string("KnownPatient: Known = ") + trueFalse(known));
        return true;
    } catch (const std::exception& e) {
        logError(e, "KnownPatient");
        return false;
    }
}

bool Registrar::newPatient(const PatientValues& p, Keys& keys)
{
    try {
        auto& st = statement(
            "Insert Into tblPatienten (PATID1, PATNachname, PATVorname, PAT2Vorname, PATGebDatum, PATGeschlecht) "
            "Values(?, ?, ?, ?, ?, ?)");
        st.bind(1, p.id.empty() ? std::string("ZKT_NoPatID_ZKT") : p.id);
        st.bind(2, p.lastName);
        st.bind(3, p.firstName.empty() ? std::string("-") : p.firstName);
        if (p.middleName.empty())
            st.bindNull(4);
        else
            st.bind(4, p.middleName);
        st.bind(5, p.birthDate.empty() ? std::string(db::NoDateMarker) : p.birthDate);
        st.bind(6, p.sex.empty() ? std::string("O") : p.sex);
        debug("New Patient (INSERT INTO tblPatienten)");
        debug("ID: " + p.id);
        st.run();
        keys.patient = newKey();
        debug("New Patient created in tblPatienten");
        return true;
    } catch (const std::exception& e) {
        logError(e, "NewPatient");
        return false;
    }
}

std::int32_t Registrar::lookupOrInsert(const char* table, const char* textColumn, const char* keyColumn,
                                       const std::string& text)
{
    // Errors are ignored here: the study then gets key 0 for this lookup.
    try {
        auto& find = statement(std::string("Select ") + keyColumn + " from " + table + " where " + textColumn +
                               " = ? LIMIT 1");
        find.bind(1, text);
        if (find.step()) {
            const auto key = static_cast<std::int32_t>(find.getInt(0));
            find.reset();
            return key;
        }
        find.reset();
        auto& insert = statement(std::string("Insert Into ") + table + " (" + textColumn + ") Values(?)");
        insert.bind(1, text);
        insert.run();
        return newKey();
    } catch (const std::exception& e) {
        // A database that cannot be written fails the whole registration.
        if (ingest::storeFault(e))
            throw;
        return 0;
    }
}

bool Registrar::newStudy(const Values& v, Keys& keys)
{
    try {
        const StudyValues& s = v.study;
        const auto physician = lookupOrInsert("tblUeberweiser", "UeberweiserName", "UeberweiserID", rules::trim(s.physician));
        const auto bodyPart = lookupOrInsert("tblBodyparts", "Bodypart", "BodypartID", rules::trim(s.bodyPart));
        const auto modality = lookupOrInsert("tblModalities", "Modality", "ModID", rules::trim(s.modality));
        const auto accession = lookupOrInsert("tblAccessions", "Accession", "AccessionID", rules::trim(s.accession));
        std::string description = rules::removeApostrophes(s.description);
        if (description.empty())
            description = "N/A";
        auto& st = statement(
            "Insert Into tblStudies (FKeyPATID, FKeyUeberweiserID, FKeyBodypartID, FKeyModID, FKeyAccessionID, "
            "StudyDate, StudyTime, StudyUID, StudyNr, StudyDescription, ReporterID1, ReporterID2, ReporterID3) "
            "Values(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
        st.bind(1, keys.patient);
        st.bind(2, physician);
        st.bind(3, bodyPart);
        st.bind(4, modality);
        st.bind(5, accession);
        st.bind(6, s.date);
        st.bind(7, s.time);
        st.bind(8, s.uid);
        st.bind(9, s.number);
        st.bind(10, description);
        st.bind(11, v.reporters[0]);
        st.bind(12, v.reporters[1]);
        st.bind(13, v.reporters[2]);
        st.run();
        keys.study = newKey();
        debug("New Study created in tblStudies");
        return true;
    } catch (const std::exception& e) {
        logError(e, "NewStudy");
        return false;
    }
}

bool Registrar::newSeries(const SeriesValues& s, Keys& keys)
{
    try {
        const std::string agent = s.contrastAgent.empty() ? std::string("0") : s.contrastAgent;
        if (log_.debugOn())
            debug("INSERT INTO tblSeries (FKeyStudyID, SeriesUID, SeriesNr, SeriesCBA) VALUES(" +
                  std::to_string(keys.study) + ", '" + s.uid + "', " + std::to_string(s.number) + ", '" + agent + "')");
        auto& st = statement("INSERT INTO tblSeries (FKeyStudyID, SeriesUID, SeriesNr, SeriesCBA) VALUES(?, ?, ?, ?)");
        st.bind(1, keys.study);
        st.bind(2, s.uid);
        st.bind(3, s.number);
        st.bind(4, agent);
        st.run();
        keys.series = newKey();
        debug("New Series created in tblSeries");
        return true;
    } catch (const std::exception& e) {
        logError(e, "NewSeries");
        return false;
    }
}

bool Registrar::newImage(const ImageValues& i, Keys& keys)
{
    try {
        auto& st = statement(
            "Insert Into tblImages (FKeySeriesID, ImageUID, ImageNr, ImageRows, ImageCols, ImageKVP, "
            "ImageDCD, ImageExpTime, ImageExp, ImageXRay, ImageLocation, ImageST, ImageLevel, ImageWidth, "
            "ImageDate, ImageTime) Values(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
        st.bind(1, keys.series);
        st.bind(2, i.sopInstanceUid);
        st.bind(3, i.imageNumber);
        st.bind(4, i.rows);
        st.bind(5, i.columns);
        st.bind(6, i.kvp);
        st.bind(7, i.collectionDiameter);
        st.bind(8, i.exposureTime);
        st.bind(9, i.exposure);
        st.bind(10, i.tubeCurrent);
        st.bind(11, i.sliceLocation);
        st.bind(12, i.sliceThickness);
        st.bind(13, i.windowCenter);
        st.bind(14, i.windowWidth);
        st.bind(15, i.date);
        st.bind(16, i.time);
        debug("Registering new image (INSERT INTO tblImages)");
        debug("FKeySeriesID: " + std::to_string(keys.series));
        debug("ImageUID: " + i.sopInstanceUid);
        debug("ImageNr: " + std::to_string(i.imageNumber));
        debug("ImageRows/Cols: " + std::to_string(i.rows) + "/" + std::to_string(i.columns));
        st.run();
        keys.image = newKey();
        debug("New Image entry created in tblImages");
        return true;
    } catch (const std::exception& e) {
        logError(e, "NewImage");
        return false;
    }
}

}  // namespace corva::ingest
