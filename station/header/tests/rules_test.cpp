// Stored rules in a real configuration database, asked through the scripted operator,
// and "Add Task" from an exposure record with the exposure filter.
#include <gtest/gtest.h>

#include "core/error.h"
#include "db/database.h"
#include "db/schema.h"
#include "dicom_fixture.h"
#include "header/rule_store.h"
#include "header/task_apply.h"
#include "header/task_builder.h"
#include "station/scripted_operator.h"
#include "temp_dir.h"

namespace corva::station::header {
namespace {

using corva::dicom::Tag;

class RulesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        db_ = db::Database(dir_.path() / "QAUser.dat", true);
        db::createUserSchema(db_);
    }
    std::int64_t count(const std::string& table)
    {
        auto st = db_.prepare("SELECT COUNT(*) FROM " + table);
        st.step();
        return st.getInt(0);
    }
    corva::test::TempDir dir_{"corva-rules"};
    db::Database db_;
    ScriptedOperator script_;
    OperatorSeamGuard guard_{script_};
};

HeaderTask task(const std::string& level, const std::string& source, const std::string& old, int action,
                const std::string& target)
{
    return {level, source, old, ActionNames[action], target, std::to_string(action)};
}

TEST_F(RulesTest, SavedRulesAreListedAndReplayedWithTheirQuestions)
{
    RuleStore store(db_);
    const std::vector<HeaderTask> tasks = {
        task("Patient", "0010,0010 - Patient's Name", "O'Brien^Ann", 0, "O'Neil^Ann"),
        task("Study", "0018,0060 - KVP", "28", 1, "0018,1152 - Exposure"),
        task("Image #2", "0018,0060 - KVP", "28", 0, "30"),
    };
    script_.answerInput(QString("Rule 'B'"));
    script_.answer(MsgResult::OK);
    EXPECT_TRUE(saveRuleAsked(store, tasks));
    EXPECT_EQ(script_.messages().back(), "Task successfully saved!");
    // An existing name is asked again; blanks end without storing.
    script_.answerInput(QString("Rule 'B'"));
    script_.answer(MsgResult::OK);
    script_.answerInput(QString("   "));
    EXPECT_FALSE(saveRuleAsked(store, tasks));
    EXPECT_EQ(script_.messages().back(), "Name already exists!");
    script_.answerInput(QString("A rule"));
    script_.answer(MsgResult::OK);
    EXPECT_TRUE(saveRuleAsked(store, {tasks[1]}));
    EXPECT_EQ(store.names(), (std::vector<std::string>{"A rule", "Rule 'B'"}));
    EXPECT_EQ(count("tblRules"), 3);
    EXPECT_TRUE(script_.unexpected().empty());

    script_.clear();
    script_.answerInput(QString("D'Arcy^Ann"));
    script_.answerInput(std::nullopt);  // the move is left out
    const auto replayed = replayRuleAsked(store, "Rule 'B'");
    ASSERT_EQ(replayed.size(), 1u);
    EXPECT_EQ(replayed[0].level, "Patient");
    EXPECT_EQ(replayed[0].source, "0010,0010 - Patient's Name");
    EXPECT_EQ(replayed[0].target, "D'Arcy^Ann");
    EXPECT_EQ(replayed[0].oldValue, "");
    EXPECT_EQ(replayed[0].actionNumber, "0");
    const auto asked = script_.shownOf(ScriptedOperator::Kind::Input);
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[0].text, "(0010,0010 - Patient's Name):");
    EXPECT_EQ(asked[0].title, "Enter new value");
    EXPECT_EQ(asked[0].defaultAnswer, "");
    EXPECT_EQ(asked[1].defaultAnswer, "0018,1152 - Exposure");
}

TEST_F(RulesTest, ImageTasksAloneAreNotSaved)
{
    RuleStore store(db_);
    script_.answerInput(QString("Only images"));
    script_.answer(MsgResult::OK);
    EXPECT_FALSE(saveRuleAsked(store, {task("Image #3", "0018,0060 - KVP", "28", 0, "30")}));
    EXPECT_EQ(script_.messages().back(), "No tasks with level \"Patient\", \"Study\" or \"Series\".\r\nTasks not saved.");
    EXPECT_EQ(count("tblRules"), 0);
    EXPECT_EQ(count("tblRuleKey"), 0);
}

