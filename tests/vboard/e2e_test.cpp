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
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "tests/vboard/json_reader.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

std::string Program(const std::string& name) {
    return std::string(VBOARD_BIN_DIR) + "/" + name;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

struct BoardRun {
    int exit_code = -1;
    std::string stderr_text;
    std::optional<json::Value> report;
    std::string report_error;
};

class BoardTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = ::testing::TempDir() + "/vboard-e2e.XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        work_ = pattern;
    }
    void TearDown() override { fs::remove_all(work_); }

    // virtual-board ARGS --report WORK/report.json -- COMMAND, with nothing on its stdin and
    // its stdout and stderr in files.
    BoardRun Run(std::vector<std::string> args, const std::vector<std::string>& command) {
        const fs::path report = work_ / "report.json";
        fs::remove(report);
        args.insert(args.begin(), Program("virtual-board"));
        args.insert(args.end(), {"--report", report.string(), "--"});
        args.insert(args.end(), command.begin(), command.end());
        BoardRun run;
        run.exit_code = Spawn(args);
        run.stderr_text = ReadFile(work_ / "stderr.txt");
        if (fs::exists(report))
            run.report = json::Parse(ReadFile(report), &run.report_error);
        return run;
    }

    int Spawn(const std::vector<std::string>& args) {
        std::vector<char*> argv;
        for (const std::string& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        const std::string out = (work_ / "stdout.txt").string();
        const std::string err = (work_ / "stderr.txt").string();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        pid_t pid = 0;
        const int failure = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (failure != 0)
            return -1;
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

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
    const json::Value& report = *run.report;
    EXPECT_EQ(report["exit_status"].Int(), 3);
    ASSERT_EQ(report["at_commands"].size(), 1u);
    EXPECT_EQ(report["at_commands"][0]["command"].string, "AT+X\r");
    EXPECT_EQ(report["drivers_loaded"].size(), 10u);
    EXPECT_EQ(report["radio"].string, "on");
    EXPECT_TRUE(report["progress"].IsNull());
    const std::string root = report["root"].string;
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
    EXPECT_EQ((*run.report)["exit_status"].Int(), 0);
    EXPECT_EQ((*run.report)["backlight"].string, "never held");
    EXPECT_EQ((*run.report)["awrcwr"].Int(), 3);
    EXPECT_TRUE((*run.report)["root_kept"].boolean);
    EXPECT_TRUE(fs::exists(root / "registry.db"));
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
    const json::Value& report = *run.report;
    EXPECT_EQ(report["exit_status"].Int(), 0);
    EXPECT_EQ(report["progress"].Int(), 100);
    EXPECT_EQ(report["awrcwr"].Int(), 1);
    EXPECT_EQ(report["clk"].Int(), 1);
    EXPECT_EQ(report["board"]["cpld_mode"].Int(), 1);
    EXPECT_EQ(report["backlight"].string, "released");
    ASSERT_EQ(report["at_commands"].size(), 2u);
    EXPECT_EQ(report["at_commands"][0]["command"].string, "AT*USER1OFF\r");
    EXPECT_EQ(report["at_commands"][1]["command"].string, "AT+CFUN=0\r");
    for (const json::Value& name : report["drivers_loaded"].array)
        EXPECT_TRUE(name.string == "BKL1:" || name.string == "COM1:") << name.string;
    EXPECT_EQ(report["radio"].string, "off");
    EXPECT_EQ(report["images"]["sw"]["records_confirmed"].Int(), 1667);
    EXPECT_EQ(report["images"]["fs"]["records_confirmed"].Int(), 885);
    EXPECT_EQ(report["modem"]["errors"].Int(), 0);
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
    const json::Value& report = *run.report;
    EXPECT_NE(report["exit_status"].Int(), 0);
    EXPECT_EQ(report["progress"].Int(), -1);
    EXPECT_EQ(report["awrcwr"].Int(), 1);
    EXPECT_EQ(report["board"]["cpld_mode"].Int(), 1);
    EXPECT_EQ(report["modem"]["power_ons"].Int(), 0);
}

// Record 66 of the SW image is a read record: its answer comes with one byte wrong.
TEST_F(UpdaterTest, RecoversFromOneWrongAnswerWithASecondPass) {
    const BoardRun run = RunUpdater({"--fault", "wrong-answer=66@sw"});
    ASSERT_EQ(run.exit_code, 0) << run.stderr_text;
    ASSERT_TRUE(run.report) << run.report_error;
    const json::Value& report = *run.report;
    EXPECT_EQ(report["exit_status"].Int(), 0);
    EXPECT_EQ(report["progress"].Int(), 100);
    EXPECT_EQ(report["images"]["sw"]["passes"].Int(), 2);
    EXPECT_EQ(report["images"]["sw"]["completed"].Int(), 1);
    EXPECT_EQ(report["images"]["fs"]["passes"].Int(), 1);
    EXPECT_EQ(report["images"]["fs"]["completed"].Int(), 1);
}

}  // namespace
