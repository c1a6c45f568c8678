#include "program_folder.h"

#include <gtest/gtest.h>

#include "core/paths.h"
#include "db/database.h"
#include "db_test_util.h"

using namespace corva;
namespace fs = std::filesystem;

TEST(ProgramFolder, LaidOutLikeAnInstallation)
{
    fs::path where;
    {
        test::ProgramFolder pf;
        where = pf.path();
        for (const auto& d : {pf.temp(), pf.images(), pf.data(), pf.logs()})
            EXPECT_TRUE(fs::is_directory(d)) << d;
        for (const auto& f : {pf.imageDatabase(), pf.templateDatabase(), pf.userDatabase()})
            EXPECT_TRUE(fs::is_regular_file(f)) << f;
        db::Database img(pf.imageDatabase());
        EXPECT_TRUE(img.hasTable("tblImages"));
        pf.activate();
        EXPECT_EQ(programFolder(), pf.path());
    }
    EXPECT_FALSE(fs::exists(where));
    EXPECT_NE(programFolder(), where);

    test::ProgramFolder bare(test::ProgramFolder::Options{.imageDatabase = false, .logo = true});
    EXPECT_FALSE(fs::exists(bare.imageDatabase()));
    EXPECT_TRUE(fs::is_regular_file(bare.path() / "CorvaLogo.bmp"));
}
