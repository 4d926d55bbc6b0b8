// The serial adapter's modem-control outputs, DTR and RTS, used as two general-purpose lines:
// on a bench a real modem's power key and reset are wired to them (host/wired_bus.h drives
// them from the board's GPIO writes).
//
// `asserted` is the adapter's own sense of the line (the modem-control bit set: on an RS-232
// adapter the line's positive voltage, on a TTL adapter usually its low level).  Which level
// the modem sees as pressed is the wiring's business (host/modem_wiring.h).
//
// Implementations: host/posix/modem_lines.h (the open "COM1:" port) and
// host/sim/recording_lines.h (recorded with their time, for tests).
#pragma once

#include <string>

namespace host {

enum class ModemLine { kDtr, kRts };

// "DTR" or "RTS", for messages.
const char* ModemLineName(ModemLine line);

class ModemLines {
  public:
    virtual ~ModemLines() = default;
    // Drives the line; false with the reason in *why when the line could not be changed.
    virtual bool Set(ModemLine line, bool asserted, std::string* why) = 0;
};

}  // namespace host
