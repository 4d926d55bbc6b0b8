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
    void Update(const std::function<void()>& fn) override;
    void RegisterThread() override;
    void AddPendingThread() override;
    void BeginPendingThread() override;
    void UnregisterThread() override;
    int RegisteredThreads() override;

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int threads_ = 0;
    int64_t epoch_us_;
};

}  // namespace host
