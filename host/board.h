// The board's memory-mapped registers at their fixed virtual addresses.  On the device they
// are plain volatile memory; here every access goes through a RegisterBus so that the
// register file can be shared with the virtual board (host/posix/register_file.h) or recorded
// access by access with its time (host/sim/recording_bus.h).
//
// On the device an access cannot fail.  On a host it can: the register file may be cut short,
// replaced or unreadable under a run.  A failed read answers 0 and a failed write changes
// nothing; the bus counts the failures and keeps the latest one's reason, so that the board's
// operations can tell whether their own accesses went through.
#pragma once

#include <cstdint>
#include <string>

namespace host {

class RegisterBus {
  public:
    virtual ~RegisterBus() = default;
    virtual uint8_t Read8(uint32_t address) = 0;
    virtual uint16_t Read16(uint32_t address) = 0;
    virtual uint32_t Read32(uint32_t address) = 0;
    virtual void Write8(uint32_t address, uint8_t value) = 0;
    virtual void Write16(uint32_t address, uint16_t value) = 0;
    virtual void Write32(uint32_t address, uint32_t value) = 0;

    // Accesses that have failed so far; only ever grows.
    virtual uint64_t FailedAccesses() const { return 0; }
    // Why the latest failed access failed; empty while none has.
    virtual std::string LastFailure() const { return {}; }
};

// The registers the updater touches.
namespace reg {
constexpr uint32_t kCpldMode = 0xAC000012;    // 16 bits: 6 download path, 1 normal
constexpr uint32_t kCpldAux = 0xAC000014;     // 16 bits: written 2 before the mode switch
constexpr uint32_t kUart0Mcr = 0xB100000C;    // 8 bits: UART0 modem control
constexpr uint32_t kGpioACon = 0xB1600000;    // 32 bits: bit 15 = GPA15 function (0 output)
constexpr uint32_t kGpioADat = 0xB1600004;    // 32 bits: bit 15 = modem reset line
constexpr uint32_t kGpioBCon = 0xB1600010;    // 32 bits: bits 9:8 = GPB4 function (01 output)
constexpr uint32_t kGpioBDat = 0xB1600014;    // 32 bits: bit 4 = modem power key
constexpr uint32_t kDvsControl = 0xA3F00804;  // 32 bits: bit 0 = power saving off
}  // namespace reg

}  // namespace host
