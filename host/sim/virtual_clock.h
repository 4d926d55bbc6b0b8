// Virtual time.  Time stands still while any registered thread is running and jumps to the
// earliest deadline when every registered thread waits on the clock.  A thread that was not
// registered counts as registered for as long as it waits, so a test's own thread may sleep
// or wait for the workers without registering first; while it does anything else (blocks on a
// real device, a keyboard) it is invisible to the clock.
//
// When every thread waits and none has a deadline, nothing can ever happen again: the clock
// reports the deadlock loudly (by default on stderr, then abort) instead of hanging.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>

#include "host/calls_in_flight.h"
#include "host/clock.h"

namespace host {

class VirtualClock final : public Clock {
  public:
    VirtualClock() = default;
    ~VirtualClock() override { in_flight_.WaitForNone(); }

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

    // Waits until no registered thread but the caller is left, or until the virtual deadline
    // passes.  Returns true when every other registered thread has ended.  A test thread that
    // starts workers registers itself first (ScopedClockThread): while it is busy starting
    // them, time must not move.
    bool wait_for_threads_to_end_us(int64_t deadline_us = kForever);

    // Replaces the default report (stderr and abort).  After a deadlock every wait returns at
    // once with its predicate's answer, so that the threads can run to an end.
    void set_deadlock_handler(std::function<void(int64_t now_us)> handler);
    bool deadlocked();

  private:
    struct Waiter;
    void WakeAllLocked();
    void MaybeAdvanceLocked();
    bool IsRegisteredHere() const;

    CallsInFlight in_flight_;  // update and unregister_thread
    std::mutex mutex_;
    std::condition_variable changed_;
    int64_t now_us_ = 0;
    int registered_ = 0;                // threads registered through register_thread
    int guests_ = 0;                    // unregistered threads that are waiting right now
    int waiting_ = 0;                   // threads (of both kinds) waiting in this generation
    uint64_t generation_ = 0;           // bumped whenever waiters must re-check
    std::multiset<int64_t> deadlines_;  // deadlines of this generation's waiters
    bool deadlocked_ = false;
    std::function<void(int64_t)> on_deadlock_;
};

}  // namespace host
