#include "dose/modify_image.h"

#include <QCoreApplication>

#include "core/error.h"
#include "core/paths.h"
#include "log/error_log.h"

namespace corva::dose {
namespace {

using dicom::DataSet;
using dicom::Sequence;
using dicom::Tag;

constexpr int ObjectNotSet = 91;

DataSet codeItem(const QString& value, const QString& meaning) {
    DataSet item;
    item.set(Tag{0x0008, 0x0100}, value.toStdString());
    item.set(Tag{0x0008, 0x0102}, "SNM-3");
    item.set(Tag{0x0008, 0x0104}, meaning.toStdString());
    return item;
}

// The exposure attributes hold decimal or integer strings, in which control characters
// are never valid: a Giotto record's last value carries the end-of-text character and
// the line end of the hand-over file, which must not reach the image header.
std::string exposureText(const QString& value) {
    QString text;
    text.reserve(value.size());
    for (const QChar c : value)
        if (c.unicode() >= 0x20 && c.unicode() != 0x7F) text += c;
    return text.toStdString();
}

}  // namespace

ViewMapping mapViewPosition(const QString& viewPosition) {
    const QString vp = viewPosition.toUpper();
    ViewMapping m;
    const QString cc = QStringLiteral("R-10242"), ccMeaning = QStringLiteral("cranio-caudal");
    const QString mlo = QStringLiteral("R-10226"), mloMeaning = QStringLiteral("medio lateral oblique");
    if (vp == "R CC" || vp == "RCC" || vp == "RLD")
        m = {QStringLiteral("P\\L"), cc, ccMeaning, {}};
    else if (vp == "L CC" || vp == "LCC" || vp == "LLD")
        m = {QStringLiteral("A\\R"), cc, ccMeaning, {}};
    else if (vp == "R OBLIQUE" || vp == "RLO")
        m = {QStringLiteral("P\\FL"), mlo, mloMeaning, {}};
    else if (vp == "L OBLIQUE" || vp == "LLO")
        m = {QStringLiteral("A\\FR"), mlo, mloMeaning, {}};
    m.laterality = vp.left(1);
    return m;
}

std::filesystem::path convertToMammography(dicom::Image& image, const CurrentExposure& exposure, int xrayType,
                                           const std::filesystem::path& workFolder) {
    DataSet a = image.attributes();

    a.set(Tag{0x0008, 0x2218}, Sequence{codeItem(QStringLiteral("T-04000"), QStringLiteral("Breast"))});
    image.setSopClassUid(dicom::uid::DigitalMammographyForPresentation);

    const dicom::Attribute vpAttr = a.get(Tag{0x0018, 0x5101});
    const QString viewPosition = vpAttr.exists ? QString::fromStdString(vpAttr.text) : QString();
    const ViewMapping view = mapViewPosition(viewPosition);
    const Sequence viewCode{codeItem(view.codeValue, view.codeMeaning)};

    a.set(Tag{0x0008, 0x0060}, "MG");
    a.set(Tag{0x0008, 0x0068}, "FOR PRESENTATION");
    a.set(Tag{0x0018, 0x0015}, "BREAST");
    a.set(Tag{0x0018, 0x1460}, 0.0);
    a.set(Tag{0x0018, 0x1508}, "MAMMOGRAPHIC");
    a.remove(Tag{0x0018, 0x1610});
    a.remove(Tag{0x0018, 0x1612});
    a.remove(Tag{0x0018, 0x1620});
    a.remove(Tag{0x0018, 0x5100});
    a.set(Tag{0x0018, 0x7004}, "DIRECT");
    a.set(Tag{0x0020, 0x0020}, view.orientation.toStdString());
    a.set(Tag{0x0020, 0x0060}, view.laterality.toStdString());
    a.set(Tag{0x0020, 0x0062}, view.laterality.toStdString());
    a.set(Tag{0x0028, 0x0301}, "NO");
    a.set(Tag{0x0028, 0x1040}, "LOG");
    a.set(Tag{0x0028, 0x1041}, -1.0);
    a.remove(Tag{0x0028, 0x1050});
    a.remove(Tag{0x0028, 0x1051});
    a.set(Tag{0x0028, 0x1054}, "US");
    a.set(Tag{0x0040, 0x0318}, "BREAST");
    a.set(Tag{0x0054, 0x0220}, viewCode);
    a.set(Tag{0x2050, 0x0020}, "IDENTITY");

    if (xrayType == unit::Sophie) {
        a.set(Tag{0x0018, 0x0060}, exposureText(exposure.kvp));
        a.set(Tag{0x0018, 0x1150}, exposureText(exposure.expZeit));
        a.set(Tag{0x0018, 0x1152}, exposureText(exposure.ma));
        a.set(Tag{0x0018, 0x11A0}, exposureText(exposure.dicke));
        a.set(Tag{0x0018, 0x11A2}, exposureText(exposure.druck));
        a.set(Tag{0x0018, 0x115E}, exposureText(exposure.mGy));
        a.set(Tag{0x0018, 0x6000}, exposureText(exposure.sonstiges));
    } else if (xrayType == unit::Giotto) {
        a.set(Tag{0x0018, 0x0060}, exposureText(exposure.kvp));
        a.set(Tag{0x0018, 0x1152}, exposureText(exposure.ma));
        a.set(Tag{0x0018, 0x115E}, exposureText(exposure.mGy));
    }

    // Timers and clicks run once before the file is written, as during every long step.
    if (QCoreApplication::instance()) QCoreApplication::processEvents();

    const std::string uid = image.sopInstanceUid();
    if (!isSafeUid(uid))
        throw Error(errc::InvalidName, "SOP Instance UID \"" + uid + "\" cannot name a file", "ModifyImage");
    const std::filesystem::path file = workFolder / (uid + ".dcm");
    image.write(file);
    return file;
}

bool ModifyImage(dicom::Image* image, const CurrentExposure& exposure, int xrayType,
                 const std::filesystem::path& workFolder) {
    try {
        if (!image) throw Error(ObjectNotSet, "No image", "ModifyImage");
        convertToMammography(*image, exposure, xrayType, workFolder);
        return true;
    } catch (const Error& e) {
        corva::log::LogError(e.code(), e.message(), "ModifyImage");
    } catch (const std::exception& e) {
        corva::log::LogError(errc::Generic, e.what(), "ModifyImage");
    }
    return false;
}

}  // namespace corva::dose
