// corvactl list patients | studies <patient ID> | series <study UID> | images <series UID>
#include "browser/browser_queries.h"
#include "common/image_set.h"
#include "app/ctl/arguments.h"
#include "app/ctl/commands.h"
#include "app/ctl/station_lookup.h"

namespace corva::station::ctl {

int listCommand(CtlEnvironment& env, const std::vector<std::string>& args) {
    const Arguments a(args, {{"json", Arguments::Flag}});
    const auto& ops = a.operands();
    if (ops.empty()) throw UsageError("missing what to list: patients, studies, series or images");
    const std::string what = ops[0];
    const bool json = a.has("json");
    const auto needsOne = [&](const char* name) {
        if (ops.size() != 2) throw UsageError("list " + what + " takes one " + name);
        return ops[1];
    };
    db::Database db = openImageDb(env);
    BrowserQueries q(db);
    StationLookup lookup(db);
    std::vector<std::vector<std::string>> rows;
    if (what == "patients") {
        if (ops.size() != 1) throw UsageError("list patients takes no further operand");
        for (const PatientRow& p : q.patients())
            rows.push_back({std::to_string(p.key), p.id, p.name, p.secondName, p.birthDate});
        writeTable(env.out, json, {"Key", "Patient ID", "Name", "Second name", "Birth date"},
                   {"key", "patientId", "name", "secondName", "birthDate"}, rows);
    } else if (what == "studies") {
        const std::string patientId = needsOne("patient ID");
        for (const StudyRow& s : q.studiesOf(patientId)) {
            const std::int64_t studyId = std::stoll(s.studyId);
            rows.push_back({s.studyUid, s.date, s.time, s.modality, s.bodypart,
                            std::to_string(lookup.studyImages(studyId).size())});
        }
        if (rows.empty()) {
            auto st = db.prepare("SELECT COUNT(*) FROM tblPatienten WHERE PATID1 = ?");
            st.bind(1, patientId);
            if (!st.step() || st.getInt(0) == 0) throw NotThere("no patient with the ID " + patientId);
        }
        writeTable(env.out, json, {"Study UID", "Date", "Time", "Modality", "Body part", "Images"},
                   {"studyUid", "date", "time", "modality", "bodyPart", "images"}, rows);
    } else if (what == "series") {
        const CurrentSelection study = lookup.study(needsOne("study UID"));
        for (const SeriesRow& s : q.seriesOf(std::stoll(study.studyId)))
            rows.push_back({s.seriesUid, s.seriesNr, std::to_string(q.imageCount(ImageSetQuery::ofSeries(s.seriesId)))});
        writeTable(env.out, json, {"Series UID", "Series number", "Images"}, {"seriesUid", "seriesNumber", "images"},
                   rows);
    } else if (what == "images") {
        const CurrentSelection series = lookup.series(needsOne("series UID"));
        for (const ImageListRow& i : q.imagesOfSeries(std::stoll(series.seriesId)))
            rows.push_back({i.imageUid, i.imageId, i.date, i.time});
        writeTable(env.out, json, {"Image UID", "Image key", "Date", "Time"}, {"imageUid", "imageKey", "date", "time"},
                   rows);
    } else {
        throw UsageError("cannot list '" + what + "': patients, studies, series or images");
    }
    return ExitComplete;
}

}  // namespace corva::station::ctl
