#include "cr_image_fixture.h"

#include <QStandardPaths>
#include <QString>
#include <regex>

#include "dicom_fixture.h"
#include "shell.h"

namespace corva::dose::test {

std::filesystem::path writeCrImage(const std::filesystem::path& file, const CrImage& image) {
    corva::test::DicomRecipe recipe = corva::test::latin1Recipe("Müller^Anna");
    recipe.patientId = "PID-4711";
    recipe.birthDate = "19620415";
    recipe.sex = "F";
    recipe.studyUid = image.studyUid;
    recipe.seriesUid = image.seriesUid;
    recipe.accessionNumber = "A2026120901";
    recipe.studyDescription = "Mammographie beidseits";
    recipe.studyDate = "20261209";
    recipe.studyTime = "081500";
    recipe.instanceNumber = image.instanceNumber;
    recipe.rows = 64;
    recipe.columns = 48;
    recipe.bitsAllocated = 16;  // 12 bits stored: a gradient 0..4095
    recipe.extra = {
        {{0x0008, 0x0012}, "20261209"},           // Instance Creation Date
        {{0x0008, 0x0013}, "081712"},             // Instance Creation Time
        {{0x0008, 0x0021}, "20261209"},           // Series Date
        {{0x0008, 0x0023}, "20261209"},           // Content Date
        {{0x0008, 0x0031}, "081530"},             // Series Time
        {{0x0008, 0x0033}, "081712"},             // Content Time
        {{0x0008, 0x0070}, "Lumica"},             // Manufacturer
        {{0x0008, 0x0080}, "Brustzentrum Nord"},  // Institution Name
        {{0x0008, 0x0090}, "Weber^Klaus^^Dr."},   // Referring Physician's Name
        {{0x0008, 0x1010}, "CR-READER-1"},        // Station Name
        {{0x0008, 0x103E}, "Mammographie"},       // Series Description
        {{0x0008, 0x1090}, "Lumica CR 35"},       // Manufacturer's Model Name
        {{0x0018, 0x0015}, "BREAST"},             // Body Part Examined
        {{0x0018, 0x1000}, "SN-2231"},            // Device Serial Number
        {{0x0018, 0x1004}, "PLATE-0815"},         // Plate ID
        {{0x0018, 0x1020}, "4.2.1"},              // Software Versions
        {{0x0018, 0x1164}, "0.1\\0.1"},           // Imager Pixel Spacing
        {{0x0018, 0x1260}, "MAMMO"},              // Plate Type
        {{0x0018, 0x5100}, "HFS"},                // Patient Position
        {{0x0018, 0x6000}, "200"},                // Sensitivity (the reader's S value)
        {{0x0020, 0x0020}, ""},                   // Patient Orientation
        {{0x0020, 0x0060}, ""},                   // Laterality
        {{0x0028, 0x0030}, "0.1\\0.1"},           // Pixel Spacing
        {{0x0028, 0x0103}, "0"},                  // Pixel Representation
        {{0x0028, 0x1050}, "1000"},               // Window Center of the reader
        {{0x0028, 0x1051}, "500"},                // Window Width of the reader
        {{0x0028, 0x1055}, "READER"},             // Window Center & Width Explanation
        {{0x0028, 0x2110}, "00"},                 // Lossy Image Compression
    };
    if (!image.viewPosition.empty()) recipe.extra.emplace_back(corva::dicom::Tag{0x0018, 0x5101}, image.viewPosition);
    recipe.extra.insert(recipe.extra.end(), image.extra.begin(), image.extra.end());
    recipe.omit = image.omit;
    return corva::test::writeDicom(file, recipe);
}

bool haveDciodvfy() { return !QStandardPaths::findExecutable(QStringLiteral("dciodvfy")).isEmpty(); }

std::vector<std::string> dciodvfyErrors(const std::filesystem::path& file, std::string* report) {
    const std::string output = corva::test::shell("dciodvfy " + corva::test::quoted(file) + " 2>&1");
    if (report) *report = output;
    std::vector<std::string> errors;
    for (const std::string& line : corva::test::splitLines(output))
        if (line.rfind("Error", 0) == 0) errors.push_back(line);
    return errors;
}

bool isLateralityRemark(const std::string& errorLine) {
    static const std::regex remark(
        R"(^Error - Attribute present when condition unsatisfied .*Element=<Laterality> Module=<GeneralSeries>)");
    return std::regex_search(errorLine, remark);
}

}  // namespace corva::dose::test
