#include "dicom/storage_server.h"

#include "tls_layer.h"  // first: DCMTK needs its configuration header before any other
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmdata/dcostrma.h>
#include <dcmtk/dcmdata/dcostrmf.h>
#include <dcmtk/dcmnet/dimse.h>
#include <dcmtk/dcmnet/diutil.h>
#include <dcmtk/dcmnet/dul.h>
#include <dcmtk/dcmnet/dulstruc.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/scpthrd.h>
#include <dcmtk/dcmtls/tlstrans.h>
#include <dcmtk/oflog/oflog.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "core/error.h"
#include "core/paths.h"
#include "dicom/dicom.h"

namespace corva::dicom::detail {
bool readCommitmentReport(DcmItem& dataset, CommitmentReport& report);
}

namespace corva::dicom {
namespace {

namespace fs = std::filesystem;

constexpr const char* PartSuffix = ".part";
// How long a peer may take to send its association request or release.
constexpr int AcseTimeoutSeconds = 10;

// Transfer syntaxes we take, in the order we prefer them when a context offers several.
// Objects are written exactly as they arrive, so compressed ones stay compressed.
const char* StorageTransferSyntaxes[] = {
    UID_LittleEndianExplicitTransferSyntax, UID_LittleEndianImplicitTransferSyntax,
    UID_BigEndianExplicitTransferSyntax,    UID_JPEGProcess14SV1TransferSyntax,
    UID_JPEGProcess14TransferSyntax,        UID_JPEGProcess1TransferSyntax,
    UID_JPEGProcess2_4TransferSyntax,       UID_JPEGLSLosslessTransferSyntax,
    UID_JPEGLSLossyTransferSyntax,          UID_JPEG2000LosslessOnlyTransferSyntax,
    UID_JPEG2000TransferSyntax,             UID_RLELosslessTransferSyntax};
const char* VerificationSopClass[] = {UID_VerificationSOPClass};
const char* VerificationTransferSyntaxes[] = {UID_LittleEndianExplicitTransferSyntax,
                                              UID_LittleEndianImplicitTransferSyntax};

std::string trimmed(const char* text)
{
    std::string s = text ? text : "";
    const auto first = s.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

// The executable of a process, empty when the process is gone.
std::string executableOf(const std::string& pid, bool& gone)
{
    std::error_code ec;
    auto exe = fs::read_symlink("/proc/" + pid + "/exe", ec);
    gone = ec == std::errc::no_such_file_or_directory;
    return ec ? std::string() : exe.string();
}

// A storage SOP class as storescp's promiscuous mode takes it: one the toolkit lists,
// one of the storage branch of the standard's UIDs (newer classes), or a private UID.
bool isStorageSopClass(const std::string& uid)
{
    const std::string standard = "1.2.840.10008.";
    return dcmIsaStorageSOPClassUID(uid.c_str(), ESSC_All) || uid.rfind("1.2.840.10008.5.1.4.1.1.", 0) == 0 ||
           uid.rfind(standard, 0) != 0;
}

std::string sopClassName(const std::string& uid)
{
    const char* name = dcmFindNameOfUID(uid.c_str());
    return name ? uid + " (" + name + ")" : uid;
}

// A file or socket descriptor, closed with its owner.
class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    void reset()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

// "AE (address)", or the address alone while the peer has not named itself.
std::string peerText(const std::string& callingAe, const std::string& address)
{
    return callingAe.empty() ? address : callingAe + " (" + address + ")";
}

// Makes the folder's entries durable: a renamed file is on disk only once its folder is.
int syncFolder(const fs::path& folder)
{
    UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0 || ::fsync(fd.get()) != 0)
        return errno ? errno : EIO;
    return 0;
}

// Gives the complete file its final name "<uid>.dcm", or "<uid>-<n>.dcm" while that
// name is taken by a file still waiting: a resent object never replaces the first copy.
// ("-" cannot occur in a UID, so the name cannot be taken for another object's.)
fs::path placeFile(const fs::path& part, const fs::path& folder, const std::string& uid, int& error)
{
    for (int n = 1; n <= 100000; ++n) {
        const fs::path target = folder / (n == 1 ? uid + ".dcm" : uid + "-" + std::to_string(n) + ".dcm");
        if (::renameat2(AT_FDCWD, part.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0)
            return target;
        if (errno == EEXIST)
            continue;
        if (errno != EINVAL && errno != ENOSYS) {
            error = errno;
            return {};
        }
        // A file system without the no-replace rename: a hard link fails on a taken name too.
        if (::link(part.c_str(), target.c_str()) == 0) {
            ::unlink(part.c_str());
            return target;
        }
        if (errno != EEXIST) {
            error = errno;
            return {};
        }
    }
    error = EEXIST;
    return {};
}

// An object of an image storage SOP class without any pixel data is no image. Reads
// the element headers only (large values stay on disk); a file the toolkit cannot
// parse is left to the ingest service, which sets such files aside.
bool imageWithoutPixelData(const fs::path& file, const std::string& sopClass)
{
    if (!dcmIsImageStorageSOPClassUID(sopClass.c_str()))
        return false;
    DcmFileFormat format;
    if (format.loadFile(OFFilename(file.c_str()), EXS_Unknown, EGL_noChange, 1024, ERM_autoDetect).bad())
        return false;
    DcmDataset* dataset = format.getDataset();
    for (const DcmTagKey& tag : {DCM_PixelData, DCM_FloatPixelData, DCM_DoubleFloatPixelData}) {
        DcmElement* element = nullptr;
        if (dataset->findAndGetElement(tag, element).good() && element && element->getLengthField() != 0)
            return false;
    }
    return true;
}

// Receives a data set into a file, and keeps taking it off the wire when writing fails
// (disk full, file too large): the toolkit would stop reading in the middle of the data
// set, and the association could only be aborted. The failure is kept for the answer.
class TolerantFileConsumer : public DcmConsumer {
public:
    explicit TolerantFileConsumer(const fs::path& file) : file_(std::fopen(file.c_str(), "ab"))
    {
        if (!file_)
            error_ = errno ? errno : EIO;
    }
    ~TolerantFileConsumer() override { close(); }

    OFBool good() const override { return OFTrue; }
    OFCondition status() const override { return EC_Normal; }
    OFBool isFlushed() const override { return OFTrue; }
    offile_off_t avail() const override { return 1 << 30; }
    offile_off_t write(const void* buf, offile_off_t len) override
    {
        if (file_ && error_ == 0 && std::fwrite(buf, 1, static_cast<std::size_t>(len), file_) != static_cast<std::size_t>(len))
            error_ = errno ? errno : EIO;
        return len;
    }
    void flush() override
    {
        if (file_ && error_ == 0 && std::fflush(file_) != 0)
            error_ = errno ? errno : EIO;
    }
    // Closes the file; the first write error, 0 when all was written and is on disk.
    int close()
    {
        if (file_) {
            if (error_ == 0 && std::fflush(file_) != 0)
                error_ = errno ? errno : EIO;
            if (error_ == 0 && ::fsync(::fileno(file_)) != 0)
                error_ = errno ? errno : EIO;
            if (std::fclose(file_) != 0 && error_ == 0)
                error_ = errno ? errno : EIO;
            file_ = nullptr;
        }
        return error_;
    }

private:
    std::FILE* file_;
    int error_ = 0;
};

class TolerantFileStream : public DcmOutputStream {
public:
    explicit TolerantFileStream(const fs::path& file) : DcmOutputStream(&consumer_), consumer_(file) {}
    int close()
    {
        flush();
        return consumer_.close();
    }

private:
    TolerantFileConsumer consumer_;
};

}  // namespace

// What every association thread shares: the configuration, the reports and the
// counter that keeps partial file names apart when two peers send the same UID.
struct ServerContext {
    StorageServerConfig config;
    StorageEvents events;
    std::atomic<unsigned long> partCounter{0};
    std::string pid = std::to_string(::getpid());