TEST_F(RulesTest, AddTaskFromAnExposureRecordPutsEachValueIntoItsAttribute)
{
    db::addFilterColumn(db_, "Exposure");
    // A site's filter: exposure attributes among others, none in the record's order.
    const std::vector<std::pair<std::string, std::string>> filter = {
        {"0010,0010", "Patient's Name"},
        {"0018,0060", "KVP"},
        {"0018,1151", "X-Ray Tube Current"},
        {"0018,1152", "Exposure"},
        {"0018,11A0", "Body Part Thickness"},
        {"0018,11A2", "Compression Force"},
        {"0020,0062", "Image Laterality"},
        {"0040,8302", "Entrance Dose in mGy"},
    };
    // Stored in another order: the header view sorts by tag.
    for (auto it = filter.rbegin(); it != filter.rend(); ++it)
        db_.prepare("INSERT INTO tblDictionary (Tag, Description, Exposure) VALUES (?, ?, -1)")
            .bind(1, it->first)
            .bind(2, it->second)
            .run();
    db_.prepare("INSERT INTO tblDictionary (Tag, Description, Exposure) VALUES ('0008,0060', 'Modality', 0)").run();
    ActiveTagSet set;
    loadModFilter(db_, "Exposure", set);
    ASSERT_EQ(set.entries().size(), filter.size());
    EXPECT_THROW(loadModFilter(db_, "Exposure\" OR 1=1 --", set), Error);

    corva::test::DicomRecipe recipe;
    recipe.extra = {{Tag{0x0018, 0x0060}, "25"}, {Tag{0x0020, 0x0062}, "L"}};
    auto image = corva::test::makeImage(recipe);
    auto ds = image.attributes();
    const auto rows = headerRows(set, &ds);
    // The record's values by attribute, in the conversion's order; one attribute the
    // filter does not show.
    const std::vector<ExposureValue> record = {{"0018,0060", "28"},  {"0018,1152", "63"},
                                               {"0018,11a0", "45"},  {"0018,11A2", "120"},
                                               {"0040,8302", "1.24"}, {"0040,0310", "Mo/Mo,AEC,2,L-CC"}};
    // The chosen action does not matter: a record's value always changes its attribute.
    const auto made = makeTasks(rows, {"Image", 1, 3, "Serie"}, record);
    EXPECT_TRUE(made.error.empty());
    EXPECT_TRUE(made.refusal.empty());
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"0018,0060 - KVP", "28"},
        {"0018,1152 - Exposure", "63"},
        {"0018,11A0 - Body Part Thickness", "45"},
        {"0018,11A2 - Compression Force", "120"},
        {"0040,8302 - Entrance Dose in mGy", "1.24"},
    };
    ASSERT_EQ(made.tasks.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(made.tasks[i].level, "Image #3");
        EXPECT_EQ(made.tasks[i].source, expected[i].first);
        EXPECT_EQ(made.tasks[i].target, expected[i].second);
        EXPECT_EQ(made.tasks[i].actionName, "Change entry");
        EXPECT_EQ(made.tasks[i].actionNumber, "0");
    }
    EXPECT_EQ(made.tasks[0].oldValue, "25");
    UidPlan uids;
    for (const auto& t : made.tasks)
        applyTask(t, ds, uids, false);
    EXPECT_EQ(ds.get(Tag{0x0018, 0x0060}).text, "28");
    EXPECT_EQ(ds.get(Tag{0x0018, 0x1152}).text, "63");
    EXPECT_EQ(ds.get(Tag{0x0018, 0x11A0}).text, "45");
    EXPECT_EQ(ds.get(Tag{0x0018, 0x11A2}).text, "120");
    EXPECT_EQ(ds.get(Tag{0x0040, 0x8302}).text, "1.24");
    EXPECT_EQ(ds.get(Tag{0x0020, 0x0062}).text, "L");  // no value of the record: untouched
    EXPECT_FALSE(ds.contains(Tag{0x0018, 0x1151}));

    EXPECT_EQ(makeTasks(rows, {"Series", 0, 1, "Studie"}, record).refusal, "Cannot create series task on study level.");
    EXPECT_TRUE(makeTasks(rows, {"Image", 0, 1, "Serie"}, {}).tasks.empty());  // no record selected
    EXPECT_EQ(targetChoices(set, "0018,0060 - KVP").size(), filter.size() - 1);
}

}  // namespace
}  // namespace corva::station::header
