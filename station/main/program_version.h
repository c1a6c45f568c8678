#pragma once
// The program's own version and the texts built from it.
#include <QString>

namespace corva::station {

struct ProgramVersion {
    int major = 1;
    int minor = 0;
    int revision = 0;
};

inline constexpr ProgramVersion CurrentVersion{1, 0, 0};

// "major.minor.revision"; with padRevision the revision has at least two digits (5 -> 05).
QString versionText(const ProgramVersion& v, bool padRevision);

}  // namespace corva::station
