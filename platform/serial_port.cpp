// CSerialPort over the host's serial devices.
#include "platform/serial_port.h"

#include <mutex>

#include "host/clock.h"
#include "host/debug_log.h"
#include "host/platform.h"
#include "host/ui.h"

namespace {

// Control word bits kept from the driver's settings, and the bits forced on: binary transfer,
// DTR control 1 and RTS control 1 (lines raised, no handshake); every flow control, DSR
// sensitivity, null discarding and abort-on-error cleared.
constexpr uint32_t kControlKeep = 0xFFFF9493;
constexpr uint32_t kControlSet = 0x1011;

constexpr uint32_t kOpenReadTimeoutMs = 0;
constexpr uint32_t kOpenWriteTimeoutMs = 1000;
constexpr uint32_t kReceiveQueueBytes = 1000;
constexpr uint32_t kTransmitQueueBytes = 65536;
constexpr uint32_t kCloseWaitMs = 1000;
constexpr uint32_t kNoIntervalLimit = 0xFFFFFFFF;

constexpr const wchar_t* kPortInUse =
    L"\n\n The communications port may be in use at this time. Please choose another port or "
    L"close the application using the desired port.";

std::mutex g_title_mutex;
std::wstring g_title = L"GSM Updater";

std::wstring OpenErrorMessage(uint32_t error) {
    if (error == host::kErrorFileNotFound) {
        return L"Communication Port Not Found!\n\n"
               L"The communications port does not exist. Check your system configuration on "
               L"the status of this Communication port";
    }
    if (error == host::kErrorAccessDenied)
        return std::wstring(L"Access Denied!") + kPortInUse;
    return L"Comm Open Error![" + std::to_wstring(error) + L"]" + kPortInUse;
}

host::SerialTimeouts TotalTimeouts(uint32_t read_ms, uint32_t write_ms) {
    host::SerialTimeouts timeouts;
    timeouts.read_interval_ms = kNoIntervalLimit;
    timeouts.read_multiplier_ms = 0;
    timeouts.read_constant_ms = read_ms;
    timeouts.write_multiplier_ms = 0;
    timeouts.write_constant_ms = write_ms;
    return timeouts;
}

}  // namespace

std::wstring AppTitle() {
    std::lock_guard<std::mutex> lock(g_title_mutex);
    return g_title;
}

void SetAppTitle(const std::wstring& title) {
    std::lock_guard<std::mutex> lock(g_title_mutex);
    g_title = title;
}

CSerialPort::CSerialPort() : m_strFileName(L"Untitled.txt") {}

CSerialPort::~CSerialPort() {
    host::SerialHandle port = m_hComm.exchange(host::kInvalidSerial);
    if (port != host::kInvalidSerial)
        host::CurrentSerial().Close(port);
}

bool CSerialPort::Open(const std::wstring& prefix, int32_t number, uint32_t baud, uint8_t parity,
                       uint8_t byteSize, uint8_t stopBits, bool quiet) {
    const std::wstring name = prefix + std::to_wstring(number) + L":";
    m_bError = 0;
    m_dwBaud = baud;
    m_nPort = number;

    m_strDevice = host::Narrow(name);
    m_bDeviceLost = false;

    host::SerialPorts& serial = host::CurrentSerial();
    uint32_t error = 0;
    const host::SerialHandle port = serial.Open(name, &error);
    m_hComm.store(port);
    if (port == host::kInvalidSerial) {
        Fail(OpenErrorMessage(error), false, quiet);
        return false;
    }
    if (!ApplyLineSettings(port, baud, parity, byteSize, stopBits, quiet)) {
        CloseHalfOpen(port);
        return false;
    }
    const bool timeouts =
        serial.SetTimeouts(port, TotalTimeouts(kOpenReadTimeoutMs, kOpenWriteTimeoutMs));
    serial.ClearErrors(port);
    // A driver that takes neither time-outs nor queues cannot carry the update: refused like
    // line settings that do not take, without a message of its own.
    if (!timeouts || !serial.SetQueues(port, kReceiveQueueBytes, kTransmitQueueBytes)) {
        m_bError = 1;
        CloseHalfOpen(port);
        return false;
    }
    return true;
}

