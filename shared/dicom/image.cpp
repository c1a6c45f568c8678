// Images: reading (whole or header only), attributes, Part-10 writing, pixel data.
#include "dcmtk_internal.h"  // first: DCMTK needs its configuration header before any other
#include <unistd.h>

#include <atomic>

#include <cmath>
#include <mutex>
#include <system_error>

#include <dcmtk/dcmdata/dcrledrg.h>
#include <dcmtk/dcmdata/dcrleerg.h>
#include <dcmtk/dcmjpeg/djdecode.h>
#include <dcmtk/dcmjpeg/djencode.h>
#include <dcmtk/dcmjpls/djdecode.h>
#include <dcmtk/dcmjpls/djencode.h>

namespace corva::dicom {

using namespace detail;

namespace detail {

void registerCodecs()
{
    static std::once_flag once;
    std::call_once(once, [] {
        DJDecoderRegistration::registerCodecs();
        DJEncoderRegistration::registerCodecs();
        DcmRLEDecoderRegistration::registerCodecs();
        DcmRLEEncoderRegistration::registerCodecs();
        // CR readers and archives send JPEG-LS too; without its codec such images
        // would neither show nor export.
        DJLSDecoderRegistration::registerCodecs();
        DJLSEncoderRegistration::registerCodecs();
    });
}

std::string xferUid(E_TransferSyntax xfer)
{
    if (xfer == EXS_Unknown)
        return {};
    DcmXfer x(xfer);
    return x.getXferID() ? x.getXferID() : "";
}

E_TransferSyntax xferOf(const std::string& uid)
{
    DcmXfer x(uid.c_str());
    return x.getXfer();
}

}  // namespace detail

namespace {

std::string pathText(const std::filesystem::path& p) { return p.string(); }

std::string firstText(const DataSet& ds, Tag tag)
{
    Attribute a = ds.get(tag);
    if (!a.exists || a.values.empty())
        return {};
    if (auto* s = std::get_if<std::string>(&a.values.front()))
        return *s;
    return a.text;
}

}  // namespace

namespace detail {

std::shared_ptr<DcmFileFormat> loadFileFormat(const std::filesystem::path& file, LoadScope scope)
{
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec))
        throw Error(errc::NotFound, "File not found: " + pathText(file), "dicom");
    // Checked before the toolkit parses it: a deeply nested file would overflow the
    // reader's stack, and neither a header-only read nor a value left in the file
    // would notice missing pixel data before it is too late.
    if (const FileStructure structure = checkFileStructure(file); !structure.sound())
        throw Error(errc::NotDicom,
                    std::string(structure.tooDeep ? "Refused DICOM file: " : "Incomplete DICOM file: ") +
                        pathText(file) + " (" + structure.problem + ")",
                    "dicom");
    auto ff = std::make_shared<DcmFileFormat>();
    OFCondition cond;
    switch (scope) {
    case LoadScope::Header:
        cond = ff->loadFileUntilTag(pathText(file).c_str(), EXS_Unknown, EGL_noChange, DCM_MaxReadLength,
                                    ERM_autoDetect, DCM_PixelData);
        break;
    case LoadScope::Everything:
        cond = ff->loadFile(pathText(file).c_str());
        break;
    case LoadScope::LargeValuesInFile:
        cond = ff->loadFile(pathText(file).c_str(), EXS_Unknown, EGL_noChange, LargeValueBytes);
        break;
    }
    if (cond.bad())
        throw Error(errc::NotDicom, "Not a readable DICOM file: " + pathText(file) + " (" + cond.text() + ")", "dicom");
    DcmDataset* ds = ff->getDataset();
    // Without the "DICM" preamble DCMTK parses any bytes as a data set: accept such
    // a file only when it names its SOP instance.
    const bool hasMeta = ff->getMetaInfo() && ff->getMetaInfo()->card() > 0;
    if (!ds || ds->card() == 0 || (!hasMeta && !ds->tagExists(DCM_SOPInstanceUID) && !ds->tagExists(DCM_SOPClassUID)))
        throw Error(errc::NotDicom, "Not a DICOM file: " + pathText(file), "dicom");
    // Large values are otherwise read lazily from the file, which may move on.
    if (scope != LoadScope::LargeValuesInFile)
        check(ff->loadAllDataIntoMemory(), "Cannot read " + pathText(file), errc::NotDicom);
    return ff;
}

}  // namespace detail

