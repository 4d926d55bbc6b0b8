// PrepareThread: the first worker of an update run, started by the dialog's OnInitDialog with
// the dialog as its argument; its body is also the handler of button 1000.
#pragma once

#include <cstdint>

// Takes the device from its normal state to a powered modem on COM1:, then starts ReadThread.
// Only the first caller for a dialog prepares anything (CUpdaterDlg::ClaimUpdateStart): a
// second run (a click on 1000 while the thread works) or a run under a dialog closed before
// the start returns at once.  Returns 0.
uint32_t PrepareThread(void* pParam);

class CUpdaterDlg;

// The preparation's dialog steps: Cancel hidden, button 1000 disabled, DeviceName read, the
// title and warning text of the device variant, a repaint.
void PrepareDialogTexts(CUpdaterDlg* pDlg);
