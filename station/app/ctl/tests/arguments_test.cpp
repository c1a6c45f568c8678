// The command-line options of a command: what is read, and every mistake refused with
// one line naming it.
#include <gtest/gtest.h>

#include "app/ctl/arguments.h"

namespace corva::station::ctl {
namespace {

const std::vector<Arguments::Option> Options = {
    {"study", Arguments::Value}, {"keep", Arguments::Flag}, {"set", Arguments::Values}};

TEST(Arguments, ReadsOptionsValuesAndOperands) {
    const Arguments a({"x", "--study", "1.2", "--keep", "--set=0010,0010=A=B", "--set", "0008,1030=", "--", "--y"},
                      Options);
    EXPECT_EQ(a.value("study"), "1.2");
    EXPECT_TRUE(a.has("keep"));
    EXPECT_EQ(a.values("set"), (std::vector<std::string>{"0010,0010=A=B", "0008,1030="}));
    EXPECT_EQ(a.operands(), (std::vector<std::string>{"x", "--y"}));
    EXPECT_EQ(a.exactlyOne({"study", "series"}), "study");
}

TEST(Arguments, RefusesMistakesWithTheirName) {
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"--bogus"}, "unknown option --bogus"},
        {{"-k"}, "unknown option -k"},
        {{"--study"}, "option --study needs a value"},
        {{"--study", "1", "--study", "2"}, "option --study given twice"},
        {{"--keep=1"}, "option --keep takes no value"},
    };
    for (const auto& c : cases) {
        try {
            Arguments(c.args, Options);
            ADD_FAILURE() << c.message;
        } catch (const UsageError& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
        }
    }
    const Arguments none({}, Options);
    EXPECT_THROW(none.exactlyOne({"patient", "study"}), UsageError);
    EXPECT_THROW(wholeNumber("quality", "11", 0, 10), UsageError);
    EXPECT_THROW(wholeNumber("quality", "5x", 0, 10), UsageError);
    EXPECT_EQ(wholeNumber("quality", "10", 0, 10), 10);
    EXPECT_NO_THROW(none.noOperands());
    try {
        Arguments({"--keep", "a.dcm", "b.dcm"}, Options).noOperands();
        ADD_FAILURE() << "an operand passed";
    } catch (const UsageError& e) {
        EXPECT_EQ(std::string(e.what()), "unexpected operand 'a.dcm'");
    }
}

}  // namespace
}  // namespace corva::station::ctl
