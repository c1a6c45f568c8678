#include "archive_server.h"

#include <dcmtk/config/osconfig.h>  // first: DCMTK's configuration

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dimse.h>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>

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
        case Interruption::Abort:
        case Interruption::None: break;
    }
    T_DIMSE_C_StoreRSP rsp{};
    rsp.DimseStatus = answer.status;
    if (answer.stores()) {
        OFString uid;
        dataset->findAndGetOFString(DCM_SOPInstanceUID, uid);
        if (!safeUid(uid.c_str()) || uid.c_str() != sopInstance) {
            rsp.DimseStatus = 0xA900;  // data set does not match the command
        } else {
            T_ASC_PresentationContext pc;
            ASC_findAcceptedPresentationContext(assoc->params, dataPresId, &pc);
            const E_TransferSyntax xfer = DcmXfer(pc.acceptedTransferSyntax).getXfer();
            const std::filesystem::path file = std::filesystem::path(policy_.out) / (sopInstance + ".dcm");
            const std::filesystem::path part = file.string() + ".part";
            DcmFileFormat ff(dataset.get());
            if (ff.saveFile(part.c_str(), xfer).bad()) {
                rsp.DimseStatus = 0xA700;  // out of resources
            } else {
                std::error_code ec;
                std::filesystem::rename(part, file, ec);
                if (ec) rsp.DimseStatus = 0xA700;
            }
        }
    }
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
