#pragma once
// Real DICOM files for tests, built through our adapter (shared/dicom/dicom.h).
//
//   corva::test::DicomRecipe recipe;
//   recipe.patientName = "Müller^Anna";      // UTF-8; encoded into characterSet
//   recipe.characterSet = "ISO_IR 100";      // Latin-1 bytes in the file
//   recipe.extra = {{{0x0008, 0x1030}, "Mammo"}};
//   recipe.omit = {{0x0020, 0x000D}};        // a file without a study UID
//   auto file = corva::test::writeDicom(dir / "a.dcm", recipe);
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "dicom/dicom.h"

namespace corva::test {

struct DicomRecipe {
    std::string patientName = "Test^Patient";  // UTF-8; empty = attribute present but empty
    std::string patientId = "P1";
    std::string birthDate = "19600101";  // DA text
    std::string sex = "F";
    std::string studyUid;        // empty = generate
    std::string seriesUid;       // empty = generate
    std::string sopInstanceUid;  // empty = generate
    std::string sopClassUid = corva::dicom::uid::ComputedRadiography;
    std::string modality = "CR";
    std::string characterSet;  // (0008,0005), e.g. "ISO_IR 100"; empty = default repertoire
    // false: texts are encoded in characterSet but (0008,0005) is left out, like
    // modalities that write Latin-1 without saying so.
    bool declareCharacterSet = true;
    std::string studyDate = "20240115";
    std::string studyTime = "101500";
    std::string accessionNumber;
    std::string studyDescription;
    int instanceNumber = 1;

    // Pixel data: a horizontal gradient (0 at the left, maximum at the right),
    // MONOCHROME2, samples per pixel 1. rows or columns 0 = no pixel data.
    int rows = 64;
    int columns = 64;
    int bitsAllocated = 16;  // 8 or 16; bits stored = 8 or 12

    // Set after the defaults (UTF-8 text, encoded into characterSet); a later entry wins.
    std::vector<std::pair<corva::dicom::Tag, std::string>> extra;
    // Removed after the defaults and extras (e.g. no study UID, no modality).
    std::vector<corva::dicom::Tag> omit;

    // Transfer syntax of the written file; empty = explicit VR little endian.
    std::string transferSyntax;
};

// Builds the object in memory.
corva::dicom::Image makeImage(const DicomRecipe& recipe = {});

// Writes a Part-10 file (creating parent folders); returns file.
std::filesystem::path writeDicom(const std::filesystem::path& file, const DicomRecipe& recipe = {});

// Writes a file (explicit VR little endian, no pixel data) whose data set ends with a
// private sequence nested `depth` levels deep, each level one item of undefined length:
// what the toolkit's recursive reader cannot take when deep enough. Returns file.
std::filesystem::path writeNestedDicom(const std::filesystem::path& file, int depth, DicomRecipe recipe = {});

// Copies a file without its last `cut` bytes (a transfer broken off). Returns to.
std::filesystem::path writeTruncatedCopy(const std::filesystem::path& from, const std::filesystem::path& to,
                                         std::size_t cut);

// A fresh unique UID (safe as a file name).
std::string uniqueUid();

// A DicomRecipe with characterSet "ISO_IR 100": the name given in UTF-8 ends up as
// Latin-1 bytes in the file (e.g. "Müller^Anna" -> 4D FC 6C 6C 65 72 ...).
DicomRecipe latin1Recipe(const std::string& utf8PatientName);

// The raw bytes of an attribute's value in a file as stored (no decoding; see
// DataSet::rawBytes). Empty when absent. Lets tests check on-disk encodings.
std::string rawValue(const std::filesystem::path& file, corva::dicom::Tag tag);

// The gradient value the fixture writes at column x of an image `columns` wide.
std::uint16_t gradientValue(int x, int columns, int bitsAllocated);

}  // namespace corva::test
