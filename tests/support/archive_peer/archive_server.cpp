#include "archive_server.h"

#include <dcmtk/config/osconfig.h>  // first: DCMTK's configuration

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dimse.h>
#include <dcmtk/dcmnet/scu.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace corva::test::archive {

namespace {

// Owns an association: dropped and destroyed when it goes.
struct AssociationDeleter {
    void operator()(T_ASC_Association* a) const {
        ASC_dropSCPAssociation(a);
        ASC_destroyAssociation(&a);
    }
};
using AssociationPtr = std::unique_ptr<T_ASC_Association, AssociationDeleter>;

struct NetworkDeleter {
    void operator()(T_ASC_Network* n) const { ASC_dropNetwork(&n); }
};

// Only digits and dots: a UID from the peer names a file only then.
bool safeUid(const std::string& uid) {
    if (uid.empty() || uid.size() > 64 || uid.front() == '.') return false;
    for (char c : uid)
        if (!(c == '.' || (c >= '0' && c <= '9'))) return false;
    return true;
}

// Every proposed context whose transfer syntaxes include an uncompressed one.
void acceptContexts(T_ASC_Parameters* params) {
    const char* preferred[] = {UID_LittleEndianExplicitTransferSyntax, UID_LittleEndianImplicitTransferSyntax};
    const int n = ASC_countPresentationContexts(params);
    for (int i = 0; i < n; ++i) {
        T_ASC_PresentationContext pc;
        if (ASC_getPresentationContext(params, i, &pc).bad()) continue;
        for (const char* ts : preferred) {
            bool proposed = false;
            for (int t = 0; t < pc.transferSyntaxCount; ++t)
                proposed = proposed || std::string(pc.proposedTransferSyntaxes[t]) == ts;
            if (proposed) {
                ASC_acceptPresentationContext(params, pc.presentationContextID, ts);
                break;
            }
        }
    }
}

constexpr const char* CommitmentClass = "1.2.840.10008.1.20.1";
constexpr const char* CommitmentInstance = "1.2.840.10008.1.20.1.1";
constexpr const char* SecondaryCapture = "1.2.840.10008.5.1.4.1.1.7";

struct CommitItem {
    std::string sopClass;
    std::string sopInstance;
};

// The archive's report for a request: an instance it holds is committed, unless it is a
// K-th one of the request; one it does not hold is failed (no such object instance).
// Returns the event type: 1 all committed, 2 some failed.
Uint16 buildReport(const Policy& policy, const std::string& transaction, const std::vector<CommitItem>& items,
                   DcmDataset& report, int& committed, int& failed) {
    committed = failed = 0;
    report.putAndInsertString(DCM_TransactionUID, transaction.c_str());
    for (std::size_t i = 0; i < items.size(); ++i) {
        std::error_code ec;
        const bool held = safeUid(items[i].sopInstance) &&
                          std::filesystem::exists(std::filesystem::path(policy.out) / (items[i].sopInstance + ".dcm"), ec);
        const bool chosen = policy.commitFailEvery > 0 && (i + 1) % static_cast<std::size_t>(policy.commitFailEvery) == 0;
        const bool ok = held && !chosen;
        DcmItem* item = nullptr;
        report.findOrCreateSequenceItem(ok ? DCM_ReferencedSOPSequence : DCM_FailedSOPSequence, item, -2);
        if (!item) continue;
        const bool otherClass = ok && policy.commitLie == CommitLie::WrongClass;
        item->putAndInsertString(DCM_ReferencedSOPClassUID, otherClass ? SecondaryCapture : items[i].sopClass.c_str());
        item->putAndInsertString(DCM_ReferencedSOPInstanceUID, items[i].sopInstance.c_str());
        if (!ok) item->putAndInsertUint16(DCM_FailureReason, held ? 0x0110 : 0x0112);
        ++(ok ? committed : failed);
        if (ok && policy.commitLie == CommitLie::Both) {
            DcmItem* also = nullptr;
            report.findOrCreateSequenceItem(DCM_FailedSOPSequence, also, -2);
            if (!also) continue;
            also->putAndInsertString(DCM_ReferencedSOPClassUID, items[i].sopClass.c_str());
            also->putAndInsertString(DCM_ReferencedSOPInstanceUID, items[i].sopInstance.c_str());
            also->putAndInsertUint16(DCM_FailureReason, 0x0110);
            ++failed;
        }
    }
    return failed == 0 ? 1 : 2;
}

std::mutex commitLogMutex;

void recordCommit(const Policy& policy, const std::string& transaction, int committed, int failed) {
    const std::lock_guard lock(commitLogMutex);
    std::ofstream out(policy.log + ".commit", std::ios::app);
    out << transaction << '\t' << committed << '\t' << failed << std::endl;
}

// Sends the report on an association of its own, as an archive does that answers later:
// proposing the commitment class in the role of its provider. Tried again each second
// until the requester's receiver takes it (it may be stopped meanwhile).
void deliverReport(const Policy& policy, const std::string& transaction, const std::vector<CommitItem>& items) {
    for (int attempt = 0; attempt < 600; ++attempt, std::this_thread::sleep_for(std::chrono::seconds(1))) {
        DcmSCU scu;
        scu.setAETitle(policy.aet.c_str());
        scu.setPeerAETitle(policy.commitToAet.c_str());
        scu.setPeerHostName(policy.commitToHost.c_str());
        scu.setPeerPort(static_cast<Uint16>(policy.commitToPort));
        scu.setACSETimeout(10);
        scu.setDIMSEBlockingMode(DIMSE_NONBLOCKING);
        scu.setDIMSETimeout(30);
        OFList<OFString> xfers;
        xfers.push_back(UID_LittleEndianExplicitTransferSyntax);
        xfers.push_back(UID_LittleEndianImplicitTransferSyntax);
        scu.addPresentationContext(CommitmentClass, xfers, ASC_SC_ROLE_SCP);
        if (scu.initNetwork().bad() || scu.negotiateAssociation().bad()) continue;
        const T_ASC_PresentationContextID pc = scu.findAnyPresentationContextID(CommitmentClass, "");
        if (pc == 0) {
            scu.releaseAssociation();
            continue;
        }
        DcmDataset report;
        int committed = 0, failed = 0;
        const Uint16 eventType = buildReport(policy, transaction, items, report, committed, failed);
        Uint16 status = 0xFFFF;
        const OFCondition cond = scu.sendEVENTREPORTRequest(pc, CommitmentInstance, eventType, &report, status);
        if (scu.isConnected()) scu.releaseAssociation();
        if (cond.good() && status == 0x0000) {
            recordCommit(policy, transaction, committed, failed);
            return;
        }
    }
}

void reportLater(Policy policy, std::string transaction, std::vector<CommitItem> items) {
    std::this_thread::sleep_for(std::chrono::seconds(policy.commitDelaySeconds));
    if (policy.commitLie == CommitLie::FailThenCommit) {
        // A first report that fails every instance, then one that commits them.
        Policy failing = policy;
        failing.commitLie = CommitLie::None;
        failing.commitFailEvery = 1;
        deliverReport(failing, transaction, items);
        policy.commitLie = CommitLie::None;
    }
    deliverReport(policy, transaction, items);
}

}  // namespace

