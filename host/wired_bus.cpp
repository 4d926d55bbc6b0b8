// The register bus with the modem's lines on the serial adapter: see the header.
#include "host/wired_bus.h"

namespace host {
namespace {

constexpr uint32_t kResetLine = 1u << 15;  // GPA15 in port A data
constexpr uint32_t kPowerKey = 1u << 4;    // GPB4 in port B data

uint32_t MaskOf(int width) {
    return width == 32 ? ~uint32_t{0} : (uint32_t{1} << width) - 1;
}

}  // namespace

void WiredBus::Write8(uint32_t address, uint8_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    inner_.Write8(address, value);
    Follow(address, 8, value);
}

void WiredBus::Write16(uint32_t address, uint16_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    inner_.Write16(address, value);
    Follow(address, 16, value);
}

void WiredBus::Write32(uint32_t address, uint32_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    inner_.Write32(address, value);
    Follow(address, 32, value);
}

void WiredBus::Follow(uint32_t address, int width, uint32_t value) {
    const uint32_t mask = MaskOf(width);
    if (address == reg::kGpioADat && (mask & kResetLine) && wiring_.reset)
        Drive(*wiring_.reset, "the reset", (value & kResetLine) != 0);
    if (address == reg::kGpioBDat && (mask & kPowerKey) && wiring_.power_key)
        Drive(*wiring_.power_key, "the power key", (value & kPowerKey) != 0);
}

void WiredBus::Drive(const WiredLine& wired, const char* what, bool high) {
    std::string why;
    if (lines_.Set(wired.line, wired.AssertedFor(high), &why))
        return;
    const uint64_t inner_failures = inner_.FailedAccesses();
    std::lock_guard<std::mutex> lock(failure_mutex_);
    ++line_failures_;
    last_line_failure_ = std::string(what) + " on " + ModemLineName(wired.line) +
                         " cannot be driven " + (high ? "high" : "low") + ": " + why;
    inner_failures_at_last_ = inner_failures;
}

uint64_t WiredBus::FailedAccesses() const {
    const uint64_t inner = inner_.FailedAccesses();
    std::lock_guard<std::mutex> lock(failure_mutex_);
    return inner + line_failures_;
}

// The inner bus's reason when it has failed since the latest line failure.
std::string WiredBus::LastFailure() const {
    const uint64_t inner = inner_.FailedAccesses();
    std::lock_guard<std::mutex> lock(failure_mutex_);
    if (line_failures_ == 0 || inner > inner_failures_at_last_)
        return inner_.LastFailure();
    return last_line_failure_;
}

}  // namespace host
