// The recording power manager.
#include "host/sim/recording_power.h"

#include <algorithm>

namespace host {
namespace {

constexpr uint32_t kErrorSuccess = 0;
constexpr uint32_t kErrorInvalidParameter = 87;

}  // namespace

// Times are read before our lock is taken: the clock's lock is never taken under ours.

void RecordingPower::FailRequirements(bool fail) {
    std::lock_guard<std::mutex> lock(mutex_);
    fail_requirements_ = fail;
}

PowerRequest RecordingPower::SetPowerRequirement(const std::wstring& device, int device_state) {
    const int64_t time_us = clock_.now_us();
    std::lock_guard<std::mutex> lock(mutex_);
    if (fail_requirements_)
        return 0;
    const PowerRequest handle = next_handle_++;
    requirements_.push_back({handle, device, device_state, time_us, std::nullopt});
    return handle;
}

uint32_t RecordingPower::ReleasePowerRequirement(PowerRequest request) {
    const int64_t time_us = clock_.now_us();
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = std::find_if(requirements_.begin(), requirements_.end(), [&](const Requirement& r) {
        return r.handle == request && !r.released_us;
    });
    if (request == 0 || it == requirements_.end()) {
        ++bad_releases_;
        return kErrorInvalidParameter;
    }
    it->released_us = time_us;
    return kErrorSuccess;
}

uint32_t RecordingPower::SetSystemPowerState(uint32_t state, uint32_t options) {
    const int64_t time_us = clock_.now_us();
    std::lock_guard<std::mutex> lock(mutex_);
    system_states_.push_back({state, options, time_us});
    return kErrorSuccess;
}

void RecordingPower::IdleTimerReset() {
    const int64_t time_us = clock_.now_us();
    std::lock_guard<std::mutex> lock(mutex_);
    idle_timer_resets_.push_back(time_us);
}

std::vector<RecordingPower::Requirement> RecordingPower::Requirements() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requirements_;
}

bool RecordingPower::Held(const std::wstring& device) {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::any_of(requirements_.begin(), requirements_.end(),
                       [&](const Requirement& r) { return r.device == device && !r.released_us; });
}

int RecordingPower::TakenCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(requirements_.size());
}

int RecordingPower::ReleasedCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(
        std::count_if(requirements_.begin(), requirements_.end(),
                      [](const Requirement& r) { return r.released_us.has_value(); }));
}

int RecordingPower::BadReleaseCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return bad_releases_;
}

std::vector<RecordingPower::SystemState> RecordingPower::SystemStates() {
    std::lock_guard<std::mutex> lock(mutex_);
    return system_states_;
}

std::vector<int64_t> RecordingPower::IdleTimerResets() {
    std::lock_guard<std::mutex> lock(mutex_);
    return idle_timer_resets_;
}

}  // namespace host
