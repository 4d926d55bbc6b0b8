// A register bus that also drives a real modem's power key and reset through the serial
// adapter's modem-control lines: every access goes to the inner bus unchanged (the register
// file stays the board's view), and every write of GPIO port A data (bit 15, the reset line
// GPA15) or port B data (bit 4, the power key GPB4) then drives the wired line to the level
// written, through its polarity.  The board's sequences are untouched, so the lines follow
// their exact order and waits.
//
// Every data write drives its line, also when the level does not change and also when the
// inner write failed: the line is the real modem's, and it must end where the sequence meant
// it to end.  The pin's configuration register is not consulted: the sequences always make
// the pin an output before they drive it.
//
// A line that cannot be changed counts as a failed access: FailedAccesses() adds the line
// failures to the inner bus's, and LastFailure() gives the reason of the latest failure of
// either, so that the board's operations report it and the update ends.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "host/board.h"
#include "host/modem_lines.h"
#include "host/modem_wiring.h"

namespace host {

class WiredBus final : public RegisterBus {
  public:
    WiredBus(RegisterBus& inner, ModemLines& lines, const ModemWiring& wiring)
        : inner_(inner), lines_(lines), wiring_(wiring) {}

    uint8_t Read8(uint32_t address) override { return inner_.Read8(address); }
    uint16_t Read16(uint32_t address) override { return inner_.Read16(address); }
    uint32_t Read32(uint32_t address) override { return inner_.Read32(address); }
    void Write8(uint32_t address, uint8_t value) override;
    void Write16(uint32_t address, uint16_t value) override;
    void Write32(uint32_t address, uint32_t value) override;
    uint64_t FailedAccesses() const override;
    std::string LastFailure() const override;

  private:
    // Under mutex_: drives the line wired to the pin that a write of `width` bits at
    // `address` reaches, if any.
    void Follow(uint32_t address, int width, uint32_t value);
    void Drive(const WiredLine& wired, const char* what, bool high);

    RegisterBus& inner_;
    ModemLines& lines_;
    const ModemWiring wiring_;
    // Keeps a register's write and its line change together, so that two threads writing the
    // same port leave the line at the register's last level.
    std::mutex mutex_;
    mutable std::mutex failure_mutex_;
    uint64_t line_failures_ = 0;
    std::string last_line_failure_;
    uint64_t inner_failures_at_last_ = 0;  // the inner bus's count at the latest line failure
};

}  // namespace host
