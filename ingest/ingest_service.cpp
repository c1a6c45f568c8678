#include "ingest_service.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <system_error>

#include "core/error.h"
#include "crash_note.h"
#include "core/paths.h"
#include "db/interrupted_delete.h"
#include "db/orphans.h"
#include "db/schema.h"
#include "durable.h"
#include "dicom/dicom.h"
#include "held_file.h"
#include "log/service_note.h"
#include "log/set_aside.h"
#include "process/private_files.h"
#include "process/process.h"
#include "store_fault.h"
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
// the source removed, so the target never holds half a file. The source goes only once
// the copy and its name (and its folder's name, which may be new) are on disk.
void moveFile(const fs::path& from, const fs::path& to)
{
    std::error_code ec;
    fs::rename(from, to, ec);
    if (!ec)
        return;
    if (ec != std::errc::cross_device_link)
        throw Error(errc::NotFound, "Cannot move " + from.filename().string() + ": " + ec.message());
    const fs::path part = to.string() + ".moving";
    try {
        fs::copy_file(from, part, fs::copy_options::overwrite_existing);
        syncFile(part);
        fs::rename(part, to);
        syncFolder(to.parent_path());
        syncFolder(to.parent_path().parent_path());
    } catch (...) {
        // Half a copy on a full disk would keep the room that is left from the next one.
        std::error_code ignored;
        fs::remove(part, ignored);
        throw;
    }
    fs::remove(from);
}

// Whether the store's copy of an image can still be read as one: a copy that a disk fault
// emptied or cut short is no image, and a resend takes its place.
bool storedCopyIsReadable(const fs::path& stored)
{
    std::error_code ec;
    const auto size = fs::file_size(stored, ec);
    if (ec || size == 0 || !dicom::checkFileStructure(stored).sound())
        return false;
    try {
        (void)dicom::Image::read(stored, dicom::ReadMode::HeaderOnly);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// What the operator is told: "Ingrado cannot write <what>: <reason>". A database's
// input/output error on a disk without a free block is a full disk.
std::string storeFaultText(const std::string& what, const std::string& reason, const fs::path& folder)
{
    return "Ingrado cannot write " + what + ": " + (reason != "disk full" && diskFull(folder) ? "disk full" : reason);
}

}  // namespace

IngestService::IngestService(fs::path programFolder)
    : folder_(std::move(programFolder)),
      input_(folder_ / folder::Temp),
      images_(folder_ / folder::Images)
{
    log_.emplace(folder_ / folder::Logs, false);
    scanner_.emplace(input_);
    imageDb_.emplace(folder_ / folder::Data, *log_);
    outage_.emplace(*log_, log::ServiceNote(folder_ / folder::Logs, "Ingrado"));
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
    imageDb_.emplace(data, *log_);
    // A note an ended run left is no longer true; the file is made at its full size now,
    // while there is room, so that a full disk can still be told.
    log::ServiceNote note(folder_ / folder::Logs, "Ingrado");
    note.clear();
    outage_.emplace(*log_, note);
    // What earlier versions created for everyone holds patient data.
    for (const fs::path& own : {data / db::ImageDatabaseFile, folder_ / folder::Logs / "Ingrado.log",
                                folder_ / folder::Logs / "IngradoDebug.log", input_ / folder::BadObjects})
        process::makePrivate(own);
    connection_.setFile(data / db::ImageDatabaseFile);
    // A "delete all" killed half-way is finished or undone before anything is filed,
    // unless a job works on the images now.
    db::recoverInterruptedDeleteAllWhenIdle(data, data / db::ImageDatabaseFile, images_);
    clearLeftovers();
    recoverInterrupted();
}

// The shipped program does nothing here. A test program links its own definition (a
// link seam) to make the service fail while a file is in hand.
__attribute__((weak)) void onFileInHand(const std::string&) {}
__attribute__((weak)) void onFileRead(const std::string&) {}

void IngestService::clearLeftovers()
{
    std::vector<std::string> names;
    {
        std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(input_.c_str()), ::closedir);
        if (!dir)
            return;
        while (const dirent* e = ::readdir(dir.get()))
            names.emplace_back(e->d_name);
    }
    auto endsWith = [](const std::string& s, const std::string& tail) {
        return s.size() > tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
    };
    for (const std::string& name : names) {
        const fs::path path = input_ / name;
        std::error_code ec;
        try {
            if (endsWith(name, ".held") || endsWith(name, ".drop")) {
                // A hold or a removal the run did not finish: the file keeps a name.
                HeldFile::restoreLeftover(path, input_ / name.substr(0, name.size() - 5));
            } else if (endsWith(name, ".repair")) {
                // A copy that was never renamed into place: its source is still there.
                fs::remove(path, ec);
            } else if (name.rfind(".write-", 0) == 0 && endsWith(name, ".part")) {
                // ".write-<pid>-<n>.part": half a file of a writer that is gone.
                const int pid = std::atoi(name.c_str() + 7);
                if (pid > 0 && !process::isAlive(pid))
                    fs::remove(path, ec);
            }
        } catch (const std::exception& e) {
            logException(*log_, e, "TimerDB");
        }
    }
}

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
    if (const auto why = imageDb_->open(connection_)) {
        // A disk that takes nothing fails the open too (the database's shared index
        // cannot be made): that is a database that cannot be written.
        const bool disk = *why == diskReason(ENOSPC) || *why == diskReason(EROFS) || *why == diskReason(EACCES);
        storeFault_ = disk ? "Ingrado cannot write the image database: " + *why
                           : "Ingrado cannot open the image database Data/QAData.dat: " + *why;
        return false;
    }
    return true;
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
    ++ticks_;
    if (outage_->pauseThisTick())
        return;
    try {
        auto work = scanner_->scan();
        if (watch_) {
            if (!watch_->active() && watch_->rearm())
                debug("input folder watched again");
            // Renamed in since the last pass: taken now, not only after the stability wait.
            for (std::string& name : arrivedFiles())
                if (std::find(work.begin(), work.end(), name) == work.end())
                    work.push_back(std::move(name));
        }
        processWork(work, stop);
        // The orphan clean-up uses the tick's connection.
        if (!outage_->ongoing())
            deleteOrphans();
        CloseDB();
    } catch (const std::exception& e) {
        logException(*log_, e, "TimerDB");
        CloseDB();
    }
}

