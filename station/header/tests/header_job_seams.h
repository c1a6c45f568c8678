#pragma once
// The header job's link seams in a test program: while a HeaderJobSeams lives, the job
// calls its `step` at each step (throw HeaderJobStopped there to stop the job as if it
// were killed) and writes its copies through `write` (default: dicom::Image::write).
//
//   HeaderJobSeams seams;
//   seams.step = [&](HeaderJobStep s, const std::string&) { if (s == ...) throw HeaderJobStopped{}; };
//   EXPECT_THROW(job.run(report), HeaderJobStopped);
#include <filesystem>
#include <functional>
#include <string>

#include "header/header_job.h"

namespace corva::station::header::test {

struct HeaderJobSeams {
    HeaderJobSeams();
    ~HeaderJobSeams();
    HeaderJobSeams(const HeaderJobSeams&) = delete;
    HeaderJobSeams& operator=(const HeaderJobSeams&) = delete;

    std::function<void(HeaderJobStep, const std::string& imageUid)> step;
    std::function<void(const dicom::Image&, const std::filesystem::path&)> write;
};

}  // namespace corva::station::header::test
