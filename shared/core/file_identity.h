#pragma once
// Which file a path names right now: size, modification time, inode and device. A file that
// was replaced (a resend filed again under the same name) has another identity.
#include <cstdint>
#include <filesystem>
#include <optional>

namespace corva {

struct FileIdentity {
    std::uintmax_t size = 0;
    std::int64_t modifiedNs = 0;
    std::uintmax_t inode = 0;
    std::uintmax_t device = 0;
    bool operator==(const FileIdentity&) const = default;
};

// nullopt when the file does not exist or cannot be examined.
std::optional<FileIdentity> fileIdentity(const std::filesystem::path& file);

}  // namespace corva
