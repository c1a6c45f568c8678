// The console view of a job's report: the log as lines with "\n", notices apart.
#include <gtest/gtest.h>

#include <sstream>

#include "app/ctl/command_support.h"
#include "app/ctl/console_report.h"

namespace corva::station::ctl {
namespace {

struct LogCase {
    std::vector<std::string> pieces;  // as the job appends them
    std::string out;                  // standard output after finish()
};

TEST(ConsoleReport, WritesTheJobLogAsLines) {
    const LogCase cases[] = {
        {{"Sending Series ... ", "OK\r\n", "2 of 2 images successfully sent.\r\n", "Tasks done!"},
         "Sending Series ... OK\n2 of 2 images successfully sent.\nTasks done!\n"},
        {{"a\r", "\nb\r\n"}, "a\nb\n"},  // "\r\n" split over two calls
        {{"a\rb"}, "a\nb\n"},            // a lone CR ends its line
        {{""}, ""},
    };
    for (bool terminal : {false, true})
        for (const LogCase& c : cases) {
            std::ostringstream out, err;
            {
                ConsoleReport report(out, err, terminal);
                for (const auto& p : c.pieces) report.appendLog(p);
                report.finish();
            }
            EXPECT_EQ(out.str(), c.out) << terminal << " " << c.pieces.front();
            if (!terminal) {
                EXPECT_EQ(err.str(), "");
            }
        }
}

TEST(ConsoleReport, ABarOnlyOnATerminalAndNeverInsideALogLine) {
    std::ostringstream out, err;
    ConsoleReport report(out, err, true);
    report.setProgressMaximum(4);
    report.appendLog("Sending Series ... ");
    report.setProgress(2);
    EXPECT_EQ(out.str(), "");  // the open line waits for its end
    EXPECT_NE(err.str().find("] 50%"), std::string::npos) << err.str();
    report.appendLog("OK\r\n");
    EXPECT_EQ(out.str(), "Sending Series ... OK\n");
    report.information("The images from the selected\r\nseries could not be found!");
    EXPECT_TRUE(err.str().ends_with("The images from the selected  series could not be found!\n")) << err.str();

    std::ostringstream plainOut, plainErr;
    ConsoleReport plain(plainOut, plainErr, false);
    plain.setProgressMaximum(4);
    plain.setProgress(2);
    plain.unexpectedError(53, "File not found");
    EXPECT_EQ(plainErr.str(), "Error #53: File not found\n");
}

}  // namespace
}  // namespace corva::station::ctl

namespace corva::station::ctl {
namespace {

// Header values in `list` output: control characters and escape sequences never reach
// the terminal, tabs and line ends never break the table; other text stays as it is.
TEST(TableCell, ControlCharactersNeverReachTheTerminal) {
    const std::pair<std::string, std::string> cases[] = {
        {"Muster^Anna", "Muster^Anna"},
        {"A\tB\r\nC", "A B  C"},
        {"\x1b[2J\x1b]0;owned\x07", " [2J ]0;owned "},
        {"M\xc3\xbcller", "M\xc3\xbcller"},  // ü stays
        {"x\xc2\x9b" "31m", "x?31m"},       // C1 CSI in UTF-8
        {std::string("a\0b", 3), "a b"},
        {"\x7f", " "},
    };
    for (const auto& [in, expected] : cases) EXPECT_EQ(cell(in), expected) << in;
}

}  // namespace
}  // namespace corva::station::ctl
