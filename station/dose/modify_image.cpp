#include "dose/modify_image.h"

#include <QStringList>
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "core/error.h"
#include "core/paths.h"
#include "dose/exposure_values.h"
#include "log/error_log.h"

namespace corva::dose {
namespace {

using dicom::DataSet;
using dicom::Sequence;
using dicom::Tag;

constexpr int ObjectNotSet = 91;

constexpr Tag ImageComments{0x0020, 0x4000};
constexpr Tag WindowCenter{0x0028, 0x1050};
constexpr Tag WindowWidth{0x0028, 0x1051};
constexpr Tag WindowExplanation{0x0028, 0x1055};
constexpr Tag RescaleIntercept{0x0028, 0x1052};
constexpr Tag RescaleSlope{0x0028, 0x1053};
constexpr Tag LossyImageCompression{0x0028, 0x2110};
constexpr Tag AcquisitionContextSequence{0x0040, 0x0555};
constexpr Tag ViewModifierCodeSequence{0x0054, 0x0222};

// SNOMED codes under the designator DICOM knows them by ("SNM-3" is no designator).
constexpr const char* CodingScheme = "SRT";

// Starts every line of Image Comments that holds a record value a numeric attribute
// could not take; such lines are replaced at each conversion, other comments stay.
const QString NonNumericPrefix = QStringLiteral("Exposure record value, not a number: ");

DataSet codeItem(const QString& value, const QString& meaning) {
    DataSet item;
    item.set(Tag{0x0008, 0x0100}, value.toStdString());
    item.set(Tag{0x0008, 0x0102}, CodingScheme);
    item.set(Tag{0x0008, 0x0104}, meaning.toStdString());
    return item;
}

std::optional<double> number(const DataSet& a, Tag tag) {
    const dicom::Attribute attr = a.get(tag);
    if (attr.isNull()) return std::nullopt;
    if (const auto* d = std::get_if<double>(&attr.values.front())) return *d;
    bool ok = false;
    const double v = QString::fromStdString(attr.text).section(QLatin1Char('\\'), 0, 0).trimmed().toDouble(&ok);
    return ok ? std::optional<double>(v) : std::nullopt;
}

struct ValueRange {
    double low = 0;
    double high = 0;
};

// The lowest and highest stored pixel value of uncompressed, single-sample pixel data;
// nullopt when the pixel data is compressed or not laid out as the header says.
std::optional<ValueRange> storedPixelRange(const DataSet& a, const std::string& transferSyntax, int bitsAllocated,
                                           int bitsStored, bool isSigned) {
    const bool uncompressed = transferSyntax.empty() || transferSyntax == dicom::uid::ImplicitLittleEndian ||
                              transferSyntax == dicom::uid::ExplicitLittleEndian ||
                              transferSyntax == dicom::uid::ExplicitBigEndian ||
                              transferSyntax == "1.2.840.10008.1.2.1.99";  // deflated: inflated on reading
    if (!uncompressed || (bitsAllocated != 8 && bitsAllocated != 16)) return std::nullopt;
    if (number(a, {0x0028, 0x0002}).value_or(1) != 1) return std::nullopt;
    const double rows = number(a, {0x0028, 0x0010}).value_or(0);
    const double columns = number(a, {0x0028, 0x0011}).value_or(0);
    const double frames = std::max(1.0, number(a, {0x0028, 0x0008}).value_or(1));
    const double samples = rows * columns * frames;
    if (samples < 1 || samples > 1e9) return std::nullopt;
    const std::string bytes = a.rawBytes({0x7FE0, 0x0010});
    const std::size_t bytesPerSample = static_cast<std::size_t>(bitsAllocated / 8);
    const auto count = static_cast<std::size_t>(samples);
    if (bytes.size() < count * bytesPerSample) return std::nullopt;

    const std::uint32_t mask = (1u << bitsStored) - 1u;
    const std::uint32_t signBit = 1u << (bitsStored - 1);
    std::int64_t low = INT64_MAX, high = INT64_MIN;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    for (std::size_t i = 0; i < count; ++i, p += bytesPerSample) {
        std::uint32_t word = bytesPerSample == 2 ? (p[0] | (static_cast<std::uint32_t>(p[1]) << 8)) : p[0];
        word &= mask;
        std::int64_t v = word;
        if (isSigned && (word & signBit)) v -= std::int64_t{1} << bitsStored;
        low = std::min(low, v);
        high = std::max(high, v);
    }
    return ValueRange{static_cast<double>(low), static_cast<double>(high)};
}

// The window a viewer uses when the header gives none: from the lowest to the highest
// pixel value (centre (min + max + 1) / 2, width max - min + 1), after the rescale.
// Compressed pixel data is not decoded here: the whole range of Bits Stored is shown.
// nullopt for an image without pixel description.
std::optional<std::pair<double, double>> presentationWindow(const DataSet& a, const std::string& transferSyntax) {
    const int bitsAllocated = static_cast<int>(number(a, {0x0028, 0x0100}).value_or(0));
    const int bitsStored = static_cast<int>(number(a, {0x0028, 0x0101}).value_or(bitsAllocated));
    if (bitsStored < 1 || bitsStored > 16) return std::nullopt;
    const bool isSigned = number(a, {0x0028, 0x0103}).value_or(0) == 1;
    const double half = std::ldexp(1.0, bitsStored - 1);
    const ValueRange bitRange = isSigned ? ValueRange{-half, half - 1} : ValueRange{0, 2 * half - 1};
    const ValueRange range = storedPixelRange(a, transferSyntax, bitsAllocated, bitsStored, isSigned).value_or(bitRange);
    const double slope = number(a, RescaleSlope).value_or(1);
    const double intercept = number(a, RescaleIntercept).value_or(0);
    double low = range.low * slope + intercept, high = range.high * slope + intercept;
    if (low > high) std::swap(low, high);
    return std::make_pair((low + high + 1) / 2, high - low + 1);
}

// Whether the source says its pixels went through lossy compression.
bool wasLossy(const DataSet& a, const std::string& transferSyntax) {
    if (QString::fromStdString(a.get(LossyImageCompression).text).trimmed() == QStringLiteral("01")) return true;
    return transferSyntax == dicom::uid::JpegBaseline || transferSyntax == "1.2.840.10008.1.2.4.51";
}

// Image Comments with the record values that no numeric attribute could take, after
// the comments the image already had (lines of an earlier conversion replaced).
std::optional<std::string> commentsWith(const DataSet& a, const std::vector<NonNumericValue>& nonNumeric) {
    QStringList lines;
    const dicom::Attribute old = a.get(ImageComments);
    if (!old.isNull())
        for (const QString& line : QString::fromStdString(old.text).split(QStringLiteral("\r\n")))
            if (!line.startsWith(NonNumericPrefix)) lines << line;
    for (const NonNumericValue& v : nonNumeric)
        if (!v.text.isEmpty())
            lines << NonNumericPrefix + v.attributeName + QStringLiteral(" (") + QString::fromStdString(v.tag.text()) +
                         QStringLiteral(") ") + v.text;
    while (!lines.isEmpty() && lines.back().isEmpty()) lines.removeLast();
    if (lines.isEmpty()) return std::nullopt;
    return lines.join(QStringLiteral("\r\n")).toStdString();
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
    DataSet viewItem = codeItem(view.codeValue, view.codeMeaning);
    viewItem.set(ViewModifierCodeSequence, Sequence{});  // no modifier is known
    const Sequence viewCode{viewItem};

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
    a.remove(WindowCenter);
    a.remove(WindowWidth);
    a.set(Tag{0x0028, 0x1054}, "US");
    a.set(Tag{0x0040, 0x0318}, "BREAST");
    a.set(Tag{0x0054, 0x0220}, viewCode);
    a.set(Tag{0x2050, 0x0020}, "IDENTITY");

    // What a mammography image for presentation needs beyond the changes above. The
    // window shows the pixel range a viewer shows without one, so display is unchanged;
    // the explanation of the removed window goes with it.
    a.remove(WindowExplanation);
    if (image.isHeaderOnly()) image.loadAll();  // the window needs the pixels
    if (const auto window = presentationWindow(a, image.transferSyntax())) {
        a.set(WindowCenter, decimalString(window->first));
        a.set(WindowWidth, decimalString(window->second));
    }
    if (!a.contains(RescaleIntercept)) a.set(RescaleIntercept, "0");
    if (!a.contains(RescaleSlope)) a.set(RescaleSlope, "1");
    a.set(LossyImageCompression, wasLossy(a, image.transferSyntax()) ? "01" : "00");
    if (!a.contains(AcquisitionContextSequence)) a.set(AcquisitionContextSequence, Sequence{});

    // The exposure values as numbers in the attributes' own units; a record text that
    // is no number stays readable in Image Comments and is logged once the file exists.
    const ExposureValues exposureValuesToWrite = exposureValues(exposure, xrayType);
    for (const ExposureChange& change : exposureValuesToWrite.changes) {
        if (change.value)
            a.set(change.tag, *change.value);
        else
            a.remove(change.tag);
    }
    if (const auto comments = commentsWith(a, exposureValuesToWrite.nonNumeric))
        a.set(ImageComments, *comments);
    else
        a.remove(ImageComments);

    const std::string uid = image.sopInstanceUid();
    if (!isSafeUid(uid))
        throw Error(errc::InvalidName, "SOP Instance UID \"" + uid + "\" cannot name a file", "ModifyImage");
    const std::filesystem::path file = workFolder / (uid + ".dcm");
    image.write(file);
    for (const NonNumericValue& v : exposureValuesToWrite.nonNumeric)
        corva::log::LogError(errc::TypeMismatch,
                             v.attributeName.toStdString() + " (" + v.tag.text() + "): \"" + v.text.toStdString() +
                                 "\" from the exposure record is not a number; kept in Image Comments of " + uid,
                             "ModifyImage");
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
