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

// The stored layout of an uncompressed greyscale image of 8 or 16 bits allocated.
struct Layout {
    int rows = 0, columns = 0;
    int bitsAllocated = 16;
    int shift = 0;        // bits below the stored ones
    unsigned mask = 0;    // the stored bits after shifting
    bool isSigned = false;
    int bitsStored = 0;
    bool inverse = false;  // MONOCHROME1: low values are white
    double slope = 1, intercept = 0;
    const void* pixels = nullptr;
};

std::optional<Layout> directLayout(DcmDataset* ds)
{
    if (DcmXfer(ds->getOriginalXfer()).isEncapsulated())
        return std::nullopt;
    Uint16 samples = 0, allocated = 0, stored = 0, high = 0, representation = 0, rows = 0, columns = 0;
    OFString photometric;
    if (ds->findAndGetUint16(DCM_SamplesPerPixel, samples).bad() || samples != 1 ||
        ds->findAndGetUint16(DCM_BitsAllocated, allocated).bad() || (allocated != 16 && allocated != 8) ||
        ds->findAndGetUint16(DCM_BitsStored, stored).bad() || stored < 1 || stored > allocated ||
        ds->findAndGetUint16(DCM_HighBit, high).bad() || high + 1 < stored || high >= allocated ||
        ds->findAndGetUint16(DCM_Rows, rows).bad() || ds->findAndGetUint16(DCM_Columns, columns).bad() ||
        rows == 0 || columns == 0 || ds->findAndGetOFString(DCM_PhotometricInterpretation, photometric).bad())
        return std::nullopt;
    ds->findAndGetUint16(DCM_PixelRepresentation, representation);
    // A modality LUT is a table, not a line: leave it to DCMTK.
    if ((photometric != "MONOCHROME1" && photometric != "MONOCHROME2") || ds->tagExists(DCM_ModalityLUTSequence))
        return std::nullopt;
    DcmElement* el = nullptr;
    const void* pixels = nullptr;
    const Uint32 bytes = static_cast<Uint32>(rows) * columns * (allocated / 8);
    if (ds->findAndGetElement(DCM_PixelData, el).bad() || !el || el->getLength() < bytes)
        return std::nullopt;
    if (allocated == 16) {
        Uint16* words = nullptr;
        if (el->getUint16Array(words).bad())
            return std::nullopt;
        pixels = words;
    } else {
        // Eight bits are stored as OB, or as OW whose bytes run in file order on this
        // (little endian) machine when the file is little endian too.
        if (ds->getOriginalXfer() == EXS_BigEndianExplicit)
            return std::nullopt;
        Uint8* octets = nullptr;
        if (el->getUint8Array(octets).bad()) {
            Uint16* words = nullptr;
            if (el->getUint16Array(words).bad())
                return std::nullopt;
            octets = reinterpret_cast<Uint8*>(words);
        }
        pixels = octets;
    }
    if (!pixels)
        return std::nullopt;
    Layout l;
    l.rows = rows;
    l.columns = columns;
    l.bitsAllocated = allocated;
    l.shift = high + 1 - stored;
    l.mask = stored >= 32 ? 0xFFFFFFFFu : (1u << stored) - 1;
    l.isSigned = representation == 1;
    l.bitsStored = stored;
    l.inverse = photometric == "MONOCHROME1";
    Float64 value = 0;
    if (ds->findAndGetFloat64(DCM_RescaleSlope, value).good() && value != 0)
        l.slope = value;
    if (ds->findAndGetFloat64(DCM_RescaleIntercept, value).good())
        l.intercept = value;
    l.pixels = pixels;
    return l;
}

// Adds one stored row into the column sums: the stored bits, sign-extended when signed.
// Straight loops over whole rows, which the compiler turns into vector code.
template <typename Word>
void addRow(const Word* row, int columns, const Layout& l, std::int32_t* sums)
{
    const unsigned shift = static_cast<unsigned>(l.shift);
    const unsigned mask = l.mask;
    if (!l.isSigned) {
        for (int x = 0; x < columns; ++x)
            sums[x] += static_cast<std::int32_t>((static_cast<unsigned>(row[x]) >> shift) & mask);
        return;
    }
    // The stored value's top bit is its sign: move it to bit 31 and shift back down.
    const unsigned up = 32u - static_cast<unsigned>(l.bitsStored);
    for (int x = 0; x < columns; ++x) {
        const unsigned v = (static_cast<unsigned>(row[x]) >> shift) & mask;
        sums[x] += static_cast<std::int32_t>(v << up) >> up;
    }
}

// Area average of the stored values into tw x th, then rescale and window (the
// linear function of the standard, as DicomImage applies it). Each stored row is
// visited once, straight from the pixel data: no full-size copy is made.
Bitmap averageAndWindow(const Layout& l, int tw, int th, const std::optional<detail::Window>& window)
{
    // Stored column x goes to target column x * tw / columns: runs of whole columns.
    std::vector<int> runStart(static_cast<std::size_t>(tw) + 1);
    for (int tx = 0; tx <= tw; ++tx)
        runStart[static_cast<std::size_t>(tx)] =
            static_cast<int>((static_cast<long long>(tx) * l.columns + tw - 1) / tw);

    std::vector<double> averages(static_cast<std::size_t>(tw) * th);
    // Column sums of one band of rows; a band is at most 65535 rows of 16 bits: int32 holds it.
    std::vector<std::int32_t> columnSums(static_cast<std::size_t>(l.columns));
    const std::size_t rowBytes = static_cast<std::size_t>(l.columns) * (l.bitsAllocated / 8);
    const auto* base = static_cast<const std::uint8_t*>(l.pixels);
    int y = 0;
    for (int ty = 0; ty < th; ++ty) {
        std::fill(columnSums.begin(), columnSums.end(), 0);
        const int yEnd = static_cast<int>((static_cast<long long>(ty) + 1) * l.rows / th);
        const int bandRows = yEnd - y;
        for (; y < yEnd; ++y) {
            const std::uint8_t* row = base + static_cast<std::size_t>(y) * rowBytes;
            if (l.bitsAllocated == 16)
                addRow(reinterpret_cast<const std::uint16_t*>(row), l.columns, l, columnSums.data());
            else
                addRow(row, l.columns, l, columnSums.data());
        }
        for (int tx = 0; tx < tw; ++tx) {
            const int from = runStart[static_cast<std::size_t>(tx)], to = runStart[static_cast<std::size_t>(tx) + 1];
            long long sum = 0;
            for (int x = from; x < to; ++x)
                sum += columnSums[static_cast<std::size_t>(x)];
            const double n = static_cast<double>(to - from) * std::max(bandRows, 1);
            averages[static_cast<std::size_t>(ty) * tw + tx] = static_cast<double>(sum) / n * l.slope + l.intercept;
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
