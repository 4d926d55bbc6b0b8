// dialog-demo: shows the update dialog as an update would drive it, without a modem.
//
//   dialog-demo [--device-name N] [--reboot] [--record-ms N] [--speed X] [--line] [--log PATH]
//
// The dialog is the real one (template 102, colours, close guard); the board, the registry and
// the power manager are simulated, and a demo thread takes PrepareThread's and ReadThread's
// place: it sets the title and texts, starts the countdown, then steps the progress display
// through the SW image's 1,672 records and the FS image's 890, one every --record-ms, and
// completes the update.  --speed runs every wait that many times faster.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include "app/exit_codes.h"
#include "app/prepare.h"
#include "app/teardown.h"
#include "app/updater_app.h"
#include "app/updater_dlg.h"
#include "device/board.h"
#include "download/progress.h"
#include "host/debug_log.h"
#include "host/platform.h"
#include "host/posix/line_ui.h"
#include "host/posix/terminal_ui.h"
#include "host/real_clock.h"
#include "host/sim/memory_registry.h"
#include "host/sim/recording_bus.h"
#include "host/sim/recording_power.h"
#include "host/thread.h"
#include "res/dialog_template.h"

namespace {

struct Options {
    uint32_t device_name = 0;
    bool reboot = false;
    uint32_t record_ms = 3;
    double speed = 1.0;
    bool line = false;
    std::string log;
};

// Real time, run `speed` times faster.
class ScaledClock final : public host::RealClockAdapter {
  public:
    explicit ScaledClock(double speed) : speed_(speed) {}
    int64_t now_us() override {
        return static_cast<int64_t>(static_cast<double>(real_.now_us()) * speed_);
    }
    void sleep_us(int64_t duration_us) override {
        real_.sleep_us(static_cast<int64_t>(static_cast<double>(duration_us) / speed_));
    }
    bool wait_until_us(int64_t deadline_us, const std::function<bool()>& pred) override {
        const int64_t real_us =
            deadline_us == host::kForever
                ? host::kForever
                : static_cast<int64_t>(static_cast<double>(deadline_us) / speed_);
        return real_.wait_until_us(real_us, pred);
    }
    bool WaitForThreadCount(int count, int64_t deadline_us) override {
        return real_.WaitForThreadCount(
            count, static_cast<int64_t>(static_cast<double>(deadline_us) / speed_));
    }

  private:
    double speed_;
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

bool ParseOptions(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--device-name" && has_value)
            g_options.device_name = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 0));
        else if (arg == "--record-ms" && has_value)
            g_options.record_ms = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 0));
        else if (arg == "--speed" && has_value)
            g_options.speed = std::strtod(argv[++i], nullptr);
        else if (arg == "--log" && has_value)
            g_options.log = argv[++i];
        else if (arg == "--reboot")
            g_options.reboot = true;
        else if (arg == "--line")
            g_options.line = true;
        else
            return false;
    }
    return g_options.speed > 0;
}

int RunDemo(host::FrontEnd& ui, host::Clock& clock, host::LogSink& log) {
    host::MemoryRegistry registry;
    registry.PutDword(kSettingsKeyPath, L"DeviceName", g_options.device_name);
    if (g_options.reboot)
        registry.PutDword(kSettingsKeyPath, L"Reboot", 1);
    registry.PutDword(kUartKeyPath, L"AWRCWR", 3);
    host::RecordingBus bus(clock);
    host::RecordingPower power(clock);
    host::Platform platform;
    platform.clock = &clock;
    platform.log = &log;
    platform.registry = &registry;
    platform.board = &bus;
    platform.power = &power;
    platform.ui = &ui;
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
    if (!ParseOptions(argc, argv)) {
        std::fprintf(stderr,
                     "usage: dialog-demo [--device-name N] [--reboot] [--record-ms N] "
                     "[--speed X] [--line] [--log PATH]\n");
        return 2;
    }
    // Never destroyed: a worker that has just unregistered from the clock may still be waking
    // its waiters when the last wait for the workers returns.
    static ScaledClock* const kept_clock = new ScaledClock(g_options.speed);
    ScaledClock& clock = *kept_clock;
    NullLog null_log;
    std::unique_ptr<host::FileLog> file_log;
    if (!g_options.log.empty())
        file_log = std::make_unique<host::FileLog>(g_options.log);
    host::LogSink& log = file_log ? static_cast<host::LogSink&>(*file_log) : null_log;

    host::posix::TerminalUi terminal;
    if (!g_options.line && terminal.Start()) {
        const int outcome = RunDemo(terminal, clock, log);
        terminal.Stop();
        return outcome;
    }
    host::posix::LineUi line(std::cout, &clock);
    return RunDemo(line, clock, log);
}
