#pragma once
// The safe path of a rewritten image into the input folder.
//
// A rewritten copy waits in the input folder as "<SOP UID>.dcm.rewrite", a name the
// ingest service does not take, beside a note "<SOP UID>.dcm.rewrite.orig" naming the
// original (study UID and SOP instance UID). Only when the original's rows and file
// are gone is the copy renamed to "<SOP UID>.dcm" and registered: an image whose UID is
// still registered, or whose file is still in the store, would be dropped by the
// ingest service as already known. The note is removed last. A program that stops at
// any point leaves either the original or a staged copy with its note, and
// handOverPendingRewrites() finishes the hand-over at the next start.
#include <cstddef>
#include <filesystem>
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

// Flushes a file or folder to disk (a rename after it never exposes unwritten bytes).
void syncPath(const std::filesystem::path& p);

// Moves a completely written copy into the input folder as a staged rewrite, with its
// note written first. Throws corva::Error on failure; the copy is then removed.
StagedRewrite stageRewrite(const ProgramPaths& paths, const std::filesystem::path& writtenCopy,
                           const std::string& newImageUid, const OriginalImage& original);

// Removes the original's image row (and the series, study and patient rows left
// empty by it, so the copy is not filed under stale rows) and its file in the store.
// True when neither is left. Throws corva::Error on a database or file failure.
bool removeOriginal(db::Database& db, const ProgramPaths& paths, const OriginalImage& original);

// Renames the staged copy to its registrable name and removes the note.
void handOver(const StagedRewrite& rewrite);

// The staged rewrites waiting in the input folder (with their notes).
std::vector<StagedRewrite> pendingRewrites(const ProgramPaths& paths);

// Finishes every staged rewrite left by a job that stopped: removes its original when
// still there, then hands the copy over. Returns the number handed over. Errors are
// written to the error log ("HeaderJob HandOver"); the copy then waits for next time.
std::size_t handOverPendingRewrites(const ProgramPaths& paths);

}  // namespace corva::station::header
