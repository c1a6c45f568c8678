// Text comparison ignores letter case for every letter, umlauts included, in "=",
// in indexes and in LIKE.
#include <gtest/gtest.h>

#include <QString>

#include <random>

#include "core/error.h"
#include "db/database.h"
#include "db_test_util.h"
#include "temp_dir.h"

using namespace corva;
using corva::test::TempDir;

TEST(FoldCase, FoldsAsciiAndUmlauts)
{
    EXPECT_EQ(db::foldCase("MÜLLER"), "müller");
    EXPECT_EQ(db::foldCase("ÄÖÜ äöü"), "äöü äöü");
    EXPECT_EQ(db::foldCase("ZKT_NoPatID_ZKT"), "zkt_nopatid_zkt");
    EXPECT_EQ(db::foldCase(""), "");
    // A byte order mark is a character like any other, also at the start.
    EXPECT_EQ(db::foldCase("\xEF\xBB\xBFX"), "\xEF\xBB\xBFx");
}

struct EqualCase {
    const char* stored;
    const char* query;
    bool match;
};

void PrintTo(const EqualCase& c, std::ostream* os)
{
    *os << c.stored << (c.match ? " = " : " <> ") << c.query;
}

class EqualMatch : public ::testing::TestWithParam<EqualCase> {};

