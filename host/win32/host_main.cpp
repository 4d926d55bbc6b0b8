// The services of a Windows host over a device root, installed for the life of one run.
#include "host/win32/host_main.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/debug_log.h"
#include "host/device_root.h"
#include "host/exit_note.h"
#include "host/line_ui.h"
#include "host/modem_wiring.h"
#include "host/platform.h"
#include "host/real_clock.h"
#include "host/store_radio.h"
#include "host/win32/console.h"
#include "host/win32/debug_log_file.h"
#include "host/win32/dialog_win32.h"
#include "host/win32/instance_lock.h"
#include "host/win32/modem_lines.h"
#include "host/win32/power_log.h"
#include "host/win32/register_file.h"
#include "host/win32/registry_win32.h"
#include "host/win32/root_file.h"
#include "host/win32/serial_win32.h"
#include "host/wired_bus.h"

namespace host::win32 {
namespace {

constexpr const char* kRootHelp =
    "Set UPDATER_ROOT to a device root: a folder holding board.regs and debug.log; COM1: is\n"
    "the port COM1 and the settings are in the registry.  For example:\n"
    "  set UPDATER_ROOT=C:\\updater-root\n"
    "or under Wine let the virtual board provision one:\n"
    "  virtual-board --wine -- gsm-updater.exe\n";

constexpr const char* kRootEnvironment =
    "Environment:\n"
    "  UPDATER_ROOT  the device root: a folder (a Windows path, or under Wine a Unix one)\n"
    "                holding board.regs, power.log and debug.log (the update's log); COM1: is\n"
    "                the port COM1, the multiplexer's VEI1: the port COM2, and the settings\n"
    "                are in the registry under HKEY_LOCAL_MACHINE\n"
    "\n";

std::vector<std::string> Arguments(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        args.push_back(Narrow(argv[i]));
    return args;
}

// Under Wine a Unix path names the same folder through the drive that maps the Unix root;
// Wine's own call makes the translation when it is there (on Windows it is not, and a Unix
// path is not a path).
std::wstring WindowsPath(const std::wstring& given) {
    if (given.empty() || given[0] != L'/')
        return given;
    using ToDos = WCHAR*(CDECL*)(LPCSTR);
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    const auto to_dos = reinterpret_cast<ToDos>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "wine_get_dos_file_name")));
    if (to_dos == nullptr)
        return given;
    WCHAR* dos = to_dos(Narrow(given).c_str());
    if (dos == nullptr)
        return given;
    std::wstring path(dos);
    HeapFree(GetProcessHeap(), 0, dos);
    return path;
}

std::optional<std::wstring> RootFromEnvironment() {
    const wchar_t* value = _wgetenv(L"UPDATER_ROOT");
    if (value == nullptr || *value == L'\0')
        return std::nullopt;
    return WindowsPath(value);
}

bool IsDirectory(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The modem's lines from ROOT/modem-lines.conf: none wired when there is no such file.
std::optional<ModemWiring> LoadWiring(const std::string& path, std::string* why) {
    if (GetFileAttributesW(WidePath(path).c_str()) == INVALID_FILE_ATTRIBUTES &&
        GetLastError() == ERROR_FILE_NOT_FOUND)
        return ModemWiring{};
    RootFile file;
    if (!file.Open(path, GENERIC_READ, OPEN_EXISTING, why)) {
        *why = path + ": " + *why;
        return std::nullopt;
    }
    char text[kModemWiringMaxBytes + 1];  // one byte over: enough for the parser to refuse it
    DWORD got = 0;
    if (!ReadFile(file.get(), text, sizeof text, &got, nullptr)) {
        *why = path + ": " + SystemErrorText(GetLastError());
        return std::nullopt;
    }
    std::string problem;
    std::optional<ModemWiring> wiring = ParseModemWiring(std::string_view(text, got), &problem);
    if (!wiring)
        *why = path + ": " + problem;
    return wiring;
}

// The real dialog for a person at a console or a program started from the desktop; one line
// per change for a script that reads standard output.
std::unique_ptr<FrontEnd> MakeFrontEnd(Clock& clock, LineUi** line_out) {
    if (!HasStdout() || StdoutIsConsole())
        return std::make_unique<Win32Dialog>();
    auto line_ui = std::make_unique<LineUi>(std::cout, &clock);
    *line_out = line_ui.get();
    return line_ui;
}

// Checks what the start needs before anything is touched; the root in *root and the modem's
// lines in *wiring.
bool StartChecks(std::string* root, InstanceLock& lock, ModemWiring* wiring) {
    const std::optional<std::wstring> given = RootFromEnvironment();
    if (!given) {
        RefuseStart("UPDATER_ROOT is not set", kRootHelp);
        return false;
    }
    if (!IsDirectory(*given)) {
        RefuseStart("UPDATER_ROOT=" + Narrow(*given) + " is not a folder", kRootHelp);
        return false;
    }
    *root = Narrow(*given);
    if (std::string refused; !lock.Acquire(*root, &refused)) {
        RefuseStart(refused);
        return false;
    }
    std::string refused;
    const std::optional<ModemWiring> loaded = LoadWiring(ModemLinesPath(*root), &refused);
    if (!loaded) {
        RefuseStart(refused);
        return false;
    }
    *wiring = *loaded;
    return true;
}

}  // namespace

int RunOnHost(CWinApp& app, Resources& resources, int argc, wchar_t** argv) {
    UseBinaryStdio();
    if (std::optional<int> answered =
            AnswerArguments(Arguments(argc, argv), UpdaterUsage(kRootEnvironment)))
        return *answered;
    StartInterruptReceiver();
    std::string root;
    InstanceLock instance;
    ModemWiring wiring;
    if (!StartChecks(&root, instance, &wiring))
        return kExitNoDeviceRoot;
    RegisterFile board(RegisterFilePath(root));
    if (!board.ok()) {
        RefuseStart("the register file " + RegisterFilePath(root) +
                    " cannot be used: " + board.error());
        return kExitNoDeviceRoot;
    }
    RealClock clock;
    DebugLogFile log(DebugLogPath(root));
    Win32SerialPorts serial;
    // The board's power key and reset also drive a real modem through the port's lines.
    Win32ModemLines lines(serial, L"COM1:", wiring);
    WiredBus wired_board(board, lines, wiring);
    if (wiring.Any())
        log.Write("Modem lines from " + ModemLinesPath(root) + ": " + DescribeModemWiring(wiring) +
                  "\r\n");
    Win32Registry registry;
    PowerLog power(PowerLogPath(root), clock);
    StoreRadio radio(root, &registry);
    LineUi* line_ui = nullptr;
    const int outcome_hook = AddEndHook(
        [&line_ui] { PrintOutcome(RecordedExitStatus().value_or(kExitFailureStatus), line_ui); });
    std::unique_ptr<FrontEnd> front_end = MakeFrontEnd(clock, &line_ui);
    Install({.clock = &clock,
             .log = &log,
             .resources = &resources,
             .serial = &serial,
             .registry = &registry,
             .board = wiring.Any() ? static_cast<RegisterBus*>(&wired_board) : &board,
             .power = &power,
             .ui = front_end.get(),
             .radio = &radio});
    const int code = AppMain(app);
    std::cout.flush();
    RemoveEndHook(outcome_hook);
    PrintOutcome(code, line_ui);
    // Worker threads may still hold the services; the process ends here without unwinding
    // them under their feet.
    EndProcessNow(code);
}

}  // namespace host::win32
