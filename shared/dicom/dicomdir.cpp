// DICOMDIR files: reading the record tree, writing PATIENT/STUDY/SERIES/IMAGE records.
//
// Records are built with DcmDirectoryRecord directly: our file IDs are
// "<SOP Instance UID>.dcm", longer than the 8 characters DCMTK's DicomDirInterface
// insists on. A medium for other systems (DicomDirMedium) is built by DicomDirInterface,
// which checks the profile's rules for every file.
#include "dcmtk_internal.h"  // first: DCMTK needs its configuration header before any other

#include <algorithm>
#include <system_error>

#include <dcmtk/dcmdata/dcdicdir.h>
#include <dcmtk/dcmdata/dcddirif.h>
#include <dcmtk/dcmdata/dcdirrec.h>

namespace corva::dicom {

using namespace detail;

namespace {

std::string text(DcmItem* item, const DcmTagKey& k)
{
    OFString s;
    if (item->findAndGetOFStringArray(k, s, OFFalse).bad())
        return {};
    return trim(s.c_str());
}

DirRecord toRecord(const std::shared_ptr<DcmDicomDir>& owner, DcmDirectoryRecord* rec)
{
    DirRecord out;
    out.type = text(rec, DCM_DirectoryRecordType);
    out.attributes = wrap(owner, rec);
    out.fileId = text(rec, DCM_ReferencedFileID);
    std::replace(out.fileId.begin(), out.fileId.end(), '\\', '/');
    for (unsigned long i = 0; i < rec->cardSub(); ++i)
        out.children.push_back(toRecord(owner, rec->getSub(i)));
    return out;
}

}  // namespace

std::vector<DirRecord> readDicomDir(const std::filesystem::path& file)
{
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec))
        throw Error(errc::NotFound, "File not found: " + file.string(), "dicom");
    // DcmDicomDir quietly starts an empty directory for a file it cannot use: check first.
    {
        DcmFileFormat probe;
        if (probe.loadFileUntilTag(file.string().c_str(), EXS_Unknown, EGL_noChange, DCM_MaxReadLength,
                                   ERM_autoDetect, DCM_DirectoryRecordSequence)
                .bad())
            throw Error(errc::NotDicom, "Not a readable DICOM file: " + file.string(), "dicom");
        OFString sopClass;
        probe.getMetaInfo()->findAndGetOFString(DCM_MediaStorageSOPClassUID, sopClass);
        if (sopClass != UID_MediaStorageDirectoryStorage)
            throw Error(errc::NotDicom, "Not a DICOMDIR: " + file.string(), "dicom");
    }
    auto dir = std::make_shared<DcmDicomDir>(file.string().c_str());
    check(dir->error(), "Cannot read the DICOMDIR " + file.string(), errc::NotDicom);
    DcmDirectoryRecord& root = dir->getRootRecord();
    std::vector<DirRecord> out;
    for (unsigned long i = 0; i < root.cardSub(); ++i)
        out.push_back(toRecord(dir, root.getSub(i)));
    return out;
}

struct DicomDirWriter::Impl {
    struct Entry {
        std::shared_ptr<DcmItem> attrs;  // copies of the image's attributes the records need
        std::string fileId;
        std::string transferSyntax;
    };
    std::string fileSetId;
    std::vector<Entry> entries;
};

DicomDirWriter::DicomDirWriter(std::string fileSetId) : impl_(std::make_unique<Impl>())
{
    impl_->fileSetId = std::move(fileSetId);
}

DicomDirWriter::~DicomDirWriter() = default;

