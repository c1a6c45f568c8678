#pragma once
// The safe path of a rewritten image into the input folder.
//
// The header job writes its copies in a folder of its own (headerWorkFolder: never the
// converted images of bin/ beside it). A complete copy waits in the input folder as
// "<SOP UID>.dcm.rewrite", a name the ingest service does not take, beside a note
// "<SOP UID>.dcm.rewrite.orig" naming the original (study UID and SOP instance UID).
// Only when the original's rows and file are gone is the copy renamed to "<SOP UID>.dcm"
// and registered: an image whose UID is still registered, or whose file is still in the
// store, would be dropped by the ingest service as already known. The note is removed
// last. No step replaces a file: while another file of the registrable name waits in the
// input folder, the copy stays staged (and its original in the store) until a later
// hand-over. A program that stops at any point leaves either the original or a staged
// copy with its note, and the next start finishes the hand-over.
//
// Everything here changes the image store: the caller holds the job lock
// (common/job_lock.h), except handOverPendingRewrites(), which takes it itself.
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/station_context.h"

namespace corva::db {
class Database;
}

namespace corva::station::header {

inline constexpr const char* StagedSuffix = ".rewrite";
inline constexpr const char* NoteSuffix = ".rewrite.orig";

struct OriginalImage {
    std::string studyUid;
    std::string imageUid;
};

struct StagedRewrite {
    std::filesystem::path staged;  // Temp/<new SOP UID>.dcm.rewrite
    std::string newImageUid;
    OriginalImage original;
};

// Where the header job writes its copies ("<SOP UID>.dcm.part"): a folder of its own
// inside the work folder, whose files the other jobs never see.
std::filesystem::path headerWorkFolder(const ProgramPaths& paths);

// Flushes a file or folder to disk (a rename after it never exposes unwritten bytes).
void syncPath(const std::filesystem::path& p);

// Moves a completely written copy into the input folder as a staged rewrite, with its
// note written first. Throws corva::Error on failure (also when a copy of that name is
// staged already); the written copy is then left where it was.
StagedRewrite stageRewrite(const ProgramPaths& paths, const std::filesystem::path& writtenCopy,
                           const std::string& newImageUid, const OriginalImage& original);

// Removes the original's image row (and the series, study and patient rows left
// empty by it, so the copy is not filed under stale rows) and its file in the store.
// True when neither is left. Throws corva::Error on a database or file failure.
bool removeOriginal(db::Database& db, const ProgramPaths& paths, const OriginalImage& original);

// A copy given a SOP instance UID of its own that another image is filed under by now
// (received while the job ran) would be taken for a repeat of that image and dropped by
// the ingest service. While its original is still there the copy is dropped instead (with
// its note: the edit is undone for that image) and true is returned; false when the UID
// is free. Throws corva::Error, the copy staying staged, when the original is gone.
bool abandonWhenUidTaken(db::Database& db, const ProgramPaths& paths, const StagedRewrite& rewrite);

// The name the copy is registered under: Temp/<new SOP UID>.dcm.
std::filesystem::path handOverName(const StagedRewrite& rewrite);
// False while another file waits in the input folder under the copy's registrable name.
bool canHandOver(const StagedRewrite& rewrite);
// Renames the staged copy to its registrable name and removes the note. False, and the
// copy stays staged, when a file of that name waits in the input folder: it is never
// replaced. Throws corva::Error when the rename fails otherwise.
bool handOver(const StagedRewrite& rewrite);

// The staged rewrites waiting in the input folder (with their notes).
std::vector<StagedRewrite> pendingRewrites(const ProgramPaths& paths);

struct PendingHandOver {
    std::vector<std::filesystem::path> handedOver;  // Temp/<SOP UID>.dcm, for the ingest service
    std::size_t waiting = 0;                         // still staged (a file of their name waits, an error)
};

// Finishes every staged rewrite left by a job that stopped: removes its original when
// still there, then hands the copy over; drops the partial copies such a job left in
// the header work folder. The caller holds the job lock. Errors are written to the
// error log ("HeaderJob HandOver"); the copy then waits for the next time.
PendingHandOver finishPendingRewrites(const ProgramPaths& paths);

// finishPendingRewrites() under the job lock, taken here without waiting (at program
// start). While another job holds the lock nothing is done: that job, or the next start,
// finishes them. Returns the number handed over.
std::size_t handOverPendingRewrites(const ProgramPaths& paths);

// Waits until the ingest service has taken the handed-over files out of the input
// folder, at most `limit`; false when some are still there (or `cancelled` said so).
bool waitUntilFiled(const std::vector<std::filesystem::path>& handedOver, std::chrono::milliseconds limit,
                    const std::function<bool()>& cancelled = {});

// How long a job waits for the ingest service to file the copies an interrupted job left.
inline constexpr std::chrono::milliseconds FilingWait{60000};

}  // namespace corva::station::header
