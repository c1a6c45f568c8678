#include "app/forwarding.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "core/error.h"

namespace corva::station::forwarding {

namespace {

std::string upper(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return s;
}

std::string text(const dicom::Image& image, dicom::Tag tag) {
    const dicom::Attribute a = image.attributes().get(tag);
    return a.exists ? a.text : std::string();
}

}  // namespace

std::string imageKey(const dicom::Image& image, int xrayType) {
    if (xrayType == Sophie) return upper(text(image, {0x0020, 0x0060})) + "-" + upper(text(image, {0x0018, 0x5101}));
    std::string orientation = upper(text(image, {0x0020, 0x0020}));
    std::replace(orientation.begin(), orientation.end(), '\\', '|');
    return upper(text(image, {0x0020, 0x0062})) + "-" + orientation;
}

std::optional<std::string> projectionKey(const std::string& key, int xrayType) {
    struct Map {
        const char* image;
        const char* projection;
    };
    static const Map sophie[] = {{"L-CC", "L-CC"}, {"R-CC", "R-CC"}, {"L-MLO", "L-LMO45"}, {"R-MLO", "R-LMO45"}};
    static const Map giotto[] = {{"L-A|R", "L-CC"}, {"R-P|L", "R-CC"}, {"R-P|FL", "R-LMO45"}, {"L-A|FR", "L-LMO45"}};
    const auto& table = xrayType == Sophie ? sophie : giotto;
    for (const Map& m : table)
        if (key == m.image) return std::string(m.projection);
    return std::nullopt;
}

bool recordMatches(const std::string& recordProjection, const std::string& key, int xrayType) {
    if (xrayType != Sophie) return recordProjection == key;
    std::vector<std::string> items;
    std::size_t from = 0;
    for (std::size_t at; (at = recordProjection.find(',', from)) != std::string::npos; from = at + 1)
        items.push_back(recordProjection.substr(from, at - from));
    items.push_back(recordProjection.substr(from));
    if (items.size() < 4)
        throw Error(errc::Generic, "The record's projection \"" + recordProjection + "\" has no fourth item",
                    "MainForm cmdAll_Click");
    return items[3] == key;
}

}  // namespace corva::station::forwarding
