// corvactl check [--repair]: whether image rows and image files match one to one, and
// what interrupted work left behind; files the ingest service set aside are listed with
// their reasons, and --repair files again those set aside for no fault of their own.
#include <ostream>

#include "app/ctl/arguments.h"
#include "app/ctl/commands.h"
#include "header/rewrite_handover.h"
#include "jobs/commitment.h"
#include "jobs/consistency_check.h"

namespace corva::station::ctl {

namespace {

void writeReport(std::ostream& out, const jobs::CheckReport& report) {
    for (const jobs::CheckFinding& f : report.findings)
        out << jobs::kindText(f.kind) << '\t' << f.path.string() << '\t' << f.detail << '\n';
    out << report.imagesChecked << " image rows checked: " << report.summary() << '\n';
}

}  // namespace

int checkCommand(CtlEnvironment& env, const std::vector<std::string>& args) {
    const Arguments a(args, {{"repair", Arguments::Flag}});
    a.noOperands();
    if (a.has("repair")) {
        // Rewrites a stopped header job staged go to the ingest service first (this
        // takes the job lock itself).
        const std::size_t handedOver = header::handOverPendingRewrites(env.paths);
        if (handedOver) env.err << "corvactl: " << handedOver << " staged rewrite(s) handed over" << std::endl;
        const JobLock lock = takeJobLock(env);
        {
            // Committed images whose removal was interrupted go first: their files
            // without rows are not to be filed again.
            db::Database db = openImageDb(env);
            const jobs::SettleResult settled = jobs::settleCommitments(db, env.paths);
            if (!settled.removal.images.empty()) {
                env.err << "corvactl: " << settled.removal.images.size() << " committed image(s) removed" << std::endl;
                announceChange(env);
            }
        }
        const jobs::CheckReport before = jobs::checkConsistency(env.paths);
        const auto refiled = jobs::refileFilesWithoutRows(env.paths, before);
        for (const auto& file : refiled) env.err << "corvactl: filed again: " << file.filename().string() << std::endl;
        const auto requeued = jobs::requeueSetAside(env.paths, before);
        for (const auto& file : requeued)
            env.err << "corvactl: set aside for no fault of its own, filed again: " << file.filename().string()
                    << std::endl;
        if (!refiled.empty() || !requeued.empty()) announceChange(env);
    }
    const jobs::CheckReport report = jobs::checkConsistency(env.paths);
    writeReport(env.out, report);
    return report.consistent() ? ExitComplete : ExitFailed;
}

}  // namespace corva::station::ctl
