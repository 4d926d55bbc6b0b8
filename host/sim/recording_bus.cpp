// The recording register bus.
#include "host/sim/recording_bus.h"

#include <cstdio>

namespace host {
namespace {

uint32_t MaskOf(int width) {
    return width == 32 ? ~uint32_t{0} : (uint32_t{1} << width) - 1;
}

}  // namespace

std::ostream& operator<<(std::ostream& out, const BusAccess& access) {
    char text[80];
    std::snprintf(text, sizeof text, "{%lld us %s%d 0x%08X = 0x%0*X}",
                  static_cast<long long>(access.time_us),
                  access.kind == BusAccess::kRead ? "R" : "W", access.width,
                  static_cast<unsigned>(access.address), access.width / 4,
                  static_cast<unsigned>(access.value));
    return out << text;
}

void RecordingBus::Set(uint32_t address, uint32_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    values_[address] = value;
}

uint32_t RecordingBus::Get(uint32_t address) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = values_.find(address);
    return it == values_.end() ? 0 : it->second;
}

std::vector<BusAccess> RecordingBus::Accesses() {
    std::lock_guard<std::mutex> lock(mutex_);
    return accesses_;
}

void RecordingBus::ClearAccesses() {
    std::lock_guard<std::mutex> lock(mutex_);
    accesses_.clear();
}

void RecordingBus::FailFrom(std::function<bool(const BusAccess&)> trigger, std::string reason,
                            uint64_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    fail_trigger_ = std::move(trigger);
    fail_reason_ = std::move(reason);
    fail_count_ = count;
    failing_ = false;
}

uint64_t RecordingBus::FailedAccesses() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return failures_;
}

std::string RecordingBus::LastFailure() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return failures_ == 0 ? std::string() : fail_reason_;
}

bool RecordingBus::Fails(const BusAccess& access) {
    if (!failing_ && fail_count_ > 0 && fail_trigger_ && fail_trigger_(access))
        failing_ = true;
    if (!failing_)
        return false;
    ++failures_;
    failing_ = --fail_count_ > 0;
    return true;
}

uint32_t RecordingBus::Load(uint32_t address, int width) {
    // The time is taken outside our lock so that the bus never holds it while waiting for the
    // clock's.
    const int64_t time_us = clock_.now_us();
    std::lock_guard<std::mutex> lock(mutex_);
    if (Fails({time_us, BusAccess::kRead, width, address, 0}))
        return 0;
    const uint32_t value = values_[address] & MaskOf(width);
    accesses_.push_back({time_us, BusAccess::kRead, width, address, value});
    return value;
}

void RecordingBus::SetWriteObserver(std::function<void()> observer) {
    std::lock_guard<std::mutex> lock(observer_mutex_);
    observer_ = std::move(observer);
}

void RecordingBus::Store(uint32_t address, int width, uint32_t value) {
    const int64_t time_us = clock_.now_us();
    const uint32_t mask = MaskOf(width);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (Fails({time_us, BusAccess::kWrite, width, address, value & mask}))
            return;
        uint32_t& slot = values_[address];
        slot = (slot & ~mask) | (value & mask);
        accesses_.push_back({time_us, BusAccess::kWrite, width, address, value & mask});
    }
    // The observer may read the bus and wake waiters on the clock: it runs without mutex_.
    std::lock_guard<std::mutex> lock(observer_mutex_);
    if (observer_)
        observer_();
}

uint8_t RecordingBus::Read8(uint32_t address) {
    return static_cast<uint8_t>(Load(address, 8));
}
uint16_t RecordingBus::Read16(uint32_t address) {
    return static_cast<uint16_t>(Load(address, 16));
}
uint32_t RecordingBus::Read32(uint32_t address) {
    return Load(address, 32);
}
void RecordingBus::Write8(uint32_t address, uint8_t value) {
    Store(address, 8, value);
}
void RecordingBus::Write16(uint32_t address, uint16_t value) {
    Store(address, 16, value);
}
void RecordingBus::Write32(uint32_t address, uint32_t value) {
    Store(address, 32, value);
}

}  // namespace host
