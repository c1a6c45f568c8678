// The image store on a disk of its own that fills up while the database's disk has room:
// every image waits in Temp uncounted, no half copy is left in the store to take the
// room that is left, and everything is filed once there is room again.
#include <gtest/gtest.h>

#include "ingest_test_util.h"
#include "small_disk.h"

namespace corva::ingest {
namespace {

namespace fs = std::filesystem;
using corva::test::DicomRecipe;
using corva::test::readFile;
using corva::test::uniqueUid;
using test::SmallDisk;
using test::Station;

int countEndingIn(const fs::path& folder, const std::string& tail)
{
    int n = 0;
    for (const auto& e : fs::recursive_directory_iterator(folder))
        n += e.is_regular_file() && e.path().filename().string().ends_with(tail) ? 1 : 0;
    return n;
}

TEST(ImageStoreFull, ImagesWaitAndNoHalfCopyStaysInTheStore)
{
    Station st;
    DicomRecipe first;
    first.sopInstanceUid = uniqueUid();
    st.drop(first.sopInstanceUid + ".dcm", first);
    ASSERT_TRUE(st.settle());
    SmallDisk disk(st.folder().images(), 1u << 20);
    if (!disk.mounted())
        GTEST_SKIP() << "no right to mount a tmpfs here";
    disk.fill();
    for (int i = 0; i < 10; ++i) {
        DicomRecipe recipe;
        recipe.sopInstanceUid = uniqueUid();
        recipe.studyUid = uniqueUid();
        recipe.rows = recipe.columns = 128;
        st.drop(recipe.sopInstanceUid + ".dcm", recipe);
    }
    st.ticks(3 * IngestService::MaxTries);
    EXPECT_EQ(countEndingIn(st.temp(), ".dcm"), 10);
    EXPECT_EQ(countEndingIn(st.temp(), ".try"), 0) << "nothing counted against the images";
    EXPECT_FALSE(fs::exists(st.temp() / "BadObjects"));
    EXPECT_EQ(countEndingIn(st.folder().images(), ".moving"), 0) << "a failed copy is removed at once";

    disk.free();
    ASSERT_TRUE(st.settle(4 * Outage::MaxPauseTicks));
    EXPECT_EQ(countEndingIn(st.folder().images(), ".dcm"), 11);
    EXPECT_EQ(st.count("tblImages"), 11);
    EXPECT_EQ(countEndingIn(st.folder().images(), ".moving"), 0);
    const std::string log = readFile(st.folder().logs() / "Ingrado.log");
    EXPECT_NE(log.find("Ingrado cannot write the image store Images: disk full; images wait"), std::string::npos)
        << log;
}

}  // namespace
}  // namespace corva::ingest
