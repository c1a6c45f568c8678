// The toolkit's public data dictionary as the dictionary table gets it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>

#include "dicom/dicom.h"

using namespace corva::dicom;

TEST(DicomDictionary, PublicAttributesWithTwoLetterVrs)
{
    const std::vector<DictionaryEntry> entries = publicDictionary();
    ASSERT_GT(entries.size(), 3000u);
    std::map<Tag, DictionaryEntry> byTag;
    for (const auto& e : entries) {
        EXPECT_EQ(e.tag.group % 2, 0) << e.tag.text();
        ASSERT_EQ(e.vr.size(), 2u) << e.tag.text();
        EXPECT_TRUE(std::isupper(static_cast<unsigned char>(e.vr[0])) && std::isupper(static_cast<unsigned char>(e.vr[1])))
            << e.tag.text() << " " << e.vr;
        EXPECT_FALSE(e.name.empty()) << e.tag.text();
        EXPECT_TRUE(byTag.emplace(e.tag, e).second) << "twice: " << e.tag.text();
    }
    EXPECT_TRUE(std::is_sorted(entries.begin(), entries.end(), [](auto& a, auto& b) { return a.tag < b.tag; }));
    auto expect = [&](Tag tag, const char* vr, const char* name) {
        auto it = byTag.find(tag);
        ASSERT_NE(it, byTag.end()) << tag.text();
        EXPECT_EQ(it->second.vr, vr) << tag.text();
        EXPECT_EQ(it->second.name, name) << tag.text();
    };
    expect({0x0010, 0x0010}, "PN", "PatientName");
    expect({0x0008, 0x0020}, "DA", "StudyDate");
    expect({0x0028, 0x1050}, "DS", "WindowCenter");
    expect({0x0028, 0x0106}, "US", "SmallestImagePixelValue");  // "US or SS": the first
    expect({0x7FE0, 0x0010}, "OB", "PixelData");                // "OB or OW": the first
    expect({0x6000, 0x3000}, "OB", "OverlayData");              // repeating group 60xx
    EXPECT_FALSE(byTag.count(Tag{0xFFFE, 0xE000}));             // items are no attributes
}
