// recvora_bench_gen <folder> <count> <rows> <columns>
// Writes <count> 16-bit CR images with unique UIDs: ten images per study, one study per
// patient, so that the ingest service creates rows at every level as in practice.
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>

#include "dicom_fixture.h"

int main(int argc, char** argv)
{
    if (argc != 5) {
        std::cerr << "usage: recvora_bench_gen <folder> <count> <rows> <columns>\n";
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    const int count = std::atoi(argv[2]);
    corva::test::DicomSpec spec;
    spec.rows = std::atoi(argv[3]);
    spec.columns = std::atoi(argv[4]);
    spec.bitsAllocated = 16;
    std::filesystem::create_directories(folder);
    for (int i = 0; i < count; ++i) {
        if (i % 10 == 0) {
            spec.patientId = "BENCH" + std::to_string(i / 10);
            spec.patientName = "Bench^Patient" + std::to_string(i / 10);
            spec.studyUid = corva::test::uniqueUid();
            spec.seriesUid = corva::test::uniqueUid();
        }
        spec.instanceNumber = i % 10 + 1;
        spec.sopInstanceUid = corva::test::uniqueUid();
        corva::test::writeDicom(folder / (std::to_string(i) + ".dcm"), spec);
    }
    return 0;
}
