#pragma once
// The test archive's DICOM side, straight over dcmnet: one association at a time,
// every proposed SOP class accepted in the uncompressed transfer syntaxes, C-ECHO
// answered, each C-STORE answered as the policy says, and storage commitment requests
// answered on the same association, later on a new one, or never.
#include <cstdint>
#include <fstream>
#include <string>

#include "archive_policy.h"

struct T_ASC_Association;
class DcmDataset;

namespace corva::test::archive {

class ArchiveServer {
public:
    explicit ArchiveServer(Policy policy);
    // Listens, prints "ready <port>", serves associations until the process is ended.
    // Returns non-zero when it cannot listen.
    int run();

private:
    void serve(T_ASC_Association* assoc);
    // Handles one C-STORE; false when the association is over.
    bool store(T_ASC_Association* assoc, unsigned char presId, const void* request);
    // Answers a storage commitment request as the policy says; false when the association is over.
    bool commit(T_ASC_Association* assoc, unsigned char presId, const void* request);
    void stall(T_ASC_Association* assoc);
    // Files the object as <SOP instance UID>.dcm in the out folder; 0000, or the failure to answer.
    std::uint16_t keep(T_ASC_Association* assoc, unsigned char dataPresId, DcmDataset& dataset,
                       const std::string& sopInstance);
    void record(const std::string& sopInstance, const Answer& answer);

    Policy policy_;
    std::ofstream log_;
    int received_ = 0;
};

}  // namespace corva::test::archive
