// The power manager's requests and the idle timer.  On the host they are recorded (in the
// device root for the virtual board, in memory for tests) and never act on the machine that
// runs the updater.
#pragma once

#include <cstdint>
#include <string>

namespace host {

using PowerRequest = uintptr_t;  // 0: no request

constexpr int kDevicePowerD0 = 0;                  // full power
constexpr uint32_t kPowerStateReset = 0x00800000;  // system power state: reset
constexpr uint32_t kPowerForce = 0x00001000;       // option: force the state

class PowerManager {
  public:
    virtual ~PowerManager() = default;
    // Holds the named device at the given device power state; returns the request's handle.
    virtual PowerRequest SetPowerRequirement(const std::wstring& device, int device_state) = 0;
    virtual uint32_t ReleasePowerRequirement(PowerRequest request) = 0;
    // Sets a system power state (kPowerStateReset with kPowerForce restarts the device).
    virtual uint32_t SetSystemPowerState(uint32_t state, uint32_t options) = 0;
    // Restarts the system's idle timer so that the device does not suspend.
    virtual void IdleTimerReset() = 0;
};

}  // namespace host
