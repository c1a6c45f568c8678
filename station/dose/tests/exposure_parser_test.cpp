// The record formats of the two X-ray units, a fuzz run of the parse as the link runs it.
#include <gtest/gtest.h>

#include <QDateTime>
#include <algorithm>
#include <random>

#include "core/error.h"
#include "db/database.h"
#include "dose/dose_link.h"
#include "dose/exposure_parser.h"
#include "dose/record_framer.h"
#include "dose_test_support.h"

using namespace corva::dose;

namespace {

const QDateTime Now(QDate(2026, 12, 9), QTime(14, 3, 7));

struct SophieCase {
    const char* name;
    const char* record;
    const char* datum;
    const char* kvp;
    const char* ma;
    const char* expZeit;
    std::int64_t druck;
    std::int64_t dicke;
    const char* mGy;
    const char* sonstiges;
};

// Test names show the case name only.
void PrintTo(const SophieCase& c, std::ostream* os) { *os << c.name; }


const SophieCase SophieCases[] = {
    {"one_line", "Name:MUELLER 2004-05-17 10:23 L-LMO45 Mo/Mo AEC 2 28kV 63mAs 0.50s S 12kg 4.5cm 1.23mGy\r\n",
     "17.05.2004", "28", "63", "0,5", 120, 45, "1.23mGy", "Mo/Mo,AEC,2,L-LMO45,S"},
    {"lines_and_noise_before_name",
     "\x02#12 status ok\r\nName:SCHMIDT\r\n2026-12-09 08:01\r\nR-CC Mo/Rh AEC 1\r\n29kV 80mAs 1.2s N 11kg 5cm 2.04mGy",
     "09.12.2026", "29", "80", "1,2", 110, 50, "2.04mGy", "Mo/Rh,AEC,1,R-CC,N"},
    {"double_blanks_dropped", "Name:A  2001-1-2 x  L-CC  a b c 25kV 40mAs 0.8s Z 9kg 3.2cm 0.9mGy", "2.1.2001",
     "25", "40", "0,8", 90, 32, "0.9mGy", "a,b,c,L-CC,Z"},
    {"decimal_comma_and_halves_to_even",
     "Name:B 1999-12-31 t R-LMO45 W Rh 0 31kV 100mAs 0,25 x 0,25kg 0,35 3.0mGy", "31.12.1999", "31", "100",
     "0,25", 2, 4, "3.0mGy", "W,Rh,0,R-LMO45,x"},
    {"dose_token_and_trailing_text_kept",
     "Name:C 2010-06-30 t L-CC p q r 27kV 50mAs 2.00s y 15kg 6.25cm 1.10mGy extra tokens", "30.06.2010", "27",
     "50", "2", 150, 62, "1.10mGy", "p,q,r,L-CC,y"},
    // The values are counted from the date, so a name of several words moves none of them.
    {"name_with_blanks",
     "Name:VON DER HEIDE 2004-05-17 10:23 L-LMO45 Mo/Mo AEC 2 28kV 63mAs 0.50s S 12kg 4.5cm 1.23mGy\r\n",
     "17.05.2004", "28", "63", "0,5", 120, 45, "1.23mGy", "Mo/Mo,AEC,2,L-LMO45,S"},
    {"blank_after_name_label", "Name: MUELLER 2004-05-17 10:23 L-CC a b c 28kV 63mAs 0.50s S 12kg 4.5cm 1.23mGy",
     "17.05.2004", "28", "63", "0,5", 120, 45, "1.23mGy", "a,b,c,L-CC,S"},
    {"lf_only_line_ends", "Name:SCHMIDT\n2026-12-09 08:01\nR-CC Mo/Rh AEC 1\n29kV 80mAs 1.2s N 11kg 5cm 2.04mGy\n",
     "09.12.2026", "29", "80", "1,2", 110, 50, "2.04mGy", "Mo/Rh,AEC,1,R-CC,N"},
    {"force_with_decimal_point",
     "Name:M 2004-05-17 10:23 L-CC a b c 28kV 63mAs 0.50s S 12.5kg 4.5cm 1.23mGy", "17.05.2004", "28", "63", "0,5",
     125, 45, "1.23mGy", "a,b,c,L-CC,S"},
};

class SophieParse : public ::testing::TestWithParam<SophieCase> {};

TEST_P(SophieParse, ValuesAtTheirPositions) {
    const SophieCase& c = GetParam();
    const ExposureRecord r = parseSophie(sophieTokens(QString::fromLatin1(c.record)), Now);
    EXPECT_EQ(r.datum, c.datum);
    EXPECT_EQ(r.zeit, "14:03:07");
    EXPECT_EQ(r.kvp, c.kvp);
    EXPECT_EQ(r.ma, c.ma);
    EXPECT_EQ(r.expZeit.value_or("<none>"), c.expZeit);
    EXPECT_EQ(r.druck.value_or(-999), c.druck);
    EXPECT_EQ(r.dicke.value_or(-999), c.dicke);
    EXPECT_EQ(r.mGy, c.mGy);
    EXPECT_EQ(r.sonstiges, c.sonstiges);
}

INSTANTIATE_TEST_SUITE_P(Records, SophieParse, ::testing::ValuesIn(SophieCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SophieParse, BadRecordsAreErrors) {
    const char* bad[] = {
        "MUELLER 2004-05-17 10:23 L-CC a b c 28kV 63mAs 0.50s S 12kg 4.5cm 1.23mGy",   // no "Name:"
        "Name:M 17.05.2004 10:23 L-CC a b c 28kV 63mAs 0.50s S 12kg 4.5cm 1.23mGy",    // date without "-"
        "Name:M 2004-05 10:23 L-CC a b c 28kV 63mAs 0.50s S 12kg 4.5cm 1.23mGy",       // two parts only
        "Name:M 2004-05-17 10:23 L-CC a b c 28kV 63mAs 0.50s S 12kg thick 1.23mGy",    // thickness not a number
        "Name:M 2004-05-17 10:23 L-CC a b c 28kV 1.23mGy",                              // too few tokens
        "Name:M 2004-05-17 10:23 L-CC a b c 28kV 63mAs 0.50s S 99999999999kg 4cm 1mGy", // force overflows
    };
    for (const char* record : bad) {
        SCOPED_TRACE(record);
        EXPECT_THROW(parseSophie(sophieTokens(QString::fromLatin1(record)), Now), corva::Error);
    }
}

struct GiottoCase {
    const char* name;
    const char* record;
    const char* kvp;
    const char* ma;
    const char* mGy;
};

// Test names show the case name only.
void PrintTo(const GiottoCase& c, std::ostream* os) { *os << c.name; }


// The text after " 10" and one more character decides; positions count from 1.
const GiottoCase GiottoCases[] = {
    {"voltage_280", "\x02 10 280 63 1.25\x03\r\n", "28", " 63 ", "1.25\x03\r\n"},
    {"voltage_300", "\x02 10 300 45 2.10\x03\r\n", "30", " 45 ", "2.10\x03\r\n"},
    {"voltage_3500", "\x02 10 3500 80 1.5\x03\r\n", "35", "0 80 ", "1.5\x03\r\n"},
    {"packed_values", "\x02 10 2800120 0.95\x03", "28", "0120 0.9", "0.95\x03"},
    {"no_marker_drops_three", "abc28063 1.0\x03", "28", "63 1.0", "1.0\x03"},
    {"zero_first", "\x02 10 0512 1.1\x03", "", "512 1", "1.1\x03"},
    {"zero_far_on", "\x02 10 12345 670 0.8\x03", "12345 67", " 0.8\x03", "0.8\x03"},
    {"no_blank", "\x02 10 280\x03", "28", "", "280\x03"},
    {"exactly_three", "\x02 10 300", "30", "", "300"},
};

class GiottoParse : public ::testing::TestWithParam<GiottoCase> {};

TEST_P(GiottoParse, VoltageExposureAndLastValue) {
    const GiottoCase& c = GetParam();
    const ExposureRecord r = parseGiotto(QString::fromLatin1(c.record), "L-CC", Now);
    EXPECT_EQ(r.kvp, QString::fromLatin1(c.kvp));
    EXPECT_EQ(r.ma, QString::fromLatin1(c.ma));
    EXPECT_EQ(r.mGy, QString::fromLatin1(c.mGy));
    EXPECT_EQ(r.datum, "09.12.2026");
    EXPECT_EQ(r.zeit, "14:03:07");
    EXPECT_EQ(r.sonstiges, "L-CC");
    EXPECT_FALSE(r.dicke || r.druck || r.expZeit);
}

INSTANTIATE_TEST_SUITE_P(Records, GiottoParse, ::testing::ValuesIn(GiottoCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(GiottoParse, NoZeroAfterTheMarkerIsAnError) {
    EXPECT_THROW(parseGiotto("\x02 10 12345 678\x03", "L-CC", Now), corva::Error);
    EXPECT_THROW(parseGiotto("\x02 10 ", "L-CC", Now), corva::Error);
}

TEST(DecimalComma, ReadFormatRound) {
    EXPECT_DOUBLE_EQ(readDecimalComma("0,5"), 0.5);
    EXPECT_DOUBLE_EQ(readDecimalComma("-12"), -12);
    EXPECT_DOUBLE_EQ(readDecimalComma(",5"), 0.5);
    for (const char* bad : {"", "0.5", "1,2,3", "12a", " 1", "-", ","}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(readDecimalComma(bad), corva::Error);
    }
    EXPECT_EQ(formatDecimalComma(0.5), "0,5");
    EXPECT_EQ(formatDecimalComma(2.0), "2");
    EXPECT_EQ(formatDecimalComma(1.25), "1,25");
    EXPECT_EQ(formatDecimalComma(readDecimalComma("-0,0")), "0");
    EXPECT_EQ(roundHalfEven(2.5), 2);
    EXPECT_EQ(roundHalfEven(3.5), 4);
    EXPECT_EQ(roundHalfEven(-2.5), -2);
    EXPECT_THROW(roundHalfEven(3e9), corva::Error);
}

// Random and cut-off input through "Fill" as the link runs it: every record the input
// holds ends as exactly one stored row or exactly one logged error line, never a crash,
// and an input with anything in it holds at least one.
TEST(ParseFuzz, StoredOrLoggedNeverCrash) {
    test::DoseFolder folder;
    const std::vector<QByteArray> seeds{
        "Name:MUELLER 2004-05-17 10:23 L-LMO45 Mo/Mo AEC 2 28kV 63mAs 0.50s S 12kg 4.5cm 1.23mGy\r\n",
        "\x02 10 280 63 1.25\x03\r\n",
        "\x02 10 3500 80 1.5\x03"};
    std::mt19937 rng(20261209);
    std::vector<QByteArray> inputs;
    for (const QByteArray& seed : seeds) {
        for (int n = 1; n <= seed.size(); ++n) inputs.push_back(seed.left(n));  // every cut-off
        for (int k = 0; k < 60; ++k) {                                            // mutations
            QByteArray m = seed;
            for (int j = 0; j < 3; ++j) m[static_cast<int>(rng() % m.size())] = static_cast<char>(rng() % 256);
            inputs.push_back(m);
        }
    }
    for (int k = 0; k < 150; ++k) {  // noise, sometimes with a "Name:" or " 10" inside
        QByteArray b;
        const int len = static_cast<int>(rng() % 80) + 1;
        for (int j = 0; j < len; ++j) b.append(static_cast<char>(rng() % 256));
        if (k % 3 == 0) b.insert(static_cast<int>(rng() % b.size()), "Name:");
        if (k % 3 == 1) b.insert(static_cast<int>(rng() % b.size()), " 10 ");
        inputs.push_back(b);
    }

    corva::settings::Settings settings;
    DoseStore store(folder.imageDatabase());
    DoseLink link(settings, folder.path(), store);
    link.hooks().projection = [] { return QStringLiteral("R-CC"); };

    corva::db::Database db(folder.imageDatabase());
    const auto rowCount = [&] {
        corva::db::Statement st = db.prepare("SELECT COUNT(*) FROM tblDosis");
        st.step();
        return st.getInt(0);
    };
    const auto logLines = [&] {
        const std::string log = folder.errorLog();
        return static_cast<int>(std::count(log.begin(), log.end(), '\n'));
    };
    int stored = 0, logged = 0;
    for (int type : {unit::Sophie, unit::Giotto}) {
        settings.xrayComm = static_cast<std::int16_t>(type);
        for (const QByteArray& input : inputs) {
            const int rowsBefore = rowCount();
            const int linesBefore = logLines();
            const QString text = QString::fromLatin1(input);
            link.setBuffer(text);
            link.dbFill();
            const int rows = rowCount() - rowsBefore;
            const int lines = logLines() - linesBefore;
            const int records = static_cast<int>(frameText(text, type).size());
            ASSERT_EQ(rows + lines, records) << "unit " << type << " input " << input.toHex().toStdString();
            if (!text.trimmed().isEmpty()) {
                ASSERT_GE(records, 1) << "unit " << type << " input " << input.toHex().toStdString();
            }
            stored += rows;
            logged += lines;
        }
    }
    EXPECT_GT(stored, 0);
    EXPECT_GT(logged, 0);
    EXPECT_EQ(folder.errorCount("MainForm dbFill"), logged);  // one line each, all from the parse
}

}  // namespace

namespace {

// The unit's name for the patient: the words between "Name:" and the date.
TEST(SophieParse, KeepsTheUnitsNameForThePatient) {
    const QDateTime now(QDate(2026, 12, 10), QTime(10, 0, 0));
    const struct {
        const char* record;
        const char* name;
    } cases[] = {
        {"Name:MUELLER 2004-05-17 10:23 L-LMO45 Mo/Mo AEC 2 28kV 63mAs 0.50s S 12kg 4.5cm 1.23mGy", "MUELLER"},
        {"Name:MUELLER ANNA 2004-05-17 10:23 L-CC Mo/Mo AEC 2 28kV 63mAs 0.50s S 12kg 4.5cm 1.23mGy", "MUELLER ANNA"},
        {"Name: MUELLER 2004-05-17 10:23 L-CC Mo/Mo AEC 2 28kV 63mAs 0.50s S 12kg 4.5cm 1.23mGy", "MUELLER"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(corva::dose::parseSophie(corva::dose::sophieTokens(QString::fromLatin1(c.record)), now).patientName,
                  QString::fromLatin1(c.name))
            << c.record;
}

}  // namespace
