// The services of a POSIX host over a device root, installed for the life of one run.
#include "host/posix/host_main.h"

#include <sys/stat.h>

#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "host/debug_log.h"
#include "host/exit_note.h"
#include "host/platform.h"
#include "host/posix/debug_log_file.h"
#include "host/device_root.h"
#include "host/line_ui.h"
#include "host/posix/modem_lines.h"
#include "host/posix/power_log.h"
#include "host/store_radio.h"
#include "host/posix/register_file.h"
#include "host/posix/root_checks.h"
#include "host/posix/serial_posix.h"
#include "host/posix/signals.h"
#include "host/posix/sqlite_registry.h"
#include "host/posix/terminal_ui.h"
#include "host/real_clock.h"
#include "host/version.h"
#include "host/wired_bus.h"

namespace host::posix {
namespace {

constexpr const char* kRootHelp =
    "Set UPDATER_ROOT to a device root: a folder holding dev/COM1 (the modem's serial device,\n"
    "usually a symbolic link to it), registry.db, board.regs and debug.log.  For example:\n"
    "  UPDATER_ROOT=/path/to/root gsm-updater\n"
    "or let the virtual board provision one:  virtual-board -- gsm-updater\n";

constexpr const char* kUsage =
    "usage: gsm-updater [--help | --version]\n"
    "\n"
    "Updates the GSM modem's firmware: takes the radio stack off the modem, switches the\n"
    "board's modem path to the download path, replays the SW and FS images embedded in the\n"
    "program over COM1: with byte-wise verification, then restores the board and publishes\n"
    "the result in the registry value Progress (100 or -1).  It takes no arguments: started,\n"
    "it runs the whole update by itself.\n"
    "\n"
    "Environment:\n"
    "  UPDATER_ROOT  the device root: a folder holding dev/COM1 (the modem's serial device),\n"
    "                registry.db, board.regs and debug.log (the update's log)\n"
    "\n"
    "When it ends it writes one outcome line on standard error:\n"
    "  gsm-updater: VERDICT: WHY (exit STATUS)\n"
    "e.g. \"gsm-updater: success: the modem was updated (exit 0)\" or\n"
    "\"gsm-updater: failed: COM1: could not be opened: ROOT/dev/COM1: No such file or\n"
    "directory (exit 1)\".\n"
    "\n"
    "Exit status:\n"
    "  0  success: both images confirmed (the device restart requested, if Reboot is 1)\n"
    "  1  failed: the update failed (COM1: could not be opened, the modem never answered,\n"
    "     a wrong answer in the sixth attempt, stopped by a signal); the board is restored\n"
    "     and Progress is -1\n"
    "  2  refused: the start was refused (no usable device root, another updater running,\n"
    "     a usage error); nothing was touched\n"
    "  3  closed: the dialog was closed before the update started\n"
    "  4  not restored: the update ended but a setting could not be put back (the modem\n"
    "     path, AWRCWR or Progress); the line says which\n";

// How long the start waits for another program's write transaction on the registry store.
constexpr int kStoreStartWaitMs = 10000;

// The refused start's outcome line, then the help on setting a root if any.
void Refuse(const std::string& why, const char* help = "") {
    SetExitOutcome(kExitNoDeviceRoot, why + "; the update was not started");
    std::fprintf(stderr, "%s\n%s", OutcomeLine(kExitNoDeviceRoot).c_str(), help);
}

// The outcome line once the application has ended, however it ends; line mode also ends its
// output with it, so that a script reading standard output alone learns how the run ended.
void PrintOutcome(int code, LineUi* line_ui) {
    if (line_ui != nullptr)
        line_ui->Outcome(code, OutcomeText(code));
    std::fprintf(stderr, "%s\n", OutcomeLine(code).c_str());
    std::fflush(stderr);
}

// --help and --version answer at once; anything else is a usage error.  Nothing is read or
// made either way.  Empty when the update may run.
std::optional<int> AnswerArguments(int argc, char** argv) {
    if (argc < 2)
        return std::nullopt;
    const std::string first = argv[1];
    if (argc == 2 && (first == "--help" || first == "-h")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc == 2 && first == "--version") {
        std::printf("gsm-updater %s\n", ProjectVersion());
        return 0;
    }
    const std::string what =
        argc > 2 && (first == "--help" || first == "-h" || first == "--version")
            ? "unexpected argument '" + std::string(argv[2]) + "'"
        : first.starts_with("-") ? "unknown option '" + first + "'"
                                 : "unexpected argument '" + first + "'";
    std::fprintf(stderr, "gsm-updater: %s (it takes no arguments)\nTry 'gsm-updater --help'.\n",
                 what.c_str());
    return kExitUsage;
}

// The store must open as a registry store and take a write before anything is touched; a
// write lock that another program holds is waited out, up to kStoreStartWaitMs.
bool StoreUsable(SqliteRegistry& registry, LogSink& log) {
    if (registry.ok() && registry.CheckWritable(kStoreStartWaitMs) == kRegOk)
        return true;
    Refuse("the registry store cannot be used: " + registry.error());
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
    if (std::optional<int> answered = AnswerArguments(argc, argv))
        return *answered;
    StartInterruptReceiver();  // before any other thread: they all inherit the blocked signals
    std::optional<std::string> root = RootFromEnvironment();
    if (!root) {
        Refuse("UPDATER_ROOT is not set", kRootHelp);
        return kExitNoDeviceRoot;
    }
    if (!IsDirectory(*root)) {
        Refuse("UPDATER_ROOT=" + *root + " is not a folder", kRootHelp);
        return kExitNoDeviceRoot;
    }
    // Nothing in the root is read or made before it is found trustworthy and ours alone.
    InstanceLock instance;
    if (std::string refused; !TrustAndLockRoot(root, instance, &refused)) {
        Refuse(refused);
        return kExitNoDeviceRoot;
    }
    std::string wiring_refused;
    const std::optional<ModemWiring> wiring =
        LoadModemWiring(ModemLinesPath(*root), &wiring_refused);
    if (!wiring) {
        Refuse(wiring_refused);
        return kExitNoDeviceRoot;
    }
    RegisterFile board(RegisterFilePath(*root));
    if (!board.ok()) {
        Refuse("the register file " + RegisterFilePath(*root) +
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
        Refuse(refused);
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