    fs::path partFile(const std::string& uid)
    {
        return config.outputFolder / ("." + uid + "." + pid + "-" + std::to_string(++partCounter) + PartSuffix);
    }

    void problem(const std::string& condition, const std::string& text) const
    {
        if (events.problem)
            events.problem(condition, text);
    }
    void resolved(const std::string& condition) const
    {
        if (events.resolved)
            events.resolved(condition);
    }
};

namespace {

// One association: C-ECHO is answered by the base class; each C-STORE is received
// straight into a partial file and renamed to "<SOP Instance UID>.dcm" when complete.
class ReceiverScp : public DcmThreadSCP {
public:
    ReceiverScp(ServerContext& context, T_ASC_Association* assoc) : context_(context), assoc_(assoc) {}

protected:
    OFCondition handleIncomingCommand(T_DIMSE_Message* message, const DcmPresentationContextInfo& info) override
    {
        if (message->CommandField == DIMSE_N_EVENT_REPORT_RQ && info.abstractSyntax == uid::StorageCommitmentPushModel &&
            context_.events.commitmentReported) {
            DcmDataset* received = nullptr;
            Uint16 eventType = 0;
            T_ASC_PresentationContextID presId = info.presentationContextID;
            const OFCondition cond =
                handleEVENTREPORTRequest(message->msg.NEventReportRQ, presId, received, eventType);
            const std::unique_ptr<DcmDataset> owned(received);
            return cond;
        }
        if (message->CommandField != DIMSE_C_STORE_RQ)
            return DcmThreadSCP::handleIncomingCommand(message, info);
        return handleStore(message->msg.CStoreRQ, info.presentationContextID);
    }

    // A commitment report: kept by the receiver's owner, or answered as a failure that
    // the archive may repeat.
    Uint16 checkEVENTREPORTRequest(T_DIMSE_N_EventReportRQ& request, DcmDataset* dataset) override
    {
        if (request.EventTypeID != 1 && request.EventTypeID != 2)
            return STATUS_N_NoSuchEventType;
        CommitmentReport report;
        if (!dataset || !detail::readCommitmentReport(*dataset, report))
            return STATUS_N_InvalidArgumentValue;
        bool kept = false;
        try {
            kept = context_.events.commitmentReported(report, callingAe_, peer_);
        } catch (...) {
            kept = false;
        }
        return kept ? STATUS_Success : STATUS_N_ProcessingFailure;
    }

    void notifyAssociationRequest(const T_ASC_Parameters& params, DcmSCPActionType& desiredAction) override
    {
        // The toolkit hands the request over read-only here; negotiateAssociation() below
        // answers its presentation contexts in place, as storescp does.
        params_ = const_cast<T_ASC_Parameters*>(&params);
        callingAe_ = trimmed(params.DULparams.callingAPTitle);
        peer_ = params.DULparams.callingPresentationAddress;
        stored_ = 0;
        refused_ = 0;
        aborted_ = false;
        receiveFailed_ = false;
        accepted_ = false;
        DcmThreadSCP::notifyAssociationRequest(params, desiredAction);
    }

    // Every storage SOP class is more than an association profile holds (128 contexts),
    // so each proposed context is answered here: verification, and every storage SOP
    // class including private and newer ones, with a transfer syntax it proposes.
    OFCondition negotiateAssociation() override
    {
        if (!params_)
            return ASC_NULLKEY;
        OFCondition cond = ASC_acceptContextsWithPreferredTransferSyntaxes(
            params_, VerificationSopClass, 1, VerificationTransferSyntaxes, 2);
        const int count = ASC_countPresentationContexts(params_);
        for (int i = 0; cond.good() && i < count; ++i) {
            T_ASC_PresentationContext pc;
            cond = ASC_getPresentationContext(params_, i, &pc);
            if (cond.bad())
                break;
            const std::string sopClass = pc.abstractSyntax;
            if (sopClass == UID_VerificationSOPClass)
                continue;
            if (sopClass == uid::StorageCommitmentPushModel && context_.events.commitmentReported) {
                // The archive reports as the commitment's provider on its own association:
                // the role it proposes is accepted as it is.
                const std::string syntax = chooseTransferSyntax(pc);
                cond = syntax.empty() ? ASC_refusePresentationContext(params_, pc.presentationContextID,
                                                                      ASC_P_TRANSFERSYNTAXESNOTSUPPORTED)
                                      : ASC_acceptPresentationContext(params_, pc.presentationContextID,
                                                                      syntax.c_str(), pc.proposedRole);
                continue;
            }
            if (!isStorageSopClass(sopClass)) {
                cond = ASC_refusePresentationContext(params_, pc.presentationContextID, ASC_P_ABSTRACTSYNTAXNOTSUPPORTED);
                reportRefusedContext(sopClass, "not a storage SOP class");
                continue;
            }
            const std::string syntax = chooseTransferSyntax(pc);
            if (syntax.empty()) {
                cond = ASC_refusePresentationContext(params_, pc.presentationContextID,
                                                     ASC_P_TRANSFERSYNTAXESNOTSUPPORTED);
                reportRefusedContext(sopClass, "none of the proposed transfer syntaxes is supported");
                continue;
            }
            cond = ASC_acceptPresentationContext(params_, pc.presentationContextID, syntax.c_str());
        }
        if (cond.bad())
            context_.problem("negotiation @" + peer_, "Negotiation with " + peerText(callingAe_, peer_) +
                                                          " failed: " + cond.text());
        return cond;
    }

