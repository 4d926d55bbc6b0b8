// Every end of an update run: the restore of the board and the port, the completion of a
// successful download, the close request and the three failure exits.
#pragma once

class CUpdaterDlg;

// Puts the modem path back to normal (AWRCWR 1, CPLD mode 001) and closes the port, once per
// arming of m_bNeedRestore, also when two threads arrive at the same moment.
void CloseSerialConnection(CUpdaterDlg* pDlg);

// The last step of a confirmed download: restore, full bar, Progress 100, then the success box
// or, with Reboot 1, the reboot question; then the close request.
void CompleteUpdate(CUpdaterDlg* pDlg);

// m_bAllowClose := true, then the close guard.  From a worker it ends the modal loop on the UI
// thread's behalf.
void RequestClose(CUpdaterDlg* pDlg);

enum class FailureExit {
    kCom1Open,      // PrepareThread: the second open of COM1: failed
    kEighthReset,   // ResetThread: the eighth modem reset of a pass
    kSixthAttempt,  // the replay: a wrong answer in the sixth attempt of an image
    kThreadStart,   // a worker thread (CountdownThread, ReadThread, ResetThread) did not start
};

// The failure exits: stop the download, restore, Progress -1, close.  No message box.
void TakeFailureExit(CUpdaterDlg* pDlg, FailureExit exit);
