#pragma once
// The program's own version and the texts built from it. The build passes the project
// version as CORVA_PROJECT_VERSION ("1.0" or "1.0.3"); a missing part counts as 0.
#include <QString>
#include <string_view>

#ifndef CORVA_PROJECT_VERSION
#define CORVA_PROJECT_VERSION "0.0.0"
#endif

namespace corva::station {

struct ProgramVersion {
    int major = 1;
    int minor = 0;
    int revision = 0;
    friend constexpr bool operator==(const ProgramVersion&, const ProgramVersion&) = default;
};

// "major[.minor[.revision[.tweak]]]" as CMake writes a project version; parsing stops at
// the first character that is neither a digit nor a dot.
constexpr ProgramVersion parseProgramVersion(std::string_view text) {
    int parts[3] = {0, 0, 0};
    int part = 0;
    for (const char c : text) {
        if (c == '.') {
            if (++part >= 3) break;
        } else if (c >= '0' && c <= '9') {
            parts[part] = parts[part] * 10 + (c - '0');
        } else {
            break;
        }
    }
    return {parts[0], parts[1], parts[2]};
}

inline constexpr ProgramVersion CurrentVersion = parseProgramVersion(CORVA_PROJECT_VERSION);

// "major.minor.revision"; with padRevision the revision has at least two digits (5 -> 05).
QString versionText(const ProgramVersion& v, bool padRevision);

}  // namespace corva::station
