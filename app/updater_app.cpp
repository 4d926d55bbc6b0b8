// The application object, the UART settings key's lifetime and the run's outcome.
#include "app/updater_app.h"

#include <atomic>
#include <mutex>
#include <string>

#include "app/exit_codes.h"
#include "app/updater_dlg.h"
#include "host/exit_note.h"

CUpdaterApp theApp;
std::optional<CRegSettings> g_uartSettings;

namespace {

std::atomic<int> g_outcome{kExitFailure};
std::mutex g_outcomeLock;  // the note and the code change together
std::string g_outcomeNote;

}  // namespace

int UpdateOutcome() {
    return g_outcome.load();
}

void SetUpdateOutcome(int code, const std::string& note) {
    std::lock_guard<std::mutex> lock(g_outcomeLock);
    g_outcome = code;
    g_outcomeNote = note;
}

std::string UpdateOutcomeNote() {
    std::lock_guard<std::mutex> lock(g_outcomeLock);
    return g_outcomeNote;
}

ScopedUartSettings::ScopedUartSettings() {
    if (g_uartSettings)
        return;
    g_uartSettings.emplace(host::kHkeyLocalMachine, kUartKeyPath);
    opened_ = true;
}

ScopedUartSettings::~ScopedUartSettings() {
    if (opened_)
        g_uartSettings.reset();
}

CUpdaterApp::CUpdaterApp() = default;

CUpdaterApp::~CUpdaterApp() = default;

// A process that ends at once (EndProcessNow, workers still running) leaves the key open: it
// goes with the process, as on the device, and no worker loses it under its feet.
int CUpdaterApp::Run() {
    ScopedUartSettings uart_settings;
    return CWinApp::Run();
}

// The dialog lives on this stack and every worker holds it, so it must not be destroyed while
// one of them still runs: after the dialog has ended the workers get a grace period to finish
// (they all end within a few seconds of a close); past it the process ends without unwinding,
// as the device's process would end with its threads.
bool CUpdaterApp::InitInstance() {
    CUpdaterDlg dlg;
    m_pMainWnd = &dlg;
    bool workers_ended = false;
    dlg.DoModalAndWait(kWorkerGraceMs, &workers_ended);
    SetExitCode(UpdateOutcome());
    host::SetExitOutcome(ExitCode(), UpdateOutcomeNote());
    if (!workers_ended)
        host::EndProcessNow(ExitCode());
    m_pMainWnd = nullptr;
    return false;
}
