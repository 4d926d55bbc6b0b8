#include <gtest/gtest.h>

#include "host/sim/virtual_clock.h"

TEST(VirtualClock, Placeholder) {
    host::VirtualClock clock;
    clock.sleep_ms(5);
    EXPECT_EQ(clock.now_us(), 5000);
}
