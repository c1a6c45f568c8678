#include "jobs/consistency_check.h"

#include <map>
#include <set>
#include <system_error>

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include "core/paths.h"
#include "db/database.h"
#include "dicom/dicom.h"
#include "log/set_aside.h"

namespace fs = std::filesystem;

namespace corva::station::jobs {
namespace {

bool endsWith(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool startsWith(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

// Moves a file into the input folder (one file system): never replacing a file there, and
// never under two names at once, one of them the ingest service's to take. With a store
// name beside its input name, the service may file the image, find "its" file in the
// store and drop the input name; removing the store name after that would remove the
// image. False when the file stays where it was (a file of that name waits, an error).
bool moveIntoInput(const fs::path& from, const fs::path& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return false;
    // A file system without that rename: through a name the ingest service does not take.
    const fs::path hidden = to.parent_path() / ("." + to.filename().string() + ".refile");
    if (::link(from.c_str(), hidden.c_str()) != 0) return false;
    ::unlink(from.c_str());
    if (::link(hidden.c_str(), to.c_str()) != 0) {
        // A file of that name waits: this one goes back.
        if (::link(hidden.c_str(), from.c_str()) == 0) ::unlink(hidden.c_str());
        return false;
    }
    ::unlink(hidden.c_str());
    return true;
}

// The image files of the store, by study UID folder: <store>/<study UID>/<SOP UID>.dcm.
void scanStore(const ProgramPaths& paths, const std::map<std::string, std::set<std::string>>& rows,
               CheckReport& report) {
    std::error_code ec;
    for (const auto& study : fs::directory_iterator(paths.imageStore, ec)) {
        const std::string name = study.path().filename().string();
        if (startsWith(name, ".deleting-")) {
            report.findings.push_back({CheckFinding::Kind::DeleteLeftover, study.path(), "set aside by \"delete all\""});
            continue;
        }
        std::error_code one;
        if (!study.is_directory(one)) continue;
        const auto filed = rows.find(name);
        for (const auto& file : fs::directory_iterator(study.path(), one)) {
            const std::string fileName = file.path().filename().string();
            if (endsWith(fileName, ".part")) {
                report.findings.push_back({CheckFinding::Kind::PartialFile, file.path(), "half written"});
                continue;
            }
            if (!endsWith(fileName, ".dcm")) continue;
            const std::string uid = fileName.substr(0, fileName.size() - 4);
            if (!file.is_regular_file(one)) {
                report.findings.push_back({CheckFinding::Kind::NotAFile, file.path(), "no regular file"});
                continue;
            }
            if (filed == rows.end() || !filed->second.count(uid))
                report.findings.push_back({CheckFinding::Kind::FileWithoutRow, file.path(), "study " + name});
        }
    }
}

void scanInput(const ProgramPaths& paths, CheckReport& report) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(paths.inputFolder, ec)) {
        const std::string name = e.path().filename().string();
        std::error_code one;
        if (e.is_directory(one)) {
            if (name == folder::BadObjects)
                for (const auto& bad : fs::directory_iterator(e.path(), one)) {
                    if (log::isReasonFile(bad.path())) continue;
                    const auto reason = log::readSetAsideReason(bad.path(), paths.programFolder / folder::Logs);
                    std::string detail = "set aside by the ingest service";
                    if (!reason)
                        detail += " (reason not recorded)";
                    else if (reason->filesOwnFault)
                        detail += ": " + reason->text;
                    else
                        detail += ", not for a fault of its own (" + reason->text + "): check --repair files it again";
                    report.findings.push_back({CheckFinding::Kind::SetAside, bad.path(), detail});
                }
            continue;
        }
        if (endsWith(name, ".rewrite"))
            report.findings.push_back({CheckFinding::Kind::StagedRewrite, e.path(), "rewritten, not handed over"});
        else if (endsWith(name, ".dcm"))
            report.findings.push_back({CheckFinding::Kind::WaitingInInput, e.path(), "not filed yet (is Ingrado running?)"});
        else if (endsWith(name, ".part"))
            report.findings.push_back({CheckFinding::Kind::PartialFile, e.path(), "half received"});
    }
    for (const auto& e : fs::directory_iterator(paths.workFolder, ec))
        if (endsWith(e.path().filename().string(), ".dcm"))
            report.findings.push_back({CheckFinding::Kind::WorkFolderImage, e.path(), "converted, waiting to be sent"});
}

}  // namespace

std::size_t CheckReport::count(CheckFinding::Kind kind) const {
    std::size_t n = 0;
    for (const CheckFinding& f : findings)
        if (f.kind == kind) ++n;
    return n;
}

bool CheckReport::consistent() const {
    // Converted images waiting to be sent are no fault: a forwarding keeps them there;
    // nor is an archive that has not answered a commitment yet, nor a dose report the
    // next forwarding or dose-report run delivers (no repair of the store's can).
    for (const CheckFinding& f : findings)
        if (f.kind != CheckFinding::Kind::WorkFolderImage && f.kind != CheckFinding::Kind::CommitmentPending &&
            f.kind != CheckFinding::Kind::DoseReportOwed)
            return false;
    return true;
}

std::string kindText(CheckFinding::Kind kind) {
    switch (kind) {
        case CheckFinding::Kind::RowWithoutFile: return "row without file";
        case CheckFinding::Kind::FileWithoutRow: return "file without row";
        case CheckFinding::Kind::DeleteLeftover: return "interrupted delete";
        case CheckFinding::Kind::PartialFile: return "partial file";
        case CheckFinding::Kind::StagedRewrite: return "staged rewrite";
        case CheckFinding::Kind::WorkFolderImage: return "waiting in bin";
        case CheckFinding::Kind::SetAside: return "set aside";
        case CheckFinding::Kind::WaitingInInput: return "waiting to be filed";
        case CheckFinding::Kind::NotAFile: return "not a file";
        case CheckFinding::Kind::CommitmentPending: return "commitment pending";
        case CheckFinding::Kind::CommitmentUnsettled: return "committed, not removed";
        case CheckFinding::Kind::DoseReportOwed: return "dose report owed";
    }
    return "finding";
}

std::string CheckReport::summary() const {
    std::string out;
    for (const CheckFinding::Kind kind :
         {CheckFinding::Kind::RowWithoutFile, CheckFinding::Kind::FileWithoutRow, CheckFinding::Kind::DeleteLeftover,
          CheckFinding::Kind::NotAFile, CheckFinding::Kind::PartialFile, CheckFinding::Kind::StagedRewrite,
          CheckFinding::Kind::SetAside, CheckFinding::Kind::WaitingInInput, CheckFinding::Kind::WorkFolderImage,
          CheckFinding::Kind::CommitmentPending, CheckFinding::Kind::CommitmentUnsettled,
          CheckFinding::Kind::DoseReportOwed}) {
        const std::size_t n = count(kind);
        if (n == 0) continue;
        if (!out.empty()) out += ", ";
        out += std::to_string(n) + " " + kindText(kind);
    }
    return out.empty() ? "rows and files match" : out;
}

namespace {

// Storage commitments not finished: those the archive has not answered, and answered
// ones whose removal was interrupted. A database of an earlier version has none.
void scanCommitments(const ProgramPaths& paths, CheckReport& report) {
    db::Database db(paths.imageDb);
    if (!db.hasTable("tblCommitments") || !db.hasTable("tblCommitmentItems")) return;
    auto st = db.prepare(
        "SELECT c.TransactionUID, c.Destination, c.Requested, c.Answered, i.SOPInstanceUID, i.StudyUID, i.ImageID, "
        "i.State FROM tblCommitmentItems i JOIN tblCommitments c ON c.TransactionUID = i.TransactionUID "
        "WHERE i.FilesRemoved = 0 ORDER BY c.Requested, i.ItemID");
    const auto text = [&](int col) { return st.isNull(col) ? std::string() : st.getText(col); };
    while (st.step()) {
        const std::string image = text(4), study = text(5);
        const bool answered = !st.isNull(3);
        const fs::path file = st.getInt(6) != 0 ? imageFile(paths, study, image) : fs::path();
        std::string detail = "transaction " + text(0) + " to " + text(1) + ", asked " + text(2);
        detail += answered ? ", answered " + text(3) + (st.getInt(7) == 1 ? ": committed" : ": not committed")
                           : ": no answer yet";
        report.findings.push_back({answered ? CheckFinding::Kind::CommitmentUnsettled
                                            : CheckFinding::Kind::CommitmentPending,
                                   file.empty() ? fs::path(image) : file, detail});
    }
}

// Dose reports owed since a forwarding was killed between the images and the report:
// the images may have left, so only the table tells. A database of an earlier version
// owes none.
void scanOwedDoseReports(const ProgramPaths& paths, CheckReport& report) {
    db::Database db(paths.imageDb);
    if (!db.hasTable("tblDoseReport")) return;
    const bool withDestination = db.hasColumn("tblDoseReport", "Destination");
    auto st = db.prepare(std::string("SELECT StudyUID, PatientID, SOPInstanceUID, ") +
                         (withDestination ? "Destination" : "NULL") + " FROM tblDoseReport ORDER BY StudyUID, PatientID");
    while (st.step()) {
        const std::string study = st.getText(0), patient = st.getText(1);
        const std::string destination = st.isNull(3) || st.getText(3).empty() ? "<destination>" : st.getText(3);
        report.findings.push_back({CheckFinding::Kind::DoseReportOwed, fs::path(st.getText(2)),
                                   "study " + study + " of patient " + patient + ": corvactl dose-report --study " +
                                       study + " --patient " + patient + " --to " + destination +
                                       " (or forward the study again)"});
    }
}

}  // namespace

CheckReport checkConsistency(const ProgramPaths& paths) {
    CheckReport report;
    std::map<std::string, std::set<std::string>> rows;  // study UID -> SOP instance UIDs
    {
        db::Database db(paths.imageDb);
        auto st = db.prepare(
            "SELECT st.StudyUID, i.ImageUID FROM tblImages i JOIN tblSeries s ON s.SeriesID = i.FKeySeriesID "
            "JOIN tblStudies st ON st.StudyID = s.FKeyStudyID");
        while (st.step()) {
            const std::string study = st.getText(0), image = st.getText(1);
            ++report.imagesChecked;
            rows[study].insert(image);
            const fs::path file = imageFile(paths, study, image);
            std::error_code ec;
            if (file.empty() || !fs::is_regular_file(file, ec))
                report.findings.push_back({CheckFinding::Kind::RowWithoutFile, file.empty() ? fs::path(image) : file,
                                           "study " + study});
        }
    }
    scanStore(paths, rows, report);
    scanInput(paths, report);
    scanCommitments(paths, report);
    scanOwedDoseReports(paths, report);
    return report;
}

std::vector<fs::path> refileFilesWithoutRows(const ProgramPaths& paths, const CheckReport& report) {
    std::vector<fs::path> moved;
    db::Database db(paths.imageDb);
    for (const CheckFinding& f : report.findings) {
        if (f.kind != CheckFinding::Kind::FileWithoutRow) continue;
        // The file's own SOP instance UID decides where the ingest service files it.
        std::string sop;
        try {
            sop = dicom::Image::read(f.path, dicom::ReadMode::HeaderOnly).sopInstanceUid();
        } catch (const std::exception&) {
            continue;  // no readable DICOM file: left for a person to look at
        }
        if (sop != f.path.stem().string()) {
            auto st = db.prepare("SELECT 1 FROM tblImages WHERE ImageUID = ?");
            st.bind(1, sop);
            if (st.step()) continue;  // that image is filed already: the two copies stay apart
        }
        const fs::path target = paths.inputFolder / f.path.filename();
        // A file of that name waiting to be filed is never replaced: this one stays for
        // the next run.
        if (!moveIntoInput(f.path, target)) continue;
        moved.push_back(target);
    }
    return moved;
}

std::vector<fs::path> requeueSetAside(const ProgramPaths& paths, const CheckReport& report) {
    std::vector<fs::path> moved;
    for (const CheckFinding& f : report.findings) {
        if (f.kind != CheckFinding::Kind::SetAside) continue;
        const auto reason = log::readSetAsideReason(f.path, paths.programFolder / folder::Logs);
        if (!reason || reason->filesOwnFault) continue;
        const fs::path target = paths.inputFolder / f.path.filename();
        // A file of that name waiting in Temp is never replaced: this one stays for the next run.
        if (!moveIntoInput(f.path, target)) continue;
        std::error_code ec;
        fs::remove(log::reasonFile(f.path), ec);
        moved.push_back(target);
    }
    return moved;
}

}  // namespace corva::station::jobs