ArchiveServer::ArchiveServer(Policy policy) : policy_(std::move(policy)), log_(policy_.log, std::ios::app) {}

int ArchiveServer::run() {
    std::error_code ec;
    std::filesystem::create_directories(policy_.out, ec);
    if (!log_) {
        std::cerr << "corva_test_archive: cannot write " << policy_.log << "\n";
        return 1;
    }
    T_ASC_Network* raw = nullptr;
    const OFCondition cond = ASC_initializeNetwork(NET_ACCEPTOR, policy_.port, 30, &raw);
    if (cond.bad()) {
        std::cerr << "corva_test_archive: cannot listen on " << policy_.port << ": " << cond.text() << "\n";
        return 1;
    }
    std::unique_ptr<T_ASC_Network, NetworkDeleter> network(raw);
    std::cout << "ready " << policy_.port << std::endl;
    while (true) {
        T_ASC_Association* assoc = nullptr;
        const OFCondition received = ASC_receiveAssociation(network.get(), &assoc, ASC_DEFAULTMAXPDU);
        AssociationPtr owned(assoc);
        if (received.bad()) continue;
        DIC_AE called;
        ASC_getAPTitles(assoc->params, nullptr, 0, called, sizeof called, nullptr, 0);
        if (policy_.aet != called) {
            T_ASC_RejectParameters reject{ASC_RESULT_REJECTEDPERMANENT, ASC_SOURCE_SERVICEUSER,
                                          ASC_REASON_SU_CALLEDAETITLENOTRECOGNIZED};
            ASC_rejectAssociation(assoc, &reject);
            continue;
        }
        ASC_setAPTitles(assoc->params, nullptr, nullptr, policy_.aet.c_str());
        acceptContexts(assoc->params);
        if (ASC_acknowledgeAssociation(assoc).bad()) continue;
        serve(assoc);
        if (policy_.commit == CommitAnswer::Gone && received_ > 0) return 0;
    }
}

