#include "image_exporter.h"

#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <system_error>

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
    if (ec)
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
    const bool jpeg = options_.format == ExportFormat::Jpeg;
    const bool medium = !jpeg && options_.dicomDir;
    const char* location = jpeg ? "ExportForm ExportJPEG" : "ExportForm ExportDICOM";
    ExportResult result;
    MediumLayout layout(options_.folder);
    std::unique_ptr<dicom::DicomDirMedium> dicomDir;
    if (medium)
        dicomDir = std::make_unique<dicom::DicomDirMedium>(options_.folder);
    int added = 0;
    const int total = static_cast<int>(images.size());
    for (int i = 0; i < total; ++i) {
        if (cancelled && cancelled()) {
            result.cancelled = true;
            break;
        }
        fs::path written;
        try {
            dicom::Image image = dicom::Image::read(images[i]);
            const std::string sop = image.sopInstanceUid();
            requireSafe(sop, "SOP Instance UID");
            if (jpeg) {
                const fs::path folder = studyFolder(options_.folder, image);
                written = folder / (sop + ".jpg");
                image.writeJpeg(written, options_.quality * 10);
                result.files.push_back(written);
                if (i == 0) {
                    const fs::path info = folder / "info.txt";
                    writeText(info, infoText(images[i]));
                    result.files.push_back(info);
                }
            } else if (medium) {
                // The general-purpose profile reads explicit VR little endian only.
                const std::string fileId = layout.next(image.studyInstanceUid());
                written = options_.folder / fileId;
                image.write(written, std::string(dicom::uid::ExplicitLittleEndian));
                try {
                    dicomDir->add(fileId);
                } catch (...) {
                    // A file the DICOMDIR does not name would only confuse the medium.
                    fs::remove(written, ec);
                    throw;
                }
                ++added;
                result.files.push_back(written);
            } else {
                written = studyFolder(options_.folder, image) / (sop + ".dcm");
                image.write(written);
                result.files.push_back(written);
            }
            ++result.exported;
        } catch (const Error& e) {
            ++result.failed;
            log::LogError(e.code(), images[i].string() + ": " + e.message(), location);
        } catch (const std::exception& e) {
            ++result.failed;
            log::LogError(errc::Generic, images[i].string() + ": " + e.what(), location);
        }
        if (progress)
            progress(i + 1, total);
    }
    if (medium && added > 0) {
        try {
            dicomDir->write();
            result.dicomDirWritten = true;
            result.files.push_back(options_.folder / "DICOMDIR");
        } catch (const Error& e) {
            log::LogError(e.code(), e.message(), location);
        }
    }
    return result;
}

}  // namespace corva::station::transfer
