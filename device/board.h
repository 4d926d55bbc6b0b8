// Board control: the CPLD that routes the modem's serial path, the modem's reset and power-key
// lines on the GPIO ports, the DVS power-saving bit, and the two power-manager requests the
// update makes.  Every register access goes through the installed register bus and every wait
// through the installed clock, one access and one wait at a time, so that a recording bus can
// check the sequences exactly.
//
// None of these operations takes a lock.  The GPIO read-modify-writes are not atomic: the
// sequences rely on timing alone to stay apart (a reset is only started long after the
// power-on pulse has ended) and on nothing else in the system touching GPA15 or GPB4.
//
// On the device a register access cannot fail; on a host the register file can be cut short
// under a run.  Each register operation therefore answers whether all of its accesses went
// through, and logs "Board register access failed in NAME: REASON\r\n" once when one did not.
// A sequence goes on through its steps after a failure (so that a line that can still be
// driven ends low), but a read-modify-write whose read failed writes nothing: writing back
// the 0 a failed read answers would clear every other bit of the register.
#pragma once

#include <cstdint>

#include "host/power.h"

// Writes the CPLD mode register: 6 (mode 110) routes the modem to the download path, 1 (mode
// 001) back to normal.  The caller logs the switch.
bool SwitchCpldMode(uint16_t mode);

// The modem's power-on pulse: both lines made outputs and low, then the power key held high for
// 2000 ms.  About 2.5 s.  The caller logs it.
bool PowerOnGsmModule();

// Switches to mode 110, pulses the reset line high for 200 ms and then the power key high for
// 650 ms; both lines end low.  About 1.1 s.  Logs its own steps.
bool ResetGsmModule();

// DVS power-saving control word, bit 0 := set; the other 31 bits are kept.
bool SetDvsControl(bool set);

// The one-off preparation writes before the mode switch: UART0 modem control (0: automatic
// flow control off, request-to-send inactive) and the CPLD register next to the mode register
// (2).  Neither is ever read or restored.
bool WriteUart0ModemControl(uint8_t value);
bool WriteCpldAuxRegister(uint16_t value);

// Holds the backlight ("BKL1:") at full power; returns the power manager's handle unchecked.
host::PowerRequest RequireBacklight();
void ReleaseBacklight(host::PowerRequest request);

// Forces the system into the reset power state: restarts the device.
void ForceSystemReset();
