#pragma once
// What must be on disk before the service lets go of the only other copy of an image.
#include <filesystem>

namespace corva::ingest {

// Writes what the file, or the folder's entries, hold to disk. Throws
// std::filesystem::filesystem_error (with the system's error) when it cannot.
void syncFile(const std::filesystem::path& file);
void syncFolder(const std::filesystem::path& folder);

}  // namespace corva::ingest
