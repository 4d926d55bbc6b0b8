// Serial devices on a POSIX host: "COM1:" opens ROOT/dev/COM1 (usually a symbolic link to a
// tty or a pseudo-terminal slave) through termios.
//
// Opening takes the device exclusively (TIOCEXCL and a non-blocking flock), so that a second
// updater or a modem manager cannot share it.  Open's error codes: a missing device (or a name
// that maps to nothing) is kErrorFileNotFound, a device held by another opener or refused by
// permissions is kErrorAccessDenied, anything else is the host's errno.
//
// Time-outs are total time-outs measured on the installed clock, which must follow real time
// (the descriptors are polled with real time-outs): a read of n bytes returns when n bytes
// have come or the read time-out has passed (0: at once with what is waiting); a write
// returns when the driver has taken every byte or the write time-out has passed (0: no
// time-out), with the count it took.
//
// A device that goes away (hang-up, I/O error: a pseudo-terminal's master closed, an adapter
// pulled) fails every read and write, but only when its time-out has passed, so that a caller
// that polls keeps its pace; a write without a time-out then waits kGoneWriteMs.  Bytes that
// came before the loss are delivered at once.  Close still ends every call at once.
//
// Modem-control lines wired to a real modem (host/wired_bus.h) are owned by that wiring, not by
// the line settings: SetState leaves an owned line alone, and Open puts it at its latest level
// (at first its idle level) right after opening.  Linux raises DTR and RTS as it opens a tty,
// so an owned line idling released is asserted for the moment between the open and that
// call.  The hang-up on close (HUPCL, which releases both lines) is kept while every owned
// line idles released, so that even a killed updater leaves the modem's lines idle; it is
// cleared when an owned line idles asserted, so that a close changes nothing.
//
// Handles are never reused, and a descriptor is closed only when the last call using it has
// returned: Close wakes every call that waits on the device, so that no thread ever touches a
// descriptor number that the close has given back to the system.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "host/modem_lines.h"
#include "host/serial.h"
#include "host/serial_table.h"

namespace host::posix {

class PosixSerialPorts final : public SerialPorts {
  public:
    static constexpr int64_t kGoneWriteMs = 1000;  // the open's own write time-out

    explicit PosixSerialPorts(std::string root);
    ~PosixSerialPorts() override;  // closes every device still open
    PosixSerialPorts(const PosixSerialPorts&) = delete;
    PosixSerialPorts& operator=(const PosixSerialPorts&) = delete;

    SerialHandle Open(const std::wstring& name, uint32_t* error) override;
    // The device's path and the system's reason, "held by another program" for a device that
    // another opener holds exclusively.
    std::string LastOpenFailure() const override;
    bool GetState(SerialHandle port, SerialState* state) override;
    bool SetState(SerialHandle port, const SerialState& state) override;
    bool SetTimeouts(SerialHandle port, const SerialTimeouts& timeouts) override;
    bool SetQueues(SerialHandle port, uint32_t rx_bytes, uint32_t tx_bytes) override;
    bool ClearErrors(SerialHandle port) override;
    bool Read(SerialHandle port, void* buffer, uint32_t count, uint32_t* got) override;
    bool Write(SerialHandle port, const void* buffer, uint32_t count, uint32_t* written) override;
    bool Close(SerialHandle port) override;

    // Gives `line` of the device `name` to the wiring, with the level it idles at.  Called
    // before the device is opened.
    void OwnLine(const std::wstring& name, ModemLine line, bool idle_asserted);
    // Drives an owned or free line of the open device `name`; false with the reason when the
    // device is not open or has no modem-control lines (a pseudo-terminal).  An owned line's
    // level is remembered for the device's next open.
    bool SetLine(const std::wstring& name, ModemLine line, bool asserted, std::string* why);
    // Before a run: why the device `name` cannot carry the wiring (it has no modem-control
    // lines), or nothing when it can or cannot be opened now (the run's own open reports
    // that).  The device is opened for the check, which leaves its owned lines idle.
    std::optional<std::string> CheckLines(const std::wstring& name);
    // The level an owned line is put at when the device `name` is next opened; nothing for a
    // line that is not owned.
    std::optional<bool> OwnedLevel(const std::wstring& name, ModemLine line);

  private:
    class Device;
    struct OwnedLines {
        int owned = 0;     // TIOCM_DTR, TIOCM_RTS
        int asserted = 0;  // the latest levels of the owned lines
        int idle_asserted = 0;
    };
    int PrepareOwnedLines(const std::wstring& name, int fd);

    const std::string root_;
    SerialTable<Device> table_;
    mutable std::mutex mutex_;                  // guards the fields below
    std::map<std::wstring, OwnedLines> owned_;  // by device name
    std::string last_open_failure_;
};

}  // namespace host::posix
