#include "common/station_context.h"

#include "core/paths.h"
#include "db/schema.h"

namespace corva::station {

ProgramPaths ProgramPaths::compute(const std::filesystem::path& programFolder,
                                   const std::filesystem::path& executables) {
    ProgramPaths p;
    p.programFolder = programFolder;
    p.executables = executables.empty() ? programFolder : executables;
    p.transferFolder = programFolder / folder::Transfer;
    p.inputFolder = programFolder / folder::Temp;
    p.workFolder = programFolder / folder::Bin;
    p.imageStore = programFolder / folder::Images;
    p.dataFolder = programFolder / folder::Data;
    p.userDb = p.dataFolder / db::UserDatabaseFile;
    p.imageDb = p.dataFolder / db::ImageDatabaseFile;
    p.templateDb = p.dataFolder / db::TemplateDatabaseFile;
    return p;
}

std::filesystem::path imageFile(const ProgramPaths& paths, const std::string& studyUid, const std::string& imageUid) {
    if (!isSafeUid(studyUid) || !isSafeUid(imageUid)) return {};
    return paths.imageStore / studyUid / (imageUid + ".dcm");
}

StationContext& stationContext() {
    static StationContext g;
    return g;
}

}  // namespace corva::station
