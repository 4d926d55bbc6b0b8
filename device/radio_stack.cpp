// The radio stack shutdown: the phone radio through the wireless-device list, the loaded
// drivers through the registry and the driver deactivation, the modem through two AT commands
// on the first multiplexer channel.
#include "device/radio_stack.h"

#include <cwchar>

#include "app/updater_dlg.h"
#include "host/clock.h"
#include "host/debug_log.h"
#include "host/platform.h"
#include "host/radio.h"
#include "host/registry.h"

namespace {

// The search's buffers, in wide characters, terminator included.
constexpr uint32_t kSubkeyChars = 16;
constexpr size_t kFullKeyChars = 256;
constexpr uint32_t kNameChars = 16;

constexpr uint32_t kAllDevices = 0;

// The AT channel: "VEI1:" at 115200 8N1, opened quietly.
constexpr const wchar_t* kAtPortPrefix = L"VEI";
constexpr int32_t kAtPortNumber = 1;
constexpr uint32_t kAtPortBaud = 115200;
constexpr uint8_t kNoParity = 0;
constexpr uint8_t kEightDataBits = 8;
constexpr uint8_t kOneStopBit = 0;

// Sent as their bytes, without a terminating zero.
constexpr char kUser1Off[] = "AT*USER1OFF\r";
constexpr char kFunctionalityMin[] = "AT+CFUN=0\r";
constexpr uint32_t kAfterUser1OffMs = 100;

// Unloaded after the AT commands, in this order; "RIL1:" goes before them.
constexpr const wchar_t* kMuxDrivers[] = {L"VEI1:", L"VEI2:", L"VEI3:", L"VEI4:",
                                          L"VEI5:", L"MUX1:", L"SPI2:"};

enum class SubkeyMatch { kNoMatch, kFound, kNoHandle, kFailed };

// Reads "Name" with room for 15 characters and the terminator; on success the text goes into
// name (terminated), otherwise name stays as it was.  A value that fills the whole buffer
// without a terminator did not fit and counts as failed, so that no comparison ever runs past
// the buffer.
bool ReadDriverName(host::Registry& registry, host::RegKey key, wchar_t (&name)[kNameChars]) {
    wchar_t text[kNameChars] = {};
    uint32_t size = sizeof text;
    if (registry.QueryValue(key, L"Name", nullptr, text, &size) != host::kRegOk)
        return false;
    size_t chars = size / sizeof(wchar_t);
    if (chars == kNameChars && text[kNameChars - 1] != L'\0')
        return false;
    chars = std::wcslen(text);  // text is zero-filled past the value
    std::wmemcpy(name, text, chars);
    name[chars] = L'\0';
    return true;
}

// Reads "Hnd" as 4 bytes (its type is not asked) from an opened subkey that matched.
bool ReadDriverHandle(host::Registry& registry, host::RegKey key, uint32_t* handle) {
    uint32_t size = sizeof *handle;
    return registry.QueryValue(key, L"Hnd", nullptr, handle, &size) == host::kRegOk;
}

// One subkey of "Drivers\Active": opens it, logs what it holds and compares its "Name" with
// the wanted one.  On a match the handle is read into *handle.  Closes the subkey; kFailed
// (the subkey cannot be opened) ends the whole search.
SubkeyMatch MatchSubkey(host::Registry& registry, const wchar_t* subkey, const std::wstring& wanted,
                        wchar_t (&name)[kNameChars], uint32_t* handle) {
    wchar_t full_key[kFullKeyChars];
    std::swprintf(full_key, kFullKeyChars, L"%ls\\%ls", host::kActiveDriversKey, subkey);
    host::DebugOut("Full Key: %s\r\n", host::Narrow(full_key).c_str());

    host::RegKey key = 0;
    if (registry.OpenKey(host::kHkeyLocalMachine, full_key, &key) != host::kRegOk) {
        host::DebugOut("FindActivatedDeviceHandle: Open Device Reg error\r\n");
        return SubkeyMatch::kFailed;
    }
    const bool name_read = ReadDriverName(registry, key, name);
    const std::string shown = host::Narrow(name);
    host::DebugOut("FindActivatedDeviceHandle: Found name %s\r\n", shown.c_str());
    host::DebugOut("FindActivatedDeviceHandle: Compare %s and %s\r\n", shown.c_str(),
                   host::Narrow(wanted).c_str());
    if (!name_read || wanted != name) {
        registry.CloseKey(key);
        return SubkeyMatch::kNoMatch;
    }
    host::DebugOut("FindActivatedDeviceHandle: Got Hnd\r\n");
    const bool handle_read = ReadDriverHandle(registry, key, handle);
    registry.CloseKey(key);
    return handle_read ? SubkeyMatch::kFound : SubkeyMatch::kNoHandle;
}

// Deactivates the driver by name if it is loaded, with its log line.
void DeactivateByName(const std::wstring& name) {
    const uint32_t handle = FindActivatedDeviceHandle(name);
    if (handle == 0)
        return;
    host::DebugOut("Deactive %s\r\n", host::Narrow(name).c_str());
    host::CurrentRadio().DeactivateDevice(handle);
}

// One round on the AT channel: open, send the command, close.  The port is closed afterwards
// whatever happened, so that the next round (and "COM1:" after it) can open it again.
template <size_t N>
void SendAtCommand(CSerialPort& port, const char (&command)[N], const char* sent_line,
                   uint32_t after_ms) {
    host::DebugOut("Try to Open VEI1 \r\n");
    if (!port.Open(kAtPortPrefix, kAtPortNumber, kAtPortBaud, kNoParity, kEightDataBits,
                   kOneStopBit, true)) {
        host::DebugOut("Open VEI1: failed\r\n");
    } else {
        port.Write(command, static_cast<int32_t>(N - 1));
        host::DebugOut("%s", sent_line);
        if (after_ms != 0)
            host::Sleep(after_ms);
    }
    if (!port.Close())
        host::DebugOut("Close VEI1: failed\r\n");
}

}  // namespace

