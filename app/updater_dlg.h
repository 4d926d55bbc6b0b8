// CUpdaterDlg: the update dialog and the owner of all update state.  It lives for the whole
// run and is handed to every worker thread as the thread's one argument.  The threads steer
// each other through the flags and counters below, which are atomics: one thread writes them
// and another re-reads them each time it tests them.
//
// The member functions are defined by subsystem: the image and its records in download/,
// the radio stack shutdown in device/, the dialog, preparation and teardown in app/.
//
// The dialog is template 102 (res/dialog_template.h).  Worker threads change its controls
// through the framework (host/framework.h), which is safe from any thread, and end it through
// the close guard OnOK.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>

#include "host/framework.h"
#include "host/power.h"
#include "platform/reg_settings.h"
#include "platform/serial_port.h"

// DeviceName value that selects the other title and warning text.
constexpr uint32_t kDeviceNameRom = 3617;

// A second interrupt this soon after a refused one stops the update.
constexpr int64_t kInterruptWindowMs = 10000;
// How long a stop asked for during the preparation waits for the preparation to hand over to
// the download (about 6 s) before it stops anyway.
constexpr uint32_t kPreparationWaitMs = 30000;

class CUpdaterDlg : public host::CDialog {
  public:
    CUpdaterDlg();
    virtual ~CUpdaterDlg();
    CUpdaterDlg(const CUpdaterDlg&) = delete;
    CUpdaterDlg& operator=(const CUpdaterDlg&) = delete;

    // Dialog (app/updater_dlg.cpp).
    void DoDataExchange(host::CDataExchange* pDX) override;
    // Sets the icons, centres the dialog and starts PrepareThread.
    bool OnInitDialog() override;
    // The close guard: ends the dialog only once the update allows it (m_bAllowClose) or
    // before it has started; refuses while it runs.
    void OnOK() override;
    // Escape and the window's close box: refused like the caption's OK button, through the
    // close guard, so that no route ends the process in the middle of a download.
    void OnCancel() override;
    // An interrupt from outside (a signal): before the start it closes the dialog like the
    // close box; while the update prepares or downloads the first is refused and a second
    // within kInterruptWindowMs stops the update through the failure exit; during the
    // completion and once the dialog is ending it changes nothing.
    void OnInterrupt(host::Interrupt interrupt) override;
    // Control 1019 in red, in a weight-600 font for DeviceName 3617, on a transparent
    // background.
    host::Brush OnCtlColor(host::CDC& dc, int nCtlId, host::ControlKind kind) override;
    // Button handlers: 1000 runs the preparation on the UI thread, 1009 is the Cancel button,
    // 1006 reaches the close guard.
    void OnStartClicked();
    void OnCancelClicked();
    void OnCloseClicked();
    // Answers true once per dialog: the caller may start the update.  PrepareThread claims it
    // before it touches anything, and a close before the start claims it so that no update
    // can begin under a closing dialog.
    bool ClaimUpdateStart() { return !m_bUpdateClaimed.exchange(true); }
    // Moves m_nState on: -1 idle -> 0 preparing -> 1 downloading (again at every pass) -> 2
    // finished.  Failures leave the state as it is.  Any other step is a fault in the code and
    // stops the process: the close guard and the countdown steer by this value.
    void SetState(int32_t nState);
    static bool IsStateStep(int32_t from, int32_t to);

    // Image and record stream.
    // Finds the current phase's image (SW 130, FS 135) and stores its address and size.
    // Returns 0, or a negative value on failure.
    int LoadResBuffer(const uint8_t** ppImage, uint32_t* pdwSize);
    // The load step after a handshake: loads, validates and counts the current phase's image
    // once per phase.  Returns true when an image is loaded and may be replayed.
    bool LoadImageStep();
    // Copies the 8 header bytes at the cursor into header, moving the cursor on by one per
    // byte, and returns the record's length.  Bytes past the image's end are never read;
    // their places in header stay as they were.
    uint32_t ReadRecordHeader(uint8_t header[8]);

    // Radio stack shutdown (device/radio_stack.cpp).
    // Switches the phone radio off, unloads "RIL1:", sends the modem its two AT commands over
    // "VEI1:" and unloads the multiplexer channels, the multiplexer and the bus driver.  Leaves
    // m_port closed and m_bNeedRestore set, whatever failed on the way; about 2.1 s.
    void TurnOffRIL();

    // Members, in the dialog's order.
    host::CEdit m_edit;
    host::HIcon m_hIcon = nullptr;
    std::atomic<bool> m_bStopWait{false};
    std::atomic<bool> m_bDownloadEnabled{false};
    CSerialPort m_port;
    CRegSettings m_settings;
    const uint8_t* m_pImage = nullptr;
    std::atomic<uint32_t> m_nImagePos{0};
    std::atomic<uint32_t> m_dwImageSize{0};
    std::atomic<int32_t> m_nState{-1};
    std::atomic<int32_t> m_nAttempt{0};
    std::atomic<bool> m_bImageLoaded{false};
    std::atomic<bool> m_bNeedRestore{false};
    std::atomic<bool> m_bAllowClose{false};
    std::atomic<bool> m_bFsPhase{false};
    std::atomic<bool> m_bFsDone{false};
    std::atomic<int32_t> m_nResetCount{0};
    uint32_t m_dwDefaultAWRCWR = 0;
    host::PowerRequest m_hBacklightReq = 0;
    int32_t m_nRecordCount = 0;
    std::atomic<uint32_t> m_dwDeviceName{0};
    uint32_t m_dwReboot = 0;
    std::atomic<bool> m_bCountdown{false};
    // Set by the watchdog before it starts a ResetThread, cleared by that run at its end: no
    // second run is started while one is pending or running.
    std::atomic<bool> m_bResetRunning{false};
    // Set by a restore whose CPLD switch back to mode 001 failed: the run must not claim a
    // restored board.
    std::atomic<bool> m_bPathNotRestored{false};

  protected:
    std::span<const MessageMapEntry> GetMessageMap() const override;

  private:
    // Refuses a close while the update runs, with the log line in states 0 and 1.
    void RefuseClose();
    // The second interrupt: waits for the preparation to hand over, then the failure exit.
    void StopOnInterrupt(host::Interrupt interrupt);
    void WaitForPreparation();

    std::atomic<bool> m_bUpdateClaimed{false};
    // When the last refused interrupt came (UI thread only); -1: none yet.
    int64_t m_nFirstInterruptMs = -1;
};
