#pragma once
// Finds the file a DICOMDIR record names on a medium written by another system and
// read on a case-sensitive file system: the record says "IMAGES\IM000001" while the
// file may be "images/im000001" or carry an ISO 9660 version ("IM000001;1").
#include <filesystem>
#include <string>

namespace corva::station::transfer {

// Resolves a Referenced File ID (components joined by '/', empty components skipped)
// below the DICOMDIR's folder, each component matched exactly first, then without
// regard to case and ISO 9660 version suffix. Throws corva::Error: errc::InvalidName
// for an absolute reference or a "." / ".." component, errc::NotFound when no file
// matches.
std::filesystem::path resolveFileId(const std::filesystem::path& dicomDirFolder, const std::string& fileId);

// The form two names are compared in: upper case, without ";<version>" and a trailing dot.
std::string mediumNameKey(const std::string& name);

}  // namespace corva::station::transfer
