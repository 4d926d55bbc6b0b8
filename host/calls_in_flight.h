// The calls that can be a thread's last touch of a clock (the one that says it has ended, the
// update that says its work is done), counted so that the clock's destructor can wait for them
// to leave.  The owner may see the end as soon as the caller releases the clock's lock, but
// releasing a lock is not always one step: the Windows threads library signals the lock's
// event after it has marked the lock free.  Destroying the clock at once would free what that
// step still uses: a crash, or a wake-up sent to the next lock at the same address.
#pragma once

#include <atomic>
#include <thread>

namespace host {

class CallsInFlight {
  public:
    // Made before the call takes the lock and destroyed after it has released it.
    class Scope {
      public:
        explicit Scope(CallsInFlight& calls) : calls_(calls) { calls_.count_.fetch_add(1); }
        ~Scope() { calls_.count_.fetch_sub(1, std::memory_order_release); }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

      private:
        CallsInFlight& calls_;
    };

    // A call in flight is a few instructions from its end: a yield or two at most.
    void WaitForNone() const {
        while (count_.load(std::memory_order_acquire) != 0)
            std::this_thread::yield();
    }

  private:
    std::atomic<int> count_{0};
};

}  // namespace host
