// The services of a POSIX host over a device root, installed for the life of one run.
#include "host/posix/host_main.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/command_line.h"
#include "host/debug_log.h"
#include "host/device_root.h"
#include "host/exit_note.h"
#include "host/line_ui.h"
#include "host/platform.h"
#include "host/posix/debug_log_file.h"
#include "host/posix/modem_lines.h"
#include "host/posix/power_log.h"
#include "host/posix/register_file.h"
#include "host/posix/root_checks.h"
#include "host/posix/serial_posix.h"
#include "host/posix/signals.h"
#include "host/posix/sqlite_registry.h"
#include "host/posix/terminal_ui.h"
#include "host/real_clock.h"
#include "host/store_radio.h"
#include "host/wired_bus.h"

namespace host::posix {
namespace {

constexpr const char* kRootHelp =
    "Set UPDATER_ROOT to a device root: a folder holding dev/COM1 (the modem's serial device,\n"
    "usually a symbolic link to it), registry.db, board.regs and debug.log.  For example:\n"
    "  UPDATER_ROOT=/path/to/root gsm-updater\n"
    "or let the virtual board provision one:  virtual-board -- gsm-updater\n";

constexpr const char* kRootEnvironment =
    "Environment:\n"
    "  UPDATER_ROOT  the device root: a folder holding dev/COM1 (the modem's serial device),\n"
    "                registry.db, board.regs and debug.log (the update's log)\n"
    "\n";

// How long the start waits for another program's write transaction on the registry store.
constexpr int kStoreStartWaitMs = 10000;

// The store must open as a registry store and take a write before anything is touched; a
// write lock that another program holds is waited out, up to kStoreStartWaitMs.
bool StoreUsable(SqliteRegistry& registry, LogSink& log) {
    if (registry.ok() && registry.CheckWritable(kStoreStartWaitMs) == kRegOk)
        return true;
    RefuseStart("the registry store cannot be used: " + registry.error());
    log.Write("Registry store cannot be used: " + registry.error() + "\r\n");
    return false;
}

bool IsDirectory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The front-end: the terminal dialog when standard output is a terminal, one line per
// change otherwise (scripts, CI, the virtual board's runs).  The dialog covers whatever was
// printed before it, so it shows the device root itself: the root is where another terminal
// watches the update (Progress in registry.db, debug.log).
std::unique_ptr<FrontEnd> MakeFrontEnd(Clock& clock, const std::string& device_root,
                                       TerminalUi** terminal_out, LineUi** line_out) {
    if (StdioIsTerminal()) {
        auto terminal = std::make_unique<TerminalUi>(device_root);
        if (terminal->Start()) {
            *terminal_out = terminal.get();
            return terminal;
        }
    }
    auto line_ui = std::make_unique<LineUi>(std::cout, &clock);
    *line_out = line_ui.get();
    return line_ui;
}

// Resolves the root in place, checks it and takes its instance lock.
bool TrustAndLockRoot(std::optional<std::string>& root, InstanceLock& lock, std::string* why) {
    std::optional<std::string> resolved = ResolveRoot(*root, why);
    if (!resolved)
        return false;
    root = resolved;
    if (std::optional<std::string> refused = CheckDeviceRoot(*root)) {
        *why = "the device root is refused: " + *refused;
        return false;
    }
    return lock.Acquire(*root, why);
}

}  // namespace

int RunOnHost(CWinApp& app, Resources& resources, int argc, char** argv) {
    const std::vector<std::string> args(argv + std::min(argc, 1), argv + argc);
    if (std::optional<int> answered = AnswerArguments(args, UpdaterUsage(kRootEnvironment)))
        return *answered;
    StartInterruptReceiver();  // before any other thread: they all inherit the blocked signals
    std::optional<std::string> root = RootFromEnvironment();
    if (!root) {
        RefuseStart("UPDATER_ROOT is not set", kRootHelp);
        return kExitNoDeviceRoot;
    }
    if (!IsDirectory(*root)) {
        RefuseStart("UPDATER_ROOT=" + *root + " is not a folder", kRootHelp);
        return kExitNoDeviceRoot;
    }
    // Nothing in the root is read or made before it is found trustworthy and ours alone.
    InstanceLock instance;
    if (std::string refused; !TrustAndLockRoot(root, instance, &refused)) {
        RefuseStart(refused);
        return kExitNoDeviceRoot;
    }
    std::string wiring_refused;
    const std::optional<ModemWiring> wiring =
        LoadModemWiring(ModemLinesPath(*root), &wiring_refused);
    if (!wiring) {
        RefuseStart(wiring_refused);
        return kExitNoDeviceRoot;
    }
    RegisterFile board(RegisterFilePath(*root));
    if (!board.ok()) {
        RefuseStart("the register file " + RegisterFilePath(*root) +
                    " cannot be used: " + board.error());
        return kExitNoDeviceRoot;
    }
    RealClock clock;
    DebugLogFile log(DebugLogPath(*root));
    PosixSerialPorts serial(*root);
    // The board's power key and reset also drive a real modem through the port's lines.
    PosixModemLines lines(serial, L"COM1:", *wiring);
    WiredBus wired_board(board, lines, *wiring);
    if (std::string refused; !lines.Usable(ModemLinesPath(*root), &refused)) {
        RefuseStart(refused);
        return kExitNoDeviceRoot;
    }
    if (wiring->Any())
        log.Write("Modem lines from " + ModemLinesPath(*root) + ": " +
                  DescribeModemWiring(*wiring) + "\r\n");
    SqliteRegistry registry(RegistryPath(*root));
    if (!StoreUsable(registry, log))
        return kExitNoDeviceRoot;
    PowerLog power(PowerLogPath(*root), clock);
    StoreRadio radio(*root, &registry);
    // A run whose workers outlive the dialog ends through EndProcessNow: its line is printed
    // there, after the terminal front-end (whose hook is added later, so runs first) has given
    // the terminal back.  RunOnHost's frame outlives the hook: the process ends inside it.
    LineUi* line_ui = nullptr;
    const int outcome_hook = AddEndHook(
        [&line_ui] { PrintOutcome(RecordedExitStatus().value_or(kExitFailureStatus), line_ui); });
    TerminalUi* terminal = nullptr;
    std::unique_ptr<FrontEnd> front_end = MakeFrontEnd(clock, *root, &terminal, &line_ui);
    WatchTerminal(terminal);
    Install({.clock = &clock,
             .log = &log,
             .resources = &resources,
             .serial = &serial,
             .registry = &registry,
             .board = wiring->Any() ? static_cast<RegisterBus*>(&wired_board) : &board,
             .power = &power,
             .ui = front_end.get(),
             .radio = &radio});
    int code = AppMain(app);
    if (terminal != nullptr)
        terminal->Stop();  // gives the terminal back before the process ends
    std::cout.flush();
    RemoveEndHook(outcome_hook);
    PrintOutcome(code, line_ui);
    // Worker threads may still hold the services; the process ends here without unwinding
    // them under their feet.
    EndProcessNow(code);
}

}  // namespace host::posix
