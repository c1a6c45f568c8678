// A walk over the element headers of a DICOM file before the toolkit parses it. The
// toolkit's reader recurses once per nested sequence, so a file nested thousands of
// levels deep overflows the stack; and a file cut off inside a large value (pixel
// data) is only noticed when that value is loaded. This walk is iterative, maps the
// file instead of reading it, and never touches the bytes of a value it skips.
#include "dcmtk_internal.h"  // first: DCMTK needs its configuration header before any other

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace corva::dicom {

namespace {

constexpr std::uint32_t Undefined = 0xFFFFFFFFu;
constexpr std::uint64_t Open = ~std::uint64_t(0);

// A read-only mapping of a whole file, released with the object.
class MappedFile {
public:
    explicit MappedFile(const std::filesystem::path& file)
    {
        fd_ = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0)
            return;
        struct stat st {};
        if (::fstat(fd_, &st) != 0 || st.st_size <= 0)
            return;
        size_ = static_cast<std::size_t>(st.st_size);
        void* p = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd_, 0);
        if (p == MAP_FAILED) {
            size_ = 0;
            return;
        }
        data_ = static_cast<const std::uint8_t*>(p);
    }
    ~MappedFile()
    {
        if (data_)
            ::munmap(const_cast<std::uint8_t*>(data_), size_);
        if (fd_ >= 0)
            ::close(fd_);
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    bool opened() const { return fd_ >= 0; }
    const std::uint8_t* data() const { return data_; }
    std::size_t size() const { return data_ ? size_ : 0; }

private:
    int fd_ = -1;
    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

struct Encoding {
    bool explicitVr = true;
    bool bigEndian = false;
};

std::uint16_t u16(const std::uint8_t* p, bool big)
{
    return big ? static_cast<std::uint16_t>(p[0] << 8 | p[1]) : static_cast<std::uint16_t>(p[1] << 8 | p[0]);
}

std::uint32_t u32(const std::uint8_t* p, bool big)
{
    return big ? (std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3])
               : (std::uint32_t(p[3]) << 24 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[1]) << 8 | p[0]);
}

// VRs whose explicit encoding has two reserved bytes and a 32-bit length.
bool hasLongLength(const std::uint8_t* vr)
{
    static const char* const longVrs[] = {"OB", "OD", "OF", "OL", "OV", "OW", "SQ", "UC", "UN", "UR", "UT", "SV", "UV"};
    for (const char* v : longVrs)
        if (vr[0] == v[0] && vr[1] == v[1])
            return true;
    return false;
}

bool looksLikeVr(const std::uint8_t* p) { return p[0] >= 'A' && p[0] <= 'Z' && p[1] >= 'A' && p[1] <= 'Z'; }

std::string tagText(std::uint16_t g, std::uint16_t e)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "(%04X,%04X)", g, e);
    return buf;
}

// True when the data dictionary says the tag is a sequence (implicit VR has no VR on disk).
bool dictionarySaysSequence(std::uint16_t g, std::uint16_t e)
{
    return DcmTag(g, e).getEVR() == EVR_SQ;
}

class Walker {
public:
    Walker(const std::uint8_t* data, std::size_t size) : d_(data), size_(size) {}

    FileStructure run()
    {
        std::size_t pos = 0;
        Encoding enc;
        if (size_ >= 132 && std::memcmp(d_ + 128, "DICM", 4) == 0) {
            pos = 132;
            std::string syntax;
            if (!readMeta(pos, syntax))
                return result_;
            if (syntax == "1.2.840.10008.1.2.1.99" || syntax == "1.2.840.10008.1.2.4.95")
                return result_;  // deflated: the toolkit inflates it; nothing to walk here
            if (syntax == "1.2.840.10008.1.2")
                enc.explicitVr = false;
            else if (syntax == "1.2.840.10008.1.2.2")
                enc.bigEndian = true;
            else if (syntax.empty())
                enc.explicitVr = size_ >= pos + 6 && looksLikeVr(d_ + pos + 4);
        } else {
            // No meta information: the toolkit guesses; so do we (little endian).
            enc.explicitVr = size_ >= 6 && looksLikeVr(d_ + 4);
        }
        walk(pos, enc);
        return result_;
    }

private:
    enum class Kind { Dataset, Sequence, Item, Fragments };
    struct Frame {
        Kind kind;
        std::uint64_t end;  // Open for undefined length
        Encoding enc;
    };

    void incomplete(const std::string& why)
    {
        result_.complete = false;
        result_.problem = why;
    }

    // The file meta group: explicit VR little endian. Notes the transfer syntax.
    bool readMeta(std::size_t& pos, std::string& syntax)
    {
        while (size_ - pos >= 8 && u16(d_ + pos, false) == 0x0002) {
            const std::uint16_t element = u16(d_ + pos + 2, false);
            std::uint64_t len = 0;
            std::size_t header = 8;
            if (hasLongLength(d_ + pos + 4)) {
                if (size_ - pos < 12) {
                    incomplete("the file ends inside the meta information");
                    return false;
                }
                len = u32(d_ + pos + 8, false);
                header = 12;
            } else {
                len = u16(d_ + pos + 6, false);
            }
            if (len == Undefined || pos + header + len > size_) {
                incomplete("the file ends inside the meta information");
                return false;
            }
            if (element == 0x0010) {
                syntax.assign(reinterpret_cast<const char*>(d_ + pos + header), static_cast<std::size_t>(len));
                while (!syntax.empty() && (syntax.back() == '\0' || syntax.back() == ' '))
                    syntax.pop_back();
            }
            pos += header + static_cast<std::size_t>(len);
        }
        return true;
    }

