#include "db/orphans.h"

#include "db/database.h"

namespace corva::db {

OrphansRemoved removeOrphans(Database& db)
{
    OrphansRemoved removed;
    removed.series =
        db.prepare("Delete from tblSeries where SeriesID not in (Select FKeySeriesID as SeriesID from tblImages)").run();
    removed.studies =
        db.prepare("Delete from tblStudies where StudyID not in (Select FKeyStudyID as StudyID from tblSeries)").run();
    removed.patients =
        db.prepare("Delete from tblPatienten where PatID not in (Select FKeyPatID as PatID from tblStudies)").run();
    return removed;
}

}  // namespace corva::db
