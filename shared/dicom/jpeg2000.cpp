// JPEG 2000 pixel data. The toolkit has no decoder for it, but archives and readers
// send it: OpenJPEG decodes the first frame into an uncompressed copy of the data set,
// which is shown and exported like any other image. The stored file stays as it is.
#include "dcmtk_internal.h"  // first: DCMTK needs its configuration header before any other

#include <openjpeg.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>

namespace corva::dicom::detail {

namespace {

// OpenJPEG reads the code stream through callbacks: a cursor over the bytes in memory.
struct MemoryStream {
    const std::vector<Uint8>* bytes;
    std::size_t at = 0;
};

OPJ_SIZE_T readBytes(void* buffer, OPJ_SIZE_T count, void* user)
{
    auto* s = static_cast<MemoryStream*>(user);
    const std::size_t left = s->bytes->size() - s->at;
    if (left == 0)
        return static_cast<OPJ_SIZE_T>(-1);
    const std::size_t n = std::min<std::size_t>(count, left);
    std::memcpy(buffer, s->bytes->data() + s->at, n);
    s->at += n;
    return n;
}

OPJ_OFF_T skipBytes(OPJ_OFF_T count, void* user)
{
    auto* s = static_cast<MemoryStream*>(user);
    const auto target = std::clamp<OPJ_OFF_T>(static_cast<OPJ_OFF_T>(s->at) + count, 0,
                                              static_cast<OPJ_OFF_T>(s->bytes->size()));
    const OPJ_OFF_T moved = target - static_cast<OPJ_OFF_T>(s->at);
    s->at = static_cast<std::size_t>(target);
    return moved;
}

OPJ_BOOL seekTo(OPJ_OFF_T position, void* user)
{
    auto* s = static_cast<MemoryStream*>(user);
    if (position < 0 || static_cast<std::size_t>(position) > s->bytes->size())
        return OPJ_FALSE;
    s->at = static_cast<std::size_t>(position);
    return OPJ_TRUE;
}

struct CodecCloser {
    void operator()(opj_codec_t* c) const { opj_destroy_codec(c); }
};
struct StreamCloser {
    void operator()(opj_stream_t* s) const { opj_stream_destroy(s); }
};
struct ImageCloser {
    void operator()(opj_image_t* i) const { opj_image_destroy(i); }
};

[[noreturn]] void refuse(const std::string& why)
{
    throw Error(errc::Generic, "Cannot decode the JPEG 2000 image: " + why, "dicom");
}

// The first frame's code stream: its fragments after the offset table. A multi-frame
// image with one fragment per frame gives the first fragment only.
std::vector<Uint8> firstFrameStream(DcmDataset& ds)
{
    DcmElement* element = nullptr;
    if (ds.findAndGetElement(DCM_PixelData, element).bad() || !element)
        refuse("no pixel data");
    auto* pixelData = OFstatic_cast(DcmPixelData*, element);
    DcmPixelSequence* sequence = nullptr;
    if (pixelData->getEncapsulatedRepresentation(ds.getOriginalXfer(), nullptr, sequence).bad() || !sequence)
        refuse("no encapsulated pixel data");
    long frames = 1;
    ds.findAndGetLongInt(DCM_NumberOfFrames, frames);
    const unsigned long fragments = sequence->card();
    if (fragments < 2)
        refuse("no fragments");
    const unsigned long last = frames > 1 && fragments == static_cast<unsigned long>(frames) + 1 ? 1 : fragments - 1;
    std::vector<Uint8> bytes;
    for (unsigned long i = 1; i <= last; ++i) {
        DcmPixelItem* item = nullptr;
        Uint8* data = nullptr;
        if (sequence->getItem(item, i).bad() || !item || item->getUint8Array(data).bad())
            refuse("unreadable fragment");
        if (data)
            bytes.insert(bytes.end(), data, data + item->getLength());
    }
    return bytes;
}

}  // namespace

bool isJpeg2000(E_TransferSyntax xfer)
{
    return xfer == EXS_JPEG2000LosslessOnly || xfer == EXS_JPEG2000 || xfer == EXS_JPEG2000MulticomponentLosslessOnly ||
           xfer == EXS_JPEG2000Multicomponent;
}

std::unique_ptr<DcmDataset> decodedJpeg2000Copy(DcmDataset& ds, int maxWidth, int maxHeight)
{
    const std::vector<Uint8> stream = firstFrameStream(ds);
    // A raw code stream starts with SOC (FF 4F); some writers wrap it in a JP2 file.
    const bool jp2 = stream.size() > 12 && stream[0] == 0 && stream[1] == 0 && stream[2] == 0 && stream[3] == 0x0C;
    std::unique_ptr<opj_codec_t, CodecCloser> codec(opj_create_decompress(jp2 ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K));
    std::unique_ptr<opj_stream_t, StreamCloser> input(opj_stream_create(OPJ_J2K_STREAM_CHUNK_SIZE, OPJ_TRUE));
    if (!codec || !input)
        refuse("out of memory");
    MemoryStream cursor{&stream};
    opj_stream_set_user_data(input.get(), &cursor, nullptr);
    opj_stream_set_user_data_length(input.get(), stream.size());
    opj_stream_set_read_function(input.get(), readBytes);
    opj_stream_set_skip_function(input.get(), skipBytes);
    opj_stream_set_seek_function(input.get(), seekTo);
    opj_dparameters_t parameters;
    opj_set_default_decoder_parameters(&parameters);
    if (!opj_setup_decoder(codec.get(), &parameters))
        refuse("decoder setup failed");
    opj_image_t* header = nullptr;
    if (!opj_read_header(input.get(), codec.get(), &header))
        refuse("unreadable code stream header");
    std::unique_ptr<opj_image_t, ImageCloser> image(header);

    Uint16 rows = 0, columns = 0, bitsAllocated = 0;
    ds.findAndGetUint16(DCM_Rows, rows);
    ds.findAndGetUint16(DCM_Columns, columns);
    ds.findAndGetUint16(DCM_BitsAllocated, bitsAllocated);
    // Shown smaller: each resolution level dropped halves the size and the work. One level
    // above the size shown is kept: the area average looks like the full-size picture's.
    int reduce = 0;
    if ((maxWidth > 0 || maxHeight > 0) && rows > 0 && columns > 0) {
        const auto [tw, th] = fitSize(columns, rows, maxWidth, maxHeight);
        int levels = 1;
        if (opj_codestream_info_v2_t* info = opj_get_cstr_info(codec.get())) {
            if (info->m_default_tile_info.tccp_info)
                levels = static_cast<int>(info->m_default_tile_info.tccp_info[0].numresolutions);
            opj_destroy_cstr_info(&info);
        }
        const auto reduced = [](int size, int r) { return (size + (1 << r) - 1) >> r; };
        while (reduce + 1 < levels && reduced(columns, reduce + 1) >= 2 * tw && reduced(rows, reduce + 1) >= 2 * th)
            ++reduce;
        if (reduce > 0 && !opj_set_decoded_resolution_factor(codec.get(), static_cast<OPJ_UINT32>(reduce)))
            reduce = 0;
    }
    if (reduce > 0) {
        columns = static_cast<Uint16>((columns + (1 << reduce) - 1) >> reduce);
        rows = static_cast<Uint16>((rows + (1 << reduce) - 1) >> reduce);
    }
    if (!opj_decode(codec.get(), input.get(), image.get()) || !opj_end_decompress(codec.get(), input.get()))
        refuse("unreadable code stream");

    const unsigned components = image->numcomps;
    if (components != 1 && components != 3)
        refuse(std::to_string(components) + " components");
    for (unsigned c = 0; c < components; ++c)
        if (image->comps[c].w != columns || image->comps[c].h != rows || !image->comps[c].data)
            refuse("its size differs from Rows and Columns");
    if (bitsAllocated != 8 && bitsAllocated != 16)
        refuse("Bits Allocated " + std::to_string(bitsAllocated));

    // Every attribute but the pixel data, then the decoded pixels in the same layout.
    auto copy = std::make_unique<DcmDataset>();
    for (unsigned long i = 0; i < ds.card(); ++i) {
        DcmElement* e = ds.getElement(i);
        if (e->getTag() == DCM_PixelData)
            continue;
        check(copy->insert(OFstatic_cast(DcmElement*, e->clone())), "Cannot copy the data set");
    }
    const std::size_t pixels = static_cast<std::size_t>(rows) * columns;
    const std::size_t samples = pixels * components;
    const auto sampleAt = [&](std::size_t i) { return image->comps[i % components].data[i / components]; };
    if (bitsAllocated == 8) {
        std::vector<Uint8> out(samples);
        for (std::size_t i = 0; i < samples; ++i)
            out[i] = static_cast<Uint8>(sampleAt(i));
        check(copy->putAndInsertUint8Array(DCM_PixelData, out.data(), static_cast<unsigned long>(out.size())),
              "Cannot store the decoded pixels");
    } else {
        std::vector<Uint16> out(samples);
        for (std::size_t i = 0; i < samples; ++i)
            out[i] = static_cast<Uint16>(sampleAt(i));  // two's complement kept for signed pixels
        check(copy->putAndInsertUint16Array(DCM_PixelData, out.data(), static_cast<unsigned long>(out.size())),
              "Cannot store the decoded pixels");
    }
    if (copy->tagExists(DCM_NumberOfFrames))
        copy->putAndInsertString(DCM_NumberOfFrames, "1");
    if (reduce > 0) {
        copy->putAndInsertUint16(DCM_Rows, rows);
        copy->putAndInsertUint16(DCM_Columns, columns);
    }
    if (components == 3) {
        // OpenJPEG undoes the colour transform: the samples are RGB, pixel by pixel.
        copy->putAndInsertString(DCM_PhotometricInterpretation, "RGB");
        copy->putAndInsertUint16(DCM_PlanarConfiguration, 0);
    }
    return copy;
}

}  // namespace corva::dicom::detail
