// The fault matrix over pseudo-terminals: the built updater under the built virtual board, for
// the faults that only a real process meets (a pulled adapter, signals, a busy or broken store,
// a full disk, the device root's files, a pseudo-terminal wired as the modem's lines, a second
// updater).  Every row is held to one end state, read from the board's report.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/board_runner.h"
#include "tests/support/process.h"

namespace faults {
namespace {

namespace fs = std::filesystem;
using testproc::BoardRun;
using testproc::BoardRunner;
using testproc::Count;
using testproc::Program;
using testproc::ReadFile;

// Bounds every row is held to, whatever its fault.
constexpr long long kMaxThreads = 10;
constexpr long long kMaxLogBytes = 1 << 20;
constexpr double kMaxWallS = 200;

struct Outcome {
    int exit_status = 0;
    std::optional<int> progress;  // empty: never written
    bool switched = true;         // false: the start was refused and nothing touched
    bool awrcwr_restored = true;
    // False where the disk filled: what Progress holds is whatever landed before.
    bool progress_final = true;
    // False where the disk filled: the power log stopped with the disk.
    bool power_logged = true;
    // False where the register file was cut short: the board's state cannot be read back.
    bool board_readable = true;
};

const Outcome kSucceeds{.exit_status = 0, .progress = 100};
const Outcome kFails{.exit_status = 1, .progress = -1};
const Outcome kRefused{.exit_status = 2, .progress = std::nullopt, .switched = false};
// The modem was flashed but the disk filled: the board is back, its settings are not.
const Outcome kNotRestored{.exit_status = 4,
                           .progress = std::nullopt,
                           .switched = true,
                           .awrcwr_restored = false,
                           .progress_final = false,
                           .power_logged = false,
                           .board_readable = true};
// The register file was cut short: the update ends, but the modem path cannot be switched back.
Outcome PathNotRestored(int progress) {
    return {.exit_status = 4, .progress = progress, .board_readable = false};
}

struct Row {
    const char* name;
    std::vector<std::string> board_args;
    // A shell script run as the command instead of the updater alone; $U is the updater.
    const char* script;
    Outcome outcome;
    // Lines the debug log must hold, each exactly once ("{ROOT}" stands for the device root).
    std::vector<std::string> log_lines = {};
    // The updater's one outcome line on standard error, for one row of each kind of end
    // ("{ROOT}" as above).
    const char* outcome_line = nullptr;
};

void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

// The root as the updater names it: resolved, as its start resolves it.
std::string WithRoot(const std::string& text, const fs::path& root) {
    return std::regex_replace(text, std::regex(R"(\{ROOT\})"), fs::canonical(root).string());
}

void ExpectEndState(const nlohmann::json& report, const Outcome& outcome) {
    EXPECT_EQ(report.at("exit_status").get<int64_t>(), outcome.exit_status);
    if (!outcome.progress_final) {
        const nlohmann::json& progress = report.at("progress");
        EXPECT_TRUE(progress.is_null() || (progress != 100 && progress != -1)) << progress;
    } else if (outcome.progress) {
        EXPECT_EQ(report.at("progress").get<int64_t>(), *outcome.progress);
    } else {
        EXPECT_TRUE(report.at("progress").is_null());
    }
    EXPECT_LE(report.at("threads_max").get<int64_t>(), kMaxThreads);
    // None when the debug log is not a regular file.
    const nlohmann::json& log_bytes = report.at("debug_log_bytes");
    EXPECT_TRUE(log_bytes.is_null() || log_bytes < kMaxLogBytes) << log_bytes;
    EXPECT_LT(report.at("wall_s").get<double>(), kMaxWallS);
    if (outcome.switched) {
        if (outcome.board_readable) {
            EXPECT_EQ(report.at("board").at("cpld_mode").get<int64_t>(), 1)
                << "the modem path was left switched";
        }
        if (outcome.awrcwr_restored) {
            EXPECT_EQ(report.at("awrcwr").get<int64_t>(), 1);
        }
        EXPECT_EQ(report.at("clk").get<int64_t>(), 1);
        if (outcome.power_logged) {
            EXPECT_EQ(report.at("backlight").get<std::string>(), "released");
        }
    } else {
        // A store that is not one cannot be read back.
        if (!report.at("awrcwr").is_null()) {
            EXPECT_EQ(report.at("awrcwr").get<int64_t>(), 3);
            EXPECT_EQ(report.at("clk").get<int64_t>(), 0);
        }
        EXPECT_EQ(report.at("board").at("cpld_mode").get<int64_t>(), 0);
        EXPECT_EQ(report.at("backlight").get<std::string>(), "never held");
        EXPECT_EQ(report.at("at_commands").size(), 0u);
    }
}

class E2eMatrixTest : public ::testing::TestWithParam<Row> {
  protected:
    BoardRun RunRow(const Row& row) {
        if (row.script == nullptr)
            return runner_.RunUpdater(row.board_args);
        std::vector<std::string> args = row.board_args;
        args.insert(args.end(), {"--root", runner_.root().string()});
        return runner_.Run(args, {"sh", "-c", row.script}, {"U=" + Program("gsm-updater")});
    }