    OFBool checkCalledAETitleAccepted(const OFString& calledAe) override
    {
        return trimmed(calledAe.c_str()) == context_.config.aeTitle;
    }

    OFBool checkCallingAETitleAccepted(const OFString& callingAe) override
    {
        const auto& allowed = context_.config.allowedCallingAeTitles;
        if (allowed.empty())
            return OFTrue;
        const std::string title = trimmed(callingAe.c_str());
        for (const auto& entry : allowed)
            if (title == entry)
                return OFTrue;
        return OFFalse;
    }

    // The address the connection came from, as the toolkit recorded it when it took the
    // socket (what it hands to this check is not always the address).
    OFBool checkCallingHostAccepted(const OFString&) override
    {
        const auto& allowed = context_.config.allowedPeers;
        return allowed.empty() ||
               (assoc_ && assoc_->params && peerMatches(assoc_->params->DULparams.callingPresentationAddress, allowed));
    }

    void refuseAssociation(const DcmRefuseReasonType reason) override
    {
        if (assoc_ && assoc_->params) {
            callingAe_ = trimmed(assoc_->params->DULparams.callingAPTitle);
            peer_ = assoc_->params->DULparams.callingPresentationAddress;
        }
        if (context_.events.associationRefused)
            context_.events.associationRefused(callingAe_, peer_, refuseText(reason));
        DcmThreadSCP::refuseAssociation(reason);
    }

    void notifyAssociationAcknowledge() override
    {
        accepted_ = true;
        if (context_.events.associationAccepted)
            context_.events.associationAccepted(callingAe_, peer_);
    }

    void notifyAbortRequest() override { aborted_ = true; }

    void notifyDIMSEError(const OFCondition& cond) override
    {
        aborted_ = true;
        if (!receiveFailed_)
            context_.problem("broken off @" + peer_, "Association from " + peerText(callingAe_, peer_) +
                                                         " broken off: " + cond.text());
    }

    void notifyAssociationTermination() override
    {
        if (accepted_ && context_.events.associationEnded)
            context_.events.associationEnded(callingAe_, peer_, stored_, refused_, aborted_);
        if (accepted_ && !aborted_)
            context_.resolved("@" + peer_);
        accepted_ = false;
    }

private:
    // Our preferred transfer syntax among those proposed; else the first proposed one
    // the toolkit knows (objects are written as they arrive). Empty when none.
    static std::string chooseTransferSyntax(const T_ASC_PresentationContext& pc)
    {
        for (const char* ours : StorageTransferSyntaxes)
            for (int t = 0; t < pc.transferSyntaxCount; ++t)
                if (std::strcmp(pc.proposedTransferSyntaxes[t], ours) == 0)
                    return ours;
        for (int t = 0; t < pc.transferSyntaxCount; ++t)
            if (DcmXfer(pc.proposedTransferSyntaxes[t]).getXfer() != EXS_Unknown)
                return pc.proposedTransferSyntaxes[t];
        return {};
    }

    void reportRefusedContext(const std::string& sopClass, const std::string& why)
    {
        if (context_.events.contextRefused)
            context_.events.contextRefused(callingAe_, peer_, sopClassName(sopClass), why);
    }

    OFCondition handleStore(T_DIMSE_C_StoreRQ& request, T_ASC_PresentationContextID presId)
    {
        const std::string uid = trimmed(request.AffectedSOPInstanceUID);
        if (!corva::isSafeUid(uid))
            return refuse(request, presId, uid, "SOP instance UID is not a valid UID");

        // The input folder may have been removed while we ran.
        std::error_code ec;
        if (!fs::is_directory(context_.config.outputFolder, ec))
            fs::create_directories(context_.config.outputFolder, ec);
        const fs::path& folder = context_.config.outputFolder;
        const fs::path part = context_.partFile(uid);
        int writeError = 0;
        OFCondition cond = receiveIntoFile(request, presId, part, writeError);
        if (cond.bad()) {
            // A transfer broken off leaves nothing behind; the association is over.
            fs::remove(part, ec);
            receiveFailed_ = true;
            context_.problem("receive @" + peer_, "Receiving " + uid + " failed: " + cond.text() + " (from " +
                                                      peerText(callingAe_, peer_) + ")");
            return cond;
        }
        if (writeError != 0) {
            fs::remove(part, ec);
            return answerWriteFailure(request, presId, uid, writeError,
                                      "cannot write " + part.filename().string());
        }

        // Checked before anything parses it: a file nested too deep would overflow the
        // toolkit's recursive reader wherever it is read.
        if (const FileStructure structure = checkFileStructure(part); !structure.sound()) {
            fs::remove(part, ec);
            return answerFailure(request, presId, uid, STATUS_STORE_Error_CannotUnderstand, structure.problem);
        }
        if (imageWithoutPixelData(part, trimmed(request.AffectedSOPClassUID))) {
            fs::remove(part, ec);
            return answerFailure(request, presId, uid, STATUS_STORE_Error_CannotUnderstand,
                                 "an image storage object without pixel data");
        }

        int placeError = 0;
        const fs::path file = placeFile(part, folder, uid, placeError);
        if (file.empty()) {
            std::error_code ignored;
            fs::remove(part, ignored);
            return answerWriteFailure(request, presId, uid, placeError, "cannot name the file for " + uid);
        }
        // Answered only once the file's folder entry is on disk too (the file was synced as it closed).
        if (const int syncError = syncFolder(folder); syncError != 0) {
            std::error_code ignored;
            fs::remove(file, ignored);
            return answerWriteFailure(request, presId, uid, syncError, "cannot sync " + folder.string());
        }
        ++stored_;
        context_.resolved("write");
        if (context_.events.objectStored)
            context_.events.objectStored(file);
        return sendSTOREResponse(presId, request, STATUS_Success);
    }

