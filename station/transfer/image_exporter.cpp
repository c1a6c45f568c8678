#include "transfer/image_exporter.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "core/error.h"
#include "core/paths.h"
#include "dicom/dicom.h"
#include "log/error_log.h"

namespace corva::station::transfer {

namespace fs = std::filesystem;

namespace {

std::string twoDigits(int n)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02d", n);
    return buf;
}

std::string numbered(const char* prefix, int n)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%s%06d", prefix, n);
    return buf;
}

void requireSafe(const std::string& uid, const char* what)
{
    if (!isSafeUid(uid))
        throw Error(errc::InvalidName, std::string("The ") + what + " \"" + uid + "\" is not a valid file name",
                    "export");
}

fs::path studyFolder(const fs::path& root, const dicom::Image& image)
{
    const std::string study = image.studyInstanceUid();
    requireSafe(study, "Study Instance UID");
    const fs::path folder = root / study;
    std::error_code ec;
    fs::create_directories(folder, ec);
    // Another worker may have created it at the same moment.
    if (ec && !fs::is_directory(folder, ec))
        throw Error(errc::Generic, "Cannot create " + folder.string() + ": " + ec.message(), "export");
    return folder;
}

void writeText(const fs::path& file, const std::string& text)
{
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out)
        throw Error(errc::Generic, "Cannot write " + file.string(), "export");
}

// The medium layout: one "STnnnnnn" folder per study below "DICOM", numbered after the
// folders already there, so that an earlier export in the same folder stays intact.
class MediumLayout {
public:
    explicit MediumLayout(fs::path root) : root_(std::move(root)) {}

    // The file ID ("DICOM/ST000001/IM000001") for the next image of this study.
    std::string next(const std::string& studyUid)
    {
        auto it = studies_.find(studyUid);
        if (it == studies_.end()) {
            std::error_code ec;
            std::string name;
            do
                name = numbered("ST", ++lastStudy_);
            while (fs::exists(root_ / "DICOM" / name, ec));
            it = studies_.emplace(studyUid, Study{name, 0}).first;
            fs::create_directories(root_ / "DICOM" / name, ec);
            if (ec)
                throw Error(errc::Generic, "Cannot create " + (root_ / "DICOM" / name).string() + ": " + ec.message(),
                            "export");
        }
        return "DICOM/" + it->second.folder + "/" + numbered("IM", ++it->second.images);
    }

private:
    struct Study {
        std::string folder;
        int images = 0;
    };
    fs::path root_;
    int lastStudy_ = 0;
    std::map<std::string, Study> studies_;
};

}  // namespace

std::vector<fs::path> protectedFolders(const ProgramPaths& paths)
{
    return {paths.imageStore, paths.inputFolder, paths.workFolder, paths.dataFolder};
}

fs::path protectedFolderHolding(const fs::path& folder, const std::vector<fs::path>& protectedFolders)
{
    // Where the folder really is: a link on the desktop may lead into the image store,
    // whose files an export would replace or whose study folders it would fill.
    std::error_code ec;
    const fs::path real = fs::canonical(folder, ec);
    if (ec)
        return {};
    for (const fs::path& station : protectedFolders) {
        const fs::path base = fs::weakly_canonical(station, ec);
        if (ec || base.empty())
            continue;
        const fs::path inside = real.lexically_relative(base);
        if (!inside.empty() && *inside.begin() != "..")
            return station;
    }
    return {};
}

ImageExporter::ImageExporter(ExportOptions options) : options_(std::move(options)) {}

std::string ImageExporter::infoText(const fs::path& file)
{
    const dicom::Image image = dicom::Image::read(file, dicom::ReadMode::HeaderOnly);
    std::string birth;
    if (const auto d = image.birthDate(); d && d->hasDate)
        birth = twoDigits(d->day) + "." + twoDigits(d->month) + "." + std::to_string(d->year);
    return "PATIENT_NAME=" + image.patientName() + "\r\n" + "PATIENT_ID=" + image.patientId() + "\r\n" +
           "PATIENT_BIRTHDATE=" + birth + "\r\n" + "PATIENT_SEX=" + image.sex() + "\r\n";
}

