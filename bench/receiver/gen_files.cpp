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
    corva::test::DicomRecipe recipe;
    recipe.rows = std::atoi(argv[3]);
    recipe.columns = std::atoi(argv[4]);
    recipe.bitsAllocated = 16;
    std::filesystem::create_directories(folder);
    for (int i = 0; i < count; ++i) {
        if (i % 10 == 0) {
            recipe.patientId = "BENCH" + std::to_string(i / 10);
            recipe.patientName = "Bench^Patient" + std::to_string(i / 10);
            recipe.studyUid = corva::test::uniqueUid();
            recipe.seriesUid = corva::test::uniqueUid();
        }
        recipe.instanceNumber = i % 10 + 1;
        recipe.sopInstanceUid = corva::test::uniqueUid();
        corva::test::writeDicom(folder / (std::to_string(i) + ".dcm"), recipe);
    }
    return 0;
}
