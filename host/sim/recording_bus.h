// A register bus in memory that records every access with its time on a clock, for tests
// that check a sequence access by access and wait by wait.
//
// Every address is accepted, the board's or not, and recorded, so that a test can check that
// nothing else was touched.  Each address holds a 32-bit value (0 unless preset); an 8- or
// 16-bit access reaches its low bits, and a narrow write keeps the others.
//
// It can be made to fail from a chosen access on, as a register file cut short under a run
// fails: a failed access is not recorded, a read answers 0 and a write changes nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "host/board.h"
#include "host/clock.h"

namespace host {

struct BusAccess {
    enum Kind { kRead, kWrite };
    int64_t time_us = 0;
    Kind kind = kRead;
    int width = 32;  // 8, 16 or 32
    uint32_t address = 0;
    uint32_t value = 0;  // read or written, of the access's width

    bool operator==(const BusAccess&) const = default;
};

std::ostream& operator<<(std::ostream& out, const BusAccess& access);

class RecordingBus final : public RegisterBus {
  public:
    explicit RecordingBus(Clock& clock) : clock_(clock) {}

    // Presets a register's whole value without recording an access.
    void Set(uint32_t address, uint32_t value);
    // A register's whole value, without recording an access.
    uint32_t Get(uint32_t address);

    std::vector<BusAccess> Accesses();
    void ClearAccesses();

    // Called after every write, outside the bus's lock, so that a watcher (the modem model)
    // notices a pulse the moment it is written instead of polling for it.  Setting another
    // observer, or none, waits for a call under way to end: once it returns, the old observer
    // is never called again.
    void SetWriteObserver(std::function<void()> observer);

    // From the first access that `trigger` accepts on (it sees each access before it is made,
    // a read with value 0), that access and the `count` - 1 after it fail with `reason`; by
    // default every later one.  The trigger runs under the bus's lock and must not touch the
    // bus.
    void FailFrom(std::function<bool(const BusAccess&)> trigger, std::string reason,
                  uint64_t count = UINT64_MAX);
    uint64_t FailedAccesses() const override;
    std::string LastFailure() const override;

    uint8_t Read8(uint32_t address) override;
    uint16_t Read16(uint32_t address) override;
    uint32_t Read32(uint32_t address) override;
    void Write8(uint32_t address, uint8_t value) override;
    void Write16(uint32_t address, uint16_t value) override;
    void Write32(uint32_t address, uint32_t value) override;

  private:
    uint32_t Load(uint32_t address, int width);
    void Store(uint32_t address, int width, uint32_t value);
    // Under mutex_: whether this access fails, counting it when it does.
    bool Fails(const BusAccess& access);

    Clock& clock_;
    mutable std::mutex mutex_;
    std::function<bool(const BusAccess&)> fail_trigger_;
    std::string fail_reason_;
    uint64_t fail_count_ = 0;  // failures still to come once triggered
    bool failing_ = false;
    uint64_t failures_ = 0;
    std::map<uint32_t, uint32_t> values_;
    std::vector<BusAccess> accesses_;
    // Held while the observer runs (which may read the bus, taking mutex_); never taken while
    // mutex_ is held.
    std::mutex observer_mutex_;
    std::function<void()> observer_;
};

}  // namespace host
