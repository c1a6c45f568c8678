// Storage associations (DcmSCU) and process-wide network settings.
#include "dcmtk_internal.h"  // first: DCMTK needs its configuration header before any other

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

#include <sys/stat.h>

#include <dcmtk/dcmnet/cond.h>
#include <dcmtk/dcmnet/dul.h>
#include <dcmtk/dcmnet/scu.h>
#include <openssl/err.h>

#include "tls_layer.h"

namespace corva::dicom {

using namespace detail;

void initNetwork()
{
    static std::once_flag once;
    std::call_once(once, [] {
        // dcmnet reads TCP_NODELAY when it opens or accepts a connection; without it
        // every small PDU waits for the peer's delayed acknowledgement (~40 ms).
        ::setenv("TCP_NODELAY", "1", 1);
        // Reverse name lookups of every caller can stall an accept for seconds.
        dcmDisableGethostbyaddr.set(OFTrue);
        // A peer closing mid-transfer must give an error, not end the process.
        std::signal(SIGPIPE, SIG_IGN);
    });
}

namespace {

// DcmSCU with a C-STORE that keeps what DcmSCU's own drops: the Error Comment of the
// answer. Otherwise it sends as DcmSCU::sendSTORERequest does.
class StoreScu : public DcmSCU {
public:
    using DcmSCU::useSecureConnection;

    struct Reply {
        OFCondition cond;
        bool transferFailed = false;  // the request or its answer did not get through
        Uint16 status = 0;
        std::string comment;
    };

