// Attribute access by group and element: typed reading, charset-aware writing.
#include "dcmtk_internal.h"  // first: DCMTK needs its configuration header before any other

#include <vector>

namespace corva::dicom {

using namespace detail;

namespace detail {

DataSet wrap(std::shared_ptr<void> owner, DcmItem* item)
{
    auto impl = std::make_shared<DataSet::Impl>();
    impl->owner = std::move(owner);
    impl->item = item;
    return DataSet(std::move(impl));
}

std::string characterSetOf(DcmItem* item)
{
    for (DcmObject* obj = item; obj;) {
        const DcmEVR id = obj->ident();
        if (id == EVR_item || id == EVR_dataset || id == EVR_dirRecord) {
            auto* it = static_cast<DcmItem*>(obj);
            DcmElement* el = nullptr;
            if (it->findAndGetElement(DCM_SpecificCharacterSet, el, OFFalse).good() && el) {
                OFString value;
                el->getOFStringArray(value);
                return trim(value.c_str());
            }
            if (id == EVR_dataset)
                return {};
        }
        obj = obj->getParent();
    }
    return {};
}

}  // namespace detail

namespace {

std::vector<std::string> split(const std::string& text, char delimiter)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (true) {
        const std::size_t p = text.find(delimiter, start);
        parts.push_back(text.substr(start, p == std::string::npos ? std::string::npos : p - start));
        if (p == std::string::npos)
            break;
        start = p + 1;
    }
    return parts;
}

std::string rawString(DcmElement* el)
{
    char* p = nullptr;
    Uint32 len = 0;
    if (el->getString(p, len).bad() || !p)
        return {};
    return std::string(p, len);
}

std::string trimTrailing(const std::string& s)
{
    std::size_t e = s.size();
    while (e > 0 && (s[e - 1] == ' ' || s[e - 1] == '\0'))
        --e;
    return s.substr(0, e);
}

Value typedValue(DcmEVR vr, const std::string& component)
{
    switch (vr) {
    case EVR_DA:
        if (auto d = parseDate(component))
            return *d;
        return std::string(UnknownDataType);
    case EVR_TM:
        if (auto t = parseTime(component))
            return *t;
        return std::string(UnknownDataType);
    case EVR_DT:
        if (auto t = parseDateTime(component))
            return *t;
        return std::string(UnknownDataType);
    case EVR_IS:
    case EVR_DS:
        if (auto n = parseNumber(component))
            return *n;
        return std::string(UnknownDataType);
    default:
        return component;
    }
}

bool isBinaryNumberVr(DcmEVR vr)
{
    switch (vr) {
    case EVR_US: case EVR_SS: case EVR_UL: case EVR_SL: case EVR_FL: case EVR_FD: case EVR_SV: case EVR_UV:
        return true;
    default:
        return false;
    }
}

double binaryNumber(DcmElement* el, DcmEVR vr, unsigned long i, bool& ok)
{
    ok = true;
    switch (vr) {
    case EVR_US: { Uint16 v = 0; ok = el->getUint16(v, i).good(); return v; }
    case EVR_SS: { Sint16 v = 0; ok = el->getSint16(v, i).good(); return v; }
    case EVR_UL: { Uint32 v = 0; ok = el->getUint32(v, i).good(); return v; }
    case EVR_SL: { Sint32 v = 0; ok = el->getSint32(v, i).good(); return v; }
    case EVR_FL: { Float32 v = 0; ok = el->getFloat32(v, i).good(); return v; }
    case EVR_FD: { Float64 v = 0; ok = el->getFloat64(v, i).good(); return v; }
    default: {
        OFString s;
        ok = el->getOFString(s, i).good();
        auto n = parseNumber(s.c_str());
        ok = ok && n.has_value();
        return n.value_or(0);
    }
    }
}

// The element's VR as stored; DCMTK's internal codes for pixel data count as binary.
DcmEVR storedVr(DcmElement* el)
{
    if (el->ident() == EVR_SQ)
        return EVR_SQ;
    if (el->ident() == EVR_PixelData || el->ident() == EVR_OverlayData)
        return EVR_OW;
    return el->getTag().getEVR();
}

}  // namespace

DataSet::DataSet()
{
    auto item = std::make_shared<DcmItem>();
    DcmItem* raw = item.get();
    impl_ = std::make_shared<Impl>();
    impl_->owner = std::move(item);
    impl_->item = raw;
}

