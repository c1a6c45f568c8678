#pragma once
// Text from outside (file names, peers' values) as it goes into a log line.
#include <string>
#include <string_view>

namespace corva::log {

// Control characters as "\xNN": a name cannot split a line or forge one.
std::string escapedControls(std::string_view text);

}  // namespace corva::log
