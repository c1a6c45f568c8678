#pragma once
// Why the ingest service set a file aside in Temp/BadObjects: kept beside it as
// <name>.reason. Only a file's own faults set it aside for good; a file set aside for
// any other reason (an older service gave up on files during a database or disk fault)
// is put back through Temp by `corvactl check --repair`.
#include <filesystem>
#include <optional>
#include <string>

namespace corva::log {

struct SetAsideReason {
    bool filesOwnFault = true;
    std::string text;
};

// The reason file of a set-aside file.
std::filesystem::path reasonFile(const std::filesystem::path& setAside);
bool isReasonFile(const std::filesystem::path& path);

// Writes the reason beside the set-aside file `setAside`; false when it cannot.
bool writeSetAsideReason(const std::filesystem::path& setAside, const SetAsideReason& reason);

// The reason of a set-aside file: from its reason file or, for one set aside before
// reasons were kept, from the ingest log's line about it ("given up after ... attempts"
// then counts as no fault of the file's: the database may have been at fault).
// nullopt when neither tells.
std::optional<SetAsideReason> readSetAsideReason(const std::filesystem::path& setAside,
                                                 const std::filesystem::path& logsFolder);

}  // namespace corva::log
