// Signals to the built updater in a terminal dialog (tmux), in real time: the interrupt key is
// refused on the screen and a second one stops the update; a terminal that goes away lets the
// update finish.  (Signals in line mode are rows of the fault matrix.)
// Nothing is asserted on how long anything took; every wait has a generous bound.
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/board_runner.h"
#include "tests/support/process.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testproc::Program;
using testproc::ReadFile;

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

using testproc::Output;

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

    bool LogHas(const std::string& text) const {
        return ReadFile(Root() / "debug.log").find(text) != std::string::npos;
    }

    std::optional<nlohmann::json> Report() {
        std::string error;
        return testproc::ReadReport(ReportPath(), &error);
    }

    fs::path work_;
};

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
    const std::optional<nlohmann::json> report = Report();
    ASSERT_TRUE(report);
    EXPECT_EQ((*report).at("exit_status").get<int64_t>(), 1);
    EXPECT_EQ((*report).at("progress").get<int64_t>(), -1);
    EXPECT_EQ((*report).at("board").at("cpld_mode").get<int64_t>(), 1);
}

TEST_F(TerminalSignalTest, LostTerminalLetsTheUpdateFinish) {
    ASSERT_TRUE(PollFor([this] { return LogHas("Start Reading:"); }, 60s)) << Screen();
    Output(tmux_ + "kill-server 2>&1");
    tmux_.clear();
    ASSERT_TRUE(PollFor([this] { return Report().has_value(); }, 120s));
    const std::optional<nlohmann::json> report = Report();
    ASSERT_TRUE(report);
    const nlohmann::json& r = *report;
    EXPECT_EQ(r.at("exit_status").get<int64_t>(), 0);
    EXPECT_EQ(r.at("progress").get<int64_t>(), 100);
    EXPECT_EQ(r.at("board").at("cpld_mode").get<int64_t>(), 1);
    EXPECT_EQ(r.at("backlight").get<std::string>(), "released");
    EXPECT_TRUE(LogHas("Terminal lost (SIGHUP)"));
    EXPECT_FALSE(LogHas("Can't close the Dlg"));
}

}  // namespace
