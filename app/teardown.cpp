// Teardown and completion.
#include "app/teardown.h"

#include "app/exit_codes.h"
#include "app/updater_app.h"
#include "app/updater_dlg.h"
#include "device/board.h"
#include "download/progress.h"
#include "host/clock.h"
#include "host/debug_log.h"
#include "host/platform.h"
#include "host/power.h"
#include "res/dialog_template.h"

namespace {

constexpr uint32_t kProgressFailed = 0xFFFFFFFF;  // -1
constexpr uint32_t kProgressDone = 100;

void SetAwrcwr(uint32_t value) {
    if (g_uartSettings)
        g_uartSettings->SetDWORD(L"AWRCWR", value);
}

void ShowSuccess(CUpdaterDlg* pDlg) {
    pDlg->m_dwReboot = 0;
    pDlg->m_settings.GetDWORD(L"Reboot", &pDlg->m_dwReboot);
    if (pDlg->m_dwReboot == 1) {
        int answer = pDlg->ShowMessageBox(L"GSM upgrade Success.\nPlease press OK to reboot ME",
                                          L"Success!!", host::kMbOk);
        if (answer == host::kIdOk)
            ForceSystemReset();
        return;
    }
    host::Sleep(2000);
    pDlg->ShowMessageBox(L"GSM upgrade Success!", L"Success!!", host::kMbOk);
}

}  // namespace

void CloseSerialConnection(CUpdaterDlg* pDlg) {
    // The flag is taken, not just read: of two threads that arrive together (a reset give-up
    // during a failing replay) only one restores.
    if (!pDlg->m_bNeedRestore.exchange(false))
        return;
    host::DebugOut("\nAWRCWR=1\r\n");
    SetAwrcwr(1);
    host::DebugOut("Switch CPLD Mode  001  == > normal mode\r\n");
    SwitchCpldMode(1);
    host::Sleep(100);
    host::DebugOut("Close Serial connection\r\n");
    pDlg->m_bStopWait = true;
    pDlg->m_port.Close();
}

void CompleteUpdate(CUpdaterDlg* pDlg) {
    host::DebugOut("  Modem Download_Success  !!!!!!!    \r\n");
    host::Sleep(500);
    SetAwrcwr(1);
    pDlg->m_nState = 2;
    CloseSerialConnection(pDlg);
    pDlg->SetItemText(res::kIdcStatus, L"Processing...  ");
    pDlg->ShowItem(res::kIdcTimeLeft, false);
    pDlg->SendItemMessage(res::kIdcProgress, host::kPbmSetPos, kProgressRange, 0);
    pDlg->m_settings.SetDWORD(L"Progress", kProgressDone);
    ShowSuccess(pDlg);
    SetUpdateOutcome(kExitSuccess);
    RequestClose(pDlg);
}

void RequestClose(CUpdaterDlg* pDlg) {
    pDlg->m_bAllowClose = true;
    pDlg->OnOK();
}

// The exits differ only in a few steps; each step below runs in the order the exits share.
void TakeFailureExit(CUpdaterDlg* pDlg, FailureExit exit) {
    const bool replay = exit == FailureExit::kSixthAttempt;
    if (replay)
        pDlg->m_bDownloadEnabled = false;
    else
        pDlg->m_bStopWait = true;
    pDlg->m_nImagePos = pDlg->m_dwImageSize.load();
    if (exit == FailureExit::kEighthReset || exit == FailureExit::kThreadStart)
        pDlg->m_bDownloadEnabled = false;
    if (exit == FailureExit::kCom1Open)
        host::DebugOut("Open COM1 failed\r\n");
    if (exit == FailureExit::kEighthReset)
        host::DebugOut("Reset times >  N \r\n");
    // The watchdog and PrepareThread arm the restore themselves and keep the guard shut while
    // it runs; the replay's restore was armed by the preparation.  A thread that did not start
    // may have been needed before the preparation armed it: armed here.
    if (!replay) {
        pDlg->m_bNeedRestore = true;
        pDlg->m_bAllowClose = false;
    }
    CloseSerialConnection(pDlg);
    pDlg->m_settings.SetDWORD(L"Progress", kProgressFailed);
    SetUpdateOutcome(kExitFailure);
    RequestClose(pDlg);
    if (exit == FailureExit::kCom1Open)
        host::CurrentPower().IdleTimerReset();
}