namespace {

const DcmTagKey PatientKeys[] = {DCM_SpecificCharacterSet, DCM_PatientName, DCM_PatientID, DCM_PatientBirthDate,
                                 DCM_PatientSex};
const DcmTagKey StudyKeys[] = {DCM_SpecificCharacterSet, DCM_StudyDate,   DCM_StudyTime,      DCM_StudyDescription,
                               DCM_StudyInstanceUID,     DCM_StudyID,     DCM_AccessionNumber};
const DcmTagKey SeriesKeys[] = {DCM_SpecificCharacterSet, DCM_Modality, DCM_SeriesInstanceUID, DCM_SeriesNumber};
const DcmTagKey ImageKeys[] = {DCM_SpecificCharacterSet, DCM_InstanceNumber};

// Copies the attributes from the image (bytes unchanged, so names keep their
// character set); absent ones other than the character set are added empty.
template <std::size_t N>
void copyInto(DcmItem* from, DcmDirectoryRecord* to, const DcmTagKey (&keys)[N])
{
    for (const DcmTagKey& k : keys) {
        DcmElement* el = nullptr;
        std::unique_ptr<DcmElement> copy;
        if (from->findAndGetElement(k, el, OFFalse).good() && el)
            copy.reset(static_cast<DcmElement*>(el->clone()));
        else if (k != DCM_SpecificCharacterSet)
            copy.reset(DcmItem::newDicomElement(k));
        if (copy) {
            check(to->insert(copy.get(), OFTrue), "Cannot build a DICOMDIR record");
            copy.release();  // the record owns it
        }
    }
}

std::string rawText(DcmItem* item, const DcmTagKey& k)
{
    DcmElement* el = nullptr;
    char* p = nullptr;
    Uint32 len = 0;
    if (item->findAndGetElement(k, el, OFFalse).bad() || !el || el->getString(p, len).bad() || !p)
        return {};
    return trim(std::string(p, len));
}

DcmDirectoryRecord* findSub(DcmDirectoryRecord& parent, const std::vector<std::pair<DcmTagKey, std::string>>& match)
{
    for (unsigned long i = 0; i < parent.cardSub(); ++i) {
        DcmDirectoryRecord* sub = parent.getSub(i);
        if (std::all_of(match.begin(), match.end(), [&](const auto& m) { return rawText(sub, m.first) == m.second; }))
            return sub;
    }
    return nullptr;
}

template <std::size_t N>
DcmDirectoryRecord* findOrAdd(DcmDirectoryRecord& parent, E_DirRecType type, DcmItem* attrs,
                              const DcmTagKey (&keys)[N], const std::vector<DcmTagKey>& identity)
{
    std::vector<std::pair<DcmTagKey, std::string>> match;
    for (const auto& k : identity)
        match.emplace_back(k, rawText(attrs, k));
    if (DcmDirectoryRecord* found = findSub(parent, match))
        return found;
    auto rec = std::make_unique<DcmDirectoryRecord>(type, nullptr, OFFilename());
    copyInto(attrs, rec.get(), keys);
    DcmDirectoryRecord* raw = rec.get();
    check(parent.insertSub(rec.get()), "Cannot add a DICOMDIR record");
    rec.release();  // the parent record owns it
    return raw;
}

void putText(DcmItem* item, const DcmTagKey& k, const std::string& value)
{
    check(item->putAndInsertString(k, value.c_str()), "Cannot build a DICOMDIR record");
}

}  // namespace

void DicomDirWriter::addImage(const Image& image, const std::string& relativeFileId, const std::string& transferSyntaxUid)
{
    if (relativeFileId.empty())
        throw Error(errc::InvalidName, "A DICOMDIR record needs a file name", "dicom");
    DcmItem* ds = image.attributes().impl()->item;
    auto attrs = std::make_shared<DcmItem>();
    auto copyKey = [&](const DcmTagKey& k) {
        DcmElement* el = nullptr;
        if (ds->findAndGetElement(k, el, OFFalse).good() && el) {
            std::unique_ptr<DcmElement> copy(static_cast<DcmElement*>(el->clone()));
            check(attrs->insert(copy.get(), OFTrue), "Cannot copy attributes for the DICOMDIR");
            copy.release();  // the item owns it
        }
    };
    for (const auto& k : PatientKeys) copyKey(k);
    for (const auto& k : StudyKeys) copyKey(k);
    for (const auto& k : SeriesKeys) copyKey(k);
    for (const auto& k : ImageKeys) copyKey(k);
    copyKey(DCM_SOPClassUID);
    copyKey(DCM_SOPInstanceUID);
    // Without a given syntax, the one Image::write() uses for it.
    std::string ts = transferSyntaxUid.empty() ? image.transferSyntax() : transferSyntaxUid;
    if (ts.empty())
        ts = uid::ExplicitLittleEndian;
    impl_->entries.push_back({attrs, relativeFileId, ts});
}