DataSet::~DataSet() = default;
DataSet::DataSet(const DataSet&) = default;
DataSet& DataSet::operator=(const DataSet&) = default;
DataSet::DataSet(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

bool DataSet::contains(Tag tag) const { return impl_->item->tagExists(key(tag), OFFalse); }

Attribute DataSet::get(Tag tag) const
{
    Attribute a;
    a.tag = tag;
    DcmElement* el = nullptr;
    if (impl_->item->findAndGetElement(key(tag), el, OFFalse).bad() || !el)
        return a;
    a.exists = true;
    const DcmEVR vr = storedVr(el);
    a.vr = vrName(vr);

    if (vr == EVR_SQ) {
        auto* seq = static_cast<DcmSequenceOfItems*>(el);
        Sequence items;
        for (unsigned long i = 0; i < seq->card(); ++i)
            items.push_back(wrap(impl_->owner, seq->getItem(i)));
        a.values.emplace_back(std::move(items));
        return a;
    }
    if (el->getLength() == 0)
        return a;

    if (isTextVr(vr)) {
        const std::string utf8 = decodeText(rawString(el), characterSetOf(impl_->item), vr);
        std::vector<std::string> parts = isSingleValuedTextVr(vr) ? std::vector<std::string>{utf8} : split(utf8, '\\');
        std::string joined;
        for (std::size_t i = 0; i < parts.size(); ++i) {
            // Trailing spaces are padding; leading ones matter only in the long texts.
            std::string part = isSingleValuedTextVr(vr) ? trimTrailing(parts[i]) : trim(parts[i]);
            a.values.push_back(part.empty() ? Value{} : typedValue(vr, part));
            joined += (i ? "\\" : "") + part;
        }
        a.text = joined;
        if (a.values.size() == 1 && std::holds_alternative<std::monostate>(a.values[0]))
            a.values.clear();
        return a;
    }
    if (isBinaryNumberVr(vr)) {
        for (unsigned long i = 0; i < el->getVM(); ++i) {
            bool ok = false;
            const double v = binaryNumber(el, vr, i, ok);
            a.values.push_back(ok ? Value{v} : Value{std::string(UnknownDataType)});
        }
        OFString text;
        el->getOFStringArray(text);
        a.text = text.c_str();
        return a;
    }
    if (vr == EVR_AT) {
        for (unsigned long i = 0; i < el->getVM(); ++i) {
            OFString s;
            el->getOFString(s, i);
            a.values.emplace_back(std::string(s.c_str()));
        }
        OFString text;
        el->getOFStringArray(text);
        a.text = text.c_str();
        return a;
    }
    // OB, OW, OF, OD, OL, OV, UN and anything else we cannot read as values.
    a.values.emplace_back(std::string(UnknownDataType));
    a.text = UnknownDataType;
    return a;
}

namespace {

std::unique_ptr<DcmElement> newElement(Tag tag, DcmEVR vr)
{
    DcmElement* raw = nullptr;
    check(DcmItem::newDicomElementWithVR(raw, DcmTag(tag.group, tag.element, DcmVR(vr))),
          "Cannot create attribute " + tag.text());
    return std::unique_ptr<DcmElement>(raw);
}

void insert(DcmItem* item, std::unique_ptr<DcmElement> el, Tag tag)
{
    // insert() takes ownership on success only.
    check(item->insert(el.get(), OFTrue), "Cannot add attribute " + tag.text());
    el.release();
}

// The VR for writing tag: the present element's, else the dictionary's.
DcmEVR targetVr(DcmItem* item, Tag tag)
{
    DcmElement* el = nullptr;
    if (item->findAndGetElement(key(tag), el, OFFalse).good() && el) {
        const DcmEVR vr = storedVr(el);
        if (vr != EVR_UN && vr != EVR_UNKNOWN && vr != EVR_UNKNOWN2B)
            return vr;
    }
    return vrForNewElement(tag);
}

// Writes text that is already in the object's encoding.
void putEncoded(DcmItem* item, Tag tag, DcmEVR vr, const std::string& encoded)
{
    DcmElement* present = nullptr;
    if (item->findAndGetElement(key(tag), present, OFFalse).good() && present && storedVr(present) == vr &&
        isTextVr(vr) && trimTrailing(rawString(present)) == trimTrailing(encoded))
        return;  // unchanged: keep the stored bytes
    auto el = newElement(tag, vr);
    check(el->putString(encoded.c_str(), static_cast<Uint32>(encoded.size())),
          "Value \"" + encoded + "\" does not fit attribute " + tag.text() + " (VR " + vrName(vr) + ")",
          errc::TypeMismatch);
    insert(item, std::move(el), tag);
}

}  // namespace

void DataSet::set(Tag tag, const std::string& utf8)
{
    DcmItem* item = impl_->item;
    const DcmEVR vr = targetVr(item, tag);
    if (vr == EVR_SQ)
        throw Error(errc::TypeMismatch, "Attribute " + tag.text() + " is a sequence and takes data sets, not text", "dicom");
    if (isTextVr(vr)) {
        std::string charset = characterSetOf(item);
        if (charset.empty() && isCharsetVr(vr) && !isAscii(utf8) && !(tag == Tag{0x0008, 0x0005})) {
            // The default repertoire is ASCII only: declare Latin-1, a superset of it,
            // so that existing values keep their meaning.
            const std::string encoded = encodeText(utf8, "ISO_IR 100", vr, tag);
            putEncoded(item, Tag{0x0008, 0x0005}, EVR_CS, "ISO_IR 100");
            putEncoded(item, tag, vr, encoded);
            return;
        }
        putEncoded(item, tag, vr, encodeText(utf8, charset, vr, tag));
        return;
    }
    if (isBinaryNumberVr(vr) || vr == EVR_AT) {
        if (!isAscii(utf8))
            throw Error(errc::TypeMismatch, "\"" + utf8 + "\" is no value for " + tag.text(), "dicom");
        auto el = newElement(tag, vr);
        check(el->putString(utf8.c_str()), "\"" + utf8 + "\" is no value for " + tag.text() + " (VR " + vrName(vr) + ")",
              errc::TypeMismatch);
        insert(item, std::move(el), tag);
        return;
    }
    throw Error(errc::TypeMismatch, "Attribute " + tag.text() + " (VR " + vrName(vr) + ") holds binary data, not text",
                "dicom");
}

void DataSet::set(Tag tag, double number)
{
    const DcmEVR vr = targetVr(impl_->item, tag);
    if (vr == EVR_SQ || !(isTextVr(vr) || isBinaryNumberVr(vr)))
        throw Error(errc::TypeMismatch, "Attribute " + tag.text() + " (VR " + vrName(vr) + ") does not take a number",
                    "dicom");
    set(tag, formatNumber(number, vr));
}

void DataSet::set(Tag tag, const DateTime& when)
{
    const DcmEVR vr = targetVr(impl_->item, tag);
    std::string text;
    if (vr == EVR_DA || (vr != EVR_TM && vr != EVR_DT && when.hasDate && !when.hasTime))
        text = formatDate(when);
    else if (vr == EVR_TM || (vr != EVR_DT && !when.hasDate))
        text = formatTime(when);
    else
        text = formatDateTime(when);
    set(tag, text);
}

void DataSet::set(Tag tag, const Sequence& items)
{
    // Copy first: the items may live in the sequence being replaced.
    auto seq = std::make_unique<DcmSequenceOfItems>(DcmTag(tag.group, tag.element, DcmVR(EVR_SQ)));
    for (const DataSet& ds : items) {
        // Element by element: the source may be a whole data set or a directory
        // record, and the copy must be a plain item.
        auto copy = std::make_unique<DcmItem>();
        DcmItem* source = ds.impl()->item;
        for (unsigned long i = 0; i < source->card(); ++i) {
            std::unique_ptr<DcmElement> el(static_cast<DcmElement*>(source->getElement(i)->clone()));
            check(copy->insert(el.get(), OFTrue), "Cannot copy an item for sequence " + tag.text());
            el.release();  // the item owns it
        }
        check(seq->insert(copy.get()), "Cannot add an item to sequence " + tag.text());
        copy.release();  // the sequence owns it
    }
    DcmItem* item = impl_->item;
    check(item->insert(seq.get(), OFTrue), "Cannot add sequence " + tag.text());
    seq.release();  // the item owns it
}

void DataSet::set(Tag tag, const Value& value)
{
    std::visit(
        [&](const auto& v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::monostate>) {
                const DcmEVR vr = targetVr(impl_->item, tag);
                if (vr == EVR_SQ)
                    set(tag, Sequence{});
                else
                    insert(impl_->item, newElement(tag, vr), tag);
            } else {
                set(tag, v);
            }
        },
        value);
}

