#include "ingest_service.h"

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "core/error.h"
#include "core/paths.h"
#include "db/schema.h"
#include "dicom/dicom.h"
#include "try_file.h"

namespace corva::ingest {

namespace fs = std::filesystem;

namespace {

void logException(IngestLog& log, const std::exception& e, const char* tag)
{
    if (const auto* err = dynamic_cast<const Error*>(&e))
        log.writeLog(err->code(), err->message(), tag);
    else
        log.writeLog(errc::Generic, e.what(), tag);
}

// A UID quoted in a log line: control characters would break the line.
std::string printable(const std::string& text)
{
    std::string out;
    for (char c : text.substr(0, 128))
        out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? '?' : c;
    return out;
}

// Moves a file; across file systems it is copied under a temporary name, renamed and
// the source removed, so the target never holds half a file.
void moveFile(const fs::path& from, const fs::path& to)
{
    std::error_code ec;
    fs::rename(from, to, ec);
    if (!ec)
        return;
    if (ec != std::errc::cross_device_link)
        throw Error(errc::NotFound, "Cannot move " + from.filename().string() + ": " + ec.message());
    const fs::path part = to.string() + ".moving";
    fs::copy_file(from, part, fs::copy_options::overwrite_existing);
    fs::rename(part, to);
    fs::remove(from);
}

}  // namespace

IngestService::IngestService(fs::path programFolder)
    : folder_(std::move(programFolder)),
      input_(folder_ / folder::Temp),
      images_(folder_ / folder::Images)
{
    log_.emplace(folder_ / folder::Logs, false);
    scanner_.emplace(input_);
}

void IngestService::start()
{
    const fs::path data = folder_ / folder::Data;
    if (!db::ensureImageDatabase(data))
        log_->writeLog(errc::NotFound, "Data/QAData.dat missing and not created from Data/QADef.dat", "OpenDB");
    std::error_code ec;
    fs::create_directories(input_, ec);
    fs::create_directories(images_, ec);
    log_.emplace(folder_ / folder::Logs, fs::exists(folder_ / "debug.on", ec));
    connection_.setFile(data / "QAData.dat");
}

bool IngestService::OpenDB()
{
    if (connection_.reopen())
        return true;
    log_->writeLog(errc::Database, "Cannot open " + connection_.file().string(), "OpenDB");
    return false;
}

void IngestService::CloseDB()
{
    registrar_.reset();  // statements go before their connection
    try {
        connection_.closeIfOpen();
    } catch (const std::exception& e) {
        logException(*log_, e, "CloseDB");
    }
}

db::Database& IngestService::database()
{
    if (!connection_.isOpen())
        OpenDB();
    return connection_.db();
}

void IngestService::tick(const std::atomic<bool>* stop)
{
    try {
        const auto work = scanner_->scan();
        Keys keys;
        for (std::size_t i = 0; i < work.size(); ++i) {
            if (stop && stop->load())
                break;
            processFile(i + 1, work.size(), work[i], keys);
        }
        CloseDB();
        deleteOrphans();
    } catch (const std::exception& e) {
        logException(*log_, e, "TimerDB");
        CloseDB();
    }
}

void IngestService::processFile(std::size_t position, std::size_t count, const std::string& name, Keys& keys)
{
    if (log_->debugOn())
        debug("File " + std::to_string(position) + " of " + std::to_string(count) + " in progress");

    // The receive table may be missing from an old database: create it before use.
    try {
        db::Database& db = database();
        try {
            db::Statement probe(db, "SELECT RecID FROM tblReceive");
        } catch (const Error&) {
            db::createReceiveTable(db);
        }
    } catch (...) {
    }

    const fs::path source = input_ / name;
    const fs::path tryPath = input_ / (name + ".try");
    std::error_code ec;
    // A name too long to get ".try" appended cannot have its attempts counted: such a
    // file gets one attempt and is set aside when it fails, instead of being retried forever.
    const bool countable = name.size() + 4 <= MaxNameBytes;
    int tries = countable && fs::exists(tryPath, ec) ? readTry(tryPath, *log_) : 0;
    if (tries >= MaxTries) {
        copyToBad(name);
        debug(name + " moved to bad objects!");
        fs::remove(tryPath, ec);
        return;
    }
    if (countable)
        writeTry(tryPath, tries + 1, *log_);
    bool failed = false;

    std::optional<dicom::Image> image;
    std::optional<Error> readError;
    debug("trying to read file: " + name);
    try {
        image.emplace(dicom::Image::read(source, dicom::ReadMode::HeaderOnly));
        debug("success");
    } catch (const Error& e) {
        readError = e;
    } catch (const std::exception& e) {
        readError = Error(errc::NotDicom, e.what());
    }

    std::string studyUid;
    if (image) {
        // UIDs become folder and file names: one that is not a plain UID can never be
        // filed, so the file is set aside at once instead of being retried.
        std::string sopUid;
        std::string seriesUid;
        try {
            const dicom::DataSet ds = image->attributes();
            studyUid = studyFolderUid(ds);
            const dicom::Attribute sop = ds.get(0x0008, 0x0018);
            sopUid = sop.exists ? sop.text : std::string();
            const dicom::Attribute series = ds.get(0x0020, 0x000E);
            seriesUid = series.exists ? series.text : std::string();
        } catch (const std::exception& e) {
            readError = Error(errc::NotDicom, e.what());
            image.reset();
        }
        std::string badUid;
        for (const std::string* uid : {&studyUid, &seriesUid, &sopUid})
            if (badUid.empty() && !uid->empty() && !isSafeUid(*uid))
                badUid = *uid;
        if (image && !badUid.empty()) {
            log_->writeLog(errc::InvalidName,
                           "Invalid UID '" + printable(badUid) + "' in " + printable(name) +
                               ", file moved to bad objects",
                           "CheckUID");
            image.reset();
            copyToBad(name);
            fs::remove(tryPath, ec);
            return;
        }
    }

    try {
        db::Database& db = database();
        if (log_->debugOn()) {
            debug("checking register status: " + name);
            debug("PatID: " + std::to_string(keys.patient));
            debug("StudyID: " + std::to_string(keys.study));
            debug("SeriesID: " + std::to_string(keys.series));
            debug("ImageID: " + std::to_string(keys.image));
        }
        if (!image)
            throw readError ? *readError : Error(errc::NotFound, "File not found");
        if (!registrar_)
            registrar_.emplace(db, *log_, input_);
        const int result = registrar_->registerImage(*image, keys, name);
        image.reset();
        switch (result) {
        case status::Registered:
        case status::AlreadyRegistered:
            debug("regstatus = 1");
            if (studyUid.empty())
                throw Error(errc::NotFound, "No study instance UID");
            handleRegistered(name, studyUid, keys);
            break;
        case status::CopiedUnderUid:
            debug("regstatus = 2");
            debug("trying to delete file:");
            fs::remove(tryPath, ec);
            fs::remove(source);
            debug("success");
            break;
        case status::Repaired:
            debug("regstatus = 3");
            debug("trying to delete file:");
            fs::remove(tryPath, ec);
            // The repaired copy replaces the input file in one step.
            fs::rename(input_ / (name + "1"), source);
            debug("success");
            break;
        default:
            failed = true;
            break;
        }
    } catch (const fs::filesystem_error& e) {
        log_->writeLog(e.code().value(), e.what(), "TimerDB");
        failed = true;
    } catch (const std::exception& e) {
        logException(*log_, e, "TimerDB");
        failed = true;
    }
    if (failed && !countable && fs::exists(source, ec)) {
        log_->writeLog(errc::InvalidName, "Name too long to count attempts: " + printable(name) +
                                              ", file moved to bad objects", "CopyToBad");
        copyToBad(name);
        debug(name + " moved to bad objects!");
    }
}

void IngestService::handleRegistered(const std::string& name, const std::string& studyUid, const Keys& keys)
{
    const fs::path source = input_ / name;
    const fs::path folder = images_ / studyUid;
    // The station finds an image as <SOP instance UID>.dcm; registration accepted a name
    // that differs from it only in letter case (the extension, as UIDs are digits), so
    // the store gets the exact form.
    const fs::path target = folder / (name.substr(0, name.size() - 4) + ".dcm");
    std::error_code ec;
    if (!fs::exists(target, ec)) {
        debug("trying to move image to viewer: " + name);
        fs::create_directories(folder);
        moveFile(source, target);
        debug("success");
    } else {
        debug("file already exists in viewer image directory!");
        fs::remove(source);
        debug("file deleted!");
    }
    fs::remove(input_ / (name + ".try"), ec);
    debug("trying to set register entry into tblReceive:");
    db::Statement insert(database(), "Insert Into tblReceive (PATID, StudyID, SeriesID, ImageID) Values(?, ?, ?, ?)");
    insert.bind(1, keys.patient).bind(2, keys.study).bind(3, keys.series).bind(4, keys.image);
    insert.run();
    debug("success");
}

void IngestService::copyToBad(const std::string& name)
{
    try {
        const fs::path bad = input_ / folder::BadObjects;
        fs::create_directories(bad);
        if (fs::exists(bad / name))
            fs::remove(input_ / name);
        else
            moveFile(input_ / name, bad / name);
    } catch (const fs::filesystem_error& e) {
        log_->writeLog(e.code().value(), e.what(), "CopyToBad");
    } catch (const std::exception& e) {
        logException(*log_, e, "CopyToBad");
    }
}

void IngestService::deleteOrphans()
{
    const bool opened = !connection_.isOpen();
    try {
        db::Database& db = database();
        struct Step {
            const char* sql;
            const char* text;
        };
        static const Step steps[] = {
            {"Delete from tblSeries where SeriesID not in (Select FKeySeriesID as SeriesID from tblImages)",
             "entries deleted from tblseries"},
            {"Delete from tblStudies where StudyID not in (Select FKeyStudyID as StudyID from tblSeries)",
             "entries deleted from tblstudies"},
            {"Delete from tblPatienten where PatID not in (Select FKeyPatID as PatID from tblStudies)",
             "entries deleted from tblpatienten"},
        };
        for (const auto& step : steps) {
            db::Statement st(db, step.sql);
            if (const int removed = st.run(); removed > 0)
                log_->writeLog(removed, step.text, "DeleteFailed");
        }
    } catch (const std::exception& e) {
        logException(*log_, e, "DeleteFailed");
    }
    if (opened)
        CloseDB();
}

}  // namespace corva::ingest
