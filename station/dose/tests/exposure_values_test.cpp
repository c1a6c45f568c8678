// Record texts as numbers for numeric attributes: what is a number, and the forms of
// decimal (DS) and integer (IS) strings.
#include <gtest/gtest.h>

#include "dose/exposure_values.h"

using namespace corva::dose;

namespace {

struct NumberCase {
    const char* text;
    const char* unit;
    std::optional<double> value;
};

TEST(RecordNumber, NumbersWithUnitsBlanksAndEitherDecimalMark) {
    const NumberCase cases[] = {
        {"28", "kV", 28},          {"28kV", "kV", 28},          {" 63 ", "mAs", 63},
        {"0,5", "s", 0.5},         {"0.50s", "s", 0.5},         {"1.23mGy", "mGy", 1.23},
        {"1.25\x03\r\n", "mGy", 1.25}, {",5", "", 0.5},         {"-0", "", 0},
        {"1.23 mGy", "mGy", 1.23},
        // Not numbers: garbled Giotto fields, free text, another unit, exponents, nothing.
        {"0 80 ", "mAs", std::nullopt},  {"12345 67", "kV", std::nullopt},
        {"Mo/Mo,AEC,2,L-CC,S", "", std::nullopt}, {"1.23mGy", "", std::nullopt},
        {"500ms", "s", std::nullopt},    {"1e3", "", std::nullopt},
        {"1,2,3", "", std::nullopt},     {"", "", std::nullopt},
        {"mGy", "mGy", std::nullopt},    {".", "", std::nullopt},
    };
    for (const NumberCase& c : cases) {
        SCOPED_TRACE(c.text);
        const auto v = recordNumber(QString::fromLatin1(c.text), QString::fromLatin1(c.unit));
        ASSERT_EQ(v.has_value(), c.value.has_value());
        if (v) {
            EXPECT_DOUBLE_EQ(*v, *c.value);
        }
    }
}

TEST(NumberStrings, DecimalAtMostSixteenCharactersIntegerHalvesToEven) {
    EXPECT_EQ(decimalString(1.23), "1.23");
    EXPECT_EQ(decimalString(-0.0), "0");
    EXPECT_EQ(decimalString(3995.5), "3995.5");
    for (double v : {1.0 / 3.0, -123456789.123456789, 1e20, 2.0 / 3.0 * 1e-7}) {
        const std::string s = decimalString(v);
        EXPECT_LE(s.size(), 16u) << s;
        EXPECT_NEAR(std::stod(s), v, std::abs(v) * 1e-9) << s;
    }
    EXPECT_EQ(integerString(12.5), "12");
    EXPECT_EQ(integerString(13.5), "14");
    EXPECT_EQ(integerString(-0.4), "0");
    EXPECT_EQ(integerString(2147483647.0), "2147483647");
    EXPECT_EQ(integerString(3e9), std::nullopt);
}

TEST(ExposureValues, EveryAttributeOfTheUnitInWritingOrder) {
    const CurrentExposure e{"28", "63", "45", "120", "1.23mGy", "Mo/Mo,AEC,2,L-CC,S", "0,5"};
    const auto tags = [](const ExposureValues& v) {
        std::vector<std::string> t;
        for (const ExposureChange& c : v.changes) t.push_back(c.tag.text() + (c.value ? "=" + *c.value : " removed"));
        return t;
    };
    const ExposureValues sophie = exposureValues(e, unit::Sophie);
    // The dose only as entrance dose; the further values as dose comments, not as the
    // reader's sensitivity.
    EXPECT_EQ(tags(sophie), (std::vector<std::string>{"0018,0060=28", "0018,1150=500", "0018,8150 removed",
                                                      "0018,1152=63", "0018,1153 removed", "0018,11A0=45",
                                                      "0018,11A2=120", "0040,8302=1.23",
                                                      "0040,0310=Mo/Mo,AEC,2,L-CC,S"}));
    EXPECT_TRUE(sophie.nonNumeric.empty());
    EXPECT_EQ(tags(exposureValues(e, unit::Giotto)),
              (std::vector<std::string>{"0018,0060=28", "0018,1152=63", "0018,1153 removed", "0040,8302=1.23"}));
    EXPECT_TRUE(exposureValues(e, 3).changes.empty());
}

TEST(ExposureValues, FurtherValuesOfASophieRecordAsPrintableDoseComments) {
    const auto comments = [](const QString& sonstiges) {
        const CurrentExposure e{"28", "63", "45", "120", "1.23mGy", sonstiges, "0,5"};
        for (const ExposureChange& c : exposureValues(e, unit::Sophie).changes)
            if (c.tag == corva::dicom::Tag{0x0040, 0x0310}) return c.value;
        ADD_FAILURE() << "no change of (0040,0310)";
        return std::optional<std::string>{};
    };
    EXPECT_EQ(comments(QStringLiteral("W/Rh,AEC,2,R-LMO45,S")), "W/Rh,AEC,2,R-LMO45,S");
    EXPECT_EQ(comments(QString::fromUtf8(" Mo/Mo,AEC,\x02 2,L-CC,S\r\n")), "Mo/Mo,AEC, 2,L-CC,S");
    // Nothing left: removed, so no comment of an earlier record stays.
    EXPECT_EQ(comments(QString()), std::nullopt);
    EXPECT_EQ(comments(QStringLiteral(" \r\n")), std::nullopt);
    // A short text holds at most 1024 characters.
    EXPECT_EQ(comments(QString(2000, QLatin1Char('x'))), std::string(1024, 'x'));
}

// A garbled record's negative numbers never reach the header: each attribute stays
// present and empty, the text is listed as below zero; zero itself is a value.
TEST(ExposureValues, NegativeValuesAreListedNotWritten) {
    const CurrentExposure e{"-28", "-63", "-45", "0", "-1.23mGy", "Mo/Mo,AEC,2,L-CC,S", "-0,5"};
    const ExposureValues v = exposureValues(e, unit::Sophie);
    std::vector<std::string> written;
    for (const ExposureChange& c : v.changes)
        if (c.value && !c.value->empty() && c.tag != corva::dicom::Tag{0x0040, 0x0310})
            written.push_back(c.tag.text() + "=" + *c.value);
    EXPECT_EQ(written, (std::vector<std::string>{"0018,11A2=0"}));
    std::vector<std::string> listed;
    for (const NonNumericValue& n : v.nonNumeric) {
        EXPECT_TRUE(n.belowZero) << n.attributeName.toStdString();
        listed.push_back(n.tag.text() + " " + n.text.toStdString());
    }
    EXPECT_EQ(listed, (std::vector<std::string>{"0018,0060 -28", "0018,1150 -0,5", "0018,1152 -63", "0018,11A0 -45",
                                                "0040,8302 -1.23mGy"}));
    const ExposureValues notANumber = exposureValues({"x", "63", "45", "120", "1.23", "", "0,5"}, unit::Sophie);
    ASSERT_EQ(notANumber.nonNumeric.size(), 1u);
    EXPECT_FALSE(notANumber.nonNumeric[0].belowZero);
}

TEST(PrintableText, ControlCharactersGoOthersBecomeQuestionMarks) {
    EXPECT_EQ(printableText(QString::fromLatin1("\x02 1.25\x03\r\n")), "1.25");
    EXPECT_EQ(printableText(QString::fromUtf8("M\xc3\xbc" "ller")), "M?ller");
}

}  // namespace
