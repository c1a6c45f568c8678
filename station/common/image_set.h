#pragma once
// The set of images the viewer loads, as the browser chose it: built by the browser,
// run by the study loading.
#include <cstdint>
#include <string>
#include <vector>

namespace corva::db {
class Database;
}

namespace corva::station {

// The two statements that load a set of images into the viewer: the image statement
// returns ImageUID in display order, the count statement one row with ImageCount.
struct ImageSetQuery {
    std::string imageSql;
    std::string countSql;
    std::vector<std::int64_t> params;  // bound in order to both statements
    bool noSeries = false;             // a study without series: nothing to load

    // A study's images (made of its series, in order) and one series' images.
    static ImageSetQuery ofStudy(const std::vector<std::int64_t>& seriesIds);
    static ImageSetQuery ofSeries(std::int64_t seriesId);
};

std::int64_t imageCount(db::Database& db, const ImageSetQuery& q);
std::vector<std::string> imageUids(db::Database& db, const ImageSetQuery& q);

}  // namespace corva::station
