// The power manager on the host: every request is appended to the device root's power.log as
// one line, written with a single append and so visible to the virtual board at once.  It never
// acts on the machine that runs the updater.
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
#include <cstdio>
#include <mutex>
#include <set>
#include <string>

#include "host/clock.h"
#include "host/power.h"

namespace host::posix {

class PowerLog final : public PowerManager {
  public:
    // The log is opened without following a symbolic link.  Requests are still answered when
    // it cannot be opened or written (ok() false); that is said once on `report` (standard
    // error in production), and from then on requests are not written anywhere.
    PowerLog(const std::string& path, Clock& clock, std::FILE* report = stderr);
    ~PowerLog() override;
    PowerLog(const PowerLog&) = delete;
    PowerLog& operator=(const PowerLog&) = delete;

    bool ok() const { return fd_ >= 0; }

    PowerRequest SetPowerRequirement(const std::wstring& device, int device_state) override;
    // Releasing a handle that is not held answers ERROR_INVALID_PARAMETER (87).
    uint32_t ReleasePowerRequirement(PowerRequest request) override;
    uint32_t SetSystemPowerState(uint32_t state, uint32_t options) override;
    void IdleTimerReset() override;

  private:
    void Append(int64_t time_us, const std::string& request);
    void GiveUp(const std::string& reason);

    std::string path_;
    std::FILE* report_;
    Clock& clock_;
    int fd_ = -1;
    std::mutex mutex_;
    PowerRequest next_handle_ = 1;
    std::set<PowerRequest> held_;
};

// Device name as one field of a log line.
std::string DeviceField(const std::wstring& device);

}  // namespace host::posix
