// The projection (side and view) read from image headers and exposure records: one
// reading for the pairing of images with records and for the conversion.
#include <gtest/gtest.h>

#include "dose/exposure.h"
#include "dose/projection.h"

using namespace corva::dose;

namespace {

struct HeaderCase {
    const char* viewPosition;
    const char* laterality;
    const char* imageLaterality;
    const char* key;  // Projection::key() of what is read
    bool sideFromViewPosition;
    bool sidesDisagree;
};

TEST(ProjectionFromHeader, StandardTermsWithEitherLateralityAndTheReadersCombinedForms) {
    const HeaderCase cases[] = {
        // The standard terms take the side from Image Laterality, else from Laterality.
        {"CC", "", "L", "L-CC", false, false},
        {"CC", "R", "", "R-CC", false, false},
        {"MLO", "L", "L", "L-MLO", false, false},
        {"mlo", "", "r", "R-MLO", false, false},
        {" cc ", "L ", "", "L-CC", false, false},
        {"ML", "", "R", "R-ML", false, false},
        {"LM", "", "L", "L-LM", false, false},
        {"XCCL", "", "R", "R-XCCL", false, false},
        {"XCCM", "", "L", "L-XCCM", false, false},
        {"FB", "", "R", "R-FB", false, false},
        {"SIO", "", "L", "L-SIO", false, false},
        {"LMO", "", "R", "R-LMO", false, false},
        {"ISO", "", "L", "L-ISO", false, false},
        // The reader's combined forms name the side themselves.
        {"L CC", "", "", "L-CC", true, false},
        {"LCC", "", "", "L-CC", true, false},
        {"r cc", "", "", "R-CC", true, false},
        {"R OBLIQUE", "", "", "R-MLO", true, false},
        {"L OBLIQUE", "", "", "L-MLO", true, false},
        {"RLO", "", "", "R-MLO", true, false},
        {"LLO", "", "", "L-MLO", true, false},
        {"LLD", "", "", "L-CC", true, false},
        {"RLD", "", "", "R-CC", true, false},
        {"R-MLO", "", "", "R-MLO", true, false},
        {"LCC", "L", "L", "L-CC", true, false},
        // What names no one side or no view.
        {"CC", "", "", "?-CC", false, false},
        {"CC", "B", "", "?-CC", false, false},
        {"CC", "", "U", "?-CC", false, false},
        {"XYZ", "L", "L", "L-?", false, false},
        {"", "", "R", "R-?", false, false},
        {"", "", "", "?-?", false, false},
        {"L", "", "", "?-?", false, false},
        {"LXYZ", "", "", "?-?", false, false},
        // Two different sides: none is taken.
        {"CC", "L", "R", "?-CC", false, true},
        {"LCC", "", "R", "?-CC", true, true},
        {"RLO", "L", "", "?-MLO", true, true},
    };
    for (const HeaderCase& c : cases) {
        SCOPED_TRACE(std::string(c.viewPosition) + " / " + c.laterality + " / " + c.imageLaterality);
        const HeaderProjection h = projectionFromHeader(QString::fromLatin1(c.viewPosition),
                                                        QString::fromLatin1(c.laterality),
                                                        QString::fromLatin1(c.imageLaterality));
        EXPECT_EQ(h.projection.key().toStdString(), c.key);
        EXPECT_EQ(h.sideFromViewPosition, c.sideFromViewPosition);
        EXPECT_EQ(h.sidesDisagree, c.sidesDisagree);
        EXPECT_EQ(h.projection.known(), h.projection.key().count(QLatin1Char('?')) == 0);
        EXPECT_EQ(h.viewPosition, QString::fromLatin1(c.viewPosition));  // as the header holds it
    }
}

TEST(ProjectionFromHeader, ReadsTheHeaderAttributesAndDescribesThem) {
    corva::dicom::DataSet header;
    header.set(corva::dicom::Tag{0x0018, 0x5101}, "MLO");
    header.set(corva::dicom::Tag{0x0020, 0x0060}, "L");
    header.set(corva::dicom::Tag{0x0020, 0x0062}, "R");
    const HeaderProjection h = projectionOf(header);
    EXPECT_TRUE(h.sidesDisagree);
    EXPECT_EQ(h.projection.key(), "?-MLO");
    EXPECT_EQ(h.describe(), "View Position \"MLO\", Laterality \"L\", Image Laterality \"R\"");

    header.remove(corva::dicom::Tag{0x0020, 0x0060});
    EXPECT_EQ(projectionOf(header).projection, (Projection{Side::Right, View::MLO}));
    EXPECT_EQ(projectionOf(corva::dicom::DataSet()).projection, Projection{});
}

struct CodeCase {
    const char* code;
    const char* key;
};

TEST(ProjectionFromCode, TheUnitsCodesAndButtonCaptions) {
    const CodeCase cases[] = {
        {"L-CC", "L-CC"},      {"R-CC", "R-CC"},       {"RCC", "R-CC"},       {"l cc", "L-CC"},
        {"L-MLO", "L-MLO"},    {"R-LMO45", "R-MLO"},   {"L-LMO45", "L-MLO"},  {"R-MLO45", "R-MLO"},
        {"L-ML90", "L-ML"},    {"R-LM90", "R-LM"},     {"L-OBLIQUE", "L-MLO"}, {"R-XCCL", "R-XCCL"},
        {"L-LMO", "L-LMO"},    {"R_ML", "R-ML"},
        // No side, no view, nothing: unknown as a whole.
        {"CC", "?-?"},         {"X-CC", "?-?"},        {"L-XYZ", "?-?"},      {"L", "?-?"},
        {"", "?-?"},
    };
    for (const CodeCase& c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(projectionFromCode(QString::fromLatin1(c.code)).key().toStdString(), c.key);
    }
}

struct RecordCase {
    const char* sonstiges;
    int unit;
    const char* key;
};

TEST(RecordProjection, FourthItemOfASophieRecordTheButtonOfAGiotto) {
    const RecordCase cases[] = {
        {"Mo/Mo,AEC,2,L-CC,S", unit::Sophie, "L-CC"},
        {"W/Rh,AEC,2,R-LMO45,S", unit::Sophie, "R-MLO"},
        {"Mo/Rh,AEC,3,R-CC", unit::Sophie, "R-CC"},
        {"Mo/Mo,AEC,2", unit::Sophie, "?-?"},       // no fourth item
        {"L-CC", unit::Sophie, "?-?"},              // a caption is no Sophie record
        {"Mo/Mo,AEC,2,,S", unit::Sophie, "?-?"},
        {"L-CC", unit::Giotto, "L-CC"},
        {"R-LMO45", unit::Giotto, "R-MLO"},
        {"", unit::Giotto, "?-?"},
        {"Mo/Mo,AEC,2,L-CC,S", unit::Giotto, "?-?"},
        {"L-CC", 3, "?-?"},                         // another unit reports no projection
    };
    for (const RecordCase& c : cases) {
        SCOPED_TRACE(std::string(c.sonstiges) + " / unit " + std::to_string(c.unit));
        EXPECT_EQ(recordProjection(QString::fromLatin1(c.sonstiges), c.unit).key().toStdString(), c.key);
    }
}

TEST(ProjectionNames, SideLettersAndViewTerms) {
    EXPECT_EQ(sideLetter(Side::Left), "L");
    EXPECT_EQ(sideLetter(Side::Right), "R");
    EXPECT_EQ(sideLetter(Side::Unknown), "");
    EXPECT_EQ(viewTerm(View::XCCM), "XCCM");
    EXPECT_EQ(viewTerm(View::Unknown), "");
    EXPECT_EQ((Projection{Side::Left, View::Unknown}).key(), "L-?");
}

}  // namespace
