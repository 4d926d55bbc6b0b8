// Virtual time: when it moves, where it jumps to, and that a run repeats exactly.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/platform.h"
#include "host/sim/virtual_clock.h"
#include "host/thread.h"

namespace {

struct Trace {
    std::mutex mutex;
    std::vector<std::string> lines;
    void Add(const std::string& what, int64_t now_us) {
        std::lock_guard<std::mutex> lock(mutex);
        lines.push_back(what + "@" + std::to_string(now_us));
    }
};

struct Scenario {
    host::VirtualClock* clock;
    Trace* trace;
    std::atomic<int>* flag;  // set by the writer, awaited by the reader
};

uint32_t Sleeper(void* param) {
    auto* s = static_cast<Scenario*>(param);
    for (int i = 0; i < 3; ++i) {
        s->clock->sleep_ms(70);
        s->trace->Add("sleeper", s->clock->now_us());
    }
    return 0;
}

uint32_t Writer(void* param) {
    auto* s = static_cast<Scenario*>(param);
    s->clock->sleep_ms(150);
    s->clock->update([s] { s->flag->store(1); });
    s->trace->Add("writer", s->clock->now_us());
    return 0;
}

uint32_t Reader(void* param) {
    auto* s = static_cast<Scenario*>(param);
    // The first wait times out, the second is ended by the writer's change.
    bool first = s->clock->wait_until_us(100'000, [s] { return s->flag->load() == 1; });
    s->trace->Add(first ? "reader-early" : "reader-timeout", s->clock->now_us());
    bool second = s->clock->wait_until_us(1'000'000, [s] { return s->flag->load() == 1; });
    s->trace->Add(second ? "reader-woken" : "reader-late", s->clock->now_us());
    return 0;
}

std::vector<std::string> RunScenario() {
    host::VirtualClock clock;
    host::ScopedPlatform platform({.clock = &clock});
    Trace trace;
    std::atomic<int> flag{0};
    Scenario s{&clock, &trace, &flag};
    host::ScopedClockThread self(clock);
    host::StartThread(Sleeper, &s);
    host::StartThread(Writer, &s);
    host::StartThread(Reader, &s);
    EXPECT_TRUE(clock.wait_for_threads_to_end_us());
    std::sort(trace.lines.begin(), trace.lines.end());
    return trace.lines;
}

}  // namespace

TEST(VirtualClock, ThreadsSleepAndWaitInVirtualTimeAndRepeatExactly) {
    std::vector<std::string> expected = {
        "reader-timeout@100000", "reader-woken@150000", "sleeper@140000",
        "sleeper@210000",        "sleeper@70000",       "writer@150000",
    };
    std::sort(expected.begin(), expected.end());
    for (int run = 0; run < 20; ++run)
        ASSERT_EQ(RunScenario(), expected) << "run " << run;
}

TEST(VirtualClock, PredicateChangedJustBeforeDeadlineWakesAtThatMoment) {
    host::VirtualClock clock;
    host::ScopedPlatform platform({.clock = &clock});
    struct Shared {
        host::VirtualClock* clock;
        bool ready = false;
        int64_t woke_us = -1;
        bool result = false;
    } shared{&clock};
    host::ScopedClockThread self(clock);
    host::StartThread(
        [](void* p) -> uint32_t {
            auto* s = static_cast<Shared*>(p);
            s->clock->sleep_us(999'999);
            s->clock->update([s] { s->ready = true; });
            return 0;
        },
        &shared);
    host::StartThread(
        [](void* p) -> uint32_t {
            auto* s = static_cast<Shared*>(p);
            s->result = s->clock->wait_until_us(1'000'000, [s] { return s->ready; });
            s->woke_us = s->clock->now_us();
            return 0;
        },
        &shared);
    ASSERT_TRUE(clock.wait_for_threads_to_end_us());
    EXPECT_TRUE(shared.result);
    EXPECT_EQ(shared.woke_us, 999'999);
}

TEST(VirtualClock, TimeStandsStillWhileARegisteredThreadRuns) {
    host::VirtualClock clock;
    std::atomic<bool> waiting{false};
    std::atomic<int64_t> woke_at{-1};
    clock.register_thread();  // this thread: registered and busy
    std::thread guest([&] {
        waiting = true;
        clock.wait_until_us(10'000, [] { return false; });
        woke_at = clock.now_us();
    });
    while (!waiting)
        std::this_thread::yield();
    for (int i = 0; i < 1000; ++i)
        std::this_thread::yield();
    // The guest waits for 10 ms, but this registered thread has not waited yet.
    EXPECT_EQ(clock.now_us(), 0);
    clock.sleep_ms(5);  // now everybody waits: time moves to the earliest deadline only
    EXPECT_EQ(clock.now_us(), 5000);
    EXPECT_EQ(woke_at.load(), -1);
    clock.unregister_thread();
    guest.join();
    EXPECT_EQ(woke_at.load(), 10'000);
}

TEST(VirtualClock, DeadlockIsReportedInsteadOfHanging) {
    host::VirtualClock clock;
    std::atomic<int64_t> reported_at{-1};
    clock.set_deadlock_handler([&](int64_t now_us) { reported_at = now_us; });
    bool never = false;
    clock.sleep_ms(42);
    bool woke = clock.wait_until_us(host::kForever, [&] { return never; });
    EXPECT_FALSE(woke);
    EXPECT_TRUE(clock.deadlocked());
    EXPECT_EQ(reported_at.load(), 42'000);
}

TEST(VirtualClockDeathTest, DeadlockWithoutHandlerAbortsLoudly) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            host::VirtualClock clock;
            clock.wait_until_us(host::kForever, [] { return false; });
        },
        "deadlock");
}

TEST(VirtualClock, NestedRegistrationStillLetsTimeMove) {
    host::VirtualClock clock;
    host::ScopedClockThread outer(clock);
    host::ScopedClockThread inner(clock);  // e.g. a modal loop inside a registered thread
    clock.sleep_ms(3);
    EXPECT_EQ(clock.now_us(), 3000);
}
