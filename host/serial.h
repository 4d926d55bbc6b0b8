// Serial devices reached by name ("COM1:", "VEI1:"), in the shape of the platform's serial
// API: open, line settings, total time-outs, queues, read, write, clear errors, close.
//
// Implementations: host/posix/serial_posix.cpp (termios, for real devices and
// pseudo-terminals) and host/sim/sim_serial.h (a link whose far end is a model or a test, in
// virtual time).
//
// Handles are never reused.  Closing a handle while another thread is inside Read or Write on
// it is safe: that call returns at once, and no thread ever touches the device after the
// close has released it.
#pragma once

#include <cstdint>
#include <string>

namespace host {

using SerialHandle = intptr_t;
constexpr SerialHandle kInvalidSerial = -1;

// Error codes reported by Open, in the platform's numbering.
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorAccessDenied = 5;

// Line settings.  `flags` is the control word in the published device-control-block layout:
// bit 0 binary, 1 parity check, 2 CTS output, 3 DSR output, 4-5 DTR control, 6 DSR
// sensitivity, 7 continue after XOFF, 8 XON/XOFF output, 9 XON/XOFF input, 10 error
// character, 11 null discard, 12-13 RTS control, 14 abort on error.
struct SerialState {
    uint32_t baud = 0;
    uint32_t flags = 0;
    uint8_t byte_size = 8;
    uint8_t parity = 0;     // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t stop_bits = 0;  // 0 one, 1 one and a half, 2 two
};

namespace serial_flags {
constexpr uint32_t kBinary = 1u << 0;
constexpr uint32_t kParityCheck = 1u << 1;
constexpr uint32_t kCtsOutput = 1u << 2;
constexpr uint32_t kDsrOutput = 1u << 3;
constexpr uint32_t kDtrControlShift = 4;  // 2 bits: 0 disable, 1 enable, 2 handshake
constexpr uint32_t kDsrSensitivity = 1u << 6;
constexpr uint32_t kTxContinueOnXoff = 1u << 7;
constexpr uint32_t kOutX = 1u << 8;
constexpr uint32_t kInX = 1u << 9;
constexpr uint32_t kErrorChar = 1u << 10;
constexpr uint32_t kNullDiscard = 1u << 11;
constexpr uint32_t kRtsControlShift = 12;  // 2 bits: 0 disable, 1 enable, 2 handshake, 3 toggle
constexpr uint32_t kAbortOnError = 1u << 14;
}  // namespace serial_flags

// Total time-outs, all in milliseconds.  The updater always uses an interval of 0xFFFFFFFF
// and multipliers of 0: a read of n bytes returns when n bytes have come or
// read_constant_ms has passed (0: at once with what is waiting); a write returns when all
// bytes are written or write_constant_ms has passed.
struct SerialTimeouts {
    uint32_t read_interval_ms = 0;
    uint32_t read_multiplier_ms = 0;
    uint32_t read_constant_ms = 0;
    uint32_t write_multiplier_ms = 0;
    uint32_t write_constant_ms = 0;
};

class SerialPorts {
  public:
    virtual ~SerialPorts() = default;
    // Opens an existing device exclusively; on failure returns kInvalidSerial and stores the
    // platform error code (kErrorFileNotFound, kErrorAccessDenied or another) in *error.
    virtual SerialHandle Open(const std::wstring& name, uint32_t* error) = 0;
    // Why the last Open that failed did so, for a person: the device it tried and the
    // system's reason (e.g. "/root/dev/COM1: No such file or directory"); empty after an
    // Open that succeeded, and for implementations that cannot tell.
    virtual std::string LastOpenFailure() const { return {}; }
    virtual bool GetState(SerialHandle port, SerialState* state) = 0;
    virtual bool SetState(SerialHandle port, const SerialState& state) = 0;
    virtual bool SetTimeouts(SerialHandle port, const SerialTimeouts& timeouts) = 0;
    virtual bool SetQueues(SerialHandle port, uint32_t rx_bytes, uint32_t tx_bytes) = 0;
    virtual bool ClearErrors(SerialHandle port) = 0;
    // Both store the count transferred (possibly 0) and return false on a device error.
    virtual bool Read(SerialHandle port, void* buffer, uint32_t count, uint32_t* got) = 0;
    virtual bool Write(SerialHandle port, const void* buffer, uint32_t count,
                       uint32_t* written) = 0;
    virtual bool Close(SerialHandle port) = 0;
};

}  // namespace host