    Reply store(T_ASC_PresentationContextID pc, DcmDataset* ds, const std::string& sopClass,
                const std::string& sopInstance)
    {
        Reply reply;
        T_DIMSE_Message msg;
        std::memset(&msg, 0, sizeof msg);
        msg.CommandField = DIMSE_C_STORE_RQ;
        T_DIMSE_C_StoreRQ& rq = msg.msg.CStoreRQ;
        rq.MessageID = ++messageId_;
        OFStandard::strlcpy(rq.AffectedSOPClassUID, sopClass.c_str(), sizeof rq.AffectedSOPClassUID);
        OFStandard::strlcpy(rq.AffectedSOPInstanceUID, sopInstance.c_str(), sizeof rq.AffectedSOPInstanceUID);
        rq.DataSetType = DIMSE_DATASET_PRESENT;
        rq.Priority = DIMSE_PRIORITY_MEDIUM;
        // Into the syntax the destination accepted for this context, when it differs.
        OFString abstractSyntax, transferSyntax;
        findPresentationContext(pc, abstractSyntax, transferSyntax);
        if (transferSyntax.empty()) {
            reply.cond = DIMSE_NOVALIDPRESENTATIONCONTEXTID;
            return reply;
        }
        const E_TransferSyntax netXfer = DcmXfer(transferSyntax.c_str()).getXfer();
        if (netXfer != ds->getOriginalXfer()) {
            reply.cond = ds->chooseRepresentation(netXfer, nullptr);
            if (reply.cond.bad())
                return reply;
        }
        reply.cond = sendDIMSEMessage(pc, &msg, ds);
        reply.transferFailed = reply.cond.bad();
        if (reply.transferFailed)
            return reply;
        T_DIMSE_Message rsp;
        std::memset(&rsp, 0, sizeof rsp);
        DcmDataset* detail = nullptr;
        T_ASC_PresentationContextID rspPc = pc;
        reply.cond = receiveDIMSECommand(&rspPc, &rsp, &detail);
        std::unique_ptr<DcmDataset> statusDetail(detail);
        reply.transferFailed = reply.cond.bad();
        if (reply.transferFailed)
            return reply;
        if (rsp.CommandField != DIMSE_C_STORE_RSP ||
            rsp.msg.CStoreRSP.MessageIDBeingRespondedTo != rq.MessageID) {
            reply.cond = DIMSE_BADCOMMANDTYPE;  // an answer to something else: the dialogue is lost
            reply.transferFailed = true;
            return reply;
        }
        reply.status = rsp.msg.CStoreRSP.DimseStatus;
        OFString comment;
        if (statusDetail && statusDetail->findAndGetOFString(DCM_ErrorComment, comment).good())
            reply.comment = comment.c_str();
        return reply;
    }

private:
    Uint16 messageId_ = 0x4000;  // apart from DcmSCU's own numbers (echo)
};

}  // namespace

struct Association::Impl {
    std::unique_ptr<DcmTLSTransportLayer> tls;  // before the association: it outlives it
    StoreScu scu;
    bool open = false;
    std::string peer;
};

std::string statusText(std::uint16_t status)
{
    char hex[8];
    std::snprintf(hex, sizeof hex, "%04X", status);
    return hex;
}

Association::Association() : impl_(std::make_unique<Impl>()) {}

Association::~Association()
{
    try {
        close();
    } catch (...) {
        // releasing is best effort here
    }
}

namespace {

std::vector<PresentationContext> defaultContexts()
{
    const std::vector<std::string> uncompressed{uid::ExplicitLittleEndian, uid::ImplicitLittleEndian};
    std::vector<PresentationContext> out{{uid::Verification, {uid::ImplicitLittleEndian}}};
    std::set<std::string> seen{uid::Verification};
    auto add = [&](const char* sopClass) {
        if (sopClass && seen.insert(sopClass).second && out.size() < 127)
            out.push_back({sopClass, uncompressed});
    };
    for (const char* c : {uid::DigitalMammographyForPresentation, "1.2.840.10008.5.1.4.1.1.1.2.1",
                          uid::ComputedRadiography, "1.2.840.10008.5.1.4.1.1.1.1", "1.2.840.10008.5.1.4.1.1.1.1.1",
                          uid::SecondaryCapture, "1.2.840.10008.5.1.4.1.1.88.67", "1.2.840.10008.5.1.4.1.1.13.1.3"})
        add(c);
    for (int i = 0; i < numberOfDcmShortSCUStorageSOPClassUIDs; ++i)
        add(dcmShortSCUStorageSOPClassUIDs[i]);
    return out;
}

}  // namespace

void Association::open(const std::string& host, int port, const std::string& callingAe, const std::string& calledAe,
                       const std::vector<PresentationContext>& contexts, int timeoutSeconds, int dimseTimeoutSeconds,
                       const std::optional<TlsFiles>& tls)
{
    initNetwork();
    close();
    impl_ = std::make_unique<Impl>();  // a DcmSCU serves one association
    StoreScu& scu = impl_->scu;
    impl_->peer = calledAe + "@" + host + ":" + std::to_string(port);
    const std::string tlsPeer = calledAe + " at " + host + ":" + std::to_string(port);
    if (tls) {
        if (const std::string why = tlsClientProblem(*tls); !why.empty())
            throw Error(errc::Network, "No TLS with " + tlsPeer + ": " + why, "dicom");
        impl_->tls = makeTlsLayer<DcmTLSTransportLayer>(false, *tls);
    }
    scu.setPeerHostName(host.c_str());
    scu.setPeerPort(static_cast<Uint16>(port));
    scu.setAETitle(callingAe.c_str());
    scu.setPeerAETitle(calledAe.c_str());
    scu.setConnectionTimeout(timeoutSeconds);
    scu.setACSETimeout(static_cast<Uint32>(timeoutSeconds));
    // A peer that stops answering mid-transfer must not hang the sender.
    scu.setDIMSEBlockingMode(DIMSE_NONBLOCKING);
    scu.setDIMSETimeout(static_cast<Uint32>(std::max(1, dimseTimeoutSeconds)));
    scu.setDatasetConversionMode(OFTrue);
    scu.setProgressNotificationMode(OFFalse);

    for (const PresentationContext& pc : contexts.empty() ? defaultContexts() : contexts) {
        OFList<OFString> xfers;
        for (const auto& ts : pc.transferSyntaxes)
            xfers.push_back(ts.c_str());
        check(scu.addPresentationContext(pc.abstractSyntax.c_str(), xfers), "Cannot propose " + pc.abstractSyntax,
              errc::Network);
    }
    check(scu.initNetwork(), "Cannot start the network", errc::Network);
    if (impl_->tls)
        check(scu.useSecureConnection(impl_->tls.get()), "Cannot use TLS with " + tlsPeer, errc::Network);
    ERR_clear_error();
    const OFCondition cond = scu.negotiateAssociation();
    if (cond.bad() && impl_->tls && isTlsFailure(cond))
    {
        // The toolkit's condition names the cause; what is left in the queue came after it.
        ERR_clear_error();
        throw Error(errc::Network, "TLS handshake with " + tlsPeer + " failed: " + tlsReasonOf(cond), "dicom");
    }
    if (cond.bad())
        throw Error(errc::Network, "No association with " + impl_->peer + ": " + cond.text(), "dicom");
    impl_->open = true;
}

bool Association::isOpen() const { return impl_->open && impl_->scu.isConnected(); }

void Association::echo()
{
    if (!isOpen())
        throw Error(errc::Network, "No open association", "dicom");
    check(impl_->scu.sendECHORequest(0), "Echo to " + impl_->peer + " failed", errc::Network);
}

namespace {

// One C-STORE of ds: in its own transfer syntax when the destination accepted that, else
// converted (decoded) into the syntax it accepted for the SOP class. Large values the data
// set left in its file are read from there while the PDUs go out. A transfer that fails
// (aborted, closed, no answer in time, an answer to something else) leaves the dialogue
// in an unknown state: the association is aborted, so that nothing later waits on it.
StoreAnswer store(StoreScu& scu, const std::string& peer, DcmDataset* ds, const std::string& sopClass,
                  const std::string& sopInstance)
{
    std::string ts = xferUid(ds->getOriginalXfer());
    if (ts.empty())
        ts = uid::ExplicitLittleEndian;
    const T_ASC_PresentationContextID pc = scu.findAnyPresentationContextID(sopClass.c_str(), ts.c_str());
    if (pc == 0)
        throw Error(errc::Network, peer + " accepted no presentation context for SOP class " + sopClass, "dicom");
    registerCodecs();
    const StoreScu::Reply reply = scu.store(pc, ds, sopClass, sopInstance);
    if (reply.cond.bad()) {
        if (reply.transferFailed && scu.isConnected())
            scu.abortAssociation();
        throw Error(errc::Network, "Sending " + sopInstance + " to " + peer + " failed: " + reply.cond.text(), "dicom");
    }
    // 0000 is success; Bxxx warnings (coercion, elements discarded) still mean stored.
    if (reply.status != 0x0000 && (reply.status & 0xF000) != 0xB000)
        throw StoreRefused(peer + " refused " + sopInstance + " (status 0x" + statusText(reply.status) +
                               (reply.comment.empty() ? "" : ": " + reply.comment) + ")",
                           reply.status, reply.comment);
    return StoreAnswer{reply.status == 0x0000 ? StoreStatus::Success : StoreStatus::Warning, reply.status,
                       reply.comment};
}

std::string text(DcmItem* item, const DcmTagKey& tag)
{
    OFString value;
    item->findAndGetOFString(tag, value);
    return value.c_str();
}

}  // namespace

StoreAnswer Association::send(const Image& image)
{
    if (!isOpen())
        throw Error(errc::Network, "No open association", "dicom");
    DcmFileFormat* ff = image.fileFormat();  // with the pixel data
    return store(impl_->scu, impl_->peer, ff->getDataset(), image.sopClassUid(), image.sopInstanceUid());
}

OutgoingFile::OutgoingFile() = default;
OutgoingFile::~OutgoingFile() = default;
OutgoingFile::OutgoingFile(OutgoingFile&&) noexcept = default;
OutgoingFile& OutgoingFile::operator=(OutgoingFile&&) noexcept = default;

std::optional<OutgoingFile::Identity> OutgoingFile::identityOf(const std::filesystem::path& file)
{
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0)
        return std::nullopt;
    return Identity{static_cast<std::uintmax_t>(st.st_size),
                    static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
                    static_cast<std::uintmax_t>(st.st_ino)};
}