void ArchiveServer::serve(T_ASC_Association* assoc) {
    while (true) {
        T_ASC_PresentationContextID presId = 0;
        T_DIMSE_Message msg;
        const OFCondition cond = DIMSE_receiveCommand(assoc, DIMSE_BLOCKING, 0, &presId, &msg, nullptr);
        if (cond == DUL_PEERREQUESTEDRELEASE) {
            ASC_acknowledgeRelease(assoc);
            return;
        }
        if (cond.bad()) return;  // aborted, closed or garbled: the association is over
        if (msg.CommandField == DIMSE_C_ECHO_RQ) {
            if (DIMSE_sendEchoResponse(assoc, presId, &msg.msg.CEchoRQ, STATUS_Success, nullptr).bad()) return;
        } else if (msg.CommandField == DIMSE_C_STORE_RQ) {
            if (!store(assoc, presId, &msg.msg.CStoreRQ)) return;
        } else if (msg.CommandField == DIMSE_N_ACTION_RQ) {
            if (!commit(assoc, presId, &msg.msg.NActionRQ)) return;
        } else {
            ASC_abortAssociation(assoc);  // nothing else is offered
            return;
        }
    }
}

bool ArchiveServer::store(T_ASC_Association* assoc, unsigned char presId, const void* request) {
    const auto& rq = *static_cast<const T_DIMSE_C_StoreRQ*>(request);
    const std::string sopInstance = rq.AffectedSOPInstanceUID;
    const Answer answer = policy_.answerFor(++received_);
    if (answer.interruption == Interruption::Abort) {
        // Mid-transfer: the data set is still on its way.
        record(sopInstance, answer);
        ASC_abortAssociation(assoc);
        return false;
    }
    DcmDataset* raw = nullptr;
    T_ASC_PresentationContextID dataPresId = presId;
    const OFCondition cond = DIMSE_receiveDataSetInMemory(assoc, DIMSE_BLOCKING, 0, &dataPresId, &raw, nullptr, nullptr);
    std::unique_ptr<DcmDataset> dataset(raw);
    if (cond.bad()) return false;
    switch (answer.interruption) {
        case Interruption::Release:
            record(sopInstance, answer);
            ASC_releaseAssociation(assoc);  // the sender never acknowledges: it waits for its answer
            return false;
        case Interruption::Close:
            record(sopInstance, answer);
            // At once and without a PDU: a drop that waits for the sender to close first
            // would make this a stall.
            ASC_dropAssociation(assoc);
            return false;
        case Interruption::Stall:
            record(sopInstance, answer);
            stall(assoc);
            return false;
        case Interruption::Hold:
            // Stored, but the answer never leaves: the sender cannot know it arrived.
            keep(assoc, dataPresId, *dataset, sopInstance);
            record(sopInstance, answer);
            stall(assoc);
            return false;
        case Interruption::Abort:
        case Interruption::None: break;
    }
    T_DIMSE_C_StoreRSP rsp{};
    rsp.DimseStatus = answer.status;
    if (answer.stores())
        if (const std::uint16_t failed = keep(assoc, dataPresId, *dataset, sopInstance); failed != 0x0000)
            rsp.DimseStatus = failed;
    Answer sent = answer;
    sent.status = rsp.DimseStatus;
    DcmDataset detail;
    DcmDataset* statusDetail = nullptr;
    if (sent.status != 0x0000 && !answer.comment.empty()) {
        detail.putAndInsertString(DCM_ErrorComment, answer.comment.substr(0, 64).c_str());
        statusDetail = &detail;
    }
    record(sopInstance, sent);
    return DIMSE_sendStoreResponse(assoc, presId, &rq, &rsp, statusDetail).good();
}

std::uint16_t ArchiveServer::keep(T_ASC_Association* assoc, unsigned char dataPresId, DcmDataset& dataset,
                                  const std::string& sopInstance) {
    OFString uid;
    dataset.findAndGetOFString(DCM_SOPInstanceUID, uid);
    if (!safeUid(uid.c_str()) || uid.c_str() != sopInstance) return 0xA900;  // data set does not match the command
    T_ASC_PresentationContext pc;
    ASC_findAcceptedPresentationContext(assoc->params, dataPresId, &pc);
    const E_TransferSyntax xfer = DcmXfer(pc.acceptedTransferSyntax).getXfer();
    const std::filesystem::path file = std::filesystem::path(policy_.out) / (sopInstance + ".dcm");
    const std::filesystem::path part = file.string() + ".part";
    DcmFileFormat ff(&dataset);
    if (ff.saveFile(part.c_str(), xfer).bad()) return 0xA700;  // out of resources
    std::error_code ec;
    std::filesystem::rename(part, file, ec);
    return ec ? 0xA700 : 0x0000;
}

