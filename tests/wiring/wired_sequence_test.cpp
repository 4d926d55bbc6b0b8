// The board's power-on and reset sequences driving a real modem's lines through the serial
// adapter, in virtual time: every line change with its time, for each wiring.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "device/board.h"
#include "host/debug_log.h"
#include "host/platform.h"
#include "host/sim/recording_bus.h"
#include "host/sim/recording_lines.h"
#include "host/sim/virtual_clock.h"
#include "host/wired_bus.h"
#include "tests/support/inprocess_board.h"

namespace {

using host::LineChange;
using host::ModemLine;
using host::ModemWiring;
using host::WiredLine;

constexpr ModemLine kDtrLine = ModemLine::kDtr, kRtsLine = ModemLine::kRts;
constexpr WiredLine kDtr{kDtrLine, false}, kRts{kRtsLine, false}, kRtsInv{kRtsLine, true};

struct Wired {
    explicit Wired(const ModemWiring& wiring) : bus{inner, lines, wiring} {}
    host::VirtualClock clock;
    host::RecordingBus inner{clock};
    host::RecordingLines lines{clock};
    host::CaptureLog log;
    host::WiredBus bus;
    host::ScopedPlatform platform{{.clock = &clock, .log = &log, .board = &bus}};
};

struct SequenceCase {
    const char* name;
    ModemWiring wiring;
    bool (*sequence)();
    std::vector<LineChange> want;  // the power key held 2000 ms, or the 200 ms reset pulse
};

void PrintTo(const SequenceCase& c, std::ostream* out) {
    *out << c.name;
}

class WiredSequence : public ::testing::TestWithParam<SequenceCase> {};

TEST_P(WiredSequence, DrivesTheLinesInStepAndLeavesTheRegistersAlone) {
    const SequenceCase& c = GetParam();
    host::VirtualClock plain_clock;
    host::RecordingBus plain{plain_clock};
    {
        host::CaptureLog log;
        host::ScopedPlatform direct{{.clock = &plain_clock, .log = &log, .board = &plain}};
        ASSERT_TRUE(c.sequence());
    }
    Wired wired{c.wiring};
    ASSERT_TRUE(c.sequence());
    EXPECT_EQ(wired.lines.Changes(), c.want);
    EXPECT_EQ(wired.inner.Accesses(), plain.Accesses()) << "the register file sees no change";
}

const SequenceCase kSequences[] = {
    {"PowerOnKeyOnDtrResetOnRtsInverted",
     {kDtr, kRtsInv},
     PowerOnGsmModule,
     {{0, kRtsLine, true},
      {0, kDtrLine, false},
      {500'000, kDtrLine, true},
      {2'500'000, kDtrLine, false}}},
    {"ResetKeyOnDtrResetOnRtsInverted",
     {kDtr, kRtsInv},
     ResetGsmModule,
     {{100'000, kRtsLine, true},
      {150'000, kRtsLine, false},
      {350'000, kRtsLine, true},
      {400'000, kDtrLine, false},
      {450'000, kDtrLine, true},
      {1'100'000, kDtrLine, false}}},
    {"PowerOnKeyOnRtsInvertedAlone",
     {kRtsInv, std::nullopt},
     PowerOnGsmModule,
     {{0, kRtsLine, true}, {500'000, kRtsLine, false}, {2'500'000, kRtsLine, true}}},
};

INSTANTIATE_TEST_SUITE_P(Wirings, WiredSequence, ::testing::ValuesIn(kSequences),
                         [](const auto& test) { return std::string(test.param.name); });

// A line that cannot be driven fails the sequence like a failed register access, with its
// reason (the power key's is checked on a real port); the sequence still runs to its end so
// that the other line ends idle.  A later failure of the register file takes over the reason.
TEST(WiredFailure, IsReportedAsABoardFailure) {
    for (const bool file_fails_after : {false, true}) {
        SCOPED_TRACE(file_fails_after ? "then the file" : "the line alone");
        Wired wired{{kDtr, kRts}};
        wired.lines.Fail(kRtsLine, "COM1: (/root/dev/COM1) has no modem-control lines: no");
        if (file_fails_after) {
            wired.inner.FailFrom(
                [](const host::BusAccess& a) { return a.address == host::reg::kGpioBCon; },
                "board.regs: cut short", 1);
        }
        EXPECT_FALSE(PowerOnGsmModule());
        const std::string why = file_fails_after
                                    ? "board.regs: cut short"
                                    : "the reset on RTS cannot be driven low: COM1: "
                                      "(/root/dev/COM1) has no modem-control lines: no";
        EXPECT_EQ(wired.log.Texts(),
                  std::vector<std::string>{
                      "Board register access failed in PowerOnGsmModule: " + why + "\r\n"});
        EXPECT_EQ(wired.clock.now_us(), 2'500'000) << "the sequence runs to its end";
        EXPECT_EQ(wired.lines.Level(kDtrLine), false) << "the power key ends released";
    }
}

// A whole update: the power-on and the watchdog's resets reach the lines as they reach the
// board's pins, and both lines end released.
TEST(WiredUpdate, PowerOnAndWatchdogResetsDriveTheLines) {
    sim::InProcessBoard board;
    host::RecordingLines lines{board.clock()};
    host::WiredBus wired{board.bus(), lines, {kDtr, kRts}};
    host::Platform platform = host::Current();
    platform.board = &wired;
    host::ScopedPlatform scoped(platform);
    std::string error;
    ASSERT_TRUE(board.SetModemFaults("boot-after-resets=2", &error)) << error;
    ASSERT_TRUE(board.RunDialog());

    EXPECT_EQ(board.Settings(L"Progress"), 100u) << "the update went through";
    EXPECT_EQ(board.report().resets, 2u);
    const std::vector<LineChange> changes = lines.Changes();
    for (const auto& expected : {std::pair{kDtrLine, 3}, std::pair{kRtsLine, 2}}) {
        const ModemLine line = expected.first;
        EXPECT_EQ(std::count_if(changes.begin(), changes.end(),
                                [&](const LineChange& c) { return c.line == line && c.asserted; }),
                  expected.second);
        EXPECT_EQ(lines.Level(line), false);
    }
}

}  // namespace
