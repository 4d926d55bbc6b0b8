// Serial devices on a Win32 host, through the communications API: "COM1:" opens \\.\COM1 and
// the multiplexer's "VEI1:" opens \\.\COM2 (a name map, given to the constructor).  Under Wine
// a COM port is whatever HKLM\Software\Wine\Ports names for it, e.g. a pseudo-terminal.
//
// Open's error codes: a name the map does not know, or a port that does not exist, is
// kErrorFileNotFound; a port held by another opener is kErrorAccessDenied; anything else is
// the system's own error code.  Exclusivity is kept with a named mutex per port, whose
// existence means "held": a share mode of 0 is not enforced everywhere (Wine lets a second
// CreateFile through), and the mutex also refuses an opener in another process.
//
// Line settings, time-outs, queues and line errors are the driver's own (SetCommState,
// SetCommTimeouts, SetupComm, ClearCommError): the driver measures the total time-outs.
//
// Transfers are overlapped, so that a Close from another thread cancels a pending Read or
// Write at once (CancelIoEx) and the blocked call returns.  Handles are never reused, and a
// port's system handle is closed only when the last call using it has returned; its mutex goes
// with it, so that no second opener gets the port while a call of ours is still inside it.
//
// Modem-control lines wired to a real modem (host/wired_bus.h) are owned by that wiring, not by
// the line settings: SetState leaves an owned line at the wiring's level, and Open puts it at
// its latest level (at first its idle level) right after opening.
//
// A device that fails a transfer before its time-out has passed (a pseudo-terminal's far end
// closed, an adapter pulled) fails it only when the time-out has passed, measured on the
// installed clock, so that a caller that polls keeps its pace; a write without a time-out
// then waits kGoneWriteMs.  Close still ends such a wait at once.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "host/modem_lines.h"
#include "host/serial.h"
#include "host/serial_table.h"

namespace host::win32 {

class Win32SerialPorts final : public SerialPorts {
  public:
    static constexpr int64_t kGoneWriteMs = 1000;  // the open's own write time-out

    // The system's names ("COM1:") to the ports' Win32 paths (\\.\COM1).
    using NameMap = std::map<std::wstring, std::wstring>;
    static NameMap DefaultNames();

    explicit Win32SerialPorts(NameMap names = DefaultNames());
    ~Win32SerialPorts() override;  // closes every port still open
    Win32SerialPorts(const Win32SerialPorts&) = delete;
    Win32SerialPorts& operator=(const Win32SerialPorts&) = delete;

    SerialHandle Open(const std::wstring& name, uint32_t* error) override;
    // "PATH: REASON" with the system's message; "held by another program" for a port that
    // another opener holds.
    std::string LastOpenFailure() const override;
    bool GetState(SerialHandle port, SerialState* state) override;
    bool SetState(SerialHandle port, const SerialState& state) override;
    bool SetTimeouts(SerialHandle port, const SerialTimeouts& timeouts) override;
    bool SetQueues(SerialHandle port, uint32_t rx_bytes, uint32_t tx_bytes) override;
    bool ClearErrors(SerialHandle port) override;
    bool Read(SerialHandle port, void* buffer, uint32_t count, uint32_t* got) override;
    bool Write(SerialHandle port, const void* buffer, uint32_t count, uint32_t* written) override;
    bool Close(SerialHandle port) override;

    // Gives `line` of the port `name` to the wiring, with the level it idles at.  Called
    // before the port is opened.
    void OwnLine(const std::wstring& name, ModemLine line, bool idle_asserted);
    // Drives an owned or free line of the open port `name` (EscapeCommFunction); false with
    // the reason when the port is not open or refuses (a pseudo-terminal under Wine has no
    // modem-control lines).  An owned line's level is remembered for the port's next open.
    bool SetLine(const std::wstring& name, ModemLine line, bool asserted, std::string* why);

  private:
    class Device;
    struct OwnedLines {
        unsigned owned = 0;  // bits of LineBit()
        unsigned asserted = 0;
    };
    static unsigned LineBit(ModemLine line) { return line == ModemLine::kDtr ? 1u : 2u; }
    OwnedLines Owned(const std::wstring& name);

    const NameMap names_;
    SerialTable<Device> table_;
    mutable std::mutex mutex_;  // guards the fields below; taken before the table's
    std::string last_open_failure_;
    std::map<std::wstring, OwnedLines> owned_;  // by port name
};

}  // namespace host::win32
