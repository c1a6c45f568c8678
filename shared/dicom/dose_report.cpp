// The X-Ray Radiation Dose report, built with dcmsr.
#include "dcmtk_internal.h"  // first: DCMTK needs its configuration header before any other

#include "dicom/dose_report.h"

#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmsr/codes/dcm.h>
#include <dcmtk/dcmsr/dsrdoc.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <optional>

namespace corva::dicom {

namespace {

constexpr const char* Where = "dose report";

DSRCodedEntryValue code(const char* value, const char* scheme, const char* meaning)
{
    return DSRCodedEntryValue(value, scheme, meaning);
}

// The codes the report uses beside DCMTK's DCM constants, in SNOMED CT.
const DSRCodedEntryValue Mammography = code("71651007", "SCT", "Mammography");
const DSRCodedEntryValue HasIntent = code("363703001", "SCT", "Has Intent");
const DSRCodedEntryValue DiagnosticIntent = code("261004008", "SCT", "Diagnostic Intent");
const DSRCodedEntryValue Breast = code("76752008", "SCT", "Breast");
const DSRCodedEntryValue Laterality = code("272741003", "SCT", "Laterality");
const DSRCodedEntryValue Left = code("7771000", "SCT", "Left");
const DSRCodedEntryValue Right = code("24028007", "SCT", "Right");
const DSRCodedEntryValue LeftBreast = code("80248007", "SCT", "Left breast");
const DSRCodedEntryValue RightBreast = code("73056007", "SCT", "Right breast");
const DSRCodedEntryValue StationaryAcquisition = code("113611", "DCM", "Stationary Acquisition");
const DSRCodedEntryValue SinglePlane = code("113622", "DCM", "Single Plane");
const DSRCodedEntryValue FlatFilter = code("113653", "DCM", "Flat filter");
const DSRCodedEntryValue StudyScope = code("113014", "DCM", "Study");
const DSRCodedEntryValue StudyInstanceUid = code("110180", "DCM", "Study Instance UID");
const DSRCodedEntryValue ObserverType = code("121005", "DCM", "Observer Type");
const DSRCodedEntryValue DeviceObserver = code("121007", "DCM", "Device");
const DSRCodedEntryValue DeviceObserverUid = code("121012", "DCM", "Device Observer UID");
const DSRCodedEntryValue DeviceObserverName = code("121013", "DCM", "Device Observer Name");
const DSRCodedEntryValue ImageView = code("111031", "DCM", "Image View");
const DSRCodedEntryValue DateTimeStarted = code("111526", "DCM", "DateTime Started");
const DSRCodedEntryValue AccumulatedAgd = code("111637", "DCM", "Accumulated Average Glandular Dose");
const DSRCodedEntryValue IrradiatingDevice = code("113859", "DCM", "Irradiating Device");

// The materials the units name ("Mo/Rh"), as coded elements.
std::optional<DSRCodedEntryValue> materialCode(const std::string& symbol)
{
    static const std::map<std::string, DSRCodedEntryValue> materials = {
        {"Mo", code("105860002", "SCT", "Molybdenum or Molybdenum compound")},
        {"Rh", code("105877002", "SCT", "Rhodium or Rhodium compound")},
        {"W", code("105874009", "SCT", "Tungsten or Tungsten compound")},
        {"Ag", code("105847008", "SCT", "Silver or Silver compound")},
        {"Al", code("105830007", "SCT", "Aluminum or Aluminum compound")},
        {"Cu", code("105837005", "SCT", "Copper or Copper compound")},
    };
    const auto it = materials.find(symbol);
    if (it == materials.end())
        return std::nullopt;
    return it->second;
}

// The views for mammography: the images carry the SRT codes, the report the SNOMED CT ones.
std::optional<DSRCodedEntryValue> viewCode(const std::string& srt)
{
    static const std::map<std::string, DSRCodedEntryValue> views = {
        {"R-10242", code("399162004", "SCT", "cranio-caudal")},
        {"R-10244", code("399196006", "SCT", "caudo-cranial")},
        {"R-1024A", code("399192008", "SCT", "cranio-caudal exaggerated laterally")},
        {"R-1024B", code("399101009", "SCT", "cranio-caudal exaggerated medially")},
        {"R-10226", code("399368009", "SCT", "medio-lateral oblique")},
        {"R-10230", code("399099002", "SCT", "latero-medial oblique")},
        {"R-102D0", code("399188001", "SCT", "superolateral to inferomedial oblique")},
        {"R-40AAA", code("441555000", "SCT", "inferomedial to superolateral oblique")},
        {"R-10224", code("399260004", "SCT", "medio-lateral")},
        {"R-10228", code("399352003", "SCT", "latero-medial")},
    };
    const auto it = views.find(srt);
    if (it == views.end())
        return std::nullopt;
    return it->second;
}

DSRCodedEntryValue unit(const char* ucum, const char* meaning) { return code(ucum, "UCUM", meaning); }

// A decimal string of at most 16 characters.
std::string decimal(double value)
{
    for (int precision = 6; precision > 0; --precision) {
        char text[64];
        std::snprintf(text, sizeof text, "%.*g", precision, value);
        if (std::string(text).size() <= 16)
            return text;
    }
    return "0";
}

std::string dateText(const DateTime& t)
{
    char text[16];
    std::snprintf(text, sizeof text, "%04d%02d%02d", t.year, t.month, t.day);
    return text;
}

std::string timeText(const DateTime& t)
{
    char text[16];
    std::snprintf(text, sizeof text, "%02d%02d%02d", t.hour, t.minute, t.second);
    return text;
}

// Builds the content tree one item at a time; a refused item is an error, never a
// silently shorter report.
class TreeWriter {
public:
    explicit TreeWriter(DSRDocumentTree& tree) : tree_(tree) {}