    void push(Kind kind, std::uint64_t end, Encoding enc)
    {
        stack_.push_back({kind, end, enc});
        if (kind == Kind::Sequence) {
            ++depth_;
            result_.depth = std::max(result_.depth, depth_);
        }
    }

    void pop()
    {
        if (stack_.back().kind == Kind::Sequence)
            --depth_;
        stack_.pop_back();
    }

    void walk(std::size_t pos, Encoding enc)
    {
        push(Kind::Dataset, size_, enc);
        while (true) {
            // Values of defined length end where their length says.
            while (stack_.size() > 1 && stack_.back().end != Open && pos >= stack_.back().end)
                pop();
            if (pos >= size_)
                break;
            const Frame top = stack_.back();
            const bool big = top.enc.bigEndian;
            if (size_ - pos < 8)  // the toolkit refuses such a file as well
                return incomplete("the file ends inside an element header");
            const std::uint16_t group = u16(d_ + pos, big);
            const std::uint16_t element = u16(d_ + pos + 2, big);

            if (group == 0xFFFE) {
                const std::uint32_t len = u32(d_ + pos + 4, big);
                pos += 8;
                if (element == 0xE000) {
                    if (top.kind == Kind::Fragments) {
                        if (len == Undefined || pos + std::uint64_t(len) > size_)
                            return incomplete("the file ends inside the pixel data " + tagText(0x7FE0, 0x0010));
                        pos += len;
                    } else {
                        if (len != Undefined && pos + std::uint64_t(len) > size_)
                            return incomplete("the file ends inside a sequence item");
                        push(Kind::Item, len == Undefined ? Open : pos + len, top.enc);
                    }
                } else if (element == 0xE00D) {
                    if (top.kind == Kind::Item)
                        pop();
                } else if (element == 0xE0DD) {
                    if (top.kind == Kind::Item && stack_.size() > 2)
                        pop();  // an item left open by its writer ends with its sequence
                    if (stack_.back().kind == Kind::Sequence || stack_.back().kind == Kind::Fragments)
                        pop();
                } else if (len != Undefined) {
                    if (pos + std::uint64_t(len) > size_)
                        return incomplete("the file ends inside an item value");
                    pos += len;
                }
                continue;
            }

            std::uint32_t len = 0;
            bool sequence = false;
            Encoding inner = top.enc;
            if (top.enc.explicitVr) {
                const std::uint8_t* vr = d_ + pos + 4;
                if (hasLongLength(vr)) {
                    if (size_ - pos < 12)
                        return incomplete("the file ends inside an element header");
                    len = u32(d_ + pos + 8, big);
                    pos += 12;
                } else {
                    len = u16(d_ + pos + 6, big);
                    pos += 8;
                }
                const bool isSq = vr[0] == 'S' && vr[1] == 'Q';
                const bool isUn = vr[0] == 'U' && vr[1] == 'N';
                sequence = isSq || (isUn && len == Undefined);
                if (isUn && len == Undefined)
                    inner = Encoding{false, false};  // an unknown sequence is implicit little endian inside
            } else {
                len = u32(d_ + pos + 4, big);
                pos += 8;
                sequence = len == Undefined || dictionarySaysSequence(group, element);
            }

            if (sequence) {
                if (len != Undefined && pos + std::uint64_t(len) > size_)
                    return incomplete("the file ends inside the sequence " + tagText(group, element));
                push(Kind::Sequence, len == Undefined ? Open : pos + len, inner);
                if (depth_ > MaxSequenceDepth) {
                    result_.tooDeep = true;
                    result_.problem = "sequences nested deeper than " + std::to_string(MaxSequenceDepth) + " levels";
                    return;
                }
                continue;
            }
            if (len == Undefined) {
                push(Kind::Fragments, Open, top.enc);  // encapsulated pixel data: fragments follow
                continue;
            }
            if (pos + std::uint64_t(len) > size_)
                return incomplete("the value of " + tagText(group, element) + " needs " + std::to_string(len) +
                                  " bytes, the file holds " + std::to_string(size_ - pos));
            if (stack_.size() == 1 && group == 0x7FE0 && element == 0x0010) {
                result_.pixelDataOffset = pos;
                result_.pixelDataLength = len;
                result_.pixelDataBigEndian = big;
            }
            pos += len;
        }
        if (!stack_.empty() && stack_.back().kind == Kind::Fragments)
            incomplete("the file ends inside the pixel data " + tagText(0x7FE0, 0x0010));
    }

    const std::uint8_t* d_;
    std::size_t size_;
    std::vector<Frame> stack_;
    int depth_ = 0;
    FileStructure result_;
};

}  // namespace

FileStructure checkFileStructure(const std::filesystem::path& file)
{
    MappedFile mapped(file);
    if (!mapped.opened() || !mapped.data())
        return {};  // missing or empty: the reader reports it in its own words
    return Walker(mapped.data(), mapped.size()).run();
}

}  // namespace corva::dicom
