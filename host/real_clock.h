// Real time: the machine's steady clock, one lock and one condition variable for all waiters.
#pragma once

#include <condition_variable>
#include <mutex>

#include "host/clock.h"

namespace host {

class RealClock final : public Clock {
  public:
    RealClock();
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
    std::mutex mutex_;
    std::condition_variable changed_;
    int threads_ = 0;
    int64_t epoch_us_;
};

}  // namespace host

namespace host {

// Real time with a twist: forwards every call to a real clock, for subclasses that change how
// time is read, slept or waited for (a demo run faster, a test whose sleeps return at once).
class RealClockAdapter : public Clock {
  public:
    int64_t now_us() override { return real_.now_us(); }
    void sleep_us(int64_t duration_us) override { real_.sleep_us(duration_us); }
    bool wait_until_us(int64_t deadline_us, const std::function<bool()>& pred) override {
        return real_.wait_until_us(deadline_us, pred);
    }
    void update(const std::function<void()>& fn) override { real_.update(fn); }
    void register_thread() override { real_.register_thread(); }
    void add_pending_thread() override { real_.add_pending_thread(); }
    void begin_pending_thread() override { real_.begin_pending_thread(); }
    void unregister_thread() override { real_.unregister_thread(); }
    int registered_threads() override { return real_.registered_threads(); }
    bool wait_for_thread_count_us(int count, int64_t deadline_us) override {
        return real_.wait_for_thread_count_us(count, deadline_us);
    }

  protected:
    RealClock real_;
};

}  // namespace host
