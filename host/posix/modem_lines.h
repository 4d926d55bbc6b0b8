// A real modem's power key and reset on the serial adapter's DTR and RTS: the lines of the
// updater's own open port (the port is exclusive, so the lines are driven on the handle that
// PosixSerialPorts holds for it), and the settings file that chooses the wiring.
#pragma once

#include <optional>
#include <string>

#include "host/modem_lines.h"
#include "host/modem_wiring.h"
#include "host/posix/serial_posix.h"

namespace host::posix {

class PosixModemLines final : public ModemLines {
  public:
    // Drives the lines of `device` ("COM1:"); gives the wired ones to the serial layer, with
    // the level they idle at (the updater's low level).
    PosixModemLines(PosixSerialPorts& ports, std::wstring device, const ModemWiring& wiring);

    // Before a run: false, with the reason naming `settings` (the file that chose the
    // wiring), when a line is wired and the device has no modem-control lines.  A device that
    // cannot be opened now passes: the run's own open reports it.
    bool Usable(const std::string& settings, std::string* why);

    bool Set(ModemLine line, bool asserted, std::string* why) override;

  private:
    PosixSerialPorts& ports_;
    const std::wstring device_;
    const bool wired_;
};

// The wiring in the settings file at `path`: nothing wired when the file does not exist;
// nothing at all, with the reason in *why naming the file (and the line), when it cannot be
// read or is not a good settings file.  A symbolic link is refused like every file of the
// device root.
std::optional<ModemWiring> LoadModemWiring(const std::string& path, std::string* why);

}  // namespace host::posix
