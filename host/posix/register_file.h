// The board's registers on the host: a small file in the device root (board.regs), mapped
// shared, so that the virtual board and tests in other processes see every access the moment
// it happens.
//
// Layout (native byte order, 48 bytes):
//
//   offset  0  magic          "BREG" (0x47455242 read as a little-endian word)
//   offset  4  version        1
//   offset  8  slot count     8
//   offset 12  write counter  bumped after every write, so that a watcher notices even a write
//                             of the value already there (CPLD mode 6 over 6)
//   offset 16  one 32-bit slot per register, in this order:
//                0 CPLD mode        0xAC000012      4 GPIO port A data    0xB1600004
//                1 CPLD auxiliary   0xAC000014      5 GPIO port B config  0xB1600010
//                2 UART0 MCR        0xB100000C      6 GPIO port B data    0xB1600014
//                3 GPIO port A cfg  0xB1600000      7 DVS control word    0xA3F00804
//
// Every register has a whole slot whatever its width.  An 8- or 16-bit access reaches the low
// 8 or 16 bits of the slot; a narrow write keeps the slot's other bits, as a narrow store to the
// low byte of a little-endian word would.  Every access is atomic on the mapped memory, so a
// process or thread reading concurrently sees either the old or the new value.
//
// An address outside the table is a programming error: it is reported on stderr and aborts.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "host/board.h"

namespace host::posix {

class RegisterFile final : public RegisterBus {
  public:
    static constexpr uint32_t kMagic = 0x47455242;  // "BREG"
    static constexpr uint32_t kVersion = 1;
    static constexpr std::array<uint32_t, 8> kAddresses = {
        reg::kCpldMode, reg::kCpldAux,  reg::kUart0Mcr, reg::kGpioACon,
        reg::kGpioADat, reg::kGpioBCon, reg::kGpioBDat, reg::kDvsControl,
    };
    static constexpr size_t kHeaderSize = 16;
    static constexpr size_t kFileSize = kHeaderSize + 4 * kAddresses.size();

    enum class Access { kReadWrite, kReadOnly };

    // Read-write: creates the file (sized, zeroed, with its header) when it is missing or
    // empty; never truncates or rewrites one that has contents.  Read-only: never creates.
    // A file of another size, magic or version is refused: ok() is false and error() says why.
    explicit RegisterFile(const std::string& path, Access access = Access::kReadWrite);
    ~RegisterFile() override;
    RegisterFile(const RegisterFile&) = delete;
    RegisterFile& operator=(const RegisterFile&) = delete;

    bool ok() const { return base_ != nullptr; }
    const std::string& error() const { return error_; }

    // Slot index of a register's address, or nothing for an address outside the table.
    static std::optional<size_t> SlotOf(uint32_t address);

    uint8_t Read8(uint32_t address) override;
    uint16_t Read16(uint32_t address) override;
    uint32_t Read32(uint32_t address) override;
    void Write8(uint32_t address, uint8_t value) override;
    void Write16(uint32_t address, uint16_t value) override;
    void Write32(uint32_t address, uint32_t value) override;

    // For watchers: the whole slot of a register, and the number of writes so far.
    uint32_t Peek(uint32_t address) const;
    uint32_t WriteCount() const;

  private:
    bool Map(const std::string& path);
    bool InitialiseIfEmpty(int fd);
    bool Validate(int fd);
    uint32_t* Word(size_t offset) const;
    uint32_t* SlotFor(uint32_t address, int width, bool write) const;
    void Store(uint32_t address, int width, uint32_t value);

    Access access_;
    void* base_ = nullptr;
    std::string error_;
};

}  // namespace host::posix