void CSerialPort::CloseHalfOpen(host::SerialHandle port) {
    host::SerialHandle expected = port;
    if (m_hComm.compare_exchange_strong(expected, host::kInvalidSerial))
        host::CurrentSerial().Close(port);
}

void CSerialPort::NoteFailure(host::SerialHandle port) {
    if (port == host::kInvalidSerial || m_hComm.load() != port)
        return;
    if (!m_bDeviceLost.exchange(true))
        host::DebugOut("%s device lost\r\n", m_strDevice.c_str());
}

bool CSerialPort::Close() {
    // Take the handle out first: a Read on another thread that starts after this point sees
    // the closed port and never reaches the device.
    const host::SerialHandle port = m_hComm.exchange(host::kInvalidSerial);
    const bool closed = port != host::kInvalidSerial && host::CurrentSerial().Close(port);
    host::Sleep(kCloseWaitMs);
    return closed;
}

uint32_t CSerialPort::Read(void* buffer, int32_t count) {
    const host::SerialHandle port = m_hComm.load();
    if (port == host::kInvalidSerial || count <= 0)
        return 0;
    host::SerialPorts& serial = host::CurrentSerial();
    uint32_t got = 0;
    const bool ok = serial.Read(port, buffer, static_cast<uint32_t>(count), &got);
    serial.ClearErrors(port);
    if (!ok)
        NoteFailure(port);
    return ok ? got : 0;
}

uint32_t CSerialPort::Write(const void* buffer, int32_t count) {
    // A closed port's handle is the invalid one; the device layer refuses it.
    if (count <= 0)
        return 0;
    const host::SerialHandle port = m_hComm.load();
    uint32_t written = 0;
    if (!host::CurrentSerial().Write(port, buffer, static_cast<uint32_t>(count), &written))
        NoteFailure(port);
    return written;
}

bool CSerialPort::SetState(uint32_t baud, uint8_t parity, uint8_t byteSize, uint8_t stopBits,
                           bool quiet) {
    m_dwBaud = baud;
    const host::SerialHandle port = m_hComm.load();
    if (port == host::kInvalidSerial)
        return false;
    return ApplyLineSettings(port, baud, parity, byteSize, stopBits, quiet);
}

bool CSerialPort::SetTimeouts(uint32_t readTimeoutMs, uint32_t writeTimeoutMs) {
    const host::SerialHandle port = m_hComm.load();
    if (port == host::kInvalidSerial)
        return false;
    host::CurrentSerial().SetTimeouts(port, TotalTimeouts(readTimeoutMs, writeTimeoutMs));
    return true;
}

bool CSerialPort::ApplyLineSettings(host::SerialHandle port, uint32_t baud, uint8_t parity,
                                    uint8_t byteSize, uint8_t stopBits, bool quiet) {
    host::SerialPorts& serial = host::CurrentSerial();
    // Once the device is known to be gone, its settings fail without a box: the loss is in the
    // log already, and a box per watchdog step would hold the update until someone answered.
    quiet = quiet || m_bDeviceLost;
    host::SerialState state;
    if (!serial.GetState(port, &state)) {
        Fail(L"Could not get comm state", true, quiet);
        return false;
    }
    state.baud = baud;
    state.byte_size = byteSize;
    state.parity = parity;
    state.stop_bits = stopBits;
    state.flags = (state.flags & kControlKeep) | kControlSet;
    if (!serial.SetState(port, state)) {
        Fail(L"Could not set communication state", true, quiet);
        return false;
    }
    return true;
}

void CSerialPort::Fail(const std::wstring& message, bool beep, bool quiet) {
    m_bError = 1;
    if (quiet)
        return;
    host::Ui& ui = host::CurrentUi();
    if (beep)
        ui.ErrorBeep();
    ui.ShowMessageBox(message, AppTitle(), host::kMbOk | host::kMbIconStop);
}
