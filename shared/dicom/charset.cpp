// Text values between the object's Specific Character Set and UTF-8, and VR helpers.
#include "dcmtk_internal.h"  // first: DCMTK needs its configuration header before any other

#include <iconv.h>

#include <cerrno>
#include <map>
#include <utility>

#include <dcmtk/dcmdata/dcspchrs.h>

namespace corva::dicom::detail {

namespace {

// iconv descriptors are costly to open: one converter per direction and thread.
DcmSpecificCharacterSet& converter(const std::string& from, const std::string& to)
{
    thread_local std::map<std::pair<std::string, std::string>, std::unique_ptr<DcmSpecificCharacterSet>> cache;
    auto& slot = cache[{from, to}];
    if (!slot) {
        auto conv = std::make_unique<DcmSpecificCharacterSet>();
        check(conv->selectCharacterSet(from.c_str(), to.c_str()),
              "Character set \"" + from + "\" to \"" + to + "\" not supported", errc::CharsetEncode);
        slot = std::move(conv);
    }
    return *slot;
}

std::string latin1ToUtf8(const std::string& raw)
{
    std::string out;
    out.reserve(raw.size() + raw.size() / 4);
    for (unsigned char c : raw) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string delimitersFor(DcmEVR vr)
{
    if (vr == EVR_PN)
        return "\\^=";
    return isSingleValuedTextVr(vr) ? std::string("\r\n\t\f") : std::string("\\");
}

bool isUtf8Charset(const std::string& charset) { return charset == "ISO_IR 192"; }

// Japanese with code extensions (ISO 2022 IR 87, IR 159 beside IR 6) is 7-bit text with
// escape sequences, as ISO-2022-JP-2 writes it. DCMTK's converter cannot take these
// sets when it is built on the C library's iconv, which knows them only by this name.
std::optional<std::string> decodeIso2022Japanese(const std::string& raw, const std::string& charset)
{
    if (charset.find("ISO 2022 IR 87") == std::string::npos && charset.find("ISO 2022 IR 159") == std::string::npos)
        return std::nullopt;
    if (!isAscii(raw))
        return std::nullopt;  // 8-bit code elements (IR 13 katakana in G1) are not ISO-2022-JP-2
    iconv_t cd = ::iconv_open("UTF-8", "ISO-2022-JP-2");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return std::nullopt;
    std::string out(raw.size() * 4 + 16, '\0');
    char* in = const_cast<char*>(raw.data());
    std::size_t inLeft = raw.size();
    char* to = out.data();
    std::size_t outLeft = out.size();
    const std::size_t rc = ::iconv(cd, &in, &inLeft, &to, &outLeft);
    const std::size_t flushed = rc == static_cast<std::size_t>(-1) ? rc : ::iconv(cd, nullptr, nullptr, &to, &outLeft);
    ::iconv_close(cd);
    if (rc == static_cast<std::size_t>(-1) || flushed == static_cast<std::size_t>(-1) || inLeft != 0)
        return std::nullopt;
    out.resize(out.size() - outLeft);
    return out;
}

}  // namespace

bool isAscii(const std::string& text)
{
    for (unsigned char c : text)
        if (c >= 0x80)
            return false;
    return true;
}

bool isCharsetVr(DcmEVR vr)
{
    switch (vr) {
    case EVR_SH: case EVR_LO: case EVR_ST: case EVR_LT: case EVR_PN: case EVR_UC: case EVR_UT:
        return true;
    default:
        return false;
    }
}

bool isTextVr(DcmEVR vr)
{
    switch (vr) {
    case EVR_AE: case EVR_AS: case EVR_CS: case EVR_DA: case EVR_DS: case EVR_DT: case EVR_IS:
    case EVR_LO: case EVR_LT: case EVR_PN: case EVR_SH: case EVR_ST: case EVR_TM: case EVR_UC:
    case EVR_UI: case EVR_UR: case EVR_UT:
        return true;
    default:
        return false;
    }
}

bool isSingleValuedTextVr(DcmEVR vr) { return vr == EVR_LT || vr == EVR_ST || vr == EVR_UT || vr == EVR_UR; }

std::string vrName(DcmEVR vr)
{
    switch (vr) {
    case EVR_xs: return "US";   // US or SS
    case EVR_ox: return "OB";   // OB or OW
    case EVR_px: return "OB";
    case EVR_lt: return "US";   // US, SS or OW
    case EVR_up: return "UL";
    case EVR_pixelSQ: return "OB";
    case EVR_PixelData: return "OW";
    case EVR_OverlayData: return "OW";
    case EVR_na: case EVR_item: case EVR_UNKNOWN: case EVR_UNKNOWN2B: return "UN";
    default: break;
    }
    return DcmVR(vr).getVRName();
}

DcmEVR vrForNewElement(Tag tag)
{
    DcmTag t(tag.group, tag.element);
    switch (t.getEVR()) {
    case EVR_xs: case EVR_lt: return EVR_US;
    case EVR_ox: case EVR_px: case EVR_pixelSQ: return EVR_OW;
    case EVR_up: return EVR_UL;
    case EVR_UNKNOWN: case EVR_UNKNOWN2B: case EVR_UN: case EVR_na: case EVR_item: return EVR_LO;
    default: return t.getEVR();
    }
}

std::string decodeText(const std::string& raw, const std::string& charset, DcmEVR vr)
{
    // Code extensions switch sets with escape sequences inside otherwise 7-bit text.
    const bool escapes = raw.find('\x1b') != std::string::npos && charset.find("ISO 2022") != std::string::npos;
    if ((isAscii(raw) && !escapes) || !isCharsetVr(vr))
        return isAscii(raw) ? raw : latin1ToUtf8(raw);
    // Without a declared set, non-ASCII bytes are read as Latin-1: the usual encoding of
    // modalities that leave the set out, and always valid UTF-8.
    if (charset.empty())
        return latin1ToUtf8(raw);
    try {
        OFString out;
        if (converter(charset, "ISO_IR 192").convertString(raw.data(), raw.size(), out, delimitersFor(vr).c_str()).good())
            return std::string(out.c_str(), out.length());
    } catch (const Error&) {
        // an unknown set: fall through
    }
    if (const auto japanese = decodeIso2022Japanese(raw, charset))
        return *japanese;
    return latin1ToUtf8(raw);
}

std::string encodeText(const std::string& utf8, const std::string& charset, DcmEVR vr, Tag tag)
{
    if (isAscii(utf8))
        return utf8;
    if (!isCharsetVr(vr))
        throw Error(errc::CharsetEncode,
                    "Value of " + tag.text() + " (VR " + vrName(vr) + ") must be plain ASCII text: \"" + utf8 + "\"",
                    "dicom");
    if (isUtf8Charset(charset))
        return utf8;
    const std::string shown = charset.empty() ? std::string("the default character repertoire") : "\"" + charset + "\"";
    std::string reason;
    if (!charset.empty()) {
        try {
            OFString out;
            const OFCondition cond =
                converter("ISO_IR 192", charset).convertString(utf8.data(), utf8.size(), out, delimitersFor(vr).c_str());
            if (cond.good())
                return std::string(out.c_str(), out.length());
            reason = cond.text();
        } catch (const Error& e) {
            reason = e.message();  // a set DCMTK cannot encode into (e.g. with code extensions)
        }
    }
    throw Error(errc::CharsetEncode,
                "Value \"" + utf8 + "\" of " + tag.text() + " cannot be encoded in the object's character set " + shown +
                    (reason.empty() ? std::string() : " (" + reason + ")"),
                "dicom");
}

}  // namespace corva::dicom::detail
