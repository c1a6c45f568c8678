#pragma once
// Shared by the adapter's sources only: DCMTK includes and the glue between
// DCMTK objects and our types. Never included outside shared/dicom.
#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dctk.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "core/error.h"
#include "dicom/dicom.h"

namespace corva::dicom {

// A data set handle: the item and whatever keeps it alive (a file format, a
// DICOMDIR or a stand-alone item).
struct DataSet::Impl {
    std::shared_ptr<void> owner;
    DcmItem* item = nullptr;
};

namespace detail {

// Throws corva::Error(code) with "what: DCMTK's text" when cond is bad.
void check(const OFCondition& cond, const std::string& what, int code = errc::Generic);

// How much of a file loadFileFormat() reads into memory.
enum class LoadScope {
    Header,             // up to the pixel data
    Everything,         // every value, so that the file may go afterwards
    LargeValuesInFile,  // values above LargeValueBytes stay in the file and are read where used (streamed)
};
// Small enough that many files read ahead of sending hold little more than their headers.
inline constexpr Uint32 LargeValueBytes = 16 * 1024;
// Reads a file after checking its structure (checkFileStructure); throws corva::Error
// (errc::NotFound, errc::NotDicom) for a missing, incomplete, refused or unreadable file.
std::shared_ptr<DcmFileFormat> loadFileFormat(const std::filesystem::path& file, LoadScope scope);

inline DcmTagKey key(Tag tag) { return DcmTagKey(tag.group, tag.element); }
inline Tag tagOf(const DcmTagKey& k) { return Tag{k.getGroup(), k.getElement()}; }

// A handle on an item owned by owner.
DataSet wrap(std::shared_ptr<void> owner, DcmItem* item);

// The Specific Character Set in effect for item: its own or the nearest enclosing one.
std::string characterSetOf(DcmItem* item);

// VRs whose values the Specific Character Set governs.
bool isCharsetVr(DcmEVR vr);
// VRs stored as text (byte strings).
bool isTextVr(DcmEVR vr);
// VRs that hold one value only (backslash is not a delimiter).
bool isSingleValuedTextVr(DcmEVR vr);
// The two-letter name for a VR; DCMTK's internal multi-VR codes become the first choice.
std::string vrName(DcmEVR vr);
// The VR to use for a new element with this tag (dictionary; LO for unknown tags).
DcmEVR vrForNewElement(Tag tag);

// Text of the given character set -> UTF-8. Undecodable bytes fall back to Latin-1
// so that the result is always valid UTF-8.
std::string decodeText(const std::string& raw, const std::string& charset, DcmEVR vr);
// UTF-8 -> the given character set; throws errc::CharsetEncode when it cannot.
std::string encodeText(const std::string& utf8, const std::string& charset, DcmEVR vr, Tag tag);
bool isAscii(const std::string& text);

// Typed values.
std::optional<DateTime> parseDate(const std::string& text);
std::optional<DateTime> parseTime(const std::string& text);
std::optional<DateTime> parseDateTime(const std::string& text);
std::optional<double> parseNumber(const std::string& text);
std::string formatDate(const DateTime& when);
std::string formatTime(const DateTime& when);
std::string formatDateTime(const DateTime& when);
std::string formatNumber(double number, DcmEVR vr);

std::string trim(const std::string& text);

// Rendering.
struct Window {
    double center = 0;
    double width = 0;
};
// The header's window (0028,1050/1051), first values; none when absent or narrower than 1.
std::optional<Window> headerWindow(const DataSet& attrs);
// The size that fits maxWidth x maxHeight with the aspect kept (0 = no bound).
std::pair<int, int> fitSize(int width, int height, int maxWidth, int maxHeight);
// Through DCMTK's DicomImage: every kind of image.
Bitmap renderWithToolkit(DcmDataset* ds, const std::optional<Window>& window, int maxWidth, int maxHeight);
// By area average straight from the stored pixels; none when the image is not
// uncompressed 16-bit greyscale without modality LUT or is not shrunk.
std::optional<Bitmap> renderDirect(DcmDataset* ds, const std::optional<Window>& window, int maxWidth, int maxHeight);

// JPEG 2000, which the toolkit cannot decode: the data set with its first frame decoded
// by OpenJPEG (uncompressed, explicit little endian). Throws corva::Error when it cannot.
bool isJpeg2000(E_TransferSyntax xfer);
// With a size to show it at (maxWidth x maxHeight, aspect kept), the code stream is decoded
// only to the smallest resolution level still twice that size, so that an area average
// makes the rest (the copy's Rows and Columns say the decoded size); 0, 0: full size.
std::unique_ptr<DcmDataset> decodedJpeg2000Copy(DcmDataset& ds, int maxWidth = 0, int maxHeight = 0);

// Registers DCMTK's decoders and encoders once per process (JPEG, JPEG-LS, RLE).
void registerCodecs();

// Reads an event report of the storage commitment class into `report`; false when the
// data set is no such report (no transaction UID, or an instance without its UIDs).
bool readCommitmentReport(DcmItem& dataset, CommitmentReport& report);

// The transfer syntax UID for xfer, empty when unknown.
std::string xferUid(E_TransferSyntax xfer);
E_TransferSyntax xferOf(const std::string& uid);

}  // namespace detail
}  // namespace corva::dicom
