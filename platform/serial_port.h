// CSerialPort: the system's only wrapper around a serial device.  It opens a device named by a
// prefix and a number ("COM" 1 -> "COM1:"), applies one fixed line discipline (raw 8-bit
// transfer, DTR and RTS raised, no flow control) with the caller's speed and framing, and
// offers reads and writes bounded by total time-outs.  Failures are reported by the results
// and, unless the caller asks for quiet, by a modal message box.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "host/serial.h"

// The caption of the wrapper's message boxes: the application's title.  The application sets
// it once at start-up; until then it is "GSM Updater".
std::wstring AppTitle();
void SetAppTitle(const std::wstring& title);

class CSerialPort {
  public:
    CSerialPort();
    ~CSerialPort();  // closes an open device, without the close's wait
    CSerialPort(const CSerialPort&) = delete;
    CSerialPort& operator=(const CSerialPort&) = delete;

    bool Open(const std::wstring& prefix, int32_t number, uint32_t baud, uint8_t parity,
              uint8_t byteSize, uint8_t stopBits, bool quiet);
    bool Close();
    uint32_t Read(void* buffer, int32_t count);
    uint32_t Write(const void* buffer, int32_t count);
    bool SetState(uint32_t baud, uint8_t parity, uint8_t byteSize, uint8_t stopBits, bool quiet);
    bool SetTimeouts(uint32_t readTimeoutMs, uint32_t writeTimeoutMs);

    // Fields, in the wrapper's order.  m_hComm is read by the thread that reads and writes
    // while another thread may close the port, hence atomic.
    int32_t m_bError = 0;
    std::atomic<host::SerialHandle> m_hComm{host::kInvalidSerial};
    std::wstring m_strFileName;
    uint32_t m_dwBaud = 0;
    int32_t m_nPort = 0;

    // A read or write of this open failed because the device went away.
    bool DeviceLost() const { return m_bDeviceLost; }

  private:
    // Closes what a failed Open had opened, so that the next Open is not refused by its own
    // exclusive hold.
    void CloseHalfOpen(host::SerialHandle port);
    // A read or write on `port` failed.  Unless a Close took the port meanwhile, the device is
    // gone: said once per open in the debug output, never once per call.
    void NoteFailure(host::SerialHandle port);
    bool ApplyLineSettings(host::SerialHandle port, uint32_t baud, uint8_t parity, uint8_t byteSize,
                           uint8_t stopBits, bool quiet);
    void Fail(const std::wstring& message, bool beep, bool quiet);

    std::string m_strDevice;  // "COM1:", for the log; set by Open before the handle
    std::atomic<bool> m_bDeviceLost{false};
};
