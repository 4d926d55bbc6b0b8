// Line speeds in bits per second and their termios codes, shared by everything that drives a
// terminal device (the serial ports, the virtual board's pseudo-terminals).
#pragma once

#include <termios.h>

#include <cstdint>
#include <optional>

namespace host::posix {

// The termios code of a rate; nothing for a rate termios cannot set.
std::optional<speed_t> SpeedCode(uint32_t baud);
// The rate of a termios code; 0 for a code that names none.
uint32_t SpeedBaud(speed_t code);

}  // namespace host::posix
