// The layout of the board's register file (board.regs in the device root) and the checks of its
// contents, shared by every host's register file so that a board on one host reads what an
// updater on another writes.
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
// low byte of a little-endian word would.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "host/board.h"

namespace host::register_layout {

constexpr uint32_t kMagic = 0x47455242;  // "BREG"
constexpr uint32_t kVersion = 1;
constexpr std::array<uint32_t, 8> kAddresses = {
    reg::kCpldMode, reg::kCpldAux,  reg::kUart0Mcr, reg::kGpioACon,
    reg::kGpioADat, reg::kGpioBCon, reg::kGpioBDat, reg::kDvsControl,
};
constexpr size_t kHeaderSize = 16;
constexpr size_t kFileSize = kHeaderSize + 4 * kAddresses.size();
constexpr size_t kWriteCountOffset = 12;

using Image = std::array<unsigned char, kFileSize>;

// Slot index of a register's address, or nothing for an address outside the table.
std::optional<size_t> SlotOf(uint32_t address);

// Byte offset of a register's slot.  An address outside the table, or a write through a
// read-only view, is a programming error: it is reported on standard error and aborts.
size_t SlotOffset(uint32_t address, int width, bool write, bool writable);

// A fresh file: the header, a write counter of 0 and every slot 0.
Image FreshImage();

// Why a file of `size` bytes starting with `header` (at least kHeaderSize bytes) is not a
// register file, or nothing when it is one.  Said as at open: the file is refused.
std::optional<std::string> RefusalOf(uint64_t size, const unsigned char* header);

// Why an image read whole (`got` bytes of kFileSize) under a run cannot be used, or nothing.
// Said as of an access: the file has changed under the run.
std::optional<std::string> FailureOf(size_t got, const Image& image);

uint32_t WordAt(const Image& image, size_t offset);

// The register's value as an access of `width` bits reads it.
uint32_t Load(const Image& image, size_t offset, int width);

// A write of `width` bits into the image: the slot's other bits are kept and the write counter
// is bumped.  Returns the length of the bytes to write back, from kWriteCountOffset: the
// counter and every slot up to this one, so that one write carries both.
size_t Store(Image& image, size_t offset, int width, uint32_t value);

}  // namespace host::register_layout
