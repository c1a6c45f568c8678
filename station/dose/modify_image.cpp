#include "dose/modify_image.h"

#include <QStringList>
#include <algorithm>
#include <array>
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

constexpr Tag ImageType{0x0008, 0x0008};
constexpr Tag ViewPosition{0x0018, 0x5101};
constexpr Tag PatientOrientation{0x0020, 0x0020};
constexpr Tag Laterality{0x0020, 0x0060};
constexpr Tag ImageLaterality{0x0020, 0x0062};
constexpr Tag ImageComments{0x0020, 0x4000};
constexpr Tag PhotometricInterpretation{0x0028, 0x0004};
constexpr Tag PixelIntensityRelationshipSign{0x0028, 0x1041};
constexpr Tag WindowCenter{0x0028, 0x1050};
constexpr Tag WindowWidth{0x0028, 0x1051};
constexpr Tag WindowExplanation{0x0028, 0x1055};
constexpr Tag RescaleIntercept{0x0028, 0x1052};
constexpr Tag RescaleSlope{0x0028, 0x1053};
constexpr Tag LossyImageCompression{0x0028, 0x2110};
constexpr Tag AcquisitionContextSequence{0x0040, 0x0555};
constexpr Tag ViewCodeSequence{0x0054, 0x0220};
constexpr Tag ViewModifierCodeSequence{0x0054, 0x0222};
constexpr Tag PresentationLutShape{0x2050, 0x0020};

// SNOMED codes under the designator DICOM knows them by ("SNM-3" is no designator).
constexpr const char* CodingScheme = "SRT";

// Starts every line of Image Comments that holds a record value a numeric attribute
// could not take; such lines are replaced at each conversion, other comments stay.
const QString NonNumericPrefix = QStringLiteral("Exposure record value, not a number: ");
const QString BelowZeroPrefix = QStringLiteral("Exposure record value, below zero: ");

// The mammography views (CID 4014) and the column direction of Patient Orientation for
// the right and the left breast. The breasts hang back to back, chest walls in the
// middle: rows run posterior for the right breast, anterior for the left. Cranio-caudal
// views show the lateral side at the top, so their columns run toward the patient's
// other side; oblique views run from the upper end down, toward the medial side for MLO
// and LMO, the lateral side for SIO and ISO; lateral views run toward the feet.
struct ViewRow {
    View view;
    const char* codeValue;
    const char* codeMeaning;
    const char* rightColumns;
    const char* leftColumns;
};
constexpr std::array<ViewRow, 10> ViewRows{{
    {View::CC, "R-10242", "cranio-caudal", "L", "R"},
    {View::FB, "R-10244", "caudo-cranial (from below)", "L", "R"},
    {View::XCCL, "R-1024A", "cranio-caudal exaggerated laterally", "L", "R"},
    {View::XCCM, "R-1024B", "cranio-caudal exaggerated medially", "L", "R"},
    {View::MLO, "R-10226", "medio-lateral oblique", "FL", "FR"},
    {View::LMO, "R-10230", "latero-medial oblique", "FL", "FR"},
    {View::SIO, "R-102D0", "superolateral to inferomedial oblique", "FR", "FL"},
    {View::ISO, "R-40AAA", "inferomedial to superolateral oblique", "FR", "FL"},
    {View::ML, "R-10224", "medio-lateral", "F", "F"},
    {View::LM, "R-10228", "latero-medial", "F", "F"},
}};

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
            if (!line.startsWith(NonNumericPrefix) && !line.startsWith(BelowZeroPrefix)) lines << line;
    for (const NonNumericValue& v : nonNumeric)
        if (!v.text.isEmpty())
            lines << (v.belowZero ? BelowZeroPrefix : NonNumericPrefix) + v.attributeName + QStringLiteral(" (") + QString::fromStdString(v.tag.text()) +
                         QStringLiteral(") ") + v.text;
    while (!lines.isEmpty() && lines.back().isEmpty()) lines.removeLast();
    if (lines.isEmpty()) return std::nullopt;
    return lines.join(QStringLiteral("\r\n")).toStdString();
}

// Image Type of a mammogram: the source's pixel characteristics (ORIGINAL or DERIVED,
// PRIMARY or SECONDARY) and a third value present and empty, which marks an image that
// is no stereotactic, tomosynthesis or contrast image.
std::string mammographyImageType(const DataSet& a) {
    const QStringList values = QString::fromStdString(a.get(ImageType).text).split(QLatin1Char('\\'));
    QString first = values.value(0).trimmed().toUpper(), second = values.value(1).trimmed().toUpper();
    if (first != QLatin1String("ORIGINAL") && first != QLatin1String("DERIVED")) first = QStringLiteral("ORIGINAL");
    if (second != QLatin1String("PRIMARY") && second != QLatin1String("SECONDARY")) second = QStringLiteral("PRIMARY");
    return (first + QLatin1Char('\\') + second + QLatin1Char('\\')).toStdString();
}