    void root(const DSRCodedEntryValue& name, const char* templateId)
    {
        if (tree_.addContentItem(DSRTypes::RT_isRoot, DSRTypes::VT_Container) == 0)
            fail("root container");
        ok(tree_.getCurrentContentItem().setConceptName(name), "root name");
        ok(tree_.setTemplateIdentification(templateId, "DCMR"), "template identification");
    }
    // Adds an item below the current one and makes it current: call up() to return.
    DSRContentItem& child(DSRTypes::E_RelationshipType rel, DSRTypes::E_ValueType vt,
                          const DSRCodedEntryValue& name)
    {
        ok(tree_.addChildContentItem(rel, vt, name), "item " + std::string(name.getCodeMeaning().c_str()));
        return tree_.getCurrentContentItem();
    }
    void up() { tree_.goUp(); }

    void codeItem(DSRTypes::E_RelationshipType rel, const DSRCodedEntryValue& name, const DSRCodedEntryValue& value)
    {
        ok(child(rel, DSRTypes::VT_Code, name).setCodeValue(value), "code value");
        up();
    }
    void textItem(DSRTypes::E_RelationshipType rel, const DSRCodedEntryValue& name, const std::string& value)
    {
        ok(child(rel, DSRTypes::VT_Text, name).setStringValue(value.c_str()), "text value");
        up();
    }
    void uidItem(DSRTypes::E_RelationshipType rel, const DSRCodedEntryValue& name, const std::string& value)
    {
        ok(child(rel, DSRTypes::VT_UIDRef, name).setStringValue(value.c_str()), "UID value");
        up();
    }
    // Adds a number below the current item and makes it current.
    void numberChild(const DSRCodedEntryValue& name, double value, const DSRCodedEntryValue& units)
    {
        DSRNumericMeasurementValue number(decimal(value).c_str(), units);
        ok(child(DSRTypes::RT_contains, DSRTypes::VT_Num, name).setNumericValue(number), "numeric value");
    }
    void numberItem(const DSRCodedEntryValue& name, double value, const DSRCodedEntryValue& units)
    {
        numberChild(name, value, units);
        up();
    }

