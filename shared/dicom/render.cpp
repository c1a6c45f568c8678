// Rendering: the first frame through the header's window, scaled, as 8-bit pixels or JPEG.
//
// Two ways: DCMTK's DicomImage for everything, and for the common case of the viewer
// (a large uncompressed greyscale image shown much smaller) a direct area average
// over the stored pixels. DicomImage first converts all 13.6 million pixels of a
// mammogram into its own representation and then scales them; averaging straight
// into the target costs one pass and is several times faster.
#include "dcmtk_internal.h"  // first: DCMTK needs its configuration header before any other

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include <dcmtk/dcmimage/diregist.h>  // colour images
#include <dcmtk/dcmimgle/dcmimage.h>
#include <dcmtk/dcmjpeg/dipijpeg.h>

namespace corva::dicom {

using namespace detail;

namespace {

std::optional<double> firstNumber(const DataSet& ds, Tag tag)
{
    Attribute a = ds.get(tag);
    if (a.values.empty())
        return std::nullopt;
    if (auto* d = std::get_if<double>(&a.values.front()))
        return *d;
    return std::nullopt;
}

// A DicomImage and, for JPEG 2000, the decoded copy it reads from.
struct OpenedImage {
    std::unique_ptr<DcmDataset> decoded;
    std::unique_ptr<DicomImage> image;
    DicomImage* operator->() const { return image.get(); }
};

OpenedImage openImage(DcmDataset* ds)
{
    registerCodecs();
    OpenedImage opened;
    if (isJpeg2000(ds->getOriginalXfer()) && !ds->hasRepresentation(EXS_LittleEndianExplicit, nullptr)) {
        opened.decoded = decodedJpeg2000Copy(*ds);
        ds = opened.decoded.get();
    }
    unsigned long flags = 0;
    // Only the first frame is shown: do not decode the others. (Partial access costs a
    // copy, so single frames are read whole.)
    long frames = 1;
    if (ds->findAndGetLongInt(DCM_NumberOfFrames, frames).good() && frames > 1)
        flags |= CIF_UsePartialAccessToPixelData;
    // Once decompressed (an earlier rendering), the data set is read as uncompressed: the
    // JPEG-LS decoder cannot tell the colour model a second time.
    E_TransferSyntax xfer = ds->getOriginalXfer();
    if (opened.decoded || (DcmXfer(xfer).isEncapsulated() && ds->hasRepresentation(EXS_LittleEndianExplicit, nullptr)))
        xfer = EXS_LittleEndianExplicit;
    auto img = std::make_unique<DicomImage>(ds, xfer, flags, 0, 1);
    if (img->getStatus() != EIS_Normal)
        throw Error(errc::Generic, std::string("Cannot render the image: ") + DicomImage::getString(img->getStatus()),
                    "dicom");
    opened.image = std::move(img);
    return opened;
}

// The header's window (first values), else the image's own minimum and maximum.
void applyWindow(DicomImage& img, const std::optional<detail::Window>& window)
{
    if (!img.isMonochrome())
        return;
    if (window)
        img.setWindow(window->center, window->width);
    else
        img.setMinMaxWindow();
}

// The stored layout of an uncompressed 16-bit greyscale image, when it has one.
struct Layout {
    int rows = 0, columns = 0;
    int shift = 0;        // bits below the stored ones
    Uint16 mask = 0;      // the stored bits after shifting
    bool isSigned = false;
    int bitsStored = 0;
    bool inverse = false;  // MONOCHROME1: low values are white
    double slope = 1, intercept = 0;
    const Uint16* pixels = nullptr;
};

std::optional<Layout> directLayout(DcmDataset* ds)
{
    if (DcmXfer(ds->getOriginalXfer()).isEncapsulated())
        return std::nullopt;
    Uint16 samples = 0, allocated = 0, stored = 0, high = 0, representation = 0, rows = 0, columns = 0;
    OFString photometric;
    if (ds->findAndGetUint16(DCM_SamplesPerPixel, samples).bad() || samples != 1 ||
        ds->findAndGetUint16(DCM_BitsAllocated, allocated).bad() || allocated != 16 ||
        ds->findAndGetUint16(DCM_BitsStored, stored).bad() || stored < 1 || stored > 16 ||
        ds->findAndGetUint16(DCM_HighBit, high).bad() || high + 1 < stored || high > 15 ||
        ds->findAndGetUint16(DCM_Rows, rows).bad() || ds->findAndGetUint16(DCM_Columns, columns).bad() ||
        ds->findAndGetOFString(DCM_PhotometricInterpretation, photometric).bad())
        return std::nullopt;
    ds->findAndGetUint16(DCM_PixelRepresentation, representation);
    // A modality LUT is a table, not a line: leave it to DCMTK.
    if ((photometric != "MONOCHROME1" && photometric != "MONOCHROME2") || ds->tagExists(DCM_ModalityLUTSequence))
        return std::nullopt;
    DcmElement* el = nullptr;
    Uint16* words = nullptr;
    if (ds->findAndGetElement(DCM_PixelData, el).bad() || !el || el->getUint16Array(words).bad() || !words ||
        el->getLength() < static_cast<Uint32>(rows) * columns * 2)
        return std::nullopt;
    Layout l;
    l.rows = rows;
    l.columns = columns;
    l.shift = high + 1 - stored;
    l.mask = static_cast<Uint16>(stored == 16 ? 0xFFFF : (1u << stored) - 1);
    l.isSigned = representation == 1;
    l.bitsStored = stored;
    l.inverse = photometric == "MONOCHROME1";
    Float64 value = 0;
    if (ds->findAndGetFloat64(DCM_RescaleSlope, value).good() && value != 0)
        l.slope = value;
    if (ds->findAndGetFloat64(DCM_RescaleIntercept, value).good())
        l.intercept = value;
    l.pixels = words;
    return l;
}

// Area average of the stored values into tw x th, then rescale and window (the
// linear function of the standard, as DicomImage applies it).
Bitmap averageAndWindow(const Layout& l, int tw, int th, const std::optional<detail::Window>& window)
{
    std::vector<int> columnOf(static_cast<std::size_t>(l.columns));
    for (int x = 0; x < l.columns; ++x)
        columnOf[static_cast<std::size_t>(x)] = static_cast<int>(static_cast<long long>(x) * tw / l.columns);
    std::vector<long long> countOf(static_cast<std::size_t>(tw), 0);
    for (int x = 0; x < l.columns; ++x)
        ++countOf[static_cast<std::size_t>(columnOf[static_cast<std::size_t>(x)])];

    std::vector<double> averages(static_cast<std::size_t>(tw) * th);
    std::vector<long long> sums(static_cast<std::size_t>(tw));
    const int signBit = 1 << (l.bitsStored - 1);
    int y = 0;
    for (int ty = 0; ty < th; ++ty) {
        std::fill(sums.begin(), sums.end(), 0);
        const int yEnd = static_cast<int>((static_cast<long long>(ty) + 1) * l.rows / th);
        const int bandRows = yEnd - y;
        for (; y < yEnd; ++y) {
            const Uint16* row = l.pixels + static_cast<std::size_t>(y) * l.columns;
            if (l.isSigned) {
                for (int x = 0; x < l.columns; ++x) {
                    int v = (row[x] >> l.shift) & l.mask;
                    if (v & signBit)
                        v -= signBit << 1;
                    sums[static_cast<std::size_t>(columnOf[static_cast<std::size_t>(x)])] += v;
                }
            } else {
                for (int x = 0; x < l.columns; ++x)
                    sums[static_cast<std::size_t>(columnOf[static_cast<std::size_t>(x)])] += (row[x] >> l.shift) & l.mask;
            }
        }
        for (int tx = 0; tx < tw; ++tx) {
            const double n = static_cast<double>(countOf[static_cast<std::size_t>(tx)]) * std::max(bandRows, 1);
            averages[static_cast<std::size_t>(ty) * tw + tx] =
                static_cast<double>(sums[static_cast<std::size_t>(tx)]) / n * l.slope + l.intercept;
        }
    }

    double center = 0, width = 0;
    if (window) {
        center = window->center;
        width = window->width;
    } else {
        // DicomImage's min-max window: center (min + max + 1) / 2, width max - min + 1.
        const auto [lo, hi] = std::minmax_element(averages.begin(), averages.end());
        center = (*lo + *hi + 1) / 2;
        width = *hi - *lo + 1;
    }
    const double lower = center - 0.5 - (width - 1) / 2;
    const double upper = center - 0.5 + (width - 1) / 2;
    Bitmap bmp;
    bmp.width = tw;
    bmp.height = th;
    bmp.channels = 1;
    bmp.pixels.resize(averages.size());
    for (std::size_t i = 0; i < averages.size(); ++i) {
        const double m = averages[i];
        double out = 0;
        if (m <= lower)
            out = 0;
        else if (m > upper)
            out = 255;
        else
            out = ((m - (center - 0.5)) / (width - 1) + 0.5) * 255;
        auto v = static_cast<int>(std::lround(std::clamp(out, 0.0, 255.0)));
        bmp.pixels[i] = static_cast<std::uint8_t>(l.inverse ? 255 - v : v);
    }
    return bmp;
}

}  // namespace

namespace detail {

std::optional<Window> headerWindow(const DataSet& attrs)
{
    const auto center = firstNumber(attrs, {0x0028, 0x1050});
    const auto width = firstNumber(attrs, {0x0028, 0x1051});
    if (center && width && *width >= 1)
        return Window{*center, *width};
    return std::nullopt;
}

std::pair<int, int> fitSize(int width, int height, int maxWidth, int maxHeight)
{
    const double w = width, h = height;
    double scale = 1.0;
    if (maxWidth > 0 && maxHeight > 0)
        scale = std::min(maxWidth / w, maxHeight / h);
    else if (maxWidth > 0)
        scale = maxWidth / w;
    else if (maxHeight > 0)
        scale = maxHeight / h;
    return {static_cast<int>(std::max(1L, std::lround(w * scale))), static_cast<int>(std::max(1L, std::lround(h * scale)))};
}

Bitmap renderWithToolkit(DcmDataset* ds, const std::optional<Window>& window, int maxWidth, int maxHeight)
{
    OpenedImage opened = openImage(ds);
    std::unique_ptr<DicomImage>& img = opened.image;
    const auto [tw, th] = fitSize(static_cast<int>(img->getWidth()), static_cast<int>(img->getHeight()), maxWidth,
                                  maxHeight);
    if (static_cast<unsigned long>(tw) != img->getWidth() || static_cast<unsigned long>(th) != img->getHeight()) {
        // Scaling before the window: only the target's pixels go through the lookup.
        const bool shrink = static_cast<unsigned long>(tw) < img->getWidth();
        std::unique_ptr<DicomImage> scaled(img->createScaledImage(static_cast<unsigned long>(tw),
                                                                  static_cast<unsigned long>(th), shrink ? 1 : 0, 0));
        if (!scaled || scaled->getStatus() != EIS_Normal)
            throw Error(errc::Generic, "Cannot scale the image", "dicom");
        img = std::move(scaled);
    }
    applyWindow(*img, window);

    Bitmap bmp;
    bmp.width = static_cast<int>(img->getWidth());
    bmp.height = static_cast<int>(img->getHeight());
    bmp.channels = img->isMonochrome() ? 1 : 3;
    const unsigned long size = img->getOutputDataSize(8);
    const void* data = img->getOutputData(8, 0, 0);
    if (!data || size != static_cast<unsigned long>(bmp.width) * bmp.height * bmp.channels)
        throw Error(errc::Generic, "Cannot render the image", "dicom");
    bmp.pixels.resize(size);
    std::memcpy(bmp.pixels.data(), data, size);
    return bmp;
}

std::optional<Bitmap> renderDirect(DcmDataset* ds, const std::optional<Window>& window, int maxWidth, int maxHeight)
{
    const auto layout = directLayout(ds);
    if (!layout)
        return std::nullopt;
    const auto [tw, th] = fitSize(layout->columns, layout->rows, maxWidth, maxHeight);
    if (tw >= layout->columns || th >= layout->rows)
        return std::nullopt;  // enlarging: DicomImage interpolates
    return averageAndWindow(*layout, tw, th, window);
}

}  // namespace detail

Bitmap Image::render(int maxWidth, int maxHeight) const
{
    return render(maxWidth, maxHeight, std::nullopt);
}

Bitmap Image::render(int maxWidth, int maxHeight, const std::optional<DisplayWindow>& chosen) const
{
    ensureLoaded();
    DcmDataset* ds = file_->getDataset();
    std::optional<Window> window = headerWindow(attributes());
    if (chosen && chosen->width >= 1)
        window = Window{chosen->center, chosen->width};
    if (auto direct = renderDirect(ds, window, maxWidth, maxHeight))
        return std::move(*direct);
    return renderWithToolkit(ds, window, maxWidth, maxHeight);
}

std::optional<DisplayWindow> Image::displayWindow() const
{
    const DataSet attrs = attributes();
    // Told by the header without decoding the pixels, when it can.
    if (attrs.get(Tag{0x0028, 0x0004}).text.rfind("MONOCHROME", 0) != 0)
        return std::nullopt;
    if (const auto window = headerWindow(attrs))
        return DisplayWindow{window->center, window->width};
    ensureLoaded();
    const OpenedImage img = openImage(file_->getDataset());
    if (!img->isMonochrome())
        return std::nullopt;
    img->setMinMaxWindow();
    DisplayWindow w;
    img->getWindow(w.center, w.width);
    return w;
}

void Image::writeJpeg(const std::filesystem::path& file, int quality) const
{
    ensureLoaded();
    const OpenedImage img = openImage(file_->getDataset());
    applyWindow(*img.image, headerWindow(attributes()));
    DiJPEGPlugin plugin;
    plugin.setQuality(static_cast<unsigned int>(std::clamp(quality, 1, 100)));
    plugin.setSampling(ESS_444);
    if (!img->writePluginFormat(&plugin, file.string().c_str())) {
        std::error_code ec;
        std::filesystem::remove(file, ec);
        throw Error(errc::Generic, "Cannot write the JPEG file " + file.string(), "dicom");
    }
}

}  // namespace corva::dicom
