#include "core/file_identity.h"

#include <sys/stat.h>

namespace corva {

std::optional<FileIdentity> fileIdentity(const std::filesystem::path& file)
{
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) return std::nullopt;
    return FileIdentity{static_cast<std::uintmax_t>(st.st_size),
                        static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
                        static_cast<std::uintmax_t>(st.st_ino), static_cast<std::uintmax_t>(st.st_dev)};
}

}  // namespace corva
