#pragma once
// The program folder: where the system keeps its data (Data, Images, Temp, Logs). Every
// path of the system is relative to it. It is the folder of the executables, unless a file
// "program-folder" beside them names another: an installed package keeps its programs in
// /usr/lib/corvalight and its data in /var/lib/corvalight.
#include <filesystem>
#include <string>

namespace corva {

// The program folder of the running executable (programFolderFor(executableFolder())).
std::filesystem::path programFolder();

// Folder of the running executable (from /proc/self/exe), without trailing slash.
std::filesystem::path executableFolder();

// The name of the file beside the executables that names the program folder.
inline constexpr const char* ProgramFolderFile = "program-folder";

// The program folder of executables in `executables`: the absolute path on the first line
// of its "program-folder" file, else `executables` itself. A file naming no absolute path
// is ignored with a line on standard error, so data never goes where no one looks.
std::filesystem::path programFolderFor(const std::filesystem::path& executables);

// The name of the file beside the executables that names the settings' folder: an
// installed package keeps the settings of every program and user in one site file.
inline constexpr const char* SettingsFolderFile = "settings-folder";

// The folder named by the "settings-folder" file in `executables`, or empty without such
// a file (each user's own settings). A file naming no absolute path is ignored with a
// line on standard error.
std::filesystem::path settingsFolderFor(const std::filesystem::path& executables);

// Overrides the program folder (and the executables' folder with it) for tests and tools;
// an empty path restores the default.
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
