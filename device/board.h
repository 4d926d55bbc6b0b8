// Board control: the CPLD that routes the modem's serial path, the modem's reset and power-key
// lines on the GPIO ports, the DVS power-saving bit, and the two power-manager requests the
// update makes.  Every register access goes through the installed register bus and every wait
// through the installed clock, one access and one wait at a time, so that a recording bus can
// check the sequences exactly.
//
// None of these operations takes a lock or can fail.  The GPIO read-modify-writes are not
// atomic: the sequences rely on timing alone to stay apart (a reset is only started long after
// the power-on pulse has ended) and on nothing else in the system touching GPA15 or GPB4.
#pragma once

#include <cstdint>

#include "host/power.h"

// Writes the CPLD mode register: 6 (mode 110) routes the modem to the download path, 1 (mode
// 001) back to normal.  The caller logs the switch.
void SwitchCpldMode(uint16_t mode);

// The modem's power-on pulse: both lines made outputs and low, then the power key held high for
// 2000 ms.  About 2.5 s.  The caller logs it.
void PowerOnGsmModule();

// Switches to mode 110, pulses the reset line high for 200 ms and then the power key high for
// 650 ms; both lines end low.  About 1.1 s.  Logs its own steps.
void ResetGsmModule();

// DVS power-saving control word, bit 0 := set; the other 31 bits are kept.
void SetDvsControl(bool set);

// The one-off preparation writes before the mode switch: UART0 modem control (0: automatic
// flow control off, request-to-send inactive) and the CPLD register next to the mode register
// (2).  Neither is ever read or restored.
void WriteUart0ModemControl(uint8_t value);
void WriteCpldAuxRegister(uint16_t value);

// Holds the backlight ("BKL1:") at full power; returns the power manager's handle unchecked.
host::PowerRequest RequireBacklight();
void ReleaseBacklight(host::PowerRequest request);

// Forces the system into the reset power state: restarts the device.
void ForceSystemReset();