    // The data set exactly as it arrives, behind the meta information the toolkit makes
    // from the request. A failing write does not stop the reading: writeError tells.
    OFCondition receiveIntoFile(T_DIMSE_C_StoreRQ& request, T_ASC_PresentationContextID presId, const fs::path& part,
                                int& writeError)
    {
        DcmOutputFileStream* meta = nullptr;
        OFCondition cond = DIMSE_createFilestream(OFFilename(part.c_str()), &request, assoc_, presId, OFTrue, &meta);
        delete meta;  // closes the file with its meta information
        if (cond.bad()) {
            writeError = errno ? errno : EIO;
            DIC_UL bytes = 0, pdvs = 0;
            return DIMSE_ignoreDataSet(assoc_, getDIMSEBlockingMode(), static_cast<int>(getDIMSETimeout()), &bytes,
                                       &pdvs);
        }
        TolerantFileStream stream(part);
        T_ASC_PresentationContextID dataPresId = presId;
        cond = DIMSE_receiveDataSetInFile(assoc_, getDIMSEBlockingMode(), static_cast<int>(getDIMSETimeout()),
                                          &dataPresId, &stream, nullptr, nullptr);
        writeError = stream.close();
        return cond;
    }

    OFCondition answerFailure(T_DIMSE_C_StoreRQ& request, T_ASC_PresentationContextID presId, const std::string& uid,
                              Uint16 status, const std::string& reason)
    {
        ++refused_;
        if (context_.events.objectRefused)
            context_.events.objectRefused(callingAe_, peer_, uid, reason);
        return sendSTOREResponse(presId, request, status);
    }

    // The disk refused a file (full, too large, gone): out of resources, so that the
    // sender keeps the object and sends it again. Reported as a condition that lasts
    // until a file is written again.
    OFCondition answerWriteFailure(T_DIMSE_C_StoreRQ& request, T_ASC_PresentationContextID presId,
                                   const std::string& uid, int error, const std::string& what)
    {
        ++refused_;
        context_.problem("write " + std::string(std::strerror(error)),
                         "Refused object \"" + uid + "\": " + what + ": " + std::strerror(error) + " (from " +
                             peerText(callingAe_, peer_) + ")");
        return sendSTOREResponse(presId, request, STATUS_STORE_Refused_OutOfResources);
    }

    // Takes the object off the wire unread (nothing parses it) so that the association
    // can go on, then answers with a failure status: its UID cannot become a file name.
    OFCondition refuse(T_DIMSE_C_StoreRQ& request, T_ASC_PresentationContextID presId, const std::string& uid,
                       const std::string& reason)
    {
        DIC_UL bytes = 0, pdvs = 0;
        OFCondition cond =
            DIMSE_ignoreDataSet(assoc_, getDIMSEBlockingMode(), static_cast<int>(getDIMSETimeout()), &bytes, &pdvs);
        if (cond.bad())
            return cond;
        return answerFailure(request, presId, uid, STATUS_STORE_Error_CannotUnderstand, reason);
    }

    static std::string refuseText(DcmRefuseReasonType reason)
    {
        switch (reason) {
        case DCMSCP_CALLED_AE_TITLE_NOT_RECOGNIZED:
            return "called AE title not recognized";
        case DCMSCP_NO_PRESENTATION_CONTEXTS:
            return "no acceptable presentation contexts";
        case DCMSCP_BAD_APPLICATION_CONTEXT_NAME:
            return "bad application context";
        case DCMSCP_TOO_MANY_ASSOCIATIONS:
            return "too many associations";
        case DCMSCP_CALLING_AE_TITLE_NOT_RECOGNIZED:
            return "calling AE title not allowed";
        case DCMSCP_CALLING_HOST_NOT_ALLOWED:
            return "calling address not allowed";
        default:
            return "refused";
        }
    }

    ServerContext& context_;
    T_ASC_Association* assoc_;            // the association this object serves
    T_ASC_Parameters* params_ = nullptr;  // of the association being negotiated
    std::string callingAe_;
    std::string peer_;
    int stored_ = 0;
    int refused_ = 0;
    bool aborted_ = false;
    bool accepted_ = false;
    bool receiveFailed_ = false;  // already reported; the association ends with it
};

// How a connection's association request arrived, before the toolkit reads it.
enum class Arrival { Complete, Silent, Closed, NotARequest, Stopped };

// How the first unit a connection must bring is framed: an A-ASSOCIATE-RQ PDU on the
// plain port, a TLS handshake record (the client's hello) on the TLS port.
struct Framing {
    std::size_t header;                         // bytes up to and with the length
    unsigned char type;                         // the first byte
    std::size_t (*length)(const unsigned char*);  // the length that follows the header
    std::size_t limit;
};

std::size_t pduLength(const unsigned char* head)
{
    return (std::size_t{head[2]} << 24) | (std::size_t{head[3]} << 16) | (std::size_t{head[4]} << 8) |
           std::size_t{head[5]};
}

std::size_t tlsRecordLength(const unsigned char* head)
{
    return (std::size_t{head[3]} << 8) | std::size_t{head[4]};
}

Framing associationRequestFraming()
{
    return Framing{6, 0x01, pduLength, dcmAssociatePDUSizeLimit.get()};  // type, reserved, 32-bit length
}

// Content type 22 (handshake), version, 16-bit length; a record holds at most 2^14 bytes
// of plain text plus the protection's overhead.
constexpr Framing TlsHelloFraming{5, 0x16, tlsRecordLength, 16384 + 2048};

// Waits until the whole first unit (framing) lies in the socket's receive buffer (the
// toolkit then reads it without waiting), the deadline passes, the peer goes or sends
// something else, or the server stops. Nothing is taken off the wire.
Arrival awaitFirstUnit(int fd, const Framing& framing, std::chrono::steady_clock::time_point deadline,
                       const std::atomic<bool>& stopRequested)
{
    const std::size_t limit = framing.limit;
    std::size_t need = framing.header;
    bool haveHeader = false;
    for (;;) {
        // Readable only once `need` bytes are there (or the peer closed).
        const int lowWater = static_cast<int>(need);
        ::setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &lowWater, sizeof lowWater);
        if (stopRequested)
            return Arrival::Stopped;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            return Arrival::Silent;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
        pollfd p{fd, POLLIN | POLLRDHUP, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count() + 1, 200)));
        if (ready < 0 && errno != EINTR)
            return Arrival::Closed;
        if (ready <= 0)
            continue;
        int available = 0;
        if (::ioctl(fd, FIONREAD, &available) != 0)
            return Arrival::Closed;
        if (static_cast<std::size_t>(available) < need) {
            if (p.revents & (POLLRDHUP | POLLHUP | POLLERR))
                return Arrival::Closed;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        if (haveHeader)
            break;
        unsigned char head[8];
        if (::recv(fd, head, framing.header, MSG_PEEK | MSG_DONTWAIT) != static_cast<ssize_t>(framing.header))
            return Arrival::Closed;
        const std::size_t length = framing.length(head);
        if (head[0] != framing.type || length > limit)
            return Arrival::NotARequest;
        need = framing.header + length;
        haveHeader = true;
    }
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &one, sizeof one);
    return Arrival::Complete;
}

