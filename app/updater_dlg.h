// CUpdaterDlg: the update dialog and the owner of all update state.  It lives for the whole
// run and is handed to every worker thread as the thread's one argument.  The threads steer
// each other through the flags and counters below, which are atomics: one thread writes them
// and another re-reads them each time it tests them.
//
// The member functions are defined by subsystem: the image and its records in download/,
// the radio stack shutdown in device/, the dialog, preparation and teardown in app/.
#pragma once

#include <atomic>
#include <cstdint>

#include "host/power.h"
#include "platform/reg_settings.h"
#include "platform/serial_port.h"

class CUpdaterDlg {
  public:
    CUpdaterDlg();
    virtual ~CUpdaterDlg();
    CUpdaterDlg(const CUpdaterDlg&) = delete;
    CUpdaterDlg& operator=(const CUpdaterDlg&) = delete;

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

    // Members, in the dialog's order.
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
};
