#include "common/image_set.h"

#include "db/database.h"

namespace corva::station {

ImageSetQuery ImageSetQuery::ofStudy(const std::vector<std::int64_t>& seriesIds) {
    ImageSetQuery q;
    q.imageSql = "SELECT ImageUID FROM tblImages WHERE";
    q.countSql = "SELECT COUNT(ImageUID) AS ImageCount FROM tblImages WHERE";
    bool first = true;
    for (const auto id : seriesIds) {
        if (!first) {
            q.imageSql += " OR";
            q.countSql += " OR";
        }
        first = false;
        q.imageSql += " FKeySeriesID = ?";
        q.countSql += " FKeySeriesID = ?";
        q.params.push_back(id);
    }
    q.imageSql += " ORDER BY FKeySeriesID, ImageNr";
    q.noSeries = seriesIds.empty();
    return q;
}

ImageSetQuery ImageSetQuery::ofSeries(std::int64_t seriesId) {
    ImageSetQuery q;
    q.imageSql = "SELECT ImageUID FROM tblImages WHERE FKeySeriesID = ? ORDER BY ImageNr";
    q.countSql = "SELECT COUNT(ImageUID) AS ImageCount FROM tblImages WHERE FKeySeriesID = ?";
    q.params = {seriesId};
    return q;
}

std::int64_t imageCount(db::Database& db, const ImageSetQuery& q) {
    if (q.noSeries) return 0;  // a study without series holds no image
    auto s = db.prepare(q.countSql);
    for (std::size_t i = 0; i < q.params.size(); ++i) s.bind(static_cast<int>(i + 1), q.params[i]);
    return s.step() ? s.getInt(0) : 0;
}

std::vector<std::string> imageUids(db::Database& db, const ImageSetQuery& q) {
    std::vector<std::string> uids;
    if (q.noSeries) return uids;
    auto s = db.prepare(q.imageSql);
    for (std::size_t i = 0; i < q.params.size(); ++i) s.bind(static_cast<int>(i + 1), q.params[i]);
    while (s.step()) uids.push_back(s.isNull(0) ? std::string() : s.getText(0));
    return uids;
}

}  // namespace corva::station
