#include "dicom/storage_server.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmdata/dcostrma.h>
#include <dcmtk/dcmdata/dcostrmf.h>
#include <dcmtk/dcmnet/dimse.h>
#include <dcmtk/dcmnet/diutil.h>
#include <dcmtk/dcmnet/dul.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/scpthrd.h>
#include <dcmtk/oflog/oflog.h>

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <list>
#include <system_error>
#include <thread>

#include "core/error.h"
#include "core/paths.h"
#include "dicom/dicom.h"

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
    // Closes the file; the first write error, 0 when all was written.
    int close()
    {
        if (file_) {
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

    void reportError(const std::string& text) const
    {
        if (events.error)
            events.error(text);
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
        if (message->CommandField != DIMSE_C_STORE_RQ)
            return DcmThreadSCP::handleIncomingCommand(message, info);
        return handleStore(message->msg.CStoreRQ, info.presentationContextID);
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
            context_.reportError(std::string("Negotiation failed: ") + cond.text());
        return cond;
    }

    OFBool checkCalledAETitleAccepted(const OFString& calledAe) override
    {
        return trimmed(calledAe.c_str()) == context_.config.aeTitle;
    }

    void refuseAssociation(const DcmRefuseReasonType reason) override
    {
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
            context_.reportError("Association from " + callingAe_ + " (" + peer_ + ") broken off: " + cond.text());
    }

    void notifyAssociationTermination() override
    {
        if (accepted_ && context_.events.associationEnded)
            context_.events.associationEnded(callingAe_, stored_, refused_, aborted_);
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
        const fs::path part = context_.partFile(uid);
        int writeError = 0;
        OFCondition cond = receiveIntoFile(request, presId, part, writeError);
        if (cond.bad()) {
            // A transfer broken off leaves nothing behind; the association is over.
            fs::remove(part, ec);
            receiveFailed_ = true;
            context_.reportError("Receiving " + uid + " failed: " + cond.text());
            return cond;
        }
        if (writeError != 0) {
            fs::remove(part, ec);
            return answerFailure(request, presId, uid, STATUS_STORE_Refused_OutOfResources,
                                 "cannot write " + part.filename().string() + ": " + std::strerror(writeError));
        }

        // Checked before anything parses it: a file nested too deep would overflow the
        // toolkit's recursive reader wherever it is read.
        if (const FileStructure structure = checkFileStructure(part); !structure.sound()) {
            fs::remove(part, ec);
            return answerFailure(request, presId, uid, STATUS_STORE_Error_CannotUnderstand, structure.problem);
        }

        const fs::path file = context_.config.outputFolder / (uid + ".dcm");
        fs::rename(part, file, ec);
        if (ec) {
            std::error_code ignored;
            fs::remove(part, ignored);
            return answerFailure(request, presId, uid, STATUS_STORE_Refused_OutOfResources,
                                 "cannot write " + file.string() + ": " + ec.message());
        }
        ++stored_;
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
            context_.events.objectRefused(uid, reason);
        return sendSTOREResponse(presId, request, status);
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

// An association being served on its own thread.
struct AssociationThread {
    std::thread thread;
    std::atomic<bool> finished{false};
};

}  // namespace

struct StorageServer::Impl {
    ServerContext context;
    DcmSCPConfig scpConfig;
    std::atomic<bool> stopRequested{false};
    std::list<std::unique_ptr<AssociationThread>> threads;

    // Joins the threads whose association has ended; all of them when `all`.
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

    void refuseBusy(T_ASC_Association* assoc)
    {
        if (context.events.associationRefused)
            context.events.associationRefused(trimmed(assoc->params->DULparams.callingAPTitle),
                                              assoc->params->DULparams.callingPresentationAddress,
                                              "too many associations");
        T_ASC_RejectParameters reject{ASC_RESULT_REJECTEDTRANSIENT, ASC_SOURCE_SERVICEPROVIDER_PRESENTATION_RELATED,
                                      ASC_REASON_SP_PRES_LOCALLIMITEXCEEDED};
        ASC_rejectAssociation(assoc, &reject);
        ASC_dropAssociation(assoc);
        ASC_destroyAssociation(&assoc);
    }

    // Hands an accepted connection to a thread of its own. The SCP object lives on that
    // thread and releases the association when it ends.
    void serve(T_ASC_Association* assoc)
    {
        auto worker = std::make_unique<AssociationThread>();
        auto scp = std::make_unique<ReceiverScp>(context, assoc);
        scp->setConfig(scpConfig);  // a copy per association: nothing shared between threads
        AssociationThread* self = worker.get();
        worker->thread = std::thread([self, assoc, scp = std::move(scp)]() mutable {
            scp->run(assoc);
            scp.reset();
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

// The accept loop: one thread per association, at most maxAssociations at once.
// (DCMTK's DcmSCPPool of this version deletes a worker that finishes quickly, e.g. after
// refusing an association, while the pool still writes into it.)
void StorageServer::run()
{
    const auto& cfg = impl_->context.config;
    std::error_code ec;
    fs::create_directories(cfg.outputFolder, ec);
    if (!fs::is_directory(cfg.outputFolder))
        throw Error(errc::Network, "cannot create " + cfg.outputFolder.string(), "StorageServer");

    T_ASC_Network* network = nullptr;
    OFCondition cond = ASC_initializeNetwork(NET_ACCEPTOR, cfg.port, AcseTimeoutSeconds, &network);
    if (cond.bad())
        throw Error(errc::Network, "cannot listen on port " + std::to_string(cfg.port) + ": " + cond.text(),
                    "StorageServer");

    while (!impl_->stopRequested) {
        T_ASC_Association* assoc = nullptr;
        // Wakes up every second so that a stop takes effect.
        cond = ASC_receiveAssociation(network, &assoc, ASC_MAXIMUMPDUSIZE, nullptr, nullptr, OFFalse, DUL_NOBLOCK, 1);
        impl_->reap(false);
        if (cond.good()) {
            if (static_cast<int>(impl_->threads.size()) >= cfg.maxAssociations)
                impl_->refuseBusy(assoc);
            else
                impl_->serve(assoc);
            continue;
        }
        if (cond != DUL_NOASSOCIATIONREQUEST)
            impl_->context.reportError(std::string("Receiving an association request failed: ") + cond.text());
        if (assoc) {
            if (cond != DUL_NOASSOCIATIONREQUEST)
                ASC_dropAssociation(assoc);
            ASC_destroyAssociation(&assoc);
        }
    }
    // Running associations are served to their end.
    impl_->reap(true);
    ASC_dropNetwork(&network);
}

void StorageServer::stop()
{
    impl_->stopRequested = true;
}

}  // namespace corva::dicom
