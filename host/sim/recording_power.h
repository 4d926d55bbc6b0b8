// A power manager in memory for tests: answers every request and keeps it, with its time on a
// clock, for the test to inspect.  Thread-safe.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/clock.h"
#include "host/power.h"

namespace host {

class RecordingPower final : public PowerManager {
  public:
    struct Requirement {
        PowerRequest handle = 0;
        std::wstring device;
        int device_state = 0;
        int64_t taken_us = 0;
        std::optional<int64_t> released_us;  // empty while held
    };
    struct SystemState {
        uint32_t state = 0;
        uint32_t options = 0;
        int64_t time_us = 0;
    };

    explicit RecordingPower(Clock& clock) : clock_(clock) {}

    // Makes later SetPowerRequirement calls fail (return 0) as a power manager without the
    // device would; such calls are not recorded as requirements.
    void FailRequirements(bool fail);

    PowerRequest SetPowerRequirement(const std::wstring& device, int device_state) override;
    // Releasing a handle that is not held answers ERROR_INVALID_PARAMETER (87) and is counted.
    uint32_t ReleasePowerRequirement(PowerRequest request) override;
    uint32_t SetSystemPowerState(uint32_t state, uint32_t options) override;
    void IdleTimerReset() override;

    // Every requirement taken, in order, with its release if any.
    std::vector<Requirement> Requirements();
    // Whether a requirement on the device is held now.
    bool Held(const std::wstring& device);
    int TakenCount();
    int ReleasedCount();
    int BadReleaseCount();  // releases of handles that were not held
    std::vector<SystemState> SystemStates();
    std::vector<int64_t> IdleTimerResets();  // their times

  private:
    Clock& clock_;
    std::mutex mutex_;
    bool fail_requirements_ = false;
    PowerRequest next_handle_ = 1;
    std::vector<Requirement> requirements_;
    int bad_releases_ = 0;
    std::vector<SystemState> system_states_;
    std::vector<int64_t> idle_timer_resets_;
};

}  // namespace host