void DicomDirWriter::write(const std::filesystem::path& dicomDirFile)
{
    // Built under a fresh name (DcmDicomDir would read and extend an existing file),
    // then renamed over the target.
    const std::filesystem::path temp = dicomDirFile.string() + ".new";
    std::error_code ec;
    std::filesystem::remove(temp, ec);
    {
        DcmDicomDir dir(temp.string().c_str(), impl_->fileSetId.c_str());
        DcmDirectoryRecord& root = dir.getRootRecord();
        for (const auto& e : impl_->entries) {
            DcmItem* a = e.attrs.get();
            DcmDirectoryRecord* patient =
                findOrAdd(root, ERT_Patient, a, PatientKeys, {DCM_PatientID, DCM_PatientName});
            DcmDirectoryRecord* study = findOrAdd(*patient, ERT_Study, a, StudyKeys, {DCM_StudyInstanceUID});
            DcmDirectoryRecord* series = findOrAdd(*study, ERT_Series, a, SeriesKeys, {DCM_SeriesInstanceUID});
            auto rec = std::make_unique<DcmDirectoryRecord>(ERT_Image, nullptr, OFFilename());
            copyInto(a, rec.get(), ImageKeys);
            std::string fileId = e.fileId;
            std::replace(fileId.begin(), fileId.end(), '/', '\\');
            putText(rec.get(), DCM_ReferencedFileID, fileId);
            putText(rec.get(), DCM_ReferencedSOPClassUIDInFile, rawText(a, DCM_SOPClassUID));
            putText(rec.get(), DCM_ReferencedSOPInstanceUIDInFile, rawText(a, DCM_SOPInstanceUID));
            putText(rec.get(), DCM_ReferencedTransferSyntaxUIDInFile, e.transferSyntax);
            check(series->insertSub(rec.get()), "Cannot add a DICOMDIR record");
            rec.release();  // the series record owns it
        }
        const OFCondition cond = dir.write(DICOMDIR_DEFAULT_TRANSFERSYNTAX, EET_UndefinedLength, EGL_withoutGL);
        if (cond.bad()) {
            std::filesystem::remove(temp, ec);
            throw Error(errc::Generic, "Cannot write the DICOMDIR " + dicomDirFile.string() + ": " + cond.text(),
                        "dicom");
        }
    }
    std::filesystem::rename(temp, dicomDirFile, ec);
    if (ec) {
        std::filesystem::remove(temp, ec);
        throw Error(errc::Generic, "Cannot write the DICOMDIR " + dicomDirFile.string() + ": " + ec.message(), "dicom");
    }
}

struct DicomDirMedium::Impl {
    std::filesystem::path root;
    std::string fileSetId;
    DicomDirInterface dir;
    bool started = false;

    std::filesystem::path file() const { return root / "DICOMDIR"; }

    void start()
    {
        if (started)
            return;
        // Files that break the profile are refused in any mode; abort mode would also
        // refuse an image whose patient name is spelt differently from an earlier one
        // of the same patient ID. Without it the record keeps the first values.
        dir.enableAbortMode(OFFalse);
        // Type 1 attributes the image lacks (a study ID, a series number) get values.
        dir.enableInventMode(OFTrue);
        dir.enableInventPatientIDMode(OFFalse);
        dir.disableBackupMode(OFFalse);
        std::error_code ec;
        const bool exists = std::filesystem::is_regular_file(file(), ec);
        const OFFilename name(file().c_str());
        const OFCondition cond = exists ? dir.appendToDicomDir(DicomDirInterface::AP_GeneralPurpose, name)
                                        : dir.createNewDicomDir(DicomDirInterface::AP_GeneralPurpose, name,
                                                                OFString(fileSetId.c_str()));
        check(cond, "Cannot start the DICOMDIR " + file().string());
        started = true;
    }
};

DicomDirMedium::DicomDirMedium(std::filesystem::path root, std::string fileSetId) : impl_(std::make_unique<Impl>())
{
    impl_->root = std::move(root);
    impl_->fileSetId = std::move(fileSetId);
}

DicomDirMedium::~DicomDirMedium() = default;

bool DicomDirMedium::isConformantFileId(const std::string& fileId)
{
    int components = 0;
    std::size_t start = 0;
    while (start <= fileId.size()) {
        const std::size_t end = std::min(fileId.find('/', start), fileId.size());
        const std::string part = fileId.substr(start, end - start);
        if (part.empty() || part.size() > 8 || ++components > 8)
            return false;
        for (char c : part)
            if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'))
                return false;
        start = end + 1;
    }
    return components > 0;
}

void DicomDirMedium::add(const std::string& fileId)
{
    if (!isConformantFileId(fileId))
        throw Error(errc::InvalidName, "Not a DICOMDIR file ID: " + fileId, "dicom");
    impl_->start();
    check(impl_->dir.addDicomFile(OFFilename(fileId.c_str()), OFFilename(impl_->root.c_str())),
          "Cannot add " + fileId + " to the DICOMDIR");
}

void DicomDirMedium::write()
{
    impl_->start();
    check(impl_->dir.writeDicomDir(EET_UndefinedLength, EGL_withoutGL),
          "Cannot write the DICOMDIR " + impl_->file().string());
}

}  // namespace corva::dicom
