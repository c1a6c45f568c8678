// Cutting the X-ray unit's stream into records: whatever pieces the serial reads bring,
// the records come out whole and in order, noise is skipped and bad pieces are named.
#include <gtest/gtest.h>

#include <QDateTime>
#include <ostream>
#include <vector>

#include "core/error.h"
#include "dose/exposure_parser.h"
#include "dose/record_framer.h"

using namespace corva::dose;

namespace {

using Kind = Frame::Kind;

const QDateTime Now(QDate(2026, 12, 9), QTime(14, 3, 7));

const QByteArray Mueller =
    "Name:MUELLER 2004-05-17 10:23 L-LMO45 Mo/Mo AEC 2 28kV 63mAs 0.50s S 12kg 4.5cm 1.23mGy";
const QByteArray Schmidt = "Name:SCHMIDT\r\n2026-12-09 08:01\r\nR-CC Mo/Rh AEC 1\r\n29kV 80mAs 1.2s N 11kg 5cm 2.04mGy";
const QByteArray G280 = "\x02 10 280 63 1.25\x03";
const QByteArray G300 = "\x02 10 300 45 2.10\x03";

// What the parse makes of a record as the link hands it over (with its line end):
// "kV|mAs|force|dose|other", or "!" when the parse fails.
std::string parsed(const QString& record, int type) {
    try {
        const QString text = record + "\r\n";
        const ExposureRecord r =
            type == unit::Sophie ? parseSophie(sophieTokens(text), Now) : parseGiotto(text, {}, Now);
        QString dose = r.mGy;
        dose.remove(QChar(EndOfText)).remove('\r').remove('\n');
        return QStringList{r.kvp, r.ma.trimmed(), r.druck ? QString::number(*r.druck) : QStringLiteral("-"), dose, r.sonstiges}
            .join('|')
            .toStdString();
    } catch (const corva::Error&) {
        return "!";
    }
}

struct Expected {
    Kind kind;
    QByteArray text;
    const char* parse;  // for a Record: what parsed() gives
};

struct FramerCase {
    const char* name;
    int type;
    std::vector<QByteArray> reads;
    std::vector<int> framesPerRead;
    std::vector<Expected> frames;
    QByteArray pending;
};

// Test names show the case name only.
void PrintTo(const FramerCase& c, std::ostream* os) { *os << c.name; }

const char* const MuellerValues = "28|63|120|1.23mGy|Mo/Mo,AEC,2,L-LMO45,S";
const char* const SchmidtValues = "29|80|110|2.04mGy|Mo/Rh,AEC,1,R-CC,N";

const FramerCase Cases[] = {
    {"sophie_two_records_in_one_read", unit::Sophie, {Mueller + "\r\n" + Schmidt + "\r\n"}, {2},
     {{Kind::Record, Mueller, MuellerValues}, {Kind::Record, Schmidt, SchmidtValues}}, ""},
    {"sophie_record_split_over_reads", unit::Sophie, {Schmidt.left(Schmidt.size() - 2), "Gy\r\n"}, {0, 1},
     {{Kind::Record, Schmidt, SchmidtValues}}, ""},
    {"sophie_noise_between_records", unit::Sophie,
     {"\x02#12 status ok\r\n" + Mueller + "\r\nself test 10 ok\r\n" + Schmidt + "\r\n"}, {2},
     {{Kind::Record, Mueller, MuellerValues}, {Kind::Record, Schmidt, SchmidtValues}}, ""},
    {"sophie_partial_then_complete", unit::Sophie, {"Name:KRAUSE 2004-05-17 10:23 L-CC\r\n", Mueller + "\r\n"},
     {0, 2}, {{Kind::CutOff, "Name:KRAUSE 2004-05-17 10:23 L-CC", nullptr}, {Kind::Record, Mueller, MuellerValues}},
     ""},
    {"sophie_dose_line_without_its_start", unit::Sophie, {"garbled 28kV 1.2mGy\r\n" + Mueller + "\r\n"}, {2},
     {{Kind::Headless, "garbled 28kV 1.2mGy", nullptr}, {Kind::Record, Mueller, MuellerValues}}, ""},
    {"sophie_bad_record_then_good_ones", unit::Sophie,
     {"Name:M 17.05.2004 10:23 L-CC a b c 28kV 63mAs 0.50s S 12kg 4.5cm 1.23mGy\r\n", Mueller + "\r\n",
      Schmidt + "\r\n"},
     {1, 1, 1},
     {{Kind::Record, "Name:M 17.05.2004 10:23 L-CC a b c 28kV 63mAs 0.50s S 12kg 4.5cm 1.23mGy", "!"},
      {Kind::Record, Mueller, MuellerValues},
      {Kind::Record, Schmidt, SchmidtValues}},
     ""},
    {"sophie_lf_only_line_ends", unit::Sophie,
     {"Name:SCHMIDT\n2026-12-09 08:01\nR-CC Mo/Rh AEC 1\n29kV 80mAs 1.2s N 11kg 5cm 2.04mGy\nName:", "X"}, {1, 0},
     {{Kind::Record, "Name:SCHMIDT\n2026-12-09 08:01\nR-CC Mo/Rh AEC 1\n29kV 80mAs 1.2s N 11kg 5cm 2.04mGy",
       SchmidtValues}},
     "Name:X"},
    {"sophie_name_with_blanks", unit::Sophie,
     {"Name:VON DER HEIDE 2004-05-17 10:23 L-LMO45 Mo/Mo AEC 2 28kV 63mAs 0.50s S 12kg 4.5cm 1.23mGy\r\n"}, {1},
     {{Kind::Record, "Name:VON DER HEIDE 2004-05-17 10:23 L-LMO45 Mo/Mo AEC 2 28kV 63mAs 0.50s S 12kg 4.5cm 1.23mGy",
       MuellerValues}},
     ""},
    {"sophie_force_with_decimal_point", unit::Sophie,
     {"Name: MUELLER 2004-05-17 10:23 L-LMO45 Mo/Mo AEC 2 28kV 63mAs 0.50s S 12.5kg 4.5cm 1.23mGy\r\n"}, {1},
     {{Kind::Record, "Name: MUELLER 2004-05-17 10:23 L-LMO45 Mo/Mo AEC 2 28kV 63mAs 0.50s S 12.5kg 4.5cm 1.23mGy",
       "28|63|125|1.23mGy|Mo/Mo,AEC,2,L-LMO45,S"}},
     ""},
    {"sophie_records_on_one_line", unit::Sophie, {Mueller + " " + Schmidt}, {2},
     {{Kind::Record, Mueller, MuellerValues}, {Kind::Record, Schmidt, SchmidtValues}}, ""},
    {"sophie_rest_of_the_dose_line_belongs_to_the_record", unit::Sophie, {Mueller + " extra tokens\rnoise"}, {1},
     {{Kind::Record, Mueller + " extra tokens", MuellerValues}}, "noise"},
    {"sophie_dose_arrived_before_its_line_end", unit::Sophie, {Mueller, "\r\n"}, {1, 0},
     {{Kind::Record, Mueller, MuellerValues}}, "\r\n"},
    {"sophie_lower_case_dose_is_no_end", unit::Sophie, {"Name:x 1.2mgy"}, {0}, {}, "Name:x 1.2mgy"},
    {"giotto_noise_byte_between_records", unit::Giotto, {G280 + "x" + G300}, {2},
     {{Kind::Record, G280, "28|63|-|1.25|"}, {Kind::Record, G300, "30|45|-|2.10|"}}, ""},
    {"giotto_record_split_over_reads", unit::Giotto, {"\x02 10 35", "00 80 1.5\x03"}, {0, 1},
     {{Kind::Record, "\x02 10 3500 80 1.5\x03", "35|0 80|-|1.5|"}}, ""},
    {"giotto_noise_with_the_marker_before_a_record", unit::Giotto, {"\r\n 10 99 0 " + G280 + "\r\n"}, {1},
     {{Kind::Record, G280, "28|63|-|1.25|"}}, "\r\n"},
    {"giotto_partial_then_complete", unit::Giotto, {"\x02 10 28", G300}, {0, 2},
     {{Kind::CutOff, "\x02 10 28", nullptr}, {Kind::Record, G300, "30|45|-|2.10|"}}, ""},
    {"giotto_end_without_its_start", unit::Giotto, {"junk 2.0\x03" + G280}, {2},
     {{Kind::Headless, "junk 2.0\x03", nullptr}, {Kind::Record, G280, "28|63|-|1.25|"}}, ""},
    {"giotto_bad_record_then_good_ones", unit::Giotto, {"\x02 10 12345 678\x03", G280 + G300}, {1, 2},
     {{Kind::Record, "\x02 10 12345 678\x03", "!"},
      {Kind::Record, G280, "28|63|-|1.25|"},
      {Kind::Record, G300, "30|45|-|2.10|"}},
     ""},
    {"giotto_end_then_more_in_one_read", unit::Giotto, {"\x02 10 3500 8", "0 1.5\x03junk"}, {0, 1},
     {{Kind::Record, "\x02 10 3500 80 1.5\x03", "35|0 80|-|1.5|"}}, "junk"},
    {"giotto_trailing_end_only", unit::Giotto, {G280 + "\x03"}, {2},
     {{Kind::Record, G280, "28|63|-|1.25|"}, {Kind::Headless, "\x03", nullptr}}, ""},
    {"another_unit_type_never_frames", 3, {Mueller + "\r\n" + G280}, {0}, {}, Mueller + "\r\n" + G280},
};

class Framing : public ::testing::TestWithParam<FramerCase> {};

TEST_P(Framing, RecordsInOrderNoiseSkippedBadPiecesNamed) {
    const FramerCase& c = GetParam();
    ASSERT_EQ(c.reads.size(), c.framesPerRead.size());
    RecordFramer framer(c.type);
    std::vector<Frame> frames;
    for (std::size_t i = 0; i < c.reads.size(); ++i) {
        const QString read = QString::fromLatin1(c.reads[i]);
        const std::vector<Frame> got = framer.feed(read);
        EXPECT_EQ(static_cast<int>(got.size()), c.framesPerRead[i]) << "read " << i;
        // A read that completes nothing is kept whole for the next one.
        if (got.empty()) {
            EXPECT_TRUE(framer.pending().endsWith(read)) << "read " << i;
        }
        frames.insert(frames.end(), got.begin(), got.end());
    }
    ASSERT_EQ(frames.size(), c.frames.size());
    for (std::size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE("frame " + std::to_string(i));
        EXPECT_EQ(frames[i].kind, c.frames[i].kind);
        EXPECT_EQ(frames[i].text, QString::fromLatin1(c.frames[i].text));
        if (c.frames[i].kind == Kind::Record) {
            EXPECT_EQ(parsed(frames[i].text, c.type), c.frames[i].parse);
        }
    }
    EXPECT_EQ(framer.pending(), QString::fromLatin1(c.pending));
    EXPECT_FALSE(framer.cutByLastFeed());
}

INSTANTIATE_TEST_SUITE_P(Streams, Framing, ::testing::ValuesIn(Cases),
                         [](const auto& info) { return std::string(info.param.name); });

// A complete text (cInput.txt placed by hand, or what waits when "Fill" is chosen): the
// record started last counts without its end, and a text without any record marker is
// one record, so that the parse reports what it is.
TEST(FrameText, CompleteTextsAsFillTakesThem) {
    const QString mueller = QString::fromLatin1(Mueller);
    const auto frames = frameText(mueller + "\r\n" + "Name:CUT 2004-05-17 10:23\r\n", unit::Sophie);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], (Frame{Kind::Record, mueller}));
    EXPECT_EQ(frames[1], (Frame{Kind::Record, "Name:CUT 2004-05-17 10:23"}));

    EXPECT_EQ(frameText("  garbage 12kg \r\n", unit::Sophie), (std::vector<Frame>{{Kind::Record, "garbage 12kg"}}));
    EXPECT_EQ(frameText("abc28063 1.0\x03", unit::Giotto),
              (std::vector<Frame>{{Kind::Headless, "abc28063 1.0\x03"}}));
    EXPECT_EQ(frameText("abc28063 1.0", unit::Giotto), (std::vector<Frame>{{Kind::Record, "abc28063 1.0"}}));
    EXPECT_EQ(frameText(QString::fromLatin1(G280) + "\r\n", unit::Giotto),
              (std::vector<Frame>{{Kind::Record, QString::fromLatin1(G280)}}));
    EXPECT_EQ(frameText("\x02 10 280 6", unit::Giotto), (std::vector<Frame>{{Kind::Record, "\x02 10 280 6"}}));
    EXPECT_TRUE(frameText(" \r\n", unit::Sophie).empty());
    EXPECT_TRUE(frameText(mueller, 3).empty());
}