OutgoingFile OutgoingFile::read(const std::filesystem::path& file)
{
    OutgoingFile out;
    // Taken before the read: a file that changes while it is read differs from it afterwards.
    const std::optional<Identity> identity = identityOf(file);
    out.file_ = loadFileFormat(file, LoadScope::LargeValuesInFile);
    out.path_ = file;
    out.identity_ = identity.value_or(Identity{});
    DcmDataset* ds = out.file_->getDataset();
    out.sopClass_ = text(ds, DCM_SOPClassUID);
    out.sopInstance_ = text(ds, DCM_SOPInstanceUID);
    out.studyInstance_ = text(ds, DCM_StudyInstanceUID);
    out.transferSyntax_ = xferUid(ds->getOriginalXfer());
    return out;
}

StoreAnswer Association::send(OutgoingFile file)
{
    // The values left in the file are read from it while sending: one that changed since
    // it was read (or went) is read and checked again, and so refused when it is broken.
    if (OutgoingFile::identityOf(file.path_) != std::optional(file.identity_))
        file = OutgoingFile::read(file.path_);
    if (!isOpen())
        throw Error(errc::Network, "No open association", "dicom");
    return store(impl_->scu, impl_->peer, file.file_->getDataset(), file.sopClass_, file.sopInstance_);
}

