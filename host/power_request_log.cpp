// The power manager's request log: handles and lines.
#include "host/power_request_log.h"

#include <cinttypes>
#include <cstdio>

#include "host/debug_log.h"

namespace host {
namespace {

constexpr uint32_t kErrorSuccess = 0;
constexpr uint32_t kErrorInvalidParameter = 87;

std::string Hex32(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08" PRIX32, value);
    return text;
}

}  // namespace

std::string DeviceField(const std::wstring& device) {
    std::string field = Narrow(device);
    for (char& c : field) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7F)
            c = '?';
    }
    return field.empty() ? "?" : field;
}

void PowerRequestLog::Append(int64_t time_us, const std::string& request) {
    AppendLine(std::to_string(time_us) + " " + request + "\n");
}

PowerRequest PowerRequestLog::SetPowerRequirement(const std::wstring& device, int device_state) {
    // The time is read before our lock is taken: the clock's lock is never taken under ours.
    const int64_t time_us = clock_.now_us();
    std::lock_guard<std::mutex> lock(mutex_);
    const PowerRequest handle = next_handle_++;
    held_.insert(handle);
    Append(time_us, "backlight-require " + DeviceField(device) + " D" +
                        std::to_string(device_state) + " handle=" + std::to_string(handle));
    return handle;
}

uint32_t PowerRequestLog::ReleasePowerRequirement(PowerRequest request) {
    const int64_t time_us = clock_.now_us();
    std::lock_guard<std::mutex> lock(mutex_);
    const bool known = held_.erase(request) == 1;
    Append(time_us,
           "backlight-release handle=" + std::to_string(request) + (known ? "" : " unknown"));
    return known ? kErrorSuccess : kErrorInvalidParameter;
}

uint32_t PowerRequestLog::SetSystemPowerState(uint32_t state, uint32_t options) {
    const int64_t time_us = clock_.now_us();
    std::lock_guard<std::mutex> lock(mutex_);
    const char* name = (state & kPowerStateReset) != 0 ? "system-reset" : "system-power-state";
    Append(time_us, std::string(name) + " state=" + Hex32(state) + " options=" + Hex32(options));
    return kErrorSuccess;
}

void PowerRequestLog::IdleTimerReset() {
    const int64_t time_us = clock_.now_us();
    std::lock_guard<std::mutex> lock(mutex_);
    Append(time_us, "idle-timer-reset");
}

}  // namespace host