// Input that never completes a record stays bounded: the oldest text goes, the newest
// stays, and a record that follows is still framed.
TEST(FramerLimit, OldestTextGoesFirst) {
    RecordFramer framer(unit::Sophie, 100);
    EXPECT_TRUE(framer.feed(QString(90, 'x')).empty());
    EXPECT_FALSE(framer.cutByLastFeed());
    EXPECT_TRUE(framer.feed(QString(20, 'y')).empty());
    EXPECT_TRUE(framer.cutByLastFeed());
    EXPECT_EQ(framer.pending(), QString(55, 'x') + QString(20, 'y'));
    const auto frames = framer.feed(QString::fromLatin1(Mueller) + "\r\n");
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].text, QString::fromLatin1(Mueller));
    EXPECT_FALSE(framer.cutByLastFeed());
    EXPECT_TRUE(framer.pending().isEmpty());
}

// Another unit type frames by its own markers and drops what was pending.
TEST(FramerUnitType, ChangeDropsPendingText) {
    RecordFramer framer(unit::Sophie);
    EXPECT_TRUE(framer.feed("\x02 10 280 63 Name:A").empty());
    framer.setUnitType(unit::Sophie);
    EXPECT_EQ(framer.pending(), "\x02 10 280 63 Name:A");
    framer.setUnitType(unit::Giotto);
    EXPECT_TRUE(framer.pending().isEmpty());
    const auto frames = framer.feed(QString::fromLatin1(G280));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].kind, Kind::Record);
}

}  // namespace
