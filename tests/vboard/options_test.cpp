// The board's command line: every fault knob is found under --fault help, and a mistake names
// itself.
#include "tools/virtual-board/options.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Every knob of the modem and of the machine has its own line, starting with its name.
TEST(BoardOptionsTest, FaultHelpHasALineForEveryKnob) {
    std::vector<std::string> lines;
    std::istringstream in(vboard::kFaultHelp);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    std::vector<std::string_view> knobs(sim::kModemFaultNames.begin(), sim::kModemFaultNames.end());
    knobs.insert(knobs.end(), vboard::kBoardFaultNames.begin(), vboard::kBoardFaultNames.end());
    for (const char* point : {"start", "handshake", "sw:N", "complete", "end"})
        knobs.push_back(point);
    for (std::string_view knob : knobs) {
        int found = 0;
        for (const std::string& line : lines) {
            const std::string head = "  " + std::string(knob);
            found += line.rfind(head, 0) == 0 && line.size() > head.size() &&
                     std::string("=[ ,").find(line[head.size()]) != std::string::npos;
        }
        EXPECT_EQ(found, 1) << knob;
    }
    EXPECT_NE(std::string(vboard::kUsage).find("--fault help"), std::string::npos);
}

TEST(BoardOptionsTest, ParsesOrSaysWhatWasWrong) {
    struct Case {
        std::vector<std::string> args;
        const char* problem;  // nullptr: parses
    };
    const Case cases[] = {
        {{"--fault", "nosuchknob", "--", "x"},
         "--fault: unknown fault 'nosuchknob'; 'virtual-board --fault help' lists the faults"},
        {{"--fault=latency-ms=1,nosuchknob=3@sw", "x"},
         "--fault: unknown fault 'nosuchknob'; 'virtual-board --fault help' lists the faults"},
        {{"--fault", "help"}, nullptr},
        {{"--pace", "--version"}, nullptr},
        {{"--report", "-", "--", "x"}, nullptr},
        {{"--report=", "--", "x"}, "--report needs a file, or - for standard output"},
        {{"--report"}, "--report needs a value"},
        {{"--pace"}, "no command to run: give it after --, e.g. virtual-board -- gsm-updater"},
        {{"--paced", "--", "x"}, "unknown option --paced"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        vboard::Options options;
        std::string problem;
        const bool parsed = vboard::ParseOptions(c.args, &options, &problem);
        EXPECT_EQ(parsed, c.problem == nullptr);
        if (c.problem != nullptr) {
            EXPECT_EQ(problem, c.problem);
        }
    }
}

TEST(BoardOptionsTest, AnswersWithoutACommand) {
    vboard::Options options;
    std::string problem;
    ASSERT_TRUE(vboard::ParseOptions({"--fault", "help"}, &options, &problem)) << problem;
    EXPECT_TRUE(options.fault_help);
    EXPECT_TRUE(options.command.empty());
    ASSERT_TRUE(vboard::ParseOptions({"--report", "-", "x"}, &options, &problem)) << problem;
    EXPECT_EQ(options.report_path, "-");
}

}  // namespace
