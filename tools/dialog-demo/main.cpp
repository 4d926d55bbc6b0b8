// dialog-demo: shows the update dialog as an update would drive it, without a modem.
//
//   dialog-demo [--device-name N] [--reboot] [--record-ms N] [--speed X] [--line] [--log PATH]
//
// The dialog is the real one (template 102, colours, close guard); the board, the registry and
// the power manager are simulated, and a demo thread takes PrepareThread's and ReadThread's
// place: it sets the title and texts, starts the countdown, then steps the progress display
// through the SW image's 1,672 records and the FS image's 890, one every --record-ms, and
// completes the update.  --speed runs every wait that many times faster.  The dialog is drawn
// in the terminal, or on Windows as a real window.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "app/exit_codes.h"
#include "app/prepare.h"
#include "app/teardown.h"
#include "app/updater_app.h"
#include "app/updater_dlg.h"
#include "device/board.h"
#include "download/progress.h"
#include "host/debug_log.h"
#include "host/line_ui.h"
#include "host/platform.h"
#ifdef _WIN32
#include "host/win32/dialog_win32.h"
#else
#include "host/posix/terminal_ui.h"
#endif
#include "host/real_clock.h"
#include "host/sim/memory_registry.h"
#include "host/sim/recording_bus.h"
#include "host/sim/recording_power.h"
#include "host/thread.h"
#include "res/dialog_template.h"
#include "tools/common/cli.h"
#include "tools/common/numbers.h"

namespace {

struct Options {
    uint32_t device_name = 0;
    bool reboot = false;
    uint32_t record_ms = 3;
    double speed = 1.0;
    bool line = false;
    std::string log;
};

class NullLog final : public host::LogSink {
  public:
    void Write(std::string_view) override {}
};

Options g_options;

// ReadThread's display state lives as long as the thread, across its passes.
void ReplayImage(CUpdaterDlg* pDlg, PassDisplay& display, bool fs, int32_t records) {
    pDlg->m_nState = 1;
    pDlg->m_bFsPhase = fs;
    pDlg->m_nRecordCount = records;
    display.nLastShownPos = 0;
    if (!fs)
        SetUpDisplay(pDlg, display);
    host::Sleep(1500);  // the handshake
    SetUpProgressRange(pDlg);
    for (int32_t record = 1; record <= records; ++record) {
        host::Sleep(g_options.record_ms);
        StepProgress(pDlg, display, record > 5 ? record - 5 : 0);
    }
}

// PrepareThread's and ReadThread's dialog steps, with a download that always succeeds.
uint32_t DemoThread(void* pParam) {
    auto* pDlg = static_cast<CUpdaterDlg*>(pParam);
    if (!pDlg->ClaimUpdateStart())
        return 0;
    pDlg->m_nState = 0;
    pDlg->m_settings.SetDWORD(L"Progress", 0);
    pDlg->m_hBacklightReq = RequireBacklight();
    PrepareDialogTexts(pDlg);
    host::StartThread(CountdownThread, pDlg);
    host::Sleep(2000);  // the radio stack shutdown
    pDlg->ShowItem(res::kIdcStatus, true);
    pDlg->RepaintNow();
    host::Sleep(3000);  // opening COM1:, the board's download path
    pDlg->m_bNeedRestore = true;
    pDlg->ShowItem(res::kIdcProgress, true);
    pDlg->ShowItem(res::kIdcTimeLeft, true);
    pDlg->RepaintNow();
    PassDisplay display;
    ReplayImage(pDlg, display, false, 1672);
    ReplayImage(pDlg, display, true, 890);
    CompleteUpdate(pDlg);
    return 0;
}

class DemoDlg final : public CUpdaterDlg {
  public:
    bool OnInitDialog() override {
        host::CDialog::OnInitDialog();
        SetIcon(m_hIcon, true);
        SetIcon(m_hIcon, false);
        CenterWindow();
        host::StartThread(DemoThread, this);
        return true;
    }
};

constexpr const char* kName = "dialog-demo";
constexpr const char* kUsage =
    "usage: dialog-demo [--device-name N] [--reboot] [--record-ms N] [--speed X] [--line]\n"
    "                   [--log PATH]\n"
    "       dialog-demo --help | --version\n"
    "\n"
    "Shows the update dialog as an update would drive it, over a simulated board and\n"
    "registry, without a modem: the texts, the countdown, the progress of the SW and FS\n"
    "images and the completion.\n"
    "\n"
    "  --device-name N  the DeviceName registry value (3617 selects the ROM texts)\n"
    "  --reboot         Reboot = 1: end with the reboot question\n"
    "  --record-ms N    milliseconds per image record (default 3)\n"
    "  --speed X        run every wait X times faster (above 0, up to 1000000)\n"
    "  --line           one line per visible change instead of the terminal dialog\n"
    "  --log PATH       write the debug output to PATH\n"
    "\n"
    "Numbers are decimal, or hexadecimal with 0x.  Exit status: as the updater's (0 success);\n"
    "1 also when the log cannot be written, 2 a usage error.\n";

// Runs faster than this would show nothing but the end.
constexpr double kMaxSpeed = 1e6;

// An empty string, or the usage error.
std::string ParseOptions(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        const bool takes_value =
            arg == "--device-name" || arg == "--record-ms" || arg == "--speed" || arg == "--log";
        if (takes_value && value == nullptr)
            return arg + ": missing value";
        if (takes_value)
            ++i;
        if (arg == "--device-name" || arg == "--record-ms") {
            const std::optional<uint32_t> number = tools::ParseDword(value);
            if (!number)
                return tools::BadNumber(arg, value, "a DWORD");
            (arg == "--record-ms" ? g_options.record_ms : g_options.device_name) = *number;
        } else if (arg == "--speed") {
            const std::optional<double> speed = tools::ParseDecimal(value, kMaxSpeed);
            if (!speed || *speed <= 0)
                return tools::BadNumber(arg, value, "a factor above 0, up to 1000000");
            g_options.speed = *speed;
        } else if (arg == "--log") {
            g_options.log = value;
        } else if (arg == "--reboot") {
            g_options.reboot = true;
        } else if (arg == "--line") {
            g_options.line = true;
        } else {
            return (arg.rfind('-', 0) == 0 ? "unknown option '" : "extra argument '") + arg + "'";
        }
    }
    return "";
}