ExportResult ImageExporter::run(const std::vector<fs::path>& images, const Progress& progress,
                                const CancelCheck& cancelled)
{
    std::error_code ec;
    if (options_.folder.empty() || !fs::is_directory(options_.folder, ec))
        throw Error(errc::NotFound, "Export directory does not exists!", "export");
    if (const fs::path station = protectedFolderHolding(options_.folder, options_.protectedFolders); !station.empty())
        throw Error(errc::InvalidName,
                    "The export directory " + options_.folder.string() + " lies in the station's folder " +
                        station.string() + ": choose another directory",
                    "export");
    const bool jpeg = options_.format == ExportFormat::Jpeg;
    const bool medium = !jpeg && options_.dicomDir;
    const char* location = jpeg ? "ExportForm ExportJPEG" : "ExportForm ExportDICOM";
    ExportResult result;
    MediumLayout layout(options_.folder);
    std::unique_ptr<dicom::DicomDirMedium> dicomDir;
    // Images on the medium already (an earlier export into this folder): not written twice.
    std::map<std::string, std::string> onMedium;
    if (medium) {
        dicomDir = std::make_unique<dicom::DicomDirMedium>(options_.folder);
        if (fs::is_regular_file(options_.folder / "DICOMDIR", ec)) {
            try {
                for (const auto& patient : dicom::readDicomDir(options_.folder / "DICOMDIR"))
                    for (const auto& study : patient.children)
                        for (const auto& series : study.children)
                            for (const auto& record : series.children)
                                if (!record.fileId.empty() && dicom::DicomDirMedium::isConformantFileId(record.fileId) &&
                                    fs::is_regular_file(options_.folder / record.fileId, ec))
                                    onMedium.emplace(record.attributes.get(0x0004, 0x1511).text, record.fileId);
            } catch (const Error&) {
                // Adding to it will say what is wrong with it.
            }
        }
    }
    int added = 0;
    const int total = static_cast<int>(images.size());
    // Writes image i; returns the files written, throws when it fails.
    const auto exportOne = [&](int i) {
        std::vector<fs::path> written;
        dicom::Image image = dicom::Image::read(images[i]);
        const std::string sop = image.sopInstanceUid();
        requireSafe(sop, "SOP Instance UID");
        if (jpeg) {
            const fs::path folder = studyFolder(options_.folder, image);
            written.push_back(folder / (sop + ".jpg"));
            image.writeJpeg(written.back(), options_.quality * 10);
            if (i == 0) {
                written.push_back(folder / "info.txt");
                writeText(written.back(), infoText(images[i]));
            }
        } else if (medium) {
            if (const auto there = onMedium.find(sop); there != onMedium.end()) {
                written.push_back(options_.folder / there->second);
                return written;
            }
            // The general-purpose profile reads explicit VR little endian only.
            const std::string fileId = layout.next(image.studyInstanceUid());
            const fs::path file = options_.folder / fileId;
            image.write(file, std::string(dicom::uid::ExplicitLittleEndian));
            try {
                dicomDir->add(fileId);
            } catch (...) {
                // A file the DICOMDIR does not name would only confuse the medium.
                std::error_code ignored;
                fs::remove(file, ignored);
                throw;
            }
            ++added;
            written.push_back(file);
        } else {
            written.push_back(studyFolder(options_.folder, image) / (sop + ".dcm"));
            image.write(written.back());
        }
        return written;
    };

    // JPEG pictures and plain DICOM files are independent: a few workers write them at
    // once. The medium numbers its files in image order and is built by one.
    const int workers = medium ? 1 : std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 1, 4);
    std::vector<std::vector<fs::path>> writtenPerImage(images.size());
    std::atomic<int> next{0};
    std::atomic<bool> stop{false};
    std::mutex reportMutex;  // results, the error log and the progress callback
    int done = 0;
    const auto work = [&] {
        for (int i = next++; i < total && !stop; i = next++) {
            {
                std::lock_guard lock(reportMutex);
                if (cancelled && cancelled()) {
                    result.cancelled = true;
                    stop = true;
                    break;
                }
            }
            std::optional<Error> failure;
            try {
                writtenPerImage[i] = exportOne(i);
            } catch (const Error& e) {
                failure = e;
            } catch (const std::exception& e) {
                failure = Error(errc::Generic, e.what());
            }
            std::lock_guard lock(reportMutex);
            if (failure) {
                ++result.failed;
                log::LogError(failure->code(), images[i].string() + ": " + failure->message(), location);
            } else {
                ++result.exported;
            }
            ++done;
            if (progress)
                progress(done, total);
        }
    };
    std::vector<std::thread> pool;
    for (int w = 1; w < std::min(workers, total); ++w)
        pool.emplace_back(work);
    work();
    for (auto& t : pool)
        t.join();
    for (auto& files : writtenPerImage)
        result.files.insert(result.files.end(), files.begin(), files.end());
    if (medium && added > 0) {
        try {
            dicomDir->write();
            result.dicomDirWritten = true;
        } catch (const Error& e) {
            log::LogError(e.code(), e.message(), location);
        }
    } else if (medium && result.exported > 0) {
        // Every image was on the medium already: its DICOMDIR names them.
        result.dicomDirWritten = true;
    }
    if (result.dicomDirWritten)
        result.files.push_back(options_.folder / "DICOMDIR");
    return result;
}

}  // namespace corva::station::transfer