std::string Association::sendFile(const std::filesystem::path& file)
{
    // The file first: one that is missing, cut short or no DICOM is reported as such.
    OutgoingFile outgoing = OutgoingFile::read(file);
    std::string sopInstance = outgoing.sopInstanceUid();
    send(std::move(outgoing));
    return sopInstance;
}

void Association::close()
{
    if (!impl_->open)
        return;
    impl_->open = false;
    if (impl_->scu.isConnected() && impl_->scu.releaseAssociation().bad())
        impl_->scu.abortAssociation();
}

namespace {

// Each SOP class with the given transfer syntax (when compressed, in a context of its own
// so that the peer can accept it or the uncompressed one independently) and the
// uncompressed ones.
class ContextList {
public:
    void add(const std::string& sopClass, const std::string& ts)
    {
        if (!ts.empty() && ts != uid::ExplicitLittleEndian && ts != uid::ImplicitLittleEndian)
            addContext(sopClass, {ts});
        addContext(sopClass, {uid::ExplicitLittleEndian, uid::ImplicitLittleEndian});
    }
    std::vector<PresentationContext> take() { return std::move(out_); }

private:
    void addContext(const std::string& sopClass, const std::vector<std::string>& xfers)
    {
        if (seen_.insert({sopClass, xfers.front()}).second)
            out_.push_back({sopClass, xfers});
    }
    std::vector<PresentationContext> out_;
    std::set<std::pair<std::string, std::string>> seen_;
};

// Images or outgoing files: anything with a SOP class and a transfer syntax.
template <typename Item>
std::vector<PresentationContext> contextsOf(const std::vector<const Item*>& items)
{
    ContextList list;
    for (const Item* item : items)
        if (item)
            list.add(item->sopClassUid(), item->transferSyntax());
    return list.take();
}

}  // namespace

std::vector<PresentationContext> Association::contextsFor(const std::vector<const Image*>& images)
{
    return contextsOf(images);
}

std::vector<PresentationContext> Association::contextsFor(const std::vector<const OutgoingFile*>& files)
{
    return contextsOf(files);
}

}  // namespace corva::dicom
