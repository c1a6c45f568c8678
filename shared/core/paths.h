#pragma once
// The program folder: the folder of the executables. Every path of the system is relative to it.
#include <filesystem>
#include <string>

namespace corva {

// Folder of the running executable (from /proc/self/exe), without trailing slash.
std::filesystem::path programFolder();

// Overrides the program folder for tests and tools; an empty path restores the default.
void setProgramFolderForTesting(const std::filesystem::path& folder);

// Fixed folder names of the layout.
namespace folder {
inline constexpr const char* Temp = "Temp";
inline constexpr const char* Images = "Images";
inline constexpr const char* Data = "Data";
inline constexpr const char* Logs = "Logs";
inline constexpr const char* Bin = "bin";
inline constexpr const char* Transfer = "transfer";
inline constexpr const char* BadObjects = "BadObjects";  // below Temp
}  // namespace folder

// A DICOM UID that may be used as a file or folder name: digits and dots,
// 1..64 characters, no empty component.
bool isSafeUid(const std::string& uid);

}  // namespace corva
