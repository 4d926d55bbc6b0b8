// The power manager's request log.
#include "host/posix/power_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "host/debug_log.h"
#include "host/posix/debug_log_file.h"

namespace host::posix {
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

PowerLog::PowerLog(const std::string& path, Clock& clock, std::FILE* report)
    : path_(path), report_(report), clock_(clock) {
    fd_ = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK,
               0644);
    if (fd_ < 0)
        GiveUp(errno == ELOOP ? "it is a symbolic link" : std::strerror(errno));
}

void PowerLog::GiveUp(const std::string& reason) {
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
    ReportLostFile(report_, "power log", path_, reason, "power requests go unrecorded");
}

PowerLog::~PowerLog() {
    if (fd_ >= 0)
        close(fd_);
}

void PowerLog::Append(int64_t time_us, const std::string& request) {
    if (fd_ < 0)
        return;
    const std::string line = std::to_string(time_us) + " " + request + "\n";
    // One write per line with O_APPEND: a reader never sees half a request, and the line is in
    // the file before the request returns.
    size_t done = 0;
    while (fd_ >= 0 && done < line.size()) {
        const ssize_t n = write(fd_, line.data() + done, line.size() - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else if (n == 0 || errno != EINTR)
            GiveUp(n == 0 ? "nothing was written" : std::strerror(errno));
    }
}

PowerRequest PowerLog::SetPowerRequirement(const std::wstring& device, int device_state) {
    // The time is read before our lock is taken: the clock's lock is never taken under ours.
    const int64_t time_us = clock_.now_us();
    std::lock_guard<std::mutex> lock(mutex_);
    const PowerRequest handle = next_handle_++;
    held_.insert(handle);
    Append(time_us, "backlight-require " + DeviceField(device) + " D" +
                        std::to_string(device_state) + " handle=" + std::to_string(handle));
    return handle;
}

uint32_t PowerLog::ReleasePowerRequirement(PowerRequest request) {
    const int64_t time_us = clock_.now_us();
    std::lock_guard<std::mutex> lock(mutex_);
    const bool known = held_.erase(request) == 1;
    Append(time_us,
           "backlight-release handle=" + std::to_string(request) + (known ? "" : " unknown"));
    return known ? kErrorSuccess : kErrorInvalidParameter;
}

uint32_t PowerLog::SetSystemPowerState(uint32_t state, uint32_t options) {
    const int64_t time_us = clock_.now_us();
    std::lock_guard<std::mutex> lock(mutex_);
    const char* name = (state & kPowerStateReset) != 0 ? "system-reset" : "system-power-state";
    Append(time_us, std::string(name) + " state=" + Hex32(state) + " options=" + Hex32(options));
    return kErrorSuccess;
}

void PowerLog::IdleTimerReset() {
    const int64_t time_us = clock_.now_us();
    std::lock_guard<std::mutex> lock(mutex_);
    Append(time_us, "idle-timer-reset");
}

}  // namespace host::posix
