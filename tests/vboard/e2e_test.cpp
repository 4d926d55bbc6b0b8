// End-to-end runs of the built programs: the virtual board around a shell command, and around
// the updater in line mode, over real pseudo-terminals in real time.
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/board_runner.h"
#include "tests/support/process.h"

namespace {

namespace fs = std::filesystem;
using testproc::Program;
using testproc::ReadFile;

using testproc::BoardRun;

class BoardTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(runner_.ok());
        work_ = runner_.work();
    }

    // virtual-board ARGS --report WORK/report.json -- COMMAND, with nothing on its stdin and
    // its stdout and stderr in files.
    BoardRun Run(std::vector<std::string> args, const std::vector<std::string>& command) {
        return runner_.Run(std::move(args), command);
    }

    testproc::BoardRunner runner_;
    fs::path work_;
};

TEST_F(BoardTest, ProvisionsTheBoardRunsTheCommandAndRemovesItsRoot) {
    const std::string script = "r=$UPDATER_ROOT; rt=" + Program("regtool") + R"sh(
        test -c "$r/dev/COM1" && test -c "$r/dev/VEI1" && test -f "$r/board.regs" || exit 10
        [ "$($rt get 'Drivers\BuiltIn\2440UART0' AWRCWR)" = 3 ] || exit 11
        [ "$($rt get 'Drivers\BuiltIn\2440UART0' CLK)" = 0 ] || exit 12
        [ "$($rt get 'Software\QZX\Kelvaro' DeviceName)" = 3617 ] || exit 13
        [ "$($rt get 'System\State\Phone' Radio)" = 1 ] || exit 14
        printf 'AT+X\r' > "$r/dev/VEI1"
        rm "$r/dev/VEI1"
        exit 3)sh";
    const BoardRun run = Run({"--device-name", "3617"}, {"sh", "-c", script});
    ASSERT_EQ(run.exit_code, 0) << run.stderr_text;
    ASSERT_TRUE(run.report) << run.report_error;
    const nlohmann::json& report = *run.report;
    EXPECT_EQ(report.at("exit_status").get<int64_t>(), 3);
    ASSERT_EQ(report.at("at_commands").size(), 1u);
    EXPECT_EQ(report.at("at_commands").at(0).at("command").get<std::string>(), "AT+X\r");
    EXPECT_EQ(report.at("drivers_loaded").size(), 10u);
    EXPECT_EQ(report.at("radio").get<std::string>(), "on");
    EXPECT_TRUE(report.at("progress").is_null());
    const std::string root = report.at("root").get<std::string>();
    EXPECT_NE(run.stderr_text.find("UPDATER_ROOT=" + root + "\n"), std::string::npos);
    EXPECT_FALSE(fs::exists(root));
    if (std::system("command -v python3 >/dev/null 2>&1") == 0) {
        const std::string check =
            "python3 -m json.tool " + (work_ / "report.json").string() + " >/dev/null";
        EXPECT_EQ(std::system(check.c_str()), 0);
    }
}

