// Every end of an update run: the restore of the board and the port, the completion of a
// successful download, the close request and the three failure exits.
#pragma once

#include <string>

class CUpdaterDlg;

// Puts the modem path back to normal (AWRCWR 1, CPLD mode 001) and closes the port, once per
// arming of m_bNeedRestore, also when two threads arrive at the same moment.  Answers false
// only when it ran and the board's mode could not be switched back (logged as such).
bool CloseSerialConnection(CUpdaterDlg* pDlg);

// The last step of a confirmed download: restore, full bar, Progress 100, then the success box
// or, with Reboot 1, the reboot question; then the close request.
//
// The registry writes of every end (AWRCWR 1, the final Progress) wait out a busy store and
// are retried briefly when they fail otherwise; when AWRCWR or the final Progress still did
// not land, the run's outcome is kExitNotRestored with a note saying which.
void CompleteUpdate(CUpdaterDlg* pDlg);

// m_bAllowClose := true, then the close guard.  From a worker it ends the modal loop on the UI
// thread's behalf.
void RequestClose(CUpdaterDlg* pDlg);

enum class FailureExit {
    kCom1Open,      // PrepareThread: the second open of COM1: failed
    kEighthReset,   // ResetThread: the eighth modem reset of a pass
    kSixthAttempt,  // the replay: a wrong answer in the sixth attempt of an image
    kBoardAccess,   // PrepareThread or ResetThread: a board register access failed
    kInterrupted,   // the dialog: a second interrupt (signal) soon after a refused one
    kThreadStart,   // a worker thread (CountdownThread, ReadThread, ResetThread) did not start
};

// The failure exits: stop the download, restore, Progress -1, close.  No message box.
// `detail` says why, for the run's outcome note: for kCom1Open the device and the system's
// reason (also logged on a line of its own after "Open COM1 failed"), for kInterrupted the
// signal's name, for the others the whole reason in plain words (a fixed text when empty).
void TakeFailureExit(CUpdaterDlg* pDlg, FailureExit exit, const std::string& detail = {});
