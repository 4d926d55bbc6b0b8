// The terminal front-end as a person sees it: dialog-demo runs in a detached tmux session and
// the screen is read back with capture-pane.  Real time (tmux and the terminal are real); the
// polls only wait for what must appear, nothing is asserted on how long it took.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "tests/support/process.h"

namespace {

using testproc::Output;

class TmuxSession {
  public:
    explicit TmuxSession(const std::string& command)
        : tmux_("tmux -L dialog-test-" + std::to_string(getpid()) + " ") {
        Output(tmux_ + "new-session -d -s demo -x 80 -y 24 '" + command + "' 2>&1");
    }
    ~TmuxSession() { Output(tmux_ + "kill-server 2>&1"); }

    std::string Screen(bool escapes = false) {
        return Output(tmux_ + "capture-pane -p " + (escapes ? "-e " : "") + "-t demo 2>&1");
    }
    void Keys(const std::string& keys) { Output(tmux_ + "send-keys -t demo " + keys); }

    // Polls the screen until done(screen) holds; answers the last screen.
    std::string WaitFor(const std::function<bool(const std::string&)>& done, int limit_s = 60) {
        std::string screen;
        for (int i = 0; i < limit_s * 10; ++i) {
            screen = Screen();
            if (done(screen))
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return screen;
    }

  private:
    std::string tmux_;
};

// Filled cells of the progress bar ("[###---...]"), or -1 when no bar is on the screen.
int BarCells(const std::string& screen) {
    for (size_t open = screen.find('['); open != std::string::npos;
         open = screen.find('[', open + 1)) {
        const size_t end = screen.find_first_not_of("#-", open + 1);
        if (end == std::string::npos || screen[end] != ']' || end - open - 1 < 20)
            continue;
        return static_cast<int>(std::count(screen.begin() + open, screen.begin() + end, '#'));
    }
    return -1;
}

TEST(TerminalDialogRealTime, ShowsTitleRedWarningMovingBarAndSuccessBox) {
    if (std::system("command -v tmux >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "tmux is not installed";
    TmuxSession tmux(std::string(DIALOG_DEMO) + " --speed 2 --record-ms 4; echo EXIT=$?; sleep 60");

    std::string screen = tmux.WaitFor([](const std::string& s) { return BarCells(s) > 0; });
    EXPECT_NE(screen.find("GSM Updater"), std::string::npos) << screen;
    EXPECT_NE(screen.find("remaining:"), std::string::npos) << screen;
    const int first = BarCells(screen);
    ASSERT_GT(first, 0) << screen;
    // The warning in red (SGR 31) as the dialog's colour hook asks, in the normal weight.
    const std::string coloured = tmux.Screen(true);
    EXPECT_NE(coloured.find("\x1b[31mBe careful !!"), std::string::npos) << coloured;
    EXPECT_EQ(coloured.find("\x1b[1m\x1b[31mBe careful"), std::string::npos) << coloured;

    screen = tmux.WaitFor([first](const std::string& s) { return BarCells(s) > first; });
    EXPECT_GT(BarCells(screen), first) << screen;

    screen = tmux.WaitFor(
        [](const std::string& s) { return s.find("GSM upgrade Success!") != std::string::npos; });
    ASSERT_NE(screen.find("GSM upgrade Success!"), std::string::npos) << screen;
    EXPECT_NE(screen.find("[ OK ]"), std::string::npos) << screen;
    tmux.Keys("o");
    screen =
        tmux.WaitFor([](const std::string& s) { return s.find("EXIT=") != std::string::npos; });
    EXPECT_NE(screen.find("EXIT=0"), std::string::npos) << screen;
}

}  // namespace