namespace {

std::shared_ptr<DcmFileFormat> load(const std::filesystem::path& file, bool headerOnly)
{
    return loadFileFormat(file, headerOnly ? LoadScope::Header : LoadScope::Everything);
}

}  // namespace

Image::Image() : file_(std::make_shared<DcmFileFormat>()) {}
Image::~Image() = default;
Image::Image(Image&&) noexcept = default;
Image& Image::operator=(Image&&) noexcept = default;

Image Image::read(const std::filesystem::path& file, ReadMode mode)
{
    Image image;
    image.file_ = load(file, mode == ReadMode::HeaderOnly);
    image.source_ = file;
    image.headerOnly_ = mode == ReadMode::HeaderOnly;
    return image;
}

void Image::loadAll()
{
    if (!headerOnly_)
        return;
    auto full = load(source_, false);
    DcmDataset* ours = file_->getDataset();
    DcmDataset* theirs = full->getDataset();
    // The header-only read stopped at the pixel data: move it and everything after it
    // across, keeping the attributes changed since.
    for (unsigned long i = 0; i < theirs->card();) {
        DcmElement* el = theirs->getElement(i);
        if (el->getTag() < DCM_PixelData || ours->tagExists(el->getTag(), OFFalse)) {
            ++i;
            continue;
        }
        std::unique_ptr<DcmElement> moved(theirs->remove(i));
        check(ours->insert(moved.get(), OFFalse), "Cannot add pixel data of " + pathText(source_));
        moved.release();  // the data set owns it
    }
    headerOnly_ = false;
}

void Image::ensureLoaded() const
{
    if (headerOnly_)
        const_cast<Image*>(this)->loadAll();
}

DataSet Image::attributes() const { return wrap(file_, file_->getDataset()); }

DcmFileFormat* Image::fileFormat() const
{
    ensureLoaded();
    return file_.get();
}

std::string Image::sopClassUid() const { return firstText(attributes(), {0x0008, 0x0016}); }
void Image::setSopClassUid(const std::string& uid) { attributes().set(Tag{0x0008, 0x0016}, uid); }
std::string Image::sopInstanceUid() const { return firstText(attributes(), {0x0008, 0x0018}); }
std::string Image::studyInstanceUid() const { return firstText(attributes(), {0x0020, 0x000D}); }
std::string Image::patientName() const { return attributes().get(Tag{0x0010, 0x0010}).text; }
std::string Image::patientId() const { return attributes().get(Tag{0x0010, 0x0020}).text; }
std::string Image::sex() const { return firstText(attributes(), {0x0010, 0x0040}); }

std::optional<DateTime> Image::birthDate() const
{
    Attribute a = attributes().get(Tag{0x0010, 0x0030});
    if (a.values.empty())
        return std::nullopt;
    if (auto* d = std::get_if<DateTime>(&a.values.front()))
        return *d;
    return std::nullopt;
}

std::string Image::transferSyntax() const
{
    DcmDataset* ds = file_->getDataset();
    return xferUid(ds->getOriginalXfer());
}

namespace {

int firstWhole(const DataSet& ds, Tag tag)
{
    Attribute a = ds.get(tag);
    if (a.values.empty())
        return 0;
    // A value outside int's range (a malformed header) would not convert: 0 as for no value.
    if (auto* d = std::get_if<double>(&a.values.front()); d && std::fabs(*d) < 2147483647.0)
        return static_cast<int>(std::lround(*d));
    return 0;
}

}  // namespace

int Image::windowWidth() const { return firstWhole(attributes(), {0x0028, 0x1051}); }
int Image::windowCenter() const { return firstWhole(attributes(), {0x0028, 0x1050}); }

