#pragma once
// Whether the image database and the image store agree, and what interrupted work left
// behind: the site's check after a crash, a full disk or a kill, and the station's look
// at start. Reading only; the repair puts files without rows back through the input
// folder to be filed again and never deletes an image file.
#include <filesystem>
#include <string>
#include <vector>

#include "common/station_context.h"

namespace corva::station::jobs {

struct CheckFinding {
    enum class Kind {
        RowWithoutFile,    // an image row whose file is missing from the image store
        FileWithoutRow,    // an image file no row names
        DeleteLeftover,    // a study folder set aside by an interrupted "delete all"
        PartialFile,       // a file a receive or a write left half written
        StagedRewrite,     // a header job's rewritten copy not handed over yet
        WorkFolderImage,   // a converted image waiting in the work folder
        SetAside,          // a file the ingest service set aside (Temp/BadObjects), with its reason
        WaitingInInput,    // an image waiting in the input folder to be filed
        NotAFile,          // something other than a file where an image file belongs
        CommitmentPending,    // an image sent for storage commitment whose archive has not answered
        CommitmentUnsettled,  // an image the archive committed whose removal was interrupted
        DoseReportOwed,       // a study's dose report that an interrupted forwarding did not deliver
    };
    Kind kind;
    std::filesystem::path path;
    std::string detail;
};

struct CheckReport {
    std::vector<CheckFinding> findings;
    std::size_t imagesChecked = 0;

    std::size_t count(CheckFinding::Kind kind) const;
    // Rows and files match one to one and no interrupted work waits.
    bool consistent() const;
    // One line for the operator ("2 image files without rows, 1 staged rewrite").
    std::string summary() const;
};

// The text of a finding's kind, as corvactl prints it ("file without row").
std::string kindText(CheckFinding::Kind kind);

// Compares the image rows with the files of the image store and lists what interrupted
// work left. Throws corva::Error when the image database cannot be read.
CheckReport checkConsistency(const ProgramPaths& paths);

// Moves each image file without a row into the input folder, where the ingest service
// files it again (a file of that name waiting there is never replaced: that one stays
// for the next run). A file whose content is an image filed already under another
// name stays where it is: filing it again would replace one copy by the other. Returns
// the files moved.
std::vector<std::filesystem::path> refileFilesWithoutRows(const ProgramPaths& paths, const CheckReport& report);

// Moves each file the ingest service set aside for no fault of its own (an older service
// gave up on files while the database or the disk failed) back into the input folder,
// never over a file waiting there. Files set aside for their own faults stay. Returns
// the files moved.
std::vector<std::filesystem::path> requeueSetAside(const ProgramPaths& paths, const CheckReport& report);

}  // namespace corva::station::jobs
