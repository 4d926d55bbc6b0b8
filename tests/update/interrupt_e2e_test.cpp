// Signals to the built updater under the virtual board, in real time over pseudo-terminals:
// once during the download it is refused and the update completes; twice within 10 s the
// update stops through the failure exit with the board restored.  In a terminal (tmux), the
// interrupt key is refused on the screen, and a terminal that goes away lets the update finish.
// Nothing is asserted on how long anything took; every wait has a generous bound.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/vboard/json_reader.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string Program(const std::string& name) {
    return std::string(UPDATER_BIN_DIR) + "/" + name;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Polls until done() holds or limit passes; answers done()'s last answer.
bool PollFor(const std::function<bool()>& done, std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

std::string Output(const std::string& command) {
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        size_t got = 0;
        while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0)
            out.append(buffer, got);
        pclose(pipe);
    }
    return out;
}

class SignalTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!fs::exists(Program("gsm-updater")) || !fs::exists(Program("virtual-board")))
            GTEST_SKIP() << "the programs are not built";
        std::string pattern = ::testing::TempDir() + "/updater-signals.XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        work_ = pattern;
    }
    void TearDown() override {
        if (!work_.empty())
            fs::remove_all(work_);
    }

    fs::path Root() const { return work_ / "root"; }
    fs::path ReportPath() const { return work_ / "report.json"; }
    std::vector<std::string> BoardCommand() const {
        return {Program("virtual-board"), "--root", Root().string(), "--report", ReportPath(), "--",
                Program("gsm-updater")};
    }

    // The board with nothing on its stdin and its output in files; answers its pid.
    pid_t SpawnBoard() {
        std::vector<std::string> args = BoardCommand();
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
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
        pid_t pid = -1;
        if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    }

    // The updater: the board's one child.
    static pid_t ChildOf(pid_t board) {
        const std::string children = ReadFile("/proc/" + std::to_string(board) + "/task/" +
                                              std::to_string(board) + "/children");
        return children.empty() ? -1 : static_cast<pid_t>(std::stol(children));
    }

    bool LogHas(const std::string& text) const {
        return ReadFile(Root() / "debug.log").find(text) != std::string::npos;
    }

    std::optional<json::Value> Report() {
        std::string error;
        if (!fs::exists(ReportPath()))
            return std::nullopt;
        return json::Parse(ReadFile(ReportPath()), &error);
    }

    fs::path work_;
};

struct SignalCase {
    const char* name;
    int signal_number;
    bool to_updater;  // else to the board, which passes SIGTERM and SIGHUP on
    int count;        // one second apart
    int exit_status;
    int progress;
};

void PrintTo(const SignalCase& c, std::ostream* out) {
    *out << c.name;
}

class SignalDuringDownloadTest : public SignalTest,
                                 public ::testing::WithParamInterface<SignalCase> {};

TEST_P(SignalDuringDownloadTest, RefusesOnceAndStopsCleanlyOnTheSecond) {
    const SignalCase& c = GetParam();
    const pid_t board = SpawnBoard();
    ASSERT_GT(board, 0);
    const bool reading = PollFor([this] { return LogHas("Start Reading:"); }, 60s);
    const pid_t target = c.to_updater ? ChildOf(board) : board;
    if (reading && target > 0) {
        std::this_thread::sleep_for(2s);  // into the replay
        for (int i = 0; i < c.count; ++i) {
            kill(target, c.signal_number);
            std::this_thread::sleep_for(1s);
        }
    }
    int status = 0;
    waitpid(board, &status, 0);
    ASSERT_TRUE(reading) << ReadFile(work_ / "stderr.txt");
    ASSERT_GT(target, 0);
    const std::optional<json::Value> report = Report();
    ASSERT_TRUE(report) << ReadFile(work_ / "stderr.txt");
    const json::Value& r = *report;
    EXPECT_EQ(r["exit_status"].Int(), c.exit_status);
    EXPECT_TRUE(r["signal"].IsNull());
    EXPECT_EQ(r["progress"].Int(), c.progress);
    EXPECT_EQ(r["awrcwr"].Int(), 1);
    EXPECT_EQ(r["board"]["cpld_mode"].Int(), 1);
    EXPECT_EQ(r["backlight"].string, "released");
    const std::string name = c.signal_number == SIGINT    ? "SIGINT"
                             : c.signal_number == SIGTERM ? "SIGTERM"
                                                          : "SIGHUP";
    EXPECT_TRUE(LogHas("Can't close the Dlg (" + name + ")\r\n"));
    EXPECT_EQ(LogHas("Update interrupted\r\n"), c.count == 2);
}