void IngestService::watchInput()
{
    watch_.emplace(input_);
    if (!watch_->active())
        log_->writeLog(errno, "Cannot watch the input folder Temp: files are taken by the scan alone", "TimerDB");
}

bool IngestService::waitForArrivals(const timespec& deadline, const std::atomic<bool>* stop)
{
    if (!watch_) {
        // Not watched: a plain sleep, which a signal ends early.
        while (!(stop && stop->load()))
            if (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) != EINTR)
                break;
        return false;
    }
    return watch_->wait(deadline, stop);
}

void IngestService::takeArrivals(const std::atomic<bool>* stop)
{
    if (!watch_)
        return;
    try {
        const auto work = arrivedFiles();
        // During an outage the files wait for the tick's paced tries (they stay in Temp).
        if (work.empty() || outage_->ongoing())
            return;
        ++arrivalPasses_;
        // The connection stays open for the passes until the tick, which closes it: opening
        // the database for every file would cost more than filing it.
        processWork(work, stop, true);
        if (outage_->ongoing())
            CloseDB();
    } catch (const std::exception& e) {
        logException(*log_, e, "TimerDB");
        CloseDB();
    }
}

std::vector<std::string> IngestService::arrivedFiles()
{
    watch_->read();
    if (watch_->takeMissed())
        debug("input folder events were missed: the scan finds those files");
    std::vector<std::string> names;
    for (std::string& name : watch_->takeArrived()) {
        // As the scan: symbolic links and folders are not input files.
        struct stat st {};
        if (::lstat((input_ / name).c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        debug("taken as it arrived: " + name);
        names.push_back(std::move(name));
    }
    return names;
}

void IngestService::processWork(const std::vector<std::string>& work, const std::atomic<bool>* stop, bool reuseOpen)
{
    if (!(reuseOpen && connection_.isOpen())) {
        // Opened afresh: what the passes before left open goes first, statements before
        // their connection.
        CloseDB();
        // Without a database nothing can be filed: the files wait, uncounted.
        if (!OpenDB()) {
            outage_->begin(storeFault_);
            outageOnOpen_ = true;
            CloseDB();
            return;
        }
    }
    Keys keys;
    bool filedAny = false;
    bool storeFailed = false;
    for (std::size_t i = 0; i < work.size(); ++i) {
        if (stop && stop->load())
            break;
        filed_ = false;
        const Attempt result = processFile(i + 1, work.size(), work[i], keys);
        if (result == Attempt::StoreFailed) {
            // The others would fail alike: they wait for the next try.
            if (tellsOfDamage(storeFault_))
                imageDb_->suspectDamage();
            outage_->begin(storeFault_);
            outageOnOpen_ = false;
            storeFailed = true;
            break;
        }
        filedAny = filedAny || (result == Attempt::Done && filed_);
    }
    // Over when a file got through the store, or, when the database could not be
    // opened, once it opens again.
    if (outage_->ongoing() && !storeFailed && (filedAny || (work.empty() && outageOnOpen_)))
        outage_->end();
    // Files that went away by other hands: their repeated lines are summed up too.
    log_->endFilesNotPresent([this](const std::string& name) {
        std::error_code ec;
        return fs::exists(input_ / name, ec);
    });
}

IngestService::Attempt IngestService::processFile(std::size_t position, std::size_t count, const std::string& name,
                                                  Keys& keys)
{
    if (log_->debugOn())
        debug("File " + std::to_string(position) + " of " + std::to_string(count) + " in progress");

    // The receive table may be missing from an old database: create it before use.
    try {
        if (connection_.isOpen()) {
            db::Database& db = connection_.db();
            try {
                db::Statement probe(db, "SELECT RecID FROM tblReceive");
            } catch (const Error&) {
                db::createReceiveTable(db);
            }
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
        copyToBad(name, "given up after " + std::to_string(tries) + " attempts", nullptr, WhenTaken::Delete);
        debug(name + " moved to bad objects!");
        fs::remove(tryPath, ec);
        return Attempt::Done;
    }
    if (countable) {
        // Marked while in hand; a fatal signal marks it crashed (see crash_note.h).
        writeTry(tryPath, tries + 1, *log_, InHandMarker);
        crash::arm(tryPath, tries + 1);
    }
    Attempt result = Attempt::Failed;
    // When the attempt is over, a try file still there loses its in-hand marker; only a
    // failure of the file's own counts.
    struct AttemptOver {
        const fs::path& tryPath;
        int tries;
        IngestLog& log;
        bool countable;
        const Attempt& result;
        ~AttemptOver()
        {
            crash::disarm();
            std::error_code ec;
            const int count = result == Attempt::Failed ? tries + 1 : tries;
            if (countable && fs::exists(tryPath, ec)) {
                if (count > 0)
                    writeTry(tryPath, count, log);
                else
                    fs::remove(tryPath, ec);  // nothing counted against the file
            }
        }
    } attemptOver{tryPath, tries, *log_, countable, result};
    HeldFile held(input_, name);
    try {
        if (!held.take())
            return result = Attempt::Waits;  // gone by other hands
    } catch (const fs::filesystem_error& e) {
        if (const auto fault = storeFault(e)) {
            storeFault_ = storeFaultText("the input folder Temp", *fault, input_);
            return result = Attempt::StoreFailed;
        }
        log_->writeLog(e.code().value(), e.what(), "TimerDB");
        return result = Attempt::Waits;
    }
    onFileInHand(name);
    result = attempt(name, keys, held, tryPath.string());
    if (result == Attempt::Failed && !countable && fs::exists(held.path(), ec)) {
        copyToBad(name, "Name too long to count attempts", &held);
        debug(name + " moved to bad objects!");
    }
    return result;
}

IngestService::Attempt IngestService::attempt(const std::string& name, Keys& keys, HeldFile& held,
                                              const std::string& tryPath)
{
    const fs::path source = input_ / name;
    const fs::path& file = held.path();
    std::error_code ec;

    // The toolkit's reader recurses per nested sequence: a file nested too deep is set
    // aside before it is parsed, as it can never be read.
    if (const dicom::FileStructure structure = dicom::checkFileStructure(file); structure.tooDeep) {
        copyToBad(name, "Refused: " + structure.problem, &held);
        fs::remove(tryPath, ec);
        return Attempt::Done;
    }

    std::optional<dicom::Image> image;
    std::optional<Error> readError;
    debug("trying to read file: " + name);
    try {
        image.emplace(dicom::Image::read(file, dicom::ReadMode::HeaderOnly));
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
            copyToBad(name, "Invalid UID '" + badUid + "'", &held);
            fs::remove(tryPath, ec);
            return Attempt::Done;
        }
    }
    onFileRead(name);

    // Which part of the store a failure below is in, for the operator.
    const char* writing = "the image database";
    try {
        if (!connection_.isOpen() && !OpenDB())
            return Attempt::StoreFailed;
        db::Database& db = connection_.db();
        if (log_->debugOn()) {
            debug("checking register status: " + name);
            debug("PatID: " + std::to_string(keys.patient));
            debug("StudyID: " + std::to_string(keys.study));
            debug("SeriesID: " + std::to_string(keys.series));
            debug("ImageID: " + std::to_string(keys.image));
        }
        if (!image) {
            // The file's own fault: it counts.
            const Error e = readError ? *readError : Error(errc::NotFound, "File not found");
            logException(*log_, e, "TimerDB");
            return Attempt::Failed;
        }
        if (!registrar_)
            registrar_.emplace(db, *log_, input_, images_);
        writing = "the input folder Temp";
        const int status = registrar_->registerImage(*image, keys, name, [&held] { return held.unchanged(); });
        image.reset();
        switch (status) {
        case status::Registered:
        case status::AlreadyRegistered: {
            debug("regstatus = 1");
            // The folder of the study row the image is filed under.
            const std::string filed = registrar_->filedStudyUid().empty() ? studyUid : registrar_->filedStudyUid();
            if (filed.empty() || !isSafeUid(filed))
                throw Error(errc::InvalidName, "No usable study instance UID for the image store: '" + filed + "'");
            writing = "the image store Images";
            return handleRegistered(name, filed, held);
        }
        case status::Conflict:
            copyToBad(name, registrar_->conflict(), &held);
            fs::remove(tryPath, ec);
            return Attempt::Done;
        case status::CopiedUnderUid:
            debug("regstatus = 2");
            debug("trying to delete file:");
            held.removeInputName();
            held.drop();
            fs::remove(tryPath, ec);
            debug("success");
            return Attempt::Done;
        case status::Repaired:
            debug("regstatus = 3");
            debug("trying to delete file:");
            fs::remove(tryPath, ec);
            // The repaired copy takes the input file's place in one step.
            held.replaceInputName(input_ / (name + "1"));
            debug("success");
            return Attempt::Done;
        case status::Waits:
            debug(name + " waits for the file of its UID to be filed first");
            return Attempt::Waits;
        case status::Changed:
            debug(name + " changed while in hand: started again");
            return Attempt::Changed;
        default:
            if (const auto& fault = registrar_->storeFault()) {
                storeFault_ = storeFaultText("the image database", *fault, folder_ / folder::Data);
                return Attempt::StoreFailed;
            }
            return Attempt::Failed;
        }
    } catch (const std::exception& e) {
        if (const auto fault = storeFault(e)) {
            const bool database = dynamic_cast<const Error*>(&e) &&
                                  static_cast<const Error&>(e).code() >= errc::Database &&
                                  static_cast<const Error&>(e).code() < errc::Database + 256;
            const std::string what = database ? "the image database" : writing;
            storeFault_ = storeFaultText(what, *fault,
                                         database                         ? folder_ / folder::Data
                                         : what == "the image store Images" ? images_
                                                                          : input_);
            return Attempt::StoreFailed;
        }
        if (const auto* fsError = dynamic_cast<const fs::filesystem_error*>(&e)) {
            // A name in the way of this file's copy or move: no fault of the file's, and
            // the other files go on.
            log_->writeLog(fsError->code().value(), e.what(), "TimerDB");
            return Attempt::Waits;
        }
        logException(*log_, e, "TimerDB");
        return Attempt::Failed;
    }
}

IngestService::Attempt IngestService::handleRegistered(const std::string& name, const std::string& studyUid,
                                                       HeldFile& held)
{
    const fs::path folder = images_ / studyUid;
    // The station finds an image as <SOP instance UID>.dcm; registration accepted a name
    // that differs from it only in letter case (the extension, as UIDs are digits), so
    // the store gets the exact form.
    const fs::path target = folder / (name.substr(0, name.size() - 4) + ".dcm");
    std::error_code ec;
    // Only a file is an image already there: a link under its name goes and the image
    // takes its place; a folder keeps the image waiting (the move fails).
    const fs::file_status there = fs::symlink_status(target, ec);
    if (fs::is_symlink(there))
        fs::remove(target, ec);
    if (!fs::is_regular_file(there)) {
        debug("trying to move image to viewer: " + name);
        fs::create_directories(folder);
        // Written again in place since it was read: it starts again; its committed rows
        // await it as a known image.
        if (!held.unchanged())
            return Attempt::Changed;
        moveFile(held.path(), target);
        held.moved();
        process::makePrivate(target);
        debug("success");
    } else if (!storedCopyIsReadable(target)) {
        // A disk fault emptied or cut short the stored copy: the resend is the image now.
        if (!held.unchanged())
            return Attempt::Changed;
        log_->writeLog(errc::Generic,
                       "the stored copy of " + name + " could not be read (empty or cut short): replaced by the one received",
                       "TimerDB");
        moveFile(held.path(), target);
        held.moved();
        process::makePrivate(target);
    } else {
        debug("file already exists in viewer image directory!");
        held.drop();
        debug("file deleted!");
    }
    filed_ = true;
    // The input name goes only while it names the file filed; one that took its place
    // meanwhile waits for its own turn.
    held.removeInputName();
    fs::remove(input_ / (name + ".try"), ec);
    return Attempt::Done;
}

void IngestService::copyToBad(const std::string& name, const std::string& reason, HeldFile* held,
                              WhenTaken whenTaken)
{
    log_->endFile(name);  // its repeated lines are summed up before the move is logged
    const fs::path bad = input_ / folder::BadObjects;
    fs::path aside = bad / name;
    try {
        fs::create_directories(bad);
        // Another image under a name set aside before (a UID sent again for another
        // patient) is an image all the same: it gets a free name, "<stem>-<n>.dcm".
        const fs::path file = held ? held->path() : input_ / name;
        if (whenTaken == WhenTaken::KeepBeside && fs::exists(aside) && !sameDataSet(aside, file)) {
            const std::string stem = fs::path(name).stem().string();
            const std::string ext = fs::path(name).extension().string();
            for (int n = 2; fs::exists(aside) && !sameDataSet(aside, file); ++n)
                aside = bad / (stem + "-" + std::to_string(n) + ext);
        }
        if (fs::exists(aside)) {
            if (held) {
                held->drop();
                held->removeInputName();
            } else {
                fs::remove(input_ / name);
            }
            log_->writeLog(errc::Generic, reason + ": " + name + " deleted, a file of that name is in bad objects already",
                           "CopyToBad");
        } else {
            // The reason goes first: a set-aside file is never without it.
            log::writeSetAsideReason(aside, {true, reason});
            moveFile(file, aside);
            process::makePrivate(aside);
            if (held) {
                held->moved();
                held->removeInputName();
            }
            log_->writeLog(errc::Generic, reason + ": " + aside.filename().string() + " moved to bad objects",
                           "CopyToBad");
        }
    } catch (const fs::filesystem_error& e) {
        std::error_code ec;
        if (!fs::exists(aside, ec))
            fs::remove(log::reasonFile(aside), ec);
        log_->writeLog(e.code().value(), e.what(), "CopyToBad");
    } catch (const std::exception& e) {
        logException(*log_, e, "CopyToBad");
    }
}

void IngestService::deleteOrphans()
{
    const bool opened = !connection_.isOpen();
    try {
        const db::OrphansRemoved removed = db::removeOrphans(database());
        const std::pair<std::int64_t, const char*> lines[] = {{removed.series, "entries deleted from tblseries"},
                                                              {removed.studies, "entries deleted from tblstudies"},
                                                              {removed.patients, "entries deleted from tblpatienten"}};
        for (const auto& [count, text] : lines)
            if (count > 0)
                log_->writeLog(count, text, "DeleteFailed");
    } catch (const std::exception& e) {
        const auto fault = storeFault(e);
        if (fault && tellsOfDamage(*fault))
            imageDb_->suspectDamage();
        logException(*log_, e, "DeleteFailed");
    }
    if (opened)
        CloseDB();
}

}  // namespace corva::ingest
