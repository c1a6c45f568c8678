#pragma once
// The ingest service: every tick it takes the input files that stayed unchanged for a
// whole tick, registers each, moves it into the image store and reports it in the
// receive table. With the input folder watched, files renamed into it are taken as they
// arrive, between ticks (see input_watch.h). Files that fail by their own fault are retried on later ticks and
// after 50 attempts set aside in Temp/BadObjects, with the reason beside them. When the
// database or the disk fails, files wait uncounted (an outage, see outage.h).
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "db/connection.h"
#include "image_database.h"
#include "ingest_log.h"
#include "input_scanner.h"
#include "input_watch.h"
#include "outage.h"
#include "registrar.h"

namespace corva::ingest {

class HeldFile;

class IngestService {
public:
    // Attempts before a file is given up.
    static constexpr int MaxTries = 50;
    // The longest file name the file system takes (NAME_MAX).
    static constexpr std::size_t MaxNameBytes = 255;

    explicit IngestService(std::filesystem::path programFolder);

    // Start-up after the single-instance check: creates Data/QAData.dat from the
    // template when missing, creates Temp and Images, reads the debug marker, sets
    // the database file and clears what an ended run left in Temp.
    void start();

    // One tick: scan, process the work list, close the database, orphan clean-up.
    // When `stop` becomes true the tick ends after the file in hand.
    void tick(const std::atomic<bool>* stop = nullptr);

    // Watches the input folder from now on: ticks and takeArrivals() then take files
    // renamed in at once. Without it (or when the watch cannot be set) only the scan
    // takes files.
    void watchInput();
    // Waits until a file may have arrived (true), `deadline` (CLOCK_MONOTONIC) has passed
    // or `stop` became true; sleeps when the folder is not watched.
    bool waitForArrivals(const timespec& deadline, const std::atomic<bool>* stop);
    // Files the receiver renamed in since the last tick or pass: registered and moved at
    // once, without waiting for the stability rule. Nothing else of a tick is done; during
    // an outage they wait for the tick's paced tries.
    void takeArrivals(const std::atomic<bool>* stop = nullptr);
    // Ticks run and passes over arrived files that took at least one file, since the start.
    std::uint64_t ticks() const { return ticks_; }
    std::uint64_t arrivalPasses() const { return arrivalPasses_; }

    // What becomes of a file to set aside when BadObjects holds one of its name already.
    enum class WhenTaken {
        Delete,      // a file given up after its attempts: the one there stands for it
        KeepBeside,  // any other: kept under a free name unless it is the same file again
    };
    // Sets the input file (or `file`, the service's hold of it) aside in Temp/BadObjects
    // with the reason beside it, and logs it once, with the reason.
    void copyToBad(const std::string& name, const std::string& reason, HeldFile* held = nullptr,
                   WhenTaken whenTaken = WhenTaken::KeepBeside);
    // Removes series without images, studies without series and patients without studies.
    void deleteOrphans();

    IngestLog& log() { return *log_; }
    const std::filesystem::path& inputFolder() const { return input_; }
    const std::filesystem::path& imageFolder() const { return images_; }
    const Outage& outage() const { return *outage_; }

private:
    // At start: a file the service died on (crashed marker) is set aside; one it was
    // ended on from outside keeps its count and is tried again.
    void recoverInterrupted();
    // Removes what a killed run left: holds and removals given back, half-written copies
    // of processes that are gone.
    void clearLeftovers();
    // How one attempt on a file ended.
    enum class Attempt {
        Done,         // filed, replaced by a copy, or set aside
        Failed,       // the file's own fault: counted, tried again
        Changed,      // the file changed in hand: uncounted, tried again
        Waits,        // waits for another file: uncounted
        StoreFailed,  // the database or the disk failed: uncounted, see storeFault_
    };
    // Registers and moves the files of a work list; a store that fails begins an outage.
    // With `reuseOpen` a database open already is used as it is.
    void processWork(const std::vector<std::string>& work, const std::atomic<bool>* stop, bool reuseOpen = false);
    // Names the watch saw renamed in that still are plain files.
    std::vector<std::string> arrivedFiles();
    Attempt processFile(std::size_t position, std::size_t count, const std::string& name, Keys& keys);
    Attempt attempt(const std::string& name, Keys& keys, HeldFile& held, const std::string& tryPath);
    // Moves a registered file into its study's folder (its rows and receive-table row
    // are committed already).
    Attempt handleRegistered(const std::string& name, const std::string& studyUid, HeldFile& held);
    bool OpenDB();
    void CloseDB();
    db::Database& database();
    void debug(const std::string& text) { log_->writeDebugLog(text); }

    std::filesystem::path folder_;
    std::filesystem::path input_;
    std::filesystem::path images_;
    std::optional<IngestLog> log_;
    std::optional<InputScanner> scanner_;
    std::optional<InputWatch> watch_;
    std::uint64_t ticks_ = 0;
    std::uint64_t arrivalPasses_ = 0;
    db::Connection connection_;
    std::optional<ImageDatabase> imageDb_;
    std::optional<Outage> outage_;
    std::string storeFault_;     // why the last attempt's store failed
    bool outageOnOpen_ = false;  // the outage began with a database that did not open
    bool filed_ = false;         // the last attempt filed its file: the store works
    std::optional<Registrar> registrar_;  // prepared statements of the current tick
};

// Called while the service holds an input file, before it reads it. Does nothing in
// Ingrado; a test program links a definition of its own.
void onFileInHand(const std::string& name);
// Called after the file's header was read, before its rows are committed and it is
// moved. Does nothing in Ingrado; a test program links a definition of its own.
void onFileRead(const std::string& name);

}  // namespace corva::ingest