std::string addressOf(const sockaddr_in& address)
{
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return text;
}

// A connection being served on its own thread, from its first byte to its end.
struct ConnectionThread {
    std::thread thread;
    std::atomic<bool> finished{false};
};

// The toolkit's TLS layer, handing over a connection whose handshake the connection's
// own thread has already made: the toolkit would make it while the socket is being
// adopted, one connection at a time, and a slow client would hold up every other.
class PreparedTlsLayer : public DcmTLSTransportLayer {
public:
    using DcmTLSTransportLayer::DcmTLSTransportLayer;

    // The next connection adopted is this one (taken over by the toolkit).
    void prepare(std::unique_ptr<DcmTLSConnection> connection, int socket)
    {
        prepared_ = std::move(connection);
        socket_ = socket;
    }
    // The prepared connection when the toolkit did not take it.
    std::unique_ptr<DcmTLSConnection> leftOver() { return std::move(prepared_); }

    DcmTransportConnection* createConnection(DcmNativeSocketType openSocket, OFBool useSecureLayer) override
    {
        if (prepared_ && socket_ == openSocket)
            return prepared_.release();
        return DcmTLSTransportLayer::createConnection(openSocket, useSecureLayer);
    }

private:
    std::unique_ptr<DcmTLSConnection> prepared_;
    int socket_ = -1;
};

// A TLS connection whose association request was already read off it on the
// connection's own thread: the toolkit gets those bytes first, so it never waits for a
// slow caller while it adopts the connection.
class ReadAheadTlsConnection : public DcmTLSConnection {
public:
    ReadAheadTlsConnection(int socket, SSL* ssl, std::string taken)
        : DcmTLSConnection(socket, ssl), taken_(std::move(taken))
    {
    }

    ssize_t read(void* buf, size_t nbyte) override
    {
        if (offset_ < taken_.size()) {
            const std::size_t n = std::min(nbyte, taken_.size() - offset_);
            std::memcpy(buf, taken_.data() + offset_, n);
            offset_ += n;
            return static_cast<ssize_t>(n);
        }
        return DcmTLSConnection::read(buf, nbyte);
    }

    OFBool networkDataAvailable(int timeout) override
    {
        return offset_ < taken_.size() ? OFTrue : DcmTLSConnection::networkDataAvailable(timeout);
    }

private:
    std::string taken_;
    std::size_t offset_ = 0;
};

struct SslFree {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};
using SslHandle = std::unique_ptr<SSL, SslFree>;

// Why the handshake failed, as the operator reads it: the certificate check's own words
// when it was the certificate, else OpenSSL's reason.
std::string handshakeReason(SSL* ssl, const std::string& fallback)
{
    const long verify = SSL_get_verify_result(ssl);
    std::string reason = detail::takeTlsReason(fallback);
    if (verify != X509_V_OK)
        reason += std::string(" (") + X509_verify_cert_error_string(verify) + ")";
    return reason;
}

// What went wrong after the handshake, with the TLS layer's own words when it has some.
std::string withTlsCause(const std::string& what)
{
    const std::string cause = detail::takeTlsReason("");
    return cause.empty() ? what : what + " (" + cause + ")";
}

// The server side of the TLS handshake on the connection's own thread, within the
// deadline; then reads the whole association request. The connection on success, else
// nullptr and why (arrival tells a silent or closed peer apart; `secured` whether the
// handshake itself succeeded and only the request failed).
std::unique_ptr<DcmTLSConnection> tlsHandshake(SSL_CTX* context, int fd,
                                               std::chrono::steady_clock::time_point deadline,
                                               const std::atomic<bool>& stopRequested, Arrival& arrival,
                                               std::string& reason, bool& secured)
{
    secured = false;
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    SslHandle ssl(SSL_new(context));
    if (!ssl || SSL_set_fd(ssl.get(), fd) != 1) {
        arrival = Arrival::Closed;
        reason = detail::takeTlsReason("cannot set up TLS");
        return nullptr;
    }
    // Steps until `step` succeeds, the peer must say more within the deadline, or it fails.
    const auto drive = [&](const std::function<int()>& step) -> int {
        for (;;) {
            ERR_clear_error();
            const int result = step();
            if (result > 0)
                return result;
            const int error = SSL_get_error(ssl.get(), result);
            if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
                arrival = result == 0 && ERR_peek_error() == 0 ? Arrival::Closed : Arrival::NotARequest;
                return -1;
            }
            if (stopRequested) {
                arrival = Arrival::Stopped;
                return -1;
            }
            const auto now = std::chrono::steady_clock::now();
            if (now >= deadline) {
                arrival = Arrival::Silent;
                return -1;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
            pollfd p{fd, static_cast<short>(error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
            ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count() + 1, 200)));
        }
    };
    if (drive([&] { return SSL_accept(ssl.get()); }) < 0) {
        reason = handshakeReason(ssl.get(), arrival == Arrival::Closed ? "the peer closed the connection" : "refused");
        return nullptr;
    }
    secured = true;
    // The whole association request, read here: the toolkit adopts one connection at a
    // time, and a caller stalling inside its request would hold up every other.
    std::string request;
    const auto readUpTo = [&](std::size_t total) {
        char chunk[4096];
        while (request.size() < total) {
            const int wanted = static_cast<int>(std::min(sizeof chunk, total - request.size()));
            const int n = drive([&] { return SSL_read(ssl.get(), chunk, wanted); });
            if (n < 0)
                return false;
            request.append(chunk, static_cast<std::size_t>(n));
        }
        return true;
    };
    const Framing framing = associationRequestFraming();
    if (!readUpTo(framing.header)) {
        reason = withTlsCause("no association request");
        return nullptr;
    }
    const auto* head = reinterpret_cast<const unsigned char*>(request.data());
    const std::size_t length = framing.length(head);
    if (head[0] != framing.type || length > framing.limit) {
        arrival = Arrival::NotARequest;
        reason = "no association request";
        return nullptr;
    }
    if (!readUpTo(framing.header + length)) {
        reason = withTlsCause("incomplete association request");
        return nullptr;
    }
    ::fcntl(fd, F_SETFL, flags);
    arrival = Arrival::Complete;
    return std::make_unique<ReadAheadTlsConnection>(fd, ssl.release(), std::move(request));
}

}  // namespace

