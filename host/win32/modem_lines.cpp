// The modem's lines on the open port.
#include "host/win32/modem_lines.h"

#include <optional>
#include <utility>

namespace host::win32 {

Win32ModemLines::Win32ModemLines(Win32SerialPorts& ports, std::wstring device,
                                 const ModemWiring& wiring)
    : ports_(ports), device_(std::move(device)) {
    for (const std::optional<WiredLine>& wired : {wiring.power_key, wiring.reset}) {
        if (wired)
            ports_.OwnLine(device_, wired->line, wired->AssertedFor(false));
    }
}

bool Win32ModemLines::Set(ModemLine line, bool asserted, std::string* why) {
    return ports_.SetLine(device_, line, asserted, why);
}

}  // namespace host::win32
