// The board's command line: every fault knob is found under --fault help, and a mistake names
// itself.
#include "tools/virtual-board/options.h"

#include <gtest/gtest.h>

#include <iterator>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Every knob of the modem and of the machine has its own line, starting with its name.
TEST(BoardOptionsTest, FaultHelpHasALineForEveryKnob) {
    const std::string help = std::string("\n") + vboard::kFaultHelp;
    std::vector<std::string_view> knobs(sim::kModemFaultNames.begin(), sim::kModemFaultNames.end());
    knobs.insert(knobs.end(), vboard::kBoardFaultNames.begin(), vboard::kBoardFaultNames.end());
    for (const char* point : {"start", "handshake", "sw:N", "complete", "end"})
        knobs.push_back(point);
    for (std::string_view knob : knobs) {
        const std::regex line("\n  " + std::string(knob) + "[=\\[ ,]");
        EXPECT_EQ(std::distance(std::sregex_iterator(help.begin(), help.end(), line),
                                std::sregex_iterator()),
                  1)
            << knob;
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
        {{"--report", "-", "x"}, nullptr},
        {{"--report=", "--", "x"}, "--report needs a file, or - for standard output"},
        {{"--report"}, "--report needs a value"},
        {{"--pace"}, "no command to run: give it after --, e.g. virtual-board -- gsm-updater"},
        {{"--paced", "--", "x"}, "unknown option --paced"},
        // Under Wine the store is Wine's registry, written when its server ends, and COM1's
        // lock a Windows mutex: the faults that need either are refused by name.
        {{"--wine", "--fault", "wrong-answer=700,unplug=sw:9,signal=TERM@fs:7", "--", "x.exe"},
         nullptr},
        {{"--wine", "--wine-prefix", "p", "--root", "r", "--", "x.exe"}, nullptr},
        {{"--wine-prefix", "p", "--", "x.exe"}, "--wine-prefix needs --wine"},
        {{"--wine-display", "x.exe"}, "--wine-display needs --wine"},
        {{"--wine", "--wine-prefix=", "x.exe"}, "--wine-prefix needs a folder"},
        {{"--wine=1", "x.exe"}, "--wine takes no value"},
        {{"--wine", "--root", "r", "--reuse", "x.exe"}, "--reuse: not available with --wine"},
        {{"--wine", "--fault", "store-lock=1+2", "x.exe"},
         "--fault store-lock=1+2: not available with --wine"},
        {{"--wine", "--fault", "com1-held", "x.exe"},
         "--fault com1-held: not available with --wine"},
        {{"--wine", "--fault", "unplug=handshake,signal=INT@end+1", "x.exe"},
         "--fault signal=INT@end+1: not available with --wine"},
        {{"--fault", "disk-full=end", "--wine", "x.exe"},
         "--fault disk-full=end: not available with --wine"},
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

}  // namespace
