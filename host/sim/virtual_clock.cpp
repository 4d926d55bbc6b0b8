// Virtual time: see the header for the rules.
//
// Bookkeeping by generations: every change (an update, a jump of time, a thread that ends)
// starts a new generation and wakes every waiter; a woken waiter re-checks its predicate and,
// if it must wait again, counts itself anew.  Time can therefore only move when every thread
// has seen the latest change and gone back to waiting.
#include "host/sim/virtual_clock.h"

#include <cstdio>
#include <cstdlib>

#include "host/check.h"

namespace host {
namespace {

// Registrations of the calling thread, per clock.
thread_local const VirtualClock* t_clock = nullptr;
thread_local int t_depth = 0;

}  // namespace

bool VirtualClock::IsRegisteredHere() const {
    return t_clock == this && t_depth > 0;
}

int64_t VirtualClock::now_us() {
    std::lock_guard<std::mutex> lock(mutex_);
    return now_us_;
}

void VirtualClock::sleep_us(int64_t duration_us) {
    if (duration_us <= 0)
        return;
    int64_t deadline_us = now_us() + duration_us;
    wait_until_us(deadline_us, [] { return false; });
}

bool VirtualClock::wait_until_us(int64_t deadline_us, const std::function<bool()>& pred) {
    std::unique_lock<std::mutex> lock(mutex_);
    const bool guest = !IsRegisteredHere();
    if (guest)
        ++guests_;
    // A thread registered more than once (a scope inside a scope) counts once per
    // registration, so its one wait must count as many times.
    const int weight = guest ? 1 : t_depth;
    bool result = false;
    for (;;) {
        if (pred()) {
            result = true;
            break;
        }
        if (now_us_ >= deadline_us || deadlocked_)
            break;
        waiting_ += weight;
        if (deadline_us != kForever)
            deadlines_.insert(deadline_us);
        const uint64_t generation = generation_;
        MaybeAdvanceLocked();
        while (generation == generation_)
            changed_.wait(lock);
    }
    if (guest) {
        --guests_;
        HOST_CHECK(guests_ >= 0);
        // A guest that leaves may have been the one thread keeping time still.
        WakeAllLocked();
    }
    return result;
}

void VirtualClock::update(const std::function<void()>& fn) {
    const CallsInFlight::Scope in_flight(in_flight_);
    std::lock_guard<std::mutex> lock(mutex_);
    fn();
    WakeAllLocked();
}

void VirtualClock::register_thread() {
    add_pending_thread();
    begin_pending_thread();
}

void VirtualClock::add_pending_thread() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++registered_;
}

void VirtualClock::begin_pending_thread() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (t_clock != this) {
        t_clock = this;
        t_depth = 0;
    }
    ++t_depth;
}

void VirtualClock::unregister_thread() {
    const CallsInFlight::Scope in_flight(in_flight_);
    std::lock_guard<std::mutex> lock(mutex_);
    // More ends than starts: time would move while a thread still runs.
    HOST_CHECK(registered_ > 0);
    --registered_;
    if (t_clock == this && t_depth > 0 && --t_depth == 0)
        t_clock = nullptr;
    WakeAllLocked();
}

int VirtualClock::registered_threads() {
    std::lock_guard<std::mutex> lock(mutex_);
    return registered_;
}

bool VirtualClock::wait_for_threads_to_end_us(int64_t deadline_us) {
    // The caller may be registered itself (a test thread that registered before starting the
    // workers, so that time could not move while it did): it does not wait for itself.
    const int own = IsRegisteredHere() ? t_depth : 0;
    return wait_until_us(deadline_us, [this, own] { return registered_ == own; });
}

bool VirtualClock::wait_for_thread_count_us(int count, int64_t deadline_us) {
    return wait_until_us(deadline_us, [this, count] { return registered_ <= count; });
}

void VirtualClock::set_deadlock_handler(std::function<void(int64_t)> handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    on_deadlock_ = std::move(handler);
}

bool VirtualClock::deadlocked() {
    std::lock_guard<std::mutex> lock(mutex_);
    return deadlocked_;
}

void VirtualClock::WakeAllLocked() {
    ++generation_;
    waiting_ = 0;
    deadlines_.clear();
    changed_.notify_all();
}

void VirtualClock::MaybeAdvanceLocked() {
    if (waiting_ < registered_ + guests_)
        return;
    if (deadlines_.empty()) {
        deadlocked_ = true;
        if (on_deadlock_) {
            on_deadlock_(now_us_);
        } else {
            std::fprintf(stderr,
                         "virtual clock: deadlock at %lld us: every thread waits and none has a "
                         "deadline\n",
                         static_cast<long long>(now_us_));
            std::abort();
        }
    } else if (*deadlines_.begin() > now_us_) {
        now_us_ = *deadlines_.begin();
    }
    WakeAllLocked();
}

}  // namespace host
