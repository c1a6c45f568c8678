#include "main/station_globals.h"

#include "core/paths.h"
#include "main/program_version.h"

namespace corva::station {

ProgramPaths ProgramPaths::compute(const std::filesystem::path& programFolder) {
    ProgramPaths p;
    p.programFolder = programFolder;
    p.transferFolder = programFolder / folder::Transfer;
    p.inputFolder = programFolder / folder::Temp;
    p.workFolder = programFolder / folder::Bin;
    p.imageStore = programFolder / folder::Images;
    p.dataFolder = programFolder / folder::Data;
    p.userDb = p.dataFolder / "QAUser.dat";
    p.imageDb = p.dataFolder / "QAData.dat";
    p.templateDb = p.dataFolder / "QADef.dat";
    return p;
}

std::filesystem::path imageFile(const ProgramPaths& paths, const std::string& studyUid, const std::string& imageUid) {
    if (!isSafeUid(studyUid) || !isSafeUid(imageUid)) return {};
    return paths.imageStore / studyUid / (imageUid + ".dcm");
}

StationGlobals& globals() {
    static StationGlobals g;
    return g;
}

QString versionText(const ProgramVersion& v, bool padRevision) {
    QString rev = QString::number(v.revision);
    if (padRevision && rev.size() < 2) rev = QString(2 - rev.size(), '0') + rev;
    return QString("%1.%2.%3").arg(v.major).arg(v.minor).arg(rev);
}

}  // namespace corva::station