int RunDemo(host::FrontEnd& ui, host::Clock& clock, host::LogSink& log) {
    host::MemoryRegistry registry;
    registry.PutDword(kSettingsKeyPath, L"DeviceName", g_options.device_name);
    if (g_options.reboot)
        registry.PutDword(kSettingsKeyPath, L"Reboot", 1);
    registry.PutDword(kUartKeyPath, L"AWRCWR", 3);
    host::RecordingBus bus(clock);
    host::RecordingPower power(clock);
    host::Platform platform{.clock = &clock,
                            .log = &log,
                            .registry = &registry,
                            .board = &bus,
                            .power = &power,
                            .ui = &ui};
    host::ScopedPlatform installed(platform);
    ScopedUartSettings uart_settings;
    int outcome = kExitFailure;
    {
        DemoDlg dlg;
        bool workers_ended = false;
        dlg.DoModalAndWait(kWorkerGraceMs, &workers_ended);
        outcome = UpdateOutcome();
        if (!workers_ended)
            host::EndProcessNow(outcome);
    }
    return outcome;
}

}  // namespace

int main(int argc, char** argv) {
    if (auto answered = tools::AnswerHelpOrVersion(argc, argv, kName, kUsage, std::cout))
        return *answered;
    if (const std::string problem = ParseOptions(argc, argv); !problem.empty())
        return tools::UsageError(kName, problem, std::cerr);
    // Never destroyed: a worker that has just unregistered from the clock may still be waking
    // its waiters when the last wait for the workers returns.
    static host::RealClock* const kept_clock = new host::RealClock(g_options.speed);
    host::RealClock& clock = *kept_clock;
    NullLog null_log;
    std::unique_ptr<host::FileLog> file_log;
    if (!g_options.log.empty()) {
        file_log = std::make_unique<host::FileLog>(g_options.log);
        if (!file_log->ok()) {
            std::fprintf(stderr, "dialog-demo: %s: %s\n", g_options.log.c_str(),
                         std::strerror(errno));
            return 1;
        }
    }
    host::LogSink& log = file_log ? static_cast<host::LogSink&>(*file_log) : null_log;

#ifdef _WIN32
    // On Windows the dialog is a real window.
    if (!g_options.line) {
        host::win32::Win32Dialog window;
        return RunDemo(window, clock, log);
    }
#else
    host::posix::TerminalUi terminal;
    if (!g_options.line && terminal.Start()) {
        const int outcome = RunDemo(terminal, clock, log);
        terminal.Stop();
        return outcome;
    }
#endif
    host::LineUi line(std::cout, &clock);
    return RunDemo(line, clock, log);
}
