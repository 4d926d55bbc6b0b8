// Real time, at the given speed.  Registration only counts threads: real time moves by itself.
#include "host/real_clock.h"

#include <algorithm>
#include <chrono>

namespace host {
namespace {

int64_t SteadyNowUs() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

RealClock::RealClock(double speed) : speed_(speed), epoch_us_(SteadyNowUs()) {}

int64_t RealClock::now_us() {
    const int64_t real_us = SteadyNowUs() - epoch_us_;
    return speed_ == 1.0 ? real_us : static_cast<int64_t>(static_cast<double>(real_us) * speed_);
}

void RealClock::sleep_us(int64_t duration_us) {
    if (duration_us <= 0)
        return;
    int64_t deadline_us = now_us() + duration_us;
    wait_until_us(deadline_us, [] { return false; });
}

bool RealClock::wait_until_us(int64_t deadline_us, const std::function<bool()>& pred) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!pred()) {
        if (deadline_us == kForever) {
            changed_.wait(lock);
            continue;
        }
        const int64_t left_us = deadline_us - now_us();
        if (left_us <= 0)
            return pred();
        // At least a microsecond of real time: a fast clock must not spin.
        const auto real_left_us =
            std::max<int64_t>(1, static_cast<int64_t>(static_cast<double>(left_us) / speed_));
        changed_.wait_for(lock, std::chrono::microseconds(real_left_us));
    }
    return true;
}

// Notifying under the lock: a thread that ends may be the last user of the clock, and its
// owner may destroy the clock as soon as the lock is free; the destructor waits for the call
// to be out of the lock's release as well (host/calls_in_flight.h).
void RealClock::update(const std::function<void()>& fn) {
    const CallsInFlight::Scope in_flight(in_flight_);
    std::lock_guard<std::mutex> lock(mutex_);
    fn();
    changed_.notify_all();
}

void RealClock::register_thread() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++threads_;
}

void RealClock::add_pending_thread() {
    register_thread();
}

void RealClock::begin_pending_thread() {}

void RealClock::unregister_thread() {
    const CallsInFlight::Scope in_flight(in_flight_);
    std::lock_guard<std::mutex> lock(mutex_);
    --threads_;
    changed_.notify_all();
}

int RealClock::registered_threads() {
    std::lock_guard<std::mutex> lock(mutex_);
    return threads_;
}

bool RealClock::wait_for_thread_count_us(int count, int64_t deadline_us) {
    return wait_until_us(deadline_us, [this, count] { return threads_ <= count; });
}

}  // namespace host