TEST_P(EqualMatch, OnIndexedAndPlainColumns)
{
    const auto& c = GetParam();
    TempDir dir;
    auto d = test::newImageDb(dir / "QAData.dat");
    test::insertChain(d, c.stored, "1.2.3", c.stored);
    // PATID1 is indexed, PATNachname is not: both must agree.
    for (const char* sql : {"SELECT COUNT(*) FROM tblPatienten WHERE PATID1 = ?",
                            "SELECT COUNT(*) FROM tblPatienten WHERE PATNachname = ?",
                            "SELECT COUNT(*) FROM view_studies WHERE PatID1 = ?"}) {
        auto st = d.prepare(sql);
        st.bind(1, c.query);
        ASSERT_TRUE(st.step());
        EXPECT_EQ(st.getInt(0), c.match ? 1 : 0) << sql << " stored=" << c.stored << " query=" << c.query;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, EqualMatch,
                         ::testing::Values(EqualCase{"müller", "MÜLLER", true}, EqualCase{"MÜLLER", "müller", true},
                                           EqualCase{"Müller", "mÜller", true}, EqualCase{"Müller", "Muller", false},
                                           EqualCase{"Müller", "MUELLER", false}, EqualCase{"Éclair", "éCLAIR", true}, EqualCase{"abc", "ABC", true},
                                           EqualCase{"abc", "abcd", false}, EqualCase{"ΣΊΣΥΦΟΣ", "σίσυφοσ", true},
                                           EqualCase{"1.2.840.1", "1.2.840.1", true}));

struct LikeCase {
    const char* text;
    const char* pattern;
    bool match;
};

void PrintTo(const LikeCase& c, std::ostream* os)
{
    *os << c.text << (c.match ? " Like " : " not Like ") << c.pattern;
}

class LikeMatch : public ::testing::TestWithParam<LikeCase> {};

TEST_P(LikeMatch, IgnoresCaseAndHonoursWildcards)
{
    const auto& c = GetParam();
    TempDir dir;
    auto d = test::newImageDb(dir / "QAData.dat");
    test::insertChain(d, c.text, "1.2.3");
    auto st = d.prepare("SELECT COUNT(*) FROM tblPatienten WHERE PATID1 Like ?");
    st.bind(1, c.pattern);
    ASSERT_TRUE(st.step());
    EXPECT_EQ(st.getInt(0), c.match ? 1 : 0) << c.text << " Like " << c.pattern;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LikeMatch,
    ::testing::Values(LikeCase{"ZKT_NoPatID_ZKT", "ZKT%ZKT", true}, LikeCase{"zkt_nopatid_zkt", "ZKT%ZKT", true},
                      LikeCase{"ZKT_NoPatID_ZKTx", "ZKT%ZKT", false}, LikeCase{"Müller", "MÜ%", true},
                      LikeCase{"MÜLLER", "%üll%", true}, LikeCase{"Müller", "m_ller", true},
                      LikeCase{"Müller", "m__ller", false}, LikeCase{"Müller", "M%R", true},
                      LikeCase{"Müller", "%", true}, LikeCase{"", "%", true}, LikeCase{"", "_", false},
                      LikeCase{"abcabc", "%b%c", true}, LikeCase{"abcabd", "%b%c", false},
                      LikeCase{"aXbXc", "a%b%c", true}, LikeCase{"ÄÖÜ", "äöü", true}, LikeCase{"ÄÖÜ", "äö", false}));

TEST(LikeMatch, EscapeFormAndNull)
{
    TempDir dir;
    auto d = test::newImageDb(dir / "QAData.dat");
    struct {
        const char* text;
        const char* pattern;
        int match;
    } cases[] = {{"100%", "100!%", 1}, {"1000", "100!%", 0}, {"a_b", "a!_b", 1}, {"axb", "a!_b", 0},
                 {"Ä_Ü", "ä!_ü", 1}};
    for (const auto& c : cases) {
        auto st = d.prepare("SELECT ? LIKE ? ESCAPE '!'");
        st.bind(1, c.text).bind(2, c.pattern);
        ASSERT_TRUE(st.step());
        EXPECT_EQ(st.getInt(0), c.match) << c.text << " LIKE " << c.pattern;
    }
    auto nul = d.prepare("SELECT NULL LIKE 'a', 'a' LIKE NULL");
    ASSERT_TRUE(nul.step());
    EXPECT_TRUE(nul.isNull(0));
    EXPECT_TRUE(nul.isNull(1));
    EXPECT_THROW(d.prepare("SELECT 'a' LIKE 'a' ESCAPE 'xy'").step(), Error);
}

// The index over a NOCASE column is ordered by the replaced collation: every row must
// be found through it by any spelling of its case.
TEST(Collation, IndexFindsEveryRowInAnyCase)
{
    TempDir dir;
    auto d = test::newImageDb(dir / "QAData.dat");
    const std::u32string letters = U"aAbBzZäÄöÖüÜéÉσΣ_0.\uFEFF";
    std::mt19937 rng(7);
    std::vector<QString> ids;
    {
        db::Transaction t(d);
        for (int i = 0; i < 1500; ++i) {
            std::u32string s;
            for (int n = 1 + static_cast<int>(rng() % 6); n > 0; --n)
                s.push_back(letters[rng() % letters.size()]);
            s += U"#" + QString::number(i).toStdU32String();
            QString id = QString::fromStdU32String(s);
            ids.push_back(id);
            d.prepare("INSERT INTO tblPatienten (PATID1) VALUES (?)").bind(1, id.toStdString()).run();
        }
        t.commit();
    }
    auto st = d.prepare("SELECT COUNT(*) FROM tblPatienten WHERE PATID1 = ?");
    for (const auto& id : ids) {
        for (const QString& probe : {id.toUpper(), id.toLower()}) {
            st.reset();
            st.bind(1, probe.toStdString());
            ASSERT_TRUE(st.step());
            EXPECT_EQ(st.getInt(0), 1) << id.toStdString() << " as " << probe.toStdString();
        }
    }
    auto ok = d.prepare("PRAGMA integrity_check");
    ASSERT_TRUE(ok.step());
    EXPECT_EQ(ok.getText(0), "ok");
}

// The files stay readable by the sqlite3 shell, whose NOCASE folds ASCII only.
TEST(Collation, FilesReadableBySqliteShell)
{
    TempDir dir;
    const auto file = dir / "QAData.dat";
    {
        auto d = test::newImageDb(file);
        test::insertChain(d, "AbC-1", "1.2.3", "Müller");
    }
    EXPECT_EQ(test::sqliteShell(file, "select count(*) from tblPatienten where PATID1 = 'abc-1'"), "1");
    EXPECT_EQ(test::sqliteShell(file, "select PATNachname from tblPatienten where PATID1 in (select PatID1 from view_studies)"),
              "Müller");
    EXPECT_EQ(test::sqliteShell(file, "pragma integrity_check"), "ok");
    const auto user = test::buildProgramFolder() / "Data" / "QAUser.dat";
    auto count = test::sqliteShell(user, "select count(*) from tblDictionary");
    EXPECT_GT(std::atoi(count.c_str()), 1000) << count;
    EXPECT_EQ(test::sqliteShell(user, "select Type from tblDictionary where Tag = '0008,0018' and Type = 'ui'"),
              "UI");
}
