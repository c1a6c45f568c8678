// corvactl delete --patient <key>|--study <UID>|--series <UID>, delete --all --yes
#include "app/ctl/arguments.h"
#include "app/ctl/commands.h"
#include "app/ctl/station_lookup.h"
#include "jobs/delete_jobs.h"

namespace corva::station::ctl {

int deleteCommand(CtlEnvironment& env, const std::vector<std::string>& args) {
    const Arguments a(args, {{"patient", Arguments::Value},
                             {"study", Arguments::Value},
                             {"series", Arguments::Value},
                             {"all", Arguments::Flag},
                             {"yes", Arguments::Flag}});
    a.noOperands();
    const std::string level = a.exactlyOne({"patient", "study", "series", "all"});
    if (level == "all") {
        // The station asks "Delete all database entries and images?"; here --yes answers.
        if (!a.has("yes")) throw UsageError("delete --all removes every patient and image: confirm with --yes");
        const JobLock lock = takeJobLock(env);
        jobs::DeleteAllJob job(env.paths);
        const int status = runJob(env, job);
        announceChange(env);
        return status;
    }
    if (a.has("yes")) throw UsageError("--yes belongs to --all");
    const std::int64_t patientKey = level == "patient" ? patientKeyArgument(*a.value("patient")) : 0;

    const JobLock lock = takeJobLock(env);
    jobs::JobTarget target;
    target.paths = env.paths;
    jobs::DeleteJob::Level jobLevel = jobs::DeleteJob::Level::Patient;
    {
        db::Database db = openImageDb(env);
        StationLookup lookup(db);
        if (level == "patient") {
            target.selection = lookup.patient(patientKey);
        } else if (level == "study") {
            target.selection = lookup.study(*a.value("study"));
            // As the study popup does: a patient's only study takes the patient along, when
            // nothing else of it is left once the study is gone (never a study filed since).
            jobLevel = lookup.studyCountOf(target.selection.patientKey) == 1 && target.selection.patientKey > 0
                           ? jobs::DeleteJob::Level::StudyAndEmptyPatient
                           : jobs::DeleteJob::Level::Study;
        } else {
            // The series deletion itself removes a study left without series and a
            // patient left without studies.
            target.selection = lookup.series(*a.value("series"));
            jobLevel = jobs::DeleteJob::Level::Series;
        }
    }
    jobs::DeleteJob job(jobLevel, target);
    const int status = runJob(env, job);
    announceChange(env);
    return status;
}

}  // namespace corva::station::ctl
