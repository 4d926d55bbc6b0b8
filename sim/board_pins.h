// The modem's view of the board: the CPLD mode register (which routes COM1 to the modem only
// in mode 110), the reset line (GPA15, bit 15 of port A data) and the power key (GPB4, bit 4
// of port B data).  Two sources:
// - BusPins, over the in-process recording bus: every write is observed the moment it is made,
//   so a model waiting in virtual time is woken by a pulse without polling for it;
// - RegisterFilePins (sim/register_file_pins.h), over the register file that the updater
//   shares with the virtual board program: watched for writes, each noted as it is written (where
//   the file cannot be watched, sampled every 25 ms in real time: the updater holds every pin level
//   for 100 ms at least).
// Either way the model gets the changes in order, each with the time it was seen, so that it
// judges a pulse's length by the edges even when it looks at them a little later.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/clock.h"

namespace host {
class RecordingBus;
}  // namespace host

namespace sim {

constexpr uint16_t kCpldModeDownload = 6;  // mode 110: COM1 reaches the modem
constexpr uint32_t kResetLineBit = 1u << 15;
constexpr uint32_t kPowerKeyBit = 1u << 4;

struct PinLevels {
    uint16_t cpld_mode = 0;
    bool reset = false;      // reset line high
    bool power_key = false;  // power key high

    bool operator==(const PinLevels&) const = default;
};

// The pins' levels from the three registers that carry them.
PinLevels LevelsOf(uint32_t cpld_mode, uint32_t port_a_data, uint32_t port_b_data);

struct PinChange {
    int64_t time_us = 0;
    PinLevels levels;
};

class BoardPins {
  public:
    virtual ~BoardPins() = default;

    // The levels now.
    virtual PinLevels Levels() = 0;
    // The changes since the last call, oldest first.  A sampled source samples first.
    virtual std::vector<PinChange> TakeChanges() = 0;
    // How often a source that cannot announce its changes must be looked at; 0 for one that
    // calls its listener.
    virtual int64_t poll_interval_us() const = 0;
    // Called after every change a source notices by itself, from the thread that made it.
    virtual void SetListener(std::function<void()> listener) = 0;
};

// Shared by both sources: the last levels seen and the changes not yet taken.
class PinTracker {
  public:
    // Records the levels if they differ from the last ones; true when they did.
    bool Note(int64_t time_us, const PinLevels& levels);
    std::vector<PinChange> Take();
    void Reset(const PinLevels& levels);

  private:
    std::mutex mutex_;
    PinLevels last_;
    std::vector<PinChange> changes_;
};

class BusPins final : public BoardPins {
  public:
    // Installs itself as the bus's write observer (a bus has one); the destructor removes it.
    BusPins(host::RecordingBus& bus, host::Clock& clock);
    ~BusPins() override;
    BusPins(const BusPins&) = delete;
    BusPins& operator=(const BusPins&) = delete;

    PinLevels Levels() override;
    std::vector<PinChange> TakeChanges() override;
    int64_t poll_interval_us() const override { return 0; }
    void SetListener(std::function<void()> listener) override;

  private:
    void OnWrite();

    host::RecordingBus& bus_;
    host::Clock& clock_;
    PinTracker tracker_;
    std::mutex listener_mutex_;
    std::function<void()> listener_;
};

}  // namespace sim
