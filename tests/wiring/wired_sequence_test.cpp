// The board's power-on and reset sequences driving a real modem's lines through the serial
// adapter, in virtual time: every line change with its time, for each wiring.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/board.h"
#include "host/debug_log.h"
#include "host/platform.h"
#include "host/sim/recording_bus.h"
#include "host/sim/recording_lines.h"
#include "host/sim/recording_power.h"
#include "host/sim/virtual_clock.h"
#include "host/wired_bus.h"

namespace {

using host::LineChange;
using host::ModemLine;
using host::ModemWiring;
using host::WiredLine;

constexpr WiredLine kDtr{ModemLine::kDtr, false}, kDtrInv{ModemLine::kDtr, true};
constexpr WiredLine kRts{ModemLine::kRts, false}, kRtsInv{ModemLine::kRts, true};

// A level the updater gives one of the modem's pins, in ms from the sequence's start.
enum class Pin { kPowerKey, kReset };
struct PinLevel {
    int64_t at_ms;
    Pin pin;
    bool high;
};

// The updater's levels as the board's sequences make them.
const std::vector<PinLevel> kPowerOn = {
    {0, Pin::kReset, false},
    {0, Pin::kPowerKey, false},
    {500, Pin::kPowerKey, true},  // held 2000 ms
    {2500, Pin::kPowerKey, false},
};
const std::vector<PinLevel> kReset = {
    {100, Pin::kReset, false},     {150, Pin::kReset, true},  // the 200 ms pulse
    {350, Pin::kReset, false},     {400, Pin::kPowerKey, false},
    {450, Pin::kPowerKey, true},  // held 650 ms
    {1100, Pin::kPowerKey, false},
};

// The adapter's level for one of the updater's: inverted wiring releases the line for high.
bool Asserted(const WiredLine& wired, bool high) {
    return wired.inverted ? !high : high;
}

// What the adapter's lines must do for those levels under a wiring.
std::vector<LineChange> Expected(const std::vector<PinLevel>& levels, const ModemWiring& wiring,
                                 int64_t start_ms) {
    std::vector<LineChange> changes;
    for (const PinLevel& level : levels) {
        const auto& wired = level.pin == Pin::kPowerKey ? wiring.power_key : wiring.reset;
        if (wired)
            changes.push_back(
                {(start_ms + level.at_ms) * 1000, wired->line, Asserted(*wired, level.high)});
    }
    return changes;
}

class WiredSequence : public ::testing::TestWithParam<ModemWiring> {
  protected:
    host::VirtualClock clock;
    host::RecordingBus inner{clock};
    host::RecordingLines lines{clock};
    host::RecordingPower power{clock};
    host::CaptureLog log;
    host::WiredBus bus{inner, lines, GetParam()};
    host::ScopedPlatform platform{{.clock = &clock, .log = &log, .board = &bus, .power = &power}};
};

TEST_P(WiredSequence, LinesFollowThePowerOnAndResetsAndEndIdle) {
    const ModemWiring& wiring = GetParam();
    ASSERT_TRUE(PowerOnGsmModule());
    ASSERT_TRUE(ResetGsmModule());
    ASSERT_TRUE(ResetGsmModule());

    std::vector<LineChange> want = Expected(kPowerOn, wiring, 0);
    for (int64_t start_ms : {2500, 3600}) {
        const std::vector<LineChange> reset = Expected(kReset, wiring, start_ms);
        want.insert(want.end(), reset.begin(), reset.end());
    }
    EXPECT_EQ(lines.Changes(), want);
    for (const auto& wired : {wiring.power_key, wiring.reset}) {
        if (wired) {
            EXPECT_EQ(lines.Level(wired->line), Asserted(*wired, false));
        }
    }
    EXPECT_EQ(bus.FailedAccesses(), 0u);
}

// The register file sees exactly what it saw before the lines were wired.
TEST_P(WiredSequence, InnerBusSeesTheSequencesUnchanged) {
    host::RecordingBus plain{clock};
    {
        host::ScopedPlatform direct{{.clock = &clock, .log = &log, .board = &plain}};
        PowerOnGsmModule();
        ResetGsmModule();
    }
    const int64_t offset_us = clock.now_us();
    PowerOnGsmModule();
    ResetGsmModule();
    std::vector<host::BusAccess> want = plain.Accesses();
    for (host::BusAccess& access : want)
        access.time_us += offset_us;
    EXPECT_EQ(inner.Accesses(), want);
}

INSTANTIATE_TEST_SUITE_P(Wirings, WiredSequence,
                         ::testing::Values(ModemWiring{kDtr, kRts}, ModemWiring{kRts, kDtr},
                                           ModemWiring{kDtrInv, kRtsInv},
                                           ModemWiring{kRtsInv, kDtr},
                                           ModemWiring{kDtr, std::nullopt},
                                           ModemWiring{std::nullopt, kRtsInv}));

// The power key on DTR asserted is pressed for exactly the 2000 ms of the power-on pulse: the
// generic table above, spelled out once.
TEST(WiredSequencePlain, PowerKeyOnDtrIsAssertedForTwoSeconds) {
    host::VirtualClock clock;
    host::RecordingBus inner{clock};
    host::RecordingLines lines{clock};
    host::CaptureLog log;
    host::WiredBus bus{inner, lines, ModemWiring{kDtr, std::nullopt}};
    host::ScopedPlatform platform{{.clock = &clock, .log = &log, .board = &bus}};
    PowerOnGsmModule();
    EXPECT_EQ(lines.Changes(), (std::vector<LineChange>{{0, ModemLine::kDtr, false},
                                                        {500'000, ModemLine::kDtr, true},
                                                        {2'500'000, ModemLine::kDtr, false}}));
}

// A line that cannot be driven fails the sequence like a failed register access, with its
// reason; the sequence still runs to its end so that the other line ends idle.  A later
// failure of the register file takes over the reason.
struct LineFailure {
    const char* name;
    ModemLine failing;
    bool file_fails_after;
    const char* logged;
};

class WiredFailure : public ::testing::TestWithParam<LineFailure> {};

TEST_P(WiredFailure, IsReportedAsABoardFailure) {
    const LineFailure& c = GetParam();
    host::VirtualClock clock;
    host::RecordingBus inner{clock};
    host::RecordingLines lines{clock};
    host::CaptureLog log;
    host::WiredBus bus{inner, lines, ModemWiring{kDtr, kRts}};
    host::ScopedPlatform platform{{.clock = &clock, .log = &log, .board = &bus}};
    lines.Fail(c.failing, "COM1: (/root/dev/COM1) has no modem-control lines: no");
    if (c.file_fails_after) {
        inner.FailFrom([](const host::BusAccess& a) { return a.address == host::reg::kGpioBCon; },
                       "board.regs: cut short", 1);
    }
    EXPECT_FALSE(PowerOnGsmModule());
    EXPECT_EQ(log.Texts(), std::vector<std::string>{c.logged});
    EXPECT_EQ(clock.now_us(), 2'500'000) << "the sequence runs to its end";
    const ModemLine other = c.failing == ModemLine::kDtr ? ModemLine::kRts : ModemLine::kDtr;
    EXPECT_EQ(lines.Level(other), false) << "the line that works ends idle";
}

INSTANTIATE_TEST_SUITE_P(
    Lines, WiredFailure,
    ::testing::Values(
        LineFailure{"PowerKey", ModemLine::kDtr, false,
                    "Board register access failed in PowerOnGsmModule: the power key on DTR "
                    "cannot be driven low: COM1: (/root/dev/COM1) has no modem-control lines: "
                    "no\r\n"},
        LineFailure{"Reset", ModemLine::kRts, false,
                    "Board register access failed in PowerOnGsmModule: the reset on RTS cannot "
                    "be driven low: COM1: (/root/dev/COM1) has no modem-control lines: no\r\n"},
        LineFailure{"ThenFile", ModemLine::kRts, true,
                    "Board register access failed in PowerOnGsmModule: board.regs: cut "
                    "short\r\n"}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
