// The thread start's guard and its test hook: the count of live threads, the cap, the
// injected refusal.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "host/debug_log.h"
#include "host/platform.h"
#include "host/sim/virtual_clock.h"
#include "host/thread.h"

namespace {

struct Gate {
    host::VirtualClock* clock;
    std::atomic<bool> open{false};
    std::atomic<int> runs{0};
};

uint32_t WaitAtGate(void* param) {
    auto* gate = static_cast<Gate*>(param);
    gate->runs.fetch_add(1);
    gate->clock->wait_until_us(host::kForever, [gate] { return gate->open.load(); });
    return 0;
}

uint32_t Other(void* param) {
    static_cast<Gate*>(param)->runs.fetch_add(100);
    return 0;
}

class ThreadStartTest : public ::testing::Test {
  protected:
    void TearDown() override {
        host::FailThreadStart(0);
        clock_.update([this] { gate_.open = true; });
        EXPECT_TRUE(clock_.wait_for_threads_to_end_us());
        EXPECT_EQ(host::LiveThreads(), 0);
    }

    host::VirtualClock clock_;
    host::CaptureLog log_;
    host::ScopedPlatform platform_{{.clock = &clock_, .log = &log_}};
    host::ScopedClockThread self_{clock_};
    Gate gate_{&clock_};
};

TEST_F(ThreadStartTest, RefusesBeyondTheCapAndCountsThePeak) {
    host::ResetPeakThreads();
    for (int i = 0; i < host::kMaxLiveThreads; ++i)
        ASSERT_TRUE(host::StartThread(WaitAtGate, &gate_)) << i;
    EXPECT_EQ(host::LiveThreads(), host::kMaxLiveThreads);
    EXPECT_FALSE(host::StartThread(WaitAtGate, &gate_));
    EXPECT_EQ(log_.Texts(),
              std::vector<std::string>{"StartThread refused: 16 threads running\r\n"});

    clock_.update([this] { gate_.open = true; });
    ASSERT_TRUE(clock_.wait_for_threads_to_end_us());
    EXPECT_EQ(host::LiveThreads(), 0);
    EXPECT_EQ(host::PeakThreads(), host::kMaxLiveThreads);
    host::ResetPeakThreads();
    EXPECT_EQ(host::PeakThreads(), 0);
    EXPECT_TRUE(host::StartThread(WaitAtGate, &gate_));  // places come back as threads end
    EXPECT_EQ(host::PeakThreads(), 1);
}

// The nth start from now fails, of any procedure or of the one named; then starts work again.
TEST_F(ThreadStartTest, InjectedFailureHitsTheNthStart) {
    host::FailThreadStart(2);
    EXPECT_TRUE(host::StartThread(Other, &gate_));
    EXPECT_FALSE(host::StartThread(Other, &gate_));
    EXPECT_TRUE(host::StartThread(Other, &gate_));

    host::FailThreadStart(1, WaitAtGate);
    EXPECT_TRUE(host::StartThread(Other, &gate_));
    EXPECT_FALSE(host::StartThread(WaitAtGate, &gate_));
    EXPECT_TRUE(host::StartThread(WaitAtGate, &gate_));
    EXPECT_TRUE(log_.Texts().empty());  // the caller reports a refusal of the system
    clock_.update([this] { gate_.open = true; });
    ASSERT_TRUE(clock_.wait_for_threads_to_end_us());
    EXPECT_EQ(gate_.runs.load(), 301);
}

}  // namespace
