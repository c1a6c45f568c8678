#include "header/header_job.h"

#include <algorithm>
#include <map>
#include <set>
#include <system_error>

#include "core/error.h"
#include "core/paths.h"
#include "db/database.h"
#include "header/rewrite_handover.h"
#include "header/task_apply.h"
#include "header/task_check.h"
#include "log/error_log.h"

namespace corva::station::header {
namespace fs = std::filesystem;

namespace {
constexpr const char* JobLocation = "EditForm UpdateTimer";
const dicom::Tag SopInstanceUid{0x0008, 0x0018};
const dicom::Tag StudyInstanceUid{0x0020, 0x000D};
const dicom::Tag SeriesInstanceUid{0x0020, 0x000E};
const dicom::Tag WindowWidth{0x0028, 0x1051};
const dicom::Tag WindowCenter{0x0028, 0x1050};
}  // namespace

// One image the job rewrites, with the tasks that reach it, in task order.
struct HeaderJob::Target {
    std::int64_t imageId = 0;
    std::string imageUid;
    std::string studyUid;
    std::int64_t studyId = 0;
    std::int64_t patientKey = 0;
    int loadedPosition = 0;  // 1-based viewer position; 0 = not loaded
    std::vector<std::size_t> tasks;
};

__attribute__((weak)) void onHeaderJobStep(HeaderJobStep, const std::string&) {}

__attribute__((weak)) void writeRewrittenCopy(const dicom::Image& image, const fs::path& file)
{
    image.write(file);
}

HeaderJob::HeaderJob(ProgramPaths paths, HeaderJobInput input) : paths_(std::move(paths)), input_(std::move(input)) {}

std::vector<HeaderJob::Target> HeaderJob::collectTargets(db::Database& db, jobs::JobReport&) const
{
    // Every image of the patient, then the loaded images that are not (a selection
    // whose patient key is stale still reaches what the viewer shows).
    std::vector<Target> images;
    std::map<std::string, std::size_t> byUid;
    auto addRow = [&](db::Statement& st) {
        Target t;
        t.imageId = st.getInt(0);
        t.imageUid = st.getText(1);
        t.studyUid = st.getText(2);
        t.studyId = st.getInt(3);
        t.patientKey = st.isNull(4) ? 0 : st.getInt(4);
        if (byUid.emplace(t.imageUid, images.size()).second)
            images.push_back(std::move(t));
    };
    const std::string select =
        "SELECT tblImages.ImageID, tblImages.ImageUID, tblStudies.StudyUID, tblStudies.StudyID, "
        "tblStudies.FKeyPATID FROM tblImages INNER JOIN tblSeries ON tblImages.FKeySeriesID = tblSeries.SeriesID "
        "INNER JOIN tblStudies ON tblSeries.FKeyStudyID = tblStudies.StudyID ";
    {
        auto st = db.prepare(select + "WHERE tblStudies.FKeyPATID = ? "
                                      "ORDER BY tblStudies.StudyID, tblSeries.SeriesID, tblImages.ImageNr");
        st.bind(1, input_.patientKey);
        while (st.step())
            addRow(st);
    }
    for (std::size_t i = 0; i < input_.loaded.size(); ++i) {
        const auto& ref = input_.loaded[i];
        if (!byUid.count(ref.imageUid)) {
            auto st = db.prepare(select + "WHERE tblImages.ImageUID = ?");
            st.bind(1, ref.imageUid);
            if (st.step())
                addRow(st);
        }
        if (auto it = byUid.find(ref.imageUid); it != byUid.end())
            images[it->second].loadedPosition = static_cast<int>(i + 1);
    }

    for (std::size_t k = 0; k < input_.tasks.size(); ++k) {
        const TaskReach reach = taskReach(input_.tasks[k]);
        for (auto& t : images) {
            bool reached = false;
            switch (reach.scope) {
            case TaskScope::Patient: reached = true; break;
            case TaskScope::Study: reached = t.studyId == input_.studyId || t.loadedPosition > 0; break;
            case TaskScope::Series: reached = t.loadedPosition > 0; break;
            case TaskScope::Image: reached = t.loadedPosition > 0 && t.loadedPosition == reach.imagePosition; break;
            }
            if (reached)
                t.tasks.push_back(k);
        }
    }
    images.erase(std::remove_if(images.begin(), images.end(), [](const Target& t) { return t.tasks.empty(); }),
                 images.end());
    return images;
}

jobs::JobOutcome HeaderJob::run(jobs::JobReport& report)
{
    jobs::JobOutcome outcome;
    report.setCaption(caption(), "Updating images ...");
    auto fail = [&](const std::string& file, const Error& e) {
        log::LogError(e.code(), file + ": " + e.message(), JobLocation);
        ++outcome.failures;
        outcome.complete = false;
    };
    auto step = [&](HeaderJobStep s, const std::string& uid) { onHeaderJobStep(s, uid); };
    try {
        // Copies an interrupted job left staged go in first, and are filed before the
        // images are collected: the tasks must reach them as well.
        const PendingHandOver pending = finishPendingRewrites(paths_);
        if (!pending.handedOver.empty()) {
            report.appendLog("Handing over images of an interrupted job ... ");
            if (!waitUntilFiled(pending.handedOver, FilingWait, [&] { return report.cancelRequested(); }))
                throw Error(errc::Generic, std::to_string(pending.handedOver.size()) +
                                               " image(s) of an interrupted job wait for the ingest service; "
                                               "nothing was changed. Is the ingest service running?");
            report.appendLog("OK\r\n");
        }
        db::Database db(paths_.imageDb);

        report.appendLog("Updating active images (" + input_.loadedLevel + ") ... ");
        if (const std::string refusal = taskListRefusal(db, input_.tasks, input_.patientKey); !refusal.empty()) {
            log::LogError(errc::InvalidName, refusal, JobLocation);
            report.appendLog("refused\r\n" + refusal + "\r\n");
            report.information(refusal);
            ++outcome.failures;
            outcome.complete = false;
            report.appendLog("Tasks done.");
            return outcome;
        }
        std::vector<Target> targets = collectTargets(db, report);
        // How many images each task reaches: a SOP instance UID written to several is
        // generated per image.
        std::vector<int> reachCount(input_.tasks.size(), 0);
        for (const auto& t : targets)
            for (std::size_t k : t.tasks)
                ++reachCount[k];
        report.appendLog("OK\r\n");

        // Saving: each image is read from the store, changed, written completely in the
        // job's own work folder, checked and staged. A failure leaves that image's
        // original alone.
        report.appendLog("Saving images ... ");
        report.setProgress(0);
        report.setProgressMaximum(static_cast<double>(targets.size()));
        const fs::path workFolder = headerWorkFolder(paths_);
        std::error_code ec;
        fs::create_directories(workFolder, ec);
        UidPlan uids;
        std::set<std::string> newNames;
        std::vector<StagedRewrite> staged;
        bool savingFailed = false;
        int done = 0;
        for (const auto& t : targets) {
            if (report.cancelRequested())
                break;
            const fs::path original = imageFile(paths_, t.studyUid, t.imageUid);
            fs::path part;
            try {
                if (original.empty())
                    throw Error(errc::InvalidName, "Unsafe UID for a file name: " + t.imageUid);
                dicom::Image image = dicom::Image::read(original);
                dicom::DataSet ds = image.attributes();
                const std::string oldStudyUid = ds.get(StudyInstanceUid).text;
                const std::string oldSeriesUid = ds.get(SeriesInstanceUid).text;
                for (std::size_t k : t.tasks) {
                    try {
                        applyTask(input_.tasks[k], ds, uids, reachCount[k] > 1);
                    } catch (const Error& e) {
                        throw Error(e.code(), "task " + std::to_string(k + 1) + " (" + input_.tasks[k].source +
                                                  ", " + input_.tasks[k].actionName + "): " + e.message());
                    }
                }
                // A study or series UID an image did not have (also one carried by a move
                // or switch) must not be another patient's.
                for (const auto& [tag, before] : {std::pair{StudyInstanceUid, oldStudyUid},
                                                  std::pair{SeriesInstanceUid, oldSeriesUid}}) {
                    const std::string now = ds.get(tag).text;
                    if (now == before)
                        continue;
                    // A value moved or switched in (or none left) is no UID the ingest
                    // service files by: the copy would be set aside and the image lost.
                    if (!isSafeUid(now))
                        throw Error(errc::InvalidName, "Not a valid UID for " + tag.text() + ": \"" + now + "\"");
                    if (std::string refusal = foreignUidRefusal(db, tag, now, t.patientKey); !refusal.empty())
                        throw Error(errc::InvalidName, refusal);
                }
                if (t.loadedPosition > 0 && input_.window.mode != WindowPolicy::Mode::Keep) {
                    const auto& ref = input_.loaded[static_cast<std::size_t>(t.loadedPosition - 1)];
                    if (input_.window.mode == WindowPolicy::Mode::Computed) {
                        // No window known for the image (width 0 is no window): it keeps its own.
                        if (ref.windowWidth > 0) {
                            ds.set(WindowWidth, std::to_string(ref.windowWidth));
                            ds.set(WindowCenter, std::to_string(ref.windowCenter));
                        }
                    } else {
                        ds.set(WindowWidth, input_.window.customWidth);
                        ds.set(WindowCenter, input_.window.customCenter);
                    }
                }
                const std::string newUid = image.sopInstanceUid();
                if (!isSafeUid(newUid))
                    throw Error(errc::InvalidName, "Unsafe SOP instance UID: " + newUid);
                if (!newNames.insert(newUid).second)
                    throw Error(errc::InvalidName, "Two images would get the SOP instance UID " + newUid);
                if (newUid != t.imageUid) {
                    // An image with that UID already registered would make the ingest
                    // service drop the copy as known.
                    auto st = db.prepare("SELECT COUNT(*) FROM tblImages WHERE ImageUID = ?");
                    st.bind(1, newUid);
                    st.step();
                    if (st.getInt(0) > 0)
                        throw Error(errc::InvalidName, "The SOP instance UID " + newUid + " is already in use");
                }
                part = workFolder / (newUid + ".dcm.part");
                writeRewrittenCopy(image, part);
                syncPath(part);
                const dicom::FileStructure structure = dicom::checkFileStructure(part);
                if (!structure.sound() || dicom::Image::read(part, dicom::ReadMode::HeaderOnly).sopInstanceUid() != newUid)
                    throw Error(errc::NotDicom, "The rewritten copy " + part.string() + " is incomplete");
                // The copy must show what its original shows; an original that never
                // decoded here loses nothing by its copy.
                if (const std::string problem = pixelDecodeProblem(part);
                    !problem.empty() && pixelDecodeProblem(original).empty())
                    throw Error(errc::NotDicom, "The pixel data of the rewritten copy does not decode (" + problem + ")");
                step(HeaderJobStep::CopyWritten, t.imageUid);
                staged.push_back(stageRewrite(paths_, part, newUid, {t.studyUid, t.imageUid}));
                step(HeaderJobStep::CopyStaged, t.imageUid);
            } catch (const Error& e) {
                if (!part.empty())
                    fs::remove(part, ec);
                fail(original.string(), e);
                savingFailed = true;
            } catch (const std::exception& e) {
                if (!part.empty())
                    fs::remove(part, ec);
                fail(original.string(), Error(errc::Generic, e.what()));
                savingFailed = true;
            }
            report.setProgress(++done);
        }
        report.appendLog(savingFailed ? "failed\r\n" : "OK\r\n");

        // Removing the originals of the staged copies that can take their place now: a
        // file of the copy's name waiting in the input folder keeps both for later.
        std::vector<const StagedRewrite*> removed;
        if (!staged.empty()) {
            report.appendLog("Removing original images ... ");
            report.setProgress(0);
            report.setProgressMaximum(static_cast<double>(staged.size()));
            bool removingFailed = false;
            done = 0;
            for (const auto& rewrite : staged) {
                try {
                    if (abandonWhenUidTaken(db, paths_, rewrite))
                        throw Error(errc::InvalidName, "The SOP instance UID " + rewrite.newImageUid +
                                                           " was filed for another image meanwhile; the original "
                                                           "stays unchanged");
                    if (!canHandOver(rewrite))
                        throw Error(errc::Generic, handOverName(rewrite).string() +
                                                       " waits in the input folder; the rewritten copy stays staged "
                                                       "and goes in at the next start");
                    if (!removeOriginal(db, paths_, rewrite.original))
                        throw Error(errc::Generic, "The original is still in the store");
                    removed.push_back(&rewrite);
                    step(HeaderJobStep::OriginalRemoved, rewrite.original.imageUid);
                } catch (const Error& e) {
                    fail(imageFile(paths_, rewrite.original.studyUid, rewrite.original.imageUid).string(), e);
                    removingFailed = true;
                }
                report.setProgress(++done);
            }
            report.appendLog(removingFailed ? "failed\r\n" : "OK\r\n");
        }

        // Moving: this job's own copies, and only they, get their registrable names.
        if (!removed.empty()) {
            report.appendLog("Moving images to input folder ... ");
            report.setProgress(0);
            report.setProgressMaximum(static_cast<double>(removed.size()));
            bool movingFailed = false;
            done = 0;
            for (const StagedRewrite* rewrite : removed) {
                try {
                    if (!handOver(*rewrite))
                        throw Error(errc::Generic, handOverName(*rewrite).string() +
                                                       " waits in the input folder; the rewritten copy stays staged "
                                                       "and goes in at the next start");
                    step(HeaderJobStep::HandedOver, rewrite->original.imageUid);
                } catch (const Error& e) {
                    fail(rewrite->staged.string(), e);
                    movingFailed = true;
                }
                report.setProgress(++done);
            }
            report.appendLog(movingFailed ? "failed\r\n" : "OK\r\n");
        }
        if (report.cancelRequested() && done < static_cast<int>(targets.size()))
            outcome.complete = false;
    } catch (const HeaderJobStopped&) {
        throw;
    } catch (const Error& e) {
        log::LogError(e.code(), e.message(), JobLocation);
        report.appendLog("failed\r\n");
        outcome.complete = false;
        ++outcome.failures;
    } catch (const std::exception& e) {
        log::LogError(errc::Generic, e.what(), JobLocation);
        report.appendLog("failed\r\n");
        outcome.complete = false;
        ++outcome.failures;
    }
    report.appendLog("Tasks done.");
    return outcome;
}

}  // namespace corva::station::header
