// corvactl list patients | studies <patient ID> | series <study UID> | images <series UID>
//               | destinations
#include "browser/browser_queries.h"
#include "common/image_set.h"
#include "app/ctl/arguments.h"
#include "app/ctl/commands.h"
#include "app/ctl/station_lookup.h"
#include "common/storage_destinations.h"

namespace corva::station::ctl {

int listCommand(CtlEnvironment& env, const std::vector<std::string>& args) {
    const Arguments a(args, {{"json", Arguments::Flag}});
    const auto& ops = a.operands();
    if (ops.empty()) throw UsageError("missing what to list: patients, studies, series, images or destinations");
    const std::string what = ops[0];
    const bool json = a.has("json");
    if (what == "destinations") {
        // The options window's list, with whether each is asked for storage commitment and
        // how each is reached: plain DICOM or TLS and its files.
        if (ops.size() != 1) throw UsageError("list destinations takes no further operand");
        db::Database userDb = openUserDb(env);
        std::vector<std::vector<std::string>> rows;
        for (const StorageDestination& d : storageDestinations(userDb))
            rows.push_back({d.alias, d.aet, d.ip, d.port, d.isDefault ? "yes" : "no", d.commitment ? "yes" : "no",
                            d.tls.use ? "TLS" : "plain",
                            d.tls.use ? d.tls.caFile : "", d.tls.use ? d.tls.certificateFile : "",
                            d.tls.use ? d.tls.keyFile : ""});
        writeTable(env.out, json,
                   {"Alias", "AET", "Host", "Port", "Default", "Commitment", "Transport", "CA file",
                    "Client certificate", "Client key"},
                   {"alias", "aet", "host", "port", "default", "commitment", "transport", "caFile",
                    "clientCertificate", "clientKey"},
                   rows);
        return ExitComplete;
    }
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
        throw UsageError("cannot list '" + what + "': patients, studies, series, images or destinations");
    }
    return ExitComplete;
}

}  // namespace corva::station::ctl
