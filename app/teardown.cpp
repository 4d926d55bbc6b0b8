// Teardown and completion.
#include "app/teardown.h"

#include <string>

#include "app/exit_codes.h"
#include "app/updater_app.h"
#include "app/updater_dlg.h"
#include "device/board.h"
#include "download/progress.h"
#include "host/clock.h"
#include "host/debug_log.h"
#include "host/platform.h"
#include "host/power.h"
#include "host/registry.h"
#include "res/dialog_template.h"

namespace {

constexpr uint32_t kProgressFailed = 0xFFFFFFFF;  // -1
constexpr uint32_t kProgressDone = 100;
// Time for the workers to notice a stop.  They test the flags between steps only: a record's
// progress step, a reset's path switch or the completion may have begun just before the stop.
// In virtual time the sleep lets every other thread reach its next wait first.
constexpr uint32_t kStopSettleMs = 200;

// A write at the end that fails for another reason than a busy store (which the wrapper has
// already waited out), such as a full disk, is tried this many times in all.
constexpr int kEndWriteAttempts = 3;
constexpr uint32_t kEndWriteRetryMs = 200;

const char* RegistryErrorText(long result) {
    switch (result) {
        case host::kRegBusy:
            return "the registry stayed busy";
        case host::kRegDiskFull:
            return "the disk is full";
        default:
            return "the registry refused the write";
    }
}

// The registry writes of the run's end must land if they can at all.
void WriteAtEnd(CRegSettings& settings, const wchar_t* name, uint32_t value) {
    long result = settings.WriteDWORD(name, value);
    for (int attempt = 1; attempt < kEndWriteAttempts; ++attempt) {
        if (result == host::kRegOk || result == host::kRegBusy)
            break;
        host::Sleep(kEndWriteRetryMs);
        result = settings.WriteDWORD(name, value);
    }
    if (result != host::kRegOk) {
        host::DebugOut("\n%s=%d not written: %s (%ld)\r\n", host::Narrow(name).c_str(),
                       static_cast<int>(value), RegistryErrorText(result), result);
    }
}

void SetAwrcwr(uint32_t value) {
    if (g_uartSettings)
        WriteAtEnd(*g_uartSettings, L"AWRCWR", value);
}

// The end's settings that the store does not hold, for the exit status and the note; empty
// when everything landed.
std::string Unwritten(CUpdaterDlg* pDlg, uint32_t progress) {
    std::string unwritten;
    if (pDlg->m_bPathNotRestored)
        unwritten = "the modem path could not be switched back to normal (CPLD mode 001)";
    const long awrcwr = g_uartSettings ? g_uartSettings->LastWriteResult(L"AWRCWR") : host::kRegOk;
    if (awrcwr != host::kRegOk) {
        unwritten += unwritten.empty() ? "" : " and ";
        unwritten +=
            std::string("AWRCWR could not be set back to 1 (") + RegistryErrorText(awrcwr) + ")";
    }
    const long published = pDlg->m_settings.LastWriteResult(L"Progress");
    if (published != host::kRegOk) {
        unwritten += unwritten.empty() ? "" : " and ";
        unwritten += "Progress could not be set to " +
                     std::to_string(static_cast<int32_t>(progress)) + " (" +
                     RegistryErrorText(published) + ")";
    }
    return unwritten;
}

// The run's outcome: code with why it ended, or kExitNotRestored with a note when the end's
// settings did not all land.
void RecordOutcome(CUpdaterDlg* pDlg, int code, uint32_t progress, const std::string& why) {
    const std::string unwritten = Unwritten(pDlg, progress);
    if (unwritten.empty()) {
        SetUpdateOutcome(code, why);
        return;
    }
    const char* update =
        code == kExitSuccess ? "the modem update succeeded, but " : "the modem update failed, and ";
    SetUpdateOutcome(kExitNotRestored, update + unwritten);
}

// Answers the success's outcome note: whether a device restart was asked for.
std::string ShowSuccess(CUpdaterDlg* pDlg) {
    pDlg->m_dwReboot = 0;
    pDlg->m_settings.GetDWORD(L"Reboot", &pDlg->m_dwReboot);
    if (pDlg->m_dwReboot == 1) {
        int answer = pDlg->ShowMessageBox(L"GSM upgrade Success.\nPlease press OK to reboot ME",
                                          L"Success!!", host::kMbOk);
        if (answer != host::kIdOk)
            return "the modem was updated; the device restart was declined";
        ForceSystemReset();
        return "the modem was updated; the device restart was requested";
    }
    host::Sleep(2000);
    pDlg->ShowMessageBox(L"GSM upgrade Success!", L"Success!!", host::kMbOk);
    return "the modem was updated";
}

// The outcome note of a failure exit; detail is what its detector said.
std::string FailureReason(FailureExit exit, const std::string& detail) {
    switch (exit) {
        case FailureExit::kCom1Open:
            return "COM1: could not be opened: " + detail;
        case FailureExit::kBoardAccess:
            return detail.empty() ? "a board register could not be read or written" : detail;
        case FailureExit::kInterrupted:
            return "stopped by " + (detail.empty() ? std::string("an interrupt") : detail);
        default:
            return detail.empty() ? "the update failed" : detail;
    }
}

// The interrupt's exit, from the UI thread while the workers run on: the download is stopped
// first, then the end waits for the workers' steps in flight, so that no later progress step,
// reset or completion undoes the restore or overwrites Progress -1.  A completion that had
// begun, or another exit, makes the end itself.
void TakeInterruptExit(CUpdaterDlg* pDlg, const std::string& why) {
    pDlg->m_bDownloadEnabled = false;
    pDlg->m_bStopWait = true;
    pDlg->m_nImagePos = pDlg->m_dwImageSize.load();
    host::DebugOut("Update interrupted\r\n");
    host::Sleep(kStopSettleMs);
    if (pDlg->m_bFsDone || pDlg->m_bAllowClose || pDlg->IsClosed())
        return;
    pDlg->m_bNeedRestore = true;
    CloseSerialConnection(pDlg);
    WriteAtEnd(pDlg->m_settings, L"Progress", kProgressFailed);
    RecordOutcome(pDlg, kExitFailure, kProgressFailed, why);
    RequestClose(pDlg);
}

}  // namespace

