#pragma once
// Patient data stays with the programs' own user and group: what they create is
// readable by no one else.
#include <filesystem>

namespace corva::process {

// The file-creation mask of the station's programs: folders 0770, files 0660.
inline constexpr unsigned PrivateUmask = 007;

// Sets the process's umask to PrivateUmask; called first thing in main().
void usePrivateFileModes();

// Takes every right of other users from an existing file or folder (one left behind by
// an older version, or written by a program with a looser mask). False when it failed.
bool makePrivate(const std::filesystem::path& path);

}  // namespace corva::process