// Nothing of an earlier run may show in the next one: not its logs, not its store.
TEST_F(BoardTest, ReprovisionsAnExistingRootFromScratch) {
    const fs::path root = work_ / "root";
    fs::create_directories(root / "dev");
    std::ofstream(root / "debug.log") << "  Modem Download_Success  !!!!!!!    \r\n";
    std::ofstream(root / "power.log") << "1 backlight-require BKL1: D0 handle=1\n";
    std::ofstream(root / "registry.db") << "not a registry";
    std::ofstream(root / "dev" / "COM1") << "not a device";
    const BoardRun run =
        Run({"--root", root.string()}, {"sh", "-c", R"(test ! -e "$UPDATER_ROOT/debug.log" &&
                                             test -c "$UPDATER_ROOT/dev/COM1")"});
    ASSERT_EQ(run.exit_code, 0) << run.stderr_text;
    ASSERT_TRUE(run.report) << run.report_error;
    EXPECT_EQ((*run.report).at("exit_status").get<int64_t>(), 0);
    EXPECT_EQ((*run.report).at("backlight").get<std::string>(), "never held");
    EXPECT_EQ((*run.report).at("awrcwr").get<int64_t>(), 3);
    EXPECT_TRUE((*run.report).at("root_kept").get<bool>());
    EXPECT_TRUE(fs::exists(root / "registry.db"));
    // The links go with the terminals they point at.
    EXPECT_FALSE(fs::exists(fs::symlink_status(root / "dev" / "COM1")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(root / "dev" / "VEI1")));
}

bool HaveTool(const std::string& name) {
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

// Each fault with a shell command that sees it: the command exits 0 when it did.
TEST_F(BoardTest, EveryMachineFaultReachesTheCommand) {
    struct Case {
        std::string name;
        std::vector<std::string> args;
        std::string script;  // r is the root
        int exit_status;
        std::function<void(const nlohmann::json&)> check;
        std::string tool = "sh";
    };
    const std::vector<Case> cases = {
        {"signal at the start",
         {"--fault", "signal=TERM@start"},
         "sleep 5",
         143,
         [](const nlohmann::json& report) {
             ASSERT_EQ(report.at("signals_sent").size(), 1u);
             EXPECT_EQ(report.at("signals_sent").at(0).at("signal").get<std::string>(), "TERM");
             EXPECT_TRUE(report.at("signals_sent").at(0).at("delivered").get<bool>());
             EXPECT_EQ(report.at("faults_applied").at(0).at("point").get<std::string>(), "start");
             EXPECT_EQ(report.at("threads_max").get<int64_t>(), 1);  // seen before the signal went
         }},
        {"a signal twice",
         {"--fault", "signal=HUP@start+0.2x2"},
         R"sh(n=0; trap 'n=$((n+1))' HUP; i=0
              while [ $i -lt 40 ] && [ $n -lt 2 ]; do sleep 0.1; i=$((i+1)); done
              [ $n -eq 2 ])sh",
         0,
         [](const nlohmann::json& report) { EXPECT_EQ(report.at("signals_sent").size(), 2u); }},
        {"store lock",
         {"--fault", "store-lock=0+2"},
         R"sh(db=$r/registry.db
              sqlite3 "$db" 'BEGIN IMMEDIATE; ROLLBACK;' 2>/dev/null && exit 10
              sleep 2.5; sqlite3 "$db" 'BEGIN IMMEDIATE; ROLLBACK;' || exit 11)sh",
         0,
         [](const nlohmann::json& report) {
             ASSERT_EQ(report.at("faults_applied").size(), 2u);
             EXPECT_EQ(report.at("faults_applied").at(0).at("detail").get<std::string>(),
                       "write transaction begun");
             EXPECT_EQ(report.at("faults_applied").at(1).at("detail").get<std::string>(),
                       "write transaction ended");
         },
         "sqlite3"},
        {"file-size limit",
         {"--fsize-limit", "1000"},
         // dd fails with EFBIG (status 1), not killed by SIGXFSZ.
         R"sh(dd if=/dev/zero of="$r/x" bs=100 count=20 2>/dev/null; [ $? -eq 1 ] || exit 10
              [ "$(wc -c < "$r/x")" -eq 1000 ] || exit 11)sh",
         0,
         [](const nlohmann::json& report) {
             EXPECT_EQ(report.at("fsize_limit").get<int64_t>(), 1000);
         }},
        {"disk full at a point",
         {"--fault", "disk-full=start+1"},
         R"sh(head -c 100 /dev/zero > "$r/x" || exit 10; sleep 1.5
              head -c 100 /dev/zero >> "$r/x" 2>/dev/null && exit 11
              printf '\001' | dd of="$r/board.regs" bs=1 seek=16 conv=notrunc 2>/dev/null)sh",
         0,
         [](const nlohmann::json& report) {
             EXPECT_EQ(report.at("board").at("cpld_mode").get<int64_t>(),
                       1);  // the registers still work
             EXPECT_EQ(report.at("faults_pending").size(), 0u);
         }},
        {"COM1 held",
         {"--fault", "com1-held"},
         R"sh(exec 3<>"$r/dev/COM1" || exit 10; flock -n 3 && exit 11; exit 0)sh",
         0,
         [](const nlohmann::json& report) {
             EXPECT_EQ(report.at("faults_applied").at(0).at("fault").get<std::string>(),
                       "com1-held");
         },
         "flock"},
        {"a point that never comes",
         {"--fault", "unplug=fs:700,signal=INT@end"},
         "exit 0",
         0,
         [](const nlohmann::json& report) {
             EXPECT_EQ(report.at("faults_pending").size(), 2u);
             EXPECT_EQ(report.at("faults_applied").size(), 0u);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (!HaveTool(c.tool)) {
            ADD_FAILURE() << c.tool << " is missing (tools/install-deps installs it)";
            continue;
        }
        const BoardRun run = Run(c.args, {"sh", "-c", "r=$UPDATER_ROOT\n" + c.script});
        ASSERT_EQ(run.exit_code, 0) << run.stderr_text;
        ASSERT_TRUE(run.report) << run.report_error;
        EXPECT_EQ((*run.report).at("exit_status").get<int64_t>(), c.exit_status) << run.stderr_text;
        c.check(*run.report);
    }
}

