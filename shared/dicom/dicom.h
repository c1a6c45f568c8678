#pragma once
// Our DICOM adapter. No code outside shared/dicom includes DCMTK headers: it uses
// these types. Every DCMTK failure becomes a corva::Error where it is returned.
//
// Texts pass in and out as UTF-8. Reading decodes by the object's Specific
// Character Set; writing a value encodes it back into that set, and a value the
// set cannot hold is a corva::Error (errc::CharsetEncode). Values not touched keep
// their bytes.
#include <compare>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/error.h"
#include "dicom/tls.h"

class DcmItem;
class DcmFileFormat;

namespace corva::dicom {

struct Tag {
    std::uint16_t group = 0;
    std::uint16_t element = 0;
    auto operator<=>(const Tag&) const = default;
    // "GGGG,EEEE" with upper-case hexadecimal digits.
    std::string text() const;
    // Parses "GGGG,EEEE" (also "(GGGG,EEEE)"); nullopt when malformed.
    static std::optional<Tag> parse(const std::string& text);
};

// A date, a time or both, as DICOM DA, TM and DT values decode.
struct DateTime {
    bool hasDate = false;
    bool hasTime = false;
    int year = 0, month = 0, day = 0;
    int hour = 0, minute = 0, second = 0, microsecond = 0;
    auto operator<=>(const DateTime&) const = default;
};

class DataSet;
using Sequence = std::vector<DataSet>;

// Text marker for a value that cannot be decoded (binary VRs, malformed numbers or dates).
inline constexpr const char* UnknownDataType = "Unknown Data Type";

// One typed value. Null is an absent or empty value. Numeric VRs come as double,
// DA/TM/DT as DateTime, SQ as Sequence, everything else as UTF-8 text.
using Value = std::variant<std::monostate, std::string, double, DateTime, Sequence>;

struct Attribute {
    Tag tag;
    bool exists = false;
    std::string vr;             // two letters, e.g. "PN"
    std::vector<Value> values;  // one entry per value (multiplicity); empty when null

    bool isNull() const { return values.empty(); }
    bool multiValued() const { return values.size() > 1; }
    // Value number n, counting from 1; null when there is no such value.
    Value value(std::size_t n = 1) const;
    // The whole value as UTF-8 text, values joined by '\' (numbers as in the header);
    // "Unknown Data Type" for binary values, empty for sequences and empty values.
    std::string text;
};

// A data set: the attributes of an image, of a sequence item or of a DICOMDIR record.
// A DataSet is a handle; copies refer to the same attributes and keep the image or
// DICOMDIR they belong to alive. The items of a sequence read with get() refer into
// it: replacing or removing that sequence ends them (set() copies the items first,
// so writing a changed sequence back is safe).
class DataSet {
public:
    DataSet();  // a new, empty, owned set
    ~DataSet();
    DataSet(const DataSet&);
    DataSet& operator=(const DataSet&);
    // True when both handles refer to the same attributes.
    bool operator==(const DataSet& other) const { return impl_ == other.impl_; }

    Attribute get(Tag tag) const;
    Attribute get(std::uint16_t group, std::uint16_t element) const { return get(Tag{group, element}); }
    bool contains(Tag tag) const;

    // Adds or replaces an attribute. Text is UTF-8; numbers and dates are formatted for
    // the attribute's VR (the present element's, else the data dictionary's; unknown
    // tags as LO). Text that the character set cannot hold throws errc::CharsetEncode;
    // in a set without Specific Character Set, non-ASCII text declares "ISO_IR 100"
    // (ASCII is a subset, so the other values keep their meaning). Setting the value a
    // text attribute already has leaves its bytes untouched. Text for a binary VR or a
    // sequence throws errc::TypeMismatch.
    void set(Tag tag, const std::string& utf8);
    void set(Tag tag, const char* utf8) { set(tag, std::string(utf8)); }
    void set(Tag tag, double number);
    void set(Tag tag, const DateTime& when);
    void set(Tag tag, const Sequence& items);
    void set(Tag tag, const Value& value);
    void remove(Tag tag);

