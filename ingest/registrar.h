#pragma once
// Files one image read from the input folder in the image database: finds or creates
// its patient, study, series and image rows, or writes a repaired copy back into the
// input folder first (missing modality or SOP class, file name not the SOP instance UID).
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "db/database.h"
#include "dicom/dicom.h"
#include "image_values.h"

namespace corva::ingest {

// The same file (one inode under two names), or two files of equal bytes.
bool sameContent(const std::filesystem::path& a, const std::filesystem::path& b);
// Two files of one data set, byte for byte, whatever their file meta information says
// (the receiver's and the service's own copy of one object differ only there).
bool sameDataSet(const std::filesystem::path& a, const std::filesystem::path& b);

class IngestLog;

// The keys of the rows the last registration found or created.
struct Keys {
    std::int32_t patient = 0;
    std::int32_t study = 0;
    std::int32_t series = 0;
    std::int32_t image = 0;
};

// Registration status.
namespace status {
constexpr int Failed = 0;
constexpr int Registered = 1;
constexpr int AlreadyRegistered = -1;  // the SOP instance UID is in tblImages already
constexpr int CopiedUnderUid = 2;      // Temp/<SOP UID>.dcm written; the input file is to go
constexpr int Repaired = 3;            // Temp/<name>1 written; it takes the input file's place
// The SOP instance UID is registered already for another patient ID or study UID: a
// different image under a known UID, to be kept aside (conflict() tells both).
constexpr int Conflict = 4;
// The file changed while it was in hand (written again in place): nothing was
// committed, the file starts again.
constexpr int Changed = 5;
// A file of the name the image is to be copied under waits in the input folder
// already: nothing was written, the image waits until that one is filed.
constexpr int Waits = 6;
}  // namespace status

// Prepared statements live as long as the Registrar: create one per tick on the open
// connection and drop it before the connection closes.
class Registrar {
public:
    // `imageFolder` is the image store: a known image whose stored file is missing there
    // was registered by a pass that ended before its move.
    Registrar(db::Database& db, IngestLog& log, std::filesystem::path inputFolder,
              std::filesystem::path imageFolder);

    // Registers the image read (header only) from the input file `name`. A new image's
    // rows and its receive-table row are written in one transaction, before the caller
    // moves the file; a known image gets its receive-table row too. On success `keys`
    // holds the keys of the rows found or created. `stillTheFileRead` is asked just
    // before the commit: when it says no, nothing is committed (status::Changed).
    int registerImage(dicom::Image& image, Keys& keys, const std::string& name,
                      const std::function<bool()>& stillTheFileRead = {});

    // Fills in a SOP class from the modality when the image has none; false when it did.
    static bool checkSop(dicom::Image& image);
    static bool hasSopClass(const dicom::Image& image);

    // After Registered or AlreadyRegistered: the study UID of the study row the image
    // is filed under, whose folder in the image store takes the file (a known series
    // may belong to a study filed under another UID than the file names).
    const std::string& filedStudyUid() const { return filedStudyUid_; }
    // After Conflict: what is registered and what the file says.
    const std::string& conflict() const { return conflict_; }
    // After Failed: why the database failed when that was no fault of the file's
    // ("disk full"); such failures are not logged here but told as an outage.
    const std::optional<std::string>& storeFault() const { return storeFault_; }

private:
    struct Values {
        PatientValues patient;
        StudyValues study;
        SeriesValues series;
        ImageValues image;
        ReporterIds reporters{};
    };

    int registerRows(const Values& v, Keys& keys, const std::string& name,
                     const std::function<bool()>& stillTheFileRead);
    // The row of a registered image: its keys, its patient's ID and its study's UID.
    struct KnownImageRow {
        Keys keys;
        std::string patientId;
        std::string studyUid;
    };
    bool knownImage(const std::string& uid, bool& known, KnownImageRow& row);
    bool studyOfSeries(Keys& keys);
    bool insertReceiveRow(const Keys& keys);
    bool knownSeries(const std::string& uid, Keys& keys, bool& known);
    bool knownStudy(const std::string& uid, Keys& keys, bool& known);
    bool knownPatient(const PatientValues& p, Keys& keys, bool& known);
    bool newPatient(const PatientValues& p, Keys& keys);
    bool newStudy(const Values& v, Keys& keys);
    bool newSeries(const SeriesValues& s, Keys& keys);
    bool newImage(const ImageValues& i, Keys& keys);
    std::int32_t lookupOrInsert(const char* table, const char* textColumn, const char* keyColumn,
                                const std::string& text);

    // Writes the copy under a temporary name and renames it to `target`; with `replace`
    // false an existing target is kept and false returned.
    bool writeCopy(dicom::Image& image, const std::filesystem::path& target, bool replace);
    db::Statement& statement(const std::string& sql);
    std::int32_t newKey();
    void debug(const std::string& text);
    void logError(const std::exception& e, const char* tag);

    db::Database& db_;
    IngestLog& log_;
    std::filesystem::path input_;
    std::filesystem::path images_;
    std::map<std::string, db::Statement> statements_;
    std::string filedStudyUid_;
    std::string conflict_;
    std::optional<std::string> storeFault_;
};

}  // namespace corva::ingest
