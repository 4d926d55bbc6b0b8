// The modem's pins, read from the recording bus.
#include "sim/board_pins.h"

#include <cstring>
#include <utility>

#include "host/board.h"
#include "host/sim/recording_bus.h"

namespace sim {

PinLevels LevelsOf(uint32_t cpld_mode, uint32_t port_a_data, uint32_t port_b_data) {
    PinLevels levels;
    levels.cpld_mode = static_cast<uint16_t>(cpld_mode);
    levels.reset = (port_a_data & kResetLineBit) != 0;
    levels.power_key = (port_b_data & kPowerKeyBit) != 0;
    return levels;
}

bool PinTracker::Note(int64_t time_us, const PinLevels& levels) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (levels == last_)
        return false;
    last_ = levels;
    changes_.push_back({time_us, levels});
    return true;
}

std::vector<PinChange> PinTracker::Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(changes_, {});
}

void PinTracker::Reset(const PinLevels& levels) {
    std::lock_guard<std::mutex> lock(mutex_);
    last_ = levels;
    changes_.clear();
}

// ---- the recording bus ----

BusPins::BusPins(host::RecordingBus& bus, host::Clock& clock) : bus_(bus), clock_(clock) {
    tracker_.Reset(Levels());
    bus_.SetWriteObserver([this] { OnWrite(); });
}

BusPins::~BusPins() {
    bus_.SetWriteObserver(nullptr);
}

PinLevels BusPins::Levels() {
    return LevelsOf(bus_.Get(host::reg::kCpldMode), bus_.Get(host::reg::kGpioADat),
                    bus_.Get(host::reg::kGpioBDat));
}

std::vector<PinChange> BusPins::TakeChanges() {
    return tracker_.Take();
}

void BusPins::SetListener(std::function<void()> listener) {
    std::lock_guard<std::mutex> lock(listener_mutex_);
    listener_ = std::move(listener);
}

// Runs in the thread that wrote the register, right after the write.  One lock around the
// sample and the note keeps two writers from noting their samples out of order.
void BusPins::OnWrite() {
    std::lock_guard<std::mutex> lock(listener_mutex_);
    if (tracker_.Note(clock_.now_us(), Levels()) && listener_)
        listener_();
}

// ---- the register file ----

}  // namespace sim