    // The top-level tags present, in order.
    std::vector<Tag> tags() const;
    // The Specific Character Set in effect (0008,0005 of this set or of the enclosing
    // data set for a sequence item), empty for the default repertoire.
    std::string characterSet() const;
    // The stored bytes of an attribute's value, undecoded: text in the object's
    // character set without the byte that pads it to even length; OB/OW/UN as bytes,
    // words little-endian; numbers and encapsulated pixel data in DCMTK's text form.
    // Empty when absent. For checks of on-disk encodings.
    std::string rawBytes(Tag tag) const;

    // Adapter internals.
    struct Impl;
    explicit DataSet(std::shared_ptr<Impl> impl);
    const std::shared_ptr<Impl>& impl() const { return impl_; }

private:
    std::shared_ptr<Impl> impl_;
};

// An 8-bit rendering of an image: grey (1 channel) or RGB (3 channels), rows top to bottom.
struct Bitmap {
    int width = 0;
    int height = 0;
    int channels = 1;
    std::vector<std::uint8_t> pixels;  // width * height * channels bytes, no row padding
};

// A display window over the modality values (centre and width as the header holds them).
struct DisplayWindow {
    double center = 0;
    double width = 0;
    bool operator==(const DisplayWindow&) const = default;
};

enum class ReadMode {
    Full,        // everything, pixel data included
    HeaderOnly,  // stops before the pixel data: registration reads no pixels
};

// One DICOM object read from or written to a Part-10 file. Like DCMTK's objects it
// is used by one thread at a time (even reading moves DCMTK's internal cursors).
class Image {
public:
    Image();  // a new, empty object (for building files)
    ~Image();
    Image(Image&&) noexcept;
    Image& operator=(Image&&) noexcept;
    Image(const Image&) = delete;
    Image& operator=(const Image&) = delete;

    // Reads a file; throws corva::Error (errc::NotDicom / errc::NotFound) when it cannot,
    // also when it is incomplete or nested too deep (checkFileStructure), so that such a
    // file is refused before the toolkit parses it.
    static Image read(const std::filesystem::path& file, ReadMode mode = ReadMode::Full);

    // Loads everything not read yet (pixel data after a header-only read) into memory:
    // afterwards the source file may be moved or deleted. Attributes changed since the
    // read are kept. Throws when the source file is gone.
    void loadAll();
    bool isHeaderOnly() const { return headerOnly_; }

    DataSet attributes() const;

    std::string sopClassUid() const;
    void setSopClassUid(const std::string& uid);
    std::string sopInstanceUid() const;
    std::string studyInstanceUid() const;
    std::string patientName() const;
    std::string patientId() const;
    std::optional<DateTime> birthDate() const;
    std::string sex() const;
    // The transfer syntax UID the object was read with (empty for a new object).
    std::string transferSyntax() const;
    // The display window from the header (first values), 0 when absent.
    int windowWidth() const;
    int windowCenter() const;

    // Writes a complete Part-10 file with fresh file meta information. Without a
    // transfer syntax UID the one the object was read with (explicit little endian
    // for a new object). Throws on failure.
    void write(const std::filesystem::path& file, const std::optional<std::string>& transferSyntaxUid = {}) const;

    // Renders the first frame with the header's window (min/max when absent), scaled
    // to fit maxWidth x maxHeight with the aspect kept (up or down; full size when 0,0;
    // one bound 0 = fit the other). Shrinking averages the stored pixels before the
    // window: a 4096 x 3328 mammogram rendered to 400 x 500 takes about 20 ms.
    Bitmap render(int maxWidth = 0, int maxHeight = 0) const;
    // The same through another window (the header's when none is given); colour images
    // ignore it.
    Bitmap render(int maxWidth, int maxHeight, const std::optional<DisplayWindow>& window) const;
    // The window a rendering uses by default: the header's, else the range of the
    // image's values. None for colour images.
    std::optional<DisplayWindow> displayWindow() const;
    // Writes the rendered image as a JPEG file with quality 1..100.
    void writeJpeg(const std::filesystem::path& file, int quality) const;

    // Sets uncompressed pixel data (for building images): 8 or 16 bits allocated,
    // samples per pixel 1, MONOCHROME2.
    void setPixelData(int rows, int columns, int bitsAllocated, const std::vector<std::uint8_t>& bytes);

