#include "ingest_service.h"

#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <system_error>

#include "core/error.h"
#include "crash_note.h"
#include "core/paths.h"
#include "db/interrupted_delete.h"
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
    connection_.setFile(data / db::ImageDatabaseFile);
    // A "delete all" killed half-way is finished or undone before anything is filed,
    // unless a job works on the images now.
    db::recoverInterruptedDeleteAllWhenIdle(data, data / db::ImageDatabaseFile, images_);
    recoverInterrupted();
}

// The shipped program does nothing here. A test program links its own definition (a
// link seam) to make the service fail while a file is in hand.
__attribute__((weak)) void onFileInHand(const std::string&) {}

void IngestService::recoverInterrupted()
{
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(input_, ec)) {
        const std::string tryName = entry.path().filename().string();
        if (tryName.size() <= 4 || !InputScanner::isInputName(tryName.substr(0, tryName.size() - 4)) ||
            tryName.compare(tryName.size() - 4, 4, ".try") != 0)
            continue;
        const std::string name = tryName.substr(0, tryName.size() - 4);
        std::error_code exists;
        if (!fs::exists(input_ / name, exists))
            continue;
        const std::string marker = readTryMarker(entry.path());
        log_->setFile(name);
        if (marker == crash::CrashedMarker) {
            // It would be taken first again and end the service again.
            copyToBad(name, "Ingrado ended abnormally while working on this file");
            fs::remove(entry.path(), ec);
        } else if (marker == InHandMarker) {
            // Ended from outside (killed) while working on it: the attempt counts, the file is tried again.
            log_->writeLog(errc::Generic, "Ingrado was ended while working on " + name + ", tried again",
                           "TimerDB");
            writeTry(entry.path(), readTry(entry.path(), *log_), *log_);
        }
        log_->setFile({});
    }
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
        // Files that went away by other hands: their repeated lines are summed up too.
        log_->endFilesNotPresent([this](const std::string& name) {
            std::error_code ec;
            return fs::exists(input_ / name, ec);
        });
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
    // Every line written while the file is in hand names it; when it has gone (filed,
    // set aside, replaced) its repeated lines are summed up.
    struct FileInHand {
        IngestLog& log;
        const std::string& name;
        const fs::path& source;
        FileInHand(IngestLog& l, const std::string& n, const fs::path& s) : log(l), name(n), source(s) { log.setFile(n); }
        ~FileInHand()
        {
            std::error_code ec;
            if (!fs::exists(source, ec))
                log.endFile(name);
            log.setFile({});
        }
    } fileInHand(*log_, name, source);
    // A name too long to get ".try" appended cannot have its attempts counted: such a
    // file gets one attempt and is set aside when it fails, instead of being retried forever.
    const bool countable = name.size() + 4 <= MaxNameBytes;
    int tries = countable && fs::exists(tryPath, ec) ? readTry(tryPath, *log_) : 0;
    if (tries >= MaxTries) {
        copyToBad(name, "given up after " + std::to_string(tries) + " attempts");
        debug(name + " moved to bad objects!");
        fs::remove(tryPath, ec);
        return;
    }
    if (countable) {
        // Marked while in hand; a fatal signal marks it crashed (see crash_note.h).
        writeTry(tryPath, tries + 1, *log_, InHandMarker);
        crash::arm(tryPath, tries + 1);
    }
    // When the attempt is over, a try file still there loses its in-hand marker.
    struct AttemptOver {
        const fs::path& tryPath;
        int count;
        IngestLog& log;
        bool countable;
        ~AttemptOver()
        {
            crash::disarm();
            std::error_code ec;
            if (countable && fs::exists(tryPath, ec))
                writeTry(tryPath, count, log);
        }
    } attemptOver{tryPath, tries + 1, *log_, countable};
    onFileInHand(name);
    bool failed = false;

    // The toolkit's reader recurses per nested sequence: a file nested too deep is set
    // aside before it is parsed, as it can never be read.
    if (const dicom::FileStructure structure = dicom::checkFileStructure(source); structure.tooDeep) {
        copyToBad(name, "Refused: " + structure.problem);
        fs::remove(tryPath, ec);
        return;
    }

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
            image.reset();
            copyToBad(name, "Invalid UID '" + badUid + "'");
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
            registrar_.emplace(db, *log_, input_, images_);
        const int result = registrar_->registerImage(*image, keys, name);
        image.reset();
        switch (result) {
        case status::Registered:
        case status::AlreadyRegistered: {
            debug("regstatus = 1");
            // The folder of the study row the image is filed under.
            const std::string filed = registrar_->filedStudyUid().empty() ? studyUid : registrar_->filedStudyUid();
            if (filed.empty() || !isSafeUid(filed))
                throw Error(errc::InvalidName, "No usable study instance UID for the image store: '" + filed + "'");
            handleRegistered(name, filed);
            break;
        }
        case status::Conflict:
            copyToBad(name, registrar_->conflict());
            fs::remove(tryPath, ec);
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
        copyToBad(name, "Name too long to count attempts");
        debug(name + " moved to bad objects!");
    }
}

void IngestService::handleRegistered(const std::string& name, const std::string& studyUid)
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
}

void IngestService::copyToBad(const std::string& name, const std::string& reason)
{
    log_->endFile(name);  // its repeated lines are summed up before the move is logged
    try {
        const fs::path bad = input_ / folder::BadObjects;
        fs::create_directories(bad);
        if (fs::exists(bad / name)) {
            fs::remove(input_ / name);
            log_->writeLog(errc::Generic, reason + ": " + name + " deleted, a file of that name is in bad objects already",
                           "CopyToBad");
        } else {
            moveFile(input_ / name, bad / name);
            log_->writeLog(errc::Generic, reason + ": " + name + " moved to bad objects", "CopyToBad");
        }
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
