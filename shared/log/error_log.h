#pragma once
// The station's error log: Logs/Error.log below the program folder.
#include <cstdint>
#include <string>

namespace corva::log {

// Appends "<general date><#number - description location>" with CR LF. The log is
// rotated by size (10 MB, five generations: Error.log.1 to Error.log.5). Line breaks inside the texts become blanks,
// so an entry is always one line. Never throws; a failure loses the entry.
void LogError(std::int32_t number, const std::string& description, const std::string& location);

}  // namespace corva::log
