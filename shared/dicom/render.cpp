// Rendering: the first frame through the header's window, scaled, as 8-bit pixels or JPEG.
//
// Two ways: DCMTK's DicomImage for everything, and for the common case of the viewer
// (a large uncompressed greyscale image shown much smaller) a direct area average
// over the stored pixels. DicomImage first converts all 13.6 million pixels of a
// mammogram into its own representation and then scales them; averaging straight
// into the target costs one pass and is several times faster. The viewer goes one
// step further (renderFromFile): it reads the stored rows from the file through a small
// buffer and never holds the whole pixel data.
#include "dcmtk_internal.h"  // first: DCMTK needs its configuration header before any other

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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
    std::size_t rowBytes() const { return static_cast<std::size_t>(columns) * (bitsAllocated / 8); }
    std::size_t frameBytes() const { return rowBytes() * static_cast<std::size_t>(rows); }
};

// The layout the header describes, when the direct path can take the image (the pixel
// data itself is not looked at: it may still be in the file).
std::optional<Layout> headerLayout(DcmDataset* ds)
{
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
    return l;
}

// Where the stored rows come from: rows(first, count) points at `count` whole rows from
// row `first` on, valid until the next call.
class RowSource {
public:
    virtual ~RowSource() = default;
    virtual const std::uint8_t* rows(int first, int count) = 0;
};

// Pixel data in memory (a data set read whole).
class MemoryRows : public RowSource {
public:
    MemoryRows(const std::uint8_t* pixels, std::size_t rowBytes) : pixels_(pixels), rowBytes_(rowBytes) {}
    const std::uint8_t* rows(int first, int) override { return pixels_ + static_cast<std::size_t>(first) * rowBytes_; }

private:
    const std::uint8_t* pixels_;
    std::size_t rowBytes_;
};

// Pixel data in the file: read in chunks of whole rows into one buffer that is reused,
// so that what is read is still in the processor's cache when it is summed.
class FileRows : public RowSource {
public:
    FileRows(const std::filesystem::path& file, std::uint64_t offset, const Layout& l)
        : offset_(offset), rowBytes_(l.rowBytes()), totalRows_(l.rows), file_(file)
    {
        fd_ = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0)
            throw Error(errc::NotFound, "Cannot open " + file.string(), "dicom");
        ::posix_fadvise(fd_, static_cast<off_t>(offset), static_cast<off_t>(l.frameBytes()), POSIX_FADV_SEQUENTIAL);
        chunkRows_ = std::max<int>(1, static_cast<int>(ChunkBytes / rowBytes_));
    }
    ~FileRows() override { ::close(fd_); }
    FileRows(const FileRows&) = delete;
    FileRows& operator=(const FileRows&) = delete;

    const std::uint8_t* rows(int first, int count) override
    {
        if (first < bufferFirst_ || first + count > bufferFirst_ + bufferCount_) {
            const int n = std::min(std::max(count, chunkRows_), totalRows_ - first);
            const std::size_t bytes = static_cast<std::size_t>(n) * rowBytes_;
            if (buffer_.size() < bytes)
                buffer_.resize(bytes);
            std::size_t done = 0;
            const auto at = offset_ + static_cast<std::uint64_t>(first) * rowBytes_;
            while (done < bytes) {
                const ssize_t got = ::pread(fd_, buffer_.data() + done, bytes - done, static_cast<off_t>(at + done));
                if (got < 0 && errno == EINTR)
                    continue;
                if (got <= 0)
                    throw Error(errc::NotDicom, "Cannot read the pixel data of " + file_.string(), "dicom");
                done += static_cast<std::size_t>(got);
            }
            bufferFirst_ = first;
            bufferCount_ = n;
        }
        return buffer_.data() + static_cast<std::size_t>(first - bufferFirst_) * rowBytes_;
    }

private:
    static constexpr std::size_t ChunkBytes = 1 << 20;
    int fd_ = -1;
    std::uint64_t offset_;
    std::size_t rowBytes_;
    int totalRows_;
    int chunkRows_ = 1;
    int bufferFirst_ = 0, bufferCount_ = 0;
    std::vector<std::uint8_t> buffer_;
    std::filesystem::path file_;
};

