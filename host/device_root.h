// The device root: one folder, named by the environment variable UPDATER_ROOT, that holds
// what the board would provide to the updater on the host.
//
//   dev/COM1, dev/VEI1, ...   the device map: "COM1:" opens dev/COM1 (usually a symbolic
//                             link to a serial device or a pseudo-terminal)
//   registry.db               the registry store (SQLite, WAL mode)
//   board.regs                the board's register file, mapped shared
//   power.log                 the power manager's requests, one line each
//   debug.log                 the updater's debug output
//   updater.lock              held by the updater that runs on the root (root_checks.h)
//   modem-lines.conf          optional: a real modem's power key and reset on the serial
//                             adapter's DTR and RTS (host/modem_wiring.h)
//
// The root's own files are opened without following symbolic links; see root_checks.h for
// what the updater requires of a root before it uses it.
#pragma once

#include <optional>
#include <string>

namespace host {

constexpr const char* kRootVariable = "UPDATER_ROOT";

// The root named by UPDATER_ROOT, or nothing when it is unset or empty.
std::optional<std::string> RootFromEnvironment();

// Host path of a device name: "COM1:" -> ROOT/dev/COM1.  The trailing colon is dropped; a
// name holding '/' or "..", or an empty one, maps to nothing.
std::optional<std::string> DevicePath(const std::string& root, const std::wstring& name);

std::string RegistryPath(const std::string& root);
std::string RegisterFilePath(const std::string& root);
std::string PowerLogPath(const std::string& root);
std::string DebugLogPath(const std::string& root);
std::string LockFilePath(const std::string& root);
std::string ModemLinesPath(const std::string& root);

}  // namespace host
