// The progress bar and the remaining-time label.  Both rest on one fixed estimate: the whole
// download takes 480 seconds, so the bar runs 0 to 480, the SW image filling 0 to 320 and the
// FS image 320 to 480, and the time left is 480 minus the bar's position.  The same progress
// is published as the registry value Progress, in percent.
#pragma once

#include <cstdint>

class CUpdaterDlg;

constexpr int32_t kProgressRange = 480;  // seconds of the estimate, one bar unit each
constexpr int32_t kSwShare = 320;        // the SW image's part of the bar

// ReadThread's display state for one pass: the position last shown and the label's text (7
// characters and a terminator: " 8m00s ").  Progress written during the download never waits
// for a busy store: a value the store refused as busy is kept (a later value replaces it) and
// tried again at a later step, no sooner than kProgressRetryMs after the last try.
struct PassDisplay {
    int32_t nLastShownPos = 0;
    wchar_t szTimeLeft[8] = {};
    bool bProgressPending = false;
    uint32_t dwPendingProgress = 0;
    int64_t nLastProgressTryUs = 0;
};

constexpr uint32_t kProgressRetryMs = 50;

// The bar position after nSuccessCount confirmed records of an image of nRecordCount records,
// computed in single precision exactly as the device's software floating point does.
// 0 when nRecordCount is not positive.
int32_t ProgressPosition(int32_t nSuccessCount, int32_t nRecordCount, bool bFsPhase);

// The display set-up at the start of every SW pass: " 8m00s " in the label unless the
// countdown owns it, a repaint, Progress 0.
void SetUpDisplay(CUpdaterDlg* pDlg, PassDisplay& display);

// PBM_SETRANGE32 0..480, once per pass; the position stays where it was.
void SetUpProgressRange(CUpdaterDlg* pDlg);

// After every record: moves the bar, Progress and the label when the position has grown by
// more than 16 since the last update or when nSuccessCount ends in 99; otherwise publishes a
// Progress value still pending.
void StepProgress(CUpdaterDlg* pDlg, PassDisplay& display, int32_t nSuccessCount);

// Keeps the label moving (" 8m10s " down to " 8m00s ", then " 7m59s " in steps of three)
// until the download shows progress of its own, a failure writes Progress -1, or the dialog
// has closed (nothing is left to move, and the dialog must not outlive its workers long).
// The dialog is its argument; returns 0.
uint32_t CountdownThread(void* pParam);