// A run killed half way leaves the board switched: a rerun must find it as it was left.
TEST_F(BoardTest, ReuseKeepsWhatTheLastRunLeft) {
    const fs::path root = work_ / "root";
    const std::string first = "r=$UPDATER_ROOT; rt=" + Program("regtool") + R"sh(
        $rt set 'Drivers\BuiltIn\2440UART0' AWRCWR dword:0 >/dev/null || exit 10
        printf '\006' | dd of="$r/board.regs" bs=1 seek=16 conv=notrunc 2>/dev/null
        echo 'first run' > "$r/debug.log"
        echo '1 backlight-require BKL1: D0 handle=1' > "$r/power.log")sh";
    const BoardRun killed = Run({"--root", root.string()}, {"sh", "-c", first});
    ASSERT_EQ(killed.exit_code, 0) << killed.stderr_text;
    ASSERT_TRUE(killed.report) << killed.report_error;
    ASSERT_EQ((*killed.report).at("exit_status").get<int64_t>(), 0);
    EXPECT_EQ((*killed.report).at("awrcwr").get<int64_t>(), 0);

    const BoardRun again = Run(
        {"--root", root.string(), "--reuse"},
        {"sh", "-c", R"(test -c "$UPDATER_ROOT/dev/COM1" && test ! -e "$UPDATER_ROOT/power.log")"});
    ASSERT_EQ(again.exit_code, 0) << again.stderr_text;
    ASSERT_TRUE(again.report) << again.report_error;
    const nlohmann::json& report = *again.report;
    EXPECT_EQ(report.at("exit_status").get<int64_t>(), 0);
    EXPECT_TRUE(report.at("reused").get<bool>());
    EXPECT_EQ(report.at("awrcwr").get<int64_t>(), 0);
    EXPECT_EQ(report.at("board").at("cpld_mode").get<int64_t>(), 6);
    EXPECT_EQ(report.at("backlight").get<std::string>(), "never held");
    EXPECT_EQ(ReadFile(root / "debug.log"), "first run\n");
    EXPECT_FALSE(fs::exists(fs::symlink_status(root / "dev" / "COM1")));

    const fs::path empty = work_ / "empty";
    fs::create_directories(empty);
    const BoardRun nothing = Run({"--root", empty.string(), "--reuse"}, {"true"});
    EXPECT_EQ(nothing.exit_code, 1);
    EXPECT_NE(nothing.stderr_text.find("is not there to keep"), std::string::npos);
}

TEST_F(BoardTest, UsageErrorsExitTwoAndRunNothing) {
    const fs::path marker = work_ / "ran";
    EXPECT_EQ(Run({"--fault", "bogus"}, {"touch", marker.string()}).exit_code, 2);
    EXPECT_EQ(Run({"--reboot"}, {}).exit_code, 2);
    EXPECT_FALSE(fs::exists(marker));
    EXPECT_EQ(Run({}, {"/nonexistent/program"}).exit_code, 1);
}

