// Progress bar, Progress value and remaining-time label.
#include "download/progress.h"

#include "app/updater_dlg.h"
#include "host/clock.h"
#include "host/debug_log.h"
#include "host/platform.h"
#include "host/registry.h"
#include "res/dialog_template.h"

namespace {

// Single-precision constants of the position formula (bits 0x3F2AAAAB and 0x3EAAAAAB).
constexpr float kSwFactor = 0.6666667f;
constexpr float kFsFactor = 0.33333334f;

constexpr uint32_t kLabelSettleMs = 10;
constexpr uint32_t kCountdownStepMs = 1000;
constexpr uint32_t kCountdownSlowStepMs = 2000;

// " Xm" + two digits + "s " into text[0..6] and the terminator.
void WriteTimeLeft(wchar_t* text, int minutes, int seconds) {
    text[0] = L' ';
    text[1] = static_cast<wchar_t>(L'0' + minutes);
    text[2] = L'm';
    text[3] = static_cast<wchar_t>(L'0' + seconds / 10);
    text[4] = static_cast<wchar_t>(L'0' + seconds % 10);
    text[5] = L's';
    text[6] = L' ';
    text[7] = L'\0';
}

// One attempt; a busy store keeps the value pending.  Any other failure is dropped, as the
// results of these writes always were.
void TryPublishProgress(CUpdaterDlg* pDlg, PassDisplay& display) {
    const long result = pDlg->m_settings.TrySetDWORD(L"Progress", display.dwPendingProgress);
    display.nLastProgressTryUs = host::CurrentClock().now_us();
    const bool busy = result == host::kRegBusy;
    if (busy && !display.bProgressPending)
        host::DebugOut("\nProgress %u held back: registry busy\r\n", display.dwPendingProgress);
    display.bProgressPending = busy;
}

void PublishProgress(CUpdaterDlg* pDlg, PassDisplay& display, uint32_t value) {
    display.dwPendingProgress = value;
    TryPublishProgress(pDlg, display);
}

void RetryPendingProgress(CUpdaterDlg* pDlg, PassDisplay& display) {
    if (!display.bProgressPending)
        return;
    const int64_t next_us = display.nLastProgressTryUs + int64_t{kProgressRetryMs} * 1000;
    if (host::CurrentClock().now_us() >= next_us)
        TryPublishProgress(pDlg, display);
}

// Progress as CountdownThread reads it: a failed read keeps the previous value.
void ReadProgressValue(CUpdaterDlg* pDlg, uint32_t* value) {
    pDlg->m_settings.GetDWORD(L"Progress", value);
}

void ShowCountdownText(CUpdaterDlg* pDlg, int minutes, int seconds) {
    wchar_t text[8];
    WriteTimeLeft(text, minutes, seconds);
    pDlg->SetItemText(res::kIdcTimeLeft, text);
    pDlg->RepaintNow();
}

// The countdown has nothing to move once the dialog is gone.
bool CountdownOver(CUpdaterDlg* pDlg) {
    return pDlg->IsClosed();
}

}  // namespace

// Every intermediate goes through a volatile float, so that each operation is rounded to
// single precision in this order and the compiler can neither fuse the multiply and the add
// nor keep a wider intermediate.
int32_t ProgressPosition(int32_t nSuccessCount, int32_t nRecordCount, bool bFsPhase) {
    if (nRecordCount <= 0)
        return 0;
    volatile float x = static_cast<float>(nSuccessCount) * 480.0f;
    x = x / static_cast<float>(nRecordCount);
    if (!bFsPhase) {
        x = x * kSwFactor;
    } else {
        x = x * kFsFactor;
        x = x + 320.0f;
    }
    const float position = x;
    // Never more than the records counted; the guard keeps the conversion defined if a
    // caller ever passes more.
    if (!(position >= 0.0f))
        return 0;
    if (position >= static_cast<float>(kProgressRange))
        return kProgressRange;
    return static_cast<int32_t>(position);
}

void SetUpDisplay(CUpdaterDlg* pDlg, PassDisplay& display) {
    WriteTimeLeft(display.szTimeLeft, 8, 0);
    host::Sleep(kLabelSettleMs);
    if (!pDlg->m_bCountdown)
        pDlg->SetItemText(res::kIdcTimeLeft, display.szTimeLeft);
    pDlg->RepaintNow();
    PublishProgress(pDlg, display, 0);
}

void SetUpProgressRange(CUpdaterDlg* pDlg) {
    pDlg->SendItemMessage(res::kIdcProgress, host::kPbmSetRange32, 0, kProgressRange);
}

void StepProgress(CUpdaterDlg* pDlg, PassDisplay& display, int32_t nSuccessCount) {
    const int32_t d = ProgressPosition(nSuccessCount, pDlg->m_nRecordCount, pDlg->m_bFsPhase);
    if (!(d - display.nLastShownPos > 16 || nSuccessCount % 100 == 99)) {
        RetryPendingProgress(pDlg, display);
        return;
    }
    display.nLastShownPos = d;
    pDlg->SendItemMessage(res::kIdcProgress, host::kPbmSetPos, static_cast<uintptr_t>(d), 0);
    pDlg->RepaintNow();
    PublishProgress(pDlg, display, static_cast<uint32_t>(d * 100 / kProgressRange));
    const int32_t secs = kProgressRange - d;
    // Positions 5 and 6 and the terminator keep what the display set-up wrote.
    wchar_t* text = display.szTimeLeft;
    text[0] = L' ';
    text[1] = static_cast<wchar_t>(L'0' + secs / 60);
    text[2] = L'm';
    text[3] = static_cast<wchar_t>(L'0' + secs % 60 / 10);
    text[4] = static_cast<wchar_t>(L'0' + secs % 10);
    host::DebugOut("\n==============REM=");
    for (int i = 0; i < 5; ++i)
        host::DebugOut("%c", static_cast<char>(text[i]));
    host::Sleep(kLabelSettleMs);
    pDlg->SetItemText(res::kIdcTimeLeft, text);
    pDlg->RepaintNow();
}

uint32_t CountdownThread(void* pParam) {
    auto* pDlg = static_cast<CUpdaterDlg*>(pParam);
    host::Sleep(500);
    pDlg->ShowItem(res::kIdcStatus, true);
    host::Sleep(500);
    pDlg->ShowItem(res::kIdcProgress, true);
    pDlg->ShowItem(res::kIdcTimeLeft, true);
    uint32_t value = 0;
    pDlg->m_bCountdown = true;
    // " 8m10s " to " 8m00s ", until ReadThread begins its first pass.
    for (int s = 10; s >= 0; --s) {
        if (pDlg->m_nState == 1 || CountdownOver(pDlg))
            break;
        ShowCountdownText(pDlg, 8, s);
        host::Sleep(kCountdownStepMs);
    }
    // " 7m59s " in steps of three, until the download's own progress reaches 2 % (or a
    // failure writes -1, which read unsigned is above 1 too).
    value = 0;
    host::Sleep(kCountdownStepMs);
    int s = 59;
    ReadProgressValue(pDlg, &value);
    while (value <= 1 && s >= 50 && !CountdownOver(pDlg)) {
        ShowCountdownText(pDlg, 7, s);
        s -= 3;
        host::Sleep(kCountdownSlowStepMs);
        ReadProgressValue(pDlg, &value);
    }
    pDlg->m_bCountdown = false;
    return 0;
}