struct StorageServer::Impl {
    ServerContext context;
    DcmSCPConfig scpConfig;
    std::unique_ptr<PreparedTlsLayer> tls;  // on the TLS port
    std::atomic<bool> stopRequested{false};
    std::list<std::unique_ptr<ConnectionThread>> threads;

    // The toolkit takes an accepted socket only through one global setting, so the
    // connection threads of every server in the process (the plain and the TLS port) hand
    // theirs over one at a time, each with its request complete.
    static std::mutex& adoptMutex()
    {
        static std::mutex mutex;
        return mutex;
    }
    T_ASC_Network* adopter = nullptr;

    // Connections waiting for their association request, and associations being served,
    // in all and per peer address.
    std::mutex countMutex;
    int waiting = 0;
    int serving = 0;
    std::map<std::string, int> waitingFrom;
    std::map<std::string, int> servingFrom;

    int maxWaiting() const { return 2 * context.config.maxAssociations; }
    int maxWaitingFromOne() const { return context.config.maxAssociations; }

    // Joins the threads whose connection has ended; all of them when `all`.
    void reap(bool all)
    {
        for (auto it = threads.begin(); it != threads.end();) {
            if (all || (*it)->finished) {
                (*it)->thread.join();
                it = threads.erase(it);
            } else {
                ++it;
            }
        }
    }

    // Counts the connection as waiting; false when its peer or everyone has too many waiting.
    bool admitWaiting(const std::string& peer)
    {
        std::lock_guard lock(countMutex);
        if (waiting >= maxWaiting() || waitingFrom[peer] >= maxWaitingFromOne())
            return false;
        ++waiting;
        ++waitingFrom[peer];
        return true;
    }

    void leaveWaiting(const std::string& peer)
    {
        std::lock_guard lock(countMutex);
        --waiting;
        if (--waitingFrom[peer] == 0)
            waitingFrom.erase(peer);
    }

    // Counts the association as served; empty when admitted, else the reason for refusing it.
    std::string admitServing(const std::string& peer)
    {
        std::lock_guard lock(countMutex);
        if (serving >= context.config.maxAssociations)
            return "too many associations";
        if (servingFrom[peer] >= context.config.maxAssociationsPerPeer)
            return "too many associations from " + peer;
        ++serving;
        ++servingFrom[peer];
        return {};
    }

    void leaveServing(const std::string& peer)
    {
        std::lock_guard lock(countMutex);
        --serving;
        if (--servingFrom[peer] == 0)
            servingFrom.erase(peer);
    }

    void refuseBusy(T_ASC_Association* assoc, const std::string& why)
    {
        const std::string ae = trimmed(assoc->params->DULparams.callingAPTitle);
        const std::string peer = assoc->params->DULparams.callingPresentationAddress;
        if (context.events.associationRefused)
            context.events.associationRefused(ae, peer, why);
        T_ASC_RejectParameters reject{ASC_RESULT_REJECTEDTRANSIENT, ASC_SOURCE_SERVICEPROVIDER_PRESENTATION_RELATED,
                                      ASC_REASON_SP_PRES_LOCALLIMITEXCEEDED};
        ASC_rejectAssociation(assoc, &reject);
        ASC_dropAssociation(assoc);
        ASC_destroyAssociation(&assoc);
    }

    // Hands the socket, its association request complete, to the toolkit. Null when
    // the request cannot be read; the socket is closed then.
    T_ASC_Association* adopt(UniqueFd socket, const std::string& peer,
                             std::unique_ptr<DcmTLSConnection> secured = nullptr)
    {
        T_ASC_Association* assoc = nullptr;
        OFCondition cond;
        std::unique_ptr<DcmTLSConnection> leftOver;
        {
            std::lock_guard lock(adoptMutex());
            const auto previous = dcmExternalSocketHandle.get();
            dcmExternalSocketHandle.set(socket.get());
            if (tls)
                tls->prepare(std::move(secured), socket.get());
            cond = ASC_receiveAssociation(adopter, &assoc, ASC_MAXIMUMPDUSIZE, nullptr, nullptr,
                                          tls ? OFTrue : OFFalse, DUL_NOBLOCK, 0);
            if (tls)
                leftOver = tls->leftOver();
            dcmExternalSocketHandle.set(previous);
        }
        leftOver.reset();
        // Once the toolkit made its connection of the socket, it closes the socket.
        if (assoc && assoc->DULassociation &&
            reinterpret_cast<PRIVATE_ASSOCIATIONKEY*>(assoc->DULassociation)->connection)
            socket.release();
        if (cond.good())
            return assoc;
        context.problem("request @" + peer, "Association request from " + peer + " unreadable: " + cond.text());
        if (assoc) {
            ASC_dropAssociation(assoc);
            ASC_destroyAssociation(&assoc);
        }
        return nullptr;
    }

