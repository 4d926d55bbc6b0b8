// The modem's view of the board: the CPLD mode register (which routes COM1 to the modem only
// in mode 110), the reset line (GPA15, bit 15 of port A data) and the power key (GPB4, bit 4
// of port B data).  Two sources:
// - BusPins, over the in-process recording bus: every write is observed the moment it is made,
//   so a model waiting in virtual time is woken by a pulse without polling for it;
// - RegisterFilePins, over the register file that the updater shares with the virtual board
//   program: watched for writes, each noted as it is written (where the file cannot be
//   watched, sampled every 25 ms in real time: the updater holds every pin level for 100 ms
//   at least).
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
namespace posix {
class RegisterFile;
}
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

class RegisterFilePins final : public BoardPins {
  public:
    static constexpr int64_t kPollIntervalUs = 25'000;

    // With a path, the file's size is checked before every sample: a mapped file cut short
    // faults on access, so once it is short the pins are never sampled again (the levels stay
    // as last seen and cut_short() says why).  Another process may still cut it between the
    // check and the sample; an owner that cuts it itself calls StopSampling() first.
    //
    // With a path, the file is also watched for writes (inotify): a change is noted when it
    // is written and the listener told, so nothing needs to poll.  Without a path, or when the
    // watch cannot be set, the model samples every kPollIntervalUs.
    RegisterFilePins(const host::posix::RegisterFile& file, host::Clock& clock,
                     std::string path = {});
    ~RegisterFilePins() override;
    RegisterFilePins(const RegisterFilePins&) = delete;
    RegisterFilePins& operator=(const RegisterFilePins&) = delete;

    void StopSampling();
    bool cut_short() const;

    PinLevels Levels() override;
    std::vector<PinChange> TakeChanges() override;
    int64_t poll_interval_us() const override { return watch_ >= 0 ? 0 : kPollIntervalUs; }
    void SetListener(std::function<void()> listener) override;

  private:
    PinLevels Sample();
    void StartWatch();
    void Watch();

    const host::posix::RegisterFile& file_;
    host::Clock& clock_;
    const std::string path_;
    PinTracker tracker_;
    mutable std::mutex sample_mutex_;  // a sample and StopSampling() exclude each other
    bool stopped_ = false;
    bool cut_short_ = false;
    PinLevels last_;
    int inotify_fd_ = -1;
    int watch_ = -1;
    std::atomic<bool> stop_watch_{false};
    std::thread watcher_;
    std::mutex listener_mutex_;
    std::function<void()> listener_;
};

}  // namespace sim
