// The power manager on a host: every request is appended to a log as one line, and none ever
// acts on the machine that runs the updater.  This piece keeps the handles and writes the
// lines; each host supplies the file they are appended to (host/<os>/power_log.h), so that the
// virtual board reads the same lines whichever host the updater runs on.
//
// Each line is the time in microseconds on the updater's clock, a blank, and the request:
//
//   2500000 backlight-require BKL1: D0 handle=1
//   2500000 backlight-release handle=1
//   2500000 backlight-release handle=7 unknown
//   2500000 system-reset state=0x00800000 options=0x00001000
//   2500000 system-power-state state=0x00010000 options=0x00000000
//   2500000 idle-timer-reset
//
// Device names are written as UTF-8 with control characters and blanks replaced by '?', so that
// a request is always one line of blank-separated fields.
#pragma once

#include <cstdint>
#include <mutex>
#include <set>
#include <string>

#include "host/clock.h"
#include "host/power.h"

namespace host {

class PowerRequestLog : public PowerManager {
  public:
    explicit PowerRequestLog(Clock& clock) : clock_(clock) {}

    PowerRequest SetPowerRequirement(const std::wstring& device, int device_state) override;
    // Releasing a handle that is not held answers ERROR_INVALID_PARAMETER (87).
    uint32_t ReleasePowerRequirement(PowerRequest request) override;
    uint32_t SetSystemPowerState(uint32_t state, uint32_t options) override;
    void IdleTimerReset() override;

  protected:
    // Appends one whole line, "\n" included, before the request returns.  Called under the
    // object's lock, so lines arrive one at a time and in the order of the requests.
    virtual void AppendLine(const std::string& line) = 0;

  private:
    void Append(int64_t time_us, const std::string& request);

    Clock& clock_;
    std::mutex mutex_;
    PowerRequest next_handle_ = 1;
    std::set<PowerRequest> held_;
};

// Device name as one field of a log line.
std::string DeviceField(const std::wstring& device);

}  // namespace host