    // One connection from its first byte: its association request within the time-out,
    // then the limits, then the association itself.
    void serveConnection(UniqueFd socket, const std::string& peer)
    {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::seconds(context.config.requestTimeoutSeconds);
        Arrival arrival = awaitFirstUnit(socket.get(), tls ? TlsHelloFraming : associationRequestFraming(), deadline,
                                         stopRequested);
        std::unique_ptr<DcmTLSConnection> secured;
        std::string tlsFailure;
        if (tls && arrival == Arrival::Complete) {
            bool handshakeDone = false;
            secured = tlsHandshake(tls->getNativeHandle(), socket.get(), deadline, stopRequested, arrival, tlsFailure,
                                   handshakeDone);
            if (!secured && arrival != Arrival::Stopped) {
                leaveWaiting(peer);
                if (handshakeDone)
                    context.problem("tls request " + tlsFailure + " @" + peer,
                                    "Connection from " + peer + " over TLS: the handshake succeeded, then " + tlsFailure + ": closed");
                else
                    context.problem("tls " + tlsFailure + " @" + peer,
                                    "TLS handshake with " + peer + " failed: " + tlsFailure);
                return;
            }
        }
        T_ASC_Association* assoc = nullptr;
        if (arrival == Arrival::Complete)
            assoc = adopt(std::move(socket), peer, std::move(secured));
        leaveWaiting(peer);
        switch (arrival) {
        case Arrival::Complete:
            break;
        case Arrival::Silent:
            context.problem("silent @" + peer, "Connection from " + peer + " sent no association request within " +
                                                   std::to_string(context.config.requestTimeoutSeconds) +
                                                   " s: closed");
            return;
        case Arrival::NotARequest:
            if (tls)
                context.problem("not a TLS hello @" + peer,
                                "Connection from " + peer +
                                    " to the TLS port did not begin with a TLS handshake (a client without TLS?): "
                                    "closed");
            else
                context.problem("not a request @" + peer,
                                "Connection from " + peer + " did not begin with an association request: closed");
            return;
        case Arrival::Closed:
            context.problem("closed @" + peer, "Connection from " + peer + " closed before its association request");
            return;
        case Arrival::Stopped:
            return;
        }
        if (!assoc)
            return;
        if (const std::string busy = admitServing(peer); !busy.empty()) {
            refuseBusy(assoc, busy);
            return;
        }
        {
            ReceiverScp scp(context, assoc);
            scp.setConfig(scpConfig);  // a copy per association: nothing shared between threads
            scp.run(assoc);            // releases or aborts, then frees the association
        }
        leaveServing(peer);
    }

    void start(UniqueFd socket, const std::string& peer)
    {
        auto worker = std::make_unique<ConnectionThread>();
        ConnectionThread* self = worker.get();
        worker->thread = std::thread([this, self, peer, socket = std::move(socket)]() mutable {
            serveConnection(std::move(socket), peer);
            self->finished = true;
        });
        threads.push_back(std::move(worker));
    }
};

StorageServer::StorageServer(StorageServerConfig config, StorageEvents events) : impl_(std::make_unique<Impl>())
{
    impl_->context.config = std::move(config);
    impl_->context.events = std::move(events);
    const auto& cfg = impl_->context.config;
    if (cfg.port <= 0 || cfg.port > 65535)
        throw Error(errc::Network, "invalid port " + std::to_string(cfg.port), "StorageServer");
    if (cfg.tls) {
        if (const std::string why = tlsServerProblem(*cfg.tls); !why.empty())
            throw Error(errc::Network, "no TLS on port " + std::to_string(cfg.port) + ": " + why, "StorageServer");
        impl_->tls = detail::makeTlsLayer<PreparedTlsLayer>(true, *cfg.tls);
    }

    // The association threads report through our events; the toolkit's own log only
    // carries errors to stderr.
    OFLog::configure(OFLogger::ERROR_LOG_LEVEL);
    // A reverse name lookup per association costs more than receiving a small object.
    dcmDisableGethostbyaddr.set(OFTrue);

    DcmSCPConfig& scp = impl_->scpConfig;
    scp.setAETitle(cfg.aeTitle.c_str());
    scp.setPort(static_cast<Uint16>(cfg.port));
    scp.setMaxReceivePDULength(ASC_MAXIMUMPDUSIZE);
    scp.setACSETimeout(AcseTimeoutSeconds);
    scp.setDIMSEBlockingMode(DIMSE_NONBLOCKING);
    scp.setDIMSETimeout(static_cast<Uint32>(cfg.idleTimeoutSeconds));
    scp.setHostLookupEnabled(OFFalse);
    scp.setProgressNotificationMode(OFFalse);
}

StorageServer::~StorageServer() = default;

namespace {

bool allDigits(const std::string& s)
{
    return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

// Splits ".<uid>.<pid>-<n>.part" into uid and pid; false for any other name, such as
// the ".write-<pid>-<n>.part" files of the shared DICOM writer, which are not ours.
bool splitPartFileName(const std::string& name, std::string& uid, std::string& pid)
{
    const std::string suffix = PartSuffix;
    if (name.size() <= suffix.size() + 1 || name.front() != '.' ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    const std::string stem = name.substr(1, name.size() - suffix.size() - 1);
    const auto dot = stem.rfind('.');
    if (dot == std::string::npos)
        return false;
    const std::string tail = stem.substr(dot + 1);
    const auto dash = tail.find('-');
    if (dash == std::string::npos || !allDigits(tail.substr(0, dash)) || !allDigits(tail.substr(dash + 1)))
        return false;
    uid = stem.substr(0, dot);
    pid = tail.substr(0, dash);
    return corva::isSafeUid(uid);
}

}  // namespace

bool StorageServer::isPartFileName(const std::string& name)
{
    std::string uid, pid;
    return splitPartFileName(name, uid, pid);
}

int StorageServer::removeStalePartFiles() const
{
    const auto& folder = impl_->context.config.outputFolder;
    std::error_code ec;
    if (!fs::is_directory(folder, ec))
        return 0;
    bool gone = false;
    const std::string self = executableOf("self", gone);
    int removed = 0;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        std::string uid, pid;
        if (!splitPartFileName(name, uid, pid))
            continue;
        // A file whose receiver process still runs is in use.
        if (pid != impl_->context.pid) {
            const std::string exe = executableOf(pid, gone);
            if (!gone && (exe.empty() || exe == self))
                continue;
        }
        std::error_code removeError;
        if (fs::remove(entry.path(), removeError))
            ++removed;
    }
    return removed;
}

namespace {

// The listening socket on the configured address (every interface when empty).
UniqueFd listenOn(const std::string& address, int port)
{
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<uint16_t>(port));
    at.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!address.empty() && ::inet_pton(AF_INET, address.c_str(), &at.sin_addr) != 1)
        throw Error(errc::Network, "cannot listen on port " + std::to_string(port) + ": invalid listen address \"" +
                                       address + "\"",
                    "StorageServer");
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int reuse = 1;
    if (fd.get() < 0 || ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) != 0 ||
        ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0 || ::listen(fd.get(), 128) != 0) {
        const int error = errno;
        throw Error(errc::Network,
                    "cannot listen on port " + std::to_string(port) +
                        (address.empty() ? std::string() : " of " + address) + ": " + std::strerror(error),
                    "StorageServer");
    }
    return fd;
}

}  // namespace