    // Adapter internals: the DCMTK object, with the pixel data loaded (may throw).
    DcmFileFormat* fileFormat() const;

private:
    // Shared with the DataSet handles of attributes(), which keep it alive.
    std::shared_ptr<DcmFileFormat> file_;
    std::filesystem::path source_;
    mutable bool headerOnly_ = false;  // pixel data still in source_
    void ensureLoaded() const;
};

// Renders the first frame of an uncompressed greyscale image (8 or 16 bits allocated, no
// modality LUT) straight from its file, shrunk, as Image::render would: each stored row
// is read once through a small buffer and averaged into the target, so neither the whole
// pixel data nor a full-size picture is ever in memory. Reads the header itself (shares
// no object with other threads). None when the image is not such an image or is not
// shrunk: render it with Image::render. Throws corva::Error when the file cannot be read
// (also when it was cut short).
std::optional<Bitmap> renderFromFile(const std::filesystem::path& file, int maxWidth, int maxHeight,
                                     const std::optional<DisplayWindow>& window = {});

// The toolkit's image collection: clear, read, count, item (from 1), add.
class ImageCollection {
public:
    void clear() { images_.clear(); }
    void read(const std::filesystem::path& file, ReadMode mode = ReadMode::Full);
    int count() const { return static_cast<int>(images_.size()); }
    Image& item(int n);  // 1-based; throws when out of range
    void add(Image image) { images_.push_back(std::move(image)); }

private:
    std::vector<Image> images_;
};

// What a walk over a file's element headers finds before the toolkit parses it
// (the toolkit's reader recurses per nested sequence and loads large values lazily).
inline constexpr int MaxSequenceDepth = 64;
struct FileStructure {
    bool complete = true;  // false: a value (e.g. the pixel data) runs past the end of the file
    bool tooDeep = false;  // sequences nested deeper than MaxSequenceDepth
    int depth = 0;         // deepest sequence nesting seen (the walk stops past the limit)
    std::string problem;   // why, for a log line; empty when sound
    // Native (not encapsulated) pixel data of the data set itself: where its value starts
    // in the file and how long it is; length 0 when there is none.
    std::uint64_t pixelDataOffset = 0;
    std::uint64_t pixelDataLength = 0;
    bool pixelDataBigEndian = false;
    bool sound() const { return complete && !tooDeep; }
};
// Iterative and cheap: the file is mapped and only element headers are touched.
// A missing or empty file gives a sound result (reading it reports that).
FileStructure checkFileStructure(const std::filesystem::path& file);

// A new globally unique DICOM UID.
std::string newUid();

// Switches off Nagle's algorithm for every association DCMTK opens in this
// process (small objects would otherwise wait for delayed acknowledgements).
// Call once before any network use.
void initNetwork();

struct PresentationContext {
    std::string abstractSyntax;                 // SOP class UID
    std::vector<std::string> transferSyntaxes;  // proposed, in order
};

// A file to be sent, read once: its structure checked and its attributes parsed as
// Image::read does, but large values (the pixel data) left in the file, to be read
// from there while the file is sent. Reading every file first (to choose the
// presentation contexts, to pick a study's files) therefore costs no second read.
class OutgoingFile {
public:
    // Throws corva::Error (errc::NotFound / errc::NotDicom) like Image::read.
    static OutgoingFile read(const std::filesystem::path& file);
    ~OutgoingFile();
    OutgoingFile(OutgoingFile&&) noexcept;
    OutgoingFile& operator=(OutgoingFile&&) noexcept;

