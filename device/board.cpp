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

// Watches one operation's accesses: it passed when the bus counted no failure meanwhile.  A
// failure of another thread's access at the same moment is counted against it as well, which
// errs on the side of stopping.
class AccessCheck {
  public:
    explicit AccessCheck(const char* operation)
        : operation_(operation), before_(host::CurrentBoard().FailedAccesses()) {}
    bool Passed() const { return host::CurrentBoard().FailedAccesses() == before_; }
    // Logs a failure once, with the bus's reason; answers whether the operation passed.
    bool Report() const {
        if (Passed())
            return true;
        host::DebugOut("Board register access failed in %s: %s\r\n", operation_,
                       host::CurrentBoard().LastFailure().c_str());
        return false;
    }

  private:
    const char* operation_;
    uint64_t before_;
};

// Each GPIO change is its own read-modify-write of the whole register: nothing is cached
// between steps, so a change made meanwhile by someone else to another bit survives.  A read
// that failed answers 0; nothing is written back then.
void ModifyBits(uint32_t address, uint32_t clear, uint32_t set) {
    host::RegisterBus& bus = host::CurrentBoard();
    const uint64_t before = bus.FailedAccesses();
    const uint32_t value = bus.Read32(address);
    if (bus.FailedAccesses() != before)
        return;
    bus.Write32(address, (value & ~clear) | set);
}

void ClearBits(uint32_t address, uint32_t bits) {
    ModifyBits(address, bits, 0);
}

void SetBits(uint32_t address, uint32_t bits) {
    ModifyBits(address, 0, bits);
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

bool SwitchCpldMode(uint16_t mode) {
    const AccessCheck check("SwitchCpldMode");
    host::CurrentBoard().Write16(host::reg::kCpldMode, mode);
    return check.Report();
}

bool PowerOnGsmModule() {
    const AccessCheck check("PowerOnGsmModule");
    DriveResetLine(false);
    DrivePowerKey(false);
    host::Sleep(500);
    DrivePowerKey(true);
    host::Sleep(2000);
    DrivePowerKey(false);
    return check.Report();
}

bool ResetGsmModule() {
    const AccessCheck check("ResetGsmModule");
    host::DebugOut("Switch CPLD Mode 110 \r\n");
    host::CurrentBoard().Write16(host::reg::kCpldMode, 6);
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
    if (!check.Report())
        return false;
    host::DebugOut(" Reset OK!\r\n");
    return true;
}

bool SetDvsControl(bool set) {
    const AccessCheck check("SetDvsControl");
    if (set)
        SetBits(host::reg::kDvsControl, 1);
    else
        ClearBits(host::reg::kDvsControl, 1);
    return check.Report();
}

bool WriteUart0ModemControl(uint8_t value) {
    const AccessCheck check("WriteUart0ModemControl");
    host::CurrentBoard().Write8(host::reg::kUart0Mcr, value);
    return check.Report();
}

bool WriteCpldAuxRegister(uint16_t value) {
    const AccessCheck check("WriteCpldAuxRegister");
    host::CurrentBoard().Write16(host::reg::kCpldAux, value);
    return check.Report();
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
