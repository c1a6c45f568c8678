// corvactl edit --patient <key>|--study <UID>|--series <UID>
//               --set <gggg,eeee>=<value> [--set ...] | --rule <name> [--set ...]
#include <map>

#include "app/ctl/arguments.h"
#include "app/ctl/commands.h"
#include "app/ctl/console_report.h"
#include "app/ctl/station_lookup.h"
#include "dicom/dicom.h"
#include "header/header_job.h"
#include "header/rewrite_handover.h"
#include "header/rule_store.h"
#include "header/task_check.h"

namespace corva::station::ctl {

namespace {

// "--set 0010,0010=Doe^Jane" as the attribute and its new value.
std::pair<dicom::Tag, std::string> parseSet(const std::string& text) {
    const auto eq = text.find('=');
    const auto tag = eq == std::string::npos ? std::nullopt : dicom::Tag::parse(text.substr(0, eq));
    if (!tag) throw UsageError("--set takes <gggg,eeee>=<value>, not '" + text + "'");
    return {*tag, text.substr(eq + 1)};
}

// The task list's source text "GGGG,EEEE - Description", the description from the
// station's dictionary (empty when the attribute is not in it).
std::string sourceText(db::Database& userDb, const dicom::Tag& tag) {
    std::string description;
    if (userDb.hasTable("tblDictionary")) {
        auto st = userDb.prepare("SELECT Description FROM tblDictionary WHERE Tag = ?");
        st.bind(1, tag.text());
        if (st.step() && !st.isNull(0)) description = st.getText(0);
    }
    return tag.text() + " - " + description;
}

// Hands over what an interrupted edit left staged (the caller holds the job lock) and
// waits until the ingest service has filed it.
void finishInterruptedEdit(CtlEnvironment& env) {
    // Taking the job lock handed them over already; any left since go now.
    const header::PendingHandOver pending = header::finishPendingRewrites(env.paths);
    std::vector<std::filesystem::path> handedOver = env.handedOver;
    handedOver.insert(handedOver.end(), pending.handedOver.begin(), pending.handedOver.end());
    if (handedOver.empty()) return;
    if (!pending.handedOver.empty())
        env.err << "corvactl: handing over " << pending.handedOver.size()
                << " image(s) of an interrupted edit to the ingest service ..." << std::endl;
    if (!header::waitUntilFiled(handedOver, header::FilingWait, [] { return ConsoleReport::cancelSignalled(); }))
        throw CommandFailed(std::to_string(handedOver.size()) +
                            " image(s) of an interrupted edit wait for the ingest service in " +
                            env.paths.inputFolder.string() + "; nothing was changed (is Ingrado running?)");
}

}  // namespace

int editCommand(CtlEnvironment& env, const std::vector<std::string>& args) {
    const Arguments a(args, {{"patient", Arguments::Value},
                             {"study", Arguments::Value},
                             {"series", Arguments::Value},
                             {"set", Arguments::Values},
                             {"rule", Arguments::Value}});
    a.noOperands();
    const std::string level = a.exactlyOne({"patient", "study", "series"});
    if (!a.has("set") && !a.has("rule")) throw UsageError("missing --set <gggg,eeee>=<value> or --rule <name>");
    std::map<dicom::Tag, std::string> values;
    for (const auto& s : a.values("set")) {
        auto [tag, value] = parseSet(s);
        if (!values.emplace(tag, value).second) throw UsageError("--set " + tag.text() + " given twice");
    }
    const std::int64_t patientKey = level == "patient" ? patientKeyArgument(*a.value("patient")) : 0;
    const std::string levelName = level == "patient" ? "Patient" : level == "study" ? "Study" : "Series";

    std::vector<header::HeaderTask> tasks;
    {
        db::Database userDb = openUserDb(env);
        if (a.has("rule")) {
            // The rule's tasks as stored; a "Change entry" stored without its value takes
            // the value of --set (the station asks for it on every replay).
            const std::string name = *a.value("rule");
            header::RuleStore rules(userDb);
            if (!rules.exists(name)) throw NotThere("no rule named '" + name + "'");
            std::map<dicom::Tag, bool> used;
            for (header::HeaderTask t : rules.tasks(name)) {
                const auto tag = header::columnTag(t.source);
                if (t.actionNumber == "0" && tag) {
                    if (const auto v = values.find(*tag); v != values.end()) {
                        t.target = v->second;
                        used[*tag] = true;
                    } else if (t.target.empty()) {
                        throw UsageError("rule '" + name + "' asks for the value of " + tag->text() + ": give --set " +
                                         tag->text() + "=<value>");
                    }
                }
                tasks.push_back(std::move(t));
            }
            for (const auto& [tag, value] : values)
                if (!used.count(tag)) throw UsageError("rule '" + name + "' does not change " + tag.text());
        } else {
            for (const auto& [tag, value] : values)
                tasks.push_back({levelName, sourceText(userDb, tag), {}, header::ActionNames[0], value, "0"});
        }
    }

    const JobLock lock = takeJobLock(env);
    // An edit that was stopped may have left images only as staged copies: they are
    // handed over and filed first, so that what the command names is found again.
    finishInterruptedEdit(env);
    header::HeaderJobInput input;
    {
        db::Database db = openImageDb(env);
        StationLookup lookup(db);
        // What the station would have loaded: the study or the series in the viewer.
        CurrentSelection s;
        std::vector<std::string> loaded;
        if (level == "patient") {
            s = lookup.patient(patientKey);
            s.loadedLevel = "Studie";
        } else if (level == "study") {
            s = lookup.study(*a.value("study"));
            loaded = lookup.studyImages(std::stoll(s.studyId));
        } else {
            s = lookup.series(*a.value("series"));
            loaded = lookup.seriesImages(std::stoll(s.seriesId));
        }
        input.loadedLevel = s.loadedLevel;
        input.patientKey = s.patientKey;
        input.studyId = s.studyId.empty() ? 0 : std::stoll(s.studyId);
        for (const auto& uid : loaded) input.loaded.push_back({uid, s.studyUid, 0, 0});
        // The stored window values stay as they are: nothing was windowed on screen.
        input.window.mode = header::WindowPolicy::Mode::Keep;
        if (const std::string refusal = header::taskListRefusal(db, tasks, input.patientKey); !refusal.empty())
            throw CommandFailed(refusal + " Nothing was changed.");
        input.tasks = std::move(tasks);
    }
    header::HeaderJob job(env.paths, std::move(input));
    return runJob(env, job);
}

}  // namespace corva::station::ctl
