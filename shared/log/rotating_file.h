#pragma once
// A log file that never grows without bound: before a line would take it past its limit
// it becomes <name>.1, the older generations move up one (<name>.2 ...) and the oldest
// goes. Several processes may append to the same log: an advisory lock on the file
// keeps their rotations and lines apart.
#include <cstdint>
#include <filesystem>
#include <string_view>

namespace corva::log {

struct Rotation {
    std::uintmax_t maxBytes = 10u * 1024 * 1024;
    int generations = 5;
};

// Appends `text` to `file` (created when missing, its folder too), rotating first when
// needed. Never throws; false when the text could not be written.
bool appendRotating(const std::filesystem::path& file, std::string_view text, const Rotation& rotation = {});

// The name of generation `n` (1 = the newest one moved aside) of `file`.
std::filesystem::path generationFile(const std::filesystem::path& file, int n);

}  // namespace corva::log
