// The board's register sequences, access by access and wait by wait, in virtual time.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "device/board.h"
#include "host/debug_log.h"
#include "host/platform.h"
#include "host/sim/recording_bus.h"
#include "host/sim/recording_power.h"
#include "host/sim/virtual_clock.h"

namespace {

using host::BusAccess;
namespace reg = host::reg;

constexpr uint32_t kOnes = 0xFFFFFFFF;
constexpr uint32_t kBit15 = 1u << 15, kBit9 = 1u << 9, kBit8 = 1u << 8, kBit4 = 1u << 4;

class BoardSequence : public ::testing::Test {
  protected:
    void PresetPorts(uint32_t value) {
        for (uint32_t address : {reg::kGpioACon, reg::kGpioADat, reg::kGpioBCon, reg::kGpioBDat})
            bus.Set(address, value);
    }

    host::VirtualClock clock;
    host::RecordingBus bus{clock};
    host::RecordingPower power{clock};
    host::CaptureLog log;
    host::ScopedPlatform platform{{.clock = &clock, .log = &log, .board = &bus, .power = &power}};
};

// Builds an expected listing: read-modify-writes and stores at the current expected time.
struct Listing {
    int64_t t_us = 0;
    std::vector<BusAccess> accesses;
    void Wait(int64_t ms) { t_us += ms * 1000; }
    void Rmw(uint32_t address, uint32_t before, uint32_t after) {
        accesses.push_back({t_us, BusAccess::kRead, 32, address, before});
        accesses.push_back({t_us, BusAccess::kWrite, 32, address, after});
    }
    void Store16(uint32_t address, uint16_t value) {
        accesses.push_back({t_us, BusAccess::kWrite, 16, address, value});
    }
    // Port B configuration as the sequences make it: clear bit 9, then set bit 8.
    void PowerKeyOutput(uint32_t before) {
        Rmw(reg::kGpioBCon, before, before & ~kBit9);
        Rmw(reg::kGpioBCon, before & ~kBit9, (before & ~kBit9) | kBit8);
    }
};

TEST_F(BoardSequence, PowerOnMakesItsAccessesAndWaitsInOrder) {
    PresetPorts(kOnes);
    PowerOnGsmModule();

    const uint32_t b_out = kOnes & ~kBit9;  // bit 9 cleared, bit 8 (already) set
    Listing want;
    want.Rmw(reg::kGpioACon, kOnes, ~kBit15);
    want.Rmw(reg::kGpioADat, kOnes, ~kBit15);
    want.PowerKeyOutput(kOnes);
    want.Rmw(reg::kGpioBDat, kOnes, ~kBit4);
    want.Wait(500);
    want.PowerKeyOutput(b_out);
    want.Rmw(reg::kGpioBDat, ~kBit4, kOnes);
    want.Wait(2000);
    want.PowerKeyOutput(b_out);
    want.Rmw(reg::kGpioBDat, kOnes, ~kBit4);

    EXPECT_EQ(bus.Accesses(), want.accesses);
    EXPECT_EQ(clock.now_us(), 2'500'000);
    EXPECT_TRUE(log.Texts().empty()) << "the caller logs the power-on";
}

TEST_F(BoardSequence, ResetMakesItsAccessesWaitsAndLogLinesInOrder) {
    PresetPorts(kOnes);
    bus.Set(reg::kCpldMode, 6);  // already in mode 110: written again all the same
    ResetGsmModule();

    const uint32_t b_out = kOnes & ~kBit9;
    Listing want;
    want.Store16(reg::kCpldMode, 6);
    want.Wait(100);
    want.Rmw(reg::kGpioACon, kOnes, ~kBit15);
    want.Rmw(reg::kGpioADat, kOnes, ~kBit15);
    want.Wait(50);
    want.Rmw(reg::kGpioACon, ~kBit15, ~kBit15);
    want.Rmw(reg::kGpioADat, ~kBit15, kOnes);
    want.Wait(200);
    want.Rmw(reg::kGpioACon, ~kBit15, ~kBit15);
    want.Rmw(reg::kGpioADat, kOnes, ~kBit15);
    want.Wait(50);
    want.PowerKeyOutput(kOnes);
    want.Rmw(reg::kGpioBDat, kOnes, ~kBit4);
    want.Wait(50);
    want.PowerKeyOutput(b_out);
    want.Rmw(reg::kGpioBDat, ~kBit4, kOnes);
    want.Wait(650);
    want.PowerKeyOutput(b_out);
    want.Rmw(reg::kGpioBDat, kOnes, ~kBit4);

    EXPECT_EQ(bus.Accesses(), want.accesses);
    EXPECT_EQ(clock.now_us(), 1'100'000);
    EXPECT_EQ(log.Texts(),
              (std::vector<std::string>{"Switch CPLD Mode 110 \r\n", "Enter Reset!\r\n",
                                        "go to Reset!\r\n", " Reset OK!\r\n"}));
}

// Whatever the other bits hold, the sequences leave GPA15 an output and low and GPB4 function 01
// and low, and touch no other register.
class BoardSequenceBits : public BoardSequence, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(BoardSequenceBits, OnlyTheNamedBitsChange) {
    const uint32_t preset = GetParam();
    PresetPorts(preset);
    PowerOnGsmModule();
    ResetGsmModule();
    EXPECT_EQ(bus.Get(reg::kGpioACon), preset & ~kBit15);
    EXPECT_EQ(bus.Get(reg::kGpioADat), preset & ~kBit15);
    EXPECT_EQ(bus.Get(reg::kGpioBCon), (preset & ~kBit9) | kBit8);
    EXPECT_EQ(bus.Get(reg::kGpioBDat), preset & ~kBit4);
    std::set<uint32_t> touched;
    for (const BusAccess& a : bus.Accesses())
        touched.insert(a.address);
    EXPECT_EQ(touched, (std::set<uint32_t>{reg::kCpldMode, reg::kGpioACon, reg::kGpioADat,
                                           reg::kGpioBCon, reg::kGpioBDat}));
}

INSTANTIATE_TEST_SUITE_P(Presets, BoardSequenceBits,
                         ::testing::Values(0x00000000u, 0xFFFFFFFFu, 0x5A5AA5A5u, 0xA5A55A5Au));

TEST_F(BoardSequence, OneOffWritesAreSingleStoresOfTheirWidth) {
    SwitchCpldMode(6);
    WriteUart0ModemControl(0);
    WriteCpldAuxRegister(2);
    SwitchCpldMode(1);
    const std::vector<BusAccess> want = {
        {0, BusAccess::kWrite, 16, reg::kCpldMode, 6},
        {0, BusAccess::kWrite, 8, reg::kUart0Mcr, 0},
        {0, BusAccess::kWrite, 16, reg::kCpldAux, 2},
        {0, BusAccess::kWrite, 16, reg::kCpldMode, 1},
    };
    EXPECT_EQ(bus.Accesses(), want);
}

}  // namespace
