// The updater's terminal dialog on real terminals of several sizes: what is on the screen while
// the update runs, when the terminal is too small, after a resize, and in the closing box.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <tuple>

#include "tests/support/board_runner.h"
#include "tests/support/process.h"
#include "tests/support/tmux_screen.h"

namespace testproc {
namespace {

namespace fs = std::filesystem;

constexpr int kScreenWaitMs = 20000;  // a screen the run shows within seconds
constexpr int kRunEndWaitMs = 60000;  // an unpaced update, on a loaded machine
constexpr const char* kRunning = "please wait, the update cannot be stopped";

class TerminalScreenTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!TmuxScreen::Available())
            GTEST_SKIP() << "tmux is not installed; the terminal dialog cannot be watched";
        ASSERT_TRUE(board_.ok());
    }

    // A run that a failed assertion left going is ended the way a person would, before its
    // terminal goes (without one it would run on): a box answered, the interrupt key twice.
    void TearDown() override {
        if (tmux_ == nullptr)
            return;
        if (!fs::exists(Report())) {
            tmux_->SendKeys("Enter");
            tmux_->SendKeys("C-c");
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            tmux_->SendKeys("C-c");
            WaitForExitStatus();
        }
        tmux_.reset();
    }

    // The updater under the board in board_'s root; the board kills it at the time limit,
    // should the test leave it running.
    TmuxScreen& Start(int cols, int rows, bool paced) {
        std::vector<std::string> command = {Program("virtual-board")};
        if (paced)
            command.push_back("--pace");
        command.insert(command.end(),
                       {"--time-limit", "120", "--root", board_.root().string(), "--report",
                        Report().string(), "--", Program("gsm-updater")});
        tmux_ = std::make_unique<TmuxScreen>(cols, rows, command);
        return *tmux_;
    }

    fs::path Report() const { return board_.work() / "report.json"; }

    // The updater's exit status once the board has reported, or -1 at the deadline.
    int WaitForExitStatus() {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kRunEndWaitMs);
        while (std::chrono::steady_clock::now() < deadline) {
            std::string error;
            if (auto report = ReadReport(Report(), &error))
                return report->value("exit_status", -1);
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        return -1;
    }

    std::string Root() const { return fs::canonical(board_.root()).string(); }

    BoardRunner board_;
    std::unique_ptr<TmuxScreen> tmux_;
};

bool Has(const std::string& screen, const std::string& text) {
    return Flat(screen).find(text) != std::string::npos;
}

// The dialog drawn whole: its frame's title, the button, the hint row and the root row.
bool DialogShown(const std::string& screen) {
    return Has(screen, "+- GSM Updater -") && Has(screen, "Upgrading in progress!") &&
           Has(screen, kRunning) && Has(screen, "device root: ") &&
           !Has(screen, "Enlarge the terminal");
}

// A paced update lasts minutes: the sizes, the resize, a refused key, then the interrupt ends it.
TEST_F(TerminalScreenTest, NoticeWhenTooSmallAndTheDialogBackAfterResize) {
    TmuxScreen& tmux = Start(40, 12, /*paced=*/true);
    ASSERT_TRUE(tmux.ok());
    std::string screen;
    ASSERT_TRUE(tmux.WaitFor(
        [](const std::string& s) {
            return Has(s, "Enlarge the terminal to at least 60x24 (it is 40x12)") &&
                   Has(s, "SW image 0%") && Has(s, kRunning) && Has(s, "device root:");
        },
        kScreenWaitMs, &screen))
        << screen;

    // The frame's 22 rows with the hint and root rows right under them: from the top at 80x24,
    // centred at 100x30.
    for (const auto& [cols, rows, top] : {std::tuple{80, 24, 0}, std::tuple{100, 30, 3}}) {
        ASSERT_TRUE(tmux.Resize(cols, rows));
        // Drawn anew: the frame in its row for this size.
        ASSERT_TRUE(tmux.WaitFor(
            [rows = rows, top = top](const std::string& s) {
                const std::vector<std::string> shown = Rows(s);
                return DialogShown(s) && shown.size() == static_cast<size_t>(rows) &&
                       shown[top].find("+- GSM Updater -") != std::string::npos;
            },
            kScreenWaitMs, &screen))
            << screen;
        const std::vector<std::string> shown = Rows(screen);
        EXPECT_NE(shown[top + 22].find(kRunning), std::string::npos) << screen;
        EXPECT_NE(shown[top + 23].find("device root: "), std::string::npos) << screen;
    }
    EXPECT_TRUE(Has(screen, "device root: " + Root())) << screen;

    // A key that cannot stop the update lights the hint row.
    ASSERT_TRUE(tmux.SendKeys("q"));
    EXPECT_TRUE(tmux.WaitFor(
        [](const std::string& s) { return s.find("\x1b[7mSW image") != std::string::npos; },
        kScreenWaitMs, &screen, /*attributes=*/true, /*poll_ms=*/20))
        << screen;

    // The interrupt key, twice: the first is refused with a notice, the second ends the run.
    ASSERT_TRUE(tmux.SendKeys("C-c"));
    ASSERT_TRUE(tmux.WaitFor(
        [](const std::string& s) { return Has(s, "The update cannot be stopped safely."); },
        kScreenWaitMs, &screen))
        << screen;
    ASSERT_TRUE(tmux.SendKeys("C-c"));
    EXPECT_EQ(WaitForExitStatus(), 1);
}

// An unpaced update to its end: the hint row follows it to the FS image, then names the box's keys.
TEST_F(TerminalScreenTest, HintFollowsThePhasesAndTheBoxNamesItsKeys) {
    TmuxScreen& tmux = Start(100, 30, /*paced=*/false);
    ASSERT_TRUE(tmux.ok());
    std::string screen;
    ASSERT_TRUE(tmux.WaitFor(
        [](const std::string& s) {
            return Has(s, "GSM upgrade Success!") &&
                   Has(s, "FS image 100% - press Enter, Space, Esc or o to answer OK");
        },
        kRunEndWaitMs, &screen))
        << screen;
    EXPECT_FALSE(Has(screen, kRunning)) << screen;

    // The box stands through a resize to a terminal too small, and is answered there.
    ASSERT_TRUE(tmux.Resize(40, 12));
    ASSERT_TRUE(tmux.WaitFor(
        [](const std::string& s) {
            return Has(s, "Enlarge the terminal to at least 60x24 (it is 40x12)") &&
                   Has(s, "GSM upgrade Success!") && Has(s, "[ OK ]");
        },
        kScreenWaitMs, &screen))
        << screen;
    ASSERT_TRUE(tmux.SendKeys("Enter"));
    EXPECT_EQ(WaitForExitStatus(), 0);
}

}  // namespace
}  // namespace testproc