void DataSet::remove(Tag tag) { impl_->item->findAndDeleteElement(key(tag), OFFalse, OFFalse); }

std::vector<Tag> DataSet::tags() const
{
    std::vector<Tag> out;
    for (unsigned long i = 0; i < impl_->item->card(); ++i)
        out.push_back(tagOf(impl_->item->getElement(i)->getTag()));
    return out;
}

std::string DataSet::characterSet() const { return characterSetOf(impl_->item); }

std::string DataSet::rawBytes(Tag tag) const
{
    DcmElement* el = nullptr;
    if (impl_->item->findAndGetElement(key(tag), el, OFFalse).bad() || !el)
        return {};
    const DcmEVR vr = storedVr(el);
    if (isTextVr(vr))
        return rawString(el);
    // Words as little-endian bytes, whatever the host or the original byte order.
    if (el->getTag().getEVR() == EVR_OW || vr == EVR_OW) {
        Uint16* words = nullptr;
        if (el->getUint16Array(words).good() && words) {
            std::string out(el->getLength(), '\0');
            for (std::size_t i = 0; i + 1 < out.size(); i += 2) {
                out[i] = static_cast<char>(words[i / 2] & 0xFF);
                out[i + 1] = static_cast<char>(words[i / 2] >> 8);
            }
            return out;
        }
    }
    Uint8* bytes = nullptr;
    if ((vr == EVR_OB || vr == EVR_UN || vr == EVR_OW) && el->getUint8Array(bytes).good() && bytes)
        return std::string(reinterpret_cast<const char*>(bytes), el->getLength());
    OFString text;
    el->getOFStringArray(text);
    return text.c_str();
}

}  // namespace corva::dicom
