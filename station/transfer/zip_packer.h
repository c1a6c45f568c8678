#pragma once
// Packs the files of an export into a ZIP archive in the export folder. Members keep
// their paths relative to that folder, so the unpacked archive is the same tree.
// Archives beyond 4 GB get ZIP64 records; a failed or cancelled run leaves no archive.
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace corva::station::transfer {

// The results the export window acts on.
enum class ZipResult {
    Ok = 0,
    Failed = 1,      // the window shows "An error occured during ZIP compression!"
    Cancelled = 2,   // no message
    Unexpected = 3,  // logged under "ExportForm CreateZIP"
};

class ZipPacker {
public:
    using Progress = std::function<void(double fraction)>;
    using CancelCheck = std::function<bool()>;

    // The proposal of the name prompt: the time as "HHMMSS".
    static std::string proposedName(int hours, int minutes, int seconds);
    // The archive's file name from the prompt's answer (nullopt: cancelled, or empty):
    // trimmed, ".zip" appended unless it ends so in any case.
    static std::string archiveName(const std::optional<std::string>& answer, const std::string& proposal);

    // Packs files (each below folder) into folder/name, replacing an archive of that
    // name only when the new one is complete. Members are deflated, JPEG pictures stored.
    ZipResult pack(const std::filesystem::path& folder, const std::string& name,
                   const std::vector<std::filesystem::path>& files, const Progress& progress = {},
                   const CancelCheck& cancelled = {});

    // Why the last pack() did not succeed.
    const std::string& error() const { return error_; }

    // Deflate level (zlib's 1..9); 6 is zlib's and zip's default balance.
    int level = 6;

private:
    std::string error_;
};

}  // namespace corva::station::transfer