INSTANTIATE_TEST_SUITE_P(RealTime, SignalDuringDownloadTest,
                         ::testing::Values(SignalCase{"TermOnce", SIGTERM, false, 1, 0, 100},
                                           SignalCase{"TermTwice", SIGTERM, false, 2, 1, -1},
                                           SignalCase{"IntTwice", SIGINT, true, 2, 1, -1},
                                           SignalCase{"HupTwice", SIGHUP, true, 2, 1, -1}),
                         [](const ::testing::TestParamInfo<SignalCase>& info) {
                             return info.param.name;
                         });

// The terminal dialog in tmux: the interrupt key is refused on the screen and a second stops
// the update; a terminal that goes away leaves the update running to its end.
class TerminalSignalTest : public SignalTest {
  protected:
    void SetUp() override {
        SignalTest::SetUp();
        if (IsSkipped())
            return;
        if (std::system("command -v tmux >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "tmux is not installed";
        tmux_ = "tmux -L updater-signals-" + std::to_string(getpid()) + " ";
        std::string command;
        for (const std::string& arg : BoardCommand())
            command += arg + " ";
        Output(tmux_ + "new-session -d -s run -x 80 -y 24 '" + command +
               "; echo EXIT=$?; sleep 60' 2>&1");
    }
    void TearDown() override {
        if (!tmux_.empty())
            Output(tmux_ + "kill-server 2>&1");
        SignalTest::TearDown();
    }
    std::string Screen() { return Output(tmux_ + "capture-pane -p -t run 2>&1"); }
    bool ScreenHas(const std::string& text) { return Screen().find(text) != std::string::npos; }

    std::string tmux_;
};

TEST_F(TerminalSignalTest, InterruptKeyIsRefusedOnTheScreenThenStops) {
    ASSERT_TRUE(PollFor([this] { return LogHas("Start Reading:"); }, 60s)) << Screen();
    Output(tmux_ + "send-keys -t run C-c");
    ASSERT_TRUE(PollFor([this] { return ScreenHas("cannot be stopped safely"); }, 20s)) << Screen();
    EXPECT_TRUE(ScreenHas("GSM Updater")) << Screen();
    Output(tmux_ + "send-keys -t run C-c");
    ASSERT_TRUE(PollFor([this] { return ScreenHas("EXIT="); }, 60s)) << Screen();
    // The shell's line shows on a screen the updater has given back.
    EXPECT_FALSE(ScreenHas("GSM Updater")) << Screen();
    const std::optional<json::Value> report = Report();
    ASSERT_TRUE(report);
    EXPECT_EQ((*report)["exit_status"].Int(), 1);
    EXPECT_EQ((*report)["progress"].Int(), -1);
    EXPECT_EQ((*report)["board"]["cpld_mode"].Int(), 1);
}

TEST_F(TerminalSignalTest, LostTerminalLetsTheUpdateFinish) {
    ASSERT_TRUE(PollFor([this] { return LogHas("Start Reading:"); }, 60s)) << Screen();
    Output(tmux_ + "kill-server 2>&1");
    tmux_.clear();
    ASSERT_TRUE(PollFor([this] { return Report().has_value(); }, 120s));
    const std::optional<json::Value> report = Report();
    ASSERT_TRUE(report);
    const json::Value& r = *report;
    EXPECT_EQ(r["exit_status"].Int(), 0);
    EXPECT_EQ(r["progress"].Int(), 100);
    EXPECT_EQ(r["board"]["cpld_mode"].Int(), 1);
    EXPECT_EQ(r["backlight"].string, "released");
    EXPECT_TRUE(LogHas("Terminal lost (SIGHUP)"));
    EXPECT_FALSE(LogHas("Can't close the Dlg"));
}

}  // namespace
