#pragma once
// Deleting series, studies, patients and the whole image database with their files in
// the image store. The jobs open their own connection to the image database (they run
// off the user-interface thread) and work on a copy of the browser's selection.
#include <filesystem>
#include <string>

#include "common/station_context.h"
#include "db/database.h"
#include "db/image_index.h"
#include "db/interrupted_delete.h"
#include "common/job.h"

namespace corva::station::jobs {

// What a job works on, copied from the station context on the user-interface thread.
struct JobTarget {
    ProgramPaths paths;
    CurrentSelection selection;

    static JobTarget current();  // the station's paths and selection now
};

// The three delete procedures on one open database. Each writes its phases to the
// report, returns true when it ran to its end and says what it removed. Rows are
// deleted in one transaction per procedure, so the ingest service registers either
// before or after; patients are deleted by their key, never by their patient ID,
// which other patients may share.
class ImageDeleter {
public:
    ImageDeleter(db::Database& db, const JobTarget& target, JobReport& report)
        : db_(db), t_(target), report_(report) {}

    bool deletePatient();
    // `afterStudySend`: the patient row goes too when this was its last study.
    bool deleteStudy(bool afterStudySend);
    bool deleteSeries();

    bool patientRemoved() const { return patientRemoved_; }
    bool studyRemoved() const { return studyRemoved_; }

private:
    // Removes exactly these images and the containers `also` names when left empty, then
    // their files; false (logged under `location`) when a file was missing or stayed.
    // `studyPhaseForFiles`: the file step is the study folder's, not single images'.
    bool removeImagesOf(const std::vector<db::ImageRef>& images, const db::ImageIndex::Containers& also,
                        bool studyPhaseForFiles, const char* location);
    db::Database& db_;
    const JobTarget& t_;
    JobReport& report_;
    bool patientRemoved_ = false;
    bool studyRemoved_ = false;
};

// Kinds 5, 6 and 7: one procedure, then "Tasks done.".
class DeleteJob : public Job {
public:
    // StudyAndEmptyPatient: a study shown as its patient's only one. The patient goes
    // along only when nothing else is left of it once the study's images are gone: a
    // study filed since the list was shown keeps it.
    enum class Level { Series, Study, StudyAndEmptyPatient, Patient };
    DeleteJob(Level level, JobTarget target) : level_(level), target_(std::move(target)) {}
    std::string caption() const override { return "Delete images"; }
    JobOutcome run(JobReport& report) override;

    // Read after the job has finished.
    bool succeeded() const { return succeeded_; }
    bool patientRemoved() const { return patientRemoved_; }
    bool studyRemoved() const { return studyRemoved_; }

private:
    Level level_;
    JobTarget target_;
    bool succeeded_ = false;
    bool patientRemoved_ = false;
    bool studyRemoved_ = false;
};

// Kind 4: empties the image database to the template's content and removes every
// study folder of the image store. Either finishes or is undone: a run that fails brings
// the folders back, one that is killed leaves a note from which the next start finishes
// or undoes it (db/interrupted_delete.h).
class DeleteAllJob : public Job {
public:
    explicit DeleteAllJob(ProgramPaths paths) : paths_(std::move(paths)) {}
    std::string caption() const override { return "Delete Patient list"; }
    JobOutcome run(JobReport& report) override;

private:
    ProgramPaths paths_;
};

// Replaces every row of the image database by the template's rows in one transaction
// while the study folders of `imageStore` are moved aside under the same write lock: an
// image the ingest service registers meanwhile lands wholly before (and goes) or wholly
// after (and stays, in a fresh folder). Returns the moved-aside folders, to be removed
// after; on failure they are back in place before the error is thrown.
db::AsideFolders emptyImageDatabase(const std::filesystem::path& imageDb, const std::filesystem::path& templateDb,
                                    const std::filesystem::path& imageStore);

// At a start (the station, corvactl): finishes or undoes a "delete all" that was killed or
// failed half-way, unless a job holds the job lock now. Never throws.
void recoverInterruptedDeleteAll(const ProgramPaths& paths);
// The same for a caller that holds the job lock.
void recoverInterruptedDeleteAllLocked(const ProgramPaths& paths);

// At a start or a job's start, holding the job lock: removes the files a killed job's
// committed removal (a delete, a send or forwarding without keep, a commitment's) left in
// the image store, each only while no row names it. Never throws; failures are logged.
void finishInterruptedRemovals(const ProgramPaths& paths);
// The same at a program's start, unless a job holds the job lock now (its removal is its own).
void finishInterruptedRemovalsAtStart(const ProgramPaths& paths);

}  // namespace corva::station::jobs
