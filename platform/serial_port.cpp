// CSerialPort over the host's serial devices.  (Placeholder bodies; the full wrapper follows.)
#include "platform/serial_port.h"

CSerialPort::CSerialPort() : m_strFileName(L"Untitled.txt") {}
CSerialPort::~CSerialPort() = default;
bool CSerialPort::Open(const std::wstring&, int32_t, uint32_t, uint8_t, uint8_t, uint8_t, bool) {
    return false;
}
bool CSerialPort::Close() {
    return false;
}
uint32_t CSerialPort::Read(void*, int32_t) {
    return 0;
}
uint32_t CSerialPort::Write(const void*, int32_t) {
    return 0;
}
bool CSerialPort::SetState(uint32_t, uint8_t, uint8_t, uint8_t, bool) {
    return false;
}
bool CSerialPort::SetTimeouts(uint32_t, uint32_t) {
    return false;
}
