// Storage commitment: the request to an archive (DcmSCU) and the reading of its report.
#include "dcmtk_internal.h"  // first: DCMTK needs its configuration header before any other

#include <chrono>

#include <dcmtk/dcmnet/diutil.h>
#include <dcmtk/dcmnet/scu.h>

#include "tls_layer.h"

namespace corva::dicom {

using namespace detail;

namespace detail {

namespace {

std::string textOf(DcmItem& item, const DcmTagKey& tag)
{
    OFString value;
    item.findAndGetOFString(tag, value);
    return trim(value.c_str());
}

// The instances of one sequence of the report; false when an item lacks its UIDs.
bool readReferences(DcmItem& dataset, const DcmTagKey& sequence, bool withReason,
                    std::vector<CommitmentReference>& out)
{
    DcmSequenceOfItems* seq = nullptr;
    if (dataset.findAndGetSequence(sequence, seq).bad() || !seq)
        return true;  // absent: none listed there
    for (unsigned long i = 0; i < seq->card(); ++i) {
        DcmItem* item = seq->getItem(i);
        if (!item)
            return false;
        CommitmentReference ref;
        ref.sopClassUid = textOf(*item, DCM_ReferencedSOPClassUID);
        ref.sopInstanceUid = textOf(*item, DCM_ReferencedSOPInstanceUID);
        if (ref.sopClassUid.empty() || ref.sopInstanceUid.empty())
            return false;
        if (withReason) {
            Uint16 reason = 0;
            item->findAndGetUint16(DCM_FailureReason, reason);
            ref.failureReason = reason;
        }
        out.push_back(std::move(ref));
    }
    return true;
}

}  // namespace

bool readCommitmentReport(DcmItem& dataset, CommitmentReport& report)
{
    report = CommitmentReport{};
    report.transactionUid = textOf(dataset, DCM_TransactionUID);
    if (report.transactionUid.empty())
        return false;
    return readReferences(dataset, DCM_ReferencedSOPSequence, false, report.committed) &&
           readReferences(dataset, DCM_FailedSOPSequence, true, report.failed);
}

}  // namespace detail

namespace {

// Answers the archive's event reports on the association of the request: each goes to
// the recorder, and the archive learns whether it was kept.
class CommitmentScu : public DcmSCU {
public:
    CommitmentScu(std::string transactionUid, const std::function<bool(const CommitmentReport&)>& recorded)
        : transactionUid_(std::move(transactionUid)), recorded_(recorded)
    {
    }
    bool keptOurs() const { return keptOurs_; }
    OFCondition secure(DcmTransportLayer* layer) { return useSecureConnection(layer); }

protected:
    Uint16 checkEVENTREPORTRequest(T_DIMSE_N_EventReportRQ& request, DcmDataset* dataset) override
    {
        if (request.EventTypeID != 1 && request.EventTypeID != 2)
            return STATUS_N_NoSuchEventType;
        CommitmentReport report;
        if (!dataset || !readCommitmentReport(*dataset, report))
            return STATUS_N_InvalidArgumentValue;
        bool kept = false;
        try {
            kept = recorded_ && recorded_(report);
        } catch (...) {
            kept = false;  // not kept: the archive hears so and may send it again
        }
        if (kept && report.transactionUid == transactionUid_)
            keptOurs_ = true;
        return kept ? STATUS_Success : STATUS_N_ProcessingFailure;
    }

private:
    std::string transactionUid_;
    const std::function<bool(const CommitmentReport&)>& recorded_;
    bool keptOurs_ = false;
};

}  // namespace

bool requestCommitment(const CommitmentRequest& request, const std::function<bool(const CommitmentReport&)>& recorded)
{
    initNetwork();
    const std::string peer = request.calledAe + "@" + request.host + ":" + std::to_string(request.port);
    // Before the association: the layer outlives it.
    std::unique_ptr<DcmTLSTransportLayer> tls;
    if (request.tls) {
        if (const std::string why = tlsClientProblem(*request.tls); !why.empty())
            throw Error(errc::Network, "No TLS with " + peer + ": " + why, "dicom");
        tls = makeTlsLayer<DcmTLSTransportLayer>(false, *request.tls);
    }
    CommitmentScu scu(request.transactionUid, recorded);
    scu.setPeerHostName(request.host.c_str());
    scu.setPeerPort(static_cast<Uint16>(request.port));
    scu.setAETitle(request.callingAe.c_str());
    scu.setPeerAETitle(request.calledAe.c_str());
    scu.setConnectionTimeout(request.timeoutSeconds);
    scu.setACSETimeout(static_cast<Uint32>(request.timeoutSeconds));
    scu.setDIMSEBlockingMode(DIMSE_NONBLOCKING);
    scu.setDIMSETimeout(static_cast<Uint32>(std::max(1, request.dimseTimeoutSeconds)));
    OFList<OFString> xfers;
    xfers.push_back(uid::ExplicitLittleEndian);
    xfers.push_back(uid::ImplicitLittleEndian);
    check(scu.addPresentationContext(uid::StorageCommitmentPushModel, xfers), "Cannot propose storage commitment",
          errc::Network);
    check(scu.initNetwork(), "Cannot start the network", errc::Network);
    if (tls)
        check(scu.secure(tls.get()), "Cannot use TLS with " + peer, errc::Network);
    if (const OFCondition cond = scu.negotiateAssociation(); cond.bad())
        throw Error(errc::Network, "No association with " + peer + ": " + cond.text(), "dicom");
    const T_ASC_PresentationContextID pc = scu.findAnyPresentationContextID(uid::StorageCommitmentPushModel, "");
    if (pc == 0) {
        scu.releaseAssociation();
        throw Error(errc::Network, peer + " does not offer storage commitment", "dicom");
    }
    DcmDataset action;
    action.putAndInsertString(DCM_TransactionUID, request.transactionUid.c_str());
    for (const CommitmentReference& item : request.items) {
        DcmItem* ref = nullptr;
        if (action.findOrCreateSequenceItem(DCM_ReferencedSOPSequence, ref, -2).bad() || !ref)
            throw Error(errc::Generic, "Cannot build the commitment request", "dicom");
        ref->putAndInsertString(DCM_ReferencedSOPClassUID, item.sopClassUid.c_str());
        ref->putAndInsertString(DCM_ReferencedSOPInstanceUID, item.sopInstanceUid.c_str());
    }
    Uint16 status = 0;
    if (const OFCondition cond =
            scu.sendACTIONRequest(pc, uid::StorageCommitmentPushModelInstance, 1, &action, status);
        cond.bad()) {
        if (scu.isConnected())
            scu.abortAssociation();
        throw Error(errc::Network, "Commitment request to " + peer + " failed: " + cond.text(), "dicom");
    }
    if (status != STATUS_Success) {
        scu.releaseAssociation();
        throw Error(errc::Network, peer + " refused the commitment request (status " + statusText(status) + ")",
                    "dicom");
    }
    // The archive may answer here at once, or later on an association of its own.
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::seconds(std::max(0, request.waitSeconds));
    bool broken = false;
    while (!scu.keptOurs() && scu.isConnected()) {
        const auto left = std::chrono::duration_cast<std::chrono::seconds>(deadline - Clock::now()).count();
        if (left <= 0)
            break;
        DcmDataset* received = nullptr;
        Uint16 eventType = 0;
        // A second at a time, so that a report that went to the receiver ends the wait.
        const OFCondition cond = scu.handleEVENTREPORTRequest(received, eventType, 1);
        const std::unique_ptr<DcmDataset> owned(received);
        if (cond == DIMSE_NODATAAVAILABLE) {
            if (request.answeredElsewhere && request.answeredElsewhere())
                break;
            continue;
        }
        if (cond == DUL_PEERREQUESTEDRELEASE) {
            scu.closeAssociation(DCMSCU_PEER_REQUESTED_RELEASE);  // acknowledges it
            break;
        }
        if (cond.bad()) {
            broken = true;
            break;
        }
    }
    if (scu.isConnected()) {
        if (broken || scu.releaseAssociation().bad())
            scu.abortAssociation();
    }
    return scu.keptOurs();
}

}  // namespace corva::dicom