    const std::filesystem::path& path() const { return path_; }
    const std::string& sopClassUid() const { return sopClass_; }
    const std::string& sopInstanceUid() const { return sopInstance_; }
    const std::string& studyInstanceUid() const { return studyInstance_; }
    const std::string& transferSyntax() const { return transferSyntax_; }

private:
    OutgoingFile();
    friend class Association;
    // The file as it was read: size, modification time and inode; a file that differs
    // is read again before it is sent.
    struct Identity {
        std::uintmax_t size = 0;
        std::int64_t modifiedNs = 0;
        std::uintmax_t inode = 0;
        bool operator==(const Identity&) const = default;
    };
    static std::optional<Identity> identityOf(const std::filesystem::path& file);
    std::shared_ptr<DcmFileFormat> file_;
    std::filesystem::path path_;
    Identity identity_;
    std::string sopClass_, sopInstance_, studyInstance_, transferSyntax_;
};

// How the destination answered a C-STORE it accepted: a warning (Bxxx: values coerced
// or elements discarded) means it stored something other than what was sent.
enum class StoreStatus { Success, Warning };

// The destination's answer to a C-STORE it accepted, as it gave it.
struct StoreAnswer {
    StoreStatus status = StoreStatus::Success;
    std::uint16_t code = 0x0000;  // the DIMSE status: 0000 or Bxxx
    std::string comment;          // its Error Comment (0000,0902); empty when it gave none
};

// The destination answered a C-STORE with a failure status (Axxx, Cxxx...): its final
// word on that object. The association stays usable for the next one.
class StoreRefused : public Error {
public:
    StoreRefused(std::string message, std::uint16_t status, std::string comment)
        : Error(errc::Network, std::move(message), "dicom"), status_(status), comment_(std::move(comment)) {}
    std::uint16_t status() const noexcept { return status_; }
    const std::string& comment() const noexcept { return comment_; }

private:
    std::uint16_t status_;
    std::string comment_;
};

// "A700", "B000": a DIMSE status as the archive's documents write it.
std::string statusText(std::uint16_t status);

// A storage association to a destination: open, send images, close.
class Association {
public:
    Association();
    ~Association();  // releases an open association
    Association(const Association&) = delete;
    Association& operator=(const Association&) = delete;

    // Opens an association. Without contexts, proposes verification and the common
    // storage SOP classes with the uncompressed transfer syntaxes. Throws
    // corva::Error (errc::Network) when the destination does not answer or refuses.
    // `timeoutSeconds` bounds the connection and the association's negotiation;
    // `dimseTimeoutSeconds` the wait for each answer of the destination. With `tls` the
    // association goes over TLS: a destination whose certificate the CA file does not
    // vouch for is refused ("TLS handshake with <AE> at <host>:<port> failed: <reason>").
    void open(const std::string& host, int port, const std::string& callingAe, const std::string& calledAe,
              const std::vector<PresentationContext>& contexts = {}, int timeoutSeconds = 10,
              int dimseTimeoutSeconds = 60, const std::optional<TlsFiles>& tls = std::nullopt);
    // Sends one image (loading its pixel data first); throws when no context fits or
    // the destination refuses it (StoreRefused). Warning statuses (Bxxx) count as stored.
    // When the transfer itself fails (the destination aborts, closes, or does not answer
    // in time) the association is aborted: every later send fails at once.
    StoreAnswer send(const Image& image);
    // Sends a file as it is stored: its large values (the pixel data) go from the file
    // straight into the association instead of being loaded first; only a conversion for
    // a destination that refused the file's own syntax decodes them in memory. The file
    // was checked when it was read (and is read again when it changed since), so a
    // missing, cut-off or unreadable file throws before anything of it is sent. Taken by
    // value: what a conversion decoded goes with it.
    StoreAnswer send(OutgoingFile file);
    // Reads the file (OutgoingFile::read) and sends it; returns the SOP instance UID sent.
    std::string sendFile(const std::filesystem::path& file);
    void echo();
    void close();
    bool isOpen() const;