// The in-memory pixel data of a data set read whole, when it holds the first frame.
const std::uint8_t* memoryPixels(DcmDataset* ds, const Layout& l)
{
    if (DcmXfer(ds->getOriginalXfer()).isEncapsulated())
        return nullptr;
    DcmElement* el = nullptr;
    if (ds->findAndGetElement(DCM_PixelData, el).bad() || !el || el->getLength() < l.frameBytes())
        return nullptr;
    if (l.bitsAllocated == 16) {
        Uint16* words = nullptr;
        return el->getUint16Array(words).good() ? reinterpret_cast<const std::uint8_t*>(words) : nullptr;
    }
    // Eight bits are stored as OB, or as OW whose bytes run in file order on this
    // (little endian) machine when the file is little endian too.
    if (ds->getOriginalXfer() == EXS_BigEndianExplicit)
        return nullptr;
    Uint8* octets = nullptr;
    if (el->getUint8Array(octets).bad()) {
        Uint16* words = nullptr;
        if (el->getUint16Array(words).bad())
            return nullptr;
        octets = reinterpret_cast<Uint8*>(words);
    }
    return octets;
}

// The stored values beyond which the window shows black or white: clamped to these
// before averaging, the average through the window is the window's output averaged (as
// the full-size rendering scaled down), not the window of a mix of clipped values.
struct Clamp {
    std::int32_t low = std::numeric_limits<std::int32_t>::min();
    std::int32_t high = std::numeric_limits<std::int32_t>::max();
};

// Adds one stored row into the column sums: the stored bits, sign-extended when signed;
// with Range (no window) also the lowest and highest value seen, else clamped to the
// window's ends. Straight loops over whole rows, which the compiler turns into vector code.
template <bool Range, typename Word>
[[gnu::always_inline]] inline void addRowAs(const Word* row, int columns, const Layout& l, const Clamp& clamp,
                                            std::int32_t* sums, std::int32_t& lowest, std::int32_t& highest)
{
    const unsigned shift = static_cast<unsigned>(l.shift);
    const unsigned mask = l.mask;
    const std::int32_t low = clamp.low, high = clamp.high;
    std::int32_t lo = lowest, hi = highest;
    // The stored value's top bit is its sign: move it to bit 31 and shift back down.
    const unsigned up = l.isSigned ? 32u - static_cast<unsigned>(l.bitsStored) : 0u;
    for (int x = 0; x < columns; ++x) {
        const unsigned bits = (static_cast<unsigned>(row[x]) >> shift) & mask;
        const std::int32_t v = static_cast<std::int32_t>(bits << up) >> up;
        if constexpr (Range) {
            sums[x] += v;
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        } else {
            sums[x] += std::max(low, std::min(high, v));
        }
    }
    lowest = lo;
    highest = hi;
}

// Built for the processor at hand as well as for any x86-64 (wider vectors where there are).
[[gnu::target_clones("avx2", "default")]] void addRow16(const std::uint16_t* row, int columns, const Layout& l,
                                                         const Clamp& clamp, std::int32_t* sums, bool range,
                                                         std::int32_t& lowest, std::int32_t& highest)
{
    if (range)
        addRowAs<true>(row, columns, l, clamp, sums, lowest, highest);
    else
        addRowAs<false>(row, columns, l, clamp, sums, lowest, highest);
}

[[gnu::target_clones("avx2", "default")]] void addRow8(const std::uint8_t* row, int columns, const Layout& l,
                                                        const Clamp& clamp, std::int32_t* sums, bool range,
                                                        std::int32_t& lowest, std::int32_t& highest)
{
    if (range)
        addRowAs<true>(row, columns, l, clamp, sums, lowest, highest);
    else
        addRowAs<false>(row, columns, l, clamp, sums, lowest, highest);
}

// The window's black and white ends in stored values (the modality line undone).
Clamp clampFor(const Layout& l, const std::optional<detail::Window>& window)
{
    Clamp c;
    if (!window)
        return c;  // the range of the values: nothing lies beyond it
    const double lower = window->center - 0.5 - (window->width - 1) / 2;
    const double upper = window->center - 0.5 + (window->width - 1) / 2;
    double a = (lower - l.intercept) / l.slope, b = (upper - l.intercept) / l.slope;
    if (a > b)
        std::swap(a, b);
    // Rounded outward: a value clamped there shows at most one stored step off black or white.
    const double limit = 1 << 30;
    c.low = static_cast<std::int32_t>(std::clamp(std::floor(a), -limit, limit));
    c.high = static_cast<std::int32_t>(std::clamp(std::ceil(b), -limit, limit));
    return c;
}

