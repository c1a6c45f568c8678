#pragma once
// The ingest service: every tick it takes the input files that stayed unchanged for a
// whole tick, registers each, moves it into the image store and reports it in the
// receive table. Files that fail are retried on later ticks and after 50 attempts set
// aside in Temp/BadObjects.
#include <atomic>
#include <filesystem>
#include <optional>
#include <string>

#include "db/connection.h"
#include "ingest_log.h"
#include "input_scanner.h"
#include "registrar.h"

namespace corva::ingest {

class IngestService {
public:
    // Attempts before a file is given up.
    static constexpr int MaxTries = 50;
    // The longest file name the file system takes (NAME_MAX).
    static constexpr std::size_t MaxNameBytes = 255;

    explicit IngestService(std::filesystem::path programFolder);

    // Start-up after the single-instance check: creates Data/QAData.dat from the
    // template when missing, creates Temp and Images, reads the debug marker and sets
    // the database file.
    void start();

    // One tick: scan, process the work list, close the database, orphan clean-up.
    // When `stop` becomes true the tick ends after the file in hand.
    void tick(const std::atomic<bool>* stop = nullptr);

    // Sets the input file aside in Temp/BadObjects (deleted when a file of that name is
    // there) and logs it once, with the reason.
    void copyToBad(const std::string& name, const std::string& reason);
    // Removes series without images, studies without series and patients without studies.
    void deleteOrphans();

    IngestLog& log() { return *log_; }
    const std::filesystem::path& inputFolder() const { return input_; }
    const std::filesystem::path& imageFolder() const { return images_; }

private:
    // At start: a file the service died on (crashed marker) is set aside; one it was
    // ended on from outside keeps its count and is tried again.
    void recoverInterrupted();
    void processFile(std::size_t position, std::size_t count, const std::string& name, Keys& keys);
    // Moves a registered file into its study's folder (its rows and receive-table row
    // are committed already).
    void handleRegistered(const std::string& name, const std::string& studyUid);
    bool OpenDB();
    void CloseDB();
    db::Database& database();
    void debug(const std::string& text) { log_->writeDebugLog(text); }

    std::filesystem::path folder_;
    std::filesystem::path input_;
    std::filesystem::path images_;
    std::optional<IngestLog> log_;
    std::optional<InputScanner> scanner_;
    db::Connection connection_;
    std::optional<Registrar> registrar_;  // prepared statements of the current tick
};

// Called while the service holds an input file, before it reads it. Does nothing in
// Ingrado; a test program links a definition of its own.
void onFileInHand(const std::string& name);

}  // namespace corva::ingest