    BoardRunner runner_;
};

TEST_P(E2eMatrixTest, EndsCleanly) {
    const Row& row = GetParam();
    const BoardRun run = RunRow(row);
    ASSERT_EQ(run.exit_code, 0) << run.stderr_text;
    ASSERT_TRUE(run.report) << run.report_error;
    ExpectEndState(*run.report, row.outcome);
    if (row.outcome_line != nullptr) {
        // One line of the updater's among the board's own.
        const std::string& err = run.stderr_text;
        EXPECT_EQ(Count(err, "gsm-updater: "), 1) << err;
        std::string whole_line = "\n";
        whole_line.append(WithRoot(row.outcome_line, runner_.root())).push_back('\n');
        EXPECT_EQ(Count(err, whole_line), 1) << err;
    }
    const std::string log = ReadFile(runner_.root() / "debug.log");
    for (const std::string& line : row.log_lines)
        EXPECT_EQ(Count(log, WithRoot(line, runner_.root())), 1) << line;
}

const std::string kLost = "COM1: device lost\r\n";
const std::string kGaveUp = "Reset times >  N \r\n";
const std::string kStopped = "Update interrupted\r\n";
std::string Refused(const char* signal) {
    return std::string("Can't close the Dlg (") + signal + ")\r\n";
}

const char* const kUpdated = "gsm-updater: success: the modem was updated (exit 0)";

const Row kRows[] = {
    {"Com1Missing",
     {"--no-com1"},
     nullptr,
     kFails,
     {"Open COM1 failed\r\nCOM1: {ROOT}/dev/COM1: No such file or directory\r\n"},
     "gsm-updater: failed: COM1: could not be opened: {ROOT}/dev/COM1: No such file or directory "
     "(exit 1)"},
    {"SilentModem",
     {"--fault", "never-boot"},
     nullptr,
     kFails,
     {kGaveUp},
     "gsm-updater: failed: the modem never answered the boot handshake of the SW image (8 resets) "
     "(exit 1)"},
    {"WrongAnswerInEveryAttempt",
     {"--fault", "wrong-answer=66:always@sw"},
     nullptr,
     kFails,
     {},
     "gsm-updater: failed: wrong answer at record 66 of the SW image in the 6th attempt (exit 1)"},
    {"UnpluggedAtTheHandshake", {"--fault", "unplug=handshake"}, nullptr, kFails, {kLost, kGaveUp}},
    {"UnpluggedMidSw",
     {"--fault", "unplug=sw:400"},
     nullptr,
     kFails,
     {kLost, kGaveUp},
     "gsm-updater: failed: the modem never answered the boot handshake of the SW image (8 resets); "
     "COM1: the device was lost (hang-up or I/O error) (exit 1)"},
    {"UnpluggedMidFs", {"--fault", "unplug=fs:300"}, nullptr, kFails, {kLost, kGaveUp}},
    {"TermOnceDuringTheDownload",
     {"--fault", "signal=TERM@sw:200"},
     nullptr,
     kSucceeds,
     {Refused("SIGTERM")},
     kUpdated},
    {"TermTwiceDuringTheDownload",
     {"--fault", "signal=TERM@sw:200x2"},
     nullptr,
     kFails,
     {Refused("SIGTERM"), kStopped},
     "gsm-updater: failed: stopped by SIGTERM (exit 1)"},
    {"IntTwiceAtTheHandshake",
     {"--fault", "signal=INT@handshakex2"},
     nullptr,
     kFails,
     {Refused("SIGINT"), kStopped}},
    {"HupTwiceDuringTheDownload",
     {"--fault", "signal=HUP@sw:600x2"},
     nullptr,
     kFails,
     {Refused("SIGHUP"), kStopped}},
    {"TermAfterTheEnd", {"--fault", "signal=TERM@end"}, nullptr, kSucceeds, {}, kUpdated},
    {"StoreLockedAtTheStart", {"--fault", "store-lock=0+5"}, nullptr, kSucceeds},
    {"StoreLockedDuringTheReplay", {"--fault", "store-lock=11+4"}, nullptr, kSucceeds},
    {"StoreNotADatabase",
     {},
     "rm -f \"$UPDATER_ROOT\"/registry.db*; echo junk > "
     "\"$UPDATER_ROOT/registry.db\"; exec $U",
     kRefused},
    {"DiskFullMidSw", {"--fault", "disk-full=sw:300"}, nullptr, kNotRestored},
    {"DiskFullMidFs", {"--fault", "disk-full=fs:300"}, nullptr, kNotRestored},
    {"DiskFullAtTheCompletion", {"--fault", "disk-full=complete"}, nullptr, kNotRestored},
    {"DebugLogIsASymlink", {}, "ln -sf ../planted \"$UPDATER_ROOT/debug.log\"; exec $U", kRefused},
    {"RootWritableByOthers",
     {},
     "chmod 777 \"$UPDATER_ROOT\"; exec $U",
     kRefused,
     {},
     "gsm-updater: refused: the device root is refused: {ROOT} may be written by everyone; the "
     "update was not started (exit 2)"},
    {"ModemWiredToLinesCom1HasNot",
     {},
     "printf 'power-key = dtr asserted\nreset = rts asserted\n' > "
     "\"$UPDATER_ROOT/modem-lines.conf\"; exec $U",
     kRefused,
     {},
     "gsm-updater: refused: {ROOT}/modem-lines.conf wires the modem to COM1:, but COM1: "
     "({ROOT}/dev/COM1) has no modem-control lines: Inappropriate ioctl for device; the update "
     "was not started (exit 2)"},
    {"ModemWiringWithoutAPolarity",
     {},
     "printf 'power-key = dtr\nreset = none\n' > \"$UPDATER_ROOT/modem-lines.conf\"; exec $U",
     kRefused,
     {},
     "gsm-updater: refused: {ROOT}/modem-lines.conf: line 1: the power key on DTR needs a "
     "polarity (asserted or inverted); the update was not started (exit 2)"},
    {"ModemNotWired",
     {},
     "printf 'power-key = none\nreset = none\n' > \"$UPDATER_ROOT/modem-lines.conf\"; exec $U",
     kSucceeds,
     {},
     kUpdated},
    {"Com1HeldByAnotherOpener",
     {"--fault", "com1-held"},
     nullptr,
     kFails,
     {"Open COM1 failed\r\nCOM1: {ROOT}/dev/COM1: held by another program\r\n"}},
    {"RegisterFileCutShortInThePreparation",
     {"--fault", "shrink-regs=start+4"},
     nullptr,
     PathNotRestored(-1),
     {"Board access failed\r\n"}},
    {"RegisterFileCutShortMidSw",
     {"--fault", "shrink-regs=sw:300"},
     nullptr,
     PathNotRestored(100),
     {"CPLD Mode 001 not restored: the modem path may still be switched\r\n"},
     "gsm-updater: not restored: the modem update succeeded, but the modem path could not be "
     "switched back to normal (CPLD mode 001) (exit 4)"},
};

INSTANTIATE_TEST_SUITE_P(Machine, E2eMatrixTest, ::testing::ValuesIn(kRows),
                         [](const auto& test) { return std::string(test.param.name); });

// A kill cannot be caught: the board stays switched.  A second run on what the kill left must
// succeed and put everything back.
TEST(E2eMatrixKillTest, RerunAfterAKillRestoresEverything) {
    BoardRunner runner;
    const BoardRun killed = runner.RunUpdater({"--fault", "signal=KILL@sw:300"});
    ASSERT_TRUE(killed.report) << killed.report_error;
    EXPECT_EQ((*killed.report).at("board").at("cpld_mode").get<int64_t>(), 6);
    const BoardRun rerun = runner.RunUpdater({"--reuse"});
    ASSERT_EQ(rerun.exit_code, 0) << rerun.stderr_text;
    ASSERT_TRUE(rerun.report) << rerun.report_error;
    ExpectEndState(*rerun.report, kSucceeds);
}

// The first updater's status is the report's; the second one, started once the first has
// begun to switch the board, must be refused at once, naming it, and touch nothing under it.
TEST(E2eMatrixSecondUpdaterTest, IsRefusedWhileAnUpdateRuns) {
    BoardRunner runner;
    const std::string script =
        "$U & first=$!; i=0\n"
        "until grep -q 'Open COM1:' \"$UPDATER_ROOT/debug.log\" 2>/dev/null; do\n"
        "  i=$((i+1)); [ $i -gt 600 ] && break; sleep 0.05; done\n"
        "$U 2> \"$W/second.err\"; echo $? > \"$W/second.status\"; echo $first > \"$W/first.pid\"\n"
        "wait $first\n";
    const BoardRun run = runner.Run({"--root", runner.root().string()}, {"sh", "-c", script},
                                    {"U=" + Program("gsm-updater"), "W=" + runner.work().string()});
    ASSERT_TRUE(run.report) << run.report_error;
    ExpectEndState(*run.report, kSucceeds);
    EXPECT_EQ(ReadFile(runner.work() / "second.status"), "2\n");
    std::string pid = ReadFile(runner.work() / "first.pid");
    pid.pop_back();
    const std::string err = ReadFile(runner.work() / "second.err");
    EXPECT_NE(err.find("another updater (process " + pid + ") is running on the device root"),
              std::string::npos)
        << err;
    // One run in the log: the second touched nothing, not even the log.
    const std::string log = ReadFile(runner.root() / "debug.log");
    EXPECT_EQ(Count(log, "Open COM1:\r\n"), 1);
    EXPECT_EQ(Count(log, "AWRCWR=1\r\n"), 1);
}

}  // namespace
}  // namespace faults
