// The in-memory recording bus and power manager that the other tests rely on.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "host/sim/recording_bus.h"
#include "host/sim/recording_power.h"
#include "host/sim/virtual_clock.h"

namespace {

using host::BusAccess;

TEST(RecordingBus, RecordsAnyAddressAndKeepsOtherBitsOfNarrowWrites) {
    host::VirtualClock clock;
    host::RecordingBus bus(clock);
    bus.Set(0x1000, 0xAABBCCDD);
    bus.Write8(0x1000, 0x11);
    clock.sleep_ms(3);
    EXPECT_EQ(bus.Read16(0x1000), 0xCC11);
    EXPECT_EQ(bus.Read32(0x2000), 0u);
    EXPECT_EQ(bus.Get(0x1000), 0xAABBCC11u);
    const std::vector<BusAccess> want = {
        {0, BusAccess::kWrite, 8, 0x1000, 0x11},
        {3000, BusAccess::kRead, 16, 0x1000, 0xCC11},
        {3000, BusAccess::kRead, 32, 0x2000, 0},
    };
    EXPECT_EQ(bus.Accesses(), want);

    constexpr int kEach = 2000;  // concurrent accesses are all kept
    auto writer = [&bus](uint32_t address) {
        for (int i = 1; i <= kEach; ++i)
            bus.Write32(address, static_cast<uint32_t>(i));
    };
    std::thread a(writer, 0x10), b(writer, 0x20);
    a.join();
    b.join();
    EXPECT_EQ(bus.Accesses().size(), want.size() + 2 * kEach);
    EXPECT_EQ(bus.Get(0x20), uint32_t{kEach});
}

TEST(RecordingPower, KeepsRequirementsReleasesResetsAndIdleTimerResets) {
    host::VirtualClock clock;
    host::RecordingPower power(clock);
    const host::PowerRequest first = power.SetPowerRequirement(L"BKL1:", 0);
    const host::PowerRequest second = power.SetPowerRequirement(L"BKL1:", 0);
    clock.sleep_ms(10);
    power.IdleTimerReset();
    EXPECT_EQ(power.ReleasePowerRequirement(first), 0u);
    EXPECT_TRUE(power.Held(L"BKL1:")) << "the second requirement is still held";
    EXPECT_EQ(power.ReleasePowerRequirement(first), 87u);
    EXPECT_EQ(power.ReleasePowerRequirement(second), 0u);
    EXPECT_FALSE(power.Held(L"BKL1:"));
    power.SetSystemPowerState(host::kPowerStateReset, host::kPowerForce);

    EXPECT_EQ(power.TakenCount(), 2);
    EXPECT_EQ(power.ReleasedCount(), 2);
    EXPECT_EQ(power.BadReleaseCount(), 1);
    EXPECT_EQ(power.Requirements()[0].released_us, 10'000);
    EXPECT_EQ(power.IdleTimerResets(), std::vector<int64_t>{10'000});
    EXPECT_EQ(power.SystemStates().at(0).time_us, 10'000);

    power.FailRequirements(true);
    EXPECT_EQ(power.SetPowerRequirement(L"BKL1:", 0), 0u);
    EXPECT_EQ(power.TakenCount(), 2);
}

}  // namespace