bool isMonochrome1(const DataSet& a) {
    return QString::fromStdString(a.get(PhotometricInterpretation).text).trimmed().toUpper() ==
           QLatin1String("MONOCHROME1");
}

}  // namespace

ViewMapping mapProjection(const Projection& projection) {
    ViewMapping m;
    const auto row = std::find_if(ViewRows.begin(), ViewRows.end(),
                                  [&](const ViewRow& r) { return r.view == projection.view; });
    if (row == ViewRows.end()) return m;
    m.codeValue = QLatin1String(row->codeValue);
    m.codeMeaning = QLatin1String(row->codeMeaning);
    if (projection.side == Side::Unknown) return m;
    const bool right = projection.side == Side::Right;
    m.laterality = sideLetter(projection.side);
    m.orientation = QLatin1String(right ? "P\\" : "A\\") + QLatin1String(right ? row->rightColumns : row->leftColumns);
    return m;
}

std::filesystem::path convertToMammography(dicom::Image& image, const CurrentExposure& exposure, int xrayType,
                                           const std::filesystem::path& workFolder) {
    DataSet a = image.attributes();

    a.set(Tag{0x0008, 0x2218}, Sequence{codeItem(QStringLiteral("T-04000"), QStringLiteral("Breast"))});
    image.setSopClassUid(dicom::uid::DigitalMammographyForPresentation);

    // The side, orientation and view as the pairing reads them. Only a projection known
    // in full replaces the source's side and orientation; an unknown view keeps the
    // source's View Code Sequence as well.
    const ViewMapping view = mapProjection(projectionOf(a).projection);
    if (!view.laterality.isEmpty()) {
        a.set(Laterality, view.laterality.toStdString());
        a.set(ImageLaterality, view.laterality.toStdString());
        a.set(PatientOrientation, view.orientation.toStdString());
    }
    if (!view.codeValue.isEmpty()) {
        DataSet viewItem = codeItem(view.codeValue, view.codeMeaning);
        viewItem.set(ViewModifierCodeSequence, Sequence{});  // no modifier is known
        a.set(ViewCodeSequence, Sequence{viewItem});
    }

    // View Position is a code string, upper case only; the reader's "cc" means "CC".
    const QString viewPosition = QString::fromStdString(a.get(ViewPosition).text);
    if (viewPosition != viewPosition.toUpper()) a.set(ViewPosition, viewPosition.toUpper().toStdString());

    a.set(ImageType, mammographyImageType(a));
    a.set(Tag{0x0008, 0x0060}, "MG");
    a.set(Tag{0x0008, 0x0068}, "FOR PRESENTATION");
    a.set(Tag{0x0018, 0x0015}, "BREAST");
    a.set(Tag{0x0018, 0x1460}, 0.0);
    a.set(Tag{0x0018, 0x1508}, "MAMMOGRAPHIC");
    a.remove(Tag{0x0018, 0x1610});
    a.remove(Tag{0x0018, 0x1612});
    a.remove(Tag{0x0018, 0x1620});
    a.remove(Tag{0x0018, 0x5100});
    // The images come from a computed-radiography reader: a storage phosphor plate.
    a.set(Tag{0x0018, 0x7004}, "STORAGE");
    a.set(Tag{0x0028, 0x0301}, "NO");
    // MONOCHROME1 shows the lowest value white: it takes the inverse Presentation LUT.
    // The reader's image shows dense tissue white either way, so its values rise with
    // the beam's intensity in MONOCHROME1 and fall with it in MONOCHROME2.
    const bool monochrome1 = isMonochrome1(a);
    a.set(Tag{0x0028, 0x1040}, "LOG");
    a.set(PixelIntensityRelationshipSign, monochrome1 ? 1.0 : -1.0);
    a.remove(WindowCenter);
    a.remove(WindowWidth);
    a.set(Tag{0x0028, 0x1054}, "US");
    a.set(Tag{0x0040, 0x0318}, "BREAST");
    a.set(PresentationLutShape, monochrome1 ? "INVERSE" : "IDENTITY");

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
    // Attributes a mammography image must carry even when unknown: a reader that left
    // them out gets them present and empty, as the standard allows for such values.
    for (const Tag tag : {Tag{0x0010, 0x0030}, Tag{0x0010, 0x0040}, Tag{0x0008, 0x0030}, Tag{0x0008, 0x0090},
                          Tag{0x0020, 0x0010}, Tag{0x0008, 0x0050}, Tag{0x0020, 0x0011}, Tag{0x0008, 0x0070}})
        if (!a.contains(tag)) a.set(tag, std::string());
    // The detector's pixel spacing: a reader that wrote only Pixel Spacing measured it there.
    constexpr Tag PixelSpacing{0x0028, 0x0030}, ImagerPixelSpacing{0x0018, 0x1164};
    if (!a.contains(ImagerPixelSpacing) && !a.get(PixelSpacing).isNull())
        a.set(ImagerPixelSpacing, a.get(PixelSpacing).text);

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
                                 "\" from the exposure record is " + (v.belowZero ? "below zero" : "not a number") +
                                 "; kept in Image Comments of " + uid,
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
