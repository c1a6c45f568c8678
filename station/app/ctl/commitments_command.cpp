// corvactl commitments: finishes what the archives' storage commitment answers allow
// (removes the committed images whose removal a send asked for) and lists what is
// still waiting for an answer.
#include <ostream>

#include "app/ctl/arguments.h"
#include "app/ctl/commands.h"
#include "common/storage_destinations.h"
#include "db/commitments.h"
#include "jobs/commitment.h"
#include "log/error_log.h"
#include "settings/settings.h"

namespace corva::station::ctl {

int commitmentsCommand(CtlEnvironment& env, const std::vector<std::string>& args) {
    const Arguments a(args, {{"ask-again", Arguments::Flag}});
    a.noOperands();
    const JobLock lock = takeJobLock(env);
    db::Database db = openImageDb(env);
    if (a.has("ask-again"))
        for (const db::CommitmentTransaction& tx : db::CommitmentStore(db).open()) {
            if (tx.answeredAll()) continue;
            try {
                // A destination of the list that sends over TLS is asked over TLS.
                std::optional<dicom::TlsFiles> tls;
                {
                    db::Database userDb = openUserDb(env);
                    for (const StorageDestination& d : storageDestinations(userDb))
                        if (d.aet + "@" + d.ip + ":" + d.port == tx.destination && d.tls.files()) tls = d.tls.files();
                }
                jobs::askAgain(db, tx, settings::current().irAet, tls);
                env.err << "corvactl: asked " << tx.destination << " again for transaction " << tx.transactionUid
                        << std::endl;
            } catch (const Error& e) {
                log::LogError(e.code(), e.message(), "corvactl commitments");
                env.err << "corvactl: " << tx.destination << " not asked again: " << e.message() << std::endl;
            }
        }
    jobs::SettleResult settled;
    try {
        settled = jobs::settleCommitments(db, env.paths);
    } catch (const Error& e) {
        log::LogError(e.code(), e.message(), "corvactl commitments");
        throw CommandFailed("the commitments cannot be settled: " + e.message());
    }
    for (const std::string& uid : settled.committed) env.out << "committed\t" << uid << '\n';
    for (const std::string& line : settled.failed) {
        const auto colon = line.find(": ");
        env.out << "not committed\t" << line.substr(0, colon) << '\t'
                << (colon == std::string::npos ? std::string() : line.substr(colon + 2)) << "; the image stays\n";
    }
    for (const std::string& uid : settled.kept)
        env.out << "kept\t" << uid << "\tcommitted, but filed anew since it was sent; the new copy stays\n";
    // What is still waiting, with its transaction.
    for (const db::CommitmentTransaction& tx : db::CommitmentStore(db).open())
        if (!tx.answeredAll())
            for (const db::CommitmentItem& item : tx.items)
                env.out << "pending\t" << item.sopInstanceUid << '\t' << "transaction " << tx.transactionUid << " to "
                        << tx.destination << ", asked " << tx.requested << ": no answer yet\n";
    for (const auto& f : settled.left)
        log::LogError(errc::Generic, "Could not remove " + f.string() + " after its commitment", "corvactl commitments");
    env.out << settled.removal.images.size() << " committed images removed, " << settled.failed.size()
            << " not committed, " << settled.pending.size() << " waiting for an answer\n";
    // A request a kill cut off, or an answer lost while the receiver was stopped, never
    // comes on its own.
    if (!settled.pending.empty() && !a.has("ask-again"))
        env.err << "corvactl: an archive that does not answer may never have had the request: "
                   "corvactl commitments --ask-again asks it again\n";
    if (!settled.removal.images.empty()) announceChange(env);
    return settled.failed.empty() && settled.pending.empty() && settled.left.empty() ? ExitComplete : ExitFailed;
}

}  // namespace corva::station::ctl