    // Contexts for a set of images: each image's SOP class with its own transfer
    // syntax plus the uncompressed ones.
    static std::vector<PresentationContext> contextsFor(const std::vector<const Image*>& images);
    static std::vector<PresentationContext> contextsFor(const std::vector<const OutgoingFile*>& files);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Storage commitment: one instance asked for, or as the archive answered for it.
struct CommitmentReference {
    std::string sopClassUid;
    std::string sopInstanceUid;
    std::uint16_t failureReason = 0;  // in a report's failed list
};

// The archive's answer to a commitment request (its event report).
struct CommitmentReport {
    std::string transactionUid;
    std::vector<CommitmentReference> committed;
    std::vector<CommitmentReference> failed;
};

struct CommitmentRequest {
    std::string host;
    int port = 0;
    std::string callingAe;
    std::string calledAe;
    std::string transactionUid;
    std::vector<CommitmentReference> items;
    int timeoutSeconds = 10;        // connection and negotiation
    int dimseTimeoutSeconds = 60;   // the answer to the request
    int waitSeconds = 5;            // the report on the same association
    std::optional<TlsFiles> tls;    // over TLS, as the destination's sends go
    // Asked once a second while waiting: true when the report came another way (to the
    // receiver), so that the wait ends.
    std::function<bool()> answeredElsewhere;
};

// Asks an archive to commit to the instances: opens an association for storage
// commitment, sends the request and waits up to waitSeconds for the archive's report on
// that association. A report that came is handed to `recorded`, which answers for it:
// true when it was kept (the archive is told success), false when not (the archive is
// told it failed and may send it again). Returns true when a report came and was kept;
// false when the archive will answer later, on a new association, or not at all.
// Throws corva::Error (errc::Network) when the archive cannot be reached, refuses the
// class or the request.
bool requestCommitment(const CommitmentRequest& request,
                       const std::function<bool(const CommitmentReport&)>& recorded);

// A DICOMDIR read as a tree of records.
struct DirRecord {
    std::string type;       // Directory Record Type, e.g. "PATIENT", "IMAGE"
    DataSet attributes;
    // Referenced File ID with '/' separators, empty when none. It comes from the
    // medium: check it (no "..", no absolute path) before opening the file.
    std::string fileId;
    std::vector<DirRecord> children;
};

// Reads a DICOMDIR file; the root records in order. Throws when it cannot.
std::vector<DirRecord> readDicomDir(const std::filesystem::path& file);

// Writes a DICOMDIR whose records name files "<SOP Instance UID>.dcm" in its folder.
class DicomDirWriter {
public:
    explicit DicomDirWriter(std::string fileSetId = "CORVALIGHT");
    ~DicomDirWriter();
    // Adds PATIENT/STUDY/SERIES/IMAGE records for an image stored as relativeFileId
    // (relative to the DICOMDIR's folder) with the given transfer syntax.
    void addImage(const Image& image, const std::string& relativeFileId, const std::string& transferSyntaxUid);
    void write(const std::filesystem::path& dicomDirFile);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A DICOMDIR of the general-purpose CD-R interchange profile (STD-GEN-CD), built by
// the toolkit over files already written below its folder. Every file ID is at most
// eight components of one to eight characters from A-Z, 0-9 and "_", so that other
// systems' readers find each file from the DICOMDIR's own folder.
class DicomDirMedium {
public:
    // The medium's root: the DICOMDIR is root/DICOMDIR. One there already is extended.
    explicit DicomDirMedium(std::filesystem::path root, std::string fileSetId = "CORVALIGHT");
    ~DicomDirMedium();
    DicomDirMedium(const DicomDirMedium&) = delete;
    DicomDirMedium& operator=(const DicomDirMedium&) = delete;

    // True for a conformant file ID written with '/' ("DICOM/ST000001/IM000001").
    static bool isConformantFileId(const std::string& fileId);
    // Adds the records of root/fileId, a Part-10 file in explicit VR little endian.
    // Throws corva::Error when the ID or the file does not fit the profile.
    void add(const std::string& fileId);
    // Writes root/DICOMDIR; throws when it cannot.
    void write();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Well-known UIDs.
namespace uid {
inline constexpr const char* ImplicitLittleEndian = "1.2.840.10008.1.2";
inline constexpr const char* ExplicitLittleEndian = "1.2.840.10008.1.2.1";
inline constexpr const char* ExplicitBigEndian = "1.2.840.10008.1.2.2";
inline constexpr const char* JpegBaseline = "1.2.840.10008.1.2.4.50";
inline constexpr const char* JpegLossless = "1.2.840.10008.1.2.4.70";
inline constexpr const char* Verification = "1.2.840.10008.1.1";
inline constexpr const char* ComputedRadiography = "1.2.840.10008.5.1.4.1.1.1";
inline constexpr const char* DigitalMammographyForPresentation = "1.2.840.10008.5.1.4.1.1.1.2";
inline constexpr const char* SecondaryCapture = "1.2.840.10008.5.1.4.1.1.7";
inline constexpr const char* StorageCommitmentPushModel = "1.2.840.10008.1.20.1";
inline constexpr const char* StorageCommitmentPushModelInstance = "1.2.840.10008.1.20.1.1";
}  // namespace uid

// Every public attribute of the toolkit's data dictionary: tag, VR and name.
struct DictionaryEntry {
    Tag tag;
    std::string vr;
    std::string name;
};
std::vector<DictionaryEntry> publicDictionary();

}  // namespace corva::dicom