bool ArchiveServer::commit(T_ASC_Association* assoc, unsigned char presId, const void* request) {
    const auto& rq = *static_cast<const T_DIMSE_N_ActionRQ*>(request);
    DcmDataset* raw = nullptr;
    T_ASC_PresentationContextID dataPresId = presId;
    if (DIMSE_receiveDataSetInMemory(assoc, DIMSE_BLOCKING, 0, &dataPresId, &raw, nullptr, nullptr).bad()) return false;
    std::unique_ptr<DcmDataset> dataset(raw);
    OFString transaction;
    dataset->findAndGetOFString(DCM_TransactionUID, transaction);
    std::vector<CommitItem> items;
    DcmSequenceOfItems* seq = nullptr;
    if (dataset->findAndGetSequence(DCM_ReferencedSOPSequence, seq).good() && seq)
        for (unsigned long i = 0; i < seq->card(); ++i) {
            OFString cls, inst;
            seq->getItem(i)->findAndGetOFString(DCM_ReferencedSOPClassUID, cls);
            seq->getItem(i)->findAndGetOFString(DCM_ReferencedSOPInstanceUID, inst);
            items.push_back({cls.c_str(), inst.c_str()});
        }
    T_DIMSE_Message rsp;
    std::memset(&rsp, 0, sizeof rsp);
    rsp.CommandField = DIMSE_N_ACTION_RSP;
    T_DIMSE_N_ActionRSP& a = rsp.msg.NActionRSP;
    a.MessageIDBeingRespondedTo = rq.MessageID;
    OFStandard::strlcpy(a.AffectedSOPClassUID, rq.RequestedSOPClassUID, sizeof a.AffectedSOPClassUID);
    OFStandard::strlcpy(a.AffectedSOPInstanceUID, rq.RequestedSOPInstanceUID, sizeof a.AffectedSOPInstanceUID);
    a.ActionTypeID = rq.ActionTypeID;
    a.DataSetType = DIMSE_DATASET_NULL;
    a.DimseStatus = transaction.empty() ? 0x0115 : 0x0000;  // invalid argument without a transaction
    a.opts = O_NACTION_AFFECTEDSOPCLASSUID | O_NACTION_AFFECTEDSOPINSTANCEUID | O_NACTION_ACTIONTYPEID;
    if (DIMSE_sendMessageUsingMemoryData(assoc, presId, &rsp, nullptr, nullptr, nullptr, nullptr).bad()) return false;
    if (transaction.empty()) return true;
    switch (policy_.commit) {
        case CommitAnswer::None:
        case CommitAnswer::Gone: return true;
        case CommitAnswer::Later:
            std::thread(reportLater, policy_, std::string(transaction.c_str()), std::move(items)).detach();
            return true;
        case CommitAnswer::Same: break;
    }
    DcmDataset report;
    int committed = 0, failed = 0;
    T_DIMSE_Message event;
    std::memset(&event, 0, sizeof event);
    event.CommandField = DIMSE_N_EVENT_REPORT_RQ;
    T_DIMSE_N_EventReportRQ& e = event.msg.NEventReportRQ;
    e.MessageID = static_cast<DIC_US>(0x7000 + received_);
    OFStandard::strlcpy(e.AffectedSOPClassUID, CommitmentClass, sizeof e.AffectedSOPClassUID);
    OFStandard::strlcpy(e.AffectedSOPInstanceUID, CommitmentInstance, sizeof e.AffectedSOPInstanceUID);
    e.DataSetType = DIMSE_DATASET_PRESENT;
    e.EventTypeID = buildReport(policy_, transaction.c_str(), items, report, committed, failed);
    if (DIMSE_sendMessageUsingMemoryData(assoc, presId, &event, nullptr, &report, nullptr, nullptr).bad()) return false;
    T_DIMSE_Message answer;
    T_ASC_PresentationContextID answerPresId = 0;
    if (DIMSE_receiveCommand(assoc, DIMSE_BLOCKING, 0, &answerPresId, &answer, nullptr).bad()) return false;
    if (answer.CommandField == DIMSE_N_EVENT_REPORT_RSP && answer.msg.NEventReportRSP.DimseStatus == 0x0000)
        recordCommit(policy_, transaction.c_str(), committed, failed);
    return true;
}

void ArchiveServer::stall(T_ASC_Association* assoc) {
    // Reads on so that the sender's end is seen, but answers nothing, not even a release.
    while (true) {
        T_ASC_PresentationContextID presId = 0;
        T_DIMSE_Message msg;
        const OFCondition cond = DIMSE_receiveCommand(assoc, DIMSE_BLOCKING, 0, &presId, &msg, nullptr);
        if (cond.bad() && cond != DUL_PEERREQUESTEDRELEASE) return;
    }
}

void ArchiveServer::record(const std::string& sopInstance, const Answer& answer) {
    log_ << sopInstance << '\t' << answerText(answer) << std::endl;  // flushed: tests read it at once
}

}  // namespace corva::test::archive