    static void ok(const OFCondition& cond, const std::string& what)
    {
        detail::check(cond, "Cannot write the dose report (" + what + ")");
    }
    [[noreturn]] static void fail(const std::string& what)
    {
        throw Error(errc::Generic, "Cannot write the dose report (" + what + ")", Where);
    }

private:
    DSRDocumentTree& tree_;
};

void writeObserver(TreeWriter& w, const DoseReportContent& c)
{
    w.codeItem(DSRTypes::RT_hasObsContext, ObserverType, DeviceObserver);
    w.uidItem(DSRTypes::RT_hasObsContext, DeviceObserverUid, c.observerUid);
    if (!c.observerName.empty())
        w.textItem(DSRTypes::RT_hasObsContext, DeviceObserverName, c.observerName);
    w.codeItem(DSRTypes::RT_hasObsContext, CODE_DCM_DeviceRoleInProcedure, IrradiatingDevice);
}

DSRCodedEntryValue sideCode(const std::string& laterality) { return laterality == "L" ? Left : Right; }

// The accumulated average glandular dose of each breast whose every event has a dose.
void writeAccumulated(TreeWriter& w, const DoseReportContent& c)
{
    w.child(DSRTypes::RT_contains, DSRTypes::VT_Container, CODE_DCM_AccumulatedXRayDoseData);
    w.codeItem(DSRTypes::RT_hasConceptMod, CODE_DCM_AcquisitionPlane, SinglePlane);
    if (c.quantity == DoseQuantity::AverageGlandularDose) {
        for (const char* side : {"L", "R"}) {
            double sum = 0;
            bool any = false, complete = true;
            for (const DoseEvent& e : c.events) {
                if (e.laterality != side)
                    continue;
                any = true;
                if (e.doseMGy)
                    sum += *e.doseMGy;
                else
                    complete = false;
            }
            if (!any || !complete)
                continue;
            w.numberChild(AccumulatedAgd, sum, unit("mGy", "mGy"));
            w.codeItem(DSRTypes::RT_hasConceptMod, Laterality, std::string(side) == "L" ? LeftBreast : RightBreast);
            w.up();
        }
    }
    w.up();
}

void writeEvent(TreeWriter& w, const DoseReportContent& c, const DoseEvent& e)
{
    w.child(DSRTypes::RT_contains, DSRTypes::VT_Container, CODE_DCM_IrradiationEventXRayData);
    w.codeItem(DSRTypes::RT_hasConceptMod, CODE_DCM_AcquisitionPlane, SinglePlane);
    w.uidItem(DSRTypes::RT_contains, CODE_DCM_IrradiationEventUID, e.eventUid);
    if (e.started.hasDate) {
        const std::string dt = dateText(e.started) + (e.started.hasTime ? timeText(e.started) : "");
        TreeWriter::ok(w.child(DSRTypes::RT_contains, DSRTypes::VT_DateTime, DateTimeStarted).setStringValue(dt.c_str()),
                       "event date and time");
        w.up();
    }
    w.codeItem(DSRTypes::RT_contains, CODE_DCM_IrradiationEventType, StationaryAcquisition);
    w.child(DSRTypes::RT_contains, DSRTypes::VT_Code, CODE_DCM_TargetRegion).setCodeValue(Breast);
    if (e.laterality == "L" || e.laterality == "R")
        w.codeItem(DSRTypes::RT_hasConceptMod, Laterality, sideCode(e.laterality));
    w.up();
    if (const auto view = viewCode(e.viewCode))
        w.codeItem(DSRTypes::RT_contains, ImageView, *view);
    if (e.thicknessMm)
        w.numberItem(CODE_DCM_CompressionThickness, *e.thicknessMm, unit("mm", "mm"));
    if (e.forceN)
        w.numberItem(CODE_DCM_CompressionForce, *e.forceN, unit("N", "N"));
    if (e.doseMGy) {
        if (c.quantity == DoseQuantity::AverageGlandularDose)
            w.numberItem(CODE_DCM_AverageGlandularDose, *e.doseMGy, unit("mGy", "mGy"));
        else
            w.numberItem(CODE_DCM_EntranceExposureAtRP, *e.doseMGy, unit("mGy", "mGy"));
    }
    if (const auto target = materialCode(e.anodeTarget))
        w.codeItem(DSRTypes::RT_contains, CODE_DCM_AnodeTargetMaterial, *target);
    if (const auto filter = materialCode(e.filterMaterial)) {
        w.child(DSRTypes::RT_contains, DSRTypes::VT_Container, CODE_DCM_XRayFilters);
        w.codeItem(DSRTypes::RT_contains, CODE_DCM_XRayFilterType, FlatFilter);
        w.codeItem(DSRTypes::RT_contains, CODE_DCM_XRayFilterMaterial, *filter);
        w.up();
    }
    if (e.kvp)
        w.numberItem(CODE_DCM_KVP, *e.kvp, unit("kV", "kV"));
    // The template counts the current-time product in microampere-seconds.
    if (e.currentTimeMas)
        w.numberItem(CODE_DCM_Exposure, *e.currentTimeMas * 1000.0, unit("uA.s", "uA.s"));
    if (e.exposureTimeMs)
        w.numberItem(CODE_DCM_ExposureTime, *e.exposureTimeMs, unit("ms", "ms"));
    w.up();
}

bool isAscii(const std::string& text)
{
    for (unsigned char ch : text)
        if (ch > 0x7E)
            return false;
    return true;
}

bool isAscii(const DoseReportContent& c)
{
    for (const std::string* text : {&c.patientName, &c.patientId, &c.studyId, &c.accessionNumber,
                                    &c.referringPhysician, &c.observerName, &c.manufacturer, &c.modelName,
                                    &c.deviceSerialNumber, &c.softwareVersions})
        if (!isAscii(*text))
            return false;
    return true;
}

// The content with its texts in ISO_IR 100, when each of them fits: readers check Latin-1
// text, where UTF-8 they take on trust.
std::optional<DoseReportContent> inLatin1(const DoseReportContent& c)
{
    DoseReportContent out = c;
    try {
        for (std::string* text : {&out.patientName, &out.patientId, &out.studyId, &out.accessionNumber,
                                  &out.referringPhysician, &out.observerName, &out.manufacturer, &out.modelName,
                                  &out.deviceSerialNumber, &out.softwareVersions})
            *text = detail::encodeText(*text, "ISO_IR 100", EVR_LO, Tag{0x0008, 0x0005});
    } catch (const Error&) {
        return std::nullopt;
    }
    return out;
}

void require(const std::string& value, const char* what)
{
    if (value.empty())
        throw Error(errc::Generic, std::string("Cannot write the dose report: no ") + what, Where);
}

}  // namespace

void writeDoseReport(const DoseReportContent& given, const std::filesystem::path& file)
{
    // A report in plain ASCII declares no character set, so that every reader takes it as it is.
    const bool ascii = isAscii(given);
    const std::optional<DoseReportContent> latin1 = ascii ? std::nullopt : inLatin1(given);
    const DoseReportContent& c = latin1 ? *latin1 : given;
    require(c.studyUid, "Study Instance UID");
    require(c.seriesUid, "Series Instance UID");
    require(c.sopInstanceUid, "SOP Instance UID");
    require(c.observerUid, "device observer UID");
    if (c.events.empty())
        throw Error(errc::Generic, "Cannot write the dose report: no exposure was applied to a stored image", Where);
    for (const DoseEvent& e : c.events)
        require(e.eventUid, "Irradiation Event UID");

    DSRDocument doc(DSRTypes::DT_XRayRadiationDoseSR);
    DSRDocumentTree& tree = doc.getTree();
    TreeWriter w(tree);
    w.root(CODE_DCM_XRayRadiationDoseReport, "10001");
    w.child(DSRTypes::RT_hasConceptMod, DSRTypes::VT_Code, CODE_DCM_ProcedureReported).setCodeValue(Mammography);
    w.codeItem(DSRTypes::RT_hasConceptMod, HasIntent, DiagnosticIntent);
    w.up();
    writeObserver(w, c);
    w.child(DSRTypes::RT_hasObsContext, DSRTypes::VT_Code, CODE_DCM_ScopeOfAccumulation).setCodeValue(StudyScope);
    w.uidItem(DSRTypes::RT_hasProperties, StudyInstanceUid, c.studyUid);
    w.up();
    writeAccumulated(w, c);
    for (const DoseEvent& e : c.events)
        writeEvent(w, c, e);
    w.codeItem(DSRTypes::RT_contains, CODE_DCM_SourceOfDoseInformation, CODE_DCM_AutomatedDataCollection);

    // Header: the patient and study of the images, a series of the report's own.
    using T = TreeWriter;
    if (!ascii)
        T::ok(doc.setSpecificCharacterSetType(latin1 ? DSRTypes::CS_Latin1 : DSRTypes::CS_UTF8), "character set");
    // The images' values as the modality wrote them: one its VR does not allow (a 13th
    // month, an accession number too long) is left empty rather than made invalid here.
    // (The toolkit's check leaves lengths alone: the VR's maximum, per name group for a PN.)
    using Setter = OFCondition (DSRDocument::*)(const OFString&, const OFBool);
    const bool utf8 = !ascii && !latin1;
    const auto copy = [&doc, utf8](Setter set, const std::string& value, std::size_t maxLength, const char* what) {
        bool fits = true;
        std::size_t characters = 0;
        for (const char ch : value + '=') {
            if (ch == '=') {
                fits = fits && characters <= maxLength;
                characters = 0;
            } else if (!utf8 || (static_cast<unsigned char>(ch) & 0xC0) != 0x80) {
                ++characters;  // a UTF-8 character counts once, not per byte
            }
        }
        if (!fits || !(doc.*set)(value.c_str(), OFTrue).good())
            T::ok((doc.*set)("", OFFalse), what);
    };
    copy(&DSRDocument::setPatientName, c.patientName, 64, "Patient's Name");
    copy(&DSRDocument::setPatientID, c.patientId, 64, "Patient ID");
    copy(&DSRDocument::setPatientBirthDate, c.patientBirthDate, 8, "Patient's Birth Date");
    copy(&DSRDocument::setPatientSex, c.patientSex, 16, "Patient's Sex");
    T::ok(doc.createNewSeriesInStudy(c.studyUid.c_str()), "Study Instance UID");
    copy(&DSRDocument::setStudyID, c.studyId, 16, "Study ID");
    copy(&DSRDocument::setStudyDate, c.studyDate, 8, "Study Date");
    copy(&DSRDocument::setStudyTime, c.studyTime, 16, "Study Time");
    copy(&DSRDocument::setAccessionNumber, c.accessionNumber, 16, "Accession Number");
    copy(&DSRDocument::setReferringPhysicianName, c.referringPhysician, 64, "Referring Physician's Name");
    T::ok(doc.setSeriesNumber(std::to_string(c.seriesNumber > 0 ? c.seriesNumber : 1).c_str()), "Series Number");
    T::ok(doc.setInstanceNumber("1"), "Instance Number");
    T::ok(doc.setSeriesDescription("Radiation Dose Report"), "Series Description");
    T::ok(doc.setManufacturer(c.manufacturer.c_str(), false), "Manufacturer");
    T::ok(doc.setManufacturerModelName(c.modelName.c_str(), false), "Manufacturer's Model Name");
    T::ok(doc.setDeviceSerialNumber(c.deviceSerialNumber.c_str(), false), "Device Serial Number");
    T::ok(doc.setSoftwareVersions(c.softwareVersions.c_str(), false), "Software Versions");
    if (c.content.hasDate) {
        T::ok(doc.setContentDate(dateText(c.content).c_str()), "Content Date");
        T::ok(doc.setContentTime(timeText(c.content).c_str()), "Content Time");
    }
    // The images the exposures made.
    for (const DoseEvent& e : c.events) {
        if (e.imageSopInstanceUid.empty() || e.imageSopClassUid.empty() || e.imageSeriesUid.empty())
            continue;
        T::ok(doc.getCurrentRequestedProcedureEvidence().addItem(c.studyUid.c_str(), e.imageSeriesUid.c_str(),
                                                                 e.imageSopClassUid.c_str(),
                                                                 e.imageSopInstanceUid.c_str()),
              "evidence");
    }
    T::ok(doc.completeDocument(), "completion");

    DcmFileFormat fileFormat;
    DcmDataset* dataset = fileFormat.getDataset();
    T::ok(doc.write(*dataset), "data set");
    // Our own UIDs, not the toolkit's.
    T::ok(dataset->putAndInsertString(DCM_SeriesInstanceUID, c.seriesUid.c_str()), "Series Instance UID");
    T::ok(dataset->putAndInsertString(DCM_SOPInstanceUID, c.sopInstanceUid.c_str()), "SOP Instance UID");
    detail::check(fileFormat.saveFile(file.c_str(), EXS_LittleEndianExplicit),
                  "Cannot write the dose report " + file.string());
}

std::string nameUid(const std::string& name)
{
    // FNV-1a: the same name gives the same UID on every machine and in every version.
    std::uint64_t hash = 14695981039346656037ULL;
    for (unsigned char ch : name) {
        hash ^= ch;
        hash *= 1099511628211ULL;
    }
    return std::string(SITE_INSTANCE_UID_ROOT) + ".9." + std::to_string(hash % 10000000000000000000ULL);
}

}  // namespace corva::dicom