// Area average of the stored values into tw x th, then rescale and window (the
// linear function of the standard, as DicomImage applies it). Each stored row is
// visited once, straight from the pixel data: no full-size copy is made.
Bitmap averageAndWindow(const Layout& l, RowSource& source, int tw, int th, const std::optional<detail::Window>& window)
{
    // Stored column x goes to target column x * tw / columns: runs of whole columns.
    std::vector<int> runStart(static_cast<std::size_t>(tw) + 1);
    for (int tx = 0; tx <= tw; ++tx)
        runStart[static_cast<std::size_t>(tx)] =
            static_cast<int>((static_cast<long long>(tx) * l.columns + tw - 1) / tw);

    // Float is exact enough for an average of 16-bit values, and half the memory at 1:1.
    std::vector<float> averages(static_cast<std::size_t>(tw) * th);
    // Column sums of one band of rows; a band is at most 65535 rows of 16 bits: int32 holds it.
    std::vector<std::int32_t> columnSums(static_cast<std::size_t>(l.columns));
    const std::size_t rowBytes = l.rowBytes();
    // Without a window the range of all stored values decides it, as DicomImage's
    // min-max window: the averages' range would be narrower and show more contrast.
    const bool range = !window;
    const Clamp clamp = clampFor(l, window);
    std::int32_t lowest = std::numeric_limits<std::int32_t>::max(), highest = std::numeric_limits<std::int32_t>::min();
    int y = 0;
    for (int ty = 0; ty < th; ++ty) {
        std::fill(columnSums.begin(), columnSums.end(), 0);
        // Stored row y goes to target row y * th / rows, as the columns do.
        const int yEnd = static_cast<int>(((static_cast<long long>(ty) + 1) * l.rows + th - 1) / th);
        const int bandRows = yEnd - y;
        const std::uint8_t* band = bandRows > 0 ? source.rows(y, bandRows) : nullptr;
        for (int first = y; y < yEnd; ++y) {
            const std::uint8_t* row = band + static_cast<std::size_t>(y - first) * rowBytes;
            if (l.bitsAllocated == 16)
                addRow16(reinterpret_cast<const std::uint16_t*>(row), l.columns, l, clamp, columnSums.data(), range,
                         lowest, highest);
            else
                addRow8(row, l.columns, l, clamp, columnSums.data(), range, lowest, highest);
        }
        for (int tx = 0; tx < tw; ++tx) {
            const int from = runStart[static_cast<std::size_t>(tx)], to = runStart[static_cast<std::size_t>(tx) + 1];
            long long sum = 0;
            for (int x = from; x < to; ++x)
                sum += columnSums[static_cast<std::size_t>(x)];
            const double n = static_cast<double>(to - from) * std::max(bandRows, 1);
            averages[static_cast<std::size_t>(ty) * tw + tx] =
                static_cast<float>(static_cast<double>(sum) / n * l.slope + l.intercept);
        }
    }

    double center = 0, width = 0;
    if (window) {
        center = window->center;
        width = window->width;
    } else {
        // DicomImage's min-max window over the modality values: center (min + max + 1) / 2,
        // width max - min + 1.
        const double a = lowest * l.slope + l.intercept, b = highest * l.slope + l.intercept;
        const double lo = std::min(a, b), hi = std::max(a, b);
        center = (lo + hi + 1) / 2;
        width = hi - lo + 1;
    }
    const double lower = center - 0.5 - (width - 1) / 2;
    const double upper = center - 0.5 + (width - 1) / 2;
    Bitmap bmp;
    bmp.width = tw;
    bmp.height = th;
    bmp.channels = 1;
    bmp.pixels.resize(averages.size());
    for (std::size_t i = 0; i < averages.size(); ++i) {
        const double m = static_cast<double>(averages[i]);
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

// A greyscale JPEG 2000 image shown smaller than stored: decoded by OpenJPEG only to a
// resolution level twice the size shown (with a window; without one the range of all stored
// values decides it, so all of them are decoded), then averaged as uncompressed pixels are.
static std::optional<Bitmap> shrinkJpeg2000(DcmDataset* ds, const std::optional<Window>& window, int maxWidth, int maxHeight)
{
    if (!isJpeg2000(ds->getOriginalXfer()) || ds->hasRepresentation(EXS_LittleEndianExplicit, nullptr))
        return std::nullopt;
    const auto stored = headerLayout(ds);
    if (!stored)
        return std::nullopt;
    const auto [tw, th] = fitSize(stored->columns, stored->rows, maxWidth, maxHeight);
    if (tw >= stored->columns || th >= stored->rows)
        return std::nullopt;
    const std::unique_ptr<DcmDataset> decoded =
        window ? decodedJpeg2000Copy(*ds, maxWidth, maxHeight) : decodedJpeg2000Copy(*ds);
    const auto layout = headerLayout(decoded.get());
    if (!layout || tw > layout->columns || th > layout->rows)
        return std::nullopt;
    const std::uint8_t* pixels = memoryPixels(decoded.get(), *layout);
    if (!pixels)
        return std::nullopt;
    MemoryRows rows(pixels, layout->rowBytes());
    return averageAndWindow(*layout, rows, tw, th, window);
}

Bitmap renderWithToolkit(DcmDataset* ds, const std::optional<Window>& window, int maxWidth, int maxHeight)
{
    if (auto shrunk = shrinkJpeg2000(ds, window, maxWidth, maxHeight))
        return std::move(*shrunk);
    OpenedImage opened = openImage(ds);
    std::unique_ptr<DicomImage>& img = opened.image;
    // The stored size decides the shown one, also when fewer pixels were decoded.
    Uint16 rows = 0, columns = 0;
    int storedWidth = static_cast<int>(img->getWidth()), storedHeight = static_cast<int>(img->getHeight());
    if (ds->findAndGetUint16(DCM_Rows, rows).good() && ds->findAndGetUint16(DCM_Columns, columns).good() && rows > 0 &&
        columns > 0) {
        storedWidth = columns;
        storedHeight = rows;
    }
    const auto [tw, th] = fitSize(storedWidth, storedHeight, maxWidth, maxHeight);
    std::optional<Window> shown = window;
    if (static_cast<unsigned long>(tw) != img->getWidth() || static_cast<unsigned long>(th) != img->getHeight()) {
        // Without a window: the range of the stored values, as at full size (the scaled
        // values' range is narrower and would show noise with more contrast).
        if (!shown && img->isMonochrome()) {
            Window range;
            if (img->setMinMaxWindow() && img->getWindow(range.center, range.width) && range.width >= 1)
                shown = range;
        }
        // Scaling before the window: only the target's pixels go through the lookup.
        const bool shrink = static_cast<unsigned long>(tw) < img->getWidth();
        std::unique_ptr<DicomImage> scaled(img->createScaledImage(static_cast<unsigned long>(tw),
                                                                  static_cast<unsigned long>(th), shrink ? 1 : 0, 0));
        if (!scaled || scaled->getStatus() != EIS_Normal)
            throw Error(errc::Generic, "Cannot scale the image", "dicom");
        img = std::move(scaled);
    }
    applyWindow(*img, shown);

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
    const auto layout = headerLayout(ds);
    if (!layout)
        return std::nullopt;
    const auto [tw, th] = fitSize(layout->columns, layout->rows, maxWidth, maxHeight);
    if (tw >= layout->columns || th >= layout->rows)
        return std::nullopt;  // full size or enlarging: DicomImage, as always
    const std::uint8_t* pixels = memoryPixels(ds, *layout);
    if (!pixels)
        return std::nullopt;
    MemoryRows rows(pixels, layout->rowBytes());
    return averageAndWindow(*layout, rows, tw, th, window);
}

}  // namespace detail

std::optional<Bitmap> renderFromFile(const std::filesystem::path& file, int maxWidth, int maxHeight,
                                     const std::optional<DisplayWindow>& chosen)
{
    // A header of its own: nothing shared with another thread's objects.
    const std::shared_ptr<DcmFileFormat> header = loadFileFormat(file, LoadScope::Header);
    DcmDataset* ds = header->getDataset();
    const auto layout = headerLayout(ds);
    if (!layout)
        return std::nullopt;
    const auto [tw, th] = fitSize(layout->columns, layout->rows, maxWidth, maxHeight);
    if (tw >= layout->columns || th >= layout->rows)
        return std::nullopt;  // full size or enlarging: DicomImage, as Image::render does
    if (DcmXfer(ds->getOriginalXfer()).isEncapsulated())
        return std::nullopt;
    const FileStructure structure = checkFileStructure(file);
    if (!structure.sound())
        throw Error(errc::NotDicom, "Incomplete DICOM file: " + file.string() + " (" + structure.problem + ")", "dicom");
    // Big endian words would need swapping: the toolkit does that.
    if (structure.pixelDataLength < layout->frameBytes() || structure.pixelDataBigEndian)
        return std::nullopt;
    std::optional<Window> window = headerWindow(wrap(header, ds));
    if (chosen && chosen->width >= 1)
        window = Window{chosen->center, chosen->width};
    FileRows rows(file, structure.pixelDataOffset, *layout);
    return averageAndWindow(*layout, rows, tw, th, window);
}

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
