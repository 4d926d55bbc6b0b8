// The download's two worker threads.  Both take the dialog (CUpdaterDlg) as their one argument,
// are started with host::StartThread and end by returning 0; nothing waits for them.
#pragma once

#include <cstdint>

// The update's main loop, started by PrepareThread once COM1: is open at 9600 baud and the
// board is on the download path, just before the modem is powered on.  Downloads the SW image
// and then the FS image, each in passes of set-up, handshake, load, replay and phase end, and
// ends in CompleteUpdate or in a failure exit.
uint32_t ReadThread(void* pParam);

// One modem reset, started by the handshake's watchdog every 81 polls without an answer.  A
// run waits while another run is still pulsing the modem; the eighth run of a pass gives up
// the update after its reset.
uint32_t ResetThread(void* pParam);
