// Whole updates of the Windows updater under Wine on the virtual board, in real time: the board
// makes the prefix, maps COM1 and COM2 to its pseudo-terminals, puts its values into Wine's
// registry and reads them back at the end.  Each run ends as the Linux updater's does: the modem
// flashed, the board and the drivers' settings restored, the radio stack off.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/board_runner.h"

namespace {

// A run under Wine costs some seconds of set-up besides the update's own; far less than this.
constexpr double kMaxWallS = 240;

std::string WindowsUpdater() {
    return std::string(WIN32_BUILD_DIR) + "/bin/gsm-updater.exe";
}

struct Scenario {
    const char* name;
    std::vector<std::string> faults;  // board arguments
    int sw_passes;                    // the SW image's attempts
};

void PrintTo(const Scenario& scenario, std::ostream* out) {
    *out << scenario.name;
}

class VirtualBoardWineTest : public ::testing::TestWithParam<Scenario> {};

TEST_P(VirtualBoardWineTest, FlashesTheModemAndRestoresTheBoard) {
    const Scenario& scenario = GetParam();
    testproc::BoardRunner runner;
    ASSERT_TRUE(runner.ok());
    std::vector<std::string> args = {"--wine", "--time-limit", "300"};
    args.insert(args.end(), scenario.faults.begin(), scenario.faults.end());
    const testproc::BoardRun run = runner.Run(args, {WindowsUpdater()});
    ASSERT_EQ(run.exit_code, 0) << run.stderr_text;
    ASSERT_TRUE(run.report) << run.report_error;
    const nlohmann::json& report = *run.report;
    // The updater's own lines say why it failed, if it did.
    ASSERT_EQ(report.at("exit_status"), 0) << run.stderr_text;
    EXPECT_TRUE(report.at("killed_for").is_null());
    EXPECT_LT(report.at("wall_s").get<double>(), kMaxWallS);
    EXPECT_EQ(report.at("progress"), 100);
    EXPECT_EQ(report.at("awrcwr"), 1);
    EXPECT_EQ(report.at("clk"), 1);
    EXPECT_EQ(report.at("board").at("cpld_mode"), 1);
    EXPECT_EQ(report.at("backlight"), "released");
    const nlohmann::json& commands = report.at("at_commands");
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[0].at("command"), "AT*USER1OFF\r");
    EXPECT_EQ(commands[1].at("command"), "AT+CFUN=0\r");
    // The radio stack's drivers are gone from Wine's registry; the others stay.
    EXPECT_EQ(report.at("drivers_loaded"), (std::vector<std::string>{"BKL1:", "COM1:"}));
    EXPECT_EQ(report.at("radio"), "off");

    const nlohmann::json& sw = report.at("images").at("sw");
    const nlohmann::json& fs = report.at("images").at("fs");
    EXPECT_EQ(sw.at("passes"), scenario.sw_passes);
    EXPECT_EQ(sw.at("completed"), 1);
    EXPECT_EQ(fs.at("completed"), 1);
    EXPECT_EQ(fs.at("records_confirmed"), 885);
    if (scenario.sw_passes == 1) {
        EXPECT_EQ(sw.at("records_confirmed"), 1667);
    }
    EXPECT_FALSE(report.at("wine").is_null());

    // Output to a file is line mode, written byte for byte: a "\n" the C runtime's text mode
    // turned into "\r\n" would break every script that reads it.
    std::ifstream out_file(runner.work() / "stdout.txt", std::ios::binary);
    const std::string out{std::istreambuf_iterator<char>(out_file), {}};
    EXPECT_NE(out.find("] outcome exit=0 text=\"success: the modem was updated\"\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find('\r'), std::string::npos);
    EXPECT_NE(run.stderr_text.find("gsm-updater: success: the modem was updated (exit 0)\n"),
              std::string::npos)
        << run.stderr_text;
}

const Scenario kScenarios[] = {
    {"Succeeds", {}, 1},
    // A wrong answer in the first attempt: the SW image starts over and goes through.
    {"WrongAnswerRecoveredByASecondAttempt", {"--fault", "wrong-answer=700@sw"}, 2},
};

INSTANTIATE_TEST_SUITE_P(Runs, VirtualBoardWineTest, ::testing::ValuesIn(kScenarios),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
