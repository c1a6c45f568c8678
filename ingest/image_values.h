#pragma once
// The values registration matches and stores, read from an image header. Each reader
// throws corva::Error when a value it needs is missing or cannot be converted.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "dicom/dicom.h"

namespace corva::ingest {

struct PatientValues {
    std::string id;          // empty when absent
    std::string lastName;    // "XXNoName" when the name is absent; ' replaced by ´
    std::string firstName;   // may be empty
    std::string middleName;  // may be empty
    std::string birthDate;   // stored form yyyy-MM-dd, empty when unset
    std::string sex;         // empty when absent
};

struct StudyValues {
    std::string date;  // stored forms
    std::string time;
    std::string description;  // trimmed
    std::int32_t number = 0;
    std::string uid;
    std::string physician = "Unknown";
    std::string bodyPart = "Unknown";
    std::string modality;
    std::string accession = "Unknown";
};

struct SeriesValues {
    std::string uid;
    std::string contrastAgent;
    std::int32_t number = 0;
};

struct ImageValues {
    std::string sopInstanceUid;
    std::int32_t windowCenter = 0;
    std::int32_t windowWidth = 0;
    std::int32_t rows = 0;
    std::int32_t columns = 0;
    std::int32_t kvp = 0;
    std::int32_t collectionDiameter = 0;
    std::int32_t exposureTime = 0;
    std::int32_t exposure = 0;
    std::int32_t tubeCurrent = 0;
    std::int32_t imageNumber = 0;
    double sliceLocation = 0;
    std::int32_t sliceThickness = 0;
    std::string date;  // stored forms
    std::string time;
    // Values nothing reads that could not be converted and were stored as 0, e.g.
    // "slice thickness (0018,0050) '1E10' out of range": logged, never a failure.
    std::vector<std::string> unconverted;
};

using ReporterIds = std::array<std::int32_t, 3>;

enum class StudyRead { Complete = 1, NoModality = 2 };

PatientValues readPatientValues(const dicom::DataSet& ds);
// NoModality: the modality is absent or empty (the accession number is then not read).
StudyRead readStudyValues(const dicom::DataSet& ds, StudyValues& out);
SeriesValues readSeriesValues(const dicom::DataSet& ds);
ImageValues readImageValues(const dicom::DataSet& ds);
ReporterIds readReporterIds(const dicom::DataSet& ds);

// The UID the image's study is filed under: the study instance UID, or the series
// instance UID when the file has none. Empty when neither is present.
std::string studyFolderUid(const dicom::DataSet& ds);

// The SOP class a repaired image gets for its modality.
std::string sopClassForModality(const std::string& modality);

// Conversion rules, exposed for tests.
namespace rules {
// VB-like numeric test: blanks, sign, digits, one '.', exponent; at least one digit.
std::optional<double> parseNumber(const std::string& text);
// Nearest whole number, a half to the even neighbour, as 32-bit; throws on overflow.
std::int32_t wholeNumber(double v);
// The number before the decimal point ("-150.75" -> -150); a text with an exponent
// gives its value truncated ("1.25E2" -> 125). nullopt when not numeric.
std::optional<double> decimalRule(const std::string& text);
// The strict decimal rule: a text with "." gives the number before the "." (digits
// after it and an exponent are dropped: "2.5E1" -> 2); a text without "." is taken as
// a number. nullopt when not numeric.
std::optional<double> integerPart(const std::string& text);
// Replaces every ' by ´ (U+00B4).
std::string replaceApostrophes(const std::string& text);
std::string removeApostrophes(const std::string& text);
std::string trim(const std::string& text);
}  // namespace rules

}  // namespace corva::ingest
