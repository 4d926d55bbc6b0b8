// The built updater with a wiring file in its device root, under the virtual board, in real
// time.  The board's COM1: is a pseudo-terminal, which has no modem-control lines: a wiring
// that needs them is refused before anything is touched, and so is a bad file.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/board_runner.h"
#include "tests/support/process.h"

namespace {

struct WiringRun {
    const char* name;
    const char* file;
    int exit_status;
    const char* stderr_has;  // nullptr: a whole update
};

class WiringE2e : public ::testing::TestWithParam<WiringRun> {};

TEST_P(WiringE2e, RefusesOrRuns) {
    const WiringRun& c = GetParam();
    testproc::BoardRunner runner;
    ASSERT_TRUE(runner.ok());
    const std::string script = std::string("printf '") + c.file +
                               "' > \"$UPDATER_ROOT/modem-lines.conf\" && exec " +
                               testproc::Program("gsm-updater");
    const testproc::BoardRun run = runner.Run({"--time-limit", "120"}, {"sh", "-c", script});
    ASSERT_TRUE(run.report) << run.report_error << "\n" << run.stderr_text;
    const nlohmann::json& report = *run.report;
    EXPECT_EQ(report["exit_status"], c.exit_status) << run.stderr_text;
    if (c.stderr_has == nullptr) {
        EXPECT_EQ(report["progress"], 100) << run.stderr_text;
        return;
    }
    EXPECT_NE(run.stderr_text.find(c.stderr_has), std::string::npos) << run.stderr_text;
    EXPECT_NE(run.stderr_text.find("; the update was not started"), std::string::npos);
    // Refused before anything was touched.
    EXPECT_EQ(report["progress"], nullptr);
    EXPECT_EQ(report["radio"], "on");
    EXPECT_EQ(report["awrcwr"], 3);
    EXPECT_EQ(report["board"]["cpld_mode"], 0);
    EXPECT_EQ(report["backlight"], "never held");
}

INSTANTIATE_TEST_SUITE_P(
    Files, WiringE2e,
    ::testing::Values(
        WiringRun{"BadFile", "power-key = dtr\\nreset = none\\n", 2,
                  "/modem-lines.conf: line 1: the power key on DTR needs a polarity (asserted "
                  "or inverted)"},
        WiringRun{"LinesThePortHasNot", "power-key = dtr asserted\\nreset = rts asserted\\n", 2,
                  "/modem-lines.conf wires the modem to COM1:, but COM1: ("},
        WiringRun{"NothingWired", "# no modem here\\npower-key = none\\nreset = none\\n", 0,
                  nullptr}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
