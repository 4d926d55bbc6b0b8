// Threads started through the host's thread start, on either clock: every one runs, and the
// clock can go as soon as its owner has seen the last of them end, round after round, as a
// test's own thread starts an update's workers, waits for them and destroys its board.  A lost
// thread (counted by its starter, never run) or a clock freed under a thread still leaving it
// shows here rather than as a rare crash at the end of a whole update.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "host/platform.h"
#include "host/real_clock.h"
#include "host/sim/virtual_clock.h"
#include "host/thread.h"

namespace {

constexpr int kRounds = 3000;

struct ClockCase {
    const char* name;
    std::function<std::unique_ptr<host::Clock>()> make;
    // Threads started at once each round: the two faults show best at different counts.
    int threads;
};

void PrintTo(const ClockCase& c, std::ostream* out) {
    *out << c.name;
}

uint32_t CountRun(void* param) {
    static_cast<std::atomic<int>*>(param)->fetch_add(1);
    return 0;
}

// A lost thread holds a virtual clock still, and the round's wait with it.  A round takes well
// under a millisecond; one that has not ended within seconds ends the run, with the reason.
class LostThreadWatch {
  public:
    explicit LostThreadWatch(const std::atomic<int>& round)
        : thread_([this, &round] { Watch(round); }) {}
    ~LostThreadWatch() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        done_changed_.notify_all();
        thread_.join();
    }

  private:
    void Watch(const std::atomic<int>& round) {
        std::unique_lock<std::mutex> lock(mutex_);
        for (int seen = -1; !done_;) {
            const int now = round.load();
            if (now == seen) {
                std::fprintf(stderr, "round %d: a started thread never ran or never ended\n", now);
                std::abort();
            }
            seen = now;
            done_changed_.wait_for(lock, std::chrono::seconds(10), [this] { return done_; });
        }
    }

    std::mutex mutex_;
    std::condition_variable done_changed_;
    bool done_ = false;
    std::thread thread_;  // last: it starts once the rest is made
};

class ThreadEndTest : public ::testing::TestWithParam<ClockCase> {};

TEST_P(ThreadEndTest, EveryThreadRunsAndTheClockCanGoAtOnce) {
    std::atomic<int> runs{0};
    std::atomic<int> round{0};

    const LostThreadWatch watch(round);
    for (; round < kRounds; ++round) {
        std::unique_ptr<host::Clock> clock = GetParam().make();
        const host::ScopedPlatform platform({.clock = clock.get()});
        const host::ScopedClockThread self(*clock);
        for (int i = 0; i < GetParam().threads; ++i)
            ASSERT_TRUE(host::StartThread(CountRun, &runs));
        clock->wait_for_thread_count_us(1, host::kForever);
    }
    EXPECT_EQ(runs.load(), kRounds * GetParam().threads);
}

std::unique_ptr<host::Clock> MakeVirtual() {
    return std::make_unique<host::VirtualClock>();
}

std::unique_ptr<host::Clock> MakeReal() {
    return std::make_unique<host::RealClock>();
}

INSTANTIATE_TEST_SUITE_P(Clocks, ThreadEndTest,
                         ::testing::Values(ClockCase{"VirtualTwo", MakeVirtual, 2},
                                           ClockCase{"RealTwo", MakeReal, 2},
                                           ClockCase{"VirtualFour", MakeVirtual, 4},
                                           ClockCase{"RealFour", MakeReal, 4}),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
