// Referenced File IDs of media from other systems, resolved on a case-sensitive file system.
#include <gtest/gtest.h>

#include "core/error.h"
#include "transfer/medium_path.h"
#include "temp_dir.h"
#include "transfer_test_util.h"

namespace corva::station::transfer {
namespace {

namespace fs = std::filesystem;
using corva::test::TempDir;
using corva::test::writeFile;

struct Case {
    const char* fileId;
    const char* expected;  // relative path of the file found; nullptr = error
    int error;             // the error code when expected is nullptr
};

TEST(MediumPathTest, ResolvesComponentsWithoutCaseAndVersionAndRefusesEscapes)
{
    TempDir root("corva-medium");
    const fs::path medium = root.path() / "cd";
    for (const char* f : {"images/im000001", "IMAGES2/IM000002;1", "Dir.X/Name.", "A/X1", "A/x1", "outside"})
        test::putFile(medium / f, "x");
    writeFile(root.path() / "secret", "x");
    fs::create_directory_symlink(root.path(), medium / "UP");
    const Case cases[] = {
        {"IMAGES/IM000001", "images/im000001", 0},
        {"images/im000001", "images/im000001", 0},
        {"IMAGES//IM000001", "images/im000001", 0},
        {"IMAGES2/IM000002", "IMAGES2/IM000002;1", 0},
        {"images2/im000002", "IMAGES2/IM000002;1", 0},
        {"IMAGES2/IM000002;1", "IMAGES2/IM000002;1", 0},
        {"DIR.X/NAME", "Dir.X/Name.", 0},
        {"A/x1", "A/x1", 0},  // an exact match wins over one without case
        {"A/X1", "A/X1", 0},
        {"IMAGES/IM000009", nullptr, errc::NotFound},
        {"IMAGES", nullptr, errc::NotFound},
        {"", nullptr, errc::NotFound},
        {"../secret", nullptr, errc::InvalidName},
        {"IMAGES/../../secret", nullptr, errc::InvalidName},
        {"./outside", nullptr, errc::InvalidName},
        {"/etc/passwd", nullptr, errc::InvalidName},
        {"C:/secret", nullptr, errc::InvalidName},
        {"UP/SECRET", nullptr, errc::InvalidName},  // a link out of the medium
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fileId);
        if (c.expected) {
            EXPECT_EQ(resolveFileId(medium, c.fileId), medium / c.expected);
        } else {
            try {
                resolveFileId(medium, c.fileId);
                ADD_FAILURE() << "resolved";
            } catch (const Error& e) {
                EXPECT_EQ(e.code(), c.error) << e.message();
            }
        }
    }
}

}  // namespace
}  // namespace corva::station::transfer
