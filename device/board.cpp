// Board control: register sequences and power-manager requests.
#include "device/board.h"

#include "host/board.h"
#include "host/clock.h"
#include "host/debug_log.h"
#include "host/platform.h"

namespace {

constexpr uint32_t kResetLine = 1u << 15;      // GPA15, in both port A registers
constexpr uint32_t kPowerKeyFnHigh = 1u << 9;  // GPB4 function bits 9:8 must become 01
constexpr uint32_t kPowerKeyFnLow = 1u << 8;
constexpr uint32_t kPowerKey = 1u << 4;  // GPB4 level

// Each GPIO change is its own read-modify-write of the whole register: nothing is cached
// between steps, so a change made meanwhile by someone else to another bit survives.
void ClearBits(uint32_t address, uint32_t bits) {
    host::RegisterBus& bus = host::CurrentBoard();
    bus.Write32(address, bus.Read32(address) & ~bits);
}

void SetBits(uint32_t address, uint32_t bits) {
    host::RegisterBus& bus = host::CurrentBoard();
    bus.Write32(address, bus.Read32(address) | bits);
}

// GPA15 as output, then its level.  The configuration is made again before every level change:
// the port is shared, and the pin must be an output whatever happened to it in between.
void DriveResetLine(bool high) {
    ClearBits(host::reg::kGpioACon, kResetLine);
    if (high)
        SetBits(host::reg::kGpioADat, kResetLine);
    else
        ClearBits(host::reg::kGpioADat, kResetLine);
}

// GPB4 as output (function 01: bit 9 cleared first, then bit 8 set), then its level.
void DrivePowerKey(bool high) {
    ClearBits(host::reg::kGpioBCon, kPowerKeyFnHigh);
    SetBits(host::reg::kGpioBCon, kPowerKeyFnLow);
    if (high)
        SetBits(host::reg::kGpioBDat, kPowerKey);
    else
        ClearBits(host::reg::kGpioBDat, kPowerKey);
}

}  // namespace

void SwitchCpldMode(uint16_t mode) {
    host::CurrentBoard().Write16(host::reg::kCpldMode, mode);
}

void PowerOnGsmModule() {
    DriveResetLine(false);
    DrivePowerKey(false);
    host::Sleep(500);
    DrivePowerKey(true);
    host::Sleep(2000);
    DrivePowerKey(false);
}

void ResetGsmModule() {
    host::DebugOut("Switch CPLD Mode 110 \r\n");
    SwitchCpldMode(6);
    host::DebugOut("Enter Reset!\r\n");
    host::Sleep(100);
    host::DebugOut("go to Reset!\r\n");
    DriveResetLine(false);
    host::Sleep(50);
    DriveResetLine(true);
    host::Sleep(200);
    DriveResetLine(false);
    host::Sleep(50);
    DrivePowerKey(false);
    host::Sleep(50);
    DrivePowerKey(true);
    host::Sleep(650);
    DrivePowerKey(false);
    host::DebugOut(" Reset OK!\r\n");
}

void SetDvsControl(bool set) {
    if (set)
        SetBits(host::reg::kDvsControl, 1);
    else
        ClearBits(host::reg::kDvsControl, 1);
}

void WriteUart0ModemControl(uint8_t value) {
    host::CurrentBoard().Write8(host::reg::kUart0Mcr, value);
}

void WriteCpldAuxRegister(uint16_t value) {
    host::CurrentBoard().Write16(host::reg::kCpldAux, value);
}

host::PowerRequest RequireBacklight() {
    return host::CurrentPower().SetPowerRequirement(L"BKL1:", host::kDevicePowerD0);
}

void ReleaseBacklight(host::PowerRequest request) {
    host::CurrentPower().ReleasePowerRequirement(request);
}

void ForceSystemReset() {
    host::CurrentPower().SetSystemPowerState(host::kPowerStateReset, host::kPowerForce);
}
