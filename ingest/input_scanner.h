#pragma once
// Scans the input folder once per tick and hands out the files that stayed unchanged
// since the previous scan. A file still being written changes size, modification time
// or (when written elsewhere and renamed in) inode between ticks.
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace corva::ingest {

class InputScanner {
public:
    explicit InputScanner(std::filesystem::path inputFolder);

    // Lists the input folder (files only): returns, in listing order, the names ending
    // in ".dcm" (any case) that the previous scan saw exactly as they are now, and
    // deletes every ".try" file whose input file is gone. Other files are left alone.
    std::vector<std::string> scan();

    // True when the name ends in ".dcm" compared without case.
    static bool isInputName(const std::string& name);

private:
    struct Fingerprint {
        std::int64_t size = 0;
        std::int64_t mtimeNs = 0;
        std::uint64_t inode = 0;
        bool operator==(const Fingerprint&) const = default;
    };

    std::filesystem::path folder_;
    std::map<std::string, Fingerprint> seen_;
};

}  // namespace corva::ingest