void Image::write(const std::filesystem::path& file, const std::optional<std::string>& transferSyntaxUid) const
{
    ensureLoaded();
    DcmDataset* ds = file_->getDataset();
    E_TransferSyntax xfer = EXS_LittleEndianExplicit;
    if (transferSyntaxUid && !transferSyntaxUid->empty()) {
        xfer = xferOf(*transferSyntaxUid);
        if (xfer == EXS_Unknown)
            throw Error(errc::Generic, "Unknown transfer syntax " + *transferSyntaxUid, "dicom");
    } else if (ds->getOriginalXfer() != EXS_Unknown) {
        xfer = ds->getOriginalXfer();
    }
    registerCodecs();
    if (!ds->canWriteXfer(xfer)) {
        // Converting needs the pixel data in the target's representation.
        ds->chooseRepresentation(xfer, nullptr);
        if (!ds->canWriteXfer(xfer))
            throw Error(errc::Generic,
                        "Cannot write " + pathText(file) + " with transfer syntax " + xferUid(xfer) +
                            ": the pixel data cannot be converted",
                        "dicom");
    }
    // Written under a name that does not end in ".dcm", then renamed: the ingest service
    // never sees half a file, and a failed write leaves an existing file as it was.
    static std::atomic<unsigned> counter{0};
    std::filesystem::path partial = file;
    partial.replace_filename(".write-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".part");
    const OFCondition cond =
        file_->saveFile(pathText(partial).c_str(), xfer, EET_ExplicitLength, EGL_recalcGL, EPD_noChange, 0, 0,
                        EWM_createNewMeta);
    std::error_code ec;
    if (cond.bad()) {
        std::filesystem::remove(partial, ec);
        throw Error(errc::Generic, "Cannot write " + pathText(file) + ": " + cond.text(), "dicom");
    }
    std::filesystem::rename(partial, file, ec);
    if (ec) {
        std::error_code ignored;
        std::filesystem::remove(partial, ignored);
        throw Error(errc::Generic, "Cannot write " + pathText(file) + ": " + ec.message(), "dicom");
    }
}

void Image::setPixelData(int rows, int columns, int bitsAllocated, const std::vector<std::uint8_t>& bytes)
{
    if (rows <= 0 || columns <= 0 || (bitsAllocated != 8 && bitsAllocated != 16))
        throw Error(errc::TypeMismatch, "Unsupported pixel layout", "dicom");
    const std::size_t expected = static_cast<std::size_t>(rows) * columns * (bitsAllocated / 8);
    if (bytes.size() != expected)
        throw Error(errc::TypeMismatch,
                    "Pixel data has " + std::to_string(bytes.size()) + " bytes, expected " + std::to_string(expected),
                    "dicom");
    DcmDataset* ds = file_->getDataset();
    auto put16 = [&](const DcmTagKey& k, Uint16 v) { check(ds->putAndInsertUint16(k, v), "Cannot set pixel attributes"); };
    check(ds->putAndInsertString(DCM_PhotometricInterpretation, "MONOCHROME2"), "Cannot set pixel attributes");
    put16(DCM_SamplesPerPixel, 1);
    put16(DCM_Rows, static_cast<Uint16>(rows));
    put16(DCM_Columns, static_cast<Uint16>(columns));
    put16(DCM_BitsAllocated, static_cast<Uint16>(bitsAllocated));
    put16(DCM_BitsStored, static_cast<Uint16>(bitsAllocated));
    put16(DCM_HighBit, static_cast<Uint16>(bitsAllocated - 1));
    put16(DCM_PixelRepresentation, 0);
    if (bitsAllocated == 8) {
        check(ds->putAndInsertUint8Array(DCM_PixelData, bytes.data(), static_cast<unsigned long>(bytes.size())),
              "Cannot set pixel data");
    } else {
        std::vector<Uint16> words(bytes.size() / 2);
        for (std::size_t i = 0; i < words.size(); ++i)
            words[i] = static_cast<Uint16>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
        check(ds->putAndInsertUint16Array(DCM_PixelData, words.data(), static_cast<unsigned long>(words.size())),
              "Cannot set pixel data");
    }
}

void ImageCollection::read(const std::filesystem::path& file, ReadMode mode) { images_.push_back(Image::read(file, mode)); }

Image& ImageCollection::item(int n)
{
    if (n < 1 || n > count())
        throw Error(errc::NotFound, "Image " + std::to_string(n) + " not in the collection of " + std::to_string(count()),
                    "dicom");
    return images_[static_cast<std::size_t>(n - 1)];
}

}  // namespace corva::dicom
