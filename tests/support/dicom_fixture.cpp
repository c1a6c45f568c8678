#include "dicom_fixture.h"

#include <algorithm>
#include <fstream>
#include <iterator>

namespace corva::test {

namespace dcm = corva::dicom;

namespace {

constexpr dcm::Tag SpecificCharacterSet{0x0008, 0x0005};
constexpr dcm::Tag ImageType{0x0008, 0x0008};
constexpr dcm::Tag SopClassUid{0x0008, 0x0016};
constexpr dcm::Tag SopInstanceUid{0x0008, 0x0018};
constexpr dcm::Tag StudyDate{0x0008, 0x0020};
constexpr dcm::Tag StudyTime{0x0008, 0x0030};
constexpr dcm::Tag AccessionNumber{0x0008, 0x0050};
constexpr dcm::Tag Modality{0x0008, 0x0060};
constexpr dcm::Tag StudyDescription{0x0008, 0x1030};
constexpr dcm::Tag PatientName{0x0010, 0x0010};
constexpr dcm::Tag PatientId{0x0010, 0x0020};
constexpr dcm::Tag BirthDate{0x0010, 0x0030};
constexpr dcm::Tag Sex{0x0010, 0x0040};
constexpr dcm::Tag StudyUid{0x0020, 0x000D};
constexpr dcm::Tag SeriesUid{0x0020, 0x000E};
constexpr dcm::Tag StudyId{0x0020, 0x0010};
constexpr dcm::Tag SeriesNumber{0x0020, 0x0011};
constexpr dcm::Tag InstanceNumber{0x0020, 0x0013};
constexpr dcm::Tag BitsStored{0x0028, 0x0101};
constexpr dcm::Tag HighBit{0x0028, 0x0102};

}  // namespace

std::uint16_t gradientValue(int x, int columns, int bitsAllocated)
{
    const int maxValue = bitsAllocated == 8 ? 255 : 4095;
    if (columns <= 1)
        return 0;
    return static_cast<std::uint16_t>((static_cast<long>(x) * maxValue) / (columns - 1));
}

std::string uniqueUid() { return dcm::newUid(); }

dcm::Image makeImage(const DicomRecipe& recipe)
{
    dcm::Image image;
    dcm::DataSet ds = image.attributes();
    // The character set first: every later text is encoded into it.
    if (!recipe.characterSet.empty())
        ds.set(SpecificCharacterSet, recipe.characterSet);
    ds.set(ImageType, "ORIGINAL\\PRIMARY");
    ds.set(SopClassUid, recipe.sopClassUid);
    ds.set(SopInstanceUid, recipe.sopInstanceUid.empty() ? uniqueUid() : recipe.sopInstanceUid);
    ds.set(StudyDate, recipe.studyDate);
    ds.set(StudyTime, recipe.studyTime);
    ds.set(AccessionNumber, recipe.accessionNumber);
    ds.set(Modality, recipe.modality);
    if (!recipe.studyDescription.empty())
        ds.set(StudyDescription, recipe.studyDescription);
    ds.set(PatientName, recipe.patientName);
    ds.set(PatientId, recipe.patientId);
    ds.set(BirthDate, recipe.birthDate);
    ds.set(Sex, recipe.sex);
    ds.set(StudyUid, recipe.studyUid.empty() ? uniqueUid() : recipe.studyUid);
    ds.set(SeriesUid, recipe.seriesUid.empty() ? uniqueUid() : recipe.seriesUid);
    ds.set(StudyId, "1");
    ds.set(SeriesNumber, 1.0);
    ds.set(InstanceNumber, static_cast<double>(recipe.instanceNumber));

    if (recipe.rows > 0 && recipe.columns > 0) {
        const int bytesPerSample = recipe.bitsAllocated == 8 ? 1 : 2;
        std::vector<std::uint8_t> pixels(static_cast<std::size_t>(recipe.rows) * recipe.columns * bytesPerSample);
        std::size_t i = 0;
        for (int y = 0; y < recipe.rows; ++y) {
            for (int x = 0; x < recipe.columns; ++x) {
                const std::uint16_t v = gradientValue(x, recipe.columns, recipe.bitsAllocated);
                pixels[i++] = static_cast<std::uint8_t>(v & 0xFF);
                if (bytesPerSample == 2)
                    pixels[i++] = static_cast<std::uint8_t>(v >> 8);
            }
        }
        image.setPixelData(recipe.rows, recipe.columns, recipe.bitsAllocated, pixels);
        if (recipe.bitsAllocated == 16) {
            ds.set(BitsStored, 12.0);
            ds.set(HighBit, 11.0);
        }
    }

    for (const auto& [tag, value] : recipe.extra)
        ds.set(tag, value);
    for (const auto& tag : recipe.omit)
        ds.remove(tag);
    if (!recipe.declareCharacterSet)
        ds.remove(SpecificCharacterSet);
    return image;
}

std::filesystem::path writeDicom(const std::filesystem::path& file, const DicomRecipe& recipe)
{
    if (file.has_parent_path())
        std::filesystem::create_directories(file.parent_path());
    dcm::Image image = makeImage(recipe);
    if (recipe.transferSyntax.empty())
        image.write(file);
    else
        image.write(file, recipe.transferSyntax);
    return file;
}

DicomRecipe latin1Recipe(const std::string& utf8PatientName)
{
    DicomRecipe recipe;
    recipe.characterSet = "ISO_IR 100";
    recipe.patientName = utf8PatientName;
    return recipe;
}

std::string rawValue(const std::filesystem::path& file, dcm::Tag tag)
{
    return dcm::Image::read(file, dcm::ReadMode::HeaderOnly).attributes().rawBytes(tag);
}

}  // namespace corva::test

namespace corva::test {

std::filesystem::path writeNestedDicom(const std::filesystem::path& file, int depth, DicomRecipe recipe)
{
    recipe.rows = 0;  // no pixel data: the private sequence is the data set's last element
    recipe.columns = 0;
    recipe.transferSyntax = corva::dicom::uid::ExplicitLittleEndian;
    writeDicom(file, recipe);
    std::string bytes;
    auto put16 = [&](std::uint16_t v) { bytes += char(v & 0xFF), bytes += char(v >> 8); };
    auto put32 = [&](std::uint32_t v) { put16(std::uint16_t(v & 0xFFFF)), put16(std::uint16_t(v >> 16)); };
    for (int level = 0; level < depth; ++level) {
        put16(0x7FE1), put16(0x1001), bytes += "SQ", put16(0), put32(0xFFFFFFFF);  // sequence, undefined length
        put16(0xFFFE), put16(0xE000), put32(0xFFFFFFFF);                           // item, undefined length
    }
    for (int level = 0; level < depth; ++level) {
        put16(0xFFFE), put16(0xE00D), put32(0);  // item delimitation
        put16(0xFFFE), put16(0xE0DD), put32(0);  // sequence delimitation
    }
    std::ofstream out(file, std::ios::binary | std::ios::app);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return file;
}

std::filesystem::path writeTruncatedCopy(const std::filesystem::path& from, const std::filesystem::path& to,
                                         std::size_t cut)
{
    std::ifstream in(from, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    bytes.resize(bytes.size() > cut ? bytes.size() - cut : 0);
    std::filesystem::create_directories(to.parent_path());
    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return to;
}

}  // namespace corva::test
