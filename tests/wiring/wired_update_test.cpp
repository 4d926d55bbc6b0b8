// A whole update on the in-process board with the modem's lines wired: the power-on and the
// watchdog's resets reach the adapter's lines as they reach the board's pins.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/platform.h"
#include "host/sim/recording_lines.h"
#include "host/wired_bus.h"
#include "tests/support/inprocess_board.h"

namespace {

using host::LineChange;
using host::ModemLine;

// How long each assertion of `line` lasted, in ms, and whether it ended released.
std::vector<int64_t> AssertedMs(const std::vector<LineChange>& changes, ModemLine line,
                                bool* ends_released) {
    std::vector<int64_t> held;
    int64_t since_us = -1;
    for (const LineChange& change : changes) {
        if (change.line != line)
            continue;
        if (change.asserted && since_us < 0)
            since_us = change.time_us;
        if (!change.asserted && since_us >= 0) {
            held.push_back((change.time_us - since_us) / 1000);
            since_us = -1;
        }
    }
    *ends_released = since_us < 0;
    return held;
}

TEST(WiredUpdate, PowerOnAndWatchdogResetsDriveTheLines) {
    sim::InProcessBoard board;
    host::RecordingLines lines{board.clock()};
    host::WiredBus wired{
        board.bus(),
        lines,
        {host::WiredLine{ModemLine::kDtr, false}, host::WiredLine{ModemLine::kRts, false}}};
    host::Platform platform = host::Current();
    platform.board = &wired;
    host::ScopedPlatform scoped(platform);
    std::string error;
    ASSERT_TRUE(board.SetModemFaults("boot-after-resets=2", &error)) << error;
    ASSERT_TRUE(board.RunDialog());

    EXPECT_EQ(board.Settings(L"Progress"), 100u) << "the update went through";
    EXPECT_EQ(board.report().resets, 2u);
    bool ends_released = false;
    EXPECT_EQ(AssertedMs(lines.Changes(), ModemLine::kDtr, &ends_released),
              (std::vector<int64_t>{2000, 650, 650}))
        << "the power key: the power-on, then after each reset";
    EXPECT_TRUE(ends_released);
    EXPECT_EQ(AssertedMs(lines.Changes(), ModemLine::kRts, &ends_released),
              (std::vector<int64_t>{200, 200}))
        << "the reset pulses";
    EXPECT_TRUE(ends_released);
}

}  // namespace
