// PrepareThread: takes the device from its normal state to a powered modem that talks to the
// updater over COM1:, then leaves the download to ReadThread.
#include "app/prepare.h"

#include <string>

#include "app/teardown.h"
#include "app/updater_app.h"
#include "app/updater_dlg.h"
#include "device/board.h"
#include "download/download.h"
#include "download/progress.h"
#include "host/clock.h"
#include "host/debug_log.h"
#include "host/platform.h"
#include "host/power.h"
#include "host/serial.h"
#include "host/thread.h"
#include "res/dialog_template.h"

namespace {

void ResetIdleTimer() {
    host::CurrentPower().IdleTimerReset();
}

// Registry values and power settings: the start is published, the UART driver prepared.
// False when the power-saving bit could not be reached.
bool PrepareRegistryAndPower(CUpdaterDlg* pDlg) {
    pDlg->m_settings.SetDWORD(L"Progress", 0);
    if (g_uartSettings) {
        g_uartSettings->GetDWORD(L"AWRCWR", &pDlg->m_dwDefaultAWRCWR);
    }
    host::DebugOut("\nget Default AWRCWR value=%d", static_cast<int>(pDlg->m_dwDefaultAWRCWR));
    if (g_uartSettings) {
        g_uartSettings->SetDWORD(L"CLK", 1);
        g_uartSettings->SetDWORD(L"AWRCWR", 0);
    }
    host::DebugOut("\nTurn off DVS(Power saving)");
    const bool board = SetDvsControl(true);
    pDlg->m_hBacklightReq = RequireBacklight();
    return board;
}

// Opens COM1: at 9600 8N1, quietly: once and closed again, then for good.
bool OpenModemPort(CUpdaterDlg* pDlg) {
    host::DebugOut("Open COM1:\r\n");
    if (pDlg->m_port.Open(L"COM", 1, 9600, 0, 8, 0, true)) {
        host::Sleep(500);
        pDlg->m_port.Close();
    }
    host::Sleep(500);
    return pDlg->m_port.Open(L"COM", 1, 9600, 0, 8, 0, true);
}

// Why the last open of COM1: failed: the device and the system's reason, or the port's
// refusal of the line settings when the device itself opened.
std::string Com1Failure() {
    std::string why = host::CurrentSerial().LastOpenFailure();
    return why.empty() ? "the port refused its line settings, time-outs or queues" : why;
}

// A worker that cannot be started ends the update through the failure exit, which restores
// whatever the preparation has switched so far.
bool StartWorker(CUpdaterDlg* pDlg, host::ThreadProc proc, const char* name) {
    if (host::StartThread(proc, pDlg))
        return true;
    host::DebugOut("Start %s failed\r\n", name);
    TakeFailureExit(pDlg, FailureExit::kThreadStart, std::string(name) + " could not be started");
    return false;
}

bool BoardFailed(CUpdaterDlg* pDlg) {
    TakeFailureExit(pDlg, FailureExit::kBoardAccess);
    return false;
}

// The board's download path, ReadThread, and the modem's power key.  False when the update
// ended on the way (a board operation failed or ReadThread did not start): the failure exit
// has run.
bool StartDownload(CUpdaterDlg* pDlg) {
    ResetIdleTimer();
    host::Sleep(1000);
    if (!WriteUart0ModemControl(0) || !WriteCpldAuxRegister(2))
        return BoardFailed(pDlg);
    host::Sleep(1000);
    host::DebugOut("Switch CPLD Mode 110 \r\n");
    if (!SwitchCpldMode(6))
        return BoardFailed(pDlg);
    host::DebugOut("ReadThread \r\n");
    if (!StartWorker(pDlg, ReadThread, "ReadThread"))
        return false;
    host::DebugOut("Power on GSM Module\r\n");
    return PowerOnGsmModule() || BoardFailed(pDlg);
}

}  // namespace

// The dialog's texts: the title and warning of the device variant.
void PrepareDialogTexts(CUpdaterDlg* pDlg) {
    pDlg->ShowItem(res::kIdcCancel, false);
    pDlg->EnableItem(res::kIdcStart, false);
    uint32_t device_name = 0;
    pDlg->m_dwDeviceName = 0;
    pDlg->m_settings.GetDWORD(L"DeviceName", &device_name);
    pDlg->m_dwDeviceName = device_name;
    if (device_name == kDeviceNameRom) {
        pDlg->SetItemText(res::kIdcWarning,
                          L"Upgrading in progress, please do not remove USB cable.");
        pDlg->SetTitle(L"ROM Updater");
    } else {
        pDlg->SetTitle(L"GSM Updater");
    }
    pDlg->RepaintNow();
}

uint32_t PrepareThread(void* pParam) {
    auto* pDlg = static_cast<CUpdaterDlg*>(pParam);
    if (!pDlg->ClaimUpdateStart())
        return 0;
    pDlg->m_bImageLoaded = false;
    pDlg->m_bNeedRestore = false;
    pDlg->SetState(0);
    if (!PrepareRegistryAndPower(pDlg)) {
        BoardFailed(pDlg);
        return 0;
    }
    PrepareDialogTexts(pDlg);
    if (!StartWorker(pDlg, CountdownThread, "CountdownThread"))
        return 0;
    pDlg->TurnOffRIL();
    ResetIdleTimer();
    pDlg->ShowItem(res::kIdcStatus, true);
    pDlg->RepaintNow();
    if (!OpenModemPort(pDlg)) {
        TakeFailureExit(pDlg, FailureExit::kCom1Open, Com1Failure());
        return 0;
    }
    if (!StartDownload(pDlg))
        return 0;
    pDlg->m_bNeedRestore = true;
    ResetIdleTimer();
    return 0;
}