class UpdaterTest : public BoardTest {
  protected:
    void SetUp() override {
        if (!fs::exists(Program("gsm-updater")))
            GTEST_SKIP() << "gsm-updater is not built";
        BoardTest::SetUp();
    }
    BoardRun RunUpdater(std::vector<std::string> args) {
        args.insert(args.end(), {"--root", (work_ / "root").string()});
        return Run(args, {Program("gsm-updater")});
    }
};

TEST_F(UpdaterTest, UpdatesTheModemInLineMode) {
    const BoardRun run = RunUpdater({});
    ASSERT_EQ(run.exit_code, 0) << run.stderr_text;
    ASSERT_TRUE(run.report) << run.report_error;
    const nlohmann::json& report = *run.report;
    EXPECT_EQ(report.at("exit_status").get<int64_t>(), 0);
    EXPECT_EQ(report.at("progress").get<int64_t>(), 100);
    EXPECT_EQ(report.at("awrcwr").get<int64_t>(), 1);
    EXPECT_EQ(report.at("clk").get<int64_t>(), 1);
    EXPECT_EQ(report.at("board").at("cpld_mode").get<int64_t>(), 1);
    EXPECT_EQ(report.at("backlight").get<std::string>(), "released");
    ASSERT_EQ(report.at("at_commands").size(), 2u);
    EXPECT_EQ(report.at("at_commands").at(0).at("command").get<std::string>(), "AT*USER1OFF\r");
    EXPECT_EQ(report.at("at_commands").at(1).at("command").get<std::string>(), "AT+CFUN=0\r");
    for (const nlohmann::json& name : report.at("drivers_loaded"))
        EXPECT_TRUE(name == "BKL1:" || name == "COM1:") << name;
    EXPECT_EQ(report.at("radio").get<std::string>(), "off");
    EXPECT_EQ(report.at("images").at("sw").at("records_confirmed").get<int64_t>(), 1667);
    EXPECT_EQ(report.at("images").at("fs").at("records_confirmed").get<int64_t>(), 885);
    EXPECT_EQ(report.at("modem").at("errors").get<int64_t>(), 0);
    const std::string log = ReadFile(work_ / "root" / "debug.log");
    for (const char* line : {"  Modem Download_Success (SW)   !!!!!!!   \r\n",
                             "  Modem Download_Success (FS)   !!!!!!!   \r\n",
                             "  Modem Download_Success  !!!!!!!    \r\n"})
        EXPECT_NE(log.find(line), std::string::npos) << line;
}

TEST_F(UpdaterTest, GivesUpAndRestoresTheBoardWhenCom1IsMissing) {
    const BoardRun run = RunUpdater({"--no-com1"});
    ASSERT_EQ(run.exit_code, 0) << run.stderr_text;
    ASSERT_TRUE(run.report) << run.report_error;
    const nlohmann::json& report = *run.report;
    EXPECT_NE(report.at("exit_status").get<int64_t>(), 0);
    EXPECT_EQ(report.at("progress").get<int64_t>(), -1);
    EXPECT_EQ(report.at("awrcwr").get<int64_t>(), 1);
    EXPECT_EQ(report.at("board").at("cpld_mode").get<int64_t>(), 1);
    EXPECT_EQ(report.at("modem").at("power_ons").get<int64_t>(), 0);
}

// Record 66 of the SW image is a read record: its answer comes with one byte wrong.
TEST_F(UpdaterTest, RecoversFromOneWrongAnswerWithASecondPass) {
    const BoardRun run = RunUpdater({"--fault", "wrong-answer=66@sw"});
    ASSERT_EQ(run.exit_code, 0) << run.stderr_text;
    ASSERT_TRUE(run.report) << run.report_error;
    const nlohmann::json& report = *run.report;
    EXPECT_EQ(report.at("exit_status").get<int64_t>(), 0);
    EXPECT_EQ(report.at("progress").get<int64_t>(), 100);
    EXPECT_EQ(report.at("images").at("sw").at("passes").get<int64_t>(), 2);
    EXPECT_EQ(report.at("images").at("sw").at("completed").get<int64_t>(), 1);
    EXPECT_EQ(report.at("images").at("fs").at("passes").get<int64_t>(), 1);
    EXPECT_EQ(report.at("images").at("fs").at("completed").get<int64_t>(), 1);
}

}  // namespace
