// A real modem's power key and reset on the serial adapter's DTR and RTS, on a Win32 host: the
// lines of the updater's own open port, driven on the handle that Win32SerialPorts holds for it
// (EscapeCommFunction), since the port is exclusive.
#pragma once

#include <string>

#include "host/modem_lines.h"
#include "host/modem_wiring.h"
#include "host/win32/serial_win32.h"

namespace host::win32 {

class Win32ModemLines final : public ModemLines {
  public:
    // Drives the lines of `device` ("COM1:"); gives the wired ones to the serial layer, with
    // the level they idle at (the updater's low level).
    Win32ModemLines(Win32SerialPorts& ports, std::wstring device, const ModemWiring& wiring);

    bool Set(ModemLine line, bool asserted, std::string* why) override;

  private:
    Win32SerialPorts& ports_;
    const std::wstring device_;
};

}  // namespace host::win32
