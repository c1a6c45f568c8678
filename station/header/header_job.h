#pragma once
// The header job (job kind 3, "Updating Study"): applies the task list to the images
// it reaches, writes each changed image as a new file, removes the original and hands
// the new file to the ingest service, which registers it with its new values.
//
// No image is lost on the way: an original is removed only after its rewritten copy is
// completely written, read back with its pixel data decoding, and staged
// (rewrite_handover.h); a copy that fails leaves its original in the store and the
// database. The job hands over its own copies only, never a file of the work folder
// that is not its own, and never replaces a file waiting in the input folder. Every
// image of the patient receives the patient tasks, whatever was loaded.
//
// A task list that would break images or mix patients does not run at all: tasks on the
// pixel layout or the file meta information, and a study or series UID that belongs to
// another patient (task_check.h).
//
// The job runs under the job lock (common/job_lock.h): the job window and corvactl take
// it. It first finishes what an interrupted job left staged. app/ builds a
// HeaderJobInput from the task list, the browser's selection and the viewer's images
// and runs HeaderJob in the job window; at program start it calls
// handOverPendingRewrites() (rewrite_handover.h).
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/station_context.h"
#include "dicom/dicom.h"
#include "header/header_task.h"
#include "common/job.h"

namespace corva::db {
class Database;
}

namespace corva::station::header {

inline constexpr int HeaderJobKind = 3;

// One image of the viewer, in viewer order.
struct LoadedImageRef {
    std::string imageUid;
    std::string studyUid;
    int windowWidth = 0;   // as the viewer holds them (General\ComputeWindow)
    int windowCenter = 0;
};

// What the saving of the loaded images writes into (0028,1051) and (0028,1050).
struct WindowPolicy {
    enum class Mode { Keep, Computed, Custom };  // AutoWindow off; ComputeWindow 1; 0
    Mode mode = Mode::Keep;
    std::string customWidth;
    std::string customCenter;
};

struct HeaderJobInput {
    std::vector<HeaderTask> tasks;
    std::string loadedLevel;  // "Studie" or "Serie"
    std::int64_t patientKey = 0;
    std::int64_t studyId = 0;
    std::vector<LoadedImageRef> loaded;
    WindowPolicy window;
};

// Points of the job at which a test may stop it as if the program were killed.
enum class HeaderJobStep {
    CopyWritten,      // the rewritten copy is complete in the work folder
    CopyStaged,       // the copy waits in the input folder under its staged name
    OriginalRemoved,  // the original's rows and file are gone
    HandedOver,       // the copy carries its registrable name
};
// Thrown at a step to stop the job on the spot; the job lets it through.
struct HeaderJobStopped {};

// Link seams. The programs do nothing at a step and write a copy with
// dicom::Image::write; a test program links its own definitions to stop the job at a
// step as if it were killed, or to make writing fail.
void onHeaderJobStep(HeaderJobStep step, const std::string& imageUid);
void writeRewrittenCopy(const dicom::Image& image, const std::filesystem::path& file);

class HeaderJob : public jobs::Job {
public:
    HeaderJob(ProgramPaths paths, HeaderJobInput input);

    std::string caption() const override { return "Updating Study"; }
    jobs::JobOutcome run(jobs::JobReport& report) override;

private:
    struct Target;
    std::vector<Target> collectTargets(corva::db::Database& db, jobs::JobReport& report) const;

    ProgramPaths paths_;
    HeaderJobInput input_;
};

}  // namespace corva::station::header