uint32_t IsGsmRadioOn() {
    host::Radio& radio = host::CurrentRadio();
    host::RadioDevice* devices = nullptr;
    radio.GetDevices(&devices, kAllDevices);
    if (devices == nullptr)
        return 0;
    uint32_t state = 0;
    for (host::RadioDevice* device = devices; device != nullptr; device = device->next) {
        if (device->device_type == host::kRadioTypePhone)
            radio.GetPhoneRadioState(&state);
    }
    radio.FreeDevices(devices);
    return state;
}

bool TurnGsmRadioOff() {
    host::Radio& radio = host::CurrentRadio();
    host::RadioDevice* devices = nullptr;
    radio.GetDevices(&devices, kAllDevices);
    if (devices == nullptr)
        return true;
    bool result = true;
    for (host::RadioDevice* device = devices; device != nullptr; device = device->next) {
        if (device->device_type != host::kRadioTypePhone)
            continue;
        if (radio.ChangeRadioState(device, host::kRadioStateOff, host::kRadioShutdownSaveMode) ==
            host::kRadioFailed) {
            result = false;
        }
    }
    radio.FreeDevices(devices);
    return result;
}

uint32_t FindActivatedDeviceHandle(const std::wstring& name) {
    host::Registry& registry = host::CurrentRegistry();
    host::RegKey active = 0;
    if (registry.OpenKey(host::kHkeyLocalMachine, host::kActiveDriversKey, &active) !=
        host::kRegOk) {
        host::DebugOut("FindActivatedDeviceHandle: Open Device Reg error\r\n");
        return 0;
    }
    // Kept across subkeys: a "Name" that fails to read shows the last one that did.
    wchar_t found_name[kNameChars] = {};
    uint32_t handle = 0;
    SubkeyMatch match = SubkeyMatch::kNoMatch;
    for (uint32_t index = 0; match == SubkeyMatch::kNoMatch; ++index) {
        wchar_t subkey[kSubkeyChars];
        uint32_t subkey_chars = kSubkeyChars;
        const long result = registry.EnumKey(active, index, subkey, &subkey_chars);
        if (result == host::kRegNoMoreItems) {
            host::DebugOut("FindActivatedDeviceHandle: No more items\r\n");
            break;
        }
        if (result == host::kRegMoreData)
            continue;  // a subkey whose name does not fit the buffer is passed over
        if (result != host::kRegOk) {
            host::DebugOut("FindActivatedDeviceHandle: Open Device Reg error\r\n");
            break;
        }
        match = MatchSubkey(registry, subkey, name, found_name, &handle);
    }
    registry.CloseKey(active);
    if (match == SubkeyMatch::kNoHandle)
        host::DebugOut("ReadSPPSetting: Error getting Hnd\r\n");
    if (match != SubkeyMatch::kFound)
        return 0;
    host::DebugOut("FindActivatedDeviceHandle: Hnd value %x\r\n", handle);
    return handle;
}

void CUpdaterDlg::TurnOffRIL() {
    host::DebugOut("Start to Turn off RIL \r\n");
    if (IsGsmRadioOn() != 0) {
        host::DebugOut("Turn GSM OFF\r\n");
        TurnGsmRadioOff();
    }
    DeactivateByName(L"RIL1:");

    SendAtCommand(m_port, kUser1Off, "Send AT*USER1OFF\r\n", kAfterUser1OffMs);
    SendAtCommand(m_port, kFunctionalityMin, "Send AT+CFUN=0\r\n", 0);

    for (const wchar_t* name : kMuxDrivers)
        DeactivateByName(name);
    m_bNeedRestore = true;
}