bool CloseSerialConnection(CUpdaterDlg* pDlg) {
    // The flag is taken, not just read: of two threads that arrive together (a reset give-up
    // during a failing replay) only one restores.
    if (!pDlg->m_bNeedRestore.exchange(false))
        return true;
    host::DebugOut("\nAWRCWR=1\r\n");
    SetAwrcwr(1);
    host::DebugOut("Switch CPLD Mode  001  == > normal mode\r\n");
    const bool restored = SwitchCpldMode(1);
    if (!restored) {
        pDlg->m_bPathNotRestored = true;
        host::DebugOut("CPLD Mode 001 not restored: the modem path may still be switched\r\n");
    }
    host::Sleep(100);
    host::DebugOut("Close Serial connection\r\n");
    pDlg->m_bStopWait = true;
    pDlg->m_port.Close();
    return restored;
}

void CompleteUpdate(CUpdaterDlg* pDlg) {
    host::DebugOut("  Modem Download_Success  !!!!!!!    \r\n");
    host::Sleep(500);
    SetAwrcwr(1);
    pDlg->SetState(2);
    CloseSerialConnection(pDlg);
    pDlg->SetItemText(res::kIdcStatus, L"Processing...  ");
    pDlg->ShowItem(res::kIdcTimeLeft, false);
    pDlg->SendItemMessage(res::kIdcProgress, host::kPbmSetPos, kProgressRange, 0);
    WriteAtEnd(pDlg->m_settings, L"Progress", kProgressDone);
    // The modem holds its new firmware whatever the registry did: the success box shows
    // either way, and the outcome tells a setting that did not land.
    const std::string why = ShowSuccess(pDlg);
    RecordOutcome(pDlg, kExitSuccess, kProgressDone, why);
    RequestClose(pDlg);
}

void RequestClose(CUpdaterDlg* pDlg) {
    pDlg->m_bAllowClose = true;
    pDlg->OnOK();
}

// The exits differ only in a few steps; each step below runs in the order the exits share.
void TakeFailureExit(CUpdaterDlg* pDlg, FailureExit exit, const std::string& detail) {
    std::string why = FailureReason(exit, detail);
    // A silent or failing modem is more often a pulled cable: the note says which it was.
    if (pDlg->m_port.DeviceLost())
        why += "; COM1: the device was lost (hang-up or I/O error)";
    if (exit == FailureExit::kInterrupted) {
        TakeInterruptExit(pDlg, why);
        return;
    }
    const bool replay = exit == FailureExit::kSixthAttempt;
    if (replay)
        pDlg->m_bDownloadEnabled = false;
    else
        pDlg->m_bStopWait = true;
    pDlg->m_nImagePos = pDlg->m_dwImageSize.load();
    // A worker that fails while ReadThread runs (a board fault in the power-on pulse or a
    // reset, a ResetThread that did not start) stops the download like the watchdog's give-up.
    if (exit == FailureExit::kEighthReset || exit == FailureExit::kBoardAccess ||
        exit == FailureExit::kThreadStart)
        pDlg->m_bDownloadEnabled = false;
    if (exit == FailureExit::kCom1Open) {
        host::DebugOut("Open COM1 failed\r\n");
        host::DebugOut("COM1: %s\r\n", detail.c_str());
    }
    if (exit == FailureExit::kEighthReset)
        host::DebugOut("Reset times >  N \r\n");
    if (exit == FailureExit::kBoardAccess)
        host::DebugOut("Board access failed\r\n");
    // The watchdog and PrepareThread arm the restore themselves and keep the guard shut while
    // it runs; the replay's restore was armed by the preparation.  A thread that did not start
    // may have been needed before the preparation armed it: armed here.
    if (!replay) {
        pDlg->m_bNeedRestore = true;
        pDlg->m_bAllowClose = false;
    }
    CloseSerialConnection(pDlg);
    WriteAtEnd(pDlg->m_settings, L"Progress", kProgressFailed);
    RecordOutcome(pDlg, kExitFailure, kProgressFailed, why);
    RequestClose(pDlg);
    if (exit == FailureExit::kCom1Open)
        host::CurrentPower().IdleTimerReset();
}
