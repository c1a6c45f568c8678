#include "dose/forwarding_source.h"

#include "core/error.h"
#include "dicom/dose_report.h"

namespace corva::dose {

dicom::Image* ForwardingSource::image(const std::string& sopInstanceUid) {
    const auto it = images.find(sopInstanceUid);
    return it == images.end() ? nullptr : &it->second;
}

std::optional<FileIdentity> ForwardingSource::identity(const std::string& sopInstanceUid) const {
    const auto it = identities.find(sopInstanceUid);
    return it == identities.end() ? std::nullopt : std::optional<FileIdentity>(it->second);
}

ForwardingSource readForForwarding(const std::vector<ListedImage>& list, dicom::ReadMode mode) {
    ForwardingSource source;
    for (std::size_t i = 0; i < list.size(); ++i) {
        const ListedImage& listed = list[i];
        const int position = static_cast<int>(i) + 1;
        try {
            if (listed.file.empty()) throw Error(errc::InvalidName, "its UID cannot name a file", "ModifyImage");
            // Taken before the read: a file replaced while it is read differs from it afterwards.
            const std::optional<FileIdentity> identity = fileIdentity(listed.file);
            dicom::Image image = dicom::Image::read(listed.file, mode);
            // A dose report filed with the study is no image to convert or pair.
            if (image.sopClassUid() == dicom::XRayRadiationDoseSrClass) continue;
            if (image.sopInstanceUid() != listed.sopInstanceUid)
                throw Error(errc::Generic, "the file holds another image (" + image.sopInstanceUid() + ")",
                            "ModifyImage");
            source.planned.push_back(planImage(image.attributes(), listed.sopInstanceUid, position, listed.imageId));
            if (identity) source.identities[listed.sopInstanceUid] = *identity;
            source.images.insert_or_assign(listed.sopInstanceUid, std::move(image));
        } catch (const std::exception& e) {
            source.unreadable << QStringLiteral("Image %1 (%2) cannot be read: %3")
                                     .arg(position)
                                     .arg(QString::fromStdString(listed.sopInstanceUid), QString::fromStdString(e.what()));
        }
    }
    return source;
}

}  // namespace corva::dose