// The accept loop takes connections and nothing else: each accepted socket goes to a
// thread of its own before a byte is read from it. (DCMTK's DcmSCPPool of this version
// reads each association request in its accept loop, and deletes a worker that finishes
// quickly, e.g. after refusing an association, while the pool still writes into it.)
void StorageServer::run()
{
    const auto& cfg = impl_->context.config;
    std::error_code ec;
    fs::create_directories(cfg.outputFolder, ec);
    if (!fs::is_directory(cfg.outputFolder))
        throw Error(errc::Network, "cannot create " + cfg.outputFolder.string(), "StorageServer");

    UniqueFd listener = listenOn(cfg.listenAddress, cfg.port);
    {
        // The toolkit's network without a listening socket of its own: it only takes
        // over the sockets accepted here.
        std::lock_guard lock(impl_->adoptMutex());
        const auto previous = dcmExternalSocketHandle.get();
        dcmExternalSocketHandle.set(listener.get());
        const OFCondition cond =
            ASC_initializeNetwork(NET_ACCEPTOR, cfg.port, AcseTimeoutSeconds, &impl_->adopter);
        dcmExternalSocketHandle.set(previous);
        if (cond.bad())
            throw Error(errc::Network, std::string("cannot set up the network: ") + cond.text(), "StorageServer");
        if (impl_->tls && ASC_setTransportLayer(impl_->adopter, impl_->tls.get(), 0).bad())
            throw Error(errc::Network, "cannot set up TLS on port " + std::to_string(cfg.port), "StorageServer");
    }

    while (!impl_->stopRequested) {
        impl_->reap(false);
        // Wakes up now and then so that a stop takes effect.
        pollfd p{listener.get(), POLLIN, 0};
        if (::poll(&p, 1, 200) <= 0)
            continue;
        sockaddr_in from{};
        socklen_t length = sizeof from;
        UniqueFd socket(::accept4(listener.get(), reinterpret_cast<sockaddr*>(&from), &length, SOCK_CLOEXEC));
        if (socket.get() < 0) {
            const int error = errno;
            if (error == EINTR || error == EAGAIN || error == ECONNABORTED)
                continue;
            impl_->context.problem("accept", std::string("Accepting a connection failed: ") + std::strerror(error));
            // Out of descriptors: give the running connections time to end.
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            continue;
        }
        impl_->context.resolved("accept");
        const std::string peer = addressOf(from);
        if (!impl_->admitWaiting(peer)) {
            impl_->context.problem("crowded @" + peer,
                                   "Connection from " + peer +
                                       " closed at once: too many connections are waiting for their association "
                                       "request");
            continue;
        }
        impl_->start(std::move(socket), peer);
    }
    // Running associations are served to their end; waiting connections end at once.
    impl_->reap(true);
    ASC_dropNetwork(&impl_->adopter);
}

void StorageServer::stop()
{
    impl_->stopRequested = true;
}

namespace {

bool parseIpv4(const std::string& text, uint32_t& address)
{
    in_addr a{};
    if (::inet_pton(AF_INET, text.c_str(), &a) != 1)
        return false;
    address = ntohl(a.s_addr);
    return true;
}

// "a.b.c.d" or "a.b.c.d/n" as address and mask.
bool parsePeerEntry(const std::string& entry, uint32_t& address, uint32_t& mask)
{
    const auto slash = entry.find('/');
    if (!parseIpv4(entry.substr(0, slash), address))
        return false;
    mask = 0xFFFFFFFFu;
    if (slash == std::string::npos)
        return true;
    const std::string bits = entry.substr(slash + 1);
    if (!allDigits(bits) || bits.size() > 2)
        return false;
    const int n = std::stoi(bits);
    if (n > 32)
        return false;
    mask = n == 0 ? 0 : 0xFFFFFFFFu << (32 - n);
    return true;
}

}  // namespace

std::vector<std::string> splitEntries(const std::string& text)
{
    std::vector<std::string> entries;
    std::string current;
    auto flush = [&] {
        const auto first = current.find_first_not_of(" \t");
        if (first != std::string::npos)
            entries.push_back(current.substr(first, current.find_last_not_of(" \t") - first + 1));
        current.clear();
    };
    for (const char c : text) {
        if (c == ',' || c == ';' || c == '\n' || c == '\r')
            flush();
        else
            current += c;
    }
    flush();
    return entries;
}

bool isValidPeerEntry(const std::string& entry)
{
    uint32_t address = 0, mask = 0;
    return parsePeerEntry(entry, address, mask);
}

bool peerMatches(const std::string& address, const std::vector<std::string>& entries)
{
    uint32_t peer = 0;
    if (!parseIpv4(address, peer))
        return false;
    for (const auto& entry : entries) {
        uint32_t net = 0, mask = 0;
        if (parsePeerEntry(entry, net, mask) && (peer & mask) == (net & mask))
            return true;
    }
    return false;
}

bool isValidAeTitle(const std::string& title)
{
    const std::string t = trimmed(title.c_str());
    if (t.empty() || t.size() > 16)
        return false;
    for (const char c : t)
        if (c == '\\' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return false;
    return true;
}

}  // namespace corva::dicom
