// Tasks applied to one image's attributes, and the display form of an attribute.
#include <gtest/gtest.h>

#include "core/error.h"
#include "dicom_fixture.h"
#include "header/header_element.h"
#include "header/task_apply.h"
#include "header/task_builder.h"
#include "header/task_check.h"
#include "temp_dir.h"

namespace corva::station::header {
namespace {

using corva::dicom::Tag;
using corva::test::DicomRecipe;
using corva::test::makeImage;

const Tag Kvp{0x0018, 0x0060};
const Tag Exposure{0x0018, 0x1152};
const Tag Sop{0x0008, 0x0018};
const Tag StudyUid{0x0020, 0x000D};
const Tag SeriesUid{0x0020, 0x000E};
const Tag Name{0x0010, 0x0010};

HeaderTask task(const std::string& level, const std::string& source, const std::string& old, int action,
                const std::string& target)
{
    return {level, source, old, action >= 0 && action <= 2 ? ActionNames[action] : "?", target,
            std::to_string(action)};
}

struct Case {
    const char* what;
    HeaderTask task;
    std::string kvpAfter;
    std::string exposureAfter;
};

class TaskApplyCases : public ::testing::TestWithParam<Case> {};

TEST_P(TaskApplyCases, ChangesTheImageAsTheActionSays)
{
    DicomRecipe r;
    r.extra = {{Kvp, "28"}, {Exposure, "90"}};
    auto image = makeImage(r);
    auto ds = image.attributes();
    UidPlan uids;
    applyTask(GetParam().task, ds, uids, false);
    EXPECT_EQ(ds.get(Kvp).text, GetParam().kvpAfter) << GetParam().what;
    EXPECT_EQ(ds.get(Exposure).text, GetParam().exposureAfter) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    Actions, TaskApplyCases,
    ::testing::Values(
        Case{"change", task("Series", "0018,0060 - KVP", "28", 0, "31"), "31", "90"},
        Case{"move with the header view's value", task("Series", "0018,0060 - KVP", "28", 1, "0018,1152 - Exposure"),
             "", "28"},
        Case{"move replayed from a rule takes the image's value",
             task("Series", "0018,0060 - KVP", "", 1, "0018,1152 - Exposure"), "", "28"},
        Case{"switch", task("Series", "0018,0060 - KVP", "28", 2, "0018,1152 - Exposure"), "90", "28"},
        Case{"switch replayed from a rule", task("Series", "0018,0060 - KVP", "", 2, "0018,1152 - Exposure"), "90",
             "28"},
        // The old value is what the header view showed for another image of the task.
        Case{"move carries the image's value, not the task's old value",
             task("Series", "0018,0060 - KVP", "31", 1, "0018,1152 - Exposure"), "", "28"},
        Case{"switch carries the image's value, not the task's old value",
             task("Series", "0018,0060 - KVP", "31", 2, "0018,1152 - Exposure"), "90", "28"},
        Case{"unknown action", task("Series", "0018,0060 - KVP", "28", 7, "31"), "28", "90"}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

TEST(TaskApplyTest, NewUidsAreFreshValidAndSharedPerStudyAndSeries)
{
    DicomRecipe r;
    r.studyUid = "1.2.3.4";
    r.seriesUid = "1.2.3.4.5";
    auto a = makeImage(r);
    auto b = makeImage(r);
    auto da = a.attributes(), db = b.attributes();
    UidPlan uids;
    for (auto* ds : {&da, &db}) {
        applyTask(task("Series", "0008,0018 - SOP Instance UID", "x", 0, NewUidText), *ds, uids, true);
        applyTask(task("Study", "0020,000D - Study Instance UID", "x", 0, NewUidText), *ds, uids, true);
        applyTask(task("Series", "0020,000E - Series Instance UID", "x", 0, "generate new UID"), *ds, uids, true);
    }
    for (auto* ds : {&da, &db})
        for (Tag t : {Sop, StudyUid, SeriesUid}) {
            EXPECT_TRUE(isValidUid(ds->get(t).text)) << ds->get(t).text;
            EXPECT_NE(ds->get(t).text, NewUidText);
        }
    EXPECT_NE(da.get(Sop).text, db.get(Sop).text);
    EXPECT_EQ(da.get(StudyUid).text, db.get(StudyUid).text);
    EXPECT_NE(da.get(StudyUid).text, "1.2.3.4");
    EXPECT_EQ(da.get(SeriesUid).text, db.get(SeriesUid).text);
    EXPECT_NE(da.get(SeriesUid).text, "1.2.3.4.5");
}

TEST(TaskApplyTest, ExplicitUidTextOnOneImageIsWrittenAndAnInvalidOneRefused)
{
    auto image = makeImage();
    auto ds = image.attributes();
    UidPlan uids;
    applyTask(task("Image #2", "0008,0018 - SOP Instance UID", "x", 0, "1.2.826.0.1.7"), ds, uids, false);
    EXPECT_EQ(ds.get(Sop).text, "1.2.826.0.1.7");
    EXPECT_THROW(applyTask(task("Image #2", "0008,0018 - SOP", "x", 0, "not a uid"), ds, uids, false), Error);
    EXPECT_EQ(ds.get(Sop).text, "1.2.826.0.1.7");
}

TEST(TaskApplyTest, AValueTheCharacterSetCannotHoldIsAnError)
{
    auto image = makeImage(corva::test::latin1Recipe("Müller^Anna"));
    auto ds = image.attributes();
    UidPlan uids;
    try {
        applyTask(task("Patient", "0010,0010 - Patient's Name", "Müller^Anna", 0, "Жуков^Иван"), ds, uids, true);
        FAIL() << "no error";
    } catch (const Error& e) {
        EXPECT_EQ(e.code(), errc::CharsetEncode);
    }
    EXPECT_EQ(ds.get(Name).text, "Müller^Anna");
}

TEST(TaskApplyTest, ReachFollowsGroupUidAndLevel)
{
    EXPECT_EQ(taskReach(task("Image #1", "0010,0010 - Name", "", 0, "x")).scope, TaskScope::Patient);
    EXPECT_EQ(taskReach(task("Image #1", "0020,000E - Series", "", 0, "x")).scope, TaskScope::Series);
    EXPECT_EQ(taskReach(task("Study", "0018,0060 - KVP", "", 0, "x")).scope, TaskScope::Study);
    const TaskReach r = taskReach(task("Image #12", "0018,0060 - KVP", "", 0, "x"));
    EXPECT_EQ(r.scope, TaskScope::Image);
    EXPECT_EQ(r.imagePosition, 12);
}

TEST(HeaderElementTest, DisplayFormOfValues)
{
    DicomRecipe r;
    r.extra = {{Tag{0x0020, 0x0020}, "L\\R"}, {Tag{0x0028, 0x1050}, "100\\100"}, {Kvp, "28"}};
    auto image = makeImage(r);
    auto ds = image.attributes();
    EXPECT_EQ(headerElement(ds, Tag{0x0020, 0x0020}), "L | R");
    EXPECT_EQ(headerElement(ds, Tag{0x0028, 0x1050}), "100");
    EXPECT_EQ(headerElement(ds, Kvp), "28");
    EXPECT_EQ(headerElement(ds, Tag{0x0018, 0x7001}), "");
}

}  // namespace
}  // namespace corva::station::header

namespace corva::station::header {
namespace {

// Dates and times typed or carried as the header view shows them are written in DICOM
// form; a text that is no date or time is refused and the image keeps its value.
TEST(TaskApplyDates, DatesAndTimesAreWrittenInDicomFormOrRefused)
{
    const corva::dicom::Tag birthDate{0x0010, 0x0030}, studyTime{0x0008, 0x0030}, acquisitionDateTime{0x0008, 0x002A},
        contentDate{0x0008, 0x0023}, comments{0x0020, 0x4000};
    struct DateCase {
        const char* what;
        HeaderTask task;
        corva::dicom::Tag tag;
        std::string after;  // empty: refused, the value stays "19620314"
    };
    const auto change = [](const std::string& source, const std::string& value) {
        return HeaderTask{"Patient", source, "", "Change entry", value, "0"};
    };
    const std::vector<DateCase> cases = {
        {"shown date", change("0010,0030 - Patient's Birth Date", "15.03.1962"), birthDate, "19620315"},
        {"short shown date", change("0010,0030 - Patient's Birth Date", "5.3.1962"), birthDate, "19620305"},
        {"DICOM date", change("0010,0030 - Patient's Birth Date", "19620316"), birthDate, "19620316"},
        {"empty date", change("0010,0030 - Patient's Birth Date", ""), birthDate, "<empty>"},
        {"no date", change("0010,0030 - Patient's Birth Date", "March 1962"), birthDate, ""},
        {"no month 13", change("0010,0030 - Patient's Birth Date", "01.13.1962"), birthDate, ""},
        {"shown time", change("0008,0030 - Study Time", "9:05:30"), studyTime, "090530"},
        {"shown date and time", change("0008,002A - Acquisition DateTime", "15.03.2024 10:15:00"),
         acquisitionDateTime, "20240315101500"},
        {"a date moved into an absent date attribute",
         {"Study", "0010,0030 - Patient's Birth Date", "14.03.1962", "Move entry", "0008,0023 - Content Date", "1"},
         contentDate, "19620314"},
        {"a date moved into text carries the stored value, not the shown one",
         {"Study", "0010,0030 - Patient's Birth Date", "14.03.1962", "Move entry", "0020,4000 - Image Comments", "1"},
         comments, "19620314"},
    };
    for (const auto& c : cases) {
        DicomRecipe r;
        r.birthDate = "19620314";
        r.extra = {{studyTime, "101500"}, {acquisitionDateTime, "20240115101500"}};
        auto image = makeImage(r);
        auto ds = image.attributes();
        const std::string before = ds.get(c.tag).text;
        UidPlan uids;
        if (c.after.empty()) {
            EXPECT_THROW(applyTask(c.task, ds, uids, false), Error) << c.what;
            EXPECT_EQ(ds.get(c.tag).text, before) << c.what;
            continue;
        }
        applyTask(c.task, ds, uids, false);
        EXPECT_EQ(ds.get(c.tag).text, c.after == "<empty>" ? "" : c.after) << c.what;
    }
}

}  // namespace
}  // namespace corva::station::header

namespace corva::station::header {
namespace {

// Every value of a multi-valued attribute travels, in stored form: the header view shows
// "0.1\\0.1" as "0.1" and "A\\R" as "A | R".
TEST(TaskApplyMultiValues, MoveAndSwitchCarryEveryValueNotTheDisplayForm)
{
    const Tag pixelSpacing{0x0028, 0x0030}, imagerPixelSpacing{0x0018, 0x1164}, orientation{0x0020, 0x0020},
        comments{0x0020, 0x4000};
    struct MultiCase {
        const char* what;
        HeaderTask task;
        Tag source, target;
        std::string sourceAfter, targetAfter;
    };
    const std::vector<MultiCase> cases = {
        {"move of two equal values",
         task("Study", "0028,0030 - Pixel Spacing", "0.1", 1, "0018,1164 - Imager Pixel Spacing"), pixelSpacing,
         imagerPixelSpacing, "", "0.1\\0.1"},
        {"switch of two equal values",
         task("Study", "0028,0030 - Pixel Spacing", "0.1", 2, "0018,1164 - Imager Pixel Spacing"), pixelSpacing,
         imagerPixelSpacing, "0.2\\0.2", "0.1\\0.1"},
        {"move of two codes", task("Study", "0020,0020 - Patient Orientation", "A | R", 1, "0020,4000 - Image Comments"),
         orientation, comments, "", "A\\R"},
    };
    for (const auto& c : cases) {
        DicomRecipe r;
        r.extra = {{pixelSpacing, "0.1\\0.1"}, {imagerPixelSpacing, "0.2\\0.2"}, {orientation, "A\\R"}};
        auto image = makeImage(r);
        auto ds = image.attributes();
        UidPlan uids;
        applyTask(c.task, ds, uids, true);
        EXPECT_EQ(ds.get(c.source).text, c.sourceAfter) << c.what;
        EXPECT_EQ(ds.get(c.target).text, c.targetAfter) << c.what;
    }
}

// Tasks on the pixel layout or the file meta information would leave images nobody can
// decode: they are refused when made and when applied, as source and as target.
TEST(TaskRefusal, ThePixelLayoutAndTheFileMetaInformationAreRefused)
{
    const std::vector<std::string> refused = {
        "0028,0010 - Rows", "0028,0011 - Columns", "0028,0100 - Bits Allocated", "0028,0101 - Bits Stored",
        "0028,0102 - High Bit", "0028,0103 - Pixel Representation", "0028,0002 - Samples per Pixel",
        "0028,0004 - Photometric Interpretation", "0028,0008 - Number of Frames", "7FE0,0010 - Pixel Data",
        "0002,0010 - Transfer Syntax UID", "0002,0002 - Media Storage SOP Class UID"};
    for (const auto& source : refused) {
        SCOPED_TRACE(source);
        const HeaderTask change = task("Series", source, "", 0, "12");
        const std::string refusal = taskRefusal(change);
        EXPECT_NE(refusal.find("(" + source.substr(0, 9) + ")"), std::string::npos) << refusal;
        EXPECT_NE(refusal.find("cannot change it"), std::string::npos) << refusal;
        // As the target of a move.
        EXPECT_FALSE(taskRefusal(task("Series", "0018,0060 - KVP", "", 1, source)).empty());
        auto image = makeImage();
        auto ds = image.attributes();
        const std::string rowsBefore = ds.get(Tag{0x0028, 0x0010}).text;
        UidPlan uids;
        EXPECT_THROW(applyTask(change, ds, uids, false), Error);
        EXPECT_THROW(applyTask(task("Series", "0018,0060 - KVP", "", 2, source), ds, uids, false), Error);
        EXPECT_EQ(ds.get(Tag{0x0028, 0x0010}).text, rowsBefore);
        // The task area does not make it.
        const AddTaskResult made = makeChosenTask({source, "", "12", ""}, {"Series", 0, 1, "Serie"});
        EXPECT_TRUE(made.tasks.empty());
        EXPECT_EQ(made.refusal, refusal);
    }
    for (const char* allowed : {"0028,0030 - Pixel Spacing", "0028,1050 - Window Center", "0018,0060 - KVP"})
        EXPECT_EQ(taskRefusal(task("Series", allowed, "", 0, "1")), "") << allowed;
    EXPECT_EQ(taskRefusal(task("Series", "0028,0010 - Rows", "", 7, "1")), "") << "no action, nothing changes";
}

// A copy whose header no longer fits its pixel data is caught before its original goes.
TEST(PixelDecodeCheck, AHeaderThatNoLongerFitsThePixelDataIsFound)
{
    corva::test::TempDir dir;
    struct DecodeCase {
        const char* what;
        std::vector<std::pair<Tag, std::string>> extra;
        std::vector<Tag> omit;
        bool decodes;
    };
    const std::vector<DecodeCase> cases = {
        {"as written", {}, {}, true},
        {"a changed window", {{Tag{0x0028, 0x1050}, "100"}, {Tag{0x0028, 0x1051}, "50"}}, {}, true},
        {"more rows than stored", {{Tag{0x0028, 0x0010}, "128"}}, {}, false},
        {"more columns than stored", {{Tag{0x0028, 0x0011}, "640"}}, {}, false},
        {"no rows", {}, {Tag{0x0028, 0x0010}}, false},
        {"colour without colour samples", {{Tag{0x0028, 0x0004}, "RGB"}}, {}, false},
        {"three samples", {{Tag{0x0028, 0x0002}, "3"}}, {}, false},
        {"no pixel data", {}, {Tag{0x7FE0, 0x0010}}, false},
    };
    int n = 0;
    for (const auto& c : cases) {
        DicomRecipe r;
        r.extra = c.extra;
        r.omit = c.omit;
        const auto file = corva::test::writeDicom(dir.path() / (std::to_string(n++) + ".dcm"), r);
        const std::string problem = pixelDecodeProblem(file);
        EXPECT_EQ(problem.empty(), c.decodes) << c.what << ": " << problem;
    }
    EXPECT_FALSE(pixelDecodeProblem(dir.path() / "missing.dcm").empty());
}

}  // namespace
}  // namespace corva::station::header
