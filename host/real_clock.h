// Real time: the machine's steady clock, one lock and one condition variable for all waiters.
#pragma once

#include <condition_variable>
#include <mutex>

#include "host/calls_in_flight.h"
#include "host/clock.h"

namespace host {

class RealClock : public Clock {
  public:
    // speed > 1 runs time that many times faster: the clock reads speed times the real time
    // since its start, and every sleep and wait takes 1/speed of its real length (a demo
    // shown quickly).
    explicit RealClock(double speed = 1.0);
    ~RealClock() override { in_flight_.WaitForNone(); }
    int64_t now_us() override;
    void sleep_us(int64_t duration_us) override;
    bool wait_until_us(int64_t deadline_us, const std::function<bool()>& pred) override;
    void update(const std::function<void()>& fn) override;
    void register_thread() override;
    void add_pending_thread() override;
    void begin_pending_thread() override;
    void unregister_thread() override;
    int registered_threads() override;
    bool wait_for_thread_count_us(int count, int64_t deadline_us) override;

  private:
    CallsInFlight in_flight_;  // update and unregister_thread
    std::mutex mutex_;
    std::condition_variable changed_;
    int threads_ = 0;
    const double speed_;
    const int64_t epoch_us_;
};

}  // namespace host
