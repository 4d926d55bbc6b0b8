// Time as the updater sees it.  Every sleep, serial time-out and watchdog goes through a Clock,
// so that tests can run an update in virtual time: a minute of the update costs milliseconds
// and the same run gives the same timestamps every time.  A Clock is two interfaces on one
// timeline: TimeSource (reading the time) and Scheduler (sleeping, waiting, thread
// registration); a user that only reads the time takes a TimeSource.
//
// Two implementations: RealClock (host/real_clock.cpp), the steady clock of the machine, and
// VirtualClock (host/sim/virtual_clock.h), whose time moves only when every registered thread
// is waiting on it, and then jumps to the earliest deadline.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>

namespace host {

constexpr int64_t kForever = std::numeric_limits<int64_t>::max();

// Time: the reading of a clock, for what only stamps or measures (a log line, a recorded
// event).  Microseconds since the clock's own epoch (the start of the run for a virtual clock).
class TimeSource {
  public:
    virtual ~TimeSource() = default;
    virtual int64_t now_us() = 0;
    int64_t now_ms() { return now_us() / 1000; }
};

// Scheduling: blocking for a time or a condition, and the threads that take part in it.
// Deadlines are on the timeline of the time source the scheduler comes with (Clock).
class Scheduler {
  public:
    virtual ~Scheduler() = default;

    // Blocks the calling thread for the given time.
    virtual void sleep_us(int64_t duration_us) = 0;
    void sleep_ms(uint32_t duration_ms) { sleep_us(int64_t{duration_ms} * 1000); }

    // Blocks until pred() holds or the time reaches deadline_us, whichever comes first, and
    // returns pred()'s last answer.  pred runs under the scheduler's lock; the state it reads
    // must be changed through update() so that waiters re-check it.  kForever waits without a
    // deadline.
    virtual bool wait_until_us(int64_t deadline_us, const std::function<bool()>& pred) = 0;

    // Runs fn under the scheduler's lock, then wakes every waiter to re-check its predicate.
    virtual void update(const std::function<void()>& fn) = 0;

    // Threads that take part in virtual time.  A virtual clock moves only while every
    // registered thread waits on it.  register_thread() registers the calling thread.
    // StartThread() registers its threads itself, in two steps: the starting thread counts
    // the new one (add_pending_thread) so that time cannot move before it runs, and the new
    // thread then claims that place as its own (begin_pending_thread).
    virtual void register_thread() = 0;
    virtual void add_pending_thread() = 0;
    virtual void begin_pending_thread() = 0;
    virtual void unregister_thread() = 0;
    virtual int registered_threads() = 0;
    // Waits until at most `count` threads are registered or deadline_us passes; answers
    // whether the count was reached.  (A predicate given to wait_until_us cannot ask
    // registered_threads: it runs under the scheduler's lock.)
    virtual bool wait_for_thread_count_us(int count, int64_t deadline_us) = 0;
};

// Both halves on one timeline: what the platform installs and what waits with deadlines use.
class Clock : public TimeSource, public Scheduler {};

// Registers the calling thread for the life of a scope (a test's own thread, a model's loop).
class ScopedClockThread {
  public:
    explicit ScopedClockThread(Scheduler& clock) : clock_(clock) { clock_.register_thread(); }
    ~ScopedClockThread() { clock_.unregister_thread(); }
    ScopedClockThread(const ScopedClockThread&) = delete;
    ScopedClockThread& operator=(const ScopedClockThread&) = delete;

  private:
    Scheduler& clock_;
};

// The platform's millisecond sleep, on the installed clock.
void Sleep(uint32_t duration_ms);

}  // namespace host
